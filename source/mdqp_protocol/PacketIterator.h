// Internal: walks a list of fields, each a Header followed by its body.
//
// The current field is a byte range over its body; a range without data is
// the end. A field whose header is cut short or whose size overruns the list
// ends the walk: the fields before it have been delivered, nothing past the
// list is read.
#pragma once

#include "velta/source/base/Packet.h"

template <class Header>
class PacketIterator {
public:
    PacketIterator(const char* data, int length)
        : m_end(data != nullptr && length > 0 ? data + length : data), m_cursor(data)
    {
        next();
    }

    void next()
    {
        Packet rest(m_cursor, static_cast<int>(m_end - m_cursor));
        if (m_cursor == nullptr || m_header.from_stream(&rest) != 0) {
            m_field = Packet();
            m_cursor = m_end;
            return;
        }
        m_field = rest;
        m_cursor = rest.data() + rest.length();
    }

    bool is_end() const { return m_field.data() == nullptr; }
    const Header& header() const { return m_header; }
    // Bytes from the cursor (the next field header) to the end of the list.
    int data_remain() const { return static_cast<int>(m_end - m_cursor); }

protected:
    Packet m_field;
    Header m_header{};
    const char* m_end;
    const char* m_cursor;
};
