// Internal: the in-memory book of one subscribed topic and the price level
// tables of its instruments.
#pragma once

namespace KORV {
namespace USER {

// Price levels kept per side of an instrument.
constexpr int MAX_LEVEL = 20;

// One price level, already scaled to a real price.
struct PriceEntry {
    double Price;
    int Volume;
};

// The levels of one side of one instrument, in level order: index 0 is level
// 1. Fixed storage, no allocation; entries at index >= get_count() are stale.
//
// Positions come straight off the wire, so every edit checks them: a call
// that would leave the level order or the array returns EC_OUT_OF_BOUNDS and
// changes nothing. The caller decides how to report it.
class PriceEntryTable {
public:
    PriceEntryTable() : m_count(0) {}

    int append(const PriceEntry& entry);
    // Shifts pos... up by one; pos == get_count() appends.
    int insert(int pos, const PriceEntry& entry);
    int update(int pos, const PriceEntry& entry);
    // Shifts pos+1... down by one; the vacated last slot keeps its old value.
    int erase(int pos);
    // Cuts the side back to at most n levels by count alone; never grows it.
    // A negative n empties the side.
    void truncate(int n);

    const PriceEntry* get_entries() const { return m_entries; }
    int get_count() const { return m_count; }

private:
    PriceEntry m_entries[MAX_LEVEL];
    int m_count;
};

}  // namespace USER
}  // namespace KORV
