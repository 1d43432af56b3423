#!/usr/bin/env python3
"""Measures whole cycles of `wakelet verbose` on each Linux audio stack, beside aplay
playing the same minute of tone through the same server in the same run.

For each stack it starts a private server with a null sink in the program's format, starts
the program, and from its first "audio device found." on times each whole cycle (from one
stream's start to the next) and the CPU time the process spent in it, all its threads
counted, ended ones included. At the start of each cycle aplay starts to play the
one-minute tone through ALSA's default device of that stack, beside it; its CPU time comes
from the kernel's account of the ended process.

Usage: scripts/measure_cycles.py [--cycles N] [BUILD_DIR]   (defaults: 3, build/release)
Needs the test command's packages and PipeWire's unpacked ALSA plugin (bash scripts/test.sh).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from e2e_support import FOUND, PipeWireServer, PulseServer, Run, private_environment  # noqa: E402


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
    """[(cycle seconds, cycle CPU seconds, CPU seconds of aplay's minute in that cycle)]."""
    server = server_class(tempfile.mkdtemp(dir=tmp))
    server.start()
    results = []
    try:
        run = Run(os.path.join(build, "wakelet"), ["verbose"], tempfile.mkdtemp(dir=tmp), **program(server))
        try:
            if FOUND not in run.read_until(FOUND, 60):
                raise RuntimeError("%s: the program found no device" % name)
            started = run.mark()
            for _ in range(cycles):
                env = private_environment(tempfile.mkdtemp(dir=tmp), **player(server))
                aplay = subprocess.Popen(["aplay", "-q", "-t", "raw", "-f", "S32_LE", "-c", "1", "-r", "44100",
                                          tone], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                cycle = run.cycles(1, 70, started)
                _, _, usage = os.wait4(aplay.pid, 0)
                aplay.returncode = 0
                if not cycle:
                    raise RuntimeError("%s: a cycle did not end within 70 s" % name)
                results.append((cycle[0][0], cycle[0][1], usage.ru_utime + usage.ru_stime))
                started = run.mark()
        finally:
            run.close()
    finally:
        server.stop()
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, default=3)
    parser.add_argument("build", nargs="?", default="build/release")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tone = os.path.join(tmp, "tone.raw")
        with open(tone, "wb") as f:
            subprocess.run([os.path.join(args.build, "tests", "tone_dump"), "60000"], check=True, stdout=f)
        print("%-56s %-16s %-20s %s" % ("stack", "cycle (s)", "CPU, a cycle (ms)", "aplay, the same minute (ms)"))
        for name, server_class, program, player in stacks():
            results = measure(name, server_class, program, player, args.build, tone, args.cycles, tmp)
            for seconds, cpu, aplay_cpu in results:
                print("%-56s %-16.2f %-20.0f %.0f" % (name, seconds, cpu * 1000, aplay_cpu * 1000), flush=True)


if __name__ == "__main__":
    main()
