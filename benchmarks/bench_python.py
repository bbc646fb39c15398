"""Figures of the Python package against the simulator, in the private
network (run through scripts/netns-run, as scripts/bench-run does):

- how fast Python takes queued updates, one object at a time through the
  iterator and as NumPy batches (into a new array per batch, and into one
  array the reader reuses), from queues that hold a whole topic's snapshot
  (what the handler costs the library's thread per update is measured in
  C++: benchmarks/bench_feed_queue.cpp);
- the latency the queue adds: from the handler's copy to Python holding the
  update, median and p99, for both ways of reading.

    PYTHONPATH=<build>/python KORV_SIMULATOR=<build>/apps/korv_md_simulator \\
        scripts/netns-run python3 benchmarks/bench_python.py [seconds]
"""

import os
import subprocess
import sys
import time

import numpy as np

import korv

SIMULATOR = os.environ["KORV_SIMULATOR"]


def simulate(port, seconds, rate, instruments):
    args = [SIMULATOR, "--listen", f"tcp://127.0.0.1:{port}",
            "--publish", f"udpg://239.3.1.1:{port + 1}", "--duration", str(seconds),
            "--linger", "1", "--rate", str(rate), "--instruments", str(instruments)]
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    time.sleep(0.3)
    return process, dict(mdqp=[f"tcp://127.0.0.1:{port}"], mirp=[f"udpg://239.3.1.1:{port + 1}"],
                         participant_id="P01", user_id="U01", password="secret", topics=[1001])


def percentiles(latencies_ns):
    values = np.asarray(latencies_ns, dtype=np.float64) / 1000.0
    return np.median(values), np.percentile(values, 99)


def drain_rates(instruments=50000):
    """Three readers drain queues that each hold a topic's whole snapshot,
    one pending update per instrument, reading what a user reads: the
    iterator an instrument's last price, a batch its column of last prices."""
    process, args = simulate(32000, 3, 1, instruments)
    apis = [korv.UserApi(**args) for _ in range(3)]
    for api in apis:
        api.start()
    deadline = time.monotonic() + 60
    while any(api.pending < instruments for api in apis) and time.monotonic() < deadline:
        time.sleep(0.05)
    iterated, fresh, reused = apis
    begin = time.perf_counter()
    last = {}
    for update in iterated.updates(timeout=0):
        last[update.instrument_id] = update.last_price
    iterator_rate = iterated.read / (time.perf_counter() - begin)
    begin = time.perf_counter()
    for batch in fresh.batches(max_rows=8192, timeout=0):
        np.nanmax(batch["last_price"])
    fresh_rate = fresh.read / (time.perf_counter() - begin)
    out = np.empty(8192, dtype=korv.DTYPE)
    begin = time.perf_counter()
    for batch in reused.batches(max_rows=8192, timeout=0, out=out):
        np.nanmax(batch["last_price"])
    reused_rate = reused.read / (time.perf_counter() - begin)
    for api in apis:
        api.close()
    process.wait()
    print(f"drain of {instruments} pending instruments: iterator {iterator_rate:,.0f} updates/s, "
          f"batches into new arrays {fresh_rate:,.0f} ({fresh_rate / iterator_rate:.1f}x), "
          f"into one reused array {reused_rate:,.0f} ({reused_rate / iterator_rate:.1f}x)")


def latency(seconds):
    """Live readers: what the queue adds between the handler and Python."""
    for way in ("iterator", "batches"):
        process, args = simulate(32010 if way == "iterator" else 32020, seconds, 1000, 10)
        latencies = []
        with korv.UserApi(**args) as api:
            if way == "iterator":
                for update in api.updates(timeout=2.0):
                    latencies.append(time.monotonic_ns() - update.handler_ns)
            else:
                for rows in api.batches(timeout=2.0):
                    now = time.monotonic_ns()
                    latencies.extend(now - rows["handler_ns"])
        process.wait()
        median, p99 = percentiles(latencies[100:])
        print(f"queue latency ({way}, {len(latencies)} updates at 1000 packets/s): median "
              f"{median:.1f} us, p99 {p99:.1f} us")


if __name__ == "__main__":
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5
    drain_rates()
    latency(seconds)
