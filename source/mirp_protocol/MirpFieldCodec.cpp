#include "source/mirp_protocol/MirpFieldCodec.h"

#include "velta/source/base/Code.h"

using namespace VELTA::CODE;

namespace KORV {

namespace {

// Size checked up front against the codec's bound, so no element checks.
class ElementWriter {
public:
    explicit ElementWriter(void* out) : m_out(static_cast<unsigned char*>(out)), m_used(0) {}

    template <typename T>
    void next(int (*encode)(unsigned char*, T), T value)
    {
        m_used += encode(m_out + m_used, value);
    }

    int result() const { return m_used; }

private:
    unsigned char* m_out;
    int m_used;
};

template <typename CODEC>
bool refuses(int size)
{
    return static_cast<unsigned>(size) <
           static_cast<unsigned>(mirp_field_bound(sizeof(typename CODEC::Record)));
}

}  // namespace

template <typename CODEC>
int MirpCodecDecode<CODEC>::field_decode(const void* in, int size, void* record)
{
    return MIRP_DETAIL::decode_content<CODEC>(in, size, size,
                                              *static_cast<typename CODEC::Record*>(record));
}

template struct MirpCodecDecode<CODEC_InstrumentEventHeader>;
template struct MirpCodecDecode<CODEC_MDEntryEvent>;
template struct MirpCodecDecode<CODEC_TradeSlice>;
template struct MirpCodecDecode<CODEC_PriceOffset>;
template struct MirpCodecDecode<CODEC_Ratio>;

// The bounds must hold the longest content each codec writes.
template <typename CODEC>
constexpr bool bound_holds()
{
    return mirp_field_bound(sizeof(typename CODEC::Record)) >= CODEC::MAX_CONTENT;
}
static_assert(bound_holds<CODEC_InstrumentEventHeader>(), "bound");
static_assert(bound_holds<CODEC_MDEntryEvent>(), "bound");
static_assert(bound_holds<CODEC_TradeSlice>(), "bound");
static_assert(bound_holds<CODEC_PriceOffset>(), "bound");
static_assert(bound_holds<CODEC_Ratio>(), "bound");

int CODEC_InstrumentEventHeader::field_encode(void* out, int size, const void* record)
{
    if (refuses<CODEC_InstrumentEventHeader>(size))
        return EC_INSUF_BUFFER;
    const Record* r = static_cast<const Record*>(record);
    ElementWriter w(out);
    w.next(var_int32_encode, r->InstrumentNo);
    w.next(var_int32_encode, r->HeaderAttr1);
    return w.result();
}

int CODEC_MDEntryEvent::field_encode(void* out, int size, const void* record)
{
    if (refuses<CODEC_MDEntryEvent>(size))
        return EC_INSUF_BUFFER;
    const Record* r = static_cast<const Record*>(record);
    ElementWriter w(out);
    w.next(literal_encode<char>, r->EventType);
    w.next(literal_encode<char>, r->EntryType);
    w.next(var_int32_encode, r->PriceLevel);
    w.next(var_int32_encode, r->PriceOffset);
    w.next(var_int32_encode, r->Volume);
    w.next(var_int32_encode, r->EventAttr1);
    return w.result();
}

int CODEC_TradeSlice::field_encode(void* out, int size, const void* record)
{
    if (refuses<CODEC_TradeSlice>(size))
        return EC_INSUF_BUFFER;
    const Record* r = static_cast<const Record*>(record);
    ElementWriter w(out);
    w.next(var_int32_encode, r->LastPriceOffset);
    w.next(var_int32_encode, r->Volume);
    w.next(var_int64_encode, r->TurnoverOffset);
    w.next(var_int64_encode, r->OpenInterestChange);
    return w.result();
}

int CODEC_PriceOffset::field_encode(void* out, int size, const void* record)
{
    if (refuses<CODEC_PriceOffset>(size))
        return EC_INSUF_BUFFER;
    // The daily price records are standard-layout with PriceOffset as their
    // only member, so a pointer to any of them is a pointer to it.
    const int32_t* offset = static_cast<const int32_t*>(record);
    ElementWriter w(out);
    w.next(var_int32_encode, *offset);
    return w.result();
}

int CODEC_Ratio::field_encode(void* out, int size, const void* record)
{
    if (refuses<CODEC_Ratio>(size))
        return EC_INSUF_BUFFER;
    const Record* r = static_cast<const Record*>(record);
    ElementWriter w(out);
    w.next(literal_encode<double>, r->Delta);
    return w.result();
}

}  // namespace KORV
