#include "source/korv_user/KorvUserEventParser.h"

#include <cstdio>

#include "source/korv_user/KorvUserTopic.h"
#include "source/mirp_protocol/MirpEventRecords.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "velta/source/base/ErrorCode.h"

using namespace BRAX::KORV;

namespace KORV {
namespace USER {

int parse_md_entry_event(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    MIRP_MDEntryEvent event;
    int ret = mirp_get_field<CODEC_MDEntryEvent>(event, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_md_entry_event(context.InstrumentNo, &event);
    return EC_NONE;
}

int parse_trade_slice(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    MIRP_TradeSlice slice;
    int ret = mirp_get_field<CODEC_TradeSlice>(slice, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_trade_slice(context.InstrumentNo, &slice);
    return EC_NONE;
}

template <typename T>
int parse_daily_price(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    T price;
    int ret = mirp_get_field<CODEC_PriceOffset>(price, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_daily_price(context.InstrumentNo, &price);
    return EC_NONE;
}

template int parse_daily_price<MIRP_HighPrice>(Packet&, const InstrumentEventContext&,
                                               KorvUserTopic*);
template int parse_daily_price<MIRP_LowPrice>(Packet&, const InstrumentEventContext&,
                                              KorvUserTopic*);
template int parse_daily_price<MIRP_OpenPrice>(Packet&, const InstrumentEventContext&,
                                               KorvUserTopic*);
template int parse_daily_price<MIRP_ClosePrice>(Packet&, const InstrumentEventContext&,
                                                KorvUserTopic*);
template int parse_daily_price<MIRP_UpperLimitPrice>(Packet&, const InstrumentEventContext&,
                                                     KorvUserTopic*);
template int parse_daily_price<MIRP_LowerLimitPrice>(Packet&, const InstrumentEventContext&,
                                                     KorvUserTopic*);
template int parse_daily_price<MIRP_SettlementPrice>(Packet&, const InstrumentEventContext&,
                                                     KorvUserTopic*);

namespace {

int parse_delta(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    MIRP_Delta delta;
    int ret = mirp_get_field<CODEC_Ratio>(delta, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_delta(context.InstrumentNo, &delta);
    return EC_NONE;
}

// A field this receiver does not know is stepped over whole, unless its size
// runs past the body: then there is nothing sound to step to.
int skip_unknown_field(Packet& body, const MirpFieldHeader& header)
{
    printf("unkown field id=%d size=%d\n", header.FieldID, header.FieldSize);
    if (header.FieldSize > body.length() - MIRP_FIELD_HLEN)
        return EC_FORMAT;
    body.pop(MIRP_FIELD_HLEN + header.FieldSize);
    return EC_NONE;
}

}  // namespace

int parse_instrument_event(Packet& body, KorvUserTopic* topic)
{
    InstrumentEventContext context;
    int ret = mirp_get_field<CODEC_InstrumentEventHeader>(context, body);
    while (ret == EC_NONE && body.length() > 0) {
        MirpFieldHeader header;
        ret = mirp_peek_field(body, header);
        if (ret != EC_NONE)
            break;
        switch (header.FieldID) {
            case MIRP_FID_InstrumentEventHeader:
                return EC_NONE;
            case MIRP_FID_MDEntryEvent:
                ret = parse_md_entry_event(body, context, topic);
                break;
            case MIRP_FID_TradeSlice:
                ret = parse_trade_slice(body, context, topic);
                break;
            case MIRP_FID_HighPrice:
                ret = parse_daily_price<MIRP_HighPrice>(body, context, topic);
                break;
            case MIRP_FID_LowPrice:
                ret = parse_daily_price<MIRP_LowPrice>(body, context, topic);
                break;
            case MIRP_FID_OpenPrice:
                ret = parse_daily_price<MIRP_OpenPrice>(body, context, topic);
                break;
            case MIRP_FID_ClosePrice:
                ret = parse_daily_price<MIRP_ClosePrice>(body, context, topic);
                break;
            case MIRP_FID_UpperLimitPrice:
                ret = parse_daily_price<MIRP_UpperLimitPrice>(body, context, topic);
                break;
            case MIRP_FID_LowerLimitPrice:
                ret = parse_daily_price<MIRP_LowerLimitPrice>(body, context, topic);
                break;
            case MIRP_FID_SettlementPrice:
                ret = parse_daily_price<MIRP_SettlementPrice>(body, context, topic);
                break;
            case MIRP_FID_Delta:
                ret = parse_delta(body, context, topic);
                break;
            default:
                ret = skip_unknown_field(body, header);
                break;
        }
    }
    return ret;
}

int parse_snap_events(Packet& body, KorvUserTopic* topic)
{
    int ret = EC_NONE;
    while (ret == EC_NONE && body.length() > 0) {
        MirpFieldHeader header;
        if (mirp_peek_field(body, header) != EC_NONE ||
            header.FieldID != MIRP_FID_InstrumentEventHeader)
            return EC_FORMAT;
        ret = parse_instrument_event(body, topic);
    }
    return ret;
}

}  // namespace USER
}  // namespace KORV
