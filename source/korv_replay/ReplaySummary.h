// Public interface of the replay component: what a capture file holds, in
// a few lines a person reads: its time span, whether the query side was
// recorded, its lines, and per topic the packet numbers of each line with
// their holes, the snapshots and gap replies held, and whether the topic
// replays without holes.
#pragma once

#include <string>

class ReplayCapture;

std::string replay_summary(const ReplayCapture& capture);
