#!/usr/bin/env python3
"""Measures what keeping the output awake costs, beside aplay playing the same tone.

Both play the one-minute tone to the null sink of a private PulseAudio daemon through
ALSA's default device. For each, over the same window of a running playback, it reads the
CPU time and the wakeups of all the process's threads, and scales them to one minute.

Usage: scripts/measure_steady_state.py [BUILD_DIR]   (default: build/release)
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from e2e_support import FOUND, PulseServer, Run, private_environment  # noqa: E402

SETTLE = 2.0   # seconds after playback starts before the window opens
WINDOW = 50.0  # seconds; stays inside one minute-long buffer


def snapshot(pid):
    """(CPU seconds, wakeups) summed over the process's threads. CPU time comes from the
    scheduler's nanosecond count; a wakeup is a voluntary context switch (the thread went
    to sleep), so preemptions by other load are left out."""
    cpu = 0.0
    wakeups = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                cpu += int(f.read().split()[0]) / 1e9
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        wakeups += int(line.split()[1])
        except FileNotFoundError:
            pass
    return cpu, wakeups


def measure(pid):
    time.sleep(SETTLE)
    cpu0, sw0 = snapshot(pid)
    time.sleep(WINDOW)
    cpu1, sw1 = snapshot(pid)
    scale = 60.0 / WINDOW
    return (cpu1 - cpu0) * scale, (sw1 - sw0) * scale


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
    with tempfile.TemporaryDirectory() as tmp:
        server = PulseServer(os.path.join(tmp, "pulse")).start()
        try:
            tone = os.path.join(tmp, "tone.raw")
            with open(tone, "wb") as f:
                subprocess.run([os.path.join(build, "tests", "tone_dump"), "60000"], check=True, stdout=f)

            run = Run(os.path.join(build, "wakelet"), ["verbose"], tempfile.mkdtemp(dir=tmp),
                      alsa_config=server.alsa_config(), pulse_server=server.address)
            try:
                run.read_until(FOUND, 60)
                wakelet = measure(run.process.pid)
            finally:
                run.close()

            env = private_environment(tempfile.mkdtemp(dir=tmp), server.alsa_config(), server.address)
            aplay = subprocess.Popen(["aplay", "-q", "-t", "raw", "-f", "S32_LE", "-c", "1", "-r", "44100", tone],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                reference = measure(aplay.pid)
            finally:
                aplay.kill()
                aplay.wait()
        finally:
            server.stop()

    print("per minute of playback    CPU time (ms)   wakeups")
    print("wakelet verbose          %14.1f %9.0f" % (wakelet[0] * 1000, wakelet[1]))
    print("aplay, same tone         %14.1f %9.0f" % (reference[0] * 1000, reference[1]))


if __name__ == "__main__":
    main()
