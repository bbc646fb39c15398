// Internal: iterates the fields of an MDQP body, optionally only those of
// one id (filter 0 = every field).
//
//   for (FieldIterator it(body, size, 0); !it.is_end(); it.next())
//       switch (it.id()) { case MDQP_TopicInstrument::field_id(): ... }
#pragma once

#include <cstdint>

#include "source/mdqp_protocol/FieldHeaderLe.h"
#include "source/mdqp_protocol/PacketIterator.h"

class FieldIterator : public PacketIterator<FieldHeaderLe> {
public:
    FieldIterator(const char* data, int length, uint16_t filter_id)
        : PacketIterator<FieldHeaderLe>(data, length), m_filter_id(filter_id)
    {
        skip_filtered();
    }

    void next()
    {
        PacketIterator<FieldHeaderLe>::next();
        skip_filtered();
    }

    uint16_t id() const { return m_header.id; }
    int size() const { return static_cast<int>(m_field.length()); }
    const char* data() const { return m_field.data(); }

    // Decodes the current field body into record; returns the bytes consumed.
    template <class T>
    int fetch_field(T& record) const
    {
        return record.from_stream(data(), size());
    }

private:
    void skip_filtered()
    {
        while (m_filter_id != 0 && !is_end() && m_header.id != m_filter_id)
            PacketIterator<FieldHeaderLe>::next();
    }

    uint16_t m_filter_id;
};
