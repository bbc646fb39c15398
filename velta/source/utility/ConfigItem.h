// Internal: one key/value pair of a Config; both texts belong to the store.
#pragma once

#include <cstdlib>

class ConfigItem {
public:
    const char* as_string() const { return m_value; }
    // A missing item (no value text) reads as 0.
    int as_int() const { return m_value == nullptr ? 0 : atoi(m_value); }

    const char* m_key;
    const char* m_value;
};
