#include "snapshot_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vorn_sim {
namespace {

constexpr size_t kLevelBytes = 12; // price (8) + volume (4)

// Memory and file offsets of the price of levels 2..5 (index 0..3), bid and ask.
struct LevelOffsets {
    size_t memory, file;
};
constexpr LevelOffsets kBidLevels[4] = {
    {offsetof(depth_market_data_field, bid2_price), snapshot_file::kBid2Price},
    {offsetof(depth_market_data_field, bid3_price), snapshot_file::kBid3Price},
    {offsetof(depth_market_data_field, bid4_price), snapshot_file::kBid4Price},
    {offsetof(depth_market_data_field, bid5_price), snapshot_file::kBid5Price},
};
constexpr LevelOffsets kAskLevels[4] = {
    {offsetof(depth_market_data_field, ask2_price), snapshot_file::kAsk2Price},
    {offsetof(depth_market_data_field, ask3_price), snapshot_file::kAsk3Price},
    {offsetof(depth_market_data_field, ask4_price), snapshot_file::kAsk4Price},
    {offsetof(depth_market_data_field, ask5_price), snapshot_file::kAsk5Price},
};

// Memory offset of the price of level n (1..5).
size_t LevelMemoryOffset(bool bid, int n) {
    if (n == 1)
        return bid ? offsetof(depth_market_data_field, bid1_price) : offsetof(depth_market_data_field, ask1_price);
    return (bid ? kBidLevels : kAskLevels)[n - 2].memory;
}

template <typename T>
void Append(std::vector<uint8_t>& out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

void AppendCount(std::vector<uint8_t>& out, size_t count) { Append(out, static_cast<uint64_t>(count)); }

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

void SetUpdateTime(char (&field)[8], int32_t secondsOfDay) {
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", (secondsOfDay / 3600) % 100, secondsOfDay / 60 % 60,
             secondsOfDay % 60);
    memcpy(field, text, sizeof field);
}

void SetLevel(depth_market_data_field& depth, bool bid, int n, const Level& level) {
    if (n < 1 || n > 5) return;
    auto* base = reinterpret_cast<uint8_t*>(&depth) + LevelMemoryOffset(bid, n);
    memcpy(base, &level.price, sizeof level.price);
    memcpy(base + sizeof level.price, &level.volume, sizeof level.volume);
}

Level GetLevel(const depth_market_data_field& depth, bool bid, int n) {
    Level level;
    if (n < 1 || n > 5) return level;
    const auto* base = reinterpret_cast<const uint8_t*>(&depth) + LevelMemoryOffset(bid, n);
    memcpy(&level.price, base, sizeof level.price);
    memcpy(&level.volume, base + sizeof level.price, sizeof level.volume);
    return level;
}

depth_market_data_field MakeDepth(const DepthSpec& inputs) {
    depth_market_data_field d{};
    memcpy(d.trading_day, inputs.trading_day.data(), std::min(inputs.trading_day.size(), sizeof d.trading_day));
    CopyText(d.settlement_group_id, inputs.settlement_group_id);
    d.settlement_id = inputs.settlement_id;
    d.pre_settlement_price = inputs.pre_settlement_price;
    d.pre_close_price = inputs.pre_close_price;
    d.pre_open_interest = inputs.pre_open_interest;
    d.pre_delta = inputs.pre_delta;
    d.open_price = d.high_price = d.low_price = d.close_price = EMPTY_PRICE;
    d.upper_limit_price = inputs.upper_limit_price;
    d.lower_limit_price = inputs.lower_limit_price;
    d.settlement_price = d.curr_delta = EMPTY_PRICE;
    d.last_price = inputs.last_price;
    d.volume = inputs.volume;
    d.turn_over = inputs.turn_over;
    d.open_interest = inputs.open_interest;
    for (int n = 1; n <= 5; ++n) {
        SetLevel(d, true, n, inputs.bid[n - 1]);
        SetLevel(d, false, n, inputs.ask[n - 1]);
    }
    SetUpdateTime(d.update_time, inputs.update_seconds);
    d.update_msec = inputs.update_msec;
    CopyText(d.instrument_id, inputs.instrument_id);
    d.inst_id = inputs.inst_id;
    d.banding_upper_price = d.banding_lower_price = EMPTY_PRICE;
    return d;
}

void DepthToFileOrder(const depth_market_data_field& depth, uint8_t* out326) {
    const auto* mem = reinterpret_cast<const uint8_t*>(&depth);
    memcpy(out326, mem, sizeof depth);
    for (int i = 0; i < 4; ++i) {
        memcpy(out326 + kBidLevels[i].file, mem + kBidLevels[i].memory, kLevelBytes);
        memcpy(out326 + kAskLevels[i].file, mem + kAskLevels[i].memory, kLevelBytes);
    }
}

depth_market_data_field DepthFromFileOrder(const uint8_t* in326) {
    depth_market_data_field depth;
    auto* mem = reinterpret_cast<uint8_t*>(&depth);
    memcpy(mem, in326, sizeof depth);
    for (int i = 0; i < 4; ++i) {
        memcpy(mem + kBidLevels[i].memory, in326 + kBidLevels[i].file, kLevelBytes);
        memcpy(mem + kAskLevels[i].memory, in326 + kAskLevels[i].file, kLevelBytes);
    }
    return depth;
}

ins_price_encode_info_field MakePriceEncoding(const std::string& instrument_id, int32_t ins_int_id,
                                              const std::string& product_id, double base_price, double price_tick,
                                              int32_t volume_multiple) {
    ins_price_encode_info_field p{};
    CopyText(p.instrument_id, instrument_id);
    p.ins_int_id = ins_int_id;
    CopyText(p.product_id, product_id);
    p.base_price = base_price;
    p.price_tick = price_tick;
    p.volume_multiple = volume_multiple;
    return p;
}

void SnapshotWriter::AddChannel(const std::string& address_text, int16_t channel_no, uint16_t md_topicid, int8_t source,
                                int8_t status) {
    multi_address_field channel{};
    channel.channel_no = channel_no;
    CopyText(channel.multi_address, address_text);
    channel.md_topicid = md_topicid;
    channel.source = source;
    channel.status = status;
    channels_.push_back(channel);
}

void SnapshotWriter::AddChannel(const multi_address_field& channel) { channels_.push_back(channel); }

void SnapshotWriter::AddInstrument(int32_t key, const ins_price_encode_info_field& price,
                                   const depth_market_data_field& depth) {
    AddPriceEncoding(key, price);
    AddDepth(key, depth);
}

void SnapshotWriter::AddPriceEncoding(int32_t key, const ins_price_encode_info_field& price) {
    prices_.emplace_back(key, price);
}

void SnapshotWriter::AddDepth(int32_t key, const depth_market_data_field& depth) { depths_.emplace_back(key, depth); }

std::vector<uint8_t> SnapshotWriter::Bytes() const {
    std::vector<uint8_t> out;
    AppendCount(out, channels_.size());
    for (const auto& channel : channels_) Append(out, channel);
    Append(out, trade_date_);
    Append(out, last_md_seqno_);
    Append(out, code_segment_);
    AppendCount(out, prices_.size());
    for (const auto& [key, price] : prices_) {
        Append(out, key);
        Append(out, price);
    }
    AppendCount(out, depths_.size());
    for (const auto& [key, depth] : depths_) {
        Append(out, key);
        uint8_t record[snapshot_file::kDepthRecordSize];
        DepthToFileOrder(depth, record);
        out.insert(out.end(), record, record + sizeof record);
    }
    return out;
}

bool SnapshotWriter::WriteFile(const std::string& path) const {
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = fchmod(fd, 0644) == 0 && WriteAll(fd, Bytes());
    if (close(fd) != 0 || !written || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::string SnapshotWriter::TodayPath() {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char path[64];
    snprintf(path, sizeof path, "/tmp/.%d%02d%02d_V2.bin", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return path;
}

int SnapshotWriter::LockSharedPath(const char* who) {
    const int fd = open(kSharedPathLock, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (who) fprintf(stderr, "%s: waiting for %s (a test run uses the shared path)\n", who, kSharedPathLock);
        if (flock(fd, LOCK_EX) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

} // namespace vorn_sim
