// Pixel formats into and out of I420: the RGBA byte order and colour coefficients, the
// round trip back to RGBA, and the plane layout of a YUVA420p payload of odd size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "media/i420.h"

namespace {

using namespace ostrel::loopback::media;

TEST(MediaI420, RgbaByteOrderAndYuvaPlanes) {
    // Red, green, blue, white as bytes R, G, B, A; BT.601 limited range.
    const uint8_t rgba[4 * 4] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    const int expected_y[4] = {82, 145, 41, 235};
    I420Image p;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        uint8_t block[2 * 2 * 4];
        for (int k = 0; k < 4; ++k) std::memcpy(block + 4 * k, rgba + 4 * i, 4);
        ASSERT_TRUE(rgba_to_i420(block, 8, 2, 2, p));
        EXPECT_NEAR(p.y()[0], expected_y[i], 2);
        std::vector<uint8_t> back;
        i420_to_rgba(p.view(), back);
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(back[c], rgba[4 * i + c], 4);
    }
    EXPECT_GT(p.u()[0], 120);                      // white: neutral chroma
    EXPECT_FALSE(rgba_to_i420(rgba, 4, 2, 2, p));  // stride shorter than a row

    // 5x3 YUVA420p: chroma planes are 3x2, alpha follows V and is left out.
    std::vector<uint8_t> yuva(yuva420p_bytes(5, 3));
    ASSERT_EQ(yuva.size(), 15u + 6u + 6u + 15u);
    std::fill(yuva.begin(), yuva.begin() + 15, 1);
    std::fill(yuva.begin() + 15, yuva.begin() + 21, 2);
    std::fill(yuva.begin() + 21, yuva.begin() + 27, 3);
    std::fill(yuva.begin() + 27, yuva.end(), 4);
    I420View v;
    ASSERT_TRUE(yuva420p_view(yuva.data(), yuva.size(), 5, 3, v));
    EXPECT_EQ(v.y[14], 1);
    EXPECT_EQ(v.u[0], 2);
    EXPECT_EQ(v.u[5], 2);
    EXPECT_EQ(v.v[5], 3);
    EXPECT_EQ(v.stride_u, 3);
    EXPECT_FALSE(yuva420p_view(yuva.data(), yuva.size() - 1, 5, 3, v));
    EXPECT_TRUE(i420_view(yuva.data(), i420_bytes(5, 3), 5, 3, v));
}

}  // namespace
