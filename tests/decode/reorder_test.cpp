// The reorder list and its node pool (the buffered path itself is tested end to end and in
// the soak test).
#include <gtest/gtest.h>

#include <vector>

#include "listex.h"

namespace {

using Vorn_R10::CListExImpl;

struct Node {
    Node* pNext;
    int value;
};

std::vector<int> Order(CListExImpl<Node>& list) {
    std::vector<int> order;
    for (Node* n = list.Head(); n; n = n->pNext) order.push_back(n->value);
    return order;
}

TEST(ReorderList, PoolGrowsToItsLimitAndRecycles) {
    CListExImpl<Node> list;
    EXPECT_EQ(nullptr, list.GetFree()); // no nodes before Init
    list.Init(2, 4);
    EXPECT_EQ(2, list.GetIdleCount());
    std::vector<Node*> taken;
    for (int i = 0; i < 4; ++i) {
        taken.push_back(list.GetFree());
        ASSERT_NE(nullptr, taken.back());
        EXPECT_EQ(nullptr, taken.back()->pNext);
        taken.back()->value = i;
    }
    EXPECT_EQ(nullptr, list.GetFree());
    EXPECT_EQ(4, list.GetTotalCount());
    EXPECT_EQ(0, list.GetIdleCount());

    list.Push(taken[1]);
    list.PushHead(taken[0]);
    list.InsertAfter(taken[1], taken[3]); // behind the tail: becomes the tail
    list.InsertAfter(taken[1], taken[2]);
    EXPECT_EQ(4, list.GetQueueCount());
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), Order(list));
    list.Pop();
    list.Recycle(taken[0]);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), Order(list));
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

} // namespace
