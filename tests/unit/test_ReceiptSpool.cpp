// The receipt spool on a real folder: what a restart (a new spool on the same folder) finds, in
// which order, which receipts count as redelivered, and where the bounds are.
#include "ReceiptSpool.h"

#include <gtest/gtest.h>

#include <functional>

#include "FileUtil.h"
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
    std::string answer;
    ASSERT_TRUE(again.readAnswer(answers[0].seq, answer));
    EXPECT_EQ(answer, "answer b");  // answered with that answer again, never run
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

// What a start finds: files an earlier version left (an answer in a file of its own, orders
// without a file for their answer), answers cut off by a crash, removals cut short. Each order
// ends answered with its stored answer, answered as interrupted, or run: never two of them, and
// the next start finds the same answers again.
TEST(ReceiptSpool, EarlierVersionsFilesAnswersCutOffAndRemovalsCutShort) {
    const std::string n1 = "/00000000000000000001", n2 = "/00000000000000000002";
    // Orders 1 "x" and 2 "y" started; 2 answered "answer y" (stored by this version).
    const auto twoStarted = [](const std::string& dir) {
        ReceiptSpool spool(dir, 10, 1000);
        std::string error;
        ReceiptSpool::Entry e;
        ASSERT_TRUE(spool.open(error) && add(spool, "x") == ReceiptSpool::AddResult::Added &&
                    add(spool, "y") == ReceiptSpool::AddResult::Added);
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq, error));
        ASSERT_TRUE(spool.next(e) && spool.markStarted(e.seq, error) &&
                    spool.storeAnswer(e.seq, "answer y", error));
    };
    struct Case {
        const char* name;
        std::function<void(const std::string&)> prepare;
        // answers|interrupted|waiting at a start, then at the next one (after each interrupted
        // order was answered "failed ...", as the agent does)
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"earlier version: an answer in a file of its own, a started and a waiting order",
         [&](const std::string& d) {
             testutil::writeFile(d + n1 + ".ans", "old answer");
             testutil::writeFile(d + n2 + ".run", "c");
             testutil::writeFile(d + "/00000000000000000003.order", "w");
         },
         "old answer,|c,|w,", "old answer,failed c,||w,"},
        {"an answer cut off while written: its order was interrupted",
         [&](const std::string& d) {
             twoStarted(d);
             const std::string whole = testutil::readFile(d + n2 + ".out");
             testutil::writeFile(d + n1 + ".out", whole.substr(0, whole.size() - 1));
         },
         "answer y,|x,|", "failed x,answer y,||"},
        {"an answer without its end: its order was interrupted",
         [&](const std::string& d) {
             twoStarted(d);
             testutil::writeFile(d + n1 + ".out", "answer x");
         },
         "answer y,|x,|", "failed x,answer y,||"},
        {"an answer stored, the order's file not yet removed: answered, not interrupted",
         [&](const std::string& d) {
             twoStarted(d);
             testutil::writeFile(d + n2 + ".run", "y");
         },
         "answer y,|x,|", "failed x,answer y,||"},
        {"the place of an answer whose order is gone: removed",
         [&](const std::string& d) { testutil::writeFile(d + n1 + ".out", ""); }, "||", "||"},
    };
    for (const auto& c : cases) {
        testutil::TempDir tmp;
        const std::string dir = tmp.file("s");
        std::string error;
        ASSERT_EQ(zorcommon::makeDirectories(dir), 0);
        c.prepare(dir);
        for (const char* expected : {c.first, c.second}) {
            ReceiptSpool spool(dir, 10, 1000);
            ASSERT_TRUE(spool.open(error)) << c.name << ": " << error;
            std::string answers, interrupted, waiting, text;
            for (const auto& e : spool.takeAnswers()) {
                answers += (spool.readAnswer(e.seq, text) ? text : "?") + ",";
            }
            for (const auto& e : spool.takeInterrupted()) {
                interrupted += e.text + ",";
                EXPECT_TRUE(spool.storeAnswer(e.seq, "failed " + e.text, error)) << error;
            }
            for (ReceiptSpool::Entry e; spool.next(e);) {
                waiting += e.text + ",";
            }
            EXPECT_EQ(answers + "|" + interrupted + "|" + waiting, expected) << c.name;
        }
        EXPECT_FALSE(testutil::exists(dir + n1 + ".out") && c.first == std::string("||")) << c.name;
    }
}
