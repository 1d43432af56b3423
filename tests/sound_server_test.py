#!/usr/bin/env python3
"""Tests against a real sound server: a private PulseAudio daemon with null sinks in the
program's format, reached through ALSA's pulse plugin as a desktop would reach it.

Usage: sound_server_test.py WAKELET TONE_DUMP ALSA_LAYER_TESTS [TEST_NAME ...]
"""
import os
import signal
import subprocess
import sys
import time
import unittest

from e2e_support import (BANNER, FOUND, NO_DEVICE, PipeWireServer, PulseServer, Run, RunsTestCase,
                          private_environment)

WAKELET = TONE_DUMP = ALSA_LAYER_TESTS = None


class SoundServer(RunsTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.make_server(os.path.join(self.workdir.name, "server"))
        self.addCleanup(self.server.stop)
        self.server.start()

    def make_server(self, root):
        return PulseServer(root, ("keepalive", "spare"))

    def start(self, args, **kwargs):
        return self.track(Run(WAKELET, args, self.run_dir(), alsa_config=self.server.alsa_config(),
                              pulse_server=self.server.address, **kwargs))

    def assert_quiet_and_alive(self, run):
        self.assertTrue(run.alive(), "the program ended")
        run.interrupt()
        run.close()
        self.assertEqual(run.error, b"", "the program wrote to standard error")

    def watch(self, sink, run, until):
        """Samples the sink's state until `until()` holds; returns the states seen."""
        states = []
        while not until():
            states.append(self.server.sink_states().get(sink))
            run.read_for(0.25)
        return states

    def test_verbose_mode_keeps_the_sink_running_over_two_cycles(self):
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "SUSPENDED", 5))
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        # Two whole cycles: until the third cycle has opened the device.
        deadline = time.monotonic() + 150
        states = self.watch("keepalive", run,
                            lambda: run.lines(FOUND) >= 3 or time.monotonic() > deadline)
        self.assertEqual(run.output, BANNER + FOUND * 3)
        self.assertNotIn("SUSPENDED", states)
        self.assertGreaterEqual(states.count("RUNNING"), 0.95 * len(states), states)
        self.assert_quiet_and_alive(run)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "SUSPENDED", 5))

    def record_a_second_of_the_tone(self, tone):
        recorder = subprocess.Popen(["parec", "-d", "keepalive.monitor", "--format=s32le", "--channels=1",
                                     "--rate=44100", "--raw"], env=self.server.env, stdout=subprocess.PIPE)
        recorded = b""
        deadline = time.monotonic() + 20
        while len(recorded) < 3 * 44100 * 4 and time.monotonic() < deadline:
            recorded += os.read(recorder.stdout.fileno(), 65536)
        recorder.terminate()
        recorder.wait()
        # The recording's last whole second.
        stretch = recorded[-(len(recorded) % 4) - 44100 * 4:len(recorded) - len(recorded) % 4]
        self.assertEqual(len(stretch), 44100 * 4, "recorded %d bytes" % len(recorded))
        self.assertNotEqual(stretch, bytes(len(stretch)), "the sink received silence")
        self.assertGreaterEqual(tone.find(stretch), 0, "the recorded stretch is not a stretch of the tone")

    def test_the_sink_receives_the_tone_sample_for_sample(self):
        tone = subprocess.run([TONE_DUMP, "60000"], check=True, capture_output=True).stdout
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.record_a_second_of_the_tone(tone)
        self.assert_quiet_and_alive(run)

    def test_a_stall_and_a_suspended_sink_are_recovered_inside_the_buffer(self):
        tone = subprocess.run([TONE_DUMP, "60000"], check=True, capture_output=True).stdout
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        # Frozen for longer than the device's buffer: the stream runs dry.
        run.process.send_signal(signal.SIGSTOP)
        time.sleep(3)
        run.process.send_signal(signal.SIGCONT)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 3))
        self.server.pactl("suspend-sink", "keepalive", "1")
        time.sleep(2)
        self.server.pactl("suspend-sink", "keepalive", "0")
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 3))
        # Still the first buffer, still the exact tone.
        self.record_a_second_of_the_tone(tone)
        self.assertEqual(run.read_for(1), BANNER + FOUND)
        self.assert_quiet_and_alive(run)

    def test_a_killed_server_is_survived_and_used_again_at_the_next_attempt(self):
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        self.server.kill()
        # The buffer ends, and the next open finds no server.
        self.assertEqual(run.read_until(NO_DEVICE, 10), BANNER + FOUND + NO_DEVICE)
        self.assertTrue(run.alive())
        self.server.start()
        self.assertEqual(run.read_until(FOUND, 75, count=2), BANNER + FOUND + NO_DEVICE + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        self.assert_quiet_and_alive(run)

    def module_of(self, sink):
        return next(line.split()[0] for line in self.server.pactl("list", "short", "modules").splitlines()
                    if "sink_name=%s " % sink in line + " ")

    def test_moved_streams_and_removed_sinks_are_survived(self):
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        stream = self.server.pactl("list", "short", "sink-inputs").split()[0]
        self.server.pactl("move-sink-input", stream, "spare")
        self.assertIsNotNone(self.server.wait_for_state("spare", "RUNNING", 2))

        # The server moves the stream of a removed sink to the one that is left.
        self.server.pactl("unload-module", self.module_of("spare"))
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))

        # With the last sink gone the stream ends; the next open finds no device, and the
        # attempt after that finds the new sink.
        self.server.pactl("unload-module", self.module_of("keepalive"))
        self.assertEqual(run.read_until(NO_DEVICE, 10), BANNER + FOUND + NO_DEVICE)
        self.server.pactl("load-module", "module-null-sink", "sink_name=fresh", "format=s32le", "channels=1",
                          "rate=44100")
        self.assertEqual(run.read_until(FOUND, 75, count=2), BANNER + FOUND + NO_DEVICE + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("fresh", "RUNNING", 2))
        self.assert_quiet_and_alive(run)

    def test_normal_mode_keeps_the_sink_running_and_prints_only_the_banner(self):
        run = self.start([])
        # The hour of tone is built before the first open.
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 120))
        deadline = time.monotonic() + 5
        states = self.watch("keepalive", run, lambda: time.monotonic() > deadline)
        self.assertEqual(set(states), {"RUNNING"})
        self.assertEqual(run.output, BANNER)
        self.assert_quiet_and_alive(run)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "SUSPENDED", 5))

    def test_the_alsa_layer_on_its_own(self):
        env = private_environment(self.run_dir(), self.server.alsa_config(), self.server.address)
        result = subprocess.run([ALSA_LAYER_TESTS], env=env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


class PipeWire(SoundServer):
    """The same program against PipeWire's PulseAudio front end."""

    def make_server(self, root):
        self.addCleanup(self.assert_no_daemon_left)
        return PipeWireServer(root, session_manager=self._testMethodName != "test_pipewire_without_its_session_manager")

    def assert_no_daemon_left(self):
        deadline = time.monotonic() + 5
        while self.server.group_alive() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(self.server.group_alive(), "a PipeWire daemon outlived the test")

    def test_pipewire_keeps_the_sink_running(self):
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        deadline = time.monotonic() + 5
        self.assertEqual(set(self.watch("keepalive", run, lambda: time.monotonic() > deadline)), {"RUNNING"})
        self.assert_quiet_and_alive(run)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "IDLE", 5))

    def test_pipewire_without_its_session_manager(self):
        # Nothing links the stream, so it never gets ready: the open gives up, the program
        # reports no device and goes on.
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(NO_DEVICE, 30), BANNER + NO_DEVICE)
        self.assert_quiet_and_alive(run)


if __name__ == "__main__":
    WAKELET, TONE_DUMP, ALSA_LAYER_TESTS = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
