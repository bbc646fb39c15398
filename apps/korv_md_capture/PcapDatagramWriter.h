// Internal to the capture tools: writes UDP datagrams to a capture file in
// the classic format, through libpcap's dump interface, each as an Ethernet
// frame whose headers are made up from the datagram's addresses and ports.
#pragma once

#include <string>
#include <vector>

#include "apps/korv_md_replay/UdpFrame.h"

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

class PcapDatagramWriter {
public:
    PcapDatagramWriter() = default;
    ~PcapDatagramWriter();
    PcapDatagramWriter(const PcapDatagramWriter&) = delete;
    PcapDatagramWriter& operator=(const PcapDatagramWriter&) = delete;

    // Creates (or empties) the file: 0, or EC_WRITE (get_error() says why).
    int open(const std::string& path);
    // 0, EC_INVAL for a payload too large for one IPv4 datagram, or EC_WRITE.
    int write(const CapturedDatagram& datagram);
    // Writes out what is buffered: 0 or EC_WRITE.
    int flush();
    // flush() and closes; 0 or EC_WRITE.
    int close();

    const std::string& get_error() const { return m_error; }

private:
    pcap_t* m_pcap = nullptr;
    pcap_dumper_t* m_dumper = nullptr;
    std::vector<uint8_t> m_frame;
    std::string m_path;
    std::string m_error;
};
