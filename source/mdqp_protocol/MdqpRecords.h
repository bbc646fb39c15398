// Internal: the field records of MDQP, the query protocol's field bodies.
//
// In memory each record holds its fields in wire order with natural
// alignment, which is the form the topic book keeps; on the wire they are
// packed little-endian (see MdqpCodec.h). fields() lists them once for both
// directions of the codec.
#pragma once

#include "source/mdqp_protocol/MdqpCodec.h"

namespace BRAX {
namespace KORV {

// ErrorID values of MDQP_RspInfo; the client gives only 0 a meaning.
constexpr int EC_UNAVAILABLE = -7001;
constexpr int EC_DATA_ACCESS = -7002;
constexpr int EC_USER_PASSWORD = -7003;

class MDQP_RspInfo : public MdqpRecord<MDQP_RspInfo, 0x0001, 85> {
public:
    int ErrorID;  // 0 = success
    char ErrorMsg[81];

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.ErrorID)(r.ErrorMsg);
    }
};

class MDQP_ReqUserLogin : public MdqpRecord<MDQP_ReqUserLogin, 0x0002, 151> {
public:
    char UserID[16];
    char ParticipantID[11];
    char Password[41];

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.UserID)(r.ParticipantID)(r.Password).zeros(83);
    }
};

class MDQP_RspUserLogin : public MdqpRecord<MDQP_RspUserLogin, 0x0003, 115> {
public:
    char LoginInfo1[9];
    char LoginInfo2[9];
    char UserID[16];
    char ParticipantID[11];
    char LoginInfo3[61];
    char LoginInfo4[9];

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.LoginInfo1)(r.LoginInfo2)(r.UserID)(r.ParticipantID)(r.LoginInfo3)(r.LoginInfo4);
    }
};

class MDQP_TopicSettlementSession : public MdqpRecord<MDQP_TopicSettlementSession, 0x0031, 22> {
public:
    char SessionDay[9];
    char SessionCode[9];
    int SessionNo;

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.SessionDay)(r.SessionCode)(r.SessionNo);
    }
};

class MDQP_TopicInstrument : public MdqpRecord<MDQP_TopicInstrument, 0x0101, 112> {
public:
    char InstrumentID[31];  // key of the topic's instrument lookup
    char InstrumentAttr1[31];
    char InstrumentAttr2;
    double InstrumentAttr3;
    char InstrumentAttr4;
    int VolumeMultiple;  // multiplier in the turnover of trade slices
    double InstrumentAttr5;
    int InstrumentAttr6;
    int InstrumentAttr7;
    double PriceTick;       // price = offset * PriceTick + base
    double TradeBasePrice;  // base of trade-slice and daily-price offsets
    int InstrumentNo;       // index in the topic's instrument table

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.InstrumentID)(r.InstrumentAttr1)(r.InstrumentAttr2)(r.InstrumentAttr3)(
            r.InstrumentAttr4)(r.VolumeMultiple)(r.InstrumentAttr5)(r.InstrumentAttr6)(
            r.InstrumentAttr7)(r.PriceTick)(r.TradeBasePrice)(r.InstrumentNo);
    }
};

class MDQP_TopicMarketData : public MdqpRecord<MDQP_TopicMarketData, 0x0102, 154> {
public:
    int InstrumentNo;
    double LastPrice;
    int Volume;
    double Turnover;
    double OpenInterest;
    double HighPrice;
    double LowPrice;
    double OpenPrice;
    double ClosePrice;
    double SettlementPrice;
    double UpperLimitPrice;
    double LowerLimitPrice;
    double LevelBasePrice;  // base of price-level offsets
    double SnapValue1;
    double SnapValue2;
    double SnapValue3;
    double Delta;
    char UpdateDate[9];
    char UpdateTime[9];
    int UpdateMillisec;
    int SnapValue4;

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.InstrumentNo)(r.LastPrice)(r.Volume)(r.Turnover)(r.OpenInterest)(r.HighPrice)(
            r.LowPrice)(r.OpenPrice)(r.ClosePrice)(r.SettlementPrice)(r.UpperLimitPrice)(
            r.LowerLimitPrice)(r.LevelBasePrice)(r.SnapValue1)(r.SnapValue2)(r.SnapValue3)(r.Delta)(
            r.UpdateDate)(r.UpdateTime)(r.UpdateMillisec)(r.SnapValue4);
    }
};

class MDQP_TopicMarketByPrice : public MdqpRecord<MDQP_TopicMarketByPrice, 0x0103, 17> {
public:
    int InstrumentNo;
    char EntryType;  // '0' bid, anything else ask
    double Price;
    int Volume;

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.InstrumentNo)(r.EntryType)(r.Price)(r.Volume);
    }
};

class MDQP_TopicGap : public MdqpRecord<MDQP_TopicGap, 0x0201, 10> {
public:
    short TopicID;
    unsigned int BeginPacketNo;  // first MIRP packet number wanted
    unsigned int EndPacketNo;    // one past the last one wanted

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.TopicID)(r.BeginPacketNo)(r.EndPacketNo);
    }
};

class MDQP_TopicSnapTag : public MdqpRecord<MDQP_TopicSnapTag, 0x1001, 6> {
public:
    short TopicID;
    int SnapNo;  // -1 in a request (the latest); the snapshot's number in a response

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.TopicID)(r.SnapNo);
    }
};

class MDQP_TopicSnapTime : public MdqpRecord<MDQP_TopicSnapTime, 0x1002, 22> {
public:
    char SnapDate[9];  // "%Y%m%d"
    char SnapTime[9];  // "%H:%M:%S"
    int SnapMillisec;

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.SnapDate)(r.SnapTime)(r.SnapMillisec);
    }
};

class MDQP_TopicAttribute : public MdqpRecord<MDQP_TopicAttribute, 0x1003, 37> {
public:
    int MarketDataDepth;  // price levels per side
    char CipherType;      // MIRP cipher type, '0' = plain
    unsigned char CipherParam1[16];
    unsigned char CipherParam2[16];

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.MarketDataDepth)(r.CipherType)(r.CipherParam1)(r.CipherParam2);
    }
};

// The MIRP packet number with which a snapshot is consistent.
class MDQP_MirpPakcetNo : public MdqpRecord<MDQP_MirpPakcetNo, 0x1004, 4> {
public:
    int PacketNo;

    template <class R, class V>
    static void fields(R& r, V& v)
    {
        v(r.PacketNo);
    }
};

}  // namespace KORV
}  // namespace BRAX
