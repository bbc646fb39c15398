// Internal: writes what the simulator published, as text that tests
// compare with what a subscriber built.
//
// Per topic, in topic order:
//   # topic <id> packet_no <n> snap_no <s> depth <d> instruments <count>
// then per instrument, in instrument number order, two lines:
//   - the 43-column line exactly as the test application prints it for the
//     instrument (settlement session, market data, five levels per side,
//     update date), so `grep -v '^[#L]'` of the file can be compared with
//     the application's last line per instrument;
//   - "L,<InstrumentID>,<bid count>[,<price>,<volume>]...,<ask count>[,<price>,<volume>]..."
//     with every level of both sides, for depths above five.
// packet_no is the number of the last MIRP packet published for the topic,
// snap_no the number of the last complete sequence. Doubles are printed
// with "%.12g" and an absent value as an empty column, as the application
// does.
#pragma once

#include <cstdint>
#include <cstdio>

namespace KORV {
namespace SIM {

class SimMarketModel;
struct SimInstrument;

class SimTruthWriter {
public:
    explicit SimTruthWriter(FILE* out) : m_out(out) {}

    void write_topic(const SimMarketModel& model, uint32_t packet_no, int snap_no);
    void write_market_data_line(const SimMarketModel& model, const SimInstrument& instrument);
    void write_levels_line(const SimInstrument& instrument);

private:
    void write_float(double value);

    FILE* m_out;
};

}  // namespace SIM
}  // namespace KORV
