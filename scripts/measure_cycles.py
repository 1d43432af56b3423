#!/usr/bin/env python3
"""Measures whole cycles of `wakelet verbose` on each Linux audio stack, beside aplay
playing the same minute of tone through the same server in the same run.

For each stack it starts a private server with a null sink in the program's format, starts
the program, and from its first "audio device found." on times each whole cycle (from one
stream's start to the next) and the CPU time the process spent in it, all its threads
counted, ended ones included. At the start of each cycle aplay starts to play the
one-minute tone through ALSA's default device of that stack, beside it; its CPU time comes
from the kernel's account of the ended process.

It also counts the program's voluntary context switches (its wake-ups, near enough) per
cycle and per 30 s, all threads together: each thread's count is read from
/proc/PID/task/TID/status every 20 ms, and a thread that has ended keeps the count it was
last seen with. The kernel's own total for the whole run (read when the program is ended)
shows how many the sampling missed (threads that lived less than 20 ms, and the last
moments of others). The switches are also shown by thread name, the main thread's apart.

Usage: scripts/measure_cycles.py [--cycles N] [BUILD_DIR]   (defaults: 3, build/release)
Needs the test command's packages and PipeWire's unpacked ALSA plugin (bash scripts/test.sh).
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from e2e_support import FOUND, PipeWireServer, PulseServer, Run, private_environment  # noqa: E402


class CountedRun(Run):
    """A run whose threads' voluntary context switches are sampled while it is read."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.threads = {}  # thread id: [name, voluntary switches when last seen]

    def sample(self):
        root = "/proc/%d/task" % self.process.pid
        try:
            tids = os.listdir(root)
        except OSError:
            return
        for tid in tids:
            try:
                with open(os.path.join(root, tid, "status")) as f:
                    fields = dict(line.split(":", 1) for line in f if ":" in line)
            except OSError:  # the thread ended meanwhile
                continue
            name = "main" if int(tid) == self.process.pid else fields["Name"].strip()
            self.threads[tid] = [name, int(fields["voluntary_ctxt_switches"])]

    def read_for(self, seconds):
        self.sample()
        return super().read_for(seconds)

    def switches(self):
        """{thread name: voluntary switches so far}, ended threads included."""
        self.sample()
        by_name = {}
        for name, count in self.threads.values():
            by_name[name] = by_name.get(name, 0) + count
        return by_name

    def end(self):
        """Ends the process and returns the kernel's count of its voluntary
        switches over the whole run, and the sampled count just before."""
        sampled = sum(self.switches().values())
        self.process.kill()  # not SIGINT, which a shell's background job ignores
        _, _, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = 0
        return usage.ru_nvcsw, sampled


def difference(after, before):
    return {name: count - before.get(name, 0) for name, count in after.items() if count - before.get(name, 0)}


def stacks():
    """(name, server class, how the program reaches it, how aplay reaches it)."""
    def pulse(server):
        return dict(alsa_config=server.alsa_config(), pulse_server=server.address)

    def pipewire_alsa(server):
        return dict(alsa_config=server.pipewire_alsa_config(), pipewire_runtime=server.env["XDG_RUNTIME_DIR"])

    def alsa_pulse(server):
        return dict(alsa_config=server.alsa_config())

    return [
        ("PulseAudio 16 (libpulse; aplay: ALSA's pulse plugin)", PulseServer, pulse, alsa_pulse),
        ("PipeWire 0.3 (libpulse; aplay: PipeWire's ALSA plugin)", PipeWireServer, pulse, pipewire_alsa),
        ("PipeWire 0.3, its ALSA plugin for both", PipeWireServer, pipewire_alsa, pipewire_alsa),
    ]


def measure(name, server_class, program, player, build, tone, cycles, tmp):
    """[(cycle seconds, cycle CPU seconds, {thread name: voluntary switches in the cycle},
    CPU seconds and voluntary switches of aplay's minute in that cycle)], and the kernel's and
    the sampled total of switches over the whole run."""
    server = server_class(tempfile.mkdtemp(dir=tmp))
    server.start()
    results = []
    try:
        run = CountedRun(os.path.join(build, "wakelet"), ["verbose"], tempfile.mkdtemp(dir=tmp), **program(server))
        try:
            if FOUND not in run.read_until(FOUND, 60):
                raise RuntimeError("%s: the program found no device" % name)
            started, before = run.mark(), run.switches()
            for _ in range(cycles):
                env = private_environment(tempfile.mkdtemp(dir=tmp), **player(server))
                aplay = subprocess.Popen(["aplay", "-q", "-t", "raw", "-f", "S32_LE", "-c", "1", "-r", "44100",
                                          tone], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                cycle = run.cycles(1, 70, started)
                _, _, usage = os.wait4(aplay.pid, 0)
                aplay.returncode = 0
                if not cycle:
                    raise RuntimeError("%s: a cycle did not end within 70 s" % name)
                after = run.switches()
                results.append((cycle[0][0], cycle[0][1], difference(after, before), usage.ru_utime + usage.ru_stime,
                                usage.ru_nvcsw))
                started, before = run.mark(), run.switches()
            totals = run.end()
        finally:
            run.close()
    finally:
        server.stop()
    return results, totals


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, default=3)
    parser.add_argument("build", nargs="?", default="build/release")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tone = os.path.join(tmp, "tone.raw")
        with open(tone, "wb") as f:
            subprocess.run([os.path.join(args.build, "tests", "tone_dump"), "60000"], check=True, stdout=f)
        print("%-56s %-10s %-10s %-11s %-10s %-9s %s" % (
            "stack", "cycle (s)", "CPU (ms)", "aplay (ms)", "switches", "per 30 s", "aplay's switches"))
        for name, server_class, program, player in stacks():
            results, (total, sampled) = measure(name, server_class, program, player, args.build, tone, args.cycles,
                                                tmp)
            for seconds, cpu, switches, aplay_cpu, aplay_switches in results:
                count = sum(switches.values())
                print("%-56s %-10.2f %-10.0f %-11.0f %-10d %-9.0f %d" % (
                    name, seconds, cpu * 1000, aplay_cpu * 1000, count, count * 30 / seconds, aplay_switches))
                print("    by thread: %s" % ", ".join("%s %d" % item for item in sorted(switches.items())))
            print("    whole run: %d switches by the kernel's count, %d sampled" % (total, sampled), flush=True)


if __name__ == "__main__":
    main()
