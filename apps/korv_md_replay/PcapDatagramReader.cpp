#include "apps/korv_md_replay/PcapDatagramReader.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include "velta/source/base/ErrorCode.h"

PcapDatagramReader::~PcapDatagramReader()
{
    if (m_pcap != nullptr)
        pcap_close(m_pcap);
}

int PcapDatagramReader::open(const std::string& path)
{
    if (m_pcap != nullptr)
        pcap_close(m_pcap);
    m_name = path;
    m_size = 0;
    m_skipped = 0;
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        m_size = long(info.st_size);
    char error_text[PCAP_ERRBUF_SIZE] = "";
    m_pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO,
                                                     error_text);
    if (m_pcap == nullptr) {
        m_error = path + ": not a readable capture file (" + error_text + ")";
        return EC_READ;
    }
    m_link_type = pcap_datalink(m_pcap);
    return EC_NONE;
}

int PcapDatagramReader::next(CapturedDatagram& out)
{
    if (m_pcap == nullptr)
        return EC_READ;  // open() failed and said why
    for (;;) {
        pcap_pkthdr* header;
        const u_char* frame;
        int result = pcap_next_ex(m_pcap, &header, &frame);
        if (result == PCAP_ERROR_BREAK)
            return 0;
        if (result != 1) {
            m_error = m_name + ": damaged capture file (" + pcap_geterr(m_pcap) + ")";
            return EC_FORMAT;
        }
        // A frame cut short by the capture's snap length holds only part of
        // its datagram, which decode_udp_frame refuses.
        if (decode_udp_frame(m_link_type, frame, header->caplen, out) != EC_NONE) {
            ++m_skipped;
            continue;
        }
        out.time_us = int64_t(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
        return 1;
    }
}

long PcapDatagramReader::get_position() const
{
    FILE* file = m_pcap != nullptr ? pcap_file(m_pcap) : nullptr;
    return file != nullptr ? ftell(file) : 0;
}
