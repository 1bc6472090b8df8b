#!/usr/bin/python3
"""Complete dumps of loggersim's memory by loggerdump, measured.

Sections (each a set of complete dumps, every one checked byte for byte):
  paced    loggersim paces both directions like an 8N1 line at the given baud
           rate; wire efficiency = time the bytes need on the wire / time from
           the first command to the end command, and the tool's turnaround
           per block (last byte of a reply to first byte of the next command)
  unpaced  as fast as the pseudo-terminal carries it: wall time from the first
           to the end command, user and system CPU of the whole process, peak
           resident memory; side by side with bench/pyserial_dump.py
  syscalls one run of each under strace -c -f
  idle     the logger stops for 10 s halfway through a reply: the tool's CPU
           time and wake-ups per second of that silence
  reread   paced at 115200 baud, clean dumps beside dumps whose logger spoils
           one block's first reply: the time the re-read adds, against that
           block's own time on the line plus one read time-out
  resume   paced (19200 baud with --line-19200, else 115200): a clean dump
           beside one stopped by Ctrl-C halfway and then resumed with
           --resume: the blocks the resumed run reads again to compare (at most
           8), and the line time of both runs together against the clean
           dump's plus those blocks'

Prints one table and writes it to results.csv and results.json.
Run it through bench/run.sh, which builds the release binaries first.
"""
import argparse
import csv
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time

SEED = 2024
IMAGE_SIZE = 0x40000
BLOCK_SIZE = 0x100
HIGH_BLOCKS_START = 0x10000
BITS_PER_BYTE = 10  # 8N1: start bit, 8 data bits, stop bit
END_COMMAND = b"q\n\r"
STALL_AT = 0x20000  # the block whose reply stops halfway in the idle runs
STALL_MS = 10000
REREAD_BAUD = 115200
REREAD_RECORD = 0x20045  # a record of the block spoiled once in the reread runs
READ_TIMEOUT_S = 0.505  # the quiet the tool waits for before it asks again
# Samples this close to either end of the silence are left out of the idle figures.
STALL_MARGIN_NS = 500_000_000
SAMPLE_INTERVAL_S = 0.01
COUNTDOWN_S = 5
HALF_BLOCK = 0x20000  # the resumed run starts here

HERE = os.path.dirname(os.path.abspath(__file__))
BASELINE = os.path.join(HERE, "pyserial_dump.py")


# ---------------------------------------------------------------- expectations


def record_text(length, address, rtype, data):
    total = length + (address >> 8) + (address & 0xFF) + rtype + sum(data)
    return ":%02X%04X%02X%s%02X" % (length, address, rtype, data.hex().upper(), -total & 0xFF)


def record_lines(image):
    """The record lines the logger sends for the whole memory, in order."""
    lines = []
    for block in range(0, IMAGE_SIZE, BLOCK_SIZE):
        for i in range(16):
            at = block + 16 * i
            if block >= HIGH_BLOCKS_START:
                segment = (at >> 4) & 0xF000
                lines.append(record_text(2, 0, 2, bytes([segment >> 8, segment & 0xFF])))
            lines.append(record_text(16, at & 0xFFFF, 0, image[at : at + 16]))
    return lines


class Expected:
    def __init__(self, image):
        lines = record_lines(image)
        self.image = image
        # loggerdump keeps the line with the CR that ended it, then CR LF as a
        # Windows text stream writes it.
        self.tool_hex = "".join(line + "\r\r\r\n" for line in lines).encode()
        # The baseline keeps the line as readline gave it.
        self.baseline_hex = "".join(line + "\r\n" for line in lines).encode()


def check_files(workdir, expected_hex, image, who):
    with open(os.path.join(workdir, "logger.bin"), "rb") as f:
        if f.read() != image:
            sys.exit(f"bench: {who}: logger.bin differs from the logger's memory")
    with open(os.path.join(workdir, "logger.hex"), "rb") as f:
        if f.read() != expected_hex:
            sys.exit(f"bench: {who}: logger.hex differs from what the logger sent")


# ---------------------------------------------------------------- processes


def read_stats(path):
    stats = {}
    with open(path) as f:
        for line in f:
            key, value = line.split()
            stats[key] = int(value)
    return stats


class Sim:
    """loggersim in a folder of its own, with its statistics file."""

    def __init__(self, sim_binary, workdir, extra, realtime):
        self.stats_path = os.path.join(workdir, "sim-stats.txt")
        argv = [sim_binary, "--seed", str(SEED), "--stats", self.stats_path] + extra
        if realtime:
            # The logger's clock must not be what is late: on a busy machine a
            # normal process wakes up tens to hundreds of microseconds after its
            # time, and each late reply would count against the tool.
            argv = ["chrt", "--fifo", "10"] + argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, cwd=workdir)
        self.path = self.proc.stdout.readline().decode().strip()
        if not self.path.startswith("/"):
            sys.exit("bench: loggersim printed no port")

    def finish(self, timeout):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            sys.exit("bench: loggersim did not see the end command in time")
        self.proc.stdout.close()
        stats = read_stats(self.stats_path)
        if status != 0 or stats["saw_end"] != 1:
            sys.exit(f"bench: loggersim ended with status {status}, end command seen: {stats['saw_end']}")
        return stats

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def proc_sample(pid):
    """(monotonic ns, CPU ns, voluntary context switches (the times it went to
    sleep, so its wake-ups), peak resident KiB) or None once the process is gone."""
    try:
        now = time.monotonic_ns()
        with open(f"/proc/{pid}/schedstat") as f:
            cpu_ns = int(f.read().split()[0])
        switches = 0
        peak_kib = 0
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches"):
                    switches += int(line.split()[1])
                elif line.startswith("VmHWM:"):
                    peak_kib = int(line.split()[1])
        return now, cpu_ns, switches, peak_kib
    except (OSError, ValueError, IndexError):
        return None


def drain(fd, out):
    """Reads a pseudo-terminal's master side into out until the other side closes."""
    while True:
        try:
            data = os.read(fd, 65536)
        except OSError:  # EIO: the slave side is closed
            break
        if not data:
            break
        out.write(data)
    os.close(fd)


def run_client(argv, workdir, stdin_text, timeout, env=None, terminal=False):
    """Runs argv to its end, sampling it every SAMPLE_INTERVAL_S; returns
    (status, rusage, samples).

    The peak resident memory comes from the samples (VmHWM) and not from
    rusage: Linux counts in ru_maxrss the memory of the process that forked
    the child, before its exec."""
    with open(os.path.join(workdir, "console.txt"), "wb") as out:
        reader = None
        if terminal:
            # The console of a user is a terminal: each write wakes its reader.
            master, slave = os.openpty()
            tio = termios.tcgetattr(slave)
            tio[1] &= ~termios.OPOST  # keep the bytes as written
            termios.tcsetattr(slave, termios.TCSANOW, tio)
            proc = subprocess.Popen(argv, cwd=workdir, stdin=subprocess.PIPE, stdout=slave, env=env)
            os.close(slave)
            reader = threading.Thread(target=drain, args=(master, out))
            reader.start()
        else:
            proc = subprocess.Popen(argv, cwd=workdir, stdin=subprocess.PIPE, stdout=out, env=env)
        proc.stdin.write(stdin_text.encode())
        proc.stdin.close()
        samples = []
        deadline = time.monotonic() + timeout
        while True:
            pid, status, rusage = os.wait4(proc.pid, os.WNOHANG)
            if pid == proc.pid:
                break
            if time.monotonic() > deadline:
                proc.kill()
                os.wait4(proc.pid, 0)
                proc.returncode = -9
                sys.exit(f"bench: {argv[0]} did not finish in {timeout} s")
            s = proc_sample(proc.pid)
            if s is not None:
                samples.append(s)
            time.sleep(SAMPLE_INTERVAL_S)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if reader is not None:
            reader.join()
    return proc.returncode, rusage, samples


class Bench:
    def __init__(self, args):
        self.args = args
        self.tool = os.path.abspath(args.tool or os.path.join(args.build, "loggerdump"))
        self.sim = os.path.abspath(args.sim or os.path.join(args.build, "loggersim"))
        self.python = args.python
        self.terminal = not args.console_file
        # The tool runs under the Japanese locale of its users where it exists.
        self.locale = args.locale if locale_exists(args.locale) else None
        self.tool_env = dict(os.environ, LC_ALL=self.locale) if self.locale else None
        self.realtime = not args.no_realtime_sim and subprocess.run(
            ["chrt", "--fifo", "10", "true"], stderr=subprocess.DEVNULL).returncode == 0
        if not args.no_realtime_sim and not self.realtime:
            print("bench: cannot give loggersim a real-time priority; its lateness counts against the tool",
                  flush=True)
        self.scratch = tempfile.mkdtemp(prefix="loggerdump-bench-")
        image_path = os.path.join(self.scratch, "memory.bin")
        self._save_image(image_path)
        with open(image_path, "rb") as f:
            self.expected = Expected(f.read())
        self.rows = []
        self.count = 0

    def _save_image(self, image_path):
        # loggersim saves its memory before it prints its port; stop it once it has.
        sim = subprocess.Popen([self.sim, "--seed", str(SEED), "--write-image", image_path],
                               stdout=subprocess.PIPE)
        sim.stdout.readline()
        sim.kill()
        sim.wait()
        sim.stdout.close()

    def workdir(self):
        self.count += 1
        path = os.path.join(self.scratch, f"run{self.count:03d}")
        os.mkdir(path)
        return path

    def dump(self, who, sim_extra, timeout, strace_out=None):
        """One complete dump by the tool or the baseline; returns its figures."""
        workdir = self.workdir()
        sim = Sim(self.sim, workdir, sim_extra, self.realtime)
        try:
            if who == "tool":
                argv, stdin_text, expected_hex = [self.tool], sim.path + "\n", self.expected.tool_hex
            else:
                argv, stdin_text, expected_hex = [self.python, BASELINE, sim.path], "", self.expected.baseline_hex
            if strace_out is not None:
                argv = ["strace", "-f", "-c", "-o", strace_out, "--"] + argv
            env = self.tool_env if who == "tool" else None
            status, rusage, samples = run_client(argv, workdir, stdin_text, timeout, env, self.terminal)
            stats = sim.finish(30)
        finally:
            sim.kill()
        if status != 0:
            sys.exit(f"bench: {who} ended with status {status}")
        check_files(workdir, expected_hex, self.expected.image, who)
        wire_bytes = stats["bytes_received"] - len(END_COMMAND) + stats["bytes_sent"]
        result = {
            "wall_s": (stats["end_command_ns"] - stats["first_command_ns"]) / 1e9,
            "user_s": rusage.ru_utime,
            "sys_s": rusage.ru_stime,
            "cpu_s": rusage.ru_utime + rusage.ru_stime,
            "maxrss_kib": max((s[3] for s in samples), default=0),
            "wire_bytes": wire_bytes,
            "turnaround_us": stats["turnaround_total_ns"] / max(stats["turnarounds"], 1) / 1e3,
            "turnaround_max_us": stats["turnaround_max_ns"] / 1e3,
            "stats": stats,
            "samples": samples,
        }
        shutil.rmtree(workdir)
        return result

    # ------------------------------------------------------------ table rows

    def add(self, section, metric, unit, values, target="", met=None):
        row = {
            "section": section,
            "metric": metric,
            "unit": unit,
            "runs": len(values),
            "median": statistics.median(values),
            "min": min(values),
            "max": max(values),
            "target": target,
            "met": "" if met is None else ("yes" if met(statistics.median(values)) else "NO"),
        }
        self.rows.append(row)
        print(f"  {section:9} {metric:34} {fmt(row['median'])} [{fmt(row['min'])} .. {fmt(row['max'])}] {unit}",
              flush=True)
        return row

    # ------------------------------------------------------------ sections

    def paced(self, baud, runs, target=None):
        section = f"{baud} Bd"
        print(f"{section}: {runs} dumps paced at {baud} baud", flush=True)
        bytes_per_s = baud / BITS_PER_BYTE
        wire_s_estimate = 960000 / bytes_per_s
        effs, turn, turn_max, walls = [], [], [], []
        for _ in range(runs):
            r = self.dump("tool", ["--baud", str(baud)], COUNTDOWN_S + wire_s_estimate * 1.5 + 30)
            wire_s = r["wire_bytes"] / bytes_per_s
            effs.append(wire_s / r["wall_s"])
            walls.append(r["wall_s"])
            turn.append(r["turnaround_us"])
            turn_max.append(r["turnaround_max_us"])
        self.add(section, "wire time", "s", [wire_s])
        self.add(section, "first to end command", "s", walls)
        self.add(section, "wire efficiency", "", effs,
                 f">= {target}" if target else "", (lambda m: m >= target) if target else None)
        self.add(section, "turnaround per block, mean", "us", turn)
        self.add(section, "turnaround per block, worst", "us", turn_max)

    def unpaced(self, runs):
        print(f"unpaced: {runs} dumps each by loggerdump and by pyserial_dump.py, alternating", flush=True)
        tool, base = [], []
        for _ in range(runs):
            tool.append(self.dump("tool", [], COUNTDOWN_S + 60))
            base.append(self.dump("baseline", [], 300))
        for who, rs in (("loggerdump", tool), ("pyserial", base)):
            is_tool = who == "loggerdump"
            self.add(who, "first to end command (wall)", "s", [r["wall_s"] for r in rs],
                     "< 0.25" if is_tool else "", (lambda m: m < 0.25) if is_tool else None)
            self.add(who, "CPU, user + system", "s", [r["cpu_s"] for r in rs],
                     "< 0.1" if is_tool else "", (lambda m: m < 0.1) if is_tool else None)
            self.add(who, "CPU, user", "s", [r["user_s"] for r in rs])
            self.add(who, "CPU, system", "s", [r["sys_s"] for r in rs])
            self.add(who, "peak resident memory", "KiB", [r["maxrss_kib"] for r in rs],
                     "< 4096" if is_tool else "", (lambda m: m < 4096) if is_tool else None)
        # Each baseline run against the tool run beside it.
        self.add("loggerdump", "speed-up over pyserial (wall)", "x",
                 [b["wall_s"] / t["wall_s"] for t, b in zip(tool, base)], ">= 5", lambda m: m >= 5)

    def syscalls(self):
        print("syscalls: one dump each under strace -c -f", flush=True)
        for who, label in (("tool", "loggerdump"), ("baseline", "pyserial")):
            out = os.path.join(self.scratch, f"strace-{who}.txt")
            self.dump(who, [], 600, strace_out=out)
            calls = parse_strace(out)
            polls = sum(calls.get(n, 0) for n in ("poll", "ppoll", "select", "pselect6"))
            self.add(label, "system calls: read", "", [calls.get("read", 0)])
            self.add(label, "system calls: write", "", [calls.get("write", 0)])
            self.add(label, "system calls: poll/select", "", [polls])
            self.add(label, "system calls: all", "", [calls.get("total", 0)])

    def idle(self, runs):
        print(f"idle: {runs} dumps whose logger falls silent for {STALL_MS / 1000:g} s mid-block", flush=True)
        cpu, wakeups = [], []
        for _ in range(runs):
            r = self.dump("tool", ["--stall-at", hex(STALL_AT), "--stall-ms", str(STALL_MS)],
                          COUNTDOWN_S + STALL_MS / 1000 + 60)
            start = r["stats"]["stall_start_ns"] + STALL_MARGIN_NS
            end = r["stats"]["stall_end_ns"] - STALL_MARGIN_NS
            inside = [s for s in r["samples"] if start <= s[0] <= end]
            if len(inside) < 2:
                sys.exit("bench: too few samples inside the silence")
            first, last = inside[0], inside[-1]
            seconds = (last[0] - first[0]) / 1e9
            cpu.append((last[1] - first[1]) / 1e9 / seconds)
            # Wake-ups counted from the first to the last sample that saw one,
            # so that the window does not cut an interval between two of them.
            changed = [b for a, b in zip(inside, inside[1:]) if b[2] != a[2]]
            if len(changed) < 2:
                sys.exit("bench: the tool never woke up during the silence")
            wakeups.append((changed[-1][2] - changed[0][2]) / ((changed[-1][0] - changed[0][0]) / 1e9))
        self.add("idle", "CPU per second of silence", "s/s", cpu, "< 0.01", lambda m: m < 0.01)
        # One wake-up per 505 ms read time-out is 1.98 a second; the samples
        # place each wake-up within SAMPLE_INTERVAL_S.
        self.add("idle", "wake-ups per second of silence", "1/s", wakeups,
                 "<= 2.05 (505 ms time-out)", lambda m: m <= 2.05)

    def reread(self, runs):
        print(f"reread: {runs} pairs of dumps at {REREAD_BAUD} baud, clean and with one block"
              " spoiled once", flush=True)
        bytes_per_s = REREAD_BAUD / BITS_PER_BYTE
        timeout = COUNTDOWN_S + 960000 / bytes_per_s * 1.5 + 30
        spoiled = ["--corrupt", f"checksum:{REREAD_RECORD:#x}", "--spoil-first", "1"]
        added, block, ratio = [], [], []
        for _ in range(runs):
            clean = self.dump("tool", ["--baud", str(REREAD_BAUD)], timeout)
            bad = self.dump("tool", ["--baud", str(REREAD_BAUD)] + spoiled, timeout)
            # The second request and its reply: the bytes the re-read put on the line.
            extra_bytes = (bad["stats"]["bytes_sent"] - clean["stats"]["bytes_sent"]
                           + bad["stats"]["bytes_received"] - clean["stats"]["bytes_received"])
            added.append(bad["wall_s"] - clean["wall_s"])
            block.append(extra_bytes / bytes_per_s)
            ratio.append(added[-1] / (block[-1] + READ_TIMEOUT_S))
        self.add("reread", "time one re-read block adds", "s", added)
        self.add("reread", "that block's own time on the line", "s", block)
        self.add("reread", "added / (block + read time-out)", "", ratio, "<= 1.2", lambda m: m <= 1.2)


    def resume(self, baud):
        section = f"resume {baud}"
        print(f"{section}: a clean dump, and one stopped halfway and resumed, at {baud} baud", flush=True)
        bytes_per_s = baud / BITS_PER_BYTE
        timeout = COUNTDOWN_S + 960000 / bytes_per_s * 1.5 + 30
        clean = self.dump("tool", ["--baud", str(baud)], timeout)
        workdir = self.workdir()
        # The first run: the logger falls silent after the first half, Ctrl-C then.
        last = HALF_BLOCK - BLOCK_SIZE
        sim = Sim(self.sim, workdir, ["--baud", str(baud), "--silent-after", hex(last)], self.realtime)
        console = os.path.join(workdir, "first.txt")
        try:
            with open(console, "wb") as out:
                proc = subprocess.Popen([self.tool], cwd=workdir, stdin=subprocess.PIPE, stdout=out,
                                        env=self.tool_env)
                proc.stdin.write((sim.path + "\n").encode())
                proc.stdin.close()
                deadline = time.monotonic() + timeout
                seen = ("\r%05x " % last).encode()
                while seen not in open(console, "rb").read():
                    if time.monotonic() > deadline or proc.poll() is not None:
                        proc.kill()
                        sys.exit("bench: the first run never reached the half")
                    time.sleep(0.2)
                proc.send_signal(2)
                status = proc.wait(30)
            first = sim.finish(30)
        finally:
            sim.kill()
        if status != 130:
            sys.exit(f"bench: the stopped run ended with status {status}")
        # Its time on the line: everything it sent and received.
        first_s = (first["bytes_received"] - len(END_COMMAND) + first["bytes_sent"]) / bytes_per_s
        received = os.path.join(workdir, "received.bin")
        sim = Sim(self.sim, workdir, ["--baud", str(baud), "--received", received], self.realtime)
        try:
            status, _, _ = run_client([self.tool, "--resume"], workdir, sim.path + "\n", timeout,
                                      self.tool_env, self.terminal)
            second = sim.finish(30)
        finally:
            sim.kill()
        if status != 0:
            sys.exit(f"bench: the resumed run ended with status {status}")
        check_files(workdir, self.expected.tool_hex, self.expected.image, "resumed run")
        second_s = (second["end_command_ns"] - second["first_command_ns"]) / 1e9
        # The blocks read again to compare: those asked for below the half.
        with open(received, "rb") as f:
            asked = [int(word, 16) for word in f.read().decode().split() if word != "dihex" and word != "q"]
        witnesses = [a for a in asked if a < HALF_BLOCK]
        low_reply = 16 * 45
        high_reply = 16 * (45 + 17)
        checks_s = sum(len("dihex 00000\r\n") + (high_reply if a >= HIGH_BLOCKS_START else low_reply)
                       for a in witnesses) / bytes_per_s
        allowed = clean["wall_s"] + checks_s
        self.add(section, "clean dump, first to end command", "s", [clean["wall_s"]])
        self.add(section, "stopped run, on the line", "s", [first_s])
        self.add(section, "resumed run, first to end command", "s", [second_s])
        self.add(section, "blocks read again to compare", "", [len(witnesses)], "<= 8",
                 lambda m: m <= 8)
        self.add(section, "their time on the line", "s", [checks_s])
        self.add(section, "both / (clean + blocks compared)", "", [(first_s + second_s) / allowed],
                 "<= 1", lambda m: m <= 1)
        shutil.rmtree(workdir)


def locale_exists(name):
    wanted = name.lower().replace("-", "")
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    return any(entry.lower().replace("-", "") == wanted for entry in listed)


def parse_strace(path):
    calls = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 5:
                continue
            try:
                float(parts[0])
                count = int(parts[3])
            except ValueError:
                continue
            calls[parts[-1]] = count
    return calls


def fmt(value):
    if isinstance(value, int) or float(value).is_integer() and abs(value) >= 100:
        return f"{value:>9.0f}"
    if abs(value) >= 100:
        return f"{value:>9.1f}"
    if abs(value) >= 1:
        return f"{value:>9.3f}"
    return f"{value:>9.4f}"


def print_table(rows):
    header = ("section", "metric", "median", "min", "max", "unit", "target", "met")
    table = [header] + [
        (r["section"], r["metric"], fmt(r["median"]).strip(), fmt(r["min"]).strip(), fmt(r["max"]).strip(),
         r["unit"], r["target"], r["met"])
        for r in rows
    ]
    widths = [max(len(str(line[i])) for line in table) for i in range(len(header))]
    print()
    for n, line in enumerate(table):
        print("  ".join(str(cell).ljust(w) if i < 2 or i > 4 else str(cell).rjust(w)
                        for i, (cell, w) in enumerate(zip(line, widths))).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


def main():
    parser = argparse.ArgumentParser(description="Measures complete dumps by loggerdump against loggersim.")
    parser.add_argument("--build", required=True, help="folder holding release loggerdump and loggersim")
    parser.add_argument("--tool", help="another loggerdump to measure (default: the one in --build)")
    parser.add_argument("--sim", help="another loggersim to measure against (default: the one in --build)")
    parser.add_argument("--results", default=os.path.join(HERE, "results"), help="where results.csv/json go")
    parser.add_argument("--python", default="/usr/bin/python3", help="Python with pyserial, for the baseline")
    parser.add_argument("--runs", type=int, default=5, help="dumps per short measurement (default 5)")
    parser.add_argument("--runs-115200", type=int, default=3, help="dumps at 115200 baud (default 3)")
    parser.add_argument("--runs-idle", type=int, default=3, help="dumps with a silence (default 3)")
    parser.add_argument("--runs-reread", type=int, default=2,
                        help="pairs of dumps for the re-read cost (default 2)")
    parser.add_argument("--line-19200", action="store_true",
                        help="also the real line: dumps at 19200 baud, about 8.5 minutes each")
    parser.add_argument("--runs-19200", type=int, default=1, help="dumps at 19200 baud (default 1)")
    parser.add_argument("--locale", default="ja_JP.UTF-8",
                        help="LC_ALL for loggerdump, when installed (default ja_JP.UTF-8)")
    parser.add_argument("--console-file", action="store_true",
                        help="console output to a file (default: a pseudo-terminal, as for a user)")
    parser.add_argument("--no-realtime-sim", action="store_true",
                        help="run loggersim at normal priority (default: SCHED_FIFO 10 through chrt)")
    parser.add_argument("--only", default="",
                        help="comma-separated sections to run: 921600,115200,19200,unpaced,syscalls,idle,reread,"
                             "resume")
    args = parser.parse_args()

    only = set(filter(None, args.only.split(",")))
    wanted = lambda name: not only or name in only
    bench = Bench(args)
    started = time.time()
    load_before = os.getloadavg()
    try:
        if wanted("921600"):
            bench.paced(921600, args.runs, 0.97)
        if wanted("115200"):
            bench.paced(115200, args.runs_115200)
        if (args.line_19200 and not only) or "19200" in only:
            bench.paced(19200, args.runs_19200, 0.995)
        if wanted("unpaced"):
            bench.unpaced(args.runs)
        if wanted("syscalls"):
            bench.syscalls()
        if wanted("idle"):
            bench.idle(args.runs_idle)
        if wanted("reread"):
            bench.reread(args.runs_reread)
        if wanted("resume"):
            bench.resume(19200 if args.line_19200 else 115200)
    finally:
        shutil.rmtree(bench.scratch, ignore_errors=True)

    print_table(bench.rows)
    meta = {
        "date": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(started)),
        "duration_s": round(time.time() - started),
        "machine": f"{platform.system()} {platform.release()} {platform.machine()}, {os.cpu_count()} CPUs",
        "load_average_before": load_before,
        "load_average_after": os.getloadavg(),
        "loggersim_realtime": bench.realtime,
        "loggerdump_locale": bench.locale or "inherited",
        "console": "pseudo-terminal" if bench.terminal else "file",
        "commit": subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                                 capture_output=True, text=True).stdout.strip(),
    }
    os.makedirs(args.results, exist_ok=True)
    with open(os.path.join(args.results, "results.json"), "w") as f:
        json.dump({"meta": meta, "rows": bench.rows}, f, indent=1)
        f.write("\n")
    with open(os.path.join(args.results, "results.csv"), "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(bench.rows[0].keys()) if bench.rows else ["section"])
        writer.writeheader()
        writer.writerows(bench.rows)
    print(f"\nload average {load_before[0]:.2f} before, {meta['load_average_after'][0]:.2f} after; "
          f"written to {args.results}/results.csv and results.json")
    missed = [r for r in bench.rows if r["met"] == "NO"]
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
