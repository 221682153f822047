// The receipt spool on a real folder: what a restart (a new spool on the same folder) finds, in
// which order, which receipts count as redelivered, and where the bounds are.
#include "ReceiptSpool.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

using zorcee::ReceiptSpool;

namespace {
ReceiptSpool::AddResult add(ReceiptSpool& spool, const char* text, bool redelivered = false) {
    std::string error;
    return spool.add("cee/order", text, redelivered, error);
}
}  // namespace

TEST(ReceiptSpool, RestartOrderInterruptedOrdersStoredAnswersAndBounds) {
    testutil::TempDir tmp;
    const std::string dir = tmp.file("var/spool");
    std::string error;
    {
        ReceiptSpool spool(dir, 10, 1000);
        ASSERT_TRUE(spool.open(error)) << error;
        for (const char* text : {"a", "b", "c", "d", "e"}) {
            EXPECT_EQ(add(spool, text), ReceiptSpool::AddResult::Added);
        }
        ReceiptSpool::Entry e;
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq, error));
        ASSERT_TRUE(spool.storeAnswer(e.seq, "answer a", error));
        spool.remove(e.seq);  // "a" acknowledged
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq, error));
        EXPECT_TRUE(spool.setRowId(e.seq, 4294967302));
        ASSERT_TRUE(spool.storeAnswer(e.seq, "answer b", error));  // "b" answered, not acked
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq, error));
        EXPECT_TRUE(spool.setRowId(e.seq, 7));
        // Stopped here: "c" was running, "d" and "e" waiting.
    }

    // A file cut off while being written was never acknowledged as received: it goes.
    testutil::writeFile(dir + "/00000000000000000009.tmp", "half");
    ReceiptSpool again(dir, 10, 1000);
    ASSERT_TRUE(again.open(error)) << error;
    EXPECT_FALSE(testutil::exists(dir + "/00000000000000000009.tmp"));
    const auto answers = again.takeAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].text, "answer b");  // answered with that answer again, never run
    const auto interrupted = again.takeInterrupted();
    ASSERT_EQ(interrupted.size(), 1u);
    EXPECT_EQ(interrupted[0].text + " " + std::to_string(interrupted[0].rowId), "c 7");
    EXPECT_TRUE(again.takeInterrupted().empty());  // handed out once, never run again

    EXPECT_EQ(add(again, "f"), ReceiptSpool::AddResult::Added);
    std::string order;
    ReceiptSpool::Entry e;
    while (again.next(e)) {
        order += e.text;
        again.remove(e.seq);
    }
    EXPECT_EQ(order, "def");

    // Bounds: at most 2 orders and 10 bytes here; a stored answer counts with its size.
    ReceiptSpool spool(tmp.file("s"), 2, 10);
    ASSERT_TRUE(spool.open(error));
    std::string results;
    for (const char* text : {"123456", "12345", "1234", "1"}) {
        results += std::to_string(static_cast<int>(add(spool, text)));
    }
    ASSERT_TRUE(spool.next(e));
    spool.remove(e.seq);  // room again once an order is done
    results += std::to_string(static_cast<int>(add(spool, "1")));
    ASSERT_TRUE(spool.next(e) && spool.storeAnswer(e.seq, "123456789", error));
    results += std::to_string(static_cast<int>(add(spool, "2")));
    EXPECT_EQ(results, "010101");  // 0 added, 1 full: too many bytes, then too many orders
}

TEST(ReceiptSpool, OnlyARedeliveryOfARecentReceiptIsADuplicate) {
    testutil::TempDir tmp;
    ReceiptSpool spool(tmp.file("s"), 10, 1000);
    std::string error;
    ASSERT_TRUE(spool.open(error));
    std::string results;
    for (const auto& [text, redelivered] :
         {std::pair{"x", false}, {"x", false}, {"x", true}, {"y", true}, {"y", true}}) {
        results += std::to_string(static_cast<int>(add(spool, text, redelivered)));
    }
    EXPECT_EQ(results, "00303");  // 3: a duplicate, nothing stored
    EXPECT_EQ(spool.count(), 3u);
}
