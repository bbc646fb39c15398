// Internal: a hierarchical timing wheel counting 32-bit jiffies.
//
// Design. Five levels of slot lists hold every pending node in O(1):
//   level 1: 256 slots, one per jiffy, for expiries up to 255 jiffies ahead;
//   level 2: 64 slots of 256 jiffies each (up to 16 383 jiffies ahead);
//   level 3: 64 slots of 2^14 jiffies (up to 2^20 - 1 ahead);
//   level 4: 64 slots of 2^20 jiffies (below 2^26 ahead);
//   level 5: 64 slots of 2^26 jiffies (the rest of the 32-bit range).
// A node's slot is picked by the expiry bits of its level (0-7, 8-13, 14-19,
// 20-25, 26-31). Each time the low 8 bits of the current jiffy come back to
// 0, the level-2 slot of the new block is emptied and its nodes re-added, so
// they fall into level 1; when that index is 0 too the cascade goes one level
// further up. A node thus descends at most four times before it fires, and
// adding, cancelling and firing stay constant-time list operations.
//
// Rounding. calc_expires() rounds (current + delta) up to a multiple of the
// granularity; the system always passes 1, i.e. no rounding. run_timers()
// increments the current jiffy before it empties that jiffy's slot, so the
// slot of the current jiffy has already fired: a node whose expiry equals
// the current jiffy (delta 0) waits for the wheel to come round, 256 jiffies
// later. A delta of n >= 1 fires on the n-th advance.
//
// The current jiffy and every expiry are full 32-bit counters compared by
// unsigned difference, so the wheel runs straight across 2^32; its clock
// must wrap in the same modulus (see WheelDelayTaskManager::get_jiffies).
#pragma once

#include <cstdint>

#include "velta/source/task/ListHead.h"

class TimingWheelNode : public ListNode {
public:
    explicit TimingWheelNode(uint32_t expires = 0) : m_expires(expires) {}
    ~TimingWheelNode()
    {
        if (!empty())
            detach();
    }

    uint32_t m_expires;
};

class TimingWheel {
public:
    static constexpr int LEVEL1_SIZE = 256;
    static constexpr int LEVEL_SIZE = 64;
    static constexpr int LEVEL_COUNT = 4;  // levels 2 to 5

    explicit TimingWheel(uint32_t current_jiffy);
    TimingWheel(const TimingWheel&) = delete;
    TimingWheel& operator=(const TimingWheel&) = delete;
    // Unlinks every pending node; none fires.
    virtual ~TimingWheel();

    uint32_t current_jiffy() const { return m_current; }
    // (current + delta) rounded up to a multiple of granularity.
    uint32_t calc_expires(uint32_t delta, uint32_t granularity) const;
    // Files the node by its m_expires; it must be unlinked.
    void add_timer(TimingWheelNode* node);
    // Advances one jiffy and moves the nodes that expire on it to the front
    // of expired.
    void run_timers(ListHead& expired);

private:
    int cascade(ListHead* level, int index);
    static void release_timer(ListHead* slots, int count);

    uint32_t m_current;
    ListHead m_level1[LEVEL1_SIZE];
    ListHead m_levels[LEVEL_COUNT][LEVEL_SIZE];
};
