#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "sample_code.h"
#include "snapshot_writer.h"
#include "synthetic_session.h"
#include "wire_reader.h"

using namespace vorn_sim;
using Bytes = std::vector<uint8_t>;

namespace {

// Applies one packet to `depths` the way the feed defines it, independently of the session.
class FeedModel {
public:
    FeedModel(const SyntheticSession& session, const encrypt_code_segment_field& segment)
        : code_(reinterpret_cast<const uint8_t*>(segment.compiled_code), static_cast<size_t>(segment.code_len)),
          segment_(segment) {
        for (const SimInstrument& i : session.Instruments()) {
            encodings_[i.key] = PriceEncodingOf(i);
            depths_[i.key] = session.Initial(i.key);
        }
    }
    bool ok() const { return code_.ok(); }
    const std::map<int32_t, depth_market_data_field>& Depths() const { return depths_; }

    // Returns the instrument key the packet updated.
    int32_t Apply(const vorn_test::WirePacket& packet) {
        int32_t key = 0;
        for (vorn_test::WireField field : packet.fields) {
            if ((packet.encrypt & DF_ENCRYPT_FLAG) && field.id != 0x4432 && field.id != 0x4439)
                code_.Run(field.data.data(), static_cast<int32_t>(field.data.size()), segment_.arg1);
            std::vector<int64_t> v;
            size_t pos = 0;
            int64_t x;
            while (vorn_test::ReadVarint(field.data, pos, x)) v.push_back(x);
            if (field.id == 0x4439) {
                key = static_cast<int32_t>(v.at(0));
                depth_market_data_field& d = depths_.at(key);
                SetUpdateTime(d.update_time, static_cast<int32_t>(v.at(1)));
                d.update_msec = static_cast<int32_t>(v.at(2));
                continue;
            }
            depth_market_data_field& d = depths_.at(key);
            const ins_price_encode_info_field& enc = encodings_.at(key);
            auto price = [&](int64_t t) { return t == 4294967295LL ? EMPTY_PRICE : t * enc.price_tick + enc.base_price; };
            // Two (price, volume) pairs: levels first and first + 1 of one side, or level 1 of both.
            auto levels = [&](bool bid, int first, bool sameSide = true) {
                SetLevel(d, bid, first, Level{price(v.at(0)), static_cast<int32_t>(v.at(1))});
                SetLevel(d, sameSide ? bid : !bid, sameSide ? first + 1 : first,
                         Level{price(v.at(2)), static_cast<int32_t>(v.at(3))});
            };
            switch (field.id) {
            case 0x4433: {
                size_t p = 0; // last price, volume, turnover (big-endian double), open interest
                int64_t last, volume, oi;
                EXPECT_TRUE(vorn_test::ReadVarint(field.data, p, last) && vorn_test::ReadVarint(field.data, p, volume));
                d.turn_over = vorn_test::ReadBeDouble(&field.data[p]);
                p += 8;
                EXPECT_TRUE(vorn_test::ReadVarint(field.data, p, oi));
                EXPECT_EQ(field.data.size(), p);
                d.last_price = price(last);
                d.volume = static_cast<int32_t>(volume);
                d.open_interest = static_cast<double>(oi);
                break;
            }
            case 0x4434: levels(true, 1, false); break;
            case 0x4435: levels(true, 2); break;
            case 0x4436: levels(false, 2); break;
            case 0x4437: levels(true, 4); break;
            case 0x4438: levels(false, 4); break;
            default: ADD_FAILURE() << "unexpected field " << field.id;
            }
        }
        return key;
    }

private:
    vorn_test::ExecutableCode code_;
    encrypt_code_segment_field segment_;
    std::map<int32_t, ins_price_encode_info_field> encodings_;
    std::map<int32_t, depth_market_data_field> depths_;
};

void CheckStreamMatchesExpectedState(SessionConfig config, int packets) {
    SyntheticSession session(config);
    FeedModel model(session, session.CodeSegment());
    ASSERT_TRUE(model.ok());
    std::map<uint16_t, int> seen;
    for (int n = 0; n < packets; ++n) {
        const uint32_t seqno = session.NextSeqNo();
        const Bytes bytes = session.NextPacket();
        size_t pos = 0;
        vorn_test::WirePacket packet;
        ASSERT_TRUE(vorn_test::ReadPacket(bytes, pos, packet));
        ASSERT_EQ(bytes.size(), pos);
        EXPECT_EQ(seqno, packet.seqno);
        EXPECT_EQ(config.encrypted, (packet.encrypt & DF_ENCRYPT_FLAG) != 0);
        ASSERT_GE(packet.fields.size(), 2u);
        EXPECT_EQ(0x4439, packet.fields[0].id);
        EXPECT_EQ(0x4434, packet.fields[1].id);
        for (const auto& f : packet.fields) ++seen[f.id];
        const int32_t key = model.Apply(packet);
        ASSERT_EQ(session.LastKey(), key);
        for (const auto& [k, depth] : model.Depths())
            ASSERT_EQ(0, memcmp(&depth, &session.Expected(k), sizeof depth)) << "packet " << n << " key " << k;
    }
    for (uint16_t id : {0x4433, 0x4435, 0x4436, 0x4437, 0x4438}) EXPECT_GT(seen[id], 0) << std::hex << id;
}

} // namespace

TEST(SyntheticSession, StreamMatchesExpectedDepth) {
    CheckStreamMatchesExpectedState(SessionConfig{}, 2000);
}

TEST(SyntheticSession, EncryptedStreamsDecryptWithTheirCodeSegment) {
    SessionConfig config;
    config.seed = 7;
    config.encrypted = true;
    CheckStreamMatchesExpectedState(config, 300);
    config.code_segment = 2;
    config.key_arg0 = 0x91;
    CheckStreamMatchesExpectedState(config, 300);
}

// The snapshot describes the start (unchanged by later packets) and the session is the same
// for the same seed.
TEST(SyntheticSession, SnapshotDescribesTheStartAndSeedsRepeat) {
    SessionConfig config;
    config.first_seqno = 100;
    SyntheticSession session(config), same(config);
    const Bytes before = session.Snapshot().Bytes();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(session.NextPacket(), same.NextPacket());
    EXPECT_EQ(before, session.Snapshot().Bytes());
    int32_t lastSeqNo;
    memcpy(&lastSeqNo, &before[8 + 66 + 4], 4);
    EXPECT_EQ(99, lastSeqNo);
    bool hasOption = false, hasBond = false;
    for (const SimInstrument& i : session.Instruments()) {
        hasOption |= i.option;
        hasBond |= i.price_tick == 0.005;
        EXPECT_LT(double(session.Initial(i.key).bid1_price), double(session.Initial(i.key).ask1_price));
    }
    EXPECT_TRUE(hasOption && hasBond);
}
