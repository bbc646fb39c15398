// Internal: the address of an endpoint of one protocol, and storage for any key.
//
// A key is a plain byte block: a header of protocol id and total length,
// then the protocol's own address fields. Keys are copied and compared as
// bytes, so concrete keys hold no pointers and have no virtual functions.
#pragma once

#include <cstring>

#include "velta/source/base/Fatal.h"

// Protocol ids, one per kind of key.
constexpr unsigned PROTOCOL_ID_STACK = 128;
constexpr unsigned PROTOCOL_ID_TCP = 257;
constexpr unsigned PROTOCOL_ID_UDPG = 259;

class ProtocolKey {
public:
    ProtocolKey(unsigned protocol_id, int key_length)
        : m_protocol_id(protocol_id), m_key_length(key_length)
    {
    }

    unsigned protocol_id() const { return m_protocol_id; }
    // Bytes of the whole key, header included.
    int key_length() const { return m_key_length; }

    unsigned m_protocol_id;
    int m_key_length;
};

// Room for the largest key in use (a stack key).
constexpr int PROTOCOL_KEY_MAX_LENGTH = 176;

class ProtocolKeyBuffer : public ProtocolKey {
public:
    // An empty buffer that asks for a key of the given protocol.
    explicit ProtocolKeyBuffer(unsigned protocol_id) : ProtocolKey(protocol_id, sizeof(ProtocolKey))
    {
    }
    explicit ProtocolKeyBuffer(const ProtocolKey& key) : ProtocolKey(key.m_protocol_id, 0)
    {
        assign(key);
    }

    void assign(const ProtocolKey& key)
    {
        VELTA_ASSERT(key.m_key_length >= static_cast<int>(sizeof(ProtocolKey)) &&
                     key.m_key_length <= PROTOCOL_KEY_MAX_LENGTH);
        m_protocol_id = key.m_protocol_id;
        m_key_length = key.m_key_length;
        memcpy(m_data, reinterpret_cast<const char*>(&key) + sizeof(ProtocolKey),
               key.m_key_length - sizeof(ProtocolKey));
    }

    // The held key as its concrete type; the caller has checked protocol_id().
    template <class KeyType>
    const KeyType& as() const
    {
        return *reinterpret_cast<const KeyType*>(this);
    }

private:
    alignas(8) char m_data[PROTOCOL_KEY_MAX_LENGTH - sizeof(ProtocolKey)];
};
