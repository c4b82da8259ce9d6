// memory_display_test.cpp: the in-memory display's operations, pairing rules and text output.
#include "display/memory_display.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "display/text.h"

namespace {

constexpr uint32_t Grey = 0x40404040;  // a fill no text colour produces

class MemoryDisplayTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk); }
    void TearDown() override { ShutdownDisplay(); }

    static uint32_t BackWord(int32_t column, int32_t row) {
        uint32_t word = 0;
        std::memcpy(&word, MemoryBackPixels() + row * MemoryPitch() + column * 4, 4);
        return word;
    }
    // Fills the back buffer with Grey, then writes blue on black text through a device context.
    static void DrawThroughContext(int32_t x, int32_t y, const char* text) {
        ASSERT_EQ(BackBuffer->Blt(Rect{0, 0, 800, 600}, BltEffects{Grey}), DisplayOk);
        DeviceContext* context = nullptr;
        ASSERT_EQ(BackBuffer->GetDC(context), DisplayOk);
        context->SetBkColor(0);
        context->SetTextColor(0x00FF0000);
        EXPECT_TRUE(context->TextOut(x, y, text, static_cast<int32_t>(std::strlen(text))));
        ASSERT_EQ(BackBuffer->ReleaseDC(context), DisplayOk);
    }
};

// Lock/Unlock and GetDC/ReleaseDC pair strictly, each excluding the other and the flip; failures
// ordered by FailNext* hit the next call only, and every call is logged. Only 800 x 600 at 32
// bits is offered, and a second shutdown does nothing.
TEST_F(MemoryDisplayTest, PairsStrictlyLogsEveryCallAndOffersOnly800By600At32Bits) {
    LockDescription lock{};
    DeviceContext* context = nullptr;
    EXPECT_EQ(BackBuffer->Unlock(), DisplayErrorNotLocked);
    ASSERT_EQ(BackBuffer->Lock(lock), DisplayOk);
    EXPECT_TRUE(lock.Surface == MemoryBackPixels() && lock.Pitch == MemoryPitch());
    EXPECT_LT(BackBuffer->Lock(lock), 0);
    EXPECT_LT(BackBuffer->GetDC(context), 0);
    EXPECT_LT(PrimarySurface->Flip(), 0);
    EXPECT_EQ(BackBuffer->Unlock(), DisplayOk);
    EXPECT_EQ(BackBuffer->ReleaseDC(context), DisplayErrorNotLocked);
    ASSERT_EQ(BackBuffer->GetDC(context), DisplayOk);
    EXPECT_LT(BackBuffer->Lock(lock), 0);
    EXPECT_LT(BackBuffer->ReleaseDC(nullptr), 0);
    EXPECT_EQ(BackBuffer->ReleaseDC(context), DisplayOk);
    EXPECT_LT(BackBuffer->Flip(), 0);  // only the primary surface flips
    ClearMemoryDisplayLog();
    FailNextLock();
    FailNextGetDC();
    EXPECT_LT(BackBuffer->Lock(lock), 0);
    EXPECT_LT(BackBuffer->GetDC(context), 0);
    EXPECT_EQ(BackBuffer->Lock(lock), DisplayOk);
    EXPECT_EQ(BackBuffer->Unlock(), DisplayOk);
    const auto log = MemoryDisplayLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(log[0].Call == DisplayCall::Lock && log[0].Result < 0 && !log[0].OnPrimary);
    EXPECT_TRUE(log[1].Call == DisplayCall::GetDC && log[2].Result == DisplayOk);
    ShutdownDisplay();  // and once more on tear-down, which must be harmless
    EXPECT_TRUE(DisplayObject == nullptr && MemoryFrontPixels() == nullptr);
    EXPECT_LT(InitDisplay(nullptr, 640, 480, 32), 0);
    EXPECT_LT(InitDisplay(nullptr, 800, 600, 16), 0);
    EXPECT_TRUE(BackBuffer == nullptr && DisplayErrorText()[0] != '\0');
}

// The whole-frame fill and the flip are every frame's, held by the frame checksums.
TEST_F(MemoryDisplayTest, ColourFillCoversTheRectangleOnlyAndKeepsTheRowPadding) {
    const std::vector<uint8_t> before(MemoryBackPixels(), MemoryBackPixels() + 600 * MemoryPitch());
    ASSERT_EQ(BackBuffer->Blt(Rect{10, 20, 30, 40}, BltEffects{Grey}), DisplayOk);
    EXPECT_TRUE(BackWord(10, 20) == Grey && BackWord(29, 39) == Grey);
    EXPECT_TRUE(BackWord(9, 20) == 0 && BackWord(10, 19) == 0);
    EXPECT_TRUE(BackWord(30, 39) == 0 && BackWord(29, 40) == 0);
    ASSERT_EQ(BackBuffer->Blt(Rect{0, 0, 800, 600}, BltEffects{0}), DisplayOk);
    EXPECT_EQ(std::memcmp(before.data(), MemoryBackPixels(), before.size()), 0);
}

// The text's pixels themselves are checked by the golden pictures of galaxy-render; here, its
// clipping at the frame's edges and that a text drawn again comes out the same.
TEST_F(MemoryDisplayTest, TextIsClippedToTheFrameAndRepeatsExactly) {
    DrawThroughContext(790, 595, "FPS: 60.0");
    EXPECT_TRUE(BackWord(789, 599) == Grey && BackWord(790, 594) == Grey);
    EXPECT_EQ(BackWord(790, 595), 0u);           // the box's first pixel is background
    for (int32_t row = 595; row < 600; ++row) {  // nothing spilled into the rows' padding
        EXPECT_EQ(MemoryBackPixels()[row * MemoryPitch() + 3200], 0xCD);
    }
    DrawThroughContext(-5, -3, "AB");
    const std::vector<uint8_t> first(MemoryBackPixels(), MemoryBackPixels() + 30 * MemoryPitch());
    EXPECT_NE(BackWord(0, 0), Grey);  // the box reaches the top-left corner
    DrawThroughContext(-5, -3, "CD");
    DrawThroughContext(-5, -3, "AB");
    EXPECT_EQ(std::memcmp(first.data(), MemoryBackPixels(), first.size()), 0);
}

TEST(TextFont, MissingFontIsReportedOnceAndDrawsNothing) {
    SetTextFontPath("/nonexistent/font.ttf");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenTextFont());
    EXPECT_FALSE(OpenTextFont());
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("/nonexistent/font.ttf"), std::string::npos);
    EXPECT_EQ(errors.find('\n'), errors.size() - 1);  // one line
    std::array<uint8_t, 64 * 4 * 32> pixels{};
    BufferDeviceContext context;
    context.Attach(pixels.data(), 64 * 4, 64, 32);
    EXPECT_TRUE(context.TextOut(0, 0, "FPS", 3));
    EXPECT_EQ(pixels, (std::array<uint8_t, 64 * 4 * 32>{}));
    CloseTextFont();
    SetTextFontPath(nullptr);
}

}  // namespace
