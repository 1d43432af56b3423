#!/usr/bin/env python3
"""End-to-end tests of wakelet.exe under Wine: the real exe, its real winmm calls.

Usage: end_to_end_test.py WINE_SH WAKELET_EXE TONE_DUMP_EXE [NATIVE_TONE_DUMP]

WINE_SH is tests/windows/wine.sh, which keeps every run away from the machine's sound
servers: by default Wine has no audio device at all; a run given an ALSA configuration
sees only that. A pseudo-terminal on standard output makes Wine give the program a
console; a pipe or a file is what it is.
"""
import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from e2e_support import BANNER, FOUND, NO_DEVICE, Run, RunsTestCase, compare_tone_dumps  # noqa: E402

WINE = WAKELET = TONE_DUMP = NATIVE_TONE_DUMP = None

MINUTE_BYTES = 2646000 * 4
# Wine's console host draws with terminal control sequences (cursor hiding and the like).
CONTROL_SEQUENCE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


class WineRun(Run):
    """One wakelet.exe under Wine; standard output is a console (pseudo-terminal) or a pipe."""

    def __init__(self, args, console=True, stdin=subprocess.DEVNULL, alsa_config=None, reader_gone=False):
        env = dict(os.environ)
        env.pop("WAKELET_ALSA_CONFIG", None)
        if alsa_config:
            env["WAKELET_ALSA_CONFIG"] = alsa_config
        self.console = console
        super().__init__(WINE, [WAKELET] + args, env=env, terminal=console, stdin=stdin,
                         reader_gone=reader_gone)

    def clean(self, raw):
        return CONTROL_SEQUENCE.sub(b"", raw) if self.console else raw


class EndToEnd(RunsTestCase):
    def start(self, args, **kwargs):
        return self.track(WineRun(args, **kwargs))

    def test_console_gets_each_line_at_once_and_no_device_is_said_in_verbose_mode(self):
        run = self.start(["verbose"])
        # Nowhere near 128 bytes follow the banner's first piece: only a console shows them now.
        self.assertEqual(run.read_until(BANNER + NO_DEVICE, 60), BANNER + NO_DEVICE)
        self.assertEqual(run.read_for(1.5), BANNER + NO_DEVICE, "the next attempt comes a minute later")
        self.assertIsNone(run.process.poll())
        run.close()
        self.assertEqual(run.error, b"")

    def test_first_argument_of_the_one_string_command_line_selects_the_mode(self):
        # Wine joins the arguments into one command line, quoting those with blanks and
        # writing an empty one as "". The program's rule skips "" before an argument, where
        # the C runtime's would see an empty first argument.
        cases = [(["VeRbOsE", "x"], True), (["", "verbose"], True),
                 (["verbose "], False), (["-verbose"], False), (["x", "verbose"], False)]
        for args, verbose in cases:
            run = self.start(args)
            if verbose:
                self.assertEqual(run.read_until(BANNER + NO_DEVICE, 60), BANNER + NO_DEVICE, args)
            else:
                # Normal mode builds the hour-long tone and says nothing after the banner.
                self.assertEqual(run.read_until(BANNER, 60), BANNER, args)
                self.assertEqual(run.read_for(1.0), BANNER, args)
                self.assertIsNone(run.process.poll(), args)
            run.close()
            self.assertEqual(run.error, b"", args)

    def test_pipe_gets_128_byte_pieces_and_loses_the_rest_on_ctrl_c(self):
        run = self.start(["verbose"], console=False)
        self.assertEqual(run.read_until(BANNER[:128], 60), BANNER[:128])
        # The banner's last 15 bytes and the device message (24 bytes a minute) wait in the buffer.
        self.assertEqual(run.read_for(3), BANNER[:128])
        self.assertIsNone(run.process.poll())
        run.process.send_signal(signal.SIGINT)  # Wine hands it to the process as Ctrl-C
        run.process.wait(timeout=30)
        self.assertEqual(run.read_for(0.5), BANNER[:128])
        self.assertEqual(run.chunks, [BANNER[:128]])

    def test_a_reader_that_goes_away_is_a_reported_failure(self):
        # With nothing to read the report, the read after it meets the end of input: status 0.
        run = self.start(["verbose"], console=False, reader_gone=True)
        self.assertEqual(run.process.wait(timeout=60), 0)
        run.close()
        self.assertEqual(run.error, b"")

    def test_a_failing_read_after_the_report_is_the_last_resort(self):
        # Standard input that cannot be read (opened for writing only) fails the read too.
        write_only = os.open(os.path.join(self.workdir.name, "input"), os.O_WRONLY | os.O_CREAT)
        run = self.start([], console=False, stdin=write_only, reader_gone=True)
        os.close(write_only)
        self.assertEqual(run.process.wait(timeout=60), 1)
        run.close()
        self.assertRegex(run.error, rb"\AException EInOutError in module wakelet\.exe at [0-9A-F]{8}\.\r\n"
                                    rb"I/O error \d+\.\r\n\r\n\Z")

    def test_the_device_receives_the_tone_exactly(self):
        expected = subprocess.run([WINE, TONE_DUMP, "60000"], check=True, capture_output=True).stdout
        self.assertEqual(len(expected), MINUTE_BYTES)
        if NATIVE_TONE_DUMP:
            # The Windows build computes the native build's tone: the minute and the hour,
            # sample for sample (MinGW's own sinl once moved 3 samples of the hour).
            for duration_ms, samples in ((60000, 2646000), (3600000, 158760000)):
                ours, native, differing, first = compare_tone_dumps([WINE, TONE_DUMP], [NATIVE_TONE_DUMP],
                                                                    duration_ms)
                self.assertEqual((ours, native), (samples, samples), duration_ms)
                self.assertEqual(differing, 0, "%d ms: %d samples differ from the native build's, the first at %s"
                                 % (duration_ms, differing, first))
        # Wine's ALSA driver in front of a device that takes data as fast as it comes; the
        # file gathers every cycle's bytes, one after the other.
        capture = os.path.join(self.workdir.name, "capture.raw")
        config = os.path.join(self.workdir.name, "asound.conf")
        with open(config, "w") as f:
            f.write('pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw"; '
                    'truncate false }\n' % capture)
        run = self.start(["verbose"], alsa_config=config)
        output = run.read_until(BANNER + FOUND, 60)
        if output != BANNER + FOUND:
            run.close()  # what Wine said, if it gave up before the program started
            self.fail("output %r, status %s, standard error %r" % (output, run.process.returncode, run.error))
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and (not os.path.exists(capture)
                                               or os.path.getsize(capture) < MINUTE_BYTES):
            time.sleep(0.2)
        with open(capture, "rb") as f:
            data = f.read(MINUTE_BYTES)
        self.assertEqual(len(data), MINUTE_BYTES)
        self.assertTrue(data == expected, "the device received other bytes than the tone")
        run.close()
        self.assertEqual(run.error, b"")


if __name__ == "__main__":
    WINE, WAKELET, TONE_DUMP = sys.argv[1:4]
    NATIVE_TONE_DUMP = sys.argv[4] if len(sys.argv) > 4 else None
    unittest.main(argv=[sys.argv[0], "-v"])
