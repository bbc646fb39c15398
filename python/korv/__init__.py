"""Market data from the korv subscriber library, in Python.

A ``UserApi`` logs in to the platform's query servers, joins its multicast
groups and delivers one update per changed instrument of each subscribed
topic::

    import korv
    with korv.UserApi(mdqp=["tcp://127.0.0.1:30007"], mirp=["udpg://239.3.0.1:30001"],
                      participant_id="P01", user_id="U01", password="secret",
                      topics=[1001]) as api:
        for update in api.updates(timeout=1.0):
            print(update.instrument_id, update.last_price, update.bids[:1])

The library's own thread never runs Python: it copies each update into a
queue that keeps the latest update of every instrument until ``updates()``
or ``batches()`` read it. The library's trace lines are off unless
``set_trace_output`` turns them on.
"""

from ._api import (UserApi, Update, Level, DTYPE, DEFAULT_QUEUE_SIZE, replay, replay_array,
                   set_trace_output)

__all__ = ["UserApi", "Update", "Level", "DTYPE", "DEFAULT_QUEUE_SIZE", "replay", "replay_array",
           "set_trace_output"]
