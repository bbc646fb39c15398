// Internal: a non-owning view of bytes that somebody else owns.
//
// Every codec and transport passes bytes as a Packet and reads it by popping
// one header after another off its front. No operation checks bounds: the
// view cannot know how far the memory behind it reaches, so callers check
// length() before they pop.
#pragma once

class Packet {
public:
    Packet() : m_data(nullptr), m_length(0) {}
    // A negative length is sign-extended, as a byte count taken from a
    // signed source; callers pass lengths they have checked.
    Packet(const char* data, int length)
        : m_data(const_cast<char*>(data)), m_length(static_cast<unsigned long>(long(length)))
    {
    }

    char* data() const { return m_data; }
    unsigned long length() const { return m_length; }

    void attach(const Packet* other)
    {
        m_data = other->m_data;
        m_length = other->m_length;
    }
    void attach(const char* data, unsigned long length)
    {
        m_data = const_cast<char*>(data);
        m_length = length;
    }

    // Drops n bytes at the front.
    void pop(unsigned long n)
    {
        m_data += n;
        m_length -= n;
    }
    void set_length(unsigned long n) { m_length = n; }

protected:
    char* m_data;
    unsigned long m_length;
};
