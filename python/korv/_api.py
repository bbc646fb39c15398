"""The Python face of the compiled module: names, keyword arguments and the
NumPy view of a batch."""

import numpy as np

from . import _korv

Update = _korv.Update
Level = _korv.Level

# The most instruments held for a reader at once: the library's own limit of
# instruments in one topic, so that one topic never overflows the queue.
# Memory grows with the instruments pending together (about 1 KB each), not
# with this number.
DEFAULT_QUEUE_SIZE = 131072


def _make_dtype():
    columns, itemsize = _korv.record_layout()
    names, formats, offsets = [], [], []
    for name, kind, count, offset in columns:
        names.append(name)
        formats.append((kind, (count,)) if count > 1 else kind)
        offsets.append(offset)
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": itemsize})


# One row per delivered instrument. Absent prices are NaN; a side's levels
# beyond bid_count/ask_count hold NaN and volume 0.
DTYPE = _make_dtype()


def set_trace_output(where):
    """Where the library's trace lines go (connections, channels, snapshot and
    gap queries: the lines the C++ test application prints): None (the
    package's default: nowhere), "stdout", "stderr" or the path of a file they
    are appended to. Process-wide. Lines of a failure that ends the process
    ("RuntimeError:", "EmergencyExit:") are always printed."""
    _korv.set_trace_output(None if where is None else str(where))


def _check_rows(value, name):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int")
    if value < 1:
        raise ValueError(f"{name} must be at least 1")


def _as_list(value, name):
    if value is None:
        return []
    if isinstance(value, (str, bytes, int)):
        return [value]
    try:
        return list(value)
    except TypeError:
        raise TypeError(f"{name} must be a value or a list of values, not "
                        f"{type(value).__name__}") from None


class UserApi:
    """One subscriber: query servers, multicast groups, credentials, topics.

    Configuration is taken at construction; ``start()`` (or entering a
    ``with`` block) starts delivery and ``close()`` (or leaving the block)
    ends it. Updates are read with ``updates()`` or ``batches()`` from any
    Python thread; waiting releases the interpreter's lock.

    Between the library's thread and the reader, a queue keeps the latest
    update of every changed instrument (topic and instrument id) until it is
    read: a reader that falls behind reads each changed instrument once,
    with its latest state, and never ends with an instrument's older state.
    ``queue_size`` is the most instruments held at once; past it the oldest
    pending instrument is dropped (``dropped``). Memory grows with the
    instruments pending together, about 1 KB each, never per update.
    """

    def __init__(self, *, mdqp, mirp, participant_id, user_id, password, topics,
                 log_file=None, counters_file=None, spin=False, cpu=-1,
                 queue_size=DEFAULT_QUEUE_SIZE):
        _check_rows(queue_size, "queue_size")
        self._api = _korv._Api(queue_size)
        try:
            if log_file is not None:
                self._api.set_log_file(str(log_file))
            for location in _as_list(mdqp, "mdqp"):
                self._api.reg_mdqp_location(location)
            for location in _as_list(mirp, "mirp"):
                self._api.reg_mirp_location(location)
            self._api.set_authentication(participant_id, user_id, password)
            for topic in _as_list(topics, "topics"):
                if not isinstance(topic, int) or isinstance(topic, bool):
                    raise TypeError(f"a topic must be an int, not {type(topic).__name__}")
                self._api.subscribe_topic(topic)
            if counters_file is not None:
                self._api.set_counters_file(str(counters_file))
            if spin or cpu != -1:
                # Spinning keeps one CPU at 100 % while the API runs; cpu >= 0
                # pins the library's thread in either mode.
                self._api.set_receive_mode(bool(spin), cpu)
        except BaseException:
            self._api.close()
            raise

    def start(self):
        """Starts the library's thread; RuntimeError if started or closed."""
        self._api.start()
        return self

    def close(self):
        """Stops delivery; readers waiting in updates() or batches() end.
        Updates already queued can still be read."""
        self._api.close()

    def __enter__(self):
        if not self._api.started:
            self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    @property
    def closed(self):
        return self._api.closed

    @property
    def queue_size(self):
        """The most instruments held for the reader at once (see __init__)."""
        return self._api.queue_size

    @property
    def delivered(self):
        """Updates the library delivered to the queue."""
        return self._api.queue_counts()["delivered"]

    @property
    def read(self):
        """Updates taken by updates(), take() and batches."""
        return self._api.queue_counts()["read"]

    @property
    def pending(self):
        """Instruments waiting in the queue, each with its latest update."""
        return self._api.queue_counts()["pending"]

    @property
    def conflated(self):
        """Updates that replaced a pending update of their instrument."""
        return self._api.queue_counts()["conflated"]

    @property
    def dropped(self):
        """Pending updates dropped because queue_size instruments were
        pending already (the oldest goes first); 0 while queue_size is at
        least the subscribed instruments."""
        return self._api.queue_counts()["dropped"]

    def queue_counts(self):
        """All the queue's counts at one moment, as a dict: delivered, read,
        pending, conflated, dropped (delivered = read + pending + conflated +
        dropped), allocated (rows of memory held) and bound (queue_size)."""
        return self._api.queue_counts()

    def topic_counters(self, topic_id):
        """The library's live counters of a subscribed topic, as a dict
        (packets, duplicates, gaps, recovered, gap_queries, snapshots,
        refused_* by kind, cache_depth, last_packet_no, handler time...).
        RuntimeError before start or after close."""
        return self._api.topic_counters(topic_id)

    def line_counters(self, line=0):
        """The live counters of a multicast line (numbered from 0 in the
        order of mirp), as a dict."""
        return self._api.line_counters(line)

    def take(self, timeout=None):
        """The next update, or None after timeout seconds (None: wait until
        one comes or the API is closed)."""
        return self._api.take(timeout)

    def updates(self, timeout=None):
        """Iterates over updates until none comes within timeout seconds, or
        the API is closed and the queue drained."""
        while True:
            update = self._api.take(timeout)
            if update is None:
                return
            yield update

    def batch(self, max_rows=4096, timeout=None, out=None):
        """Up to max_rows pending updates as a NumPy structured array of
        DTYPE, waiting at most timeout seconds for the first; empty on
        time-out. With out (a one-dimensional array of DTYPE) the rows are
        written into it and the filled part of it is returned, so that a
        reader allocates nothing per batch; otherwise a new array holds
        exactly the rows taken. The same queue as updates(): each pending
        instrument once, with its latest update."""
        _check_rows(max_rows, "max_rows")
        if out is None:
            count = self._api.wait_pending(timeout)
            rows = np.empty(min(count, max_rows), dtype=DTYPE)
            timeout = 0
        else:
            if not isinstance(out, np.ndarray) or out.dtype != DTYPE:
                raise TypeError("out must be a NumPy array of korv.DTYPE")
            rows = out[:max_rows]
        return rows[:self._api.take_into(rows, timeout)]

    def batches(self, max_rows=4096, timeout=None, out=None):
        """Iterates over batch() until one comes back empty. With out, every
        batch is a view of out, overwritten by the next: copy what you keep."""
        while True:
            rows = self.batch(max_rows, timeout, out)
            if len(rows) == 0:
                return
            yield rows


def _replay_session(path, speed, topic, groups, market):
    if speed is not None and (isinstance(speed, bool) or not isinstance(speed, (int, float))):
        raise TypeError("speed must be None or a number")
    if speed is not None and not speed > 0:
        raise ValueError("speed must be None or a positive number")
    topics = [] if topic is None else [topic] if isinstance(topic, int) else list(topic)
    args = []
    for name, value in market.items():
        args += ["--" + name.replace("_", "-"), str(value)]
    return _korv._Replay(str(path), float(speed or 0), topics, list(groups or []), args)


def replay(path, speed=None, *, topic=None, groups=None, **market):
    """Yields the updates a live run of the capture file delivered: its
    datagrams go through the library's own receive path offline, at full
    speed or at speed times the recorded pace, and the file's own login
    answer, snapshots and gap replies answer the library's queries. topic
    (an id or a list) and groups ("group:port" texts) choose what to replay;
    by default everything in the file. In these updates handler_ns is the
    capture time of the datagram that led to the delivery (nanoseconds since
    the epoch).

    A file of the simulator that holds no query side replays only with the
    simulator's market options of the captured run as keywords (seed,
    instruments, depth; participant, user, password if not the defaults),
    which make up the market that answers instead. ValueError for a file or
    options that are refused; RuntimeError after the last update when a
    topic could not be replayed whole."""
    session = _replay_session(path, speed, topic, groups, market)
    while True:
        update = session.next()
        if update is None:
            return
        yield update


def replay_array(path, speed=None, *, topic=None, groups=None, **market):
    """The whole replay of a capture file as one structured array of DTYPE
    (see replay() for the arguments); pandas.DataFrame.from_records takes
    its scalar columns."""
    session = _replay_session(path, speed, topic, groups, market)
    chunks = []
    while True:
        raw = session.take_batch(65536)
        if not raw:
            break
        chunks.append(np.frombuffer(raw, dtype=DTYPE))
    return np.concatenate(chunks) if chunks else np.empty(0, dtype=DTYPE)
