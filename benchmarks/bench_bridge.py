#!/usr/bin/env python3
"""Figures of the NATS bridge; prints them, judges nothing.

    scripts/netns-run python3 benchmarks/bench_bridge.py [BUILD_DIR]

Runs the simulator, nats-server (config/nats), korv_md_bridge and
korv_md_book processes in the private network namespace and prints:
  1. updates per second through the bridge, one server and a three-server
     cluster with three replicas (the simulator pushing hard);
  2. latency from the library's handler call to a consumer's receipt
     (median, p99), one consumer, moderate rate;
  3. the server's CPU and the consumers' latency with 1, 10 and 50
     consumers.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
SIM = os.path.join(BUILD, "apps", "korv_md_simulator")
BRIDGE = os.path.join(BUILD, "apps", "korv_md_bridge", "korv_md_bridge")
BOOK = os.path.join(BUILD, "apps", "korv_md_bridge", "korv_md_book")
NATS = shutil.which("nats-server") or "/usr/sbin/nats-server"
LOCATIONS = ["1001", "tcp://127.0.0.1:30007", "udpg://239.3.0.1:30001", "P01", "U01", "secret"]
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def wait_port(port):
    import socket
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError(f"no server on port {port}")


class Run:
    """One set of servers in a fresh folder; everything stops at the end."""

    def __init__(self, configs):
        self.dir = tempfile.mkdtemp(prefix="bench_bridge_")
        self.procs = []
        self.servers = []
        for name in configs:
            self.servers.append(self.start([NATS, "-c", f"{ROOT}/config/nats/{name}.conf",
                                            "-l", f"{name}.log"]))
        for i in range(len(configs)):
            wait_port(4222 + i)
        self.urls = ",".join(f"nats://127.0.0.1:{4222 + i}" for i in range(len(configs)))

    def start(self, args, out=subprocess.DEVNULL, err=subprocess.DEVNULL):
        p = subprocess.Popen(args, cwd=self.dir, stdout=out, stderr=err)
        self.procs.append(p)
        return p

    def stop(self, p):
        p.terminate()
        return p.wait(30)

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def start_bridge(run, options):
    """The bridge's standard output (the library's trace lines, then its
    counters) goes to a file: a pipe nobody reads would stall it."""
    out = open(os.path.join(run.dir, "bridge.txt"), "w")
    return run.start([BRIDGE] + options + LOCATIONS, out=out)


def bridge_counters(run, bridge):
    bridge.terminate()
    bridge.wait(30)
    with open(os.path.join(run.dir, "bridge.txt"), errors="replace") as f:
        for line in reversed(f.read().splitlines()):
            if line.startswith("{"):
                return json.loads(line)
    return {}


def throughput(configs, replicas, rate, instruments, seconds):
    run = Run(configs)
    try:
        options = ["--nats", run.urls, "--replicas", str(replicas)]
        if replicas == 1:
            options.append("--memory")
        sim = run.start([SIM, "--rate", str(rate), "--instruments", str(instruments),
                         "--duration", str(seconds), "--linger", "2", "--history", "100000"])
        time.sleep(0.3)
        bridge = start_bridge(run, options)
        sim.wait(seconds + 30)
        time.sleep(1)
        return bridge_counters(run, bridge)
    finally:
        run.close()


def latency_figures(err_path):
    with open(err_path) as f:
        for line in f:
            if line.startswith("latency_us:"):
                words = line.split()
                return int(words[2]), float(words[4]), float(words[6])
    return 0, float("nan"), float("nan")


def fan_out(consumers, rate, instruments, seconds):
    run = Run(["single"])
    try:
        bridge = start_bridge(run, ["--nats", run.urls, "--memory"])
        sim = run.start([SIM, "--rate", str(rate), "--instruments", str(instruments),
                         "--duration", str(seconds + 3), "--linger", "1"])
        time.sleep(1.5)
        books = []
        for i in range(consumers):
            err = os.path.join(run.dir, f"book{i}.err")
            books.append((run.start([BOOK, "--nats", run.urls, "--latency",
                                     "--until-whole-idle", "1500"],
                                    err=open(err, "w")), err))
        time.sleep(1.5)
        server = run.servers[0].pid
        cpu0, t0 = cpu_seconds(server), time.monotonic()
        sim.wait(seconds + 30)
        cpu1, t1 = cpu_seconds(server), time.monotonic()
        for p, _ in books:
            p.wait(60)
        counters = bridge_counters(run, bridge)
        figures = [latency_figures(err) for _, err in books]
        return (cpu1 - cpu0) / (t1 - t0), figures, counters
    finally:
        run.close()


def main():
    print(f"# NATS bridge figures, {time.strftime('%Y-%m-%d %H:%M:%S')}, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at start")
    print("\n## 1. Updates through the bridge (simulator at 20000 packets/s, 500 instruments, 8 s)")
    for label, configs, replicas in (("one server, memory", ["single"], 1),
                                     ("three servers, 3 replicas, file", ["n1", "n2", "n3"], 3)):
        c = throughput(configs, replicas, 20000, 500, 8)
        seconds = 8.0
        print(f"{label}: delivered by the library {c.get('delivered', 0) / seconds:,.0f}/s, "
              f"taken by the publisher {c.get('updates', 0) / seconds:,.0f}/s "
              f"(conflated {c.get('conflated', 0):,}), acknowledged "
              f"{c.get('messages', 0) / seconds:,.0f} msg/s, "
              f"{c.get('bytes', 0) / seconds / 1e6:.1f} MB/s, publish errors "
              f"{c.get('publish_errors', 0)}, dropped {c.get('dropped', 0)}")
    print("\n## 2./3. Handler call -> consumer receipt, one server in memory, "
          "simulator at 500 packets/s, 100 instruments, 6 s")
    for n in (1, 10, 50):
        cpu, figures, counters = fan_out(n, 500, 100, 6)
        medians = sorted(f[1] for f in figures)
        p99s = sorted(f[2] for f in figures)
        count = sum(f[0] for f in figures)
        print(f"{n:2d} consumer(s): server CPU {100 * cpu:.0f} %, samples {count:,}, "
              f"median of medians {medians[len(medians) // 2]:.0f} us, "
              f"median p99 {p99s[len(p99s) // 2]:.0f} us, worst p99 {p99s[-1]:.0f} us, "
              f"bridge published {counters.get('messages', 0):,}")


if __name__ == "__main__":
    main()
