#!/usr/bin/env python3
"""Runs every benchmark of cee-agent and cee-updater on built binaries and prints one table
(Markdown); with --out it also writes the table, the machine and the notes to that file.

    bench.py --build DIR [--armhf-build DIR] [--quick] [--out FILE]

Measured (each figure a median over repeated runs, with the spread of the runs):
  forward   bench_forward: cost per order inside the agent and its steps, the bare libcurl
            POST (floor) and the bare SQLite record, database on local disk and on tmpfs
  idle      the real cee-agent connected to a local mosquitto: CPU, wake-ups, memory
  growth    memory after 300 forwarded orders versus idle (full mode only)
  fsync     fsync/fdatasync calls per forwarded order through the real cee-agent (strace on
            all its threads): receipt spool and database together, end to end
  start-up  exec to the "Waiting to receive instructions" log line
  update    one cee-updater run installing 20 packages with stub outside programs (minus the
            time spent in them), and runs with nothing due, MQTT_CONNECT true and false
  size      stripped sizes of the programs and libmqtt-if (amd64, armhf when built)

--quick runs everything briefly (a few seconds) to keep the harness working; it never fails
because of a figure, only when a program does not work. Python 3 standard library only; the
programs are started with the helpers of the end-to-end tests (tests/e2e/harness.py).
"""
import argparse
import ctypes
import datetime
import json
import os
import platform
import select
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import closing

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

import harness  # noqa: E402  (needs the path above)

READY_TEXT = "in startMain : === Waiting to receive instructions from the server ==="

# name: (full, quick)
SETTINGS = {
    "tmpfs_runs": (5, 1), "tmpfs_orders": (1000, 50),
    "disk_runs": (4, 1), "disk_orders": (250, 10),
    "idle_windows": (6, 3), "idle_window_s": (10.0, 1.0),
    "growth_orders": (300, 0),
    "large_orders": (100, 3),
    "startups": (10, 3),
    "fsync_orders": (30, 20),
    "update_runs": (10, 2),
}


def setting(args, name):
    return SETTINGS[name][1 if args.quick else 0]


def log(text):
    sys.stderr.write("bench: %s\n" % text)
    sys.stderr.flush()


# ---------------------------------------------------------------------------------------------
# Figures


class Figure:
    """One row of the table: the values of the repeated runs, shown as median and spread."""

    def __init__(self, section, name, values, unit, fmt="%.0f", goal=None, met=None, note="",
                 what="runs"):
        self.section = section
        self.name = name
        self.values = list(values)
        self.unit = unit
        self.fmt = fmt
        self.goal = goal
        self.met = met
        self.note = note
        self.what = what

    @property
    def median(self):
        return statistics.median(self.values)

    def spread(self):
        if len(self.values) < 2:
            return "(1 run)"
        return "%s – %s (%d %s)" % (self.fmt % min(self.values), self.fmt % max(self.values),
                                     len(self.values), self.what)

    def row(self):
        met = "" if self.met is None else ("met" if self.met else "**missed**")
        value = (self.fmt % self.median) + (" " + self.unit if self.unit else "")
        return "| %s | %s | %s | %s | %s |" % (self.name, value, self.spread(),
                                               self.goal or "", met)


def median_of(values):
    return statistics.median(values) if values else 0.0


def assert_running(program):
    if not program.running():
        raise RuntimeError("%s is not running (exit status %s): %s"
                           % (program.name, program.proc.returncode, program.stderr()[-2000:]))


# ---------------------------------------------------------------------------------------------
# 1, 2: cost per order and database cost (bench_forward)


def run_forward(args, label, parent, runs, orders):
    """Runs bench_forward; {metric: [per-run dict]}."""
    os.makedirs(parent, exist_ok=True)
    argv = [os.path.join(args.build, "bench", "bench_forward"),
            os.path.join(args.build, "tools", "logger-sim", "logger-sim"), str(orders),
            "--runs", str(runs), "--dir", parent, "--label", label]
    log("forward, %s: %d run(s) x %d orders in %s" % (label, runs, orders, parent))
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=3600)
    if done.returncode != 0:
        raise RuntimeError("bench_forward failed (%d): %s %s"
                           % (done.returncode, done.stdout[-2000:], done.stderr[-2000:]))
    result = {}
    for line in done.stdout.splitlines():
        words = line.split()
        if len(words) < 5 or words[0] != "run":
            continue
        values = {words[i]: float(words[i + 1]) for i in range(4, len(words) - 1, 2)}
        result.setdefault(words[3], []).append(values)
    return result


def forward_figures(args):
    figures = []
    disk_parent = os.path.join(args.build, "bench-disk")
    locations = (("tmpfs", "/dev/shm", setting(args, "tmpfs_runs"),
                  setting(args, "tmpfs_orders")),
                 ("disk", disk_parent, setting(args, "disk_runs"), setting(args, "disk_orders")))
    if not os.path.isdir("/dev/shm"):
        log("forward: no /dev/shm, tmpfs skipped")
        locations = locations[1:]
    for label, parent, runs, orders in locations:
        r = run_forward(args, label, parent, runs, orders)

        def med(metric):
            return [x["median_us"] for x in r[metric]]

        def p99(metric):
            return [x["p99_us"] for x in r[metric]]

        where = "database on %s" % ("tmpfs (/dev/shm)" if label == "tmpfs" else
                                    "local disk (%s)" % filesystem_of(parent))
        sec = "Cost per forwarded order, %s, %d run(s) x %d orders" % (where, runs, orders)
        agent, floor, post, sql = med("agent"), med("floor"), med("http_post"), med("sqlite")
        figures.append(Figure(sec, "agent, whole order: median", agent, "µs"))
        figures.append(Figure(sec, "agent, whole order: 99th percentile", p99("agent"), "µs"))
        figures.append(Figure(sec, "agent, whole order run on the calling thread", med(
            "agent_inline"), "µs"))
        figures.append(Figure(sec, "an empty thread started and joined", med("thread"), "µs"))
        for metric, name in (("parse_target", "step: parse + target check"),
                             ("db_insert", "step: database insert (open, insert, id)"),
                             ("http_post", "step: HTTP POST (ConnectionManager)"),
                             ("db_update", "step: database update (update, close)"),
                             ("answer", "step: answer rewrite + serialisation"),
                             ("steps_sum", "steps together"),
                             ("db_open_close", "the database opened and closed alone (in the "
                                               "insert and update steps)")):
            figures.append(Figure(sec, name, med(metric), "µs"))
        figures.append(Figure(sec, "floor: bare libcurl POST, median", floor, "µs"))
        figures.append(Figure(sec, "floor: bare libcurl POST, 99th percentile", p99("floor"),
                              "µs"))
        ratios = [a / f for a, f in zip(agent, floor)]
        figures.append(Figure(sec, "ratio agent / floor", ratios, "", "%.2f",
                              "< 1.5 (tmpfs)" if label == "tmpfs" else None,
                              median_of(ratios) < 1.5 if label == "tmpfs" else None))
        own = [a - p for a, p in zip(agent, post)]
        figures.append(Figure(sec, "agent minus its HTTP POST", own, "µs"))
        figures.append(Figure(sec, "the database's own commit time (bare SQLite, same "
                                   "statements)", sql, "µs"))
        margin = [o - s for o, s in zip(own, sql)]
        # The agent's own work: under a quarter of a millisecond on tmpfs, where no disk sync
        # hides it; on the disk, under a millisecond.
        bound = 250 if label == "tmpfs" else 1000
        figures.append(Figure(sec, "agent minus HTTP POST minus the database's own commit time",
                              margin, "µs", "%.0f", "< %d µs" % bound, median_of(margin) < bound))
        if label == "disk":
            dsec = "Database cost per recorded order, local disk (%s)" % filesystem_of(parent)
            rec = [i + u for i, u in zip(med("db_insert"), med("db_update"))]
            figures.append(Figure(dsec, "agent's units: insert + update", rec, "µs"))
            figures.append(Figure(dsec, "bare SQLite: same statements, connection kept open",
                                  sql, "µs"))
            figures.append(Figure(dsec, "fsync/fdatasync calls per recorded order (agent)",
                                  [x["per_order"] for x in r["fsync_record"]], "", "%.1f"))
            figures.append(Figure(dsec, "fsync/fdatasync calls per order, whole order (agent)",
                                  [x["per_order"] for x in r["fsync_agent"]], "", "%.1f"))
            figures.append(Figure(dsec, "fsync/fdatasync calls per record, bare SQLite",
                                  [x["per_order"] for x in r["fsync_sqlite"]], "", "%.1f"))
    return figures


def filesystem_of(path):
    try:
        out = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", path], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.strip()
        return out or "?"
    except OSError:
        return "?"


# ---------------------------------------------------------------------------------------------
# /proc readings


def tasks(pid):
    try:
        return os.listdir("/proc/%d/task" % pid)
    except FileNotFoundError:
        return []


def cpu_ns(pid):
    """CPU time of all threads in nanoseconds (schedstat: time spent on a CPU)."""
    total = 0
    for tid in tasks(pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def libraries(pid):
    """The shared libraries mapped by the process."""
    with open("/proc/%d/maps" % pid) as f:
        return {l.split()[5] for l in f if len(l.split()) > 5 and ".so" in l.split()[5]}


def cpu_ticks_seconds(pid):
    """utime + stime of /proc/PID/stat, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    total = 0
    for tid in tasks(pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def private_by_mapping(pid, program):
    """Private_Clean + Private_Dirty of /proc/PID/smaps in KiB, grouped: the program file,
    libmqtt-if, heap, anonymous memory (thread stacks, malloc arenas), other shared libraries;
    and the Private_Dirty part of all."""
    groups = {"program": 0, "libmqtt-if": 0, "heap": 0, "anonymous": 0, "libraries": 0}
    dirty = 0
    current = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            first = line.split(None, 1)[0]
            if "-" in first and not first.endswith(":"):
                parts = line.split()
                name = parts[5] if len(parts) > 5 else ""
                if os.path.basename(name) == program:
                    current = "program"
                elif "libmqtt-if" in name:
                    current = "libmqtt-if"
                elif name == "[heap]":
                    current = "heap"
                elif name == "" or name.startswith("["):
                    current = "anonymous"
                else:
                    current = "libraries"
            elif first in ("Private_Clean:", "Private_Dirty:"):
                kib = int(line.split()[1])
                groups[current] += kib
                if first == "Private_Dirty:":
                    dirty += kib
    return groups, dirty


def memory3_kib(pid):
    """(VmRSS, Private_Clean + Private_Dirty, Private_Dirty) in KiB."""
    rss, private = memory_kib(pid)
    return rss, private, private_by_mapping(pid, "")[1]


def memory_kib(pid):
    """(VmRSS, Private_Clean + Private_Dirty) in KiB."""
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    private = 0
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                private += int(line.split()[1])
    return rss, private


# ---------------------------------------------------------------------------------------------
# 3, 4: idle cost and growth of the real agent


class Bench:
    """Broker, logger-sim and folders of one benchmark session; stops everything at the end."""

    def __init__(self, args):
        self.args = args
        self.root = tempfile.mkdtemp(prefix="cee-bench-")
        self.programs = []
        self.broker = None
        self.sim = None

    def folder(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def start_peers(self):
        self.broker = harness.Broker(self.folder("broker"))
        self.broker.start()
        self.sim = harness.LoggerSim(self.folder("logger-sim"))
        self.sim.start()
        self.programs.append(self.sim)

    def agent(self, folder, **kwargs):
        settings = {"QMT_HTTP": {"URL": self.sim.url}}
        agent = harness.Agent(folder, self.broker, settings=settings, **kwargs)
        # The agent's own log size limit: the harness raises it for the waits of the tests.
        del agent.settings["LOG"]["LOG_MAX_BYTES"]
        harness.write_text(agent.config_path, json.dumps(agent.settings))
        return agent

    def close(self):
        for p in reversed(self.programs):
            p.stop()
        if self.broker is not None:
            self.broker.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def idle_and_growth_figures(args, bench):
    figures = []
    agent = bench.agent(bench.folder("agent-idle"))
    bench.programs.append(agent)
    agent.start()
    agent.wait_ready()
    pid = agent.proc.pid
    time.sleep(1.0 if args.quick else 3.0)  # past the start-up
    windows = setting(args, "idle_windows")
    length = setting(args, "idle_window_s")
    log("idle: %d window(s) of %.0f s" % (windows, length))
    pct, wakeups, rss_s, private_s = [], [], [], []
    started = time.monotonic()
    ticks0 = cpu_ticks_seconds(pid)
    for _ in range(windows):
        t0, c0, s0 = time.monotonic(), cpu_ns(pid), context_switches(pid)
        time.sleep(length)
        t1, c1, s1 = time.monotonic(), cpu_ns(pid), context_switches(pid)
        pct.append(100.0 * (c1 - c0) / 1e9 / (t1 - t0))
        wakeups.append((s1 - s0) / (t1 - t0))
        sample = memory_kib(pid)
        rss_s.append(sample[0])
        private_s.append(sample[1])
    total_s = time.monotonic() - started
    ticks = cpu_ticks_seconds(pid) - ticks0
    assert_running(agent)
    rss, private = memory_kib(pid)
    sec = "Idle agent connected to a local broker, %.0f s in %d windows" % (total_s, windows)
    figures.append(Figure(sec, "CPU, share of one core (per window, schedstat)", pct, "%",
                          "%.3f", "< 0.1 %", median_of(pct) < 0.1, what="windows"))
    figures.append(Figure(sec, "CPU seconds over the whole time (/proc/PID/stat)", [ticks], "s",
                          "%.2f"))
    figures.append(Figure(sec, "wake-ups per second (context switches, all threads)", wakeups,
                          "/s", "%.1f", what="windows"))
    figures.append(Figure(sec, "threads", [len(tasks(pid))], "", "%d"))
    figures.append(Figure(sec, "resident memory (VmRSS, at the end of each window)", rss_s,
                          "KiB", "%d", what="windows"))
    figures.append(Figure(sec, "private memory (Private_Clean + Private_Dirty, at the end of "
                               "each window)", private_s, "KiB", "%d", "< 2048 KiB",
                          median_of(private_s) < 2048, what="windows"))
    groups, dirty = private_by_mapping(pid, "cee-agent")
    figures.append(Figure(sec, "of which Private_Dirty", [dirty], "KiB", "%d"))
    for key, name in (("program", "cee-agent's own file (code, read-only data)"),
                      ("libmqtt-if", "libmqtt-if"), ("heap", "heap"),
                      ("anonymous", "anonymous (thread stacks, malloc arenas)"),
                      ("libraries", "other shared libraries (%d files)" % len(libraries(pid)))):
        figures.append(Figure(sec, "private: " + name, [groups[key]], "KiB", "%d"))

    count = setting(args, "growth_orders")
    if count:
        figures += growth_figures(bench, agent, count, (rss, private, dirty))
    agent.terminate()
    return figures


def growth_figures(bench, agent, count, idle):
    log("growth: %d orders, one per second" % count)
    sub = harness.Subscriber(bench.broker, agent.topic_pub)
    sub.start()
    bench.programs.append(sub)
    request = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="%d"><command>'
               'ReadFromEchonetDevice</command><requestData><p x="1">0x02</p><p x="2">0x88</p>'
               '</requestData></commandRequest>')
    orders = [harness.make_order("ReadFromEchonetDevice", request % i,
                                 platform=[agent.PLATFORM]) for i in range(1, count + 1)]
    harness.publish(bench.broker, agent.topic_sub, *orders)
    warm_after = 10
    harness.wait_until(lambda: len(sub.payloads()) >= warm_after, "%d answers" % warm_after,
                       deadline_s=120)
    warm = memory3_kib(agent.proc.pid)
    harness.wait_until(lambda: len(sub.payloads()) >= count, "%d answers" % count,
                       deadline_s=count * 1.5 + 120)
    time.sleep(0.5)  # the order thread of the last order has been joined
    after = memory3_kib(agent.proc.pid)
    assert_running(agent)
    sec = "Memory after %d forwarded orders (one per second)" % count
    figs = []
    for i, name in ((0, "resident memory (VmRSS)"), (1, "private memory"),
                    (2, "Private_Dirty")):
        figs.append(Figure(sec, "%s: idle / after %d / after %d orders"
                           % (name, warm_after, count), [after[i]], "KiB", "%d",
                           note="%d / %d / %d" % (idle[i], warm[i], after[i])))
        # Resident size and Private_Dirty: Private_Clean moves with other processes mapping
        # the same library pages, which says nothing about the agent.
        goal = i != 1
        figs.append(Figure(sec, "%s growth, after %d orders minus idle" % (name, count),
                           [after[i] - idle[i]], "KiB", "%+d", "≤ 64 KiB" if goal else None,
                           after[i] - idle[i] <= 64 if goal else None))
        figs.append(Figure(sec, "%s growth, after %d minus after %d orders"
                           % (name, count, warm_after), [after[i] - warm[i]], "KiB", "%+d"))
    return figs


# ---------------------------------------------------------------------------------------------
# Large orders: peak memory per order and the log folder


def vm_hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def large_order_figures(args, bench):
    """Peak resident memory of the agent for one order of 1 MB and 3 MB (an upload: the
    request is the payload), and the size of the log folder after a series of such orders."""
    figures = []
    count = setting(args, "large_orders")
    for size in (1000000, 3000000):
        folder = bench.folder("agent-large-%d" % size)
        agent = bench.agent(folder)
        bench.programs.append(agent)
        agent.start()
        agent.wait_ready()
        time.sleep(0.5)
        idle = vm_hwm_kib(agent.proc.pid)
        sub = harness.Subscriber(bench.broker, agent.topic_pub)
        sub.start()
        bench.programs.append(sub)
        body = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="1"><command>'
                'UploadFile</command><requestData>%s</requestData></commandRequest>')
        # Base64 makes the order 4/3 of the request: the order itself is `size` bytes.
        body = body % ("x" * (size * 3 // 4 - len(body) + 2))
        order = harness.make_order("UploadFile", body, platform=[agent.PLATFORM]).encode()
        log("large orders: %d of %d bytes" % (count, len(order)))
        peaks = []
        for n in range(1, count + 1):
            subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p",
                            str(bench.broker.client_port), "-q", "1", "-t", agent.topic_sub,
                            "-s"], input=order, check=True, timeout=60,
                           stdout=subprocess.DEVNULL)
            harness.wait_until(lambda: len(sub.payloads()) >= n, "%d answers" % n, deadline_s=60)
            peaks.append(vm_hwm_kib(agent.proc.pid) - idle)
        assert_running(agent)
        sec = "Large orders of %.0f MB (%d in a row, default log settings)" % (size / 1e6, count)
        ratio = peaks[0] * 1024.0 / len(order)
        figures.append(Figure(sec, "peak resident memory above idle (VmHWM), first order",
                              [peaks[0]], "KiB", "%d", "< 2.5 × order",
                              ratio < 2.5, note="%.2f × the order" % ratio))
        figures.append(Figure(sec, "peak resident memory above idle, after all orders",
                              [peaks[-1]], "KiB", "%d"))
        log_dir = os.path.join(folder, "log")
        total = sum(os.path.getsize(os.path.join(log_dir, f)) for f in os.listdir(log_dir))
        cap = 100000 * (5 + 1)
        figures.append(Figure(sec, "log folder size (cap LOG_MAX_BYTES × (LOG_COUNTS + 1))",
                              [total], "bytes", "%d", "≤ %d" % cap, total <= cap))
        agent.terminate()
        sub.stop()
    return figures


def large_answer_figures(args, bench):
    """Peak resident memory of the agent for one answer of the logger application as large as
    MAX_ANSWER_BYTES lets through by default (32 MiB), against the unit's MemoryMax."""
    size = 32 * 1024 * 1024
    sim = harness.LoggerSim(bench.folder("logger-sim-huge"), "--mode", "huge", "--size",
                            str(size), name="logger-sim-huge")
    sim.start()
    bench.programs.append(sim)
    folder = bench.folder("agent-large-answer")
    agent = bench.agent(folder)
    agent.settings["QMT_HTTP"]["URL"] = sim.url
    harness.write_text(agent.config_path, json.dumps(agent.settings))
    bench.programs.append(agent)
    agent.start()
    agent.wait_ready()
    time.sleep(0.5)
    idle = vm_hwm_kib(agent.proc.pid)
    sub = harness.Subscriber(bench.broker, agent.topic_pub)
    sub.start()
    bench.programs.append(sub)
    log("large answer: one of %d bytes" % size)
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(bench.broker.client_port),
                    "-q", "1", "-t", agent.topic_sub, "-s"],
                   input=harness.order(1, platform=[agent.PLATFORM]).encode(), check=True,
                   timeout=60, stdout=subprocess.DEVNULL)
    # Payloads are hex-encoded, one a line: the answer's line is over twice its Base64 text.
    harness.wait_until(lambda: "\n" in sub.stdout(), "the answer", deadline_s=120)
    if len(sub.stdout()) < size * 2:
        raise RuntimeError("the answer is shorter than the logger application's body")
    assert_running(agent)
    peak = vm_hwm_kib(agent.proc.pid)
    limit = memory_max_kib()
    sec = "Answer of 32 MiB from the logger application (one order)"
    figures = [Figure(sec, "peak resident memory (VmHWM)", [peak], "KiB", "%d",
                      "within MemoryMax (%d KiB) with margin" % limit, peak < limit * 0.8,
                      note="idle %d KiB" % idle),
               Figure(sec, "peak resident memory above idle", [peak - idle], "KiB", "%d",
                      note="%.2f × the answer" % ((peak - idle) * 1024.0 / size))]
    agent.terminate()
    sub.stop()
    sim.stop()
    return figures


def memory_max_kib():
    """The agent unit's MemoryMax as packaged, in KiB."""
    path = os.path.join(SOURCE_DIR, "packaging", "systemd", "cee-agent.service.d",
                        "hardening.conf")
    for line in harness.read_text(path).splitlines():
        if line.startswith("MemoryMax="):
            value = line.split("=", 1)[1].strip()
            units = {"K": 1, "M": 1024, "G": 1024 * 1024}
            return int(value[:-1]) * units[value[-1]] if value[-1] in units else int(value) // 1024
    raise RuntimeError("no MemoryMax in " + path)


# ---------------------------------------------------------------------------------------------
# 5: start-up


class LogWatch:
    """Waits for a text in a file of a folder, woken by inotify (no polling delay)."""

    IN_MODIFY, IN_CREATE = 0x2, 0x100

    def __init__(self, folder):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if self.libc.inotify_add_watch(self.fd, folder.encode(),
                                       self.IN_MODIFY | self.IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)

    def wait(self, path, text, deadline_s, alive):
        end = time.monotonic() + deadline_s
        while True:
            if text in harness.read_text(path):
                return time.monotonic()
            remaining = end - time.monotonic()
            if remaining <= 0 or not alive():
                raise RuntimeError("%r did not appear in %s" % (text, path))
            ready, _, _ = select.select([self.fd], [], [], min(remaining, 0.2))
            if ready:
                try:
                    os.read(self.fd, 65536)
                except BlockingIOError:
                    pass

    def close(self):
        os.close(self.fd)


def daemon_fsync_figures(args, bench):
    """fsync and fdatasync calls of the real agent per forwarded order, counted by strace on
    all its threads from before the orders arrive until every answer was acknowledged and
    the spool is empty: the receipt spool's and the database's together."""
    orders = setting(args, "fsync_orders")
    log("fsync through the daemon: %d orders" % orders)
    agent = bench.agent(bench.folder("agent-fsync"))
    bench.programs.append(agent)
    agent.start()
    agent.wait_ready()
    answers = harness.Subscriber(bench.broker, agent.topic_pub)
    bench.programs.append(answers)
    answers.start()
    trace = os.path.join(bench.root, "fsync.strace")
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=fsync,fdatasync", "-o", trace,
                               "-p", str(agent.proc.pid)], stderr=subprocess.DEVNULL)
    tasks_dir = "/proc/%d/task" % agent.proc.pid
    harness.wait_until(lambda: all(
        harness.read_text("%s/%s/status" % (tasks_dir, t)).find("TracerPid:\t0\n") < 0
        for t in os.listdir(tasks_dir)), "strace to attach")
    harness.publish(bench.broker, agent.topic_sub, *[harness.order(n) for n in range(orders)])
    answers.wait_answers(orders, orders * 2 + harness.DEADLINE_S)
    harness.wait_until(lambda: not agent.spool_files(), "spool emptied")
    tracer.terminate()
    tracer.wait()
    calls = sum(1 for line in harness.read_text(trace).splitlines()
                if "fsync(" in line or "fdatasync(" in line)
    sec = ("fsync/fdatasync per forwarded order through the real cee-agent (strace, %d orders; "
           "spool and database in %s, %s)" % (orders, bench.root, filesystem_of(bench.root)))
    return [Figure(sec, "fsync/fdatasync calls per order, end to end", [calls / orders], "",
                   "%.1f", "≤ 8", calls / orders <= 8)]


def startup_figures(args, bench):
    folder = bench.folder("agent-start")
    shim = os.path.join(args.build, "bench", "libbench_exec_time.so")
    times, base, parts = [], [], {"exec": [], "setup": [], "setReceive": []}
    n = setting(args, "startups")
    log("start-up: %d starts" % n)
    for i in range(n + 1):
        # A client id of its own each start: the broker holds no session of it yet.
        agent = bench.agent(folder, name="cee-agent-%d" % i,
                            mqtt={"CLIENT_ID": "bench-start-%d" % i})
        log_dir = os.path.dirname(agent.log_path)
        os.makedirs(log_dir, exist_ok=True)
        if os.path.exists(agent.log_path):
            os.remove(agent.log_path)
        times_file = os.path.join(folder, "waits.%d" % i)
        agent.env["LD_PRELOAD"] = shim
        agent.env["BENCH_EXEC_TIME_FILE"] = times_file
        # Just before: the fixed cost of starting the program and ending it, without any work.
        t0 = time.monotonic()
        subprocess.run([harness.AGENT, "--version"], stdout=subprocess.DEVNULL,
                       check=True)
        version = (time.monotonic() - t0) * 1000
        watch = LogWatch(log_dir)
        try:
            t0 = time.monotonic()
            agent.start()
            t1 = watch.wait(agent.log_path, READY_TEXT, harness.DEADLINE_S, agent.running)
        finally:
            watch.close()
        status = agent.terminate()
        if status != 0:
            raise RuntimeError("cee-agent ended with %d" % status)
        if i > 0:  # the first start creates the database, as only a first installation does
            times.append((t1 - t0) * 1000)
            base.append(version)
            entries = [l.split(" ", 2) for l in harness.read_text(times_file).splitlines()]
            for key in parts:
                parts[key].append(sum(int(e[0]) for e in entries
                                      if (e[1] == "exec" and key == "exec") or e[2] == key) / 1e6)
    rest = [t - b - sum(parts[k][j] for k in parts) for j, (t, b) in enumerate(zip(times, base))]
    sec = ("Start-up: exec to \"Waiting to receive instructions\", local broker, database "
           "exists, substrate code command answers at once")
    return [Figure(sec, "start-up time", times, "ms", "%.1f", "< 100 ms",
                   median_of(times) < 100),
            Figure(sec, "of which the substrate code command (popen to pclose)", parts["exec"],
                   "ms", "%.1f"),
            Figure(sec, "of which MQTT connect (libmqtt-if setup)", parts["setup"], "ms",
                   "%.1f"),
            Figure(sec, "of which MQTT subscribe (libmqtt-if setReceive)", parts["setReceive"],
                   "ms", "%.1f"),
            Figure(sec, "cee-agent --version just before: exec to exit, no work (loading %d "
                        "shared libraries)" % len(ldd(harness.AGENT)), base, "ms",
                   "%.1f"),
            Figure(sec, "the rest: settings, log, database check, the agent's own start-up",
                   rest, "ms", "%.1f")]


# ---------------------------------------------------------------------------------------------
# 6: update run


def agent_database(bench, folder):
    """The command database that cee-agent makes in folder at its first start (it is ready
    before the agent connects); the agent is stopped again."""
    agent = bench.agent(folder)
    try:
        agent.start()
        agent.wait_ready()
    finally:
        agent.stop()
    return agent.db_file


def add_update(db_file, packages, minutes):
    """An update order with its packages and one run due `minutes` from now (UTC+9)."""
    with closing(sqlite3.connect(db_file)) as db:
        info = db.execute(
            "INSERT INTO command_info ( command_json, upd_command_id, upd_cmd_req_id, "
            "upd_command_type ) VALUES ( 'UpdateLogger', '9001', 'REQ-9001', 0 )").lastrowid
        for seq, name in enumerate(packages, 1):
            db.execute("INSERT INTO package_list ( command_info_id, seq_no, package_filename, "
                       "package_name, package_path ) VALUES ( ?, ?, ?, ?, 'tools' )",
                       (info, seq, "%s_1.1_armhf.deb" % name, name))
        db.execute("INSERT INTO proc_info ( command_info_id, sched_proc_time ) "
                   "VALUES ( ?, datetime( 'now', '+9 hours', ? ) )", (info, "%+d minutes"
                                                                        % minutes))
        db.commit()


def run_blocking(program, deadline_s=120):
    """Starts a harness Program and waits for its end in a blocking wait (a wait with a time-out
    polls and would add up to 50 ms); a timer kills it should it hang. Its exit status."""
    program.start()
    watchdog = threading.Timer(deadline_s, program.proc.kill)
    watchdog.start()
    try:
        return program.proc.wait()
    finally:
        watchdog.cancel()


def ldd(binary):
    out = subprocess.run(["ldd", binary], stdout=subprocess.PIPE, text=True).stdout
    return [l for l in out.splitlines() if "=>" in l]


def update_figures(args, bench):
    shim = os.path.join(args.build, "bench", "libbench_exec_time.so")
    packages = ["pkg%02d" % i for i in range(1, 21)]
    n = setting(args, "update_runs")
    sec = ("Update run of cee-updater (local broker, ping 127.0.0.1, stub outside programs "
           "that exit at once)")
    figures = []
    binary = harness.UPDATER
    base = []
    # MQTT_CONNECT true is the built-in default; false, with the health check on, the packaged
    # settings.
    for case, minutes, mqtt_connect in (("20 packages", -1, True), ("nothing due", 60, True),
                                        ("nothing due, packaged settings (MQTT_CONNECT false, HEALTH on)", 60, False)):
        log("update run, %s: %d runs" % (case, n))
        walls, own, outside_counts, connect_ms, disconnect_ms, own_bare, work = (
            [], [], [], [], [], [], [])
        for i in range(n):
            folder = bench.folder("updater-%s-%s-%d" % (case.split()[0], mqtt_connect, i))
            db_file = agent_database(bench, os.path.join(folder, "agent"))
            updater = harness.Updater(folder, os.path.dirname(db_file), name="cee-updater",
                                      installed=["%s 1.0 armhf" % p for p in packages],
                                      settings={"MQTT_CONNECT": mqtt_connect,
                                                "HEALTH": {"ENABLED": not mqtt_connect}})
            conf = updater.env["MQTT_IF_CONF"]
            harness.write_text(conf, json.dumps(dict(json.loads(harness.read_text(conf)),
                                                     BROKER_URI=bench.broker.uri)))
            harness.write_script(os.path.join(folder, "package_updater"), "exit 0")
            harness.write_script(os.path.join(folder, "update_finish.sh"), "exit 0")
            add_update(db_file, packages, minutes)
            times_file = os.path.join(folder, "outside.times")
            updater.env["LD_PRELOAD"] = shim
            updater.env["BENCH_EXEC_TIME_FILE"] = times_file
            # Just before: the fixed cost of starting the program with its shared libraries
            # and ending it, without any work.
            t0 = time.monotonic()
            subprocess.run([binary, "--version"], stdout=subprocess.DEVNULL, check=True)
            version = time.monotonic() - t0
            base.append(version * 1000)
            t0 = time.monotonic()
            status = run_blocking(updater)
            wall = time.monotonic() - t0
            if status != 0:
                raise RuntimeError("cee-updater (%s) ended with %d: %s"
                                   % (case, status, updater.stderr()[-1000:]))
            with closing(sqlite3.connect(db_file)) as db:
                state = db.execute("SELECT proc_status FROM proc_info").fetchone()[0]
            if state != (1 if minutes < 0 else 0):
                raise RuntimeError("update run (%s) left state %s" % (case, state))
            entries = [l.split(" ", 2) for l in harness.read_text(times_file).splitlines()]
            outside = sum(int(e[0]) for e in entries if e[1] == "exec") / 1e9
            connect = sum(int(e[0]) for e in entries if e[1:] == ["mqtt", "setup"]) / 1e9
            disconnect = sum(int(e[0]) for e in entries if e[1:] == ["mqtt", "destroy"]) / 1e9
            walls.append(wall * 1000)
            own.append((wall - outside) * 1000)
            connect_ms.append(connect * 1000)
            disconnect_ms.append(disconnect * 1000)
            own_bare.append((wall - outside - connect - disconnect) * 1000)
            work.append((wall - outside - connect - disconnect - version) * 1000)
            outside_counts.append(sum(1 for e in entries if e[1] == "exec"))
        goal = "< 50 ms" if minutes > 0 and not mqtt_connect else None
        figures.append(Figure(sec, "%s: wall time" % case, walls, "ms", "%.1f"))
        figures.append(Figure(sec, "%s: outside programs started" % case, outside_counts, "",
                              "%d"))
        figures.append(Figure(sec, "%s: wall time minus the outside programs" % case, own, "ms",
                              "%.1f", goal, None if goal is None else median_of(own) < 50))
        figures.append(Figure(sec, "%s: of which MQTT connect (libmqtt-if setup)" % case,
                              connect_ms, "ms", "%.1f"))
        figures.append(Figure(sec, "%s: of which MQTT disconnect (libmqtt-if destroy)" % case,
                              disconnect_ms, "ms", "%.1f"))
        figures.append(Figure(sec, "%s: wall time minus outside programs and MQTT" % case,
                              own_bare, "ms", "%.1f"))
        figures.append(Figure(sec, "%s: the same minus `--version` just before (the run's own "
                                   "work)" % case, work, "ms", "%.1f"))
    figures.insert(0, Figure(sec, "cee-updater --version: exec to exit, no work (loading %d "
                                  "shared libraries)" % len(ldd(binary)), base, "ms", "%.1f"))
    return figures


# ---------------------------------------------------------------------------------------------
# 7: size


def size_figures(args):
    figures = []
    builds = [("amd64", args.build, "strip")]
    if args.armhf_build and os.path.isfile(os.path.join(args.armhf_build, "src", "agent",
                                                        "cee-agent")):
        builds.append(("armhf", args.armhf_build, "arm-linux-gnueabihf-strip"))
    else:
        log("size: no armhf build, armhf skipped")
    with tempfile.TemporaryDirectory() as tmp:
        for arch, build, strip in builds:
            sec = "Stripped size, %s" % arch
            for rel in ("src/agent/cee-agent", "src/updater/cee-updater",
                        "src/mqtt_if/libmqtt-if.so"):
                copy = os.path.join(tmp, arch + "-" + os.path.basename(rel))
                shutil.copyfile(os.path.join(build, rel), copy)
                subprocess.run([strip, "--strip-all", copy], check=True)
                figures.append(Figure(sec, os.path.basename(rel),
                                      [os.path.getsize(copy) / 1024], "KiB", "%.0f"))
    return figures


# ---------------------------------------------------------------------------------------------
# Table and report


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith(("model name", "Model")):
                model = line.split(":", 1)[1].strip()
                break
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "kernel": "%s %s" % (platform.system(), platform.release()),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load": "%.2f %.2f %.2f" % os.getloadavg(),
    }


def table(figures):
    lines = []
    section = None
    for f in figures:
        if f.section != section:
            section = f.section
            lines += ["", "**%s**" % section, "",
                      "| measure | median | spread | goal | |", "|---|---|---|---|---|"]
        row = f.row()
        if f.note:
            row = row.replace(" | ", " (%s) | " % f.note, 1)
        lines.append(row)
    return "\n".join(lines).lstrip("\n") + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--armhf-build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--notes", help="a Markdown file appended to --out")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    # The harness takes the programs' paths when it is imported; these are the bench build's.
    harness.AGENT, harness.UPDATER, harness.LOGGER_SIM = (
        os.path.join(args.build, rel) for rel in ("src/agent/cee-agent", "src/updater/cee-updater",
                                                  "tools/logger-sim/logger-sim"))
    os.environ["TZ"] = "JST-9"

    started = time.monotonic()
    host = machine()
    figures = forward_figures(args)
    bench = Bench(args)
    try:
        bench.start_peers()
        figures += idle_and_growth_figures(args, bench)
        figures += large_order_figures(args, bench)
        figures += large_answer_figures(args, bench)
        figures += daemon_fsync_figures(args, bench)
        figures += startup_figures(args, bench)
        figures += update_figures(args, bench)
    finally:
        bench.close()
    figures += size_figures(args)
    elapsed = time.monotonic() - started

    text = table(figures)
    print(text)
    goals = [f for f in figures if f.met is not None]
    print("goals met: %d of %d%s" % (sum(f.met for f in goals), len(goals),
                                      " (quick mode: figures are indicative only)"
                                      if args.quick else ""))
    print("benchmarks took %.0f s" % elapsed)
    if args.out:
        with open(args.out, "w") as out:
            out.write(report(host, text, args, elapsed))


def report(host, text, args, elapsed):
    notes = harness.read_text(args.notes) if args.notes else ""
    shared = os.environ.get("BENCH_MACHINE_NOTE", "")
    return ("# Performance\n\n"
            "Figures of the last full run of `scripts/bench.sh` (Release build). Each figure "
            "is the median over repeated runs; the spread is the lowest and the highest run. "
            "Ratios are formed run by run from figures measured in the same run.\n\n"
            "Machine: %(cpu)s, %(cores)d cores, %(kernel)s; run %(date)s; load average "
            "(1, 5, 15 min) %(load)s at the start, " % host
            + "%s at the end; the benchmarks took %.0f s.%s\n\n"
            % ("%.2f %.2f %.2f" % os.getloadavg(), elapsed, " " + shared if shared else "")
            + text + "\n" + notes)


if __name__ == "__main__":
    main()
