"""Prints the best bid and ask of every changed instrument, live.

    PYTHONPATH=build/dev/python python3 examples/python/live.py \\
        tcp://127.0.0.1:30007 udpg://239.3.0.1:30001 1001

(against the simulator, both inside scripts/netns-run).
"""

import sys

import korv

mdqp, mirp, topic = sys.argv[1], sys.argv[2], int(sys.argv[3])
with korv.UserApi(mdqp=mdqp, mirp=mirp, topics=[topic], participant_id="P01",
                  user_id="U01", password="secret") as api:
    for update in api.updates(timeout=5.0):
        bid = update.bids[0] if update.bids else None
        ask = update.asks[0] if update.asks else None
        print(f"{update.snap_time} {update.instrument_id:>8} last={update.last_price} "
              f"bid={bid and (bid.price, bid.volume)} ask={ask and (ask.price, ask.volume)}")
    print(f"{api.delivered} updates, {api.dropped} dropped", file=sys.stderr)
