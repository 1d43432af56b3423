#!/usr/bin/env python3
"""End-to-end tests: the real wakelet binary, run as a user would run it.

Usage: end_to_end_test.py WAKELET TONE_DUMP [--native NATIVE_TONE_DUMP] [--emulator COMMAND...]

Each run gets a private ALSA configuration and sound-server address, so the machine's own
audio setup never takes part: by default there is no audio device at all.

A cross-compiled build's programs run under the emulator given (qemu-aarch64 -L / for
ARM64), everything after --emulator being its command. Given the tone_dump of a native
x86-64 Linux build, the tests also compare this build's minute and hour of tone with it,
sample for sample.
"""
import os
import signal
import subprocess
import sys
import time
import unittest

from e2e_support import BANNER, FOUND, NO_DEVICE, Run, RunsTestCase, compare_tone_dumps

WAKELET = TONE_DUMP = NATIVE_TONE_DUMP = None
EMULATOR = []
MINUTE_BYTES = 2646000 * 4


SANITIZED = os.environ.get("WAKELET_SANITIZED") == "1"
needs_plain_memory = unittest.skipIf(SANITIZED, "a sanitized process reserves far more address space than it uses")


def program(path):
    """The command that runs a program of this build: under the emulator, if any."""
    return EMULATOR + [path]


class EndToEnd(RunsTestCase):
    def start(self, args, **kwargs):
        command = program(WAKELET)
        return self.track(Run(command[0], command[1:] + args, self.run_dir(), **kwargs))

    def test_terminal_gets_the_banner_then_a_message_a_cycle_in_verbose_mode(self):
        run = self.start(["verbose"])
        out = run.read_until(BANNER + NO_DEVICE, 30)
        self.assertEqual(out, BANNER + NO_DEVICE)
        # The next attempt comes a minute later, not before.
        self.assertEqual(run.read_for(1.5), BANNER + NO_DEVICE)
        run.interrupt()
        self.assertEqual(run.process.returncode, -signal.SIGINT)
        run.close()
        self.assertEqual(run.error, b"")

    def test_first_argument_selects_the_mode(self):
        cases = [
            (["verbose"], True), (["VERBOSE"], True), (["VeRbOsE"], True), (["verbose", "x"], True),
            (["-verbose"], False), (["/verbose"], False), (["verbose "], False), (["x", "verbose"], False),
            (["verbosex"], False), (["VERBOS\u0130"], False), ([], False),
        ]
        # One mode at a time: the normal-mode runs build the hour-long tone, and would
        # otherwise hold up the verbose runs on a small machine.
        for mode in (True, False):
            runs = [(args, self.start(args)) for args, verbose in cases if verbose == mode]
            for args, run in runs:
                self.assertEqual(run.read_until(BANNER + NO_DEVICE if mode else BANNER, 60),
                                 BANNER + NO_DEVICE if mode else BANNER, args)
            if not mode:
                # Normal mode says nothing after the banner.
                time.sleep(2)
                for args, run in runs:
                    self.assertEqual(run.read_for(0.1), BANNER, args)
                    self.assertTrue(run.alive(), args)
            for _, run in runs:
                run.close()
                self.assertEqual(run.error, b"")

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
    def test_unobtainable_memory_is_reported_and_one_line_is_read(self):
        limit = 400 * 1024 * 1024  # the hour-long tone needs 635 MB
        read, write = os.pipe()
        run = self.start([], terminal=False, stdin=read, memory_limit=limit)
        os.close(read)
        time.sleep(1)
        self.assertIsNone(run.process.poll(), "did not wait for a line")
        os.write(write, b"enter\n")
        self.assertEqual(run.process.wait(timeout=10), 0)
        os.close(write)
        self.assertEqual(run.read_for(0.5), BANNER + b"EOutOfMemory: Out of memory\r\n")
        run.close()
        self.assertEqual(run.error, b"")

        # At the end of input the read returns at once.
        run = self.start([], terminal=False, memory_limit=limit)
        self.assertEqual(run.process.wait(timeout=10), 0)
        self.assertEqual(run.read_for(0.5), BANNER + b"EOutOfMemory: Out of memory\r\n")

    @needs_plain_memory
    def test_a_failing_read_after_the_report_is_the_last_resort(self):
        directory = os.open("/", os.O_RDONLY)
        run = self.start([], terminal=False, stdin=directory, memory_limit=400 * 1024 * 1024)
        os.close(directory)
        self.assertEqual(run.process.wait(timeout=10), 1)
        self.assertEqual(run.read_for(0.5), BANNER + b"EOutOfMemory: Out of memory\r\n")
        run.close()
        self.assertRegex(run.error, rb"\AException EInOutError in module wakelet at [0-9A-F]{8}\.\r\n"
                                    rb"I/O error 21\.\r\n\r\n\Z")

    def test_a_reader_that_goes_away_is_no_crash(self):
        run = self.start(["verbose"], terminal=False, reader_gone=True)
        self.assertEqual(run.process.wait(timeout=30), 0)
        run.close()
        self.assertEqual(run.error, b"")

    def test_the_alsa_layer_delivers_the_tone_exactly(self):
        expected = subprocess.run(program(TONE_DUMP) + ["60000"], check=True, capture_output=True).stdout
        self.assertEqual(len(expected), MINUTE_BYTES)
        capture = os.path.join(self.workdir.name, "capture.raw")
        # A file plugin in front of a device that takes data as fast as it comes.
        config = 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' % capture
        run = self.start(["verbose"], alsa_config=config)
        self.assertEqual(run.read_until(FOUND, 30), BANNER + FOUND)
        # Each cycle reopens the file; catch it holding one whole buffer.
        deadline = time.monotonic() + 30
        data = b""
        while time.monotonic() < deadline:
            if os.path.exists(capture) and os.path.getsize(capture) == MINUTE_BYTES:
                run.process.send_signal(signal.SIGSTOP)
                with open(capture, "rb") as f:
                    data = f.read()
                run.process.send_signal(signal.SIGCONT)
                if len(data) == MINUTE_BYTES:
                    break
            time.sleep(0.01)
        self.assertEqual(len(data), MINUTE_BYTES)
        self.assertTrue(data == expected, "the device received other bytes than the tone")
        run.interrupt()
        run.close()
        self.assertEqual(run.error, b"")


    @unittest.skipUnless(NATIVE_TONE_DUMP or "--native" in sys.argv, "no native build to compare with")
    def test_the_minute_and_the_hour_are_the_native_builds_sample_for_sample(self):
        for duration_ms, samples in ((60000, 2646000), (3600000, 158760000)):
            ours, native, differing, first = compare_tone_dumps(program(TONE_DUMP), [NATIVE_TONE_DUMP], duration_ms)
            self.assertEqual((ours, native), (samples, samples), duration_ms)
            self.assertEqual(differing, 0, "%d ms: %d samples differ, the first at index %s"
                             % (duration_ms, differing, first))


if __name__ == "__main__":
    args = sys.argv[1:]
    if "--emulator" in args:
        EMULATOR = args[args.index("--emulator") + 1:]
        args = args[:args.index("--emulator")]
    if "--native" in args:
        NATIVE_TONE_DUMP = args[args.index("--native") + 1]
        del args[args.index("--native"):args.index("--native") + 2]
    WAKELET, TONE_DUMP = args
    unittest.main(argv=[sys.argv[0], "-v"])
