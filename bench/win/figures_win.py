#!/usr/bin/env python3
"""The Windows figures: Plinkor.exe under Wine, measured from the Linux side.

Run by scripts/bench-win.sh, which gives it a Wine prefix of its own (WINEPREFIX,
DISPLAY) in a private network namespace, so that port 12345 is ours. The board
is the master end of a pseudo-terminal pair whose other end Wine maps as COM8
(the last port listed, the one the program opens at start); the browser is a
loopback client here, as in Linux's bench. CPU comes from /proc: the
program's threads, the Wine server's, and every other process of this prefix
(services, explorer), each summed from its tasks' schedstat (nanoseconds).

The anchors are bench/win/bare_win.exe, built the same way and run under the
same Wine: a bare Winsock loop for the exchanges (and a relay to COM3 for the
latency), the receive path's own calls for the flood (COM4), a cross-thread
SendMessageW for the hand-off, a plain window for the start-up.

  figures_win.py PLINKOR.EXE BARE_WIN.EXE [--runs N] [--quick] [--label TEXT]
"""
import argparse
import array
import fcntl
import glob
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import termios
import threading
import time
import tty

LINE_RATE = 11520.0  # 115200 baud, 8N1: bytes per second
MB = 1e6
PORT = 12345
ONLY_FLOOD = False
BARE_SILENT, BARE_RELAY = 12401, 12403


BEGUN = time.perf_counter()


def log(*a):
    print("[%5.0f s]" % (time.perf_counter() - BEGUN), *a, file=sys.stderr, flush=True)


def browser_request(target):
    # What Chromium sends for a page's fetch: about 600 bytes (as on Linux).
    return ("GET " + target +
            " HTTP/1.1\r\nHost: 127.0.0.1:12345\r\nConnection: keep-alive\r\n"
            "sec-ch-ua-platform: \"Windows\"\r\nUser-Agent: Mozilla/5.0 (Windows NT 10.0; "
            "Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/139.0.0.0 Safari/537.36\r\n"
            "sec-ch-ua: \"Not;A=Brand\";v=\"99\", \"Chromium\";v=\"139\"\r\n"
            "sec-ch-ua-mobile: ?0\r\nAccept: */*\r\nOrigin: http://lab.example.org\r\n"
            "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n"
            "Referer: http://lab.example.org/editor/index.html\r\n"
            "Accept-Encoding: gzip, deflate, br, zstd\r\n"
            "Accept-Language: zh-CN,zh;q=0.9,en-US;q=0.8,en;q=0.7\r\n\r\n").encode()


# --- processes and their CPU ------------------------------------------------------

PREFIX = os.environ.get("WINEPREFIX", "")


def wine_pids():
    """Every process of this prefix: {pid: (comm, cmdline)}."""
    found = {}
    for d in glob.glob("/proc/[0-9]*"):
        pid = int(d[6:])
        try:
            with open(d + "/environ", "rb") as f:
                env = f.read().split(b"\0")
            if ("WINEPREFIX=" + PREFIX).encode() not in env:
                continue
            with open(d + "/comm") as f:
                comm = f.read().strip()
            with open(d + "/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if pid == os.getpid() or "python" in comm:
            continue
        found[pid] = (comm, cmd)
    return found


def cpu_ns(pid):
    total = 0
    for t in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(t) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError):
            pass
    return total


def cpu_ns_task(task):
    try:
        with open(task + "/schedstat") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError):
        return 0


def kind(comm, cmd):
    low = cmd.lower()
    if comm.startswith("wineserver"):
        return "server"
    if "plinkor.exe" in low:
        return "program"
    if "bare_win.exe" in low:
        return "bare"
    return "other"


class CpuMeter:
    """CPU seconds by kind (program, server, bare, other) between two marks."""

    def mark(self):
        now = {"program": 0, "server": 0, "bare": 0, "other": 0}
        for pid, (comm, cmd) in wine_pids().items():
            now[kind(comm, cmd)] += cpu_ns(pid)
        return now

    @staticmethod
    def diff(a, b):
        return {k: (b[k] - a[k]) / 1e9 for k in a}


def find_program_pid(timeout=10):
    until = time.time() + timeout
    while time.time() < until:
        for pid, (comm, cmd) in wine_pids().items():
            if kind(comm, cmd) == "program" and not comm.startswith("start"):
                return pid
        time.sleep(0.01)
    return None


def status_kb(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


# --- the boards -------------------------------------------------------------------


class Pty:
    """A pseudo-terminal pair: the master is the board, the slave is mapped as a COM port.
    The slave stays open here, so that the program's closes never hang it up."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)

    def drain(self, quiet=0.02):
        while select.select([self.master], [], [], quiet)[0]:
            os.read(self.master, 65536)

    def flush_input(self):
        # What nobody has read yet: only for a port nobody has open. The program's
        # read step would wait for bytes its queue query promised and that went.
        termios.tcflush(self.slave, termios.TCIFLUSH)

    def wait_taken(self, timeout=90):
        """Until the reader has taken everything (the queue empty for 0.3 s); when
        it emptied (perf_counter), or None."""
        quiet = None
        until = time.perf_counter() + timeout
        while time.perf_counter() < until:
            if self.waiting() != 0:
                quiet = None
            elif quiet is None:
                quiet = time.perf_counter()
            elif time.perf_counter() - quiet >= 0.3:
                return quiet
            time.sleep(0.005)
        return None

    def waiting(self):
        """What the program has not read yet, as far as the line discipline holds it."""
        n = array.array("i", [0])
        fcntl.ioctl(self.slave, termios.FIONREAD, n)
        return n[0]

    def receive(self, count, timeout):
        got = b""
        until = time.time() + timeout
        while len(got) < count and time.time() < until:
            if select.select([self.master], [], [], max(0, until - time.time()))[0]:
                got += os.read(self.master, count - len(got))
        return got


class FloodWriter(threading.Thread):
    """A board that always has bytes waiting for the program, but never more than a
    few KiB: then what it wrote is, within those, what the program took."""

    def __init__(self, pty, line=b"yes\n"):
        super().__init__(daemon=True)
        self.pty = pty
        self.block = line * (4096 // len(line))
        self.written = 0
        self.stop = False
        self.start()

    def run(self):
        block = self.block
        os.set_blocking(self.pty.master, False)
        try:
            while not self.stop:
                if self.pty.waiting() >= 2048:
                    time.sleep(0.0005)
                    continue
                try:
                    self.written += os.write(self.pty.master, block)
                except BlockingIOError:
                    time.sleep(0.0005)
        finally:
            os.set_blocking(self.pty.master, True)

    def taken(self):
        return self.written - self.pty.waiting()

    def finish(self):
        self.stop = True
        self.join()


class Writer(threading.Thread):
    """Writes `block` every `period` seconds; a block finds no room when the
    program's queue holds 2 KiB or more (the line discipline holds 4 KiB at
    most): it is left out and counted."""

    def __init__(self, pty, block, period):
        super().__init__(daemon=True)
        self.pty, self.fd, self.block, self.period = pty, pty.master, block, period
        self.written = 0
        self.left_out = 0
        self.stop = False
        self.start()

    def run(self):
        # Non-blocking, so that a slow reader's bytes are counted as they go.
        os.set_blocking(self.fd, False)
        try:
            self.loop()
        finally:
            os.set_blocking(self.fd, True)

    def loop(self):
        nxt = time.monotonic()
        while not self.stop:
            if self.pty.waiting() >= 2048:
                self.left_out += len(self.block)
            else:
                try:
                    self.written += os.write(self.fd, self.block)
                except BlockingIOError:
                    self.left_out += len(self.block)
            nxt += self.period
            time.sleep(max(0, nxt - time.monotonic()))

    def finish(self):
        self.stop = True
        self.join()


# --- clients ----------------------------------------------------------------------


def exchange(port, request, timeout=5):
    s = socket.socket()
    s.settimeout(timeout)
    try:
        s.connect(("127.0.0.1", port))
        s.sendall(request)
        answer = b""
        while True:
            b = s.recv(65536)
            if not b:
                break
            answer += b
        return answer
    except OSError:
        return None
    finally:
        s.close()


def wait_for_bridge(timeout=20):
    until = time.time() + timeout
    while time.time() < until:
        if exchange(PORT, b"GET /crossdomain.xml HTTP/1.1\r\n\r\n", 2):
            return True
        time.sleep(0.05)
    return False


def measure_exchanges(bare_port, request, count, budget):
    """Ours and the bare loop in turns; rates from the medians, and the median of
    the paired ratios (bare time / our time), as Linux's bench does. Ends early,
    after 50 pairs at least, once `budget` seconds have gone."""
    ours, bares, failed = [], [], 0
    warm = min(count // 10, 20)
    until = time.perf_counter() + budget
    done = 0
    for i in range(count):
        if i >= warm + 50 and time.perf_counter() > until:
            break
        done = i + 1
        for turn in range(2):
            our = (turn == 1) != (i % 2 == 1)
            req = request(i)
            t0 = time.perf_counter()
            answer = exchange(PORT if our else bare_port, req)
            t = time.perf_counter() - t0
            if answer is None:
                failed += 1
            if i >= warm:
                (ours if our else bares).append(t)
    ratios = [b / o for o, b in zip(ours, bares)]
    log("  %d pairs" % len(ratios))
    return (1 / statistics.median(ours), 1 / statistics.median(bares), statistics.median(ratios),
            failed, done)


def read_line(fd, timeout):
    got = b""
    until = time.perf_counter() + timeout
    while not got.endswith(b"\n"):
        left = until - time.perf_counter()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        got += os.read(fd, 4096)
    return got


def measure_latency(port, board, count, budget):
    samples, lost = [], 0
    until = time.perf_counter() + budget
    for i in range(count):
        if len(samples) >= 50 and time.perf_counter() > until:
            break
        target = "/led?n=%d" % i
        req = browser_request(target)
        s = socket.socket()
        s.settimeout(5)
        try:
            s.connect(("127.0.0.1", port))
        except OSError:
            lost += 1
            s.close()
            continue
        t0 = time.perf_counter()
        s.sendall(req)
        got = read_line(board.master, 2)
        t1 = time.perf_counter()
        try:
            while s.recv(65536):
                pass
        except OSError:
            pass
        s.close()
        if got != (target + "\n").encode():
            lost += 1
            board.drain()
            if lost >= 20 and not samples:
                break  # nothing gets through: say so rather than wait on
            continue
        samples.append((t1 - t0) * 1e6)
    samples.sort()
    log("  %d samples" % len(samples))
    if not samples:
        return 0, 0, lost
    return statistics.median(samples), samples[min(len(samples) - 1, int(len(samples) * 0.99))], lost


class EchoBoard(threading.Thread):
    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd, self.stop = fd, False
        self.start()

    def run(self):
        pending = b""
        while not self.stop:
            if not select.select([self.fd], [], [], 0.02)[0]:
                continue
            pending += os.read(self.fd, 4096)
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                os.write(self.fd, b"ok&" + line + b"\n")

    def finish(self):
        self.stop = True
        self.join()


def measure_round_trip(board, count, budget):
    echo = EchoBoard(board.master)
    poll = browser_request("/poll?t=1")
    samples, lost = [], 0
    until = time.perf_counter() + budget
    for i in range(count):
        if len(samples) >= 30 and time.perf_counter() > until:
            break
        target = "/echo%d" % i
        t0 = time.perf_counter()
        exchange(PORT, browser_request(target))
        back = False
        while not back and time.perf_counter() - t0 < 2:
            answer = exchange(PORT, poll) or b""
            back = ("ok\n" + target).encode() in answer
        if back:
            samples.append((time.perf_counter() - t0) * 1e6)
        else:
            lost += 1
    echo.finish()
    samples.sort()
    if not samples:
        return 0, 0, lost
    return statistics.median(samples), samples[min(len(samples) - 1, int(len(samples) * 0.99))], lost


# --- Wine -------------------------------------------------------------------------


def wine(*args, **kw):
    return subprocess.run(["wine", *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def map_ports(ports):
    for n, path in ports.items():
        wine("reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM%d" % n, "/d", path, "/f")
    # The device map is made as Wine's services start: restart them, then keep
    # one server for the whole run.
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-p"], stderr=subprocess.DEVNULL)
    wine("cmd", "/c", "exit")


class WineProgram:
    def __init__(self, args, stdout=subprocess.DEVNULL):
        self.popen = subprocess.Popen(["wine", *args], stdout=stdout, stderr=subprocess.DEVNULL,
                                      start_new_session=True)

    def stop(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.popen.wait()


def start_program(exe, board):
    """Exec -> the greeting at the board, in ms; the program left running."""
    board.drain()
    t0 = time.perf_counter()
    program = WineProgram([exe])
    greeting = board.receive(12, 20)
    ms = (time.perf_counter() - t0) * 1e3
    if greeting != b"ready&ready&":
        program.stop()
        raise RuntimeError("no greeting: %r" % greeting)
    return program, ms


def stop_program(program):
    program.stop()
    # Wine ends the process's threads after the loader has gone: wait until
    # nothing of it is left, so that the port is free again.
    until = time.time() + 10
    while time.time() < until and any(kind(c, m) == "program" for c, m in wine_pids().values()):
        time.sleep(0.02)


def bare_window_start():
    t0 = time.perf_counter()
    w = WineProgram([BARE, "window"], stdout=subprocess.PIPE)
    w.popen.stdout.read(1)
    ms = (time.perf_counter() - t0) * 1e3
    w.stop()
    return ms


# --- one run ----------------------------------------------------------------------


def measure_flood(pty, seconds, line=b"yes\n"):
    """Bytes a second the reader takes from a board that always has more, and the CPU
    seconds of each kind meanwhile: from the first byte written until the reader
    has taken the last (what the pseudo-terminal holds in between is not seen)."""
    meter = CpuMeter()
    c0, t0 = meter.mark(), time.perf_counter()
    w = FloodWriter(pty, line)
    time.sleep(seconds)
    w.finish()
    t1 = pty.wait_taken() or time.perf_counter()
    c1 = meter.mark()  # 0.3 s after the last byte: a quiet tail, next to nothing
    cpu = CpuMeter.diff(c0, c1)
    return w.written / (t1 - t0), cpu, w.written / MB


def run_once(args, boards, quick):
    f = {}
    board, relay, floor = boards["board"], boards["relay"], boards["floor"]
    meter = CpuMeter()

    log("start-up: %d starts..." % (3 if quick else 7))
    starts = []
    for i in range(3 if quick else 7):
        program, ms = start_program(args.exe, board)
        starts.append(ms)
        if i < (2 if quick else 6):
            stop_program(program)
    f["start_ms"] = statistics.median(starts)
    f["start_all"] = starts
    log("  %s ms" % ["%.0f" % x for x in starts])
    pid = find_program_pid()
    if not wait_for_bridge():
        raise RuntimeError("the bridge did not answer")

    log("flood...")
    seconds = 1.5 if quick else 3
    rate, cpu, mbytes = measure_flood(board, seconds)
    f["flood_x"] = rate / LINE_RATE
    f["flood_cpu_mb"] = (cpu["program"] + cpu["server"]) / mbytes
    f["flood_cpu_mb_program"] = cpu["program"] / mbytes
    f["flood_cpu_mb_server"] = cpu["server"] / mbytes
    f["flood_cpu_mb_other"] = cpu["other"] / mbytes
    f["flood_us_per_byte"] = 1e6 / rate
    log("  %.0f B/s, %s" % (rate, cpu))
    board.drain()

    log("flood of 64-byte lines...")
    rate, cpu, mbytes = measure_flood(board, seconds, b"a" * 59 + b"&abc\n")
    f["flood64_x"] = rate / LINE_RATE
    f["flood64_cpu_mb"] = (cpu["program"] + cpu["server"]) / mbytes
    f["flood64_us_per_byte"] = 1e6 / rate
    log("  %.0f B/s, %s" % (rate, cpu))

    log("line-rate board...")
    line = b"a" * 59 + b"&abc\n"
    w = Writer(board, line, period=len(line) / LINE_RATE)
    time.sleep(0.5)
    c0, t0, q0, w0 = meter.mark(), time.perf_counter(), board.waiting(), w.written
    time.sleep(2 if quick else 5)
    c1, t1, q1, w1 = meter.mark(), time.perf_counter(), board.waiting(), w.written
    w.finish()
    # Less than the line rate written: the board had to wait, the program fell behind.
    f["line_written"] = (w1 - w0) / (t1 - t0) / LINE_RATE
    f["line_backlog"] = (q0, q1)
    board.wait_taken()
    cpu = CpuMeter.diff(c0, c1)
    wall = t1 - t0
    f["line_pct"] = 100 * (cpu["program"] + cpu["server"]) / wall
    f["line_pct_program"] = 100 * cpu["program"] / wall
    f["line_pct_server"] = 100 * cpu["server"] / wall
    f["line_pct_other"] = 100 * cpu["other"] / wall
    log("  %s over %.1f s, written %.2f of the line rate" % (cpu, wall, f["line_written"]))
    if ONLY_FLOOD:
        # Which of the program's threads work while it is idle, and the server.
        board.wait_taken()
        time.sleep(1)

        def per_task():
            return {t: cpu_ns_task(t) for t in glob.glob("/proc/%d/task/*" % pid)}
        a, s0 = per_task(), meter.mark()
        time.sleep(5)
        b, s1 = per_task(), meter.mark()
        busy = sorted(((b[t] - a.get(t, 0)) / 5e9 * 1e3, t.rsplit("/", 1)[1]) for t in b)
        log("  idle, ms of CPU a second by thread: %s; %s" % (
            ", ".join("%s %.2f" % (t, ms) for ms, t in reversed(busy)), CpuMeter.diff(s0, s1)))
        f["idle_threads"] = busy
        stop_program(program)
        return f

    # Take whatever lines wait, so that the polls find an empty box.
    for _ in range(50):
        a = exchange(PORT, browser_request("/poll?t=1")) or b""
        if a.endswith(b"\r\n\r\n") or b"\n\n" not in a and len(a) < 200:
            break

    count = 300 if quick else 1000
    budget = 20 if quick else 45
    log("exchanges: empty polls...")
    poll = browser_request("/poll?t=1")
    o, b, r, failed, _ = measure_exchanges(BARE_SILENT, lambda i: poll, count, budget)
    f.update(poll_ours=o, poll_bare=b, poll_ratio=r, poll_failed=failed)
    log("  ours %.0f/s, bare %.0f/s, ratio %.2f, failed %d" % (o, b, r, failed))

    log("exchanges: commands...")
    at_board = []
    stop = threading.Event()

    def collect():
        while not stop.is_set():
            while select.select([board.master], [], [], 0)[0]:
                at_board.append(os.read(board.master, 65536))
            time.sleep(0.002)
        while select.select([board.master], [], [], 0.3)[0]:
            at_board.append(os.read(board.master, 65536))

    reader = threading.Thread(target=collect)
    reader.start()
    o, b, r, failed, done = measure_exchanges(
        BARE_SILENT, lambda i: browser_request("/led?n=%d" % i), count, budget)
    time.sleep(0.3)
    stop.set()
    reader.join()
    expected = b"".join(b"/led?n=%d\n" % i for i in range(done))
    f.update(cmd_ours=o, cmd_bare=b, cmd_ratio=r, cmd_failed=failed,
             cmd_once=b"".join(at_board) == expected)
    log("  ours %.0f/s, bare %.0f/s, ratio %.2f, failed %d, once %s" % (o, b, r, failed, f["cmd_once"]))

    log("command latency...")
    n = 300 if quick else 1000
    f["lat"] = measure_latency(PORT, board, n, budget)
    f["lat_bare"] = measure_latency(BARE_RELAY, relay, n, budget)
    log("  ours %s, bare %s" % (f["lat"], f["lat_bare"]))

    log("round trips...")
    f["rt"] = measure_round_trip(board, 100 if quick else 300, budget)
    log("  %s" % (f["rt"],))
    for _ in range(20):
        if len(exchange(PORT, poll) or b"") < 200:
            break

    log("idle...")
    board.drain()
    time.sleep(1)
    c0 = meter.mark()
    time.sleep(10)
    cpu = CpuMeter.diff(c0, meter.mark())
    f["idle_program"], f["idle_server"], f["idle_other"] = cpu["program"], cpu["server"], cpu["other"]
    log("  %s" % cpu)
    f["peak_kb"] = status_kb(pid, "VmHWM") if pid else -1
    stop_program(program)

    log("anchors: the receive path's calls alone (bare_win floor)...")
    bare_floor = WineProgram([BARE, "floor", "COM4", "600"], stdout=subprocess.PIPE)
    bare_floor.popen.stdout.readline()
    rate, cpu, mbytes = measure_flood(floor, seconds)
    bare_floor.stop()
    floor.flush_input()
    floor.drain()
    f["floor_x"] = rate / LINE_RATE
    f["floor_cpu_mb"] = (cpu["bare"] + cpu["server"]) / mbytes
    f["floor_cpu_mb_server"] = cpu["server"] / mbytes
    f["floor_us_per_byte"] = 1e6 / rate
    log("  %.0f B/s, %s" % (rate, cpu))

    log("anchors: cross-thread SendMessageW and event ping-pong, bare (bare_win send)...")
    rounds = 5000 if quick else 20000
    for which, key in (("message", "send"), ("event", "event")):
        c0 = meter.mark()
        out = subprocess.run(["wine", BARE, "send", str(rounds), which], capture_output=True,
                             text=True).stdout
        cpu = CpuMeter.diff(c0, meter.mark())
        f[key + "_us"] = float(out.split()[1]) if out.split() else float("nan")
        # The server's (with its start-up and end, a few ms in 20,000); the
        # process's own is not seen: it comes and goes between the two marks.
        f[key + "_cpu_us"] = (cpu["bare"] + cpu["server"]) / rounds * 1e6
        f[key + "_cpu_us_server"] = cpu["server"] / rounds * 1e6
        log("  %s, %s" % (out.strip(), cpu))

    log("anchors: a plain window's start...")
    f["bare_start_ms"] = statistics.median(bare_window_start() for _ in range(3 if quick else 5))
    return f


def syscalls_during(pids, action):
    """What `action` costs `pids` in system calls, by name (strace -c -f): under Wine
    every call to the Wine server is a write to its request pipe and a read (or a
    wait) for the answer, so the writes count the server calls."""
    out = "/tmp/plinkor-strace-%d.txt" % os.getpid()
    cmd = ["strace", "-c", "-f", "-U", "name,calls", "-o", out]
    for pid in pids:
        cmd += ["-p", str(pid)]
    tracer = subprocess.Popen(cmd, stderr=subprocess.DEVNULL)
    time.sleep(1)  # attached to every thread
    n = action()
    tracer.send_signal(signal.SIGINT)
    tracer.wait()
    counts = {}
    with open(out) as fo:
        for line in fo:
            parts = line.split()
            if len(parts) == 2 and parts[1].isdigit() and parts[0] != "total":
                counts[parts[0]] = int(parts[1])
    os.remove(out)
    return {k: v / n for k, v in counts.items()}, n


def profile(args, boards):
    """System calls per exchange and per byte: ours against the anchors'."""
    board, floor = boards["board"], boards["floor"]
    program, _ = start_program(args.exe, board)
    wait_for_bridge()
    pid = find_program_pid()
    bare = [p for p, (c, m) in wine_pids().items() if "serve %d" % BARE_SILENT in m or
            ("bare_win" in m and "silent" in m)]
    server = [p for p, (c, m) in wine_pids().items() if c.startswith("wineserver")]
    poll = browser_request("/poll?t=1")
    results = {}

    def exchanges(port, req):
        def go():
            for i in range(200):
                exchange(port, req(i))
            return 200
        return go

    for name, port, pids, req in (
            ("empty poll, ours", PORT, [pid], lambda i: poll),
            ("empty poll, bare", BARE_SILENT, bare, lambda i: poll),
            ("command, ours", PORT, [pid], lambda i: browser_request("/led?n=%d" % i)),
            ("command, bare", BARE_SILENT, bare, lambda i: browser_request("/led?n=%d" % i))):
        results[name] = syscalls_during(pids, exchanges(port, req))
        board.drain()

    def flood(pty):
        def go():
            w = FloodWriter(pty)
            time.sleep(3)
            w.finish()
            pty.wait_taken()
            return max(1, w.written)
        return go

    results["flood byte, ours"] = syscalls_during([pid], flood(board))
    results["flood byte, Wine server (ours)"] = syscalls_during(server, flood(board))

    def idle():
        time.sleep(5)
        return 5

    results["idle second, ours"] = syscalls_during([pid], idle)
    results["idle second, Wine server"] = syscalls_during(server, idle)
    stop_program(program)

    def sends(count):
        def go():
            subprocess.run(["wine", BARE, "send", str(count), "message"], capture_output=True)
            return 1
        return go

    # The process's start and end cancel out between the two counts.
    few, _ = syscalls_during(server, sends(100))
    many, _ = syscalls_during(server, sends(5100))
    results["bare SendMessageW, Wine server"] = (
        {k: (many.get(k, 0) - few.get(k, 0)) / 5000 for k in many}, 1)
    fl = WineProgram([BARE, "floor", "COM4", "60"], stdout=subprocess.PIPE)
    fl.popen.stdout.readline()
    fpid = [p for p, (c, m) in wine_pids().items() if "floor" in m and kind(c, m) == "bare"]
    results["byte, bare ReadFile+ClearCommError"] = syscalls_during(fpid, flood(floor))
    results["byte, bare ReadFile+ClearCommError, Wine server"] = syscalls_during(server, flood(floor))
    fl.stop()
    floor.flush_input()
    print()
    print("System calls per exchange, per byte or per second (strace -c -f; the tracer slows every "
          "call). A Wine server call is a write or writev of its request and a read of the answer.")
    for name, (counts, n) in results.items():
        top = sorted(counts.items(), key=lambda kv: -kv[1])[:8]
        total = sum(counts.values())
        print("| %-40s | %6.1f | %s |" % (name, total, ", ".join(
            "%s %.1f" % kv for kv in top)))


def load():
    with open("/proc/loadavg") as fl:
        return fl.read().split()[0]


def report(runs, label):
    def med(key, i=None):
        vals = [r[key] if i is None else r[key][i] for r in runs]
        return statistics.median(vals), vals

    def row(name, fmt, key, i=None):
        if any(key not in r for r in runs):
            return
        m, vals = med(key, i)
        print("| %-46s | %-14s | %s |" % (name, fmt % m, ", ".join(fmt % v for v in vals)))

    print()
    print("Windows figures: %s; %d runs, medians" % (label, len(runs)))
    print("| %-46s | %-14s | %s |" % ("figure", "median", "runs"))
    print("|" + "-" * 48 + "|" + "-" * 16 + "|" + "-" * 30 + "|")
    row("flood -> program, x line rate", "%.2f", "flood_x")
    row("  CPU-s/MB, program + Wine server", "%.1f", "flood_cpu_mb")
    row("  CPU-s/MB, program alone", "%.1f", "flood_cpu_mb_program")
    row("  CPU-s/MB, Wine server alone", "%.1f", "flood_cpu_mb_server")
    row("  CPU-s/MB, other Wine processes", "%.2f", "flood_cpu_mb_other")
    row("  us per byte", "%.0f", "flood_us_per_byte")
    row("flood of 64-byte lines, x line rate", "%.2f", "flood64_x")
    row("  CPU-s/MB, program + Wine server", "%.1f", "flood64_cpu_mb")
    row("  us per byte", "%.0f", "flood64_us_per_byte")
    row("floor: ReadFile+ClearCommError, x line rate", "%.2f", "floor_x")
    row("  floor CPU-s/MB (process + server)", "%.1f", "floor_cpu_mb")
    row("  floor us per byte", "%.0f", "floor_us_per_byte")
    row("bare cross-thread SendMessageW, us", "%.1f", "send_us")
    row("  CPU us per send (Wine server; the process unseen)", "%.1f", "send_cpu_us")
    row("  CPU us per send (server alone)", "%.1f", "send_cpu_us_server")
    row("bare event ping-pong, us", "%.1f", "event_us")
    row("  CPU us per ping-pong (Wine server)", "%.1f", "event_cpu_us")
    row("line-rate board, % of a core (prog + server)", "%.1f", "line_pct")
    row("  board's bytes written / line rate", "%.2f", "line_written")
    row("  program alone", "%.1f", "line_pct_program")
    row("  Wine server alone", "%.1f", "line_pct_server")
    row("  other Wine processes", "%.2f", "line_pct_other")
    row("empty polls / bare", "%.2f", "poll_ratio")
    row("  ours /s", "%.0f", "poll_ours")
    row("  bare /s", "%.0f", "poll_bare")
    row("commands / bare", "%.2f", "cmd_ratio")
    row("  ours /s", "%.0f", "cmd_ours")
    row("  bare /s", "%.0f", "cmd_bare")
    if all("cmd_once" in r for r in runs):
        print("|   each command at the board once, in order    | %s |" % [r["cmd_once"] for r in runs])
        print("|   failed exchanges (polls, commands)          | %s |" %
              [(r["poll_failed"], r["cmd_failed"]) for r in runs])
    row("command latency median, us", "%.0f", "lat", 0)
    row("command latency p99, us", "%.0f", "lat", 1)
    print("|   line-rate backlog at start, end (bytes)     | %s |" % [r["line_backlog"] for r in runs])
    if all("lat" in r for r in runs):
        print("|   lost (ours, bare)                            | %s |" %
              [(r["lat"][2], r["lat_bare"][2]) for r in runs])
    row("bare relay latency median, us", "%.0f", "lat_bare", 0)
    row("bare relay latency p99, us", "%.0f", "lat_bare", 1)
    row("command -> echo -> poll median, us", "%.0f", "rt", 0)
    row("  p99, us", "%.0f", "rt", 1)
    row("idle 10 s: program CPU-s", "%.4f", "idle_program")
    row("idle 10 s: Wine server CPU-s", "%.4f", "idle_server")
    row("idle 10 s: other Wine processes CPU-s", "%.4f", "idle_other")
    row("peak resident (VmHWM), MiB", "%.1f", "peak_kb_mib")
    row("exec -> greeting, ms (median of starts)", "%.0f", "start_ms")
    row("plain window exec -> first loop turn, ms", "%.0f", "bare_start_ms")
    print("starts per run:", [["%.0f" % s for s in r["start_all"]] for r in runs])
    print("load averages at each run's start:", [r["load"] for r in runs])


def main():
    global BARE, ONLY_FLOOD
    p = argparse.ArgumentParser()
    p.add_argument("exe")
    p.add_argument("bare")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--label", default="")
    p.add_argument("--profile", action="store_true",
                   help="system calls per exchange and per byte, ours and the anchors' (strace)")
    p.add_argument("--only-flood", action="store_true",
                   help="the start, the floods and the line-rate board only")
    args = p.parse_args()
    BARE = args.bare
    ONLY_FLOOD = args.only_flood
    boards = {"board": Pty(), "relay": Pty(), "floor": Pty()}
    map_ports({3: boards["relay"].path, 4: boards["floor"].path, 8: boards["board"].path})
    bares = [WineProgram([BARE, "serve", str(BARE_SILENT), "silent"]),
             WineProgram([BARE, "serve", str(BARE_RELAY), "relay", "COM3"])]
    runs = []
    try:
        if args.profile:
            profile(args, boards)
            return
        for i in range(args.runs):
            ld = load()
            log("=== run %d (load %s)" % (i + 1, ld))
            r = run_once(args, boards, args.quick)
            r["load"] = ld
            r["peak_kb_mib"] = r.get("peak_kb", 0) / 1024
            runs.append(r)
            report([r], args.label + ", run %d" % (i + 1))
    finally:
        for b in bares:
            b.stop()
    if len(runs) > 1:
        report(runs, args.label)


if __name__ == "__main__":
    main()
