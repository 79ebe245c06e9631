// The reorder list and its node pool, and the buffered receive path that keeps early packets
// in sequence order until the gap is filled or given up.
#include <algorithm>
#include <random>

#include "decode_fixture.h"

namespace {

using namespace decode_test;
using Vorn_R10::CListExImpl;
using Bytes = std::vector<uint8_t>;

struct Node {
    Node* pNext;
    int value;
};

TEST(ReorderList, PoolGrowsToItsLimitAndRecycles) {
    CListExImpl<Node> list;
    EXPECT_EQ(nullptr, list.GetFree()); // no nodes before Init
    list.Init(2, 4);
    EXPECT_EQ(2, list.GetIdleCount());
    EXPECT_EQ(4, list.GetMaxCount());
    std::vector<Node*> taken;
    for (int i = 0; i < 4; ++i) {
        Node* node = list.GetFree();
        ASSERT_NE(nullptr, node);
        EXPECT_EQ(nullptr, node->pNext);
        taken.push_back(node);
    }
    EXPECT_EQ(nullptr, list.GetFree());
    EXPECT_EQ(4, list.GetTotalCount());
    EXPECT_EQ(0, list.GetIdleCount());

    // Queue operations: tail, head, behind a node, and pop from the head.
    for (int i = 0; i < 4; ++i) taken[i]->value = i;
    list.Push(taken[1]);
    list.PushHead(taken[0]);
    list.InsertAfter(taken[1], taken[3]); // behind the tail: becomes the tail
    list.InsertAfter(taken[1], taken[2]);
    EXPECT_EQ(4, list.GetQueueCount());
    std::vector<int> order;
    for (Node* n = list.Head(); n; n = n->pNext) order.push_back(n->value);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), order);
    list.Pop();
    list.Recycle(taken[0]);
    EXPECT_EQ(taken[1], list.Head());
    EXPECT_EQ(3, list.GetQueueCount());
    list.FreeAll();
    EXPECT_EQ(0, list.GetQueueCount());
    EXPECT_EQ(nullptr, list.Head());
    EXPECT_EQ(4, list.GetIdleCount());
    EXPECT_EQ(4, list.GetTotalCount());
    list.Pop(); // nothing queued: nothing happens
    EXPECT_EQ(0, list.GetQueueCount());
    Node* again = list.GetFree();
    list.Push(again); // an emptied queue takes new nodes at the head
    EXPECT_EQ(again, list.Head());
    list.Pop();
    list.Recycle(again);
}

class BufferedPath : public ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        api->m_r10ConfigInfo.exanic_cache_flag = 1;
    }
    // As start-up prepares the pool, once.
    void UseCacheSize(int32_t size) {
        api->m_r10ConfigInfo.exanic_cache_size = size;
        api->m_ExanicRecvList.Init(size, 32767);
    }
    // A frame as the receive step leaves it: payload after 42 header bytes, zeros beyond.
    void Receive(const Bytes& payload) {
        const Bytes frame = vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 30001, payload);
        memset(api->m_recvBufDma0, 0, sizeof api->m_recvBufDma0);
        memcpy(api->m_recvBufDma0, frame.data(), frame.size());
        const auto* header = reinterpret_cast<const df_udp_header*>(api->m_recvBufDma0 + 42);
        api->ExanicCffexDMA0_Buffer(header, 42, static_cast<uint32_t>(frame.size()));
        EXPECT_LE(api->m_ExanicRecvList.GetTotalCount(), api->m_r10ConfigInfo.exanic_cache_size + 1);
    }
    void Receive(uint32_t seqno, int32_t tag) { Receive(BestPacket(seqno, kA, tag).Bytes()); }
    std::vector<uint32_t> Queued() {
        std::vector<uint32_t> seqnos;
        for (sExanicRecv* n = api->m_ExanicRecvList.Head(); n; n = n->pNext) seqnos.push_back(n->seqno);
        return seqnos;
    }
    // The bid tick each delivery carried (base 3000, tick 0.2).
    std::vector<int32_t> DeliveredTags() {
        std::vector<int32_t> tags;
        for (const VornCffexMdType& r : Recorded().v2) tags.push_back(static_cast<int32_t>((r.bid1_price - 3000000) / 200));
        return tags;
    }
};

TEST_F(BufferedPath, GapFilledInTimeWithDuplicatesInArrivalOrder) {
    UseCacheSize(5);
    Receive(104, 41);
    Receive(103, 30);
    Receive(104, 42);
    Receive(102, 20);
    EXPECT_EQ((std::vector<uint32_t>{102, 103, 104, 104}), Queued());
    EXPECT_TRUE(Recorded().versions.empty());
    Receive(101, 10);
    EXPECT_EQ((std::vector<int32_t>{10, 20, 30, 41}), DeliveredTags());
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(104u, api->m_CurUdpNo);
    EXPECT_EQ(31, api->GetTrustFlag(kB));
    EXPECT_EQ(5, api->m_ExanicRecvList.GetIdleCount());
    EXPECT_EQ(0u, CountLines(LogText(), "UdpNo is not seq"));
    // Old packets reach the parser and are dropped there, without a trust reset.
    Receive(104, 43);
    Receive(50, 44);
    EXPECT_EQ(4u, Recorded().v2.size());
    EXPECT_EQ(31, api->GetTrustFlag(kB));
}

TEST_F(BufferedPath, FullListIsFlushedInOrderAndTheGapGivenUp) {
    UseCacheSize(3);
    Receive(104, 4);
    Receive(103, 3);
    Receive(102, 2);
    EXPECT_EQ(31, api->GetTrustFlag(kB));
    Receive(105, 5);
    EXPECT_EQ((std::vector<int32_t>{2, 3, 4, 5}), DeliveredTags());
    EXPECT_EQ(105u, api->m_CurUdpNo);
    EXPECT_EQ(0, api->GetTrustFlag(kB));
    EXPECT_EQ(1, api->GetTrustFlag(kA)); // the flushed best fields set their bit again
    EXPECT_EQ(4, api->m_ExanicRecvList.GetTotalCount());
    EXPECT_EQ(4, api->m_ExanicRecvList.GetIdleCount());
    const std::string log = LogText();
    EXPECT_EQ(4u, CountLines(log, "dma0 recv buffer, pUdpHeader->seqno is ")) << log;
    EXPECT_EQ(1u, CountLines(log, "dma0 recv buffer, pUdpHeader->seqno is 102, m_CurUdpNo is 100.")) << log;
    EXPECT_EQ(1u, CountLines(log, "dma0 recv buffer, pUdpHeader->seqno is 105, m_CurUdpNo is 104.")) << log;
    EXPECT_EQ(4u, CountLines(log, "add buffer, recvSize is ")) << log;
}

// Any arrival order within a window: each packet is delivered at most once, in sequence
// order, and the pool never owns more than the queue's size plus one.
TEST_F(BufferedPath, ShuffledArrivalsStayOrderedWithABoundedPool) {
    UseCacheSize(3);
    std::mt19937 random(7);
    std::vector<uint32_t> arrivals;
    for (uint32_t window = 0; window < 40; ++window) {
        std::vector<uint32_t> seqnos;
        for (uint32_t i = 1; i <= 5; ++i) seqnos.push_back(kLastSeqNo + window * 5 + i);
        std::shuffle(seqnos.begin(), seqnos.end(), random);
        if (window % 7 == 3) seqnos.pop_back(); // now and then one is lost
        arrivals.insert(arrivals.end(), seqnos.begin(), seqnos.end());
    }
    for (uint32_t seqno : arrivals) Receive(seqno, static_cast<int32_t>(seqno));
    const std::vector<int32_t> tags = DeliveredTags();
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
    EXPECT_EQ(tags.end(), std::adjacent_find(tags.begin(), tags.end()));
    EXPECT_GT(tags.size(), arrivals.size() * 3 / 4); // late ones behind a flush are dropped as stale
    EXPECT_LE(api->m_ExanicRecvList.GetTotalCount(), 4);
}

} // namespace
