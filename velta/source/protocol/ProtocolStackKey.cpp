#include "velta/source/protocol/ProtocolStackKey.h"

#include <cerrno>
#include <cstddef>

#include "velta/source/protocol/ProtocolStack.h"

// The layout is part of the key's byte form; check it where offsetof is
// allowed to look inside (the class is not standard layout).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
ProtocolStackKey::ProtocolStackKey()
    : ProtocolKey(PROTOCOL_ID_STACK, KEY_LENGTH), m_offsets{}, m_key_count(0), m_data{}, m_used(0)
{
    static_assert(offsetof(ProtocolStackKey, m_offsets) == 8, "offsets follow the header");
    static_assert(offsetof(ProtocolStackKey, m_data) == 40, "data area at byte 40");
    static_assert(offsetof(ProtocolStackKey, m_used) + 4 == KEY_LENGTH, "key ends after used count");
}
#pragma GCC diagnostic pop

int ProtocolStackKey::push(const ProtocolKey& key)
{
    if (m_key_count >= MAX_KEYS)
        return -ENXIO;
    int length = key.key_length();
    if (length < static_cast<int>(sizeof(ProtocolKey)) ||
        static_cast<unsigned>(length) >= DATA_SIZE - m_used)
        return -ENXIO;
    m_offsets[m_key_count] = m_used;
    memcpy(m_data + m_used, &key, length);
    m_used += (static_cast<unsigned>(length) + 7) & ~7u;
    ++m_key_count;
    return 0;
}

const ProtocolKey* ProtocolStackKey::get_key(int i) const
{
    if (i < 0 || i >= m_key_count)
        return nullptr;
    return reinterpret_cast<const ProtocolKey*>(m_data + m_offsets[i]);
}

int ProtocolStackKey::push_server(const char* location)
{
    return ProtocolLocation::dispatch_server(ProtocolLocation::instance(), *this, location);
}

int ProtocolStackKey::push_client(const char* location)
{
    return ProtocolLocation::dispatch_client(ProtocolLocation::instance(), *this, location);
}
