#!/usr/bin/env python3
"""Tests against real sound servers, each a private daemon with null sinks in the program's
format: PulseAudio, and PipeWire reached through its PulseAudio service or through its own
ALSA plugin. Where a PulseAudio service answers the program talks to it with libpulse;
otherwise it goes through ALSA's default device.

Usage: sound_server_test.py WAKELET TONE_DUMP ALSA_LAYER_TESTS [TEST_NAME ...]
"""
import array
import os
import select
import signal
import subprocess
import sys
import time
import unittest

from e2e_support import (BANNER, FOUND, NO_DEVICE, PipeWireServer, PulseServer, Run, RunsTestCase,
                          null_sink, private_environment)

WAKELET = TONE_DUMP = ALSA_LAYER_TESTS = None


class SoundServer(RunsTestCase):
    """PulseAudio."""
    # The inherited cases a subclass runs again, on its own stack; a class runs all of its
    # own.
    repeats = ()
    # What the sink goes back to once the program has ended.
    idle_state = "SUSPENDED"
    # Whether the sink's monitor gives back the samples exactly as played.
    monitor_is_exact = True
    # How long after the sink stops the position the program reads can still move: libpulse
    # reports once more as the sink suspends, then no more.
    position_lag = 0.0

    def setUp(self):
        super().setUp()
        self.server = self.make_server(os.path.join(self.workdir.name, "server"))
        self.addCleanup(self.server.stop)
        self.server.start()

    def make_server(self, root):
        return PulseServer(root, ("keepalive", "spare"))

    def environment(self):
        """How the program reaches the server: Run's audio arguments."""
        return dict(alsa_config=self.server.alsa_config(), pulse_server=self.server.address)

    def routes(self):
        """Every route to this server the device layer can take, by name."""
        return {"libpulse": SoundServer.environment(self), "ALSA's pulse plugin": dict(alsa_config=self.server.alsa_config())}

    def start(self, args, **kwargs):
        audio = self.environment()
        audio.update(kwargs)
        return self.track(Run(WAKELET, args, self.run_dir(), **audio))

    def assert_quiet_and_alive(self, run):
        self.assertTrue(run.alive(), "the program ended")
        run.interrupt()
        self.assert_quiet(run)

    def test_verbose_mode_keeps_the_sink_running_over_two_cycles(self):
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "SUSPENDED", 5))
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        run.measure_cpu = run.own_cpu_seconds
        started = run.mark()
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        # Where the monitor is exact, it is heard across the first buffer's end. (PipeWire's
        # is not; there a recorder's small latency would only shrink the graph's quantum, and
        # beside other work the graph then misses cycles.)
        heard = os.path.join(self.workdir.name, "heard.raw")
        if self.monitor_is_exact:
            with open(heard, "wb") as out:
                recorder = self.server.recorder(out)
            self.addCleanup(lambda: (recorder.kill(), recorder.wait()))
        # Whole cycles from the first, which wakes the suspended sink.
        cycles, states = self.server.watch_cycles(run, 2, started)
        if self.monitor_is_exact:
            recorder.terminate()
            with open(heard, "rb") as f:
                self.assert_a_buffer_ends_and_the_next_starts_whole(f.read())
        self.assertEqual(run.output, BANNER + FOUND * 3)
        self.assertEqual(len(cycles), 2)
        for seconds, cpu in cycles:
            # A cycle lasts its minute, ending at the first poll after the device is done
            # (timed by when its line is read, to a few hundredths); a player that
            # busy-waits shows in its CPU time. PipeWire's plugin spends about as much again
            # on each quantum, on a thread of its own, not counted here.
            self.assertTrue(59.9 <= seconds <= 60.8, "cycles lasted %s s" % ["%.3f" % c[0] for c in cycles])
            self.assertLess(cpu, 0.5, "a cycle cost %.3f s of CPU" % cpu)
        self.assertNotIn("SUSPENDED", states)
        self.assertGreaterEqual(states.count("RUNNING"), 0.95 * len(states), states)
        self.assert_quiet_and_alive(run)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", self.idle_state, 10))

    def assert_a_buffer_ends_and_the_next_starts_whole(self, heard):
        """Between the first two buffers the sink hears silence. Where the sound stops pins
        the phase of the last sample heard, and the next buffer's first samples follow it."""
        period = 4410 * 4  # bytes of one period of the tone, which any stretch of it matches
        tone = subprocess.run([TONE_DUMP, "60000"], check=True, capture_output=True).stdout
        sound = next(i for i in range(0, len(heard), 4) if heard[i:i + 4] != bytes(4))
        stop = heard.find(bytes(32), sound) + 3 & ~3  # (the last sample heard ends in no 0 bytes)
        self.assertGreater(stop, sound + period, "no silence between the buffers")
        self.assertEqual(heard[stop - period:stop], tone[-period:], "the buffer's end was not heard whole")
        start = next(i for i in range(stop, len(heard), 4) if heard[i:i + 4] != bytes(4)) - 4
        self.assertEqual(heard[start:start + period], tone[:period], "the next buffer's start was not heard whole")

    def record_a_second_of_the_tone(self, tone):
        recorded = self.server.record(3)
        # The recording's last whole second.
        stretch = recorded[-(len(recorded) % 4) - 44100 * 4:len(recorded) - len(recorded) % 4]
        self.assertEqual(len(stretch), 44100 * 4, "recorded %d bytes" % len(recorded))
        self.assertNotEqual(stretch, bytes(len(stretch)), "the sink received silence")
        if self.monitor_is_exact:
            self.assertGreaterEqual(tone.find(stretch), 0, "the recorded stretch is not a stretch of the tone")

    def card_stand_in(self):
        """(Where it writes, Run's ALSA configuration): ALSA's default as a sound card the
        server holds, which leads to no server and records whatever is played to it."""
        card = os.path.join(self.workdir.name, "card.raw")
        return card, 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' % card

    def test_short_stalls_are_recovered_and_a_long_one_ends_the_buffer(self):
        tone = subprocess.run([TONE_DUMP, "60000"], check=True, capture_output=True).stdout
        run = self.start(["verbose"])
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        # Frozen for longer than the device's buffer, and for longer than the stall limit:
        # the stream runs dry, and a freeze is no stall of the device.
        run.process.send_signal(signal.SIGSTOP)
        time.sleep(8)
        run.process.send_signal(signal.SIGCONT)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 3))
        self.server.pactl("suspend-sink", "keepalive", "1")
        time.sleep(2)
        self.server.pactl("suspend-sink", "keepalive", "0")
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 3))
        # Still the first buffer, still the exact tone.
        self.record_a_second_of_the_tone(tone)
        self.assertEqual(run.read_for(1), BANNER + FOUND, "the freeze or the short suspension ended the buffer")

        # Stopped for longer than the stall limit: the buffer ends 5 s after the position's
        # last move, at one of the cycle's 100 ms polls, then the reset and the close (0.3 s),
        # told by the server as it happens; and the next cycle opens the device again.
        removed = "Event 'remove' on sink-input #%s\n" % self.server.pactl("list", "short", "sink-inputs").split()[0]
        events = subprocess.Popen(["pactl", "subscribe"], env=self.server.env, stdout=subprocess.PIPE)
        self.addCleanup(lambda: (events.kill(), events.wait()))
        self.server.pactl("suspend-sink", "keepalive", "1")
        suspended, told, chunk = time.monotonic(), "", b"-"
        while removed not in told and chunk and select.select([events.stdout], [], [],
                                                              max(0, suspended + 10 - time.monotonic()))[0]:
            chunk = os.read(events.stdout.fileno(), 4096)
            told += chunk.decode()
        ended = time.monotonic() - suspended
        self.assertIn(removed, told, "the server never told of the stream's end")
        # The position is seen to move at least every 1.5 s before the suspension (libpulse's
        # timing reports come at most that far apart), so the limit cannot have run out sooner.
        self.assertTrue(5.0 - 1.5 - 0.1 <= ended < 5.0 + self.position_lag + 0.1 + 0.3,
                        "the stalled buffer ended %.2f s after the sink was suspended" % ended)
        time.sleep(max(0.0, suspended + 7 - time.monotonic()))
        self.server.pactl("suspend-sink", "keepalive", "0")
        self.assertEqual(run.read_until(FOUND, 10, count=2), BANNER + FOUND * 2)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 3))

        # A sink kept suspended is no device: the buffer ends, and the open after it, whose
        # stream does not start playing, gives up once, for a whole cycle.
        self.server.pactl("suspend-sink", "keepalive", "1")
        self.assertEqual(run.read_until(NO_DEVICE, 15), BANNER + FOUND * 2 + NO_DEVICE)
        self.assertEqual(run.read_for(6), BANNER + FOUND * 2 + NO_DEVICE)
        self.assert_quiet_and_alive(run)

    def test_a_killed_server_is_survived_and_used_again_at_the_next_attempt(self):
        # Where the program reaches the server through libpulse, ALSA's default stands for
        # the card behind it: while the server is away the card is still the server's. (The
        # ALSA routes reach the server through ALSA's default on purpose.)
        card, alsa_config = self.card_stand_in()
        libpulse = "pulse_server" in self.environment()
        run = self.start(["verbose"], **(dict(alsa_config=alsa_config) if libpulse else {}))
        self.assertEqual(run.read_until(FOUND, 60), BANNER + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 2))
        cpu, memory = run.cpu_seconds(), run.resident_kb()
        self.server.kill()
        # The buffer ends, cheaply, and the next open finds no server and takes no card.
        output = run.read_until(NO_DEVICE, 10)
        self.assertFalse(os.path.exists(card), "the program opened the card while its server was away")
        self.assertEqual(output, BANNER + FOUND + NO_DEVICE)
        self.assertTrue(run.alive())
        self.assertLess(run.cpu_seconds() - cpu, 1.0, "losing the server cost that much CPU")
        self.assertLess(run.resident_kb() - memory, 4096, "losing the server cost that much memory (KiB)")
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
        self.server.pactl("load-module", "module-null-sink", *null_sink("fresh"))
        self.assertEqual(run.read_until(FOUND, 75, count=2), BANNER + FOUND + NO_DEVICE + FOUND)
        self.assertIsNotNone(self.server.wait_for_state("fresh", "RUNNING", 2))
        self.assert_quiet_and_alive(run)

    def test_normal_mode_keeps_the_sink_running_and_prints_only_the_banner(self):
        run = self.start([])
        # The hour of tone is built before the first open.
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "RUNNING", 120))
        for _ in range(20):  # five seconds
            self.assertEqual(self.server.sink_states().get("keepalive"), "RUNNING")
            run.read_for(0.25)
        self.assertEqual(run.output, BANNER)
        self.assert_quiet_and_alive(run)
        self.assertIsNotNone(self.server.wait_for_state("keepalive", "SUSPENDED", 5))

    def test_the_alsa_layer_on_its_own(self):
        timed = "AlsaLayer.PlaysABufferInRealTimeAndCheaplyThenFreesIt"
        for route, audio in self.routes().items():
            env = private_environment(self.run_dir(), **audio)
            result = subprocess.run([ALSA_LAYER_TESTS, "--gtest_filter=AlsaLayer.*-" + timed], env=env, capture_output=True,
                                    text=True)
            self.assertEqual(result.returncode, 0, "through %s:\n%s%s" % (route, result.stdout, result.stderr))
            # The test that times a buffer plays alone, heard at the sink's monitor, asked for
            # little latency so that the sink renders no further ahead of what plays: what a
            # stream that went early never played never arrives. The recorder must be taking
            # samples before the buffer starts, and may deliver them late on a busy machine:
            # it is read until the buffer's end has come through.
            recorder = self.server.recorder()
            try:
                self.assertTrue(select.select([recorder.stdout], [], [], 10)[0], "the monitor gave nothing")
                recorded = os.read(recorder.stdout.fileno(), 4096)
                result = subprocess.run([ALSA_LAYER_TESTS, "--gtest_filter=" + timed], env=env,
                                        capture_output=True, text=True)
                deadline, left = time.monotonic() + 5, 8820
                # A resampling server blurs the last few.
                while left > 20 and time.monotonic() < deadline:
                    if select.select([recorder.stdout], [], [], 0.1)[0]:
                        recorded += os.read(recorder.stdout.fileno(), 65536)
                    left = self.left_unheard(recorded)
            finally:
                recorder.terminate()
                recorder.communicate()
            self.assertEqual(result.returncode, 0, "through %s:\n%s%s" % (route, result.stdout, result.stderr))
            self.assertLessEqual(left, 20, "through %s the sound stopped %d samples before the buffer's end "
                                 "(%d recorded)" % (route, left, len(recorded) // 4))

    @staticmethod
    def left_unheard(recorded):
        """How many of the timed buffer's samples the monitor did not hear before the sound
        stopped, read off its last 0.2 s, which fall by 65536 a sample down to 65536: all of
        them until the end of a fall has come through. Where the last fall ends says how far
        the buffer played, whatever holes a server that misses a cycle on a busy machine
        leaves before it."""
        samples = array.array("i", recorded[:len(recorded) // 4 * 4])
        left, run = 8820, 0
        for i in range(1, len(samples)):
            if 32768 <= samples[i - 1] - samples[i] <= 98304 and samples[i] > 0:
                run += 1
            else:
                if run >= 8:
                    left = max(0, round(samples[i - 1] / 65536) - 1)
                run = 0
        return left


class PulseAudioAlsa(SoundServer):
    """PulseAudio through ALSA's pulse plugin, with no PulseAudio service in reach of the
    program's own libpulse: the ALSA route against a server that can suspend a busy sink."""
    repeats = ("short_stalls_are_recovered_and_a_long_one_ends_the_buffer",)
    # The player looks at the device at least once a second.
    position_lag = 1.0

    def environment(self):
        return SoundServer.routes(self)["ALSA's pulse plugin"]


class PipeWire(SoundServer):
    """PipeWire, reached through its PulseAudio service."""
    repeats = ("verbose_mode_keeps_the_sink_running_over_two_cycles",
               "a_killed_server_is_survived_and_used_again_at_the_next_attempt", "the_alsa_layer_on_its_own")
    idle_state = "IDLE"
    # The graph runs at its own rate: what the monitor hears has been resampled twice.
    monitor_is_exact = False

    def make_server(self, root):
        self.addCleanup(self.assert_no_daemon_left)
        return PipeWireServer(root, session_manager=self._testMethodName != "test_without_its_session_manager")

    def routes(self):
        return {"libpulse": SoundServer.environment(self),
                "PipeWire's ALSA plugin": dict(alsa_config=self.server.pipewire_alsa_config(),
                                               pipewire_runtime=self.server.env["XDG_RUNTIME_DIR"])}

    def assert_no_daemon_left(self):
        deadline = time.monotonic() + 5
        while self.server.group_alive() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(self.server.group_alive(), "a PipeWire daemon outlived the test")

    def test_without_its_session_manager(self):
        # Nothing links the stream, so nothing plays it: the program reports no device,
        # waits its cycle and goes on. Nor is the card PipeWire holds taken from it where
        # only PipeWire's own socket answers, ALSA's default leading to the card.
        card, alsa_config = self.card_stand_in()
        runs = [self.start(["verbose"]), self.track(Run(WAKELET, ["verbose"], self.run_dir(), alsa_config=alsa_config,
                                                        pipewire_runtime=self.server.env["XDG_RUNTIME_DIR"]))]
        for run in runs:
            self.assertEqual(run.read_until(NO_DEVICE, 30), BANNER + NO_DEVICE)
        for run in runs:
            self.assertEqual(run.read_for(5), BANNER + NO_DEVICE)
            self.assert_quiet_and_alive(run)
        self.assertFalse(os.path.exists(card), "the program opened the card PipeWire holds")


class PipeWireAlsa(PipeWire):
    """PipeWire through its own ALSA plugin, as ALSA's default, with no PulseAudio service
    in reach of the program."""
    repeats = ("verbose_mode_keeps_the_sink_running_over_two_cycles",
               "a_killed_server_is_survived_and_used_again_at_the_next_attempt", "without_its_session_manager")

    def environment(self):
        return self.routes()["PipeWire's ALSA plugin"]


class BlockingPlugin(RunsTestCase):
    """No server: ALSA's default is a device that plays for a while and then stands still,
    whose stop then blocks, and whose drain always does, until the test releases them
    (tests/blocking_alsa_plugin.cpp)."""

    def device(self, plays):
        release = os.path.join(self.workdir.name, "release")
        self.addCleanup(lambda: open(release, "w").close())
        return ('pcm_type.blocking { lib "%s" }\npcm.!default { type blocking; plays %d; release "%s" }\n'
                % (os.environ["WAKELET_BLOCKING_PLUGIN"], plays, release))

    def test_stalls_in_calls_that_block_are_survived(self):
        with self.subTest("the cycle"):
            run = self.track(Run(WAKELET, ["verbose"], self.run_dir(), alsa_config=self.device(3)))
            self.assertEqual(run.read_until(FOUND, 10), BANNER + FOUND)
            # 3 s of play, the stall limit's 5 s, then a reset that gives the device up, and the
            # next cycle, which opens nothing while the device given up still hangs.
            self.assertEqual(run.read_until(NO_DEVICE, 18), BANNER + FOUND + NO_DEVICE)
            self.assertTrue(run.alive(), "the program ended")
            self.assert_quiet(run)
        with self.subTest("the layer's end of a buffer"):  # played, then a drain that never ends
            timed = "--gtest_filter=AlsaLayer.PlaysABufferInRealTimeAndCheaplyThenFreesIt"
            env = private_environment(self.run_dir(), self.device(60))
            try:
                result = subprocess.run([ALSA_LAYER_TESTS, timed], env=env, capture_output=True, text=True,
                                        timeout=15)
            except subprocess.TimeoutExpired as e:
                self.fail("the layer still waited after 15 s:\n%s" % (e.stdout or b"").decode())
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


def cases():
    """Class.case of every case that runs: each class's own, and those it repeats."""
    for name, cls in sorted(globals().items()):
        if isinstance(cls, type) and issubclass(cls, RunsTestCase) and cls is not RunsTestCase:
            repeats = list(getattr(cls, "repeats", ()))
            for case in repeats:
                getattr(cls, "test_" + case)  # a repeat that names no case fails here
            for case in sorted(m[5:] for m in vars(cls) if m.startswith("test_")) + repeats:
                yield "%s.%s" % (name, case)


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print("\n".join(cases()))
        sys.exit(0)
    WAKELET, TONE_DUMP, ALSA_LAYER_TESTS = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
