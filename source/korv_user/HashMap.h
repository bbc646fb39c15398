// Internal: a chained hash table whose nodes come from a pool that never
// shrinks, so inserting after warm-up does not allocate and node addresses
// stay stable.
//
// Insert does not look for an equal key: a second insert of the same key
// links a new node ahead of the first, and find() then sees the newer one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

namespace KORV {
namespace USER {

// String hash over the characters of s, sign-extended, mixed with a growing
// position term. It is kept bit for bit as deployed (its 64-bit rotation of a
// value that may exceed 32 bits and its unmasked result included) because the
// bucket layout, and anything compared across builds, depends on it.
uint64_t hash_string(uint64_t seed, const char* s);

struct HashString {
    uint64_t operator()(const char* s) const { return hash_string(0, s); }
};

struct CompString {
    bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) == 0; }
};

template <class Key, class Value>
struct HashNode {
    Key key;
    Value value;
    HashNode* next;  // next in the bucket, or in the free list
};

// Bucket counts: the first entry not below the requested size is used.
extern const uint32_t g_hash_primes[28];

template <class Key, class Value, class Hash, class Equal>
class HashMap {
public:
    typedef HashNode<Key, Value> Node;

    explicit HashMap(uint32_t size) : m_free(nullptr), m_bucket_count(bucket_count_for(size))
    {
        m_buckets.resize(m_bucket_count);
        clear();
    }
    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;
    virtual ~HashMap() = default;

    void clear()
    {
        std::fill(m_buckets.begin(), m_buckets.end(), nullptr);
        m_pool.clear();
        m_free = nullptr;
        m_count = 0;
    }

    // The stored value.
    Value* insert(const Key& key, const Value& value)
    {
        uint32_t pos = get_pos(key);
        Node* node = alloc();
        node->key = key;
        node->value = value;
        node->next = m_buckets[pos];
        m_buckets[pos] = node;
        ++m_count;
        return &node->value;
    }

    // The value of the most recent insert of key, or null.
    Value* find(const Key& key)
    {
        for (Node* node = m_buckets[get_pos(key)]; node != nullptr; node = node->next) {
            if (m_equal(node->key, key))
                return &node->value;
        }
        return nullptr;
    }

    uint32_t bucket_count() const { return m_bucket_count; }
    uint32_t size() const { return m_count; }

private:
    static uint32_t bucket_count_for(uint32_t size)
    {
        for (uint32_t prime : g_hash_primes) {
            if (prime >= size)
                return prime;
        }
        return size;
    }

    uint32_t get_pos(const Key& key) const { return uint32_t(m_hash(key)) % m_bucket_count; }

    Node* alloc()
    {
        if (m_free != nullptr) {
            Node* node = m_free;
            m_free = node->next;
            return node;
        }
        m_pool.emplace_back();
        return &m_pool.back();
    }

    Hash m_hash;
    Equal m_equal;
    std::vector<Node*> m_buckets;
    std::deque<Node> m_pool;
    Node* m_free;
    uint32_t m_bucket_count;
    uint32_t m_count;
};

}  // namespace USER
}  // namespace KORV
