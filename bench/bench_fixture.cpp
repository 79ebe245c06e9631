#include "bench_fixture.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exanic_dma.h"
#include "feed_encoder.h"
#include "output_records.h"
#include "sample_code.h"

namespace vorn_bench {

std::string PrivateDir(const char* stem) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "_XXXXXX";
    if (!mkdtemp(&pattern[0])) abort();
    return pattern;
}

PreparedConnector::PreparedConnector(const vorn_sim::SessionConfig& config) : session(config) {
    Vorn_R10::CCommonLog::GetInstance().SetLogLevel(static_cast<Vorn_R10::ELOGLEVEL>(0));
    snapshotPath = "/tmp/vorn_bench_snapshot_" + std::to_string(getpid()) + ".bin";
    session.Snapshot().WriteFile(snapshotPath);
    api.init_snaphot_params();
    init_market_data();
    if (api.LoadFromFile(snapshotPath) != 0) abort();
    api.m_CurUdpNo = static_cast<uint32_t>(api.m_EndSnapMdField.last_md_seqno);
    api.m_r10ConfigInfo.channelInfo[0].recvall = true;
    api.m_r10ConfigInfo.channelInfo[0].options = true;
    api.m_instMap[0].emplace_back("all");
    api.m_r10ConfigInfo.exanic_cache_flag = 1;
    api.m_r10ConfigInfo.exanic_cache_size = 10;
    api.m_ExanicRecvList.Init(10, 32767);
    api.ParseFeedChannels();
    api.m_counters.SetLatencySampling(api.m_r10ConfigInfo.latency_sample); // as start-up does
    gfunc_parser = SinkV1;
    gfunc_parser_verison_2 = SinkV2;
}

BenchCard::BenchCard() {
    name = "vbench" + std::to_string(getpid());
    vorn_sim_create(name.c_str());
    card = vorn_sim_open(name.c_str());
    handle = exanic_acquire_handle(name.c_str());
    Bind();
}

void BenchCard::Bind() {
    Vorn_R10::CExanicDMA& dma = Vorn_R10::CExanicDMA::GetInstance();
    if (!rx0 || dma.get_dma0_ptr() != rx0) {
        dma.exanic_dma0_init(handle);
        rx0 = dma.get_dma0_ptr();
    }
    if (!rx1 || dma.get_dma1_ptr() != rx1) {
        dma.exanic_dma1_init(handle);
        rx1 = dma.get_dma1_ptr();
    }
}

BenchCard::~BenchCard() {
    vorn_sim_close(card);
    vorn_sim_remove(name.c_str());
}

void BenchCard::Put(int port, const std::vector<uint8_t>& frame) {
    vorn_sim_put_frame(card, port, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0);
}

BenchCard& Card() {
    static BenchCard card;
    card.Bind();
    return card;
}

PreparedConnector::~PreparedConnector() { unlink(snapshotPath.c_str()); }

std::vector<uint8_t> TypicalPacket(const vorn_sim::SyntheticSession& session, uint32_t seqno, bool encrypted,
                                   int priceFields) {
    const vorn_sim::SimInstrument& instrument = session.Instruments().front();
    const ins_price_encode_info_field encoding = vorn_sim::PriceEncodingOf(instrument);
    const depth_market_data_field& depth = session.Initial(instrument.key);
    const int64_t bid = vorn_sim::PriceToTicks(depth.bid1_price, encoding);
    const encrypt_code_segment_field code = session.CodeSegment();
    vorn_sim::PacketBuilder packet(seqno);
    packet.UpdateTime(instrument.key, 10 * 3600 + 15 * 60 + 7, 500);
    if (priceFields >= 1) packet.Best(bid, 12, bid + 1, 7);
    if (priceFields >= 2) packet.LastMatch(bid, 104522, 3.1415926e9, 182334);
    if (priceFields >= 3) packet.Bid23(bid - 1, 30, bid - 2, 41);
    if (encrypted) packet.Encrypted(true, code.arg1);
    return packet.Bytes();
}

// The records are packed: a member is read into a local, never bound to a reference.
void SinkV1(MarketDepthUpdate* record) {
    const double price = record->BidPrice1;
    benchmark::DoNotOptimize(price);
}
void SinkV2(VornCffexMdType* record) {
    const int64_t price = record->bid1_price;
    benchmark::DoNotOptimize(price);
}

void Baseline::Run(const uint8_t* payload, size_t size) {
    memcpy(scratch, payload, size);
    benchmark::DoNotOptimize(scratch);
    Deliver();
}

void Baseline::Deliver() {
    benchmark::DoNotOptimize(onV2);
    benchmark::DoNotOptimize(onV1);
    CopyRecord(&v2, &v2Source, sizeof v2);
    onV2(&v2);
    ClearRecord(&v2, sizeof v2);
    CopyRecord(&v1, &v1Source, sizeof v1);
    onV1(&v1);
    ClearRecord(&v1, sizeof v1);
    benchmark::ClobberMemory();
}

} // namespace vorn_bench
