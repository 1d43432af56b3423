#!/usr/bin/env python3
"""The Debian package: what it holds, and that it installs and its program runs.

Usage: package_test.py WAKELET_DEB   (as root: it installs the package, then removes it
unless it was installed before)
"""
import os
import subprocess
import sys
import tempfile
import unittest

from e2e_support import BANNER, NO_DEVICE, Run

DEB = None


def dpkg_installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
    return result.stdout == "install ok installed"


class Package(unittest.TestCase):
    def test_contents_and_dependencies(self):
        listing = subprocess.run(["dpkg-deb", "-c", DEB], check=True, capture_output=True, text=True).stdout
        files = {line.split()[-1] for line in listing.splitlines()}
        for path in ("./usr/bin/wakelet", "./usr/share/man/man1/wakelet.1",
                     "./usr/lib/systemd/user/wakelet.service"):
            self.assertIn(path, files)
        depends = subprocess.run(["dpkg-deb", "-f", DEB, "Depends"], check=True, capture_output=True,
                                 text=True).stdout
        self.assertIn("libasound2", depends)

    def test_installs_and_runs(self):
        was_installed = dpkg_installed("wakelet")
        subprocess.run(["dpkg", "-i", DEB], check=True, capture_output=True)
        try:
            self.assertTrue(dpkg_installed("wakelet"))
            with tempfile.TemporaryDirectory() as workdir:
                run = Run("/usr/bin/wakelet", ["verbose"], workdir)
                try:
                    self.assertEqual(run.read_until(NO_DEVICE, 30), BANNER + NO_DEVICE)
                    run.interrupt()
                finally:
                    run.close()
                self.assertEqual(run.error, b"")
            with open("/usr/lib/systemd/user/wakelet.service") as unit:
                text = unit.read()
            self.assertIn("ExecStart=/usr/bin/wakelet\n", text)
            self.assertIn("Restart=always\n", text)
            verify = subprocess.run(["systemd-analyze", "verify", "/usr/lib/systemd/user/wakelet.service"],
                                    capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, verify.stderr)
            self.assertEqual(subprocess.run(["man", "-w", "wakelet"], capture_output=True, text=True).stdout,
                             "/usr/share/man/man1/wakelet.1\n")
        finally:
            if not was_installed:
                subprocess.run(["dpkg", "-r", "wakelet"], check=True, capture_output=True)


if __name__ == "__main__":
    DEB = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"])
