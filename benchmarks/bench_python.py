"""Figures of the Python package against the simulator, in the private
network (run through scripts/netns-run, as scripts/bench-run does):

- the feed as the C++ handler sees it (updates the library delivered per
  second of feed),
- how fast Python takes queued updates, one object at a time through the
  iterator and as NumPy batches,
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


def drain_rates(seconds):
    """Both readers drain a queue that holds a whole run of the feed, reading
    what a user reads: the iterator an instrument's last price, a batch its
    column of last prices."""
    process, args = simulate(32000, seconds, 5000, 100)
    iterated = korv.UserApi(queue_size=200000, **args)
    batched = korv.UserApi(queue_size=200000, **args)
    with iterated, batched:
        started = time.monotonic()
        process.wait()
        feed_seconds = time.monotonic() - started
        handler_rate = iterated.delivered / feed_seconds
        count = iterated.pending
        begin = time.perf_counter()
        last = {}
        for update in iterated.updates(timeout=0):
            last[update.instrument_id] = update.last_price
        taken = iterated.delivered - iterated.pending
        iterator_rate = taken / (time.perf_counter() - begin)
        begin = time.perf_counter()
        rows = 0
        for batch in batched.batches(max_rows=8192, timeout=0):
            rows += len(batch)
            np.nanmax(batch["last_price"])
        batch_rate = rows / (time.perf_counter() - begin)
    print(f"feed: {count} updates queued in {feed_seconds:.1f} s; the C++ handler took "
          f"{handler_rate:,.0f} updates/s (the feed's rate, not a ceiling)")
    print(f"drain: iterator {iterator_rate:,.0f} updates/s, batches {batch_rate:,.0f} "
          f"updates/s ({batch_rate / iterator_rate:.1f}x the iterator); dropped "
          f"{iterated.dropped + batched.dropped}")


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
    drain_rates(seconds)
    latency(seconds)
