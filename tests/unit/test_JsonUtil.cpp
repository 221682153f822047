// JSON nesting bounded at 100 levels of arrays and objects alike, refused without recursing
// much deeper.
#include <gtest/gtest.h>

#include "JsonUtil.h"

namespace {
// `depth` levels of objects (shape 0), arrays (1) or both in turn (2) around the number 1.
std::string nested(int shape, size_t depth) {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) {
        const bool object = shape == 0 || (shape == 2 && i % 2 == 0);
        open += object ? "{\"a\":" : "[";
        close += object ? '}' : ']';
    }
    return open + "1" + std::string(close.rbegin(), close.rend());
}
}  // namespace

TEST(JsonUtil, NestingIsBoundedForArraysAndObjectsAlike) {
    picojson::value v;
    for (const int shape : {0, 1, 2}) {
        for (const size_t depth : {1, 100, 101, 100000}) {
            EXPECT_EQ(zorcommon::parseJson(v, nested(shape, depth)).empty(), depth <= 100)
                << shape << " " << depth;
        }
    }
}
