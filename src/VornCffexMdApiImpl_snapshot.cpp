// The day's snapshot file: channels, trade date, last sequence number, code segment,
// price encodings and depth records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "DateType.h"
#include "VornCffexMdApiImpl.h"

using namespace Vorn_R10;

namespace {

// A snapshot is a few megabytes; anything far larger is not one.
constexpr off_t kMaxSnapshotBytes = off_t(1) << 30;

constexpr size_t kChannelRecord = sizeof(multi_address_field);
constexpr size_t kPriceEntry = 4 + sizeof(ins_price_encode_info_field);
constexpr size_t kDepthEntry = 4 + sizeof(depth_market_data_field);

// Bounds-checked reads over the file's bytes.
struct SnapshotCursor {
    const std::vector<char>& bytes;
    size_t pos = 0;

    size_t Remaining() const { return bytes.size() - pos; }
};

bool read_data(SnapshotCursor& cursor, void* data, size_t size) {
    if (cursor.Remaining() < size) return false;
    memcpy(data, cursor.bytes.data() + cursor.pos, size);
    cursor.pos += size;
    return true;
}

template <typename T>
bool read_data(SnapshotCursor& cursor, T& value) {
    return read_data(cursor, &value, sizeof value);
}

// Levels 2 to 5 stand in plain level order in the file and grouped by field in memory.
struct LevelPlace {
    size_t file;
    size_t memory;
};
constexpr LevelPlace kLevelPlaces[] = {
    {snapshot_file::kBid2Price, offsetof(depth_market_data_field, bid2_price)},
    {snapshot_file::kAsk2Price, offsetof(depth_market_data_field, ask2_price)},
    {snapshot_file::kBid3Price, offsetof(depth_market_data_field, bid3_price)},
    {snapshot_file::kAsk3Price, offsetof(depth_market_data_field, ask3_price)},
    {snapshot_file::kBid4Price, offsetof(depth_market_data_field, bid4_price)},
    {snapshot_file::kAsk4Price, offsetof(depth_market_data_field, ask4_price)},
    {snapshot_file::kBid5Price, offsetof(depth_market_data_field, bid5_price)},
    {snapshot_file::kAsk5Price, offsetof(depth_market_data_field, ask5_price)},
};
constexpr size_t kLevelBytes = 12; // price (8) and volume (4)
constexpr size_t kLevelsBegin = 168;
constexpr size_t kLevelsEnd = 264;

depth_market_data_field DepthFromFileOrder(const char* file) {
    depth_market_data_field record;
    char* memory = reinterpret_cast<char*>(&record);
    memcpy(memory, file, kLevelsBegin);
    memcpy(memory + kLevelsEnd, file + kLevelsEnd, sizeof record - kLevelsEnd);
    for (const LevelPlace& place : kLevelPlaces) memcpy(memory + place.memory, file + place.file, kLevelBytes);
    return record;
}

// The snapshot carries machine code that will run in this process: only a file owned by this
// user or root, and writable by nobody else, is trusted.
bool CheckSnapshotOwner(const std::string& filename, const struct stat& info) {
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s], snapshot %s is owned by uid %u, not by this user or root, refused.",
                 filename.c_str(), static_cast<unsigned>(info.st_uid));
        return false;
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s], snapshot %s is writable by group or others (mode %03o), refused.",
                 filename.c_str(), static_cast<unsigned>(info.st_mode & 0777));
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxSnapshotBytes) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s], snapshot %s is not a regular file of a plausible size, refused.",
                 filename.c_str());
        return false;
    }
    return true;
}

// Reads the whole file of an open descriptor, so the checked file is the file read.
bool ReadTrustedFile(int fd, const std::string& filename, std::vector<char>& bytes) {
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && CheckSnapshotOwner(filename, info);
    if (ok) {
        bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got <= 0)
                ok = false;
            else
                done += static_cast<size_t>(got);
        }
        if (!ok) VORN_LOG(LOG_ERROR, "[%s:%d] [%s], snapshot %s could not be read.", filename.c_str());
    }
    return ok;
}

int32_t Truncated(const std::string& filename, const char* section) {
    VORN_LOG(LOG_ERROR, "[%s:%d] [%s], snapshot %s ends inside the %s section.", filename.c_str(), section);
    return -1;
}

// A count of records whose bytes the rest of the file cannot hold.
bool CountFits(SnapshotCursor& cursor, uint64_t count, size_t recordSize, const std::string& filename,
               const char* section) {
    if (count <= cursor.Remaining() / recordSize) return true;
    VORN_LOG(LOG_ERROR, "[%s:%d] [%s], snapshot %s announces %llu %s records, more than the file holds.",
             filename.c_str(), static_cast<unsigned long long>(count), section);
    return false;
}

} // namespace

void CVornCffexMdApiImpl::init_snaphot_params() {
    m_iTradeDate = 0;
    m_EndSnapMdField.last_md_seqno = 0;
    m_MultiAddressField.clear();
    memset(&m_RspEncryptCodeSegmentField, 0, sizeof m_RspEncryptCodeSegmentField);
    m_ins_price_infos.clear();
    m_depth_market_data_infos.clear();
    ResetInstrumentCache();
}

std::string CVornCffexMdApiImpl::SnapshotFileName(const CDateType& date) {
    char name[100];
    snprintf(name, sizeof name, "/tmp/.%d%02d%02d_V2.bin", date.year, date.month, date.day);
    return name;
}

std::string CVornCffexMdApiImpl::SnapshotFileName() { return SnapshotFileName(CDateType::Today()); }

int32_t CVornCffexMdApiImpl::LoadFromFile(const std::string& filename) {
    // Non-blocking, so a FIFO in place of the file cannot stall start-up; it is refused below.
    const int fd = open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        VORN_LOG(LOG_INFO, "[%s:%d] [%s], filename is %s.", filename.c_str());
        return -1;
    }
    std::vector<char> bytes;
    const bool trusted = ReadTrustedFile(fd, filename, bytes);
    close(fd);
    if (!trusted) return -1;
    SnapshotCursor cursor{bytes};

    uint64_t channels = 0;
    if (!read_data(cursor, channels)) return Truncated(filename, "channel count");
    if (!CountFits(cursor, channels, kChannelRecord, filename, "channel")) return -1;
    std::vector<multi_address_field> addresses(channels);
    for (multi_address_field& address : addresses)
        if (!read_data(cursor, address)) return -1;

    int32_t tradeDate = 0;
    end_snap_md_field endSnap{};
    encrypt_code_segment_field code{};
    if (!read_data(cursor, tradeDate)) return Truncated(filename, "trade date");
    if (!read_data(cursor, endSnap)) return Truncated(filename, "end of snapshot");
    if (!read_data(cursor, code)) return Truncated(filename, "code segment");

    uint64_t prices = 0;
    if (!read_data(cursor, prices)) return Truncated(filename, "price encoding count");
    if (!CountFits(cursor, prices, kPriceEntry, filename, "price encoding")) return -1;
    std::unordered_map<int32_t, ins_price_encode_info_field> priceInfos;
    for (uint64_t i = 0; i < prices; ++i) {
        int32_t key = 0;
        ins_price_encode_info_field info;
        if (!read_data(cursor, key) || !read_data(cursor, info)) return -1;
        priceInfos[key] = info;
    }

    uint64_t depths = 0;
    if (!read_data(cursor, depths)) return Truncated(filename, "depth count");
    if (!CountFits(cursor, depths, kDepthEntry, filename, "depth")) return -1;
    std::unordered_map<int32_t, depth_market_data_field> depthInfos;
    std::vector<int32_t> depthKeys;
    for (uint64_t i = 0; i < depths; ++i) {
        int32_t key = 0;
        char record[sizeof(depth_market_data_field)];
        if (!read_data(cursor, key) || !read_data(cursor, record, sizeof record)) return -1;
        depthInfos[key] = DepthFromFileOrder(record);
        depthKeys.push_back(key);
    }

    // Only a complete file replaces what the connector holds.
    m_MultiAddressField = std::move(addresses);
    m_iTradeDate = tradeDate;
    m_EndSnapMdField = endSnap;
    m_RspEncryptCodeSegmentField = code;
    m_ins_price_infos.clear();
    m_ins_price_infos.insert(priceInfos.begin(), priceInfos.end());
    m_depth_market_data_infos.clear();
    m_depth_market_data_infos.insert(depthInfos.begin(), depthInfos.end());
    SeedTrustFlags(depthKeys);
    ResetInstrumentCache();
    return 0;
}

bool CVornCffexMdApiImpl::_parseURL(const std::string& url, std::string& port, std::string& ipAfter) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return false;
    const size_t hostBegin = scheme + 3;
    const size_t slash = url.find('/', hostBegin);
    if (slash == std::string::npos) return false;
    const std::string hostPort = url.substr(hostBegin, slash - hostBegin);
    const size_t colon = hostPort.find(':');
    if (colon == std::string::npos) return false;
    port = hostPort.substr(colon + 1);
    if (port.empty()) return false;
    ipAfter = url.substr(slash + 1);
    return !ipAfter.empty();
}

int32_t CVornCffexMdApiImpl::LoadSnaphot() {
    const std::string& configured = m_r10ConfigInfo.snapshot;
    const std::string filename = configured.empty() ? SnapshotFileName() : configured;
    if (LoadFromFile(filename) != 0) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s], load_from_file is failed. file name is %s .", filename.c_str());
        return -1;
    }
    for (const multi_address_field& address : m_MultiAddressField)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s], multi_address is %.60s.", address.multi_address);
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_iTradeDate is %d.", m_iTradeDate);
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], last_md_seqno is %d.", m_EndSnapMdField.last_md_seqno);
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_ins_price_infos size is %d.", static_cast<int>(m_ins_price_infos.size()));
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_depth_market_data_infos size is %d.",
             static_cast<int>(m_depth_market_data_infos.size()));

    CAddressType* const ports[2] = {&m_udp_dst_port_a, &m_udp_dst_port_b};
    CAddressType* const sources[2] = {&m_udp_src_ip_a, &m_udp_src_ip_b};
    for (size_t i = 0; i < 2 && i < m_MultiAddressField.size(); ++i) {
        const char* text = m_MultiAddressField[i].multi_address;
        const std::string address(text, strnlen(text, sizeof m_MultiAddressField[i].multi_address));
        std::string port, source;
        if (!_parseURL(address, port, source)) {
            VORN_LOG(LOG_ERROR, "[%s:%d] [%s], multi_address is err, is %s.", address.c_str());
            return -1;
        }
        ports[i]->Assign(port);
        sources[i]->Assign(source);
    }
    m_CurUdpNo = static_cast<uint32_t>(m_EndSnapMdField.last_md_seqno);
    m_key_arg = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(m_RspEncryptCodeSegmentField.arg1[0])));

    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_udp_dst_port_a is %s, m_udp_src_ip_a is %s.", m_udp_dst_port_a.c_str(),
             m_udp_src_ip_a.c_str());
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_udp_dst_port_b is %s, m_udp_src_ip_b is %s.", m_udp_dst_port_b.c_str(),
             m_udp_src_ip_b.c_str());
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_CurUdpNo is %d.", static_cast<int>(m_CurUdpNo));
    VORN_LOG(LOG_INFO, "[%s:%d] [%s], m_key_arg is %d.", static_cast<int>(m_key_arg));
    m_counters.SetSnapshot(filename, m_iTradeDate);
    return 0;
}
