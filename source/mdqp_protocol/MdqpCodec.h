// Internal: the packed little-endian wire form of the MDQP field records.
//
// A record lists its fields once, in wire order, in a static fields(record,
// visitor) template; MdqpEncoder writes them and MdqpDecoder reads them, so
// the two directions cannot drift apart. On the wire every field follows the
// previous one without padding, integers and doubles are little-endian
// whatever the host, and a text field of width n carries at most n-1
// characters and a NUL.
//
// Bodies come from the network: the decoder takes a field only when the
// bytes left hold it whole, stops at the first one that does not fit and
// leaves the rest of the record as it was. A decoded text field is always
// NUL-terminated, so later string copies of it cannot run past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace BRAX {
namespace KORV {

class MdqpDecoder {
public:
    MdqpDecoder(const char* data, int size) : m_data(data), m_size(size > 0 ? size : 0) {}

    MdqpDecoder& operator()(char& value) { return scalar<uint8_t>(value); }
    MdqpDecoder& operator()(short& value) { return scalar<uint16_t>(value); }
    MdqpDecoder& operator()(int& value) { return scalar<uint32_t>(value); }
    MdqpDecoder& operator()(unsigned int& value) { return scalar<uint32_t>(value); }
    MdqpDecoder& operator()(double& value) { return scalar<uint64_t>(value); }

    template <size_t N>
    MdqpDecoder& operator()(char (&text)[N])
    {
        if (const char* p = take(N)) {
            memcpy(text, p, N);
            text[N - 1] = '\0';
        }
        return *this;
    }

    template <size_t N>
    MdqpDecoder& operator()(unsigned char (&raw)[N])
    {
        if (const char* p = take(N))
            memcpy(raw, p, N);
        return *this;
    }

    // Bytes that carry nothing for this client.
    MdqpDecoder& zeros(int n)
    {
        take(n);
        return *this;
    }

    int consumed() const { return m_used; }

private:
    // The next n bytes, or null (and no further fields) when they do not fit.
    const char* take(int n)
    {
        if (m_stopped || m_size - m_used < n) {
            m_stopped = true;
            return nullptr;
        }
        const char* p = m_data + m_used;
        m_used += n;
        return p;
    }

    template <class Bits, class T>
    MdqpDecoder& scalar(T& value)
    {
        static_assert(sizeof(Bits) == sizeof(T), "wire width is the field's width");
        if (const char* p = take(sizeof(Bits))) {
            Bits bits = 0;
            for (size_t i = 0; i < sizeof(Bits); ++i)
                bits |= static_cast<Bits>(static_cast<unsigned char>(p[i])) << (8 * i);
            memcpy(&value, &bits, sizeof value);
        }
        return *this;
    }

    const char* m_data;
    int m_size;
    int m_used = 0;
    bool m_stopped = false;
};

class MdqpEncoder {
public:
    explicit MdqpEncoder(char* out) : m_out(out) {}

    MdqpEncoder& operator()(const char& value) { return scalar<uint8_t>(value); }
    MdqpEncoder& operator()(const short& value) { return scalar<uint16_t>(value); }
    MdqpEncoder& operator()(const int& value) { return scalar<uint32_t>(value); }
    MdqpEncoder& operator()(const unsigned int& value) { return scalar<uint32_t>(value); }
    MdqpEncoder& operator()(const double& value) { return scalar<uint64_t>(value); }

    template <size_t N>
    MdqpEncoder& operator()(const char (&text)[N])
    {
        size_t length = strnlen(text, N - 1);
        if (length > 0)
            memcpy(m_out + m_used, text, length);
        memset(m_out + m_used + length, 0, N - length);
        m_used += static_cast<int>(N);
        return *this;
    }

    template <size_t N>
    MdqpEncoder& operator()(const unsigned char (&raw)[N])
    {
        memcpy(m_out + m_used, raw, N);
        m_used += static_cast<int>(N);
        return *this;
    }

    MdqpEncoder& zeros(int n)
    {
        memset(m_out + m_used, 0, static_cast<size_t>(n));
        m_used += n;
        return *this;
    }

    int written() const { return m_used; }

private:
    template <class Bits, class T>
    MdqpEncoder& scalar(const T& value)
    {
        static_assert(sizeof(Bits) == sizeof(T), "wire width is the field's width");
        Bits bits;
        memcpy(&bits, &value, sizeof bits);
        for (size_t i = 0; i < sizeof(Bits); ++i)
            m_out[m_used + static_cast<int>(i)] = static_cast<char>((bits >> (8 * i)) & 0xff);
        m_used += static_cast<int>(sizeof(Bits));
        return *this;
    }

    char* m_out;
    int m_used = 0;
};

// Copies at most N-1 characters of text into a fixed-width text field and
// NUL-pads the rest.
template <size_t N>
void copy_text(char (&field)[N], const char* text)
{
    size_t length = text != nullptr ? strnlen(text, N - 1) : 0;
    if (length > 0)
        memcpy(field, text, length);
    memset(field + length, 0, N - length);
}

// Base of the field records: the field id, the wire size, and both
// directions of the codec over the record's fields() list. Empty, so the
// record's own fields start at offset 0 with their natural alignment.
template <class Record, unsigned short Id, int Size>
class MdqpRecord {
public:
    static constexpr unsigned short field_id() { return Id; }
    static constexpr int stream_size() { return Size; }

    // Writes the packed wire form (stream_size() bytes) and returns its size.
    int to_stream(char* out) const
    {
        MdqpEncoder encoder(out);
        Record::fields(static_cast<const Record&>(*this), encoder);
        return encoder.written();
    }

    // Fills the leading fields that size bytes hold whole; returns the bytes
    // consumed. Bytes beyond the wire size are ignored.
    int from_stream(const char* data, int size)
    {
        MdqpDecoder decoder(data, size);
        Record::fields(static_cast<Record&>(*this), decoder);
        return decoder.consumed();
    }
};

}  // namespace KORV
}  // namespace BRAX
