// The receipt spool on a real folder: what a restart (a new spool on the same folder) finds, in
// which order, and where the bounds are.
#include "ReceiptSpool.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

using zorcee::ReceiptSpool;

TEST(ReceiptSpool, RestartOrderInterruptedOrdersAndBounds) {
    testutil::TempDir tmp;
    const std::string dir = tmp.file("var/spool");
    std::string error;
    {
        ReceiptSpool spool(dir, 10, 1000);
        ASSERT_TRUE(spool.open(error)) << error;
        for (const char* text : {"a", "b", "c", "d"}) {
            EXPECT_EQ(spool.add(text, error), ReceiptSpool::AddResult::Added);
        }
        ReceiptSpool::Entry e;
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq));
        spool.remove(e.seq);  // "a" answered
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq));
        EXPECT_TRUE(spool.setRowId(e.seq, 4294967302));
        // Stopped here: "b" was running, "c" and "d" waiting.
    }

    // A file cut off while being written was never acknowledged as received: it goes.
    testutil::writeFile(dir + "/00000000000000000005.tmp", "half");
    ReceiptSpool again(dir, 10, 1000);
    ASSERT_TRUE(again.open(error)) << error;
    EXPECT_FALSE(testutil::exists(dir + "/00000000000000000005.tmp"));
    const auto interrupted = again.takeInterrupted();
    ASSERT_EQ(interrupted.size(), 1u);
    EXPECT_EQ(interrupted[0].text + " " + std::to_string(interrupted[0].rowId), "b 4294967302");
    EXPECT_TRUE(again.takeInterrupted().empty());  // handed out once, never run again

    EXPECT_EQ(again.add("e", error), ReceiptSpool::AddResult::Added);
    std::string order;
    ReceiptSpool::Entry e;
    while (again.next(e)) {
        order += e.text;
        again.remove(e.seq);
    }
    EXPECT_EQ(order, "cde");

    // Bounds: at most 2 orders and 10 bytes here.
    ReceiptSpool spool(tmp.file("s"), 2, 10);
    ASSERT_TRUE(spool.open(error));
    std::string results;
    for (const char* text : {"123456", "12345", "1234", "1"}) {
        results += std::to_string(static_cast<int>(spool.add(text, error)));
    }
    ASSERT_TRUE(spool.next(e));
    spool.remove(e.seq);  // room again once an order is done
    results += std::to_string(static_cast<int>(spool.add("1", error)));
    EXPECT_EQ(results, "01010");  // 0 added, 1 full: too many bytes, then too many orders
}
