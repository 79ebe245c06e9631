#include "pcap_writer.h"

#include <pcap/pcap.h>

namespace vorn_sim {
namespace {

constexpr int kSnapLength = 65535;

pcap_t* AsPcap(void* p) { return static_cast<pcap_t*>(p); }
pcap_dumper_t* AsDumper(void* p) { return static_cast<pcap_dumper_t*>(p); }

} // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path) {
    Close();
    pcap_t* pcap = pcap_open_dead(DLT_EN10MB, kSnapLength);
    if (!pcap) {
        error_ = "pcap_open_dead failed";
        return false;
    }
    pcap_dumper_t* dumper = pcap_dump_open(pcap, path.c_str());
    if (!dumper) {
        error_ = pcap_geterr(pcap);
        pcap_close(pcap);
        return false;
    }
    pcap_ = pcap;
    dumper_ = dumper;
    return true;
}

bool PcapWriter::Write(const std::vector<uint8_t>& frame, uint64_t tsUsec) {
    if (!dumper_) {
        error_ = "not open";
        return false;
    }
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(tsUsec / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(tsUsec % 1000000);
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(static_cast<u_char*>(dumper_), &header, frame.data());
    return true;
}

bool PcapWriter::Close() {
    bool ok = true;
    if (dumper_) {
        ok = pcap_dump_flush(AsDumper(dumper_)) == 0;
        pcap_dump_close(AsDumper(dumper_));
        dumper_ = nullptr;
    }
    if (pcap_) {
        pcap_close(AsPcap(pcap_));
        pcap_ = nullptr;
    }
    return ok;
}

bool WritePcap(const std::string& path, const std::vector<std::vector<uint8_t>>& frames, uint64_t startUsec,
               uint64_t stepUsec) {
    PcapWriter writer;
    if (!writer.Open(path)) return false;
    uint64_t ts = startUsec;
    for (const auto& frame : frames) {
        writer.Write(frame, ts);
        ts += stepUsec;
    }
    return writer.Close();
}

bool ReadPcap(const std::string& path, std::vector<PcapFrame>& frames, std::string* error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
    if (!pcap) {
        if (error) *error = errbuf;
        return false;
    }
    if (pcap_datalink(pcap) != DLT_EN10MB) {
        if (error) *error = "not an Ethernet capture";
        pcap_close(pcap);
        return false;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pcap, &header, &data)) == 1) {
        PcapFrame frame;
        frame.ts_usec = static_cast<uint64_t>(header->ts.tv_sec) * 1000000 + static_cast<uint64_t>(header->ts.tv_usec);
        frame.bytes.assign(data, data + header->caplen);
        frames.push_back(std::move(frame));
    }
    if (rc == -1 && error) *error = pcap_geterr(pcap);
    pcap_close(pcap);
    return rc == PCAP_ERROR_BREAK;
}

} // namespace vorn_sim
