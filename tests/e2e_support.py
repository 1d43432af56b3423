"""Shared pieces of the end-to-end tests: a wakelet process under observation, and private
sound servers with null sinks. Every process gets its own ALSA configuration, sound-server
address and runtime directories, so the machine's own audio setup never takes part."""
import array
import errno
import os
import pty
import resource
import select
import signal
import subprocess
import tempfile
import threading
import time
import tty
import unittest

BANNER = (b"Pelvarin's \"keep audio alive\" hack v0.5\r\n"
          b"\r\n"
          b"Let this window open until you do not need it anymore.\r\n"
          b"(press CTRL-C to exit)\r\n"
          b"\r\n"
          b"starting hack.\r\n"
          b"\r\n")
NO_DEVICE = b"no audio device found.\r\n"
FOUND = b"audio device found.\r\n"
SAMPLE_RATE = 44100
MINUTE_BYTES = 2646000 * 4
HOUR_BYTES = 158760000 * 4


def null_sink(name):
    """module-null-sink's arguments for a sink in the program's format. Left to itself,
    PulseAudio's null sink renders up to 2 s ahead while idle and can take back only a new
    stream's latency of that, so the stream's first sample would play up to 1.5 s late,
    where a sound card's sink would rewind: the tests time the program, not the rig."""
    return ["sink_name=%s" % name, "format=s32le", "channels=1", "rate=%d" % SAMPLE_RATE, "norewinds=1"]


# A desktop's sound server plays at raised priority (PipeWire asks for this niceness): the
# rig's daemons take it where they may (as root), so that work beside them starves neither
# server's graph, by which the program's cycles are timed.
SERVER_NICENESS = -11


def raise_priority():
    try:
        os.setpriority(os.PRIO_PROCESS, 0, SERVER_NICENESS)
    except PermissionError:
        pass


def private_environment(workdir, alsa_config="", pulse_server=None, pipewire_runtime=None):
    """An environment whose audio goes only where `alsa_config` says, and to the PulseAudio
    server `pulse_server` or the PipeWire daemon in `pipewire_runtime` when given."""
    config = os.path.join(workdir, "asound.conf")
    with open(config, "w") as f:
        f.write(alsa_config)
    client = os.path.join(workdir, "client.conf")
    with open(client, "w") as f:
        f.write("autospawn = no\n")
    # A sanitized build's options, as the test command sets them, reach its programs too.
    sanitizers = {name: os.environ[name] for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
                  if name in os.environ}
    return {
        **sanitizers,
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": workdir,
        "XDG_RUNTIME_DIR": workdir,
        "ALSA_CONFIG_PATH": config,
        "PULSE_CLIENTCONFIG": client,
        "PULSE_SERVER": pulse_server or "unix:" + os.path.join(workdir, "no-such-server"),
        "PIPEWIRE_RUNTIME_DIR": pipewire_runtime or workdir,
    }


def own_cgroup(memory=False):
    """(the folder of this process's cgroup, whether it is cgroup v1), or None where its
    hierarchy is not mounted: in cgroup v2's, or with `memory` in the one with the memory
    controller (v1's where there is one: v2 then has none of it)."""
    paths = {}
    with open("/proc/self/cgroup") as f:
        for line in f.read().splitlines():
            number, controllers, path = line.split(":", 2)
            if memory and "memory" in controllers.split(","):
                paths["cgroup"] = path
            elif number == "0" and not controllers:
                paths["cgroup2"] = path
    with open("/proc/self/mountinfo") as f:
        for line in f.read().splitlines():
            fields, _, tail = line.partition(" - ")
            fields, tail = fields.split(), tail.split()
            kind = tail[0]
            if kind == "cgroup" and "memory" not in tail[2].split(","):
                continue
            if kind in paths and (kind == "cgroup" or "cgroup" not in paths):
                root = "" if fields[3] == "/" else fields[3]
                if paths[kind].startswith(root):
                    return fields[4] + paths[kind][len(root):], kind == "cgroup"
    return None


class Run:
    """One wakelet process; standard output is a raw pseudo-terminal or a pipe (one whose
    reader is gone before the process starts, with `reader_gone`). Without an `env`, the
    process gets a private one (see private_environment) made in `workdir`. With `cgroup`
    (a cgroup's directory), the process starts inside that cgroup."""

    def __init__(self, binary, args, workdir=None, alsa_config="", pulse_server=None, env=None,
                 terminal=True, stdin=subprocess.DEVNULL, memory_limit=None, reader_gone=False,
                 pipewire_runtime=None, cgroup=None, realtime=None):
        if env is None:
            env = private_environment(workdir, alsa_config, pulse_server, pipewire_runtime)
        if terminal:
            self.reader, writer = pty.openpty()
            tty.setraw(writer)  # the bytes exactly as written, no CR added
        else:
            self.reader, writer = os.pipe()
            if reader_gone:
                os.close(self.reader)
                self.reader = os.open(os.devnull, os.O_RDONLY)

        def limit():
            # Ctrl-C must end the program as it would at a terminal, even where the test
            # itself was started with SIGINT ignored (in the background, under nohup).
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            if memory_limit:
                resource.setrlimit(resource.RLIMIT_AS, (memory_limit, memory_limit))
            if cgroup:
                with open(os.path.join(cgroup, "cgroup.procs"), "w") as f:
                    f.write("0")
            if realtime is not None:
                try:  # where it may (as root); as it is otherwise
                    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(realtime))
                except PermissionError:
                    pass

        self.process = subprocess.Popen([binary] + args, stdin=stdin, stdout=writer,
                                        stderr=subprocess.PIPE, env=env, preexec_fn=limit)
        os.close(writer)
        self.raw = b""
        self.chunks = []  # each read's bytes, to see how the output was cut
        self.error = None
        self.measure_cpu = self.cpu_seconds  # what mark() and cycles() count
        self.own_ticks = {}  # thread id: CPU ticks last seen

    @property
    def output(self):
        return self.clean(self.raw)

    def clean(self, raw):
        """What of the raw output counts as the program's; all of it, here."""
        return raw

    def lines(self, line):
        """How many times `line` (one or more whole lines, with their CR LF) stands in the
        output at the start of a line; repeats in a row count one each."""
        output, count, at = self.output, 0, 0
        while (at := output.find(line, at)) >= 0:
            if at == 0 or output[at - 1:at] == b"\n":
                count += 1
                at += len(line)
            else:
                at += 1
        return count

    def read_until(self, expected, timeout, count=1):
        """Reads until the output holds the line `expected` `count` times (any bytes, if
        `expected` is not a whole line), or `timeout` seconds pass."""
        whole_line = expected.endswith(b"\r\n")
        deadline = time.monotonic() + timeout
        while (self.lines(expected) if whole_line else self.output.count(expected)) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not self._read_once(left):
                break
        return self.output

    def read_for(self, seconds):
        """Reads whatever arrives within `seconds`."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0 and self._read_once(left):
            pass
        return self.output

    def _read_once(self, timeout):
        ready, _, _ = select.select([self.reader], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.reader, 65536)
        except OSError as e:  # a pseudo-terminal whose other side is gone
            if e.errno != errno.EIO:
                raise
            chunk = b""
        if chunk:
            self.chunks.append(chunk)
        self.raw += chunk
        return bool(chunk)

    def alive(self):
        return self.process.poll() is None

    def cpu_seconds(self):
        """CPU time of all the process's threads so far, ended ones included."""
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def own_cpu_seconds(self):
        """CPU time of the threads that wait out the cycle, the main one and each buffer's
        player (ended ones as last seen), not the threads a sound server's plugin starts for
        its own per-quantum work."""
        for task in os.listdir("/proc/%d/task" % self.process.pid):
            try:
                with open("/proc/%d/task/%s/stat" % (self.process.pid, task)) as f:
                    stat = f.read()
            except OSError:  # ended since it was listed
                continue
            name, fields = stat[stat.index("(") + 1:stat.rindex(")")], stat.rsplit(")", 1)[1].split()
            if int(task) == self.process.pid or name == "wakelet-play":
                self.own_ticks[task] = int(fields[11]) + int(fields[12])
        return sum(self.own_ticks.values()) / os.sysconf("SC_CLK_TCK")

    def resident_kb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    def mark(self):
        """(now, CPU seconds so far): the start of a cycle that has just begun."""
        return time.monotonic(), self.measure_cpu()

    def cycles(self, count, timeout, started):
        """Reads until `count` more cycles have started (each one "audio device found.") and
        returns [(seconds, CPU seconds)] of each whole cycle from the start of one to the
        start of the next, the first starting at `started` (a mark())."""
        starts = [started]
        seen = self.lines(FOUND)
        deadline = time.monotonic() + timeout
        while len(starts) <= count and time.monotonic() < deadline:
            self.read_for(0.02)
            self.measure_cpu()  # sees each thread it follows before that thread ends
            if self.lines(FOUND) > seen:
                seen = self.lines(FOUND)
                starts.append(self.mark())
        return [(b[0] - a[0], b[1] - a[1]) for a, b in zip(starts, starts[1:])]

    def interrupt(self):
        """Ctrl-C: ends the process through the default action."""
        if self.alive():
            self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=10)

    def close(self):
        if self.error is not None:
            return
        if self.alive():
            self.process.kill()
            self.process.wait()
        self.error = self.process.stderr.read()
        self.process.stderr.close()
        os.close(self.reader)


class RunsTestCase(unittest.TestCase):
    """A test that starts wakelet processes: each gets a directory of its own under the
    test's, and every one is closed when the test ends."""

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory()
        self.addCleanup(self.workdir.cleanup)
        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.close()

    def run_dir(self):
        return tempfile.mkdtemp(dir=self.workdir.name)

    def track(self, run):
        self.runs.append(run)
        return run

    def assert_same_tone(self, ours, native):
        """The tone_dump commands `ours` and `native` (argument lists) give the same minute and
        hour, compared as they come: the hour is too large to hold twice."""
        for duration_ms, size in ((60000, MINUTE_BYTES), (3600000, HOUR_BYTES)):
            runs = [subprocess.Popen(command + [str(duration_ms)], stdout=subprocess.PIPE) for command in (ours, native)]
            lengths, differing, first = [0, 0], 0, None
            try:
                while any(pieces := [run.stdout.read(1 << 22) for run in runs]):
                    if pieces[0] != pieces[1]:
                        count = min(map(len, pieces)) // 4
                        a, b = (array.array("i", piece[:count * 4]) for piece in pieces)
                        wrong = [i for i in range(count) if a[i] != b[i]]
                        differing += len(wrong)
                        first = lengths[0] // 4 + wrong[0] if first is None and wrong else first
                    lengths = [length + len(piece) for length, piece in zip(lengths, pieces)]
            finally:
                for run in runs:
                    run.stdout.close()
                    run.wait()
            self.assertEqual([run.returncode for run in runs], [0, 0], duration_ms)
            self.assertEqual(lengths, [size, size], duration_ms)
            self.assertEqual(differing, 0, "%d ms: %d samples differ from the native build's, the first at index %s"
                             % (duration_ms, differing, first))

    def assert_quiet(self, run):
        """Closes `run` and requires that it wrote nothing to standard error."""
        run.close()
        self.assertEqual(run.error, b"", "the program wrote to standard error")


class PulseServer:
    """A PulseAudio daemon of the test's own, on a private socket, with null sinks in the
    program's format, and idle sinks suspended after a second."""

    def __init__(self, root, sinks=("keepalive",)):
        self.root = root
        self.sinks = list(sinks)
        self.address = "unix:" + os.path.join(root, "native")
        self.process = None
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.path.join(root, "home"),
            "XDG_RUNTIME_DIR": os.path.join(root, "run"),
            "XDG_CONFIG_HOME": os.path.join(root, "config"),
            "PULSE_RUNTIME_PATH": os.path.join(root, "run"),
            "PULSE_STATE_PATH": os.path.join(root, "state"),
            "PULSE_SERVER": self.address,
        }
        for name in ("home", "run", "config", "state"):
            os.makedirs(os.path.join(root, name), mode=0o700, exist_ok=True)

    def alsa_config(self):
        return ('pcm.!default { type pulse; server "%s" }\n'
                'ctl.!default { type pulse; server "%s" }\n' % (self.address, self.address))

    def start(self):
        args = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                "--log-target=stderr", "--log-level=error",
                "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % self.address[5:]]
        for sink in self.sinks:
            args += ["-L", " ".join(["module-null-sink"] + null_sink(sink))]
        args += ["-L", "module-suspend-on-idle timeout=1"]
        self.log = open(os.path.join(self.root, "pulseaudio.log"), "ab")
        self.process = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=self.log, preexec_fn=raise_priority)
        self.wait_for_answer("pulseaudio", 15)
        self.pactl("set-default-sink", self.sinks[0])
        return self

    def wait_for_answer(self, name, timeout):
        deadline = time.monotonic() + timeout
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode != 0:
            if self.process.poll() is not None:
                raise RuntimeError("%s ended at start-up with status %d" % (name, self.process.returncode))
            if time.monotonic() > deadline:
                raise RuntimeError("%s did not answer" % name)
            time.sleep(0.1)

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def sink_states(self):
        """{sink name: state}, e.g. {"keepalive": "RUNNING"}."""
        states = {}
        for line in self.pactl("list", "sinks", "short").splitlines():
            fields = line.split("\t")
            states[fields[1]] = fields[-1]
        return states

    def wait_for_state(self, sink, state, timeout):
        """Seconds it took for `sink` to reach `state`, or None."""
        start = time.monotonic()
        while time.monotonic() - start < timeout:
            if self.sink_states().get(sink) == state:
                return time.monotonic() - start
            time.sleep(0.05)
        return None

    def recorder(self, out=subprocess.PIPE, sink="keepalive"):
        """What `sink` plays, from its monitor, as raw samples to `out`: a recorder that asks
        for little latency, so that it takes samples as the sink renders them."""
        return subprocess.Popen(["parec", "-d", sink + ".monitor", "--format=s32le", "--channels=1",
                                 "--rate=%d" % SAMPLE_RATE, "--raw", "--latency-msec=10"], env=self.env, stdout=out)

    def record(self, seconds, sink="keepalive"):
        """About `seconds` of what `sink` plays, from its monitor, as raw samples."""
        recorder = self.recorder(sink=sink)
        recorded = b""
        deadline = time.monotonic() + 20
        while len(recorded) < seconds * SAMPLE_RATE * 4 and time.monotonic() < deadline:
            if not select.select([recorder.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]:
                break
            chunk = os.read(recorder.stdout.fileno(), 65536)
            if not chunk:  # the recorder has died
                break
            recorded += chunk
        recorder.terminate()
        recorder.wait()
        return recorded

    def watch_cycles(self, run, count, started=None, sink="keepalive"):
        """Times `count` whole cycles of `run`, the first starting at `started` (a mark(), or
        now), while sampling the state of `sink` every quarter second: ([(seconds, CPU
        seconds)], [states])."""
        started = started or run.mark()
        states = []
        done = threading.Event()

        def sample():
            while not done.wait(0.25):
                states.append(self.sink_states().get(sink))

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            cycles = run.cycles(count, 75 * count, started)
        finally:
            done.set()
            sampler.join()
        return cycles, states

    def signal(self, number):
        self.process.send_signal(number)  # nothing, once it has been waited for

    def kill(self):
        if self.process:
            self.signal(signal.SIGKILL)
            self.process.wait()
            self.log.close()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        self.kill()


def pipewire_alsa_plugins():
    """The folder of PipeWire's ALSA plugins, unpacked by the test command from the
    pipewire-alsa package (which cannot be installed beside pulseaudio)."""
    root = os.environ.get("WAKELET_PIPEWIRE_ALSA") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "pipewire-alsa")
    for folder, _, files in os.walk(root):
        if "libasound_module_pcm_pipewire.so" in files:
            return folder
    raise RuntimeError("PipeWire's ALSA plugin is not unpacked under %s (scripts/test.sh does it)" % root)


class PipeWireServer(PulseServer):
    """PipeWire with WirePlumber and its PulseAudio front end, on a private runtime
    directory and D-Bus session, with a null sink in the program's format as default."""

    def __init__(self, root, session_manager=True):
        super().__init__(root, ("keepalive",))
        self.session_manager = session_manager
        self.address = "unix:" + os.path.join(root, "run", "native")  # PULSE_RUNTIME_PATH
        self.env["PULSE_SERVER"] = self.address
        self.env["XDG_STATE_HOME"] = os.path.join(root, "state")

    def start(self):
        # A busy virtual machine can stop a core for 100 ms; a node caught there past its
        # quantum costs the stream a quantum, which a card's driver on a desktop never loses.
        conf = os.path.join(self.root, "config", "pipewire", "pipewire.conf.d")
        os.makedirs(conf, exist_ok=True)
        with open(os.path.join(conf, "quantum.conf"), "w") as f:  # 171 ms at the graph's 48000 Hz
            f.write("context.properties = { default.clock.min-quantum = 8192 default.clock.max-quantum = 8192 }\n")
        daemons = "pipewire & sleep 1; %s pipewire-pulse & wait" % ("wireplumber &" if self.session_manager else "")
        self.log = open(os.path.join(self.root, "pipewire.log"), "ab")
        # The session bus's socket goes with the rest, not into /tmp, where a killed bus leaves it.
        bus = os.path.join(self.root, "session.conf")
        with open("/usr/share/dbus-1/session.conf") as f, open(bus, "w") as out:
            out.write(f.read().replace("unix:tmpdir=/tmp", "unix:dir=" + self.root))
        # Its own process group, so that stopping it takes every daemon with it.
        self.process = subprocess.Popen(["dbus-run-session", "--config-file=" + bus, "--", "sh", "-c", daemons],
                                        env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                        start_new_session=True, preexec_fn=raise_priority)
        self.wait_for_answer("pipewire", 20)
        self.pactl("load-module", "module-null-sink", *null_sink("keepalive"))
        if self.session_manager:
            # The session manager takes a moment to learn of the new sink.
            for _ in range(50):
                if subprocess.run(["pactl", "set-default-sink", "keepalive"], env=self.env,
                                  capture_output=True).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                raise RuntimeError("the new sink could not be made the default")
        return self

    def pipewire_alsa_config(self):
        """ALSA's default device as PipeWire's own ALSA plugin, as pipewire-alsa sets it."""
        plugins = pipewire_alsa_plugins()
        return ('pcm_type.pipewire { lib "%s/libasound_module_pcm_pipewire.so" }\n'
                'ctl_type.pipewire { lib "%s/libasound_module_ctl_pipewire.so" }\n'
                'pcm.!default { type pipewire; playback_node "-1"; capture_node "-1" }\n'
                'ctl.!default { type pipewire }\n' % (plugins, plugins))

    def signal(self, number):
        if self.group_alive():
            os.killpg(self.process.pid, number)

    def group_alive(self):
        """Whether any process of the daemons' group is left."""
        try:
            os.killpg(self.process.pid, 0)
            return True
        except ProcessLookupError:
            return False
