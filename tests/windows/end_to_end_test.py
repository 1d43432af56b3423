#!/usr/bin/env python3
"""End-to-end tests of wakelet.exe under Wine: the real exe, its real winmm calls.

Usage: end_to_end_test.py EndToEnd[.test_...] WINE_SH WAKELET_EXE TONE_DUMP_EXE [NATIVE_TONE_DUMP]

WINE_SH is tests/windows/wine.sh, which keeps every run away from the machine's sound
servers: Wine sees no audio device, or only the ALSA configuration or the test's own
PulseAudio server a run is given (the latter through Wine's PulseAudio driver, selected in
the prefix WAKELET_HEARD_PREFIX names, which CTest makes once). A pseudo-terminal on
standard output makes Wine give the program a console; a pipe or a file is what it is.
"""
import array
import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from e2e_support import (BANNER, FOUND, MINUTE_BYTES, NO_DEVICE, SAMPLE_RATE, PulseServer, Run,  # noqa: E402
                         RunsTestCase)

WINE = WAKELET = TONE_DUMP = NATIVE_TONE_DUMP = None
# Wine's console host draws with terminal control sequences (cursor hiding and the like).
CONTROL_SEQUENCE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


class WineRun(Run):
    """One wakelet.exe under Wine; standard output is a console (pseudo-terminal) or a pipe."""

    def __init__(self, args, console=True, stdin=subprocess.DEVNULL, alsa_config=None, reader_gone=False,
                 pulse=None):
        env = {k: v for k, v in os.environ.items() if k not in ("WAKELET_ALSA_CONFIG", "WAKELET_PULSE_SERVER")}
        if alsa_config:
            env["WAKELET_ALSA_CONFIG"] = alsa_config
        if pulse:  # (Wine prefix, server address)
            env["WINEPREFIX"], env["WAKELET_PULSE_SERVER"] = pulse
        self.console = console
        # Windows plays sound from real-time threads (its audio engine's). Wine's driver gets
        # none unless asked, and where every core is busy it misses pieces of the stream, even
        # niced: heard runs are real-time, wineserver included, where they may.
        super().__init__(WINE, [WAKELET] + args, env=env, terminal=console, stdin=stdin,
                         reader_gone=reader_gone, realtime=20 if pulse else None)

    def clean(self, raw):
        return CONTROL_SEQUENCE.sub(b"", raw) if self.console else raw


def samples(data):
    return array.array("i", data[:len(data) // 4 * 4])


def sounding(data):
    return array.array("i", (sample for sample in samples(data) if sample))


def differs(heard, tone):
    """The largest difference, in units, between the samples `heard` and as many of `tone`."""
    return max(abs(a - b) for a, b in zip(heard, tone))


class EndToEnd(RunsTestCase):
    def setUp(self):
        super().setUp()
        # A Wine prefix of the case's own: the Wine server of a prefix that cases shared would
        # live in the PID namespace of the case that started it, and end with that case. The
        # heard cases play in the prefix they share, one at a time.
        os.environ["WINEPREFIX"] = os.path.join(self.workdir.name, "wine")
        self.addCleanup(subprocess.run, ["/usr/lib/wine/wineserver", "-k"], capture_output=True, timeout=30)
        if "WAKELET_HEARD_PREFIX" not in os.environ:
            subprocess.run([WINE, "wineboot", "--init"], capture_output=True, timeout=300, check=True)

    def start(self, args, **kwargs):
        return self.track(WineRun(args, **kwargs))

    def native_dump(self):
        """The Linux build's tone_dump, which the Windows build's tone must equal: the Windows
        build's own is never its own measure."""
        self.assertTrue(NATIVE_TONE_DUMP and os.access(NATIVE_TONE_DUMP, os.X_OK),
                        "no Linux build's tone_dump to compare with: %r" % NATIVE_TONE_DUMP)
        return NATIVE_TONE_DUMP

    def start_heard(self, args):
        """The program under Wine's PulseAudio driver, selected in the Wine prefix that
        WAKELET_HEARD_PREFIX names, against a PulseAudio daemon of the test's own: (run, server)."""
        prefix = os.environ["WAKELET_HEARD_PREFIX"]
        server = PulseServer(os.path.join(self.workdir.name, "server"))
        self.addCleanup(server.stop)
        server.start()
        # The prefix serves the next heard test too; the Wine processes end with this one.
        self.addCleanup(subprocess.run, ["/usr/lib/wine/wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                        capture_output=True, timeout=30)
        self.assertIsNotNone(server.wait_for_state("keepalive", "SUSPENDED", 5))
        return self.start(args, pulse=(prefix, server.address)), server

    def test_wines_pulseaudio_driver_plays_the_tone_in_whole_minutes(self):
        # The Linux build's minute; test_the_device_receives_the_tone_exactly holds the Windows
        # build's own to it.
        tone = sounding(subprocess.run([self.native_dump(), "60000"], check=True, capture_output=True).stdout)
        run, server = self.start_heard(["verbose"])
        output = run.read_until(FOUND, 60)
        self.assertEqual(output, BANNER + FOUND, "Wine's driver took no format of the tone")
        started = run.mark()
        with open(os.path.join(self.workdir.name, "heard.raw"), "wb") as out:
            recorder = server.recorder(out)
        self.addCleanup(lambda: (recorder.kill(), recorder.wait()))
        self.assertIsNotNone(server.wait_for_state("keepalive", "RUNNING", 3))
        # Whole cycles from the first, which wakes the suspended sink.
        cycles, states = server.watch_cycles(run, 2, started)
        run.read_for(1)  # while the second buffer's last samples reach the recorder
        recorder.terminate()
        self.assertEqual(run.output, BANNER + FOUND * 3)
        self.assertEqual(len(cycles), 2)
        self.assertNotIn("SUSPENDED", states)

        # Wine's driver keeps little at the server: where a virtual machine stops a busy core,
        # the sink runs dry and plays silence, the rest later. A cycle lasts its minute plus the
        # silence inside its buffer, and the second buffer is heard whole, to a unit a sample.
        with open(os.path.join(self.workdir.name, "heard.raw"), "rb") as f:
            heard = samples(f.read())
        first = next(i for i, sample in enumerate(heard) if sample)
        second = next((i for i in range(first + 441, len(heard)) if heard[i] and not heard[i - 1]
                       and not any(heard[i - 441:i]) and differs(heard[i:i + 16], tone) <= 1), None)
        self.assertIsNotNone(second, "no second buffer's start, after 10 ms of silence, was heard")
        end = second - next(k for k, sample in enumerate(reversed(heard[:second])) if sample)
        sound = [i for i in range(second, len(heard)) if heard[i]]
        self.assertGreaterEqual(len(sound), len(tone), "the second buffer was not heard to its end")
        played = [heard[first:end], heard[second:sound[len(tone) - 1] + 1]]
        self.assertFalse(any(heard[second + len(played[1]):][:441]), "the second buffer went on past its end")
        self.assertLessEqual(differs(array.array("i", filter(None, played[1])), tone), 1)
        for (seconds, _), silent in zip(cycles, (buffer.count(0) / SAMPLE_RATE for buffer in played)):
            self.assertTrue(60.0 <= seconds - silent <= 60.8, "a cycle lasted %.3f s, %.3f s of it silence "
                            "inside its buffer" % (seconds, silent))

        # A server lost mid-buffer, a second into the third: Wine's driver then never
        # hands the buffer back, and only the cycle's stall guard ends it. The server is back
        # on the same socket before the guard fires, so the next open finds it at once.
        server.kill()
        run.read_for(3)
        server.start()
        back = time.monotonic()
        output = run.read_until(FOUND, 15, count=4)
        self.assertEqual(output, BANNER + FOUND * 4, "%.1f s after the server came back" % (time.monotonic() - back))
        self.assertIsNotNone(server.wait_for_state("keepalive", "RUNNING", 3))
        run.interrupt()
        self.assertIsNotNone(server.wait_for_state("keepalive", "SUSPENDED", 10))
        self.assert_quiet(run)

    def test_wines_pulseaudio_driver_keeps_the_sink_running_in_normal_mode(self):
        run, server = self.start_heard([])
        # The hour of tone is built before the first open.
        self.assertIsNotNone(server.wait_for_state("keepalive", "RUNNING", 300))
        for _ in range(20):  # five seconds
            self.assertEqual(server.sink_states().get("keepalive"), "RUNNING")
            run.read_for(0.25)
        self.assertEqual(run.output, BANNER)
        run.interrupt()
        self.assertIsNotNone(server.wait_for_state("keepalive", "SUSPENDED", 10))
        self.assert_quiet(run)

    def test_first_argument_of_the_one_string_command_line_selects_the_mode(self):
        # Wine joins the arguments into one command line, quoting those with blanks and
        # writing an empty one as "". The program's rule skips "" before an argument, where
        # the C runtime's would see an empty first argument.
        cases = [(["verbose"], True), (["VeRbOsE", "x"], True), (["", "verbose"], True),
                 (["verbose "], False), (["-verbose"], False), (["x", "verbose"], False)]
        for args, verbose in cases:
            run = self.start(args)
            # Verbose mode tries again only a minute later and normal mode says nothing after the
            # banner; only a console shows all of it now (a pipe gets 128-byte pieces).
            expected = BANNER + NO_DEVICE if verbose else BANNER
            self.assertEqual(run.read_until(expected, 60), expected, args)
            self.assertEqual(run.read_for(1.5), expected, args)
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

    def test_a_reader_gone_is_a_reported_failure_and_a_failing_read_after_it_the_last_resort(self):
        # With nothing to read the report, the read after it meets the end of input (status 0);
        # standard input that cannot be read (opened for writing only) fails that read too.
        write_only = os.open(os.path.join(self.workdir.name, "input"), os.O_WRONLY | os.O_CREAT)
        self.addCleanup(os.close, write_only)
        report = rb"\AException EInOutError in module wakelet\.exe at [0-9A-F]{8}\.\r\nI/O error \d+\.\r\n\r\n\Z"
        for args, stdin, status, error in [(["verbose"], subprocess.DEVNULL, 0, rb"\A\Z"), ([], write_only, 1, report)]:
            run = self.start(args, console=False, stdin=stdin, reader_gone=True)
            self.assertEqual(run.process.wait(timeout=60), status, args)
            run.close()
            self.assertRegex(run.error, error, args)

    def test_the_device_receives_the_tone_exactly(self):
        expected = subprocess.run([WINE, TONE_DUMP, "60000"], check=True, capture_output=True).stdout
        # The Windows build computes the native build's tone (MinGW's own sinl once moved 3
        # samples of the hour).
        self.assert_same_tone([WINE, TONE_DUMP], [self.native_dump()])
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
        # The driver adds a period of silence whenever the device has taken all it had, as it
        # may on a busy machine: silent samples are the driver's, and are left out on both sides.
        tone, heard = sounding(expected), array.array("i")
        deadline = time.monotonic() + 120
        while len(heard) < len(tone) and time.monotonic() < deadline:
            time.sleep(0.2)
            if os.path.exists(capture) and os.path.getsize(capture) >= MINUTE_BYTES:
                with open(capture, "rb") as f:
                    heard = sounding(f.read())
        self.assertTrue(heard[:len(tone)] == tone, "the device received other samples than the tone "
                        "(%d sounding, of the tone's %d)" % (len(heard), len(tone)))
        self.assert_quiet(run)


if __name__ == "__main__":
    WINE, WAKELET, TONE_DUMP = sys.argv[2:5]
    NATIVE_TONE_DUMP = sys.argv[5] if len(sys.argv) > 5 else None
    unittest.main(argv=[sys.argv[0], "-v", sys.argv[1]])
