// Internal: the logger of silent slots; it discards every line.
#pragma once

#include "velta/source/base/Logger.h"

class NullLogger : public Logger {
public:
    constexpr NullLogger() = default;
    void output(const char*) override {}
    static NullLogger m_instance;
};
