#include <gtest/gtest.h>

#include "connector_harness.h"
#include "synthetic_session.h"

using namespace vorn_test;

TEST(Smoke, SoftwareSession) {
    vorn_sim::SyntheticSession session;
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run({{"insts", "all"}, {"options", "recv"}});
    ASSERT_EQ(0, run.Start());
    for (int i = 0; i < 100; ++i) run.Put(0, session.NextFrame());
    ASSERT_TRUE(run.Drain());
    EXPECT_EQ(0, run.Stop());
    EXPECT_EQ(200u, Deliveries().size()) << run.Stdout();
}
