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
    // Writes text through a device context of the back buffer, first filled with Grey.
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

TEST(MemoryDisplaySetUp, OffersOnly800By600At32Bits) {
    EXPECT_LT(InitDisplay(nullptr, 640, 480, 32), 0);
    EXPECT_LT(InitDisplay(nullptr, 800, 600, 16), 0);
    EXPECT_EQ(BackBuffer, nullptr);
    EXPECT_STRNE(DisplayErrorText(), "");
    ShutdownDisplay();
    ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
    EXPECT_TRUE(DisplayObject != nullptr && PrimarySurface != nullptr && BackBuffer != nullptr);
    EXPECT_GE(MemoryPitch(), 3200);
    ShutdownDisplay();
    ShutdownDisplay();
    EXPECT_EQ(DisplayObject, nullptr);
    EXPECT_EQ(MemoryFrontPixels(), nullptr);
}

// Lock/Unlock and GetDC/ReleaseDC pair strictly, each excluding the other and the flip; failures
// ordered by FailNext* hit the next call only, and every call is logged.
TEST_F(MemoryDisplayTest, LockAndDeviceContextArePairedStrictlyAndLogged) {
    LockDescription lock{};
    DeviceContext* context = nullptr;
    EXPECT_EQ(BackBuffer->Unlock(), DisplayErrorNotLocked);
    ASSERT_EQ(BackBuffer->Lock(lock), DisplayOk);
    EXPECT_EQ(lock.Surface, MemoryBackPixels());
    EXPECT_EQ(lock.Pitch, MemoryPitch());
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
    EXPECT_TRUE(log[1].Call == DisplayCall::GetDC && log[2].Call == DisplayCall::Lock);
    EXPECT_TRUE(log[2].Result == DisplayOk && log[3].Call == DisplayCall::Unlock);
}

TEST_F(MemoryDisplayTest, ColourFillCoversTheRectangleOnlyAndFlipShowsIt) {
    const std::vector<uint8_t> before(MemoryBackPixels(), MemoryBackPixels() + 600 * MemoryPitch());
    ASSERT_EQ(BackBuffer->Blt(Rect{10, 20, 30, 40}, BltEffects{Grey}), DisplayOk);
    EXPECT_EQ(BackWord(10, 20), Grey);
    EXPECT_EQ(BackWord(29, 39), Grey);
    EXPECT_EQ(BackWord(30, 39), 0u);
    EXPECT_EQ(BackWord(29, 40), 0u);
    ASSERT_EQ(BackBuffer->Blt(Rect{0, 0, 800, 600}, BltEffects{0}), DisplayOk);
    EXPECT_EQ(std::memcmp(before.data(), MemoryBackPixels(), before.size()), 0);  // padding kept
    ASSERT_EQ(BackBuffer->Blt(Rect{0, 0, 800, 600}, BltEffects{Grey}), DisplayOk);
    EXPECT_NE(std::memcmp(MemoryFrontPixels(), MemoryBackPixels(), before.size()), 0);
    ASSERT_EQ(PrimarySurface->Flip(), DisplayOk);
    EXPECT_EQ(std::memcmp(MemoryFrontPixels(), MemoryBackPixels(), before.size()), 0);
}

TEST_F(MemoryDisplayTest, TextIsBlueOnABlackBoxAtItsCornerClippedAndRepeatsExactly) {
    DrawThroughContext(0, 0, "FPS: 60.0");
    int32_t blue = 0, boxWidth = 0;
    while (boxWidth < 800 && BackWord(boxWidth, 0) != Grey) {
        ++boxWidth;
    }
    EXPECT_GT(boxWidth, 40);
    for (int32_t row = 0; row < 8; ++row) {
        for (int32_t column = 0; column < boxWidth; ++column) {
            const uint32_t word = BackWord(column, row);
            ASSERT_TRUE(word == 0 || word == 0x000000FF) << column << ", " << row;
            blue += word == 0x000000FF ? 1 : 0;  // bytes B, G, R, unused
        }
    }
    EXPECT_GT(blue, 10);
    DrawThroughContext(790, 595, "FPS: 60.0");
    EXPECT_EQ(BackWord(789, 599), Grey);
    EXPECT_EQ(BackWord(790, 594), Grey);
    EXPECT_EQ(BackWord(790, 595), 0u);           // the box's first pixel is background
    for (int32_t row = 595; row < 600; ++row) {  // nothing spilled into the rows' padding
        EXPECT_EQ(MemoryBackPixels()[row * MemoryPitch() + 3200], 0xCD);
    }
    DrawThroughContext(-5, -3, "AB");
    const std::vector<uint8_t> first(MemoryBackPixels(), MemoryBackPixels() + 30 * MemoryPitch());
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
