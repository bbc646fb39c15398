#include "velta/source/task/TimingWheel.h"

TimingWheel::TimingWheel(uint32_t current_jiffy) : m_current(current_jiffy) {}

TimingWheel::~TimingWheel()
{
    release_timer(m_level1, LEVEL1_SIZE);
    for (auto& level : m_levels)
        release_timer(level, LEVEL_SIZE);
}

void TimingWheel::release_timer(ListHead* slots, int count)
{
    for (int i = 0; i < count; ++i) {
        while (!slots[i].empty())
            slots[i].head()->detach();
    }
}

uint32_t TimingWheel::calc_expires(uint32_t delta, uint32_t granularity) const
{
    return (m_current + delta + granularity - 1) / granularity * granularity;
}

void TimingWheel::add_timer(TimingWheelNode* node)
{
    uint32_t expires = node->m_expires;
    uint32_t delta = expires - m_current;
    ListHead* slot;
    if (delta <= 0xFF)
        slot = &m_level1[expires & 0xFF];
    else if (delta <= 0x3FFF)
        slot = &m_levels[0][(expires >> 8) & 0x3F];
    else if (delta <= 0xFFFFF)
        slot = &m_levels[1][(expires >> 14) & 0x3F];
    else if (delta < 0x4000000)
        slot = &m_levels[2][(expires >> 20) & 0x3F];
    else
        slot = &m_levels[3][expires >> 26];
    slot->push_back(node);
}

int TimingWheel::cascade(ListHead* level, int index)
{
    ListHead* slot = &level[index];
    while (!slot->empty()) {
        TimingWheelNode* node = static_cast<TimingWheelNode*>(slot->head());
        node->detach();
        add_timer(node);
    }
    return index;
}

void TimingWheel::run_timers(ListHead& expired)
{
    ++m_current;
    int index = m_current & 0xFF;
    if (index == 0 && cascade(m_levels[0], (m_current >> 8) & 0x3F) == 0 &&
        cascade(m_levels[1], (m_current >> 14) & 0x3F) == 0 &&
        cascade(m_levels[2], (m_current >> 20) & 0x3F) == 0)
        cascade(m_levels[3], m_current >> 26);
    expired.splice(&m_level1[index]);
    m_level1[index].init();
}
