#include "source/korv_replay/CaptureFileReader.h"

#include <sys/stat.h>

#include <cstring>

#include "source/korv_replay/ReplayText.h"
#include "velta/source/base/ErrorCode.h"

namespace {

constexpr uint32_t CLASSIC_MICRO = 0xa1b2c3d4;
constexpr uint32_t CLASSIC_NANO = 0xa1b23c4d;
constexpr uint32_t BLOCK_SECTION = 0x0a0d0d0a;
constexpr uint32_t BLOCK_BYTE_ORDER = 0x1a2b3c4d;
constexpr uint32_t BLOCK_INTERFACE = 1;
constexpr uint32_t BLOCK_OBSOLETE_PACKET = 2;
constexpr uint32_t BLOCK_SIMPLE_PACKET = 3;
constexpr uint32_t BLOCK_STATISTICS = 5;
constexpr uint32_t BLOCK_ENHANCED_PACKET = 6;
constexpr uint16_t OPTION_COMMENT = 1;
constexpr uint16_t OPTION_SECTION_APPLICATION = 4;
constexpr uint16_t OPTION_INTERFACE_NAME = 2;
constexpr uint16_t OPTION_INTERFACE_RESOLUTION = 9;
constexpr uint16_t OPTION_STATISTICS_DROPS = 5;
// No record of a real capture comes near this; a length beyond it is a
// damaged file, not a reason to allocate.
constexpr uint32_t MAX_RECORD = 64u << 20;

uint32_t swap32(uint32_t v)
{
    return __builtin_bswap32(v);
}

uint32_t raw32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

uint32_t pad4(uint32_t n)
{
    return (n + 3) & ~3u;
}

int64_t to_ns(uint64_t ticks, int64_t units_per_second)
{
    if (units_per_second == 1000000000)
        return int64_t(ticks);
    uint64_t units = uint64_t(units_per_second);
    return int64_t(ticks / units * 1000000000ull + ticks % units * 1000000000ull / units);
}

}  // namespace

CaptureFileReader::~CaptureFileReader()
{
    if (m_file != nullptr)
        fclose(m_file);
}

uint16_t CaptureFileReader::u16(const uint8_t* p) const
{
    uint16_t v;
    memcpy(&v, p, 2);
    return m_swapped ? uint16_t(v >> 8 | v << 8) : v;
}

uint32_t CaptureFileReader::u32(const uint8_t* p) const
{
    uint32_t v = raw32(p);
    return m_swapped ? swap32(v) : v;
}

int CaptureFileReader::open(const std::string& path)
{
    if (m_file != nullptr)
        fclose(m_file);
    m_classic = m_swapped = m_truncated = false;
    m_section.clear();
    m_interfaces.clear();
    m_comments.clear();
    m_application.clear();
    m_position = m_size = 0;
    m_name = path;
    m_file = fopen(path.c_str(), "rb");
    if (m_file == nullptr) {
        m_error = replay_text::not_a_capture(path, "cannot open it");
        return EC_READ;
    }
    struct stat info;
    if (fstat(fileno(m_file), &info) == 0)
        m_size = long(info.st_size);
    if (read_exact(4) != 1) {
        m_error = replay_text::not_a_capture(path, "unknown file format");
        return EC_READ;
    }
    uint32_t magic = raw32(m_block.data());
    if (magic == BLOCK_SECTION) {
        // The section header block is read like any other block.
        fseek(m_file, 0, SEEK_SET);
        m_position = 0;
        return EC_NONE;
    }
    m_classic = true;
    if (magic == swap32(CLASSIC_MICRO) || magic == swap32(CLASSIC_NANO)) {
        m_swapped = true;
        magic = swap32(magic);
    }
    if (magic != CLASSIC_MICRO && magic != CLASSIC_NANO) {
        m_error = replay_text::not_a_capture(path, "unknown file format");
        return EC_READ;
    }
    m_fraction_ns = magic == CLASSIC_NANO ? 1 : 1000;
    if (read_exact(20) != 1) {
        m_error = replay_text::not_a_capture(path, "its header is cut short");
        return EC_READ;
    }
    m_link_type = int(u32(m_block.data() + 16) & 0x0fffffff);
    m_interfaces.push_back(Interface{m_link_type, "", -1});
    return EC_NONE;
}

int CaptureFileReader::read_exact(size_t length, size_t at)
{
    if (m_block.size() < at + length)
        m_block.resize(at + length);
    size_t got = fread(m_block.data() + at, 1, length, m_file);
    m_position += long(got);
    if (got == length)
        return 1;
    if (got == 0 && at == 0)
        return 0;
    m_truncated = true;
    return -1;
}

int CaptureFileReader::damaged(const std::string& why)
{
    m_error = replay_text::damaged_capture(m_name, why);
    return EC_FORMAT;
}

int CaptureFileReader::next(CaptureRecord& out)
{
    if (m_file == nullptr)
        return EC_READ;
    return m_classic ? next_classic(out) : next_block(out);
}

int CaptureFileReader::next_classic(CaptureRecord& out)
{
    int got = read_exact(16);
    if (got <= 0)
        return 0;
    uint32_t seconds = u32(m_block.data());
    uint32_t fraction = u32(m_block.data() + 4);
    uint32_t length = u32(m_block.data() + 8);
    if (length > MAX_RECORD)
        return damaged("a record of " + std::to_string(length) + " bytes");
    if (read_exact(length, 16) != 1)
        return 0;
    out.time_ns = int64_t(seconds) * 1000000000 + int64_t(fraction) * m_fraction_ns;
    out.link_type = m_link_type;
    out.interface = 0;
    out.data = m_block.data() + 16;
    out.length = length;
    return 1;
}

int CaptureFileReader::next_block(CaptureRecord& out)
{
    for (;;) {
        int got = read_exact(8);
        if (got <= 0)
            return 0;
        uint32_t type = u32(m_block.data());
        if (type == BLOCK_SECTION) {
            if (read_exact(4, 8) != 1)
                return 0;
            uint32_t order = raw32(m_block.data() + 8);
            if (order != BLOCK_BYTE_ORDER && order != swap32(BLOCK_BYTE_ORDER))
                return damaged("a section header with no byte order");
            m_swapped = order != BLOCK_BYTE_ORDER;
        }
        uint32_t length = u32(m_block.data() + 4);
        size_t have = type == BLOCK_SECTION ? 12 : 8;
        if (length < 12 || length % 4 != 0 || length > MAX_RECORD || length < have + 4)
            return damaged("a block of " + std::to_string(length) + " bytes");
        if (read_exact(length - have, have) != 1)
            return 0;
        if (u32(m_block.data() + length - 4) != length)
            return damaged("a block whose two lengths differ");
        const uint8_t* body = m_block.data() + 8;
        size_t body_length = length - 12;
        if (type == BLOCK_SECTION) {
            if (int result = read_section_header(length); result != EC_NONE)
                return result;
            continue;
        }
        if (type == BLOCK_INTERFACE) {
            read_interface(body, body_length);
            continue;
        }
        if (type == BLOCK_STATISTICS) {
            read_statistics(body, body_length);
            continue;
        }
        uint32_t interface = 0;
        uint64_t ticks = 0;
        uint32_t captured = 0;
        size_t header = 0;
        if (type == BLOCK_ENHANCED_PACKET && body_length >= 20) {
            interface = u32(body);
            ticks = uint64_t(u32(body + 4)) << 32 | u32(body + 8);
            captured = u32(body + 12);
            header = 20;
        } else if (type == BLOCK_OBSOLETE_PACKET && body_length >= 20) {
            interface = u16(body);
            ticks = uint64_t(u32(body + 4)) << 32 | u32(body + 8);
            captured = u32(body + 12);
            header = 20;
        } else if (type == BLOCK_SIMPLE_PACKET && body_length >= 4) {
            captured = uint32_t(body_length - 4);
            uint32_t original = u32(body);
            captured = original < captured ? original : captured;
            header = 4;
        } else {
            continue;  // a block that holds no packet
        }
        if (header + pad4(captured) > body_length)
            return damaged("a packet longer than its block");
        if (interface >= m_section.size())
            return damaged("a packet of interface " + std::to_string(interface) +
                           ", which the section does not describe");
        const SectionInterface& described = m_section[interface];
        out.time_ns = to_ns(ticks, described.units_per_second);
        out.interface = described.index;
        out.link_type = m_interfaces[size_t(described.index)].link_type;
        out.data = body + header;
        out.length = captured;
        return 1;
    }
}

int CaptureFileReader::read_section_header(uint32_t block_length)
{
    m_section.clear();
    // Byte order magic, version, section length: then the options.
    const uint8_t* p = m_block.data() + 24;
    const uint8_t* end = m_block.data() + block_length - 4;
    while (p + 4 <= end) {
        uint16_t code = u16(p);
        uint16_t size = u16(p + 2);
        if (code == 0 || p + 4 + size > end)
            break;
        std::string value(reinterpret_cast<const char*>(p + 4), size);
        if (code == OPTION_COMMENT)
            m_comments.push_back(value);
        else if (code == OPTION_SECTION_APPLICATION)
            m_application = value;
        p += 4 + pad4(size);
    }
    return EC_NONE;
}

void CaptureFileReader::read_interface(const uint8_t* body, size_t length)
{
    if (length < 8)
        return;
    Interface interface;
    interface.link_type = u16(body);
    int64_t units = 1000000;
    const uint8_t* p = body + 8;
    const uint8_t* end = body + length;
    while (p + 4 <= end) {
        uint16_t code = u16(p);
        uint16_t size = u16(p + 2);
        if (code == 0 || p + 4 + size > end)
            break;
        if (code == OPTION_INTERFACE_NAME)
            interface.name.assign(reinterpret_cast<const char*>(p + 4), size);
        if (code == OPTION_INTERFACE_RESOLUTION && size >= 1) {
            uint8_t resolution = p[4];
            int exponent = resolution & 0x7f;
            units = 1;
            for (int i = 0; i < exponent && units < 1000000000000000000LL / 10; ++i)
                units *= (resolution & 0x80) != 0 ? 2 : 10;
        }
        p += 4 + pad4(size);
    }
    m_section.push_back(SectionInterface{int(m_interfaces.size()), units});
    m_interfaces.push_back(interface);
}

void CaptureFileReader::read_statistics(const uint8_t* body, size_t length)
{
    if (length < 12)
        return;
    uint32_t interface = u32(body);
    if (interface >= m_section.size())
        return;
    const uint8_t* p = body + 12;
    const uint8_t* end = body + length;
    while (p + 4 <= end) {
        uint16_t code = u16(p);
        uint16_t size = u16(p + 2);
        if (code == 0 || p + 4 + size > end)
            break;
        if (code == OPTION_STATISTICS_DROPS && size == 8) {
            uint64_t drops = uint64_t(u32(p + 4)) | uint64_t(u32(p + 8)) << 32;
            if (m_swapped)
                drops = uint64_t(u32(p + 4)) << 32 | u32(p + 8);
            m_interfaces[size_t(m_section[interface].index)].drops = int64_t(drops);
        }
        p += 4 + pad4(size);
    }
}
