// Internal to the capture tools: reads the UDP datagrams of a capture file
// (the classic format or the newer block format, through libpcap), one at a
// time, skipping the frames that hold none.
//
// A file that is not a capture, or that ends in the middle of a record,
// is reported with a text that says so; nothing is read past the data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "apps/korv_md_replay/UdpFrame.h"

typedef struct pcap pcap_t;

class PcapDatagramReader {
public:
    PcapDatagramReader() = default;
    ~PcapDatagramReader();
    PcapDatagramReader(const PcapDatagramReader&) = delete;
    PcapDatagramReader& operator=(const PcapDatagramReader&) = delete;

    // Opens a file (closing the one open before): 0, or EC_READ when it
    // cannot be opened or is no capture file (get_error() says why).
    int open(const std::string& path);

    // 1 with the next datagram (its payload valid until the next call), 0
    // at the end of the file, EC_FORMAT for a damaged file (get_error()),
    // EC_READ when no file is open.
    int next(CapturedDatagram& out);

    const std::string& get_error() const { return m_error; }
    // Frames that held no IPv4 UDP datagram.
    uint64_t get_skipped() const { return m_skipped; }
    // How far into the file reading has come, and its size, in bytes (for
    // a progress display; the size is 0 when unknown).
    long get_position() const;
    long get_size() const { return m_size; }

private:
    pcap_t* m_pcap = nullptr;
    int m_link_type = 0;
    long m_size = 0;
    uint64_t m_skipped = 0;
    std::string m_name;
    std::string m_error;
};
