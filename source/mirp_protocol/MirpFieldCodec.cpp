#include "source/mirp_protocol/MirpFieldCodec.h"

#include "velta/source/base/Code.h"

using namespace VELTA::CODE;

namespace KORV {

namespace {

// Decodes elements back to back; after the first error the rest are skipped
// and the error is the result.
class ElementReader {
public:
    ElementReader(const void* in, int size)
        : m_in(static_cast<const unsigned char*>(in)), m_size(size), m_used(0), m_error(0)
    {
    }

    template <typename T>
    void next(int (*decode)(const unsigned char*, int, T&), T& value)
    {
        if (m_error != 0)
            return;
        int n = decode(m_in + m_used, m_size - m_used, value);
        if (n < 0)
            m_error = n;
        else
            m_used += n;
    }

    int result() const { return m_error != 0 ? m_error : m_used; }

private:
    const unsigned char* m_in;
    int m_size;
    int m_used;
    int m_error;
};

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

// The bounds must hold the longest content each codec writes.
static_assert(mirp_field_bound(sizeof(CODEC_InstrumentEventHeader::Record)) >= 10, "bound");
static_assert(mirp_field_bound(sizeof(CODEC_MDEntryEvent::Record)) >= 22, "bound");
static_assert(mirp_field_bound(sizeof(CODEC_TradeSlice::Record)) >= 30, "bound");
static_assert(mirp_field_bound(sizeof(CODEC_PriceOffset::Record)) >= 5, "bound");
static_assert(mirp_field_bound(sizeof(CODEC_Ratio::Record)) >= 8, "bound");

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

int CODEC_InstrumentEventHeader::field_decode(const void* in, int size, void* record)
{
    Record* r = static_cast<Record*>(record);
    ElementReader rd(in, size);
    rd.next(var_int32_decode, r->InstrumentNo);
    rd.next(var_int32_decode, r->HeaderAttr1);
    return rd.result();
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

int CODEC_MDEntryEvent::field_decode(const void* in, int size, void* record)
{
    Record* r = static_cast<Record*>(record);
    ElementReader rd(in, size);
    rd.next(literal_decode<char>, r->EventType);
    rd.next(literal_decode<char>, r->EntryType);
    rd.next(var_int32_decode, r->PriceLevel);
    rd.next(var_int32_decode, r->PriceOffset);
    rd.next(var_int32_decode, r->Volume);
    rd.next(var_int32_decode, r->EventAttr1);
    return rd.result();
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

int CODEC_TradeSlice::field_decode(const void* in, int size, void* record)
{
    Record* r = static_cast<Record*>(record);
    ElementReader rd(in, size);
    rd.next(var_int32_decode, r->LastPriceOffset);
    rd.next(var_int32_decode, r->Volume);
    rd.next(var_int64_decode, r->TurnoverOffset);
    rd.next(var_int64_decode, r->OpenInterestChange);
    return rd.result();
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

int CODEC_PriceOffset::field_decode(const void* in, int size, void* record)
{
    int32_t* offset = static_cast<int32_t*>(record);
    ElementReader rd(in, size);
    rd.next(var_int32_decode, *offset);
    return rd.result();
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

int CODEC_Ratio::field_decode(const void* in, int size, void* record)
{
    Record* r = static_cast<Record*>(record);
    ElementReader rd(in, size);
    rd.next(literal_decode<double>, r->Delta);
    return rd.result();
}

}  // namespace KORV
