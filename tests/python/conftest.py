"""Shared pieces of the Python package's tests: a simulator run in the
private network namespace the test command runs them in, and the book in the
simulator's truth form."""

import os
import subprocess
import time

import pytest

SIMULATOR = os.environ.get("KORV_SIMULATOR")
CAPTURE = os.environ.get("KORV_CAPTURE")


def _number(value):
    return "" if value != value else "%.12g" % value  # NaN is absent


def market_line(update):
    """The 43-column line the test application prints for an update."""
    u = update
    columns = [u.session_day, u.session_code, str(u.session_no)]
    columns += [_number(v) if v is not None else "" for v in (
        u.last_price, u.level_base_price, u.snap_value1, u.snap_value2,
        u.open_price, u.high_price, u.low_price)]
    columns.append(str(u.volume))
    columns += [_number(v) if v is not None else "" for v in (
        u.turnover, u.open_interest, u.close_price, u.settlement_price,
        u.upper_limit_price, u.lower_limit_price, u.snap_value3, u.delta)]
    columns += [u.update_time_text, str(u.update_millisec), u.instrument_id]
    bids, asks = u.bids, u.asks
    for level in range(5):
        for side in (bids, asks):
            if level < len(side):
                columns += [_number(side[level].price), str(side[level].volume)]
            else:
                columns += ["", "0"]
    columns.append(u.update_date)
    return ",".join(columns)


def row_lines(row):
    """The market and levels lines of one row of a batch."""
    text = lambda name: row[name].decode("latin-1")
    number = lambda name: _number(float(row[name]))
    columns = [text("session_day"), text("session_code"), str(row["session_no"])]
    columns += [number(n) for n in ("last_price", "level_base_price", "snap_value1",
                                    "snap_value2", "open_price", "high_price", "low_price")]
    columns.append(str(row["volume"]))
    columns += [number(n) for n in ("turnover", "open_interest", "close_price",
                                    "settlement_price", "upper_limit_price",
                                    "lower_limit_price", "snap_value3", "delta")]
    columns += [text("update_time"), str(row["update_millisec"]), text("instrument_id")]
    for level in range(5):
        for side in ("bid", "ask"):
            columns += [_number(float(row[side + "_price"][level])),
                        str(row[side + "_volume"][level])]
    columns.append(text("update_date"))
    levels = ["L", text("instrument_id")]
    for side in ("bid", "ask"):
        count = int(row[side + "_count"])
        levels.append(str(count))
        for level in range(count):
            levels += [_number(float(row[side + "_price"][level])),
                       str(row[side + "_volume"][level])]
    return ",".join(columns), ",".join(levels)


def levels_line(update):
    parts = ["L", update.instrument_id]
    for side in (update.bids, update.asks):
        parts.append(str(len(side)))
        for level in side:
            parts += [_number(level.price), str(level.volume)]
    return ",".join(parts)


def read_truth(path):
    """Instrument id to (market line, levels line), as the simulator wrote."""
    truth, market = {}, None
    with open(path) as f:
        for line in f.read().splitlines():
            if not line or line.startswith("#"):
                continue
            if line.startswith("L,"):
                truth[line.split(",")[1]] = (market, line)
            else:
                market = line
    return truth


class Simulator:
    def __init__(self, workdir, port, seconds, extra=(), capture=None):
        self.mdqp = f"tcp://127.0.0.1:{port}"
        self.mirp = f"udpg://239.3.0.{port % 250 + 1}:{port + 1}"
        self.truth = os.path.join(workdir, f"truth-{port}.txt")
        self.capture = None
        self.process = subprocess.Popen(
            [SIMULATOR, "--listen", self.mdqp, "--publish", self.mirp,
             "--duration", str(seconds), "--linger", "2", "--truth", self.truth, *extra],
            stdout=subprocess.DEVNULL)
        time.sleep(0.3)
        if capture is not None:
            # With a query session of its own: the file replays alone.
            self.capture = subprocess.Popen(
                [CAPTURE, "-w", capture, "--duration", str(seconds + 1.5),
                 "--query", self.mdqp, "--participant", "P01", "--user", "U01",
                 "--password", "secret", self.mirp + "@127.0.0.1"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.3)

    def api_args(self):
        return dict(mdqp=[self.mdqp], mirp=[self.mirp], participant_id="P01",
                    user_id="U01", password="secret", topics=[1001])

    def wait(self):
        self.process.wait(timeout=60)
        if self.capture is not None:
            assert self.capture.wait(timeout=60) == 0
        return read_truth(self.truth)

    def stop(self):
        for process in (self.process, self.capture):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()


@pytest.fixture
def simulator(tmp_path):
    if SIMULATOR is None:
        pytest.fail("KORV_SIMULATOR names no simulator: run through ctest")
    started = []

    def start(port, seconds=3, extra=(), capture=None):
        sim = Simulator(str(tmp_path), port, seconds, extra, capture)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()
