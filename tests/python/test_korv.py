"""The Python package against the simulator, in the private network
namespace: the book it delivers, its batches, its threads and its refusals."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import korv
from conftest import levels_line, market_line, row_lines


def book_from_updates(updates):
    book = {}
    for update in updates:
        book[update.instrument_id] = (market_line(update), levels_line(update))
    return book


def test_updates_build_the_simulators_book(simulator, tmp_path):
    sim = simulator(31000)
    counters_file = tmp_path / "korv.prom"
    with korv.UserApi(counters_file=counters_file, **sim.api_args()) as api:
        book = book_from_updates(api.updates(timeout=4.0))
        topic = api.topic_counters(1001)
        line = api.line_counters(0)
        with pytest.raises(ValueError, match="error -15"):
            api.line_counters(1)
    truth = sim.wait()
    assert topic["snapshots"] == 1 and topic["applied"] > 0 and topic["gaps"] == 0
    assert topic["handler_calls"] == api.delivered
    assert line["packets"] >= topic["applied"] and line["datagrams"] > 0
    assert "korv_topic_packets_total" in counters_file.read_text()
    with pytest.raises(RuntimeError, match="closed"):
        api.topic_counters(1001)
    assert len(truth) == 10
    assert book == truth
    assert api.dropped == 0


def test_batches_hold_the_same_records_as_the_iterator(simulator):
    sim = simulator(31010)
    iterated = korv.UserApi(**sim.api_args())
    batched = korv.UserApi(**sim.api_args())
    reused = korv.UserApi(**sim.api_args())
    with iterated, batched, reused:
        batched_book = {}
        for rows in batched.batches(timeout=4.0):
            assert rows.dtype == korv.DTYPE
            for row in rows:
                batched_book[row["instrument_id"].decode()] = row_lines(row)
        book = book_from_updates(iterated.updates(timeout=0.5))
        # Into an array of the reader's own: each batch is a view of it.
        out = np.empty(7, dtype=korv.DTYPE)
        reused_book = {}
        for rows in reused.batches(max_rows=5, timeout=0.5, out=out):
            assert rows.base is out and len(rows) <= 5
            for row in rows:
                reused_book[row["instrument_id"].decode()] = row_lines(row)
        with pytest.raises(TypeError, match="DTYPE"):
            reused.batch(out=np.empty(3))
        with pytest.raises(ValueError, match="contiguous"):
            reused.batch(out=out[::2], timeout=0)
    truth = sim.wait()
    assert book == truth
    assert batched_book == truth
    assert reused_book == truth


def test_a_replayed_capture_gives_the_live_runs_book_from_the_file_alone(simulator, tmp_path):
    capture = str(tmp_path / "feed.pcapng")
    started_ns = time.time_ns()
    sim = simulator(31070, capture=capture)
    with korv.UserApi(**sim.api_args()) as api:
        live = book_from_updates(api.updates(timeout=4.0))
    truth = sim.wait()
    assert live == truth
    assert book_from_updates(korv.replay(capture)) == truth
    rows = korv.replay_array(capture, speed=None, topic=1001)
    assert {row["instrument_id"].decode(): row_lines(row) for row in rows} == truth
    # Each row carries the capture time of the datagram behind it.
    times = rows["handler_ns"]
    assert started_ns <= times[0] and np.all(np.diff(times) >= 0) and times[-1] <= time.time_ns()
    # And the topic's packet number at its delivery, as live rows do.
    numbers = rows["packet_no"].astype(np.int64)
    assert numbers[-1] > 0 and np.all(np.diff(numbers) >= 0)
    with pytest.raises(ValueError, match="not a readable capture file"):
        next(korv.replay(__file__))
    with pytest.raises(ValueError, match="--depth"):
        next(korv.replay(capture, depth="deep"))
    with pytest.raises(ValueError, match="holds no MIRP packet of the topics asked for|no snapshot"):
        next(korv.replay(capture, topic=1002))


def test_spinning_mode_builds_the_same_book(simulator):
    sim = simulator(31080)
    with korv.UserApi(spin=True, **sim.api_args()) as api:
        book = book_from_updates(api.updates(timeout=4.0))
    assert book == sim.wait()


def test_python_threads_run_while_a_reader_waits(simulator):
    sim = simulator(31030)
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    with korv.UserApi(**sim.api_args()) as api:
        counter.start()
        before = ticks
        received = sum(1 for _ in api.updates(timeout=1.5))
        stop.set()
    counter.join()
    assert received > 0
    assert ticks - before > 100


def test_close_ends_a_reader_waiting_in_another_thread(simulator):
    api = korv.UserApi(mdqp="tcp://127.0.0.1:9", mirp="udpg://239.3.0.9:31041",
                       participant_id="P01", user_id="U01", password="secret", topics=1001)
    api.start()
    ended = threading.Event()

    def read():
        for _ in api.updates(timeout=None):
            pass
        ended.set()

    reader = threading.Thread(target=read)
    reader.start()
    time.sleep(0.3)
    assert not ended.is_set()
    api.close()
    assert ended.wait(2.0)
    reader.join()
    assert api.closed


def test_ctrl_c_interrupts_a_waiting_reader_promptly():
    script = textwrap.dedent("""
        import korv, sys
        api = korv.UserApi(mdqp="tcp://127.0.0.1:9", mirp="udpg://239.3.0.9:31051",
                           participant_id="P01", user_id="U01", password="secret", topics=[1001])
        with api:
            print("waiting", file=sys.stderr, flush=True)
            try:
                for _ in api.updates():
                    pass
            except KeyboardInterrupt:
                print("interrupted", file=sys.stderr, flush=True)
                sys.exit(3)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stderr=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, text=True,
                             env=dict(os.environ))
    assert child.stderr.readline().strip() == "waiting"
    time.sleep(0.2)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    assert child.wait(timeout=5) == 3
    assert time.monotonic() - sent < 1.0
    assert child.stderr.read().strip() == "interrupted"


BASE = dict(mdqp="tcp://127.0.0.1:9", mirp="udpg://239.3.0.9:31061", participant_id="P01",
            user_id="U01", password="secret", topics=[1001])


@pytest.mark.parametrize("change, error, text", [
    (dict(topics=[70000]), ValueError, "error -13"),
    (dict(topics=[-1]), ValueError, "error -13"),
    (dict(topics=[1001, 1001]), ValueError, "error -12"),
    (dict(topics=["1001"]), TypeError, "int"),
    (dict(topics=[True]), TypeError, "int"),
    (dict(mdqp=5), TypeError, ""),
    (dict(queue_size=0), ValueError, "queue_size"),
    (dict(queue_size=1.5), TypeError, "queue_size"),
    (dict(password="x" * 41), ValueError, "error -13"),
    (dict(cpu=-2), ValueError, "error -13"),
    (dict(cpu="0"), TypeError, ""),
])
def test_bad_arguments_raise_with_the_librarys_code(change, error, text):
    with pytest.raises(error, match=text):
        korv.UserApi(**{**BASE, **change})


def test_start_twice_and_use_after_close_raise():
    api = korv.UserApi(**BASE)
    api.start()
    with pytest.raises(RuntimeError, match="configure before start"):
        api.start()
    api.close()
    api.close()
    with pytest.raises(RuntimeError, match="closed"):
        api.start()
    assert api.take(timeout=0) is None
    assert len(api.batch(timeout=0)) == 0
    with pytest.raises(ValueError):
        api.take(timeout=-1)
