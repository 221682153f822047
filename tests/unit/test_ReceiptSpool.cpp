// The receipt spool on a real folder: what survives a restart (a new spool on the same folder),
// in which order, and where the bounds are.
#include "ReceiptSpool.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "TestUtil.h"

using zorcee::ReceiptSpool;

namespace {

std::vector<std::string> files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        for (const dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                out.emplace_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string name(int seq, const char* suffix) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%020d.%s", seq, suffix);
    return buf;
}

}  // namespace

TEST(ReceiptSpool, OrdersSurviveARestartInArrivalOrderAndStartedOnesAreInterrupted) {
    testutil::TempDir tmp;
    const std::string dir = tmp.file("var/spool");  // parents are created too
    std::string error;
    {
        ReceiptSpool spool(dir, 10, 1000);
        ASSERT_TRUE(spool.open(error)) << error;
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        for (const char* text : {"a", "b", "c", "d"}) {
            EXPECT_EQ(spool.add(text, error), ReceiptSpool::AddResult::Added);
        }
        ReceiptSpool::Entry e;
        ASSERT_TRUE(spool.next(e));
        EXPECT_EQ(e.text, "a");
        EXPECT_TRUE(spool.markStarted(e.seq));
        spool.remove(e.seq);  // answered
        ASSERT_TRUE(spool.next(e));
        EXPECT_EQ(e.text, "b");
        EXPECT_TRUE(spool.markStarted(e.seq));
        EXPECT_TRUE(spool.setRowId(e.seq, 4294967302));
        // Stopped here: "b" was running, "c" and "d" waiting.
        EXPECT_EQ(spool.count(), 3u);
    }
    EXPECT_EQ(files(dir), (std::vector<std::string>{name(2, "row"), name(2, "run"),
                                                    name(3, "order"), name(4, "order")}));
    // A file cut off while being written was never acknowledged as received: it goes.
    testutil::writeFile(dir + "/" + name(5, "tmp"), "half");

    ReceiptSpool again(dir, 10, 1000);
    ASSERT_TRUE(again.open(error)) << error;
    const auto interrupted = again.takeInterrupted();
    ASSERT_EQ(interrupted.size(), 1u);
    EXPECT_EQ(interrupted[0].text, "b");
    EXPECT_EQ(interrupted[0].rowId, 4294967302);
    EXPECT_TRUE(again.takeInterrupted().empty());  // handed out once

    EXPECT_EQ(again.add("e", error), ReceiptSpool::AddResult::Added);
    std::string order;
    ReceiptSpool::Entry e;
    while (again.next(e)) {
        order += e.text;
        again.remove(e.seq);
    }
    EXPECT_EQ(order, "cde");
    again.remove(interrupted[0].seq);
    EXPECT_EQ(files(dir), std::vector<std::string>{});
    EXPECT_EQ(again.count(), 0u);
    EXPECT_EQ(again.bytes(), 0u);
}

TEST(ReceiptSpool, BoundsOfCountAndSize) {
    struct Case {
        size_t maxOrders;
        uint64_t maxBytes;
        std::vector<std::string> texts;
        size_t accepted;  // the first `accepted` texts fit, the rest are refused
    };
    const Case cases[] = {
        {2, 1000, {"x", "y", "z"}, 2},
        {10, 10, {"12345", "12345", "1"}, 2},
        {10, 10, {"12345678901"}, 0},
    };
    for (const auto& c : cases) {
        testutil::TempDir tmp;
        ReceiptSpool spool(tmp.file("s"), c.maxOrders, c.maxBytes);
        std::string error;
        ASSERT_TRUE(spool.open(error));
        for (size_t n = 0; n < c.texts.size(); ++n) {
            const auto result = spool.add(c.texts[n], error);
            EXPECT_EQ(result, n < c.accepted ? ReceiptSpool::AddResult::Added
                                             : ReceiptSpool::AddResult::Full)
                << n;
        }
        EXPECT_EQ(files(tmp.file("s")).size(), c.accepted);
        if (c.accepted < c.texts.size()) {
            EXPECT_NE(error.find("order spool full"), std::string::npos) << error;
        }
        // Room again once an order is done.
        ReceiptSpool::Entry e;
        if (spool.next(e)) {
            spool.remove(e.seq);
            EXPECT_EQ(spool.add("1", error), ReceiptSpool::AddResult::Added);
        }
    }
}

TEST(ReceiptSpool, UnusableFolderIsNamedInTheError) {
    testutil::TempDir tmp;
    testutil::writeFile(tmp.file("file"), "x");
    for (const std::string& dir : {tmp.file("file"), tmp.file("file/spool"), std::string()}) {
        ReceiptSpool spool(dir, 10, 1000);
        std::string error;
        EXPECT_FALSE(spool.open(error)) << dir;
        EXPECT_NE(error.find(dir.empty() ? "no spool folder" : dir), std::string::npos) << error;
    }
}
