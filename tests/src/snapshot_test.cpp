// The snapshot loader on files written by the simulated exchange, and today's snapshot loaded
// as start-up does: its log lines, channel A/B addresses and key argument.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "VornCffexMdApiImpl.h"
#include "connector_harness.h"
#include "sample_code.h"

using namespace vorn_test;

namespace {

// A depth record as the exchange writes it: the loader copies it, whatever its prices.
depth_market_data_field Depth(const std::string& id, int32_t key, double lastPrice) {
    vorn_sim::DepthSpec inputs{};
    inputs.instrument_id = id, inputs.inst_id = key, inputs.last_price = lastPrice;
    return vorn_sim::MakeDepth(inputs);
}

const char* const kChannelA = "udp://239.3.42.1:30001/10.0.0.5";
const char* const kChannelB = "udp://239.3.42.2:30002/10.0.0.6";

// Two instruments, every section non-empty.
vorn_sim::SnapshotWriter SmallSnapshot(const std::vector<std::string>& channels = {kChannelA, kChannelB},
                                       uint8_t keyArg0 = 0x5A) {
    vorn_sim::SnapshotWriter writer;
    for (const std::string& channel : channels) writer.AddChannel(channel);
    writer.SetTradeDate(20261216);
    writer.SetLastSeqNo(41);
    writer.SetCodeSegment(vorn_sim::SampleCipherSegment(keyArg0));
    writer.AddInstrument(7, vorn_sim::MakePriceEncoding("IF2612", 7, "IF", 4000, 0.2, 300), Depth("IF2612", 7, 4001.2));
    writer.AddInstrument(9, vorn_sim::MakePriceEncoding("T2703", 9, "T", 108, 0.005, 10000), Depth("T2703", 9, 108.5));
    return writer;
}

template <typename T> std::string BytesOf(const T& v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); }

// Everything a load may change, as bytes.
std::string LoadedState(const CVornCffexMdApiImpl& c) {
    std::string state;
    for (const multi_address_field& channel : c.m_MultiAddressField) state += BytesOf(channel);
    state += BytesOf(c.m_iTradeDate) + BytesOf(c.m_EndSnapMdField) + BytesOf(c.m_RspEncryptCodeSegmentField);
    const auto sorted = [&state](const auto& map) {
        for (const auto& entry : std::map<int32_t, typename std::decay_t<decltype(map)>::mapped_type>(map.begin(), map.end()))
            state += BytesOf(entry.first) + BytesOf(entry.second);
        state += "|";
    };
    sorted(c.m_ins_price_infos), sorted(c.m_depth_market_data_infos), sorted(c.m_depth_market_trust_flag);
    return state;
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override { LogToPrivateDir(); }
    TempDir dir;
    std::unique_ptr<CVornCffexMdApiImpl> connector = std::make_unique<CVornCffexMdApiImpl>();
    std::string output; // standard output of the last load

    template <typename F> int Captured(F load) {
        testing::internal::CaptureStdout();
        const int result = load();
        output = testing::internal::GetCapturedStdout();
        return result;
    }
    int Load(const std::string& path) { return Captured([&] { return connector->LoadFromFile(path); }); }
    int Load(const std::vector<uint8_t>& bytes) { WriteBytes(dir.File("snap.bin"), bytes); return Load(dir.File("snap.bin")); }
    // The one error line of the last load.
    std::string Error() {
        const std::vector<std::string> errors = LinesWith(output, kErrorTag);
        EXPECT_EQ(1u, errors.size()) << output;
        return errors.empty() ? "" : errors[0];
    }
    // Writes `writer` as today's snapshot and loads it as start-up does, into a fresh connector.
    int LoadToday(const vorn_sim::SnapshotWriter& writer) {
        EXPECT_TRUE(WriteTodaySnapshot(writer));
        connector = std::make_unique<CVornCffexMdApiImpl>();
        return Captured([&] { return connector->LoadSnaphot(); });
    }
};

// A later record of a key replaces the earlier one (trust 31); levels 2 to 5 stand in level order
// in the file (bid2, ask2, bid3, ...) and arrive grouped by field in memory.
TEST_F(Loader, DuplicateKeysLaterWinsAndLevelsAreRegrouped) {
    vorn_sim::SnapshotWriter twice;
    twice.AddPriceEncoding(5, vorn_sim::MakePriceEncoding("first", 5, "IF", 1, 0.2, 300));
    twice.AddPriceEncoding(5, vorn_sim::MakePriceEncoding("second", 6, "IF", 2, 0.2, 300));
    twice.AddDepth(5, Depth("first", 5, 100)), twice.AddDepth(5, Depth("second", 6, 200));
    std::vector<uint8_t> bytes = twice.Bytes();
    const size_t record = bytes.size() - sizeof(depth_market_data_field);
    for (int n = 0; n < 8; ++n) { // price n at file offset 168 + 12 n, its volume 8 later
        const std::pair<double, int32_t> level(1000 + n, 50 + n);
        memcpy(&bytes[record + 168 + 12 * n], &level.first, 8);
        memcpy(&bytes[record + 168 + 12 * n + 8], &level.second, 4);
    }
    ASSERT_EQ(0, Load(bytes));
    ASSERT_EQ(std::make_pair(size_t{1}, size_t{1}), std::make_pair(connector->m_ins_price_infos.size(), connector->m_depth_market_data_infos.size()));
    EXPECT_STREQ("second", connector->m_ins_price_infos.at(5).instrument_id);
    EXPECT_EQ(31, connector->m_depth_market_trust_flag.at(5));
    const depth_market_data_field& d = connector->m_depth_market_data_infos.at(5);
    EXPECT_EQ(200.0, double{d.last_price});
    const std::pair<double, int32_t> levels[8] = {{double{d.bid2_price}, int32_t{d.bid2_volume}}, {double{d.ask2_price}, int32_t{d.ask2_volume}},
        {double{d.bid3_price}, int32_t{d.bid3_volume}}, {double{d.ask3_price}, int32_t{d.ask3_volume}}, {double{d.bid4_price}, int32_t{d.bid4_volume}},
        {double{d.ask4_price}, int32_t{d.ask4_volume}}, {double{d.bid5_price}, int32_t{d.bid5_volume}}, {double{d.ask5_price}, int32_t{d.ask5_volume}}};
    for (int n = 0; n < 8; ++n) EXPECT_EQ(std::make_pair(1000.0 + n, 50 + n), levels[n]) << n;
}

// The section a file cut at `length` ends in, as its error line names it.
std::string ExpectedReason(size_t length, size_t channels, size_t prices, size_t depths) {
    const std::pair<size_t, const char*> sections[] = {
        {8, "ends inside the channel count section"},       {66 * channels, "channel records, more than the file holds"},
        {4, "ends inside the trade date section"},          {4, "ends inside the end of snapshot section"},
        {608, "ends inside the code segment section"},      {8, "ends inside the price encoding count section"},
        {68 * prices, "price encoding records, more than the file holds"}, {8, "ends inside the depth count section"},
        {330 * depths, "depth records, more than the file holds"}};
    size_t end = 0;
    for (const auto& section : sections)
        if (length < (end += section.first)) return section.second;
    return "none";
}

TEST_F(Loader, EveryTruncationFailsAndKeepsPreviousState) {
    vorn_sim::SnapshotWriter other = SmallSnapshot();
    other.SetTradeDate(11111111);
    other.SetLastSeqNo(2222);
    ASSERT_EQ(0, Load(other.Bytes()));
    const std::string before = LoadedState(*connector);
    const std::vector<uint8_t> full = SmallSnapshot().Bytes();
    for (size_t length = 0; length < full.size(); ++length) {
        ASSERT_EQ(-1, Load(std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(length)))) << length;
        const std::string error = Error();
        EXPECT_NE(std::string::npos, error.find("snapshot " + dir.File("snap.bin") + " ")) << error;
        EXPECT_NE(std::string::npos, error.find(ExpectedReason(length, 2, 2, 2))) << length << " " << error;
        ASSERT_EQ(before, LoadedState(*connector)) << length;
    }
    std::vector<uint8_t> longer = full; // bytes after the last depth entry are not read
    longer.resize(full.size() + 1000, 0xEE);
    EXPECT_EQ(0, Load(longer));
    EXPECT_EQ(20261216, connector->m_iTradeDate);
}

TEST_F(Loader, ImpossibleCountsFailWithoutAllocating) {
    const std::vector<uint8_t> full = SmallSnapshot().Bytes();
    const size_t priceCountAt = 8 + 2 * 66 + 4 + 4 + 608, depthCountAt = priceCountAt + 8 + 2 * 68;
    const std::tuple<size_t, size_t, const char*> places[] = {
        {0, 66, "channel"}, {priceCountAt, 68, "price encoding"}, {depthCountAt, 330, "depth"}};
    for (const auto& [at, recordSize, section] : places) {
        const uint64_t oneTooMany = (full.size() - at - 8) / recordSize + 1;
        for (uint64_t count : {uint64_t(1) << 63, ~uint64_t(0), ~uint64_t(0) / recordSize + 1, oneTooMany}) {
            std::vector<uint8_t> bytes = full;
            memcpy(&bytes[at], &count, 8);
            EXPECT_EQ(-1, Load(bytes)) << section << " " << count;
            EXPECT_NE(std::string::npos, Error().find("announces " + std::to_string(count) + " " + section + " records"));
        }
    }
    EXPECT_TRUE(connector->m_MultiAddressField.empty());
}

TEST_F(Loader, UntrustedFilesAreRefused) {
    const std::string path = dir.File("perm.bin");
    ASSERT_TRUE(SmallSnapshot().WriteFile(path));
    for (const char* mode : {"664", "646", "666"}) {
        ASSERT_EQ(0, chmod(path.c_str(), static_cast<mode_t>(strtol(mode, nullptr, 8))));
        EXPECT_EQ(-1, Load(path));
        EXPECT_NE(std::string::npos,
                  Error().find("snapshot " + path + " is writable by group or others (mode " + mode + "), refused."));
    }
    ASSERT_EQ(0, chmod(path.c_str(), 0644));
    if (geteuid() == 0) {
        ASSERT_EQ(0, chown(path.c_str(), 12345, 12345));
        EXPECT_EQ(-1, Load(path));
        EXPECT_NE(std::string::npos, Error().find("snapshot " + path + " is owned by uid 12345, not by this user or root"));
        ASSERT_EQ(0, chown(path.c_str(), 0, 0));
    }
    EXPECT_TRUE(connector->m_MultiAddressField.empty());
    // A file of root's is trusted by other users too.
    const bool asOther = geteuid() == 0 && chmod(dir.Path().c_str(), 0755) == 0 && seteuid(12345) == 0;
    EXPECT_EQ(0, Load(path));
    if (asOther) { ASSERT_EQ(0, seteuid(0)); }
    EXPECT_EQ(2u, connector->m_MultiAddressField.size());
    ASSERT_EQ(0, mkfifo(dir.File("fifo").c_str(), 0600)); // opening must not wait for a writer
    for (const std::string& odd : {dir.Path(), dir.File("fifo")}) {
        EXPECT_EQ(-1, Load(odd));
        EXPECT_NE(std::string::npos, Error().find("snapshot " + odd + " is not a regular file"));
    }
}

TEST(ChannelText, ParseUrlAndDayFileName) {
    const std::pair<const char*, const char*> cases[] = { // text, "port source" ("" when it does not parse)
        {"udp://239.1.1.1:30001/10.0.0.5", "30001 10.0.0.5"}, {"x://h:1/s/t", "1 s/t"},
        {"udp://239.1.1.1/10.0.0.5", ""}, {"udp://239.1.1.1:/10.0.0.5", ""}, {"udp://239.1.1.1:30001/", ""},
        {"udp:239.1.1.1:30001/10.0.0.5", ""}, {"udp://239.1.1.1:30001", ""}, {"", ""},
    };
    for (const auto& [text, parts] : cases) {
        std::string port, source;
        EXPECT_EQ(parts, CVornCffexMdApiImpl::_parseURL(text, port, source) ? port + " " + source : "") << text;
    }
    EXPECT_EQ("/tmp/.20270309_V2.bin", CVornCffexMdApiImpl::SnapshotFileName({2027, 3, 9}));
}

class Today : public Loader {};

TEST_F(Today, LogLinesInOrderAndChannelAddresses) {
    vorn_sim::SnapshotWriter writer = SmallSnapshot({kChannelA, kChannelB, "not parsed"}, 0xF0);
    writer.AddPriceEncoding(8, vorn_sim::MakePriceEncoding("IH2612", 8, "IH", 2700, 0.2, 300)); // no depth record
    ASSERT_EQ(0, LoadToday(writer));
    const std::vector<std::string> expected = {
        ", multi_address is udp://239.3.42.1:30001/10.0.0.5.", ", multi_address is udp://239.3.42.2:30002/10.0.0.6.",
        ", multi_address is not parsed.", ", m_iTradeDate is 20261216.", ", last_md_seqno is 41.",
        ", m_ins_price_infos size is 3.", ", m_depth_market_data_infos size is 2.",
        ", m_udp_dst_port_a is 30001, m_udp_src_ip_a is 10.0.0.5.",
        ", m_udp_dst_port_b is 30002, m_udp_src_ip_b is 10.0.0.6.", ", m_CurUdpNo is 41.",
        ", m_key_arg is -16."}; // key byte 0xF0 sign-extended
    EXPECT_EQ(expected, Messages(output, "LoadSnaphot"));
    EXPECT_EQ(expected.size(), LinesWith(output, "\033[32;1m [I]").size());
    EXPECT_EQ(expected.size(), LinesWith(output, "[VornCffexMdApiImpl").size());
}

// A third channel is not parsed; a 60-byte address with no terminator is read as exactly its 60 bytes.
TEST_F(Today, BadAddressOfChannelAOrBFailsAndAddressesStopAt60) {
    for (const std::vector<std::string>& channels : std::vector<std::vector<std::string>>{
             {"udp://239.1.1.1/10.0.0.5", kChannelB}, {kChannelA, "udp://239.1.1.1:30001/"}}) {
        ASSERT_EQ(-1, LoadToday(SmallSnapshot(channels)));
        const std::string text = channels[0] == kChannelA ? channels[1] : channels[0];
        EXPECT_NE(std::string::npos, Error().find(", multi_address is err, is " + text + "."));
        EXPECT_EQ(0u, LinesWith(output, "m_CurUdpNo is").size());
    }
    EXPECT_EQ(0, LoadToday(SmallSnapshot({kChannelA, kChannelB, "udp://no-port/x"})));

    const std::string source(38, '7'), text = "udp://239.1.1.1:30001/" + source; // 60 bytes
    multi_address_field channel{};
    memcpy(channel.multi_address, text.data(), 60);
    channel.md_topicid = 0x4242; // "BB" right after the address bytes
    vorn_sim::SnapshotWriter writer = SmallSnapshot({});
    writer.AddChannel(channel);
    ASSERT_EQ(0, LoadToday(writer));
    EXPECT_EQ(1u, LinesWith(output, ", multi_address is " + text + ".").size()) << output;
    EXPECT_EQ(source + " 30001", connector->m_udp_src_ip_a.c_str() + std::string(" ") + connector->m_udp_dst_port_a.c_str());
}

} // namespace
