#include "apps/korv_md_capture/PcapDatagramWriter.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>

#include "velta/source/base/ErrorCode.h"

PcapDatagramWriter::~PcapDatagramWriter()
{
    close();
}

int PcapDatagramWriter::open(const std::string& path)
{
    m_path = path;
    m_pcap = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    if (m_pcap == nullptr) {
        m_error = "libpcap cannot make a capture handle";
        return EC_WRITE;
    }
    m_dumper = pcap_dump_open(m_pcap, path.c_str());
    if (m_dumper == nullptr) {
        m_error = path + ": " + pcap_geterr(m_pcap);
        pcap_close(m_pcap);
        m_pcap = nullptr;
        return EC_WRITE;
    }
    m_frame.resize(UDP_FRAME_HEADROOM + UDP_FRAME_MAX_PAYLOAD);
    return EC_NONE;
}

int PcapDatagramWriter::write(const CapturedDatagram& datagram)
{
    size_t length = encode_udp_frame(datagram, m_frame.data());
    if (length == 0)
        return EC_INVAL;
    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(datagram.time_us / 1000000);
    header.ts.tv_usec = suseconds_t(datagram.time_us % 1000000);
    header.caplen = bpf_u_int32(length);
    header.len = bpf_u_int32(length);
    pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, m_frame.data());
    return EC_NONE;
}

int PcapDatagramWriter::flush()
{
    if (m_dumper != nullptr && pcap_dump_flush(m_dumper) != 0) {
        m_error = m_path + ": " + strerror(errno);
        return EC_WRITE;
    }
    return EC_NONE;
}

int PcapDatagramWriter::close()
{
    int result = flush();
    if (m_dumper != nullptr)
        pcap_dump_close(m_dumper);
    if (m_pcap != nullptr)
        pcap_close(m_pcap);
    m_dumper = nullptr;
    m_pcap = nullptr;
    return result;
}
