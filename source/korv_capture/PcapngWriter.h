// Internal to the capture: writes a pcapng file (little-endian) of raw IPv4
// packets with nanosecond timestamps, one interface per source of packets.
//
// A section's header names facts about the whole file (its comments) that
// are known only a little after the first packets arrive, so the writer
// holds packets in memory from open() until start_section(): the header,
// the interfaces and then the held packets go out in arrival order.
//
// Every block goes to the file with one write() of its own, straight to the
// kernel, so a process killed at any moment leaves a file that reads up to
// its last whole block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PcapngWriter {
public:
    PcapngWriter() = default;
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    // Creates (or empties) the file: 0, or EC_WRITE (get_error() says why).
    int open(const std::string& path);
    // The section header with the application's name and one comment per
    // text, one interface per name (ids in that order), then the packets
    // held so far whose interface is among them; 0 or EC_WRITE.
    int start_section(const std::vector<std::string>& comments,
                      const std::vector<std::string>& interfaces);
    // One packet of the interface received at time_ns (nanoseconds since the
    // epoch): 0 or EC_WRITE.
    int write_packet(uint32_t interface_id, int64_t time_ns, const uint8_t* data, size_t length);
    // The interface's statistics at time_ns, with the count of packets the
    // kernel dropped when known (drops null when not) and a comment (none
    // when empty): 0 or EC_WRITE.
    int write_statistics(uint32_t interface_id, int64_t time_ns, const uint64_t* drops,
                         const std::string& comment);
    // Closes the file: 0, or EC_WRITE when held packets could not go out
    // because no section was started.
    int close();

    bool is_started() const { return m_started; }
    // Bytes in the file so far, and held for it.
    uint64_t get_bytes() const { return m_bytes; }
    uint64_t get_held_bytes() const { return m_held_bytes; }
    const std::string& get_error() const { return m_error; }

private:
    struct Held {
        uint32_t interface_id;
        std::vector<uint8_t> block;
    };

    void begin_block(uint32_t type);
    void put_u16(uint16_t value);
    void put_u32(uint32_t value);
    void put_option(uint16_t code, const void* data, size_t length);
    void put_time(int64_t time_ns);
    // Ends the options and sets the block's length at both ends.
    void finish_block();
    int end_block();
    int write_out(const std::vector<uint8_t>& block);

    int m_fd = -1;
    bool m_started = false;
    bool m_has_options = false;
    uint64_t m_bytes = 0;
    uint64_t m_held_bytes = 0;
    std::vector<uint8_t> m_block;
    std::vector<Held> m_held;
    std::string m_path;
    std::string m_error;
};
