// Internal: a key/value configuration store and the reader of INI-style
// files of "key=value" lines.
//
// The store copies every key and value it is given into its own byte store
// and keeps them for its life: replacing a value leaves the old text in
// place, so a store rewritten many times grows accordingly. One thread.
#pragma once

#include <cstring>
#include <initializer_list>
#include <map>
#include <utility>

#include "velta/source/base/CacheList.h"
#include "velta/source/utility/ConfigItem.h"

class Config {
public:
    // What lookups of absent keys return: no key, no value.
    static const ConfigItem NULL_ITEM;
    static constexpr int NODE_SIZE = 32768;

    Config();
    // Stores the pairs in list order.
    Config(std::initializer_list<std::pair<const char*, const char*>> items);
    virtual ~Config() = default;
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    virtual const ConfigItem& get_item(const char* key) const;
    const ConfigItem& operator[](const char* key) const { return get_item(key); }

    void set_item(const char* key, const char* value);
    // Stores the decimal text of the value.
    void set_item(const char* key, int value);

private:
    struct KeyLess {
        bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
    };

    const char* copy(const char* text);

    CacheList m_store;
    // Keyed by the item's own key copy.
    std::map<const char*, ConfigItem, KeyLess> m_items;
};

// Reads key=value lines into the store; lines starting with "#" are
// comments, a later line replaces an earlier value of the same key. Returns
// 0, or EC_FORMAT with the "EnvError" event when the file cannot be opened.
int parse_ini_file(const char* path, Config& config);
