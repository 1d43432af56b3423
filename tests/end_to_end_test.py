#!/usr/bin/env python3
"""End-to-end tests: the real wakelet binary, run as a user would run it.

Usage: end_to_end_test.py EndToEnd[.test_...] WAKELET TONE_DUMP [--native NATIVE_TONE_DUMP] [--emulator COMMAND...]

Each run gets a private ALSA configuration and sound-server address: by default there is no
audio device at all. A cross-compiled build's programs run under the emulator given (all
after --emulator, e.g. qemu-aarch64 -L /); given a native x86-64 build's tone_dump, this
build's minute and hour of tone are compared with it, sample for sample.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import BANNER, FOUND, HOUR_BYTES, MINUTE_BYTES, NO_DEVICE, Run, RunsTestCase, own_cgroup

WAKELET = TONE_DUMP = NATIVE_TONE_DUMP = None
EMULATOR = []

SANITIZED = os.environ.get("WAKELET_SANITIZED") == "1"
needs_plain_memory = unittest.skipIf(SANITIZED, "a sanitized process reserves far more address space than it uses")


def program(path):
    """The command that runs a program of this build: under the emulator, if any."""
    return EMULATOR + [path]


class EndToEnd(RunsTestCase):
    def start(self, args, **kwargs):
        command = program(WAKELET)
        return self.track(Run(command[0], command[1:] + args, self.run_dir(), **kwargs))

    def memory_cgroup(self, limit):
        """A new memory cgroup below this process's own, limited to `limit` bytes and removed
        after the test: (its directory, the file of its use). Where none can be made the
        test skips, but not as root, who can always make one."""
        cannot = self.fail if os.geteuid() == 0 else self.skipTest
        own = own_cgroup(memory=True)
        if own is None:
            cannot("no memory cgroup")
        parent, v1 = own
        # Named afresh: in a PID namespace of its own every test is the same process ID.
        try:
            group = tempfile.mkdtemp(prefix="wakelet-test-", dir=parent)
        except OSError as e:
            cannot("cannot make a memory cgroup under %s: %s" % (parent, e))
        self.addCleanup(os.rmdir, group)
        limit_file = os.path.join(group, "memory.limit_in_bytes" if v1 else "memory.max")
        if not os.path.exists(limit_file):
            cannot("the memory controller is not enabled below %s" % parent)
        with open(limit_file, "w") as f:
            f.write(str(limit))
        return group, os.path.join(group, "memory.usage_in_bytes" if v1 else "memory.current")

    def test_first_argument_selects_the_mode(self):
        # The rule itself is the unit table's; here, that the program reads the first argument.
        # All at once: only the two in normal mode build the hour-long tone (635 MB each).
        runs = [(args, BANNER + NO_DEVICE if verbose else BANNER, self.start(args))
                for args, verbose in [(["VeRbOsE", "x"], True), (["x", "verbose"], False), ([], False)]]
        for args, expected, run in runs:
            self.assertEqual(run.read_until(expected, 60), expected, args)
        time.sleep(2)
        for args, expected, run in runs:
            # Normal mode says nothing after the banner; verbose mode tries again a minute later.
            self.assertEqual(run.read_for(0.1), expected, args)
            run.interrupt()
            self.assertEqual(run.process.returncode, -signal.SIGINT, args)
            self.assert_quiet(run)

    def test_pipe_gets_128_byte_pieces_and_loses_the_rest_on_ctrl_c(self):
        run = self.start(["verbose"], terminal=False)
        self.assertEqual(run.read_until(BANNER[:128], 30), BANNER[:128])
        # The banner's tail and the device message wait in the buffer.
        time.sleep(2)
        self.assertEqual(run.read_for(0.5), BANNER[:128])
        run.interrupt()
        self.assertEqual(run.read_for(0.5), BANNER[:128])
        self.assertEqual(run.chunks, [BANNER[:128]])

    @needs_plain_memory
    def test_unobtainable_memory_is_reported_then_a_line_read_or_the_last_resort(self):
        # The hour-long tone needs 635 MB. After the report the program waits for a line; a
        # directory on standard input fails that read, which only the last resort reports.
        read, write = os.pipe()
        directory = os.open("/", os.O_RDONLY)
        for fd in (read, write, directory):
            self.addCleanup(os.close, fd)
        last_resort = rb"\AException EInOutError in module wakelet at [0-9A-F]{8}\.\r\nI/O error 21\.\r\n\r\n\Z"
        for stdin, status, error in [(read, 0, rb"\A\Z"), (directory, 1, last_resort)]:
            run = self.start([], terminal=False, stdin=stdin, memory_limit=400 * 1024 * 1024)
            if stdin == read:
                time.sleep(1)
                self.assertIsNone(run.process.poll(), "did not wait for a line")
                os.write(write, b"enter\n")
            self.assertEqual(run.process.wait(timeout=10), status)
            self.assertEqual(run.read_for(0.5), BANNER + b"EOutOfMemory: Out of memory\r\n")
            run.close()
            self.assertRegex(run.error, error)

    def test_memory_the_kernel_would_kill_for_is_reported_and_a_large_cgroup_is_not(self):
        # The kernel refuses neither memory beyond what the machine can give nor memory over
        # a cgroup's limit: it kills the process that touches it, with no report. The
        # machine is made small in a mount namespace of the program's own (as root).
        with self.subTest("a small machine"):
            if os.geteuid() != 0:
                self.skipTest("only root can lay a small machine's /proc/meminfo over the real one")
            meminfo = os.path.join(self.workdir.name, "meminfo")
            with open(meminfo, "w") as f:
                f.write("MemTotal: 1000000 kB\nMemAvailable: 400000 kB\nSwapFree: 100000 kB\n")
            command = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                       'mount --bind "$0" /proc/meminfo && exec "$@"', meminfo] + program(WAKELET)
            run = self.track(Run(command[0], command[1:], self.run_dir()))
            self.assertEqual(run.process.wait(timeout=30), 0)
            self.assertEqual(run.read_for(0.5), BANNER + b"EOutOfMemory: Out of memory\r\n")
        group, _ = self.memory_cgroup(400 * 1024 * 1024)
        run = self.start([], cgroup=group)
        self.assertEqual(run.process.wait(timeout=30), 0)
        self.assertEqual(run.read_for(0.5), BANNER + b"EOutOfMemory: Out of memory\r\n")
        self.assert_quiet(run)

        if SANITIZED:
            self.skipTest("a sanitized process uses memory of its own beside the tone")
        group, usage = self.memory_cgroup(900 * 1024 * 1024)
        run = self.start([], cgroup=group)

        def use():
            with open(usage) as f:
                return int(f.read())

        # The tone stays in memory once it is built.
        deadline = time.monotonic() + 120
        while use() < HOUR_BYTES and run.alive() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertGreaterEqual(use(), HOUR_BYTES, "the hour of tone was not built")
        self.assertEqual(run.read_for(0.5), BANNER)
        self.assertTrue(run.alive())

    @unittest.skipUnless(SANITIZED, "only a sanitized build makes reports of its own")
    def test_a_sanitizer_report_reaches_standard_error(self):
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(BANNER + NO_DEVICE, 30), BANNER + NO_DEVICE)
        run.process.send_signal(signal.SIGSEGV)  # reported by the sanitizer as a fatal signal
        run.process.wait(timeout=30)
        run.close()
        self.assertIn(b"ERROR: AddressSanitizer: SEGV", run.error)

    def test_a_reader_that_goes_away_is_no_crash(self):
        run = self.start(["verbose"], terminal=False, reader_gone=True)
        self.assertEqual(run.process.wait(timeout=30), 0)
        self.assert_quiet(run)

    def test_the_alsa_layer_delivers_the_tone_exactly(self):
        expected = subprocess.run(program(TONE_DUMP) + ["60000"], check=True, capture_output=True).stdout
        capture = os.path.join(self.workdir.name, "capture.raw")
        # A file plugin in front of a device that takes data as fast as it comes, and in
        # between, one that starts a command that writes to standard error, as libraries do.
        chatter = 'type file; file "|echo chatter >&2; cat >/dev/null"; format raw; slave.pcm { type null }'
        config = ('pcm.!default { type file; file "%s"; format raw; truncate false; slave.pcm { %s } }\n'
                  % (capture, chatter))
        run = self.start(["verbose"], alsa_config=config)
        self.assertEqual(run.read_until(FOUND, 30), BANNER + FOUND)
        # Each cycle reopens the device; not truncated, the file keeps the first cycle's bytes,
        # and the next cycle's go to a file of their own (".0001").
        deadline = time.monotonic() + 30
        while not os.path.exists(capture + ".0001") and time.monotonic() < deadline:
            time.sleep(0.01)
        with open(capture, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), MINUTE_BYTES)
        self.assertTrue(data == expected, "the device received other bytes than the tone")
        run.interrupt()
        self.assert_quiet(run)

    @unittest.skipUnless(NATIVE_TONE_DUMP or "--native" in sys.argv, "a native build: the oracle holds its tone instead")
    def test_the_minute_and_the_hour_are_the_native_builds_sample_for_sample(self):
        self.assert_same_tone(program(TONE_DUMP), [NATIVE_TONE_DUMP])


if __name__ == "__main__":
    args = sys.argv[2:]
    if "--emulator" in args:
        EMULATOR = args[args.index("--emulator") + 1:]
        args = args[:args.index("--emulator")]
    if "--native" in args:
        NATIVE_TONE_DUMP = args[args.index("--native") + 1]
        del args[args.index("--native"):args.index("--native") + 2]
    WAKELET, TONE_DUMP = args
    # A case that skipped ends with 77, which CTest shows as not run.
    result = unittest.main(argv=[sys.argv[0], "-v", sys.argv[1]], exit=False).result
    sys.exit(1 if not result.wasSuccessful() else 77 if result.skipped else 0)
