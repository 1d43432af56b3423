#!/usr/bin/env python3
"""The Windows release: the zip's contents, and the installer's silent install and uninstall
under Wine, in a new Wine prefix of the test's own that is removed afterwards.

Usage: installer_test.py WINE_SH INSTALLER_EXE ZIP LICENSE
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import end_to_end_test as windows_e2e  # noqa: E402
from e2e_support import BANNER, NO_DEVICE  # noqa: E402

WINE = INSTALLER = ZIP = LICENSE = None
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Wakelet"
SHOW_MINIMIZED = {2, 7}  # SW_SHOWMINIMIZED, and SW_SHOWMINNOACTIVE as Windows stores it


def link_target_and_show_command(path):
    """From a shell link (.lnk): whether it names wakelet.exe, and its show command."""
    with open(path, "rb") as f:
        data = f.read()
    return b"wakelet.exe" in data.lower() or "wakelet.exe".encode("utf-16-le") in data.lower(), \
        int.from_bytes(data[0x3C:0x40], "little")


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="wakelet-installer-")
        cls.addClassCleanup(cls.remove_prefix)
        os.environ.update(WINEPREFIX=os.path.join(cls.tmp, "prefix"), HOME=os.path.join(cls.tmp, "home"))
        os.mkdir(os.environ["HOME"])
        cls.wine(["wineboot", "--init"])
        drive = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        cls.install_dir = os.path.join(drive, "Program Files", "Wakelet")
        cls.menu_dir = os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")
        # Wine names the users' Startup folders "StartUp"; either spelling is found.
        user_menus = glob.glob(os.path.join(drive, "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                            "Start Menu", "Programs"))
        cls.startup_dirs = [os.path.join(programs, "StartUp") for programs in [cls.menu_dir] + user_menus]

    @classmethod
    def remove_prefix(cls):
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], capture_output=True)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @staticmethod
    def wine(args, check=True, wait_for_all=False):
        """Runs a program under Wine; with `wait_for_all`, until every process it started has
        ended too (an NSIS uninstaller hands its work to a copy of itself and returns)."""
        result = subprocess.run([WINE] + args, capture_output=True, timeout=300)
        if wait_for_all:
            subprocess.run(["/usr/lib/wine/wineserver", "-w"], timeout=300)
        if check and result.returncode != 0:
            raise AssertionError("%s ended with %d" % (args, result.returncode))
        return result

    def registered(self):
        return self.wine(["reg", "query", UNINSTALL_KEY], check=False).returncode == 0

    def startup_links(self):
        return [os.path.join(d, name) for d in self.startup_dirs for name in os.listdir(d)]

    def test_zip_holds_the_program_the_licence_and_a_readme(self):
        with zipfile.ZipFile(ZIP) as archive:
            names = set(archive.namelist())
            top = os.path.splitext(os.path.basename(ZIP))[0]
            self.assertEqual(names, {top + "/wakelet.exe", top + "/LICENSE.txt", top + "/README.txt"})
            with open(LICENSE, "rb") as f:
                self.assertEqual(archive.read(top + "/LICENSE.txt"), f.read())
            self.assertIn(b"wakelet.exe", archive.read(top + "/README.txt"))

    def test_silent_install_runs_and_uninstall_leaves_nothing(self):
        for switches, autostart in [(["/S"], False), (["/S", "/AUTOSTART"], True)]:
            with self.subTest(switches=switches):
                self.assertEqual(self.startup_links(), [])
                self.wine([INSTALLER] + switches)
                installed = sorted(os.listdir(self.install_dir))
                self.assertEqual(installed, ["LICENSE.txt", "README.txt", "Uninstall.exe", "wakelet.exe"])
                self.assertEqual(sorted(os.listdir(os.path.join(self.menu_dir, "Wakelet"))),
                                 ["Uninstall.lnk", "Wakelet.lnk"])
                self.assertTrue(link_target_and_show_command(
                    os.path.join(self.menu_dir, "Wakelet", "Wakelet.lnk"))[0])
                self.assertTrue(self.registered(), "no uninstaller registered")
                links = self.startup_links()
                if autostart:
                    self.assertEqual([os.path.basename(p) for p in links], ["Wakelet.lnk"])
                    names_program, show = link_target_and_show_command(links[0])
                    self.assertTrue(names_program)
                    self.assertIn(show, SHOW_MINIMIZED)
                else:
                    self.assertEqual(links, [], "a startup shortcut nobody chose")
                    self.assert_installed_program_runs()

                self.wine([os.path.join(self.install_dir, "Uninstall.exe"), "/S"], wait_for_all=True)
                self.assertFalse(os.path.exists(self.install_dir))
                self.assertFalse(os.path.exists(os.path.join(self.menu_dir, "Wakelet")))
                self.assertEqual(self.startup_links(), [])
                self.assertFalse(self.registered(), "the uninstaller is still registered")

    def assert_installed_program_runs(self):
        windows_e2e.WINE = WINE
        windows_e2e.WAKELET = os.path.join(self.install_dir, "wakelet.exe")
        run = windows_e2e.WineRun(["verbose"])
        try:
            self.assertEqual(run.read_until(BANNER + NO_DEVICE, 60), BANNER + NO_DEVICE)
        finally:
            run.close()
        self.assertEqual(run.error, b"")


if __name__ == "__main__":
    WINE, INSTALLER, ZIP, LICENSE = (os.path.abspath(arg) for arg in sys.argv[1:5])
    unittest.main(argv=[sys.argv[0], "-v"])
