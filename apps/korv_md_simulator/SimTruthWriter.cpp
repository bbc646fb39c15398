#include "apps/korv_md_simulator/SimTruthWriter.h"

#include "apps/korv_md_simulator/SimMarketModel.h"
#include "source/korv_user/UFDataType.h"

namespace KORV {
namespace SIM {

using BRAX::KORV_USER_API::UFBaseFloatType;

namespace {

// Levels shown on the application's line.
constexpr size_t LINE_LEVELS = 5;

}  // namespace

void SimTruthWriter::write_topic(const SimMarketModel& model, uint32_t packet_no, int snap_no)
{
    fprintf(m_out, "# topic %d packet_no %u snap_no %d depth %d instruments %zu\n",
            model.get_topic_id(), packet_no, snap_no, model.get_depth(),
            model.get_instruments().size());
    for (const SimInstrument& instrument : model.get_instruments()) {
        write_market_data_line(model, instrument);
        write_levels_line(instrument);
    }
}

void SimTruthWriter::write_float(double value)
{
    if (value != UFBaseFloatType::NULL_VALUE)
        fprintf(m_out, "%.12g", value);
}

void SimTruthWriter::write_market_data_line(const SimMarketModel& model,
                                            const SimInstrument& instrument)
{
    const BRAX::KORV_USER_API::TopicSettlementSession& session = model.get_settlement_session();
    const BRAX::KORV::MDQP_TopicMarketData& md = instrument.MarketData;
    fprintf(m_out, "%s,%s,%d,", session.SessionDay, session.SessionCode, session.SessionNo);
    const double before_volume[] = {md.LastPrice, md.LevelBasePrice, md.SnapValue1, md.SnapValue2,
                                    md.OpenPrice, md.HighPrice,      md.LowPrice};
    for (double value : before_volume) {
        write_float(value);
        fputc(',', m_out);
    }
    fprintf(m_out, "%d,", md.Volume);
    const double after_volume[] = {
        md.Turnover,        md.OpenInterest,    md.ClosePrice, md.SettlementPrice,
        md.UpperLimitPrice, md.LowerLimitPrice, md.SnapValue3, md.Delta};
    for (double value : after_volume) {
        write_float(value);
        fputc(',', m_out);
    }
    fprintf(m_out, "%s,%d,%s,", md.UpdateTime, md.UpdateMillisec,
            instrument.Instrument.InstrumentID);
    for (size_t i = 0; i < LINE_LEVELS; ++i) {
        const std::vector<SimLevel>* sides[] = {&instrument.Bids, &instrument.Asks};
        for (const std::vector<SimLevel>* side : sides) {
            if (i < side->size()) {
                write_float(SimMarketModel::level_price(instrument, (*side)[i]));
                fprintf(m_out, ",%d,", (*side)[i].volume);
            } else {
                fputs(",0,", m_out);
            }
        }
    }
    fprintf(m_out, "%s\n", md.UpdateDate);
}

void SimTruthWriter::write_levels_line(const SimInstrument& instrument)
{
    fprintf(m_out, "L,%s", instrument.Instrument.InstrumentID);
    const std::vector<SimLevel>* sides[] = {&instrument.Bids, &instrument.Asks};
    for (const std::vector<SimLevel>* side : sides) {
        fprintf(m_out, ",%zu", side->size());
        for (const SimLevel& level : *side) {
            fputc(',', m_out);
            write_float(SimMarketModel::level_price(instrument, level));
            fprintf(m_out, ",%d", level.volume);
        }
    }
    fputc('\n', m_out);
}

}  // namespace SIM
}  // namespace KORV
