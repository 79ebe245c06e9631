#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <ctime>

#include "sample_code.h"
#include "snapshot_writer.h"

using namespace vorn_sim;
using Bytes = std::vector<uint8_t>;

namespace {

template <typename T>
T At(const Bytes& b, size_t offset) {
    T value;
    memcpy(&value, b.data() + offset, sizeof value);
    return value;
}

depth_market_data_field SampleDepth() {
    DepthSpec inputs;
    inputs.instrument_id = "IF2612";
    inputs.inst_id = 1001;
    inputs.pre_settlement_price = 4012.4;
    inputs.last_price = 4013.0;
    inputs.volume = 77;
    for (int n = 1; n <= 5; ++n) {
        inputs.bid[n - 1] = {4013.0 - 0.2 * n, 10 + n};
        inputs.ask[n - 1] = {4013.0 + 0.2 * n, 20 + n};
    }
    inputs.ask[4] = Level{}; // ask5 absent
    inputs.update_seconds = 10 * 3600 + 5 * 60 + 7;
    inputs.update_msec = 500;
    return MakeDepth(inputs);
}

} // namespace

TEST(SnapshotWriter, ByteLayout) {
    SnapshotWriter w;
    w.AddChannel("udp://239.3.42.1:30001/10.0.0.5", 3, 0x1234, 1, 2);
    w.AddChannel("udp://239.3.42.2:30002/10.0.0.6");
    w.SetTradeDate(20261216);
    w.SetLastSeqNo(4242);
    w.SetCodeSegment(SampleCipherSegment(0x5A));
    const depth_market_data_field depth = SampleDepth();
    const ins_price_encode_info_field price = MakePriceEncoding("IF2612", 1001, "IF", 4000.0, 0.2, 300);
    w.AddInstrument(1001, price, depth);
    w.AddPriceEncoding(1002, MakePriceEncoding("IH2612", 1002, "IH", 2700.0, 0.2, 300));
    w.AddDepth(1001, depth); // duplicate key
    const Bytes b = w.Bytes();
    EXPECT_EQ(0, memcmp(depth.update_time, "10:05:07", 8));
    EXPECT_EQ(EMPTY_PRICE, double(depth.open_price));
    EXPECT_EQ(EMPTY_PRICE, double(depth.ask5_price));

    const size_t channels = 8, trade = channels + 2 * 66, segment = trade + 8, prices = segment + 608;
    const size_t depths = prices + 8 + 2 * 68;
    ASSERT_EQ(depths + 8 + 2 * 330, b.size());
    EXPECT_EQ(2u, At<uint64_t>(b, 0));
    EXPECT_EQ(3, At<int16_t>(b, channels));
    EXPECT_STREQ("udp://239.3.42.1:30001/10.0.0.5", reinterpret_cast<const char*>(&b[channels + 2]));
    EXPECT_EQ(0x1234, At<uint16_t>(b, channels + 62));
    EXPECT_EQ(1, b[channels + 64]);
    EXPECT_EQ(2, b[channels + 65]);
    EXPECT_EQ(20261216, At<int32_t>(b, trade));
    EXPECT_EQ(4242, At<int32_t>(b, trade + 4));
    const encrypt_code_segment_field seg = SampleCipherSegment(0x5A);
    EXPECT_EQ(0, memcmp(&b[segment], &seg, sizeof seg));
    EXPECT_EQ(2u, At<uint64_t>(b, prices));
    EXPECT_EQ(1001, At<int32_t>(b, prices + 8));
    EXPECT_EQ(0.2, At<double>(b, prices + 12 + 52));
    EXPECT_EQ(1002, At<int32_t>(b, prices + 8 + 68));
    EXPECT_EQ(2u, At<uint64_t>(b, depths));

    const size_t rec = depths + 8 + 4;
    EXPECT_EQ(1001, At<int32_t>(b, depths + 8));
    EXPECT_EQ(0, memcmp(&b[rec], &depth, 168)) << "bytes 0..167 as in memory";
    EXPECT_EQ(0, memcmp(&b[rec + 264], reinterpret_cast<const uint8_t*>(&depth) + 264, 62));
    const struct {
        size_t offset;
        bool bid;
        int level;
    } order[] = {{168, true, 2},  {180, false, 2}, {192, true, 3},  {204, false, 3},
                 {216, true, 4},  {228, false, 4}, {240, true, 5},  {252, false, 5}};
    for (const auto& o : order) {
        const Level level = GetLevel(depth, o.bid, o.level);
        EXPECT_EQ(level.price, At<double>(b, rec + o.offset)) << o.offset;
        EXPECT_EQ(level.volume, At<int32_t>(b, rec + o.offset + 8)) << o.offset;
    }
    EXPECT_EQ(0, memcmp(&b[rec], &b[rec + 330], 326)) << "duplicate key written again";

    const depth_market_data_field back = DepthFromFileOrder(&b[rec]);
    EXPECT_EQ(0, memcmp(&back, &depth, sizeof depth));
}

TEST(SnapshotWriter, EmptySnapshotAndLongTexts) {
    SnapshotWriter w;
    w.AddChannel(std::string(80, 'x'));
    const Bytes b = w.Bytes();
    ASSERT_EQ(8 + 66 + 8 + 608 + 8 + 8u, b.size());
    EXPECT_EQ(59u, strnlen(reinterpret_cast<const char*>(&b[10]), 60)) << "text kept terminated";
}

TEST(SnapshotWriter, WritesFileAtomicallyWithMode0644) {
    char dir[] = "/tmp/vorn_sim_snap_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/snap.bin";
    SnapshotWriter w;
    w.SetTradeDate(20261216);
    w.AddInstrument(1, MakePriceEncoding("IF2612", 1, "IF", 4000, 0.2, 300), SampleDepth());
    const mode_t old = umask(077);
    const bool written = w.WriteFile(path);
    umask(old);
    ASSERT_TRUE(written);
    ASSERT_TRUE(w.WriteFile(path)) << "replaces an existing file";
    struct stat st{};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(w.Bytes(), file);
    EXPECT_FALSE(w.WriteFile(std::string(dir) + "/missing/snap.bin"));
    unlink(path.c_str());
    EXPECT_EQ(0, rmdir(dir)) << "no temporary file left behind";

    const time_t now = time(nullptr);
    char today[32];
    strftime(today, sizeof today, "/tmp/.%Y%m%d_V2.bin", localtime(&now));
    EXPECT_EQ(today, SnapshotWriter::TodayPath());
}
