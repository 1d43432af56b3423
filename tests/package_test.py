#!/usr/bin/env python3
"""The Debian packages: what they hold and say, that lintian has nothing to report, and, for
the package of this machine's architecture, that its program runs and that its systemd user
unit starts, restarts and stops it under a real user manager.

Usage: package_test.py DEB...   (as root)

Nothing is installed on the host. The tests run in mount, PID and cgroup namespaces of their
own, where the package's files are laid over /usr (an overlay) so that the unit finds the
program under test; the user manager, the sound server and every program they start end with
the namespace. The user manager runs in a child of the test's own cgroup, which is removed
afterwards; the test itself never changes cgroup.
"""
import gzip
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import BANNER, PulseServer, own_cgroup

DEBS = []
NAMESPACE_MARK = "WAKELET_PACKAGE_TEST_NAMESPACE"
# The user manager's cgroup, named by the process outside the namespaces so that it can remove
# it should the test die before it does.
CGROUP_NAME = "WAKELET_PACKAGE_TEST_CGROUP"

# ELF machine numbers of the architectures a package may be built for.
ELF_MACHINES = {62: "amd64", 183: "arm64", 3: "i386", 40: "armhf"}

REQUIRED_FILES = {"usr/bin/wakelet", "usr/share/man/man1/wakelet.1.gz",
                  "usr/lib/systemd/user/wakelet.service",
                  "usr/share/doc/wakelet/copyright", "usr/share/doc/wakelet/changelog.gz"}


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kwargs).stdout


def fields(deb):
    text = run("dpkg-deb", "-f", deb)
    return dict(re.findall(r"^(\S+): (.*(?:\n .*)*)", text, re.M))


def unpacked(deb, root):
    """The package's files, unpacked into `root`."""
    run("dpkg", "-x", deb, root)
    return root


def native_debs():
    arch = run("dpkg", "--print-architecture").strip()
    return [deb for deb in DEBS if fields(deb)["Architecture"] == arch]


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.roots = {deb: unpacked(deb, os.path.join(cls.tmp.name, str(i))) for i, deb in enumerate(DEBS)}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_lintian_reports_no_error_and_no_warning(self):
        result = subprocess.run(["lintian", "--fail-on", "error,warning", *DEBS], capture_output=True,
                                text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_files_fields_and_versions(self):
        for deb, root in self.roots.items():
            with self.subTest(deb=os.path.basename(deb)):
                control = fields(deb)
                version = control["Version"]
                files = {os.path.relpath(os.path.join(d, f), root)
                         for d, _, names in os.walk(root) for f in names}
                self.assertLessEqual(REQUIRED_FILES, files)
                self.assertEqual([f for f in files if "bench" in f], [])
                with open(os.path.join(root, "usr/bin/wakelet"), "rb") as elf:
                    machine = int.from_bytes(elf.read(20)[18:20], "little")
                with gzip.open(os.path.join(root, "usr/share/doc/wakelet/changelog.gz"), "rt") as changelog:
                    latest = re.match(r"wakelet \(([^)]+)\)", changelog.readline())
                with gzip.open(os.path.join(root, "usr/share/man/man1/wakelet.1.gz"), "rt") as page:
                    title = page.readline()
                for what, actual, expected in [
                        ("architecture of the program", ELF_MACHINES.get(machine), control["Architecture"]),
                        ("latest changelog entry", latest and latest.group(1), version),
                        ("manual page's version", '"Wakelet %s"' % version in title, True),
                        ("recommends", control.get("Recommends"), "pipewire-pulse | pulseaudio"),
                        ("depends on ALSA", "libasound2" in control.get("Depends", ""), True)]:
                    self.assertEqual(actual, expected, what)


class Installed(unittest.TestCase):
    """This machine's package, laid over /usr in the test's own mount namespace."""

    @classmethod
    def setUpClass(cls):
        if not native_debs():
            if os.environ.get("CI"):  # CI's machine always has one: the run built it
                raise AssertionError("no package for this machine's architecture among %s" % DEBS)
            raise unittest.SkipTest("no package for this machine's architecture")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.deb = native_debs()[0]
        cls.version = fields(cls.deb)["Version"]
        root = unpacked(cls.deb, os.path.join(cls.tmp.name, "root"))
        run("mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s/usr:/usr" % root, "/usr")

    @classmethod
    def tearDownClass(cls):
        run("umount", "--lazy", "/usr")
        cls.tmp.cleanup()

    def test_user_unit_starts_restarts_and_stops_the_program(self):
        pulse = PulseServer(os.path.join(self.tmp.name, "pulse"))
        self.addCleanup(pulse.stop)
        pulse.start()
        manager = UserManager(self.tmp.name)
        self.addCleanup(manager.stop)
        manager.start(pulse)
        self.assertIsNotNone(pulse.wait_for_state("keepalive", "SUSPENDED", 10),
                             "the sink did not start idle")

        manager.systemctl("enable", "--now", "wakelet.service")
        self.assertIsNotNone(pulse.wait_for_state("keepalive", "RUNNING", 30), pulse.sink_states())
        started = [manager.main_pid()]
        self.assertEqual(programs(), started)

        # Killed again and again (as by the OOM killer), it is started again; the fifth start is its last.
        for kill in range(5):
            os.kill(started[-1], signal.SIGKILL)
            deadline = time.monotonic() + 30
            while manager.main_pid() in (0, started[-1]) and manager.state() != "failed" and time.monotonic() < deadline:
                time.sleep(0.2)
            started.append(manager.main_pid())
            if kill == 0:
                self.assertIsNotNone(pulse.wait_for_state("keepalive", "RUNNING", 30), pulse.sink_states())
        self.assertEqual(len(set(started[:5]) - {0}), 5, "a killed program was not started again")
        self.assertEqual((manager.state(), programs()), ("failed", []))

        # Started by hand, its address space kept below the hour's 635 MB, it reports
        # EOutOfMemory and ends in order: it is not started again.
        home = manager.env["HOME"]
        os.makedirs(home + "/.config/systemd/user/wakelet.service.d")
        with open(home + "/.config/systemd/user/wakelet.service.d/small.conf", "w") as f:
            f.write("[Service]\nLimitAS=300M\nStandardOutput=file:%s/output\n" % home)
        manager.systemctl("daemon-reload")
        manager.systemctl("reset-failed", "wakelet.service")
        manager.systemctl("start", "wakelet.service")
        deadline = time.monotonic() + 30
        while manager.state() in ("active", "deactivating") and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(manager.state(), "inactive")
        with open(home + "/output", "rb") as f:
            self.assertEqual(f.read(), BANNER + b"EOutOfMemory: Out of memory\r\n")
        self.assertIn(b" hack v%s\r\n" % self.version.encode(), BANNER, "the banner names another version")

        manager.systemctl("disable", "--now", "wakelet.service")
        self.assertEqual(manager.systemctl("is-enabled", "wakelet.service", check=False).strip(), "disabled")
        self.assertEqual(programs(), [])
        self.assertIsNotNone(pulse.wait_for_state("keepalive", "SUSPENDED", 10), pulse.sink_states())


def programs():
    """The wakelet processes left, from the package's program (the PID namespace is ours)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) == "/usr/bin/wakelet":
                found.append(int(pid))
        except OSError:  # gone, or a zombie
            pass
    return found


class UserManager:
    """`systemd --user` without systemd as PID 1: /run/systemd/system tells it systemd runs
    the machine. The cgroup2 hierarchy mounted in the test's cgroup namespace starts at the
    test's own cgroup, so the manager's cgroup, made there, is a child of it."""

    def __init__(self, root):
        self.root = root
        self.process = None
        self.cgroup = None

    def start(self, pulse):
        run("mount", "-t", "tmpfs", "tmpfs", "/run/systemd")
        os.mkdir("/run/systemd/system")
        run("mount", "-t", "cgroup2", "cgroup2", "/sys/fs/cgroup")
        self.cgroup = os.path.join("/sys/fs/cgroup", os.environ[CGROUP_NAME])
        os.mkdir(self.cgroup)
        home = os.path.join(self.root, "home")
        os.makedirs(os.path.join(home, "run"), mode=0o700)
        alsa_config = os.path.join(home, "asound.conf")
        with open(alsa_config, "w") as f:
            f.write(pulse.alsa_config())
        # The manager hands its environment on to the program: sound goes to the test's server.
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
                    "XDG_RUNTIME_DIR": os.path.join(home, "run"), "ALSA_CONFIG_PATH": alsa_config,
                    "PULSE_SERVER": pulse.address, "PULSE_CLIENTCONFIG": "/dev/null"}
        self.log = open(os.path.join(self.root, "systemd.log"), "w")
        # The shell moves itself into the manager's cgroup, then becomes the manager.
        self.process = subprocess.Popen(
            ["/bin/sh", "-c", 'echo 0 > "$0/cgroup.procs" && exec /usr/lib/systemd/systemd --user',
             self.cgroup], env=self.env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 30
        while self.systemctl("is-system-running", check=False).strip() not in ("running", "degraded"):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the user manager did not come up")
            time.sleep(0.1)

    def systemctl(self, *args, check=True):
        return subprocess.run(["systemctl", "--user", *args], env=self.env, check=check,
                              capture_output=True, text=True).stdout

    def main_pid(self):
        return int(self.systemctl("show", "-P", "MainPID", "wakelet.service"))

    def state(self):
        return self.systemctl("show", "-P", "ActiveState", "wakelet.service").strip()

    def stop(self):
        if self.process is not None:
            self.process.terminate()  # nothing, once it has been waited for
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.log.close()
        if self.cgroup is not None and os.path.isdir(self.cgroup):
            remove_cgroup(self.cgroup)
        subprocess.run(["umount", "/sys/fs/cgroup"], stderr=subprocess.DEVNULL)
        subprocess.run(["umount", "/run/systemd"], stderr=subprocess.DEVNULL)


def remove_cgroup(path):
    """Ends whatever still runs in the cgroup `path` and removes it with its children."""
    with open(os.path.join(path, "cgroup.kill"), "w") as kill:
        kill.write("1")
    deadline = time.monotonic() + 10
    for directory, _, _ in sorted(os.walk(path), key=lambda entry: -len(entry[0])):
        while True:
            try:
                os.rmdir(directory)
                break
            except OSError:  # busy until its last process has gone
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)


if __name__ == "__main__":
    if os.environ.get(NAMESPACE_MARK) != "1":
        os.environ[NAMESPACE_MARK] = "1"
        os.environ[CGROUP_NAME] = "wakelet-package-test-%s" % os.urandom(4).hex()
        own = own_cgroup()  # cgroup v2's, where the user manager's is made
        leftover = own and os.path.join(own[0], os.environ[CGROUP_NAME])
        # Every temporary file, the tools' included, goes where this process removes it.
        with tempfile.TemporaryDirectory(prefix="wakelet-package-test-") as tmp:
            os.environ["TMPDIR"] = tmp
            try:
                status = subprocess.call(["unshare", "--mount", "--pid", "--cgroup", "--fork", "--mount-proc",
                                          "--kill-child", sys.executable, os.path.abspath(__file__),
                                          *sys.argv[1:]])
            finally:
                if leftover and os.path.isdir(leftover):  # the test died before removing it
                    remove_cgroup(leftover)
        sys.exit(status)
    DEBS = [os.path.abspath(deb) for deb in sys.argv[1:]]
    if not DEBS:
        sys.exit(__doc__)
    unittest.main(argv=[sys.argv[0], "-v"])
