#include "velta/source/utility/Config.h"

#include <cstdio>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"

const ConfigItem Config::NULL_ITEM = {nullptr, nullptr};

Config::Config() : m_store(NODE_SIZE) {}

Config::Config(std::initializer_list<std::pair<const char*, const char*>> items) : Config()
{
    for (const auto& item : items)
        set_item(item.first, item.second);
}

const char* Config::copy(const char* text)
{
    return m_store.push_back(text, static_cast<int>(strlen(text)) + 1);
}

void Config::set_item(const char* key, const char* value)
{
    const char* value_copy = copy(value);
    auto it = m_items.find(key);
    if (it != m_items.end()) {
        it->second.m_value = value_copy;
        return;
    }
    const char* key_copy = copy(key);
    m_items.emplace(key_copy, ConfigItem{key_copy, value_copy});
}

void Config::set_item(const char* key, int value)
{
    char text[16];
    snprintf(text, sizeof(text), "%d", value);
    set_item(key, text);
}

const ConfigItem& Config::get_item(const char* key) const
{
    auto it = m_items.find(key);
    return it == m_items.end() ? NULL_ITEM : it->second;
}

int parse_ini_file(const char* path, Config& config)
{
    FILE* file = mfopen(path, "rt");
    if (file == nullptr) {
        report_event(2, "EnvError", "can not open config file %s", path);
        return EC_FORMAT;
    }
    // A line longer than the buffer arrives in pieces, each read as a line.
    char line[128];
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (line[0] == '#')
            continue;
        char* rest = nullptr;
        const char* key = strtok_r(line, "\r\n=", &rest);
        if (key == nullptr)
            continue;
        // The value runs to the line end, so it may hold "=" itself.
        const char* value = strtok_r(nullptr, "\r\n", &rest);
        config.set_item(key, value == nullptr ? "" : value);
    }
    fclose(file);
    return 0;
}
