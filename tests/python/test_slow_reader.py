"""A reader that falls behind the feed: what it ends with, what the counts
say, and what a Python program using the package prints."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import korv
from conftest import SIMULATOR, levels_line, market_line, row_lines

SCRIPTED_FEED = os.environ.get("KORV_SCRIPTED_FEED")


def balanced(counts):
    return counts["delivered"] == (counts["read"] + counts["pending"] + counts["conflated"]
                                   + counts["dropped"])


def read_slowly(api, seconds, per_update, on_update, on_row):
    """Reads for `seconds`, sleeping per_update after each update, by turns
    one at a time and in small batches; then drains at full speed until
    nothing comes for two seconds."""
    end = time.monotonic() + seconds
    turn = 0
    while time.monotonic() < end:
        turn += 1
        if turn % 2:
            update = api.take(timeout=0.1)
            if update is not None:
                on_update(update)
                time.sleep(per_update)
        else:
            rows = api.batch(max_rows=3, timeout=0.1)
            for row in rows:
                on_row(row)
            time.sleep(per_update * len(rows))
    while True:
        rows = api.batch(max_rows=1000, timeout=2.0)
        if len(rows) == 0:
            return
        for row in rows:
            on_row(row)


def test_a_slow_reader_of_the_simulator_ends_with_every_instruments_final_state(simulator):
    # 500 instruments, some moved forty at a time, read at 5 ms an update
    # while the simulator sends far more; the queue holds exactly the
    # instruments, never the updates.
    sim = simulator(31100, seconds=4, extra=("--instruments", "500", "--rate", "2000"))
    book = {}
    with korv.UserApi(queue_size=500, **sim.api_args()) as api:
        read_slowly(api, 3.0, 0.005,
                    lambda u: book.__setitem__(u.instrument_id, (market_line(u), levels_line(u))),
                    lambda r: book.__setitem__(r["instrument_id"].decode(), row_lines(r)))
        counts = api.queue_counts()
    truth = sim.wait()
    assert len(truth) == 500
    assert counts["read"] < counts["delivered"]  # it did fall behind
    assert counts["conflated"] > 0
    assert counts["dropped"] == 0 and counts["pending"] == 0
    assert balanced(counts)
    assert counts["allocated"] <= 500  # the instruments at most, not the updates
    wrong = [key for key in truth if book.get(key) != truth[key]]
    assert wrong == []


def test_a_slow_reader_of_a_scripted_feed_ends_with_every_instruments_final_state(tmp_path):
    # A publisher of the test's own: bursts that touch each of 300
    # instruments exactly once, eight to a packet, and hot instruments between.
    if SCRIPTED_FEED is None:
        pytest.fail("KORV_SCRIPTED_FEED names no scripted feed: run through ctest")
    truth_path = tmp_path / "scripted-truth.txt"
    feed = subprocess.Popen([SCRIPTED_FEED, "31110", "239.3.0.111:31111", "300", "6",
                             str(truth_path)], stdout=subprocess.PIPE, text=True)
    assert feed.stdout.readline() == "ready\n"
    seen = {}

    def keep(instrument_id, volume, last_price, bid, packet_no):
        before = seen.get(instrument_id)
        # An instrument's states come in the order the feed made them.
        assert before is None or before[3] <= packet_no
        seen[instrument_id] = (volume, last_price, bid, packet_no)

    try:
        api = korv.UserApi(mdqp="tcp://127.0.0.1:31110", mirp="udpg://239.3.0.111:31111",
                           participant_id="P01", user_id="U01", password="secret",
                           topics=[1001], queue_size=300)
        with api:
            read_slowly(
                api, 2.0, 0.002,
                lambda u: keep(u.instrument_id, u.volume, u.last_price,
                               (u.bids[0].price, u.bids[0].volume), u.packet_no),
                lambda r: keep(r["instrument_id"].decode(), int(r["volume"]),
                               float(r["last_price"]),
                               (float(r["bid_price"][0]), int(r["bid_volume"][0])),
                               int(r["packet_no"])))
            counts = api.queue_counts()
        assert feed.wait(timeout=60) == 0
    finally:
        if feed.poll() is None:
            feed.kill()
            feed.wait()
    truth = {}
    for line in truth_path.read_text().splitlines():
        instrument_id, volume, last_price, bid_price, bid_volume, packet_no = line.split(",")
        truth[instrument_id] = (int(volume), float(last_price),
                                (float(bid_price), int(bid_volume)), int(packet_no))
    assert len(truth) == 300
    assert counts["read"] < counts["delivered"] and counts["conflated"] > 0
    assert counts["dropped"] == 0 and counts["pending"] == 0
    assert balanced(counts)
    wrong = {key: (seen.get(key), truth[key]) for key in truth if seen.get(key) != truth[key]}
    assert wrong == {}


def test_past_the_queue_size_the_oldest_instruments_are_dropped_and_counted(simulator):
    sim = simulator(31120, seconds=2, extra=("--instruments", "50", "--rate", "500"))
    with korv.UserApi(queue_size=8, **sim.api_args()) as api:
        time.sleep(2.5)
        counts = api.queue_counts()
        assert counts["pending"] == 8 and counts["dropped"] > 0
        assert counts["allocated"] == 8
        assert balanced(counts)
        assert len(list(api.updates(timeout=0.5))) >= 8
        assert balanced(api.queue_counts())
    sim.wait()


def run_program(body, sim):
    script = "import korv, sys\nargs = " + repr(sim.api_args()) + "\n" + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ))


def test_a_program_using_the_package_prints_only_what_it_prints(simulator, tmp_path):
    sim = simulator(31130, seconds=5)
    quiet = run_program("""
        with korv.UserApi(**args) as api:
            n = next(i for i, _ in enumerate(api.updates(timeout=3.0)) if i == 20)
        print("read", n)
    """, sim)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "read 20\n", "")

    # Asked for, the library's lines go where the program says.
    trace = tmp_path / "trace.txt"
    traced = run_program(f"""
        korv.set_trace_output({str(trace)!r})
        with korv.UserApi(**args) as api:
            n = next(i for i, _ in enumerate(api.updates(timeout=3.0)) if i == 20)
        korv.set_trace_output("stdout")
        korv.set_trace_output(None)
        print("read", n)
    """, sim)
    assert (traced.returncode, traced.stdout, traced.stderr) == (0, "read 20\n", "")
    lines = trace.read_text()
    assert "connect to 127.0.0.1:31130" in lines and "rsp qry topic packet no" in lines
    sim.wait()


def test_updates_and_rows_carry_the_packet_number_of_their_delivery(simulator):
    sim = simulator(31140, seconds=2)
    with korv.UserApi(**sim.api_args()) as api:
        first = api.take(timeout=4.0)
        time.sleep(1.0)
        rows = api.batch(timeout=4.0)
        last = api.topic_counters(1001)["last_packet_no"]
    sim.wait()
    # Each at the packet its delivery was committed at: never beyond what
    # the topic applied, and moving on as the feed does.
    assert first is not None and len(rows) > 0
    assert first.packet_no <= last and rows["packet_no"].max() <= last
    assert len(set(rows["packet_no"].tolist()) | {first.packet_no}) > 1
