#include "source/korv_capture/PcapngWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "source/korv_capture/CaptureText.h"
#include "velta/source/base/ErrorCode.h"

namespace {

constexpr uint32_t BLOCK_SECTION_HEADER = 0x0A0D0D0A;
constexpr uint32_t BLOCK_INTERFACE = 1;
constexpr uint32_t BLOCK_STATISTICS = 5;
constexpr uint32_t BLOCK_ENHANCED_PACKET = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;

constexpr uint16_t OPT_END = 0;
constexpr uint16_t OPT_COMMENT = 1;
constexpr uint16_t SHB_USERAPPL = 4;
constexpr uint16_t IF_NAME = 2;
constexpr uint16_t IF_TSRESOL = 9;
constexpr uint16_t ISB_IFDROP = 5;

constexpr uint16_t LINKTYPE_IPV4 = 228;
constexpr uint32_t SNAPLEN = 262144;

const char* const APPLICATION = "korv_md_capture";

}  // namespace

PcapngWriter::~PcapngWriter()
{
    close();
}

int PcapngWriter::open(const std::string& path)
{
    close();
    m_path = path;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_error = capture_text::format(capture_text::FILE_FAILED, path.c_str(), strerror(errno));
        return EC_WRITE;
    }
    m_started = false;
    m_bytes = 0;
    m_held.clear();
    m_held_bytes = 0;
    return EC_NONE;
}

int PcapngWriter::start_section(const std::vector<std::string>& comments,
                                const std::vector<std::string>& interfaces)
{
    begin_block(BLOCK_SECTION_HEADER);
    put_u32(BYTE_ORDER_MAGIC);
    put_u16(1);  // version 1.0
    put_u16(0);
    put_u32(0xffffffff);  // section length unknown
    put_u32(0xffffffff);
    put_option(SHB_USERAPPL, APPLICATION, strlen(APPLICATION));
    for (const std::string& comment : comments)
        put_option(OPT_COMMENT, comment.data(), comment.size());
    int result = end_block();
    for (const std::string& name : interfaces) {
        begin_block(BLOCK_INTERFACE);
        put_u16(LINKTYPE_IPV4);
        put_u16(0);
        put_u32(SNAPLEN);
        put_option(IF_NAME, name.data(), name.size());
        const uint8_t nanoseconds = 9;
        put_option(IF_TSRESOL, &nanoseconds, 1);
        if (result == EC_NONE)
            result = end_block();
    }
    m_started = true;
    for (const Held& held : m_held)
        if (held.interface_id < interfaces.size() && result == EC_NONE)
            result = write_out(held.block);
    m_held.clear();
    m_held_bytes = 0;
    return result;
}

int PcapngWriter::write_packet(uint32_t interface_id, int64_t time_ns, const uint8_t* data,
                               size_t length)
{
    begin_block(BLOCK_ENHANCED_PACKET);
    put_u32(interface_id);
    put_time(time_ns);
    put_u32(uint32_t(length));
    put_u32(uint32_t(length));
    m_block.insert(m_block.end(), data, data + length);
    m_block.resize((m_block.size() + 3) & ~size_t(3), 0);
    if (!m_started) {
        finish_block();
        m_held_bytes += m_block.size();
        m_held.push_back(Held{interface_id, m_block});
        return EC_NONE;
    }
    return end_block();
}

int PcapngWriter::write_statistics(uint32_t interface_id, int64_t time_ns, const uint64_t* drops,
                                   const std::string& comment)
{
    begin_block(BLOCK_STATISTICS);
    put_u32(interface_id);
    put_time(time_ns);
    if (!comment.empty())
        put_option(OPT_COMMENT, comment.data(), comment.size());
    if (drops != nullptr)
        put_option(ISB_IFDROP, drops, sizeof *drops);
    return end_block();
}

int PcapngWriter::close()
{
    int result = EC_NONE;
    if (m_fd >= 0) {
        if (!m_held.empty()) {
            m_error = capture_text::format(capture_text::NEVER_STARTED, m_path.c_str());
            result = EC_WRITE;
        }
        ::close(m_fd);
    }
    m_fd = -1;
    m_held.clear();
    m_held_bytes = 0;
    return result;
}

void PcapngWriter::begin_block(uint32_t type)
{
    m_block.clear();
    m_has_options = false;
    put_u32(type);
    put_u32(0);  // total length, set when the block ends
}

void PcapngWriter::put_u16(uint16_t value)
{
    m_block.push_back(uint8_t(value));
    m_block.push_back(uint8_t(value >> 8));
}

void PcapngWriter::put_u32(uint32_t value)
{
    put_u16(uint16_t(value));
    put_u16(uint16_t(value >> 16));
}

void PcapngWriter::put_option(uint16_t code, const void* data, size_t length)
{
    m_has_options = true;
    put_u16(code);
    put_u16(uint16_t(length));
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    m_block.insert(m_block.end(), bytes, bytes + length);
    m_block.resize((m_block.size() + 3) & ~size_t(3), 0);
}

void PcapngWriter::put_time(int64_t time_ns)
{
    uint64_t ticks = uint64_t(time_ns);
    put_u32(uint32_t(ticks >> 32));
    put_u32(uint32_t(ticks));
}

void PcapngWriter::finish_block()
{
    if (m_has_options) {
        put_u16(OPT_END);
        put_u16(0);
    }
    uint32_t total = uint32_t(m_block.size() + 4);
    put_u32(total);
    for (int i = 0; i < 4; ++i)
        m_block[size_t(4 + i)] = uint8_t(total >> (8 * i));
}

int PcapngWriter::end_block()
{
    finish_block();
    return write_out(m_block);
}

int PcapngWriter::write_out(const std::vector<uint8_t>& block)
{
    if (m_fd < 0) {
        m_error = capture_text::NO_FILE;
        return EC_WRITE;
    }
    ssize_t written;
    do
        written = ::write(m_fd, block.data(), block.size());
    while (written < 0 && errno == EINTR);
    if (written != ssize_t(block.size())) {
        m_error = capture_text::format(capture_text::FILE_FAILED, m_path.c_str(),
                                       written < 0 ? strerror(errno) : capture_text::SHORT_WRITE);
        return EC_WRITE;
    }
    m_bytes += block.size();
    return EC_NONE;
}
