// Inside the connector in hardware mode: the version-1 record stays untouched without a
// version-1 consumer, receive buffers keep no bytes of an earlier frame, and the table rows
// follow the depth map's order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "VornCffexMdApiImpl.h"
#include "exanic_dma.h"
#include "exanic_reg.h"
#include "hardware_fixture.h"
#include "vorn_firmware.h"

using namespace Vorn_R10;

namespace {

std::vector<VornCffexMdType> g_v2;
int g_v1Calls = 0;
void OnV1(MarketDepthUpdate*) { ++g_v1Calls; }
void OnV2(VornCffexMdType* record) { g_v2.push_back(*record); }

// A simulated card with the connector's register window and channels opened on it.
class HardwareConnector : public testing::Test {
protected:
    void SetUp() override {
        CCommonLog::GetInstance().SetLogLevel(static_cast<ELOGLEVEL>(0));
        device_ = "vu" + std::to_string(getpid());
        ASSERT_EQ(0, vorn_sim_create(device_.c_str()));
        handle_ = exanic_acquire_handle(device_.c_str());
        ASSERT_NE(nullptr, handle_);
        ASSERT_EQ(0, CExanicReg::GetInstance().fpga_init(handle_));
        ASSERT_EQ(0, CExanicDMA::GetInstance().exanic_dma1_init(handle_));
        card_ = std::make_unique<vorn_firmware::FirmwareCard>(device_);
        api_ = std::make_unique<CVornCffexMdApiImpl>();
        g_v2.clear();
        g_v1Calls = 0;
    }
    void TearDown() override {
        set_parse_data(nullptr);
        set_parse_data_version_2(nullptr);
        card_.reset();
        if (exanic_rx_t* rx = CExanicDMA::GetInstance().get_dma1_ptr()) exanic_release_rx_buffer(rx);
        if (handle_) exanic_release_handle(handle_);
        vorn_sim_remove(device_.c_str());
    }
    // Polls channel 1 until the frames put so far are taken (bounded).
    void ReceiveAll() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (vorn_sim_backlog(card_->Card(), 1) > 0 && std::chrono::steady_clock::now() < deadline)
            api_->ExanicCffexDMA1();
        ASSERT_EQ(0u, vorn_sim_backlog(card_->Card(), 1));
    }

    std::string device_;
    exanic_t* handle_ = nullptr;
    std::unique_ptr<vorn_firmware::FirmwareCard> card_;
    std::unique_ptr<CVornCffexMdApiImpl> api_;
};

} // namespace

TEST_F(HardwareConnector, WithoutVersion1ConsumerTheVersion1RecordIsNeverWritten) {
    set_parse_data_version_2(OnV2);
    memset(&api_->m_MktDepUpdate, 0xAB, sizeof api_->m_MktDepUpdate);
    VornCffexMdType record = vorn_firmware::MakeRecord(1001, "IF2612");
    record.last_price = 12346;
    ASSERT_TRUE(card_->PutRecord(record));
    ReceiveAll();
    ASSERT_EQ(1u, g_v2.size());
    const std::vector<uint8_t> poisoned(sizeof(MarketDepthUpdate), 0xAB);
    EXPECT_EQ(0, memcmp(poisoned.data(), &api_->m_MktDepUpdate, poisoned.size()));

    set_parse_data(OnV1);
    ASSERT_TRUE(card_->PutRecord(record));
    ReceiveAll();
    EXPECT_EQ(1, g_v1Calls);
    const std::vector<uint8_t> zero(sizeof(MarketDepthUpdate), 0);
    EXPECT_EQ(0, memcmp(zero.data(), &api_->m_MktDepUpdate, zero.size())) << "cleared after the call";
}

TEST_F(HardwareConnector, ShortFrameAfterLongOneReadsZeroBeyondItsEnd) {
    set_parse_data_version_2(OnV2);
    std::vector<uint8_t> big(1500, 0xEE);
    ASSERT_TRUE(card_->PutFrame(1, big));
    VornCffexMdType record = vorn_firmware::MakeRecord(1001, "IF2612");
    record.trust_flag = -1;
    ASSERT_TRUE(card_->PutRecord(record, 276));
    ReceiveAll();
    ASSERT_EQ(2u, g_v2.size());
    EXPECT_EQ(0xFFFFFFFFLL, +g_v2[1].trust_flag);
}

TEST_F(HardwareConnector, TableRowsFollowTheDepthMapAndOnlyIdsBelow2048AreWritten) {
    for (int32_t key : {5, 1001, 77, 2048, 3, 1500, -2, 900, 2047, 42}) {
        const std::string id = "IF" + std::to_string(2600 + (key & 0xFF));
        api_->m_ins_price_infos[key] = hw_test::Encoding(id, key);
        api_->m_depth_market_data_infos[key] = vorn_sim::MakeDepth(hw_test::Spec(id, key));
    }
    ASSERT_EQ(0, api_->_MarketToContract());
    std::vector<int32_t> mapOrder, tableOrder;
    for (const auto& entry : api_->m_depth_market_data_infos) mapOrder.push_back(entry.first);
    for (const SCffexInstTableType& row : api_->m_instTable) tableOrder.push_back(static_cast<int32_t>(row.inst_id));
    EXPECT_EQ(mapOrder, tableOrder);

    ASSERT_EQ(0, api_->_WriteContractTable(api_->m_instTable, 2048));
    const SCffexInstTableType* lastWritten = nullptr;
    for (const SCffexInstTableType& row : api_->m_instTable)
        if (static_cast<int32_t>(row.inst_id) < 2048) lastWritten = &row;
    ASSERT_NE(nullptr, lastWritten);
    const SCffexInstTableType window = card_->TableWindow();
    EXPECT_EQ(0, memcmp(lastWritten, &window, sizeof window));
}
