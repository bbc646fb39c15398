// Internal to the replay component: the records of a capture file, one at a
// time, in file order: the classic format (microsecond and nanosecond
// magic, either byte order) and the block format (every section, every
// interface with its own link type and time resolution).
//
// A file that ends inside its last record or block (a capture that was
// killed while writing) is read up to its last whole one and then ends;
// is_truncated() says so. A length field that cannot be true anywhere else
// makes the file damaged: reading stops with EC_FORMAT.
//
// The comments of a block-format section header (the capture tool writes
// its facts there as "korv.key=value") and the interfaces' names are kept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct CaptureRecord {
    int64_t time_ns = 0;
    int link_type = 0;
    int interface = 0;              // index among every interface of the file
    const uint8_t* data = nullptr;  // valid until the next call
    size_t length = 0;
};

class CaptureFileReader {
public:
    struct Interface {
        int link_type = 0;
        std::string name;
        // Kernel drops the capture counted on it, or -1 when unknown.
        int64_t drops = -1;
    };

    CaptureFileReader() = default;
    ~CaptureFileReader();
    CaptureFileReader(const CaptureFileReader&) = delete;
    CaptureFileReader& operator=(const CaptureFileReader&) = delete;

    // 0, or EC_READ when the file cannot be opened or is no capture file
    // (get_error() says why).
    int open(const std::string& path);
    // 1 with the next packet record, 0 at the end (or at a cut last
    // record), EC_FORMAT for a damaged file (get_error()).
    int next(CaptureRecord& out);

    const std::string& get_error() const { return m_error; }
    bool is_truncated() const { return m_truncated; }
    const std::vector<std::string>& get_comments() const { return m_comments; }
    const std::string& get_application() const { return m_application; }
    const std::vector<Interface>& get_interfaces() const { return m_interfaces; }
    long get_position() const { return m_position; }
    long get_size() const { return m_size; }

private:
    struct SectionInterface {
        int index;
        int64_t units_per_second;
    };

    // Exactly length bytes into m_block: 1, 0 at the end of the file (none
    // read), -1 when the file ends part way (m_truncated set).
    int read_exact(size_t length, size_t at = 0);
    int next_classic(CaptureRecord& out);
    int next_block(CaptureRecord& out);
    int read_section_header(uint32_t block_length);
    void read_interface(const uint8_t* body, size_t length);
    void read_statistics(const uint8_t* body, size_t length);
    int damaged(const std::string& why);
    uint16_t u16(const uint8_t* p) const;
    uint32_t u32(const uint8_t* p) const;

    FILE* m_file = nullptr;
    std::string m_name;
    std::string m_error;
    std::vector<uint8_t> m_block;
    bool m_classic = false;
    bool m_swapped = false;
    bool m_truncated = false;
    // Classic format.
    int m_link_type = 0;
    int64_t m_fraction_ns = 1000;
    // Block format: the current section's interfaces.
    std::vector<SectionInterface> m_section;
    std::vector<Interface> m_interfaces;
    std::vector<std::string> m_comments;
    std::string m_application;
    long m_position = 0;
    long m_size = 0;
};
