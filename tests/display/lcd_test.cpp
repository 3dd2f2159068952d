// Framebuffer, primitives and conversion on the simulated phone's /dev/fb0
// and /proc/glcd/refresh, against a plain pixel-by-pixel reference.
#include "display_util.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// The conversion as the panel defines it, pixel by pixel, over the region
// from (left, top) to (right, bottom); other pixels keep their old values.
void reference_convert(std::vector<uint8_t>& fb, const std::vector<uint8_t>& bitmap, bool gtype,
                       int left, int top, int right, int bottom)
{
    for (int y = top; y <= bottom && y < LCD_HEIGHT; ++y) {
        for (int x = left; x <= right && x < LCD_WIDTH; ++x) {
            const int n = y * LCD_WIDTH + x;
            ref_panel_pixel(fb, n, ref_bit(bitmap, n), gtype);
        }
    }
}

class Lcd : public ::testing::Test {
protected:
    void SetUp() override { rl_log_init("upgrader", 7); }
};

TEST_F(Lcd, PanelKindFromTheHardwareVersion)
{
    const struct {
        const char* hwver;
        int gtype;
    } rows[] = {{"59.0.0.1.3.0.0.0", 1},
                {"59.0.0.17.3.0.0.0", 1},
                {"59.0.0.2.3.0.0.0", 0},
                {"59.0.0.2.3.0.0.3", 1},
                {"52.0.0.1.3.0.0.0", 0},
                {"52.0.0.1.3.0.0.1", 1},
                {"59", 0}};
    for (const auto& r : rows) {
        set_hwver(r.hwver);
        EXPECT_EQ(lcdGetGtype(), r.gtype) << r.hwver;
    }
    // A blank line scans as an input failure, and nothing readable is the
    // command's empty output: both logged, neither G-type.
    phone_write_file(phone_state_path("platform/hwver"), "\n");
    EXPECT_EQ(lcdGetGtype(), 0);
    EXPECT_EQ(phone_logged(3, "lcdGetGtype  failed."), 1);
    phone_write_file(phone_state_path("platform/hwver"), "");
    EXPECT_EQ(lcdGetGtype(), 0);
    EXPECT_EQ(phone_logged(3, "fgets cat /proc/misc/hwver  failed."), 1);
}

TEST_F(Lcd, PrimitivesDrawExactlyTheirPixels)
{
    clear_bitmap();
    lcd_fill_color(5, 5, 0, 10, 1);
    lcd_fill_color(5, 5, 10, 0, 1);
    lcd_fill_color(-20, 5, 10, 3, 1); // entirely off the left edge
    EXPECT_EQ(ink_in(0, 0, 479, 271), 0);
    lcd_fill_color(470, 270, 10, 2, 1);
    EXPECT_EQ(ink_in(470, 270, 479, 271), 20);
    // Points past the last byte are dropped; x of 480 wraps to the next row.
    lcd_draw_point(0, 272, 1);
    lcd_draw_point(480, 0, 1);
    EXPECT_EQ(ink_in(0, 1, 0, 1), 1);
    EXPECT_EQ(lcd_get_point_color(0, 1), 1);
    // An icon is opaque: clear bits draw white.
    const uint8_t icon[2] = {0x05, 0x00}; // 4 x 4: row 0 is black, white, black, white
    lcd_fill_color(200, 200, 4, 4, 1);
    lcd_draw_icon(200, 200, 4, 4, icon, 2);
    EXPECT_EQ(ink_in(200, 200, 203, 203), 2);
    EXPECT_EQ(ink_in(200, 200, 200, 200) + ink_in(202, 200, 202, 200), 2);
}

// A pixel as lcd_draw_point() defines it, one at a time: 16-bit
// coordinates, bit y * 480 + x, dropped past the bitmap's last byte.
void reference_point(std::vector<uint8_t>& bitmap, long x, long y, int colour)
{
    if (x < 0 || y < 0 || x > 0xFFFF || y > 0xFFFF) return;
    if ((y * LCD_WIDTH + x) / 8 < LCD_BITMAP_SIZE) ref_set_bit(bitmap, y * LCD_WIDTH + x, colour);
}

// Fills, lines and rectangles anywhere, on or off the screen, wrapping
// past the right edge or running off the bottom: the bitmap must hold
// exactly what plotting their pixels one by one gives.
TEST_F(Lcd, AreasMatchThePixelByPixelDefinition)
{
    std::mt19937 rng(5);
    auto rnd = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
    std::vector<uint8_t> want(LCD_BITMAP_SIZE, 0);
    clear_bitmap();
    auto area = [&want](long l, long t, long r, long b, int colour) {
        for (long y = t; y <= b; ++y)
            for (long x = l; x <= r; ++x) reference_point(want, x, y, colour);
    };
    for (int round = 0; round < 600; ++round) {
        const int colour = rnd(0, 3) == 0 ? 0 : 1;
        const int kind = rnd(0, 2);
        if (kind == 0) {
            const int x = rnd(-40, 1100), y = rnd(-40, 300), w = rnd(-2, 700), h = rnd(-2, 40);
            lcd_fill_color(x, y, w, h, static_cast<uint16_t>(colour));
            if (w > 0 && h > 0) area(x, y, static_cast<long>(x) + w - 1, y + h - 1, colour);
        } else {
            const auto x1 = static_cast<uint16_t>(rnd(0, 1100)),
                       y1 = static_cast<uint16_t>(rnd(0, 300));
            const auto x2 = static_cast<uint16_t>(rnd(0, 1100)),
                       y2 = static_cast<uint16_t>(rnd(0, 300));
            const long l = std::min(x1, x2), r = std::max(x1, x2);
            const long t = std::min(y1, y2), b = std::max(y1, y2);
            if (kind == 1) {
                lcd_draw_line(x1, y1, x2, y2, static_cast<uint16_t>(colour));
                area(l, t, r, b, colour);
            } else {
                lcd_draw_rect(x1, y1, x2, y2, static_cast<uint16_t>(colour));
                area(x1, t, x1, b, colour);
                area(x2, t, x2, b, colour);
                area(l, y1, r, y1, colour);
                area(l, y2, r, y2, colour);
            }
        }
        ASSERT_EQ(bitmap_copy(), want) << "round " << round << ", kind " << kind;
    }
    // The far corner of the coordinate range: nothing lands on the screen.
    lcd_fill_color(0xFFF0, 0xFFF0, 0x40, 0x40, 1);
    EXPECT_EQ(bitmap_copy(), want);
}

TEST_F(Lcd, BitHelpersStayInsideTheirBuffers)
{
    uint8_t buf[2] = {0x80, 0x01};
    EXPECT_EQ(test_bit(7, buf, 2), 1);
    EXPECT_EQ(test_bit(8, buf, 2), 1);
    EXPECT_EQ(test_bit(16, buf, 2), 0);
    EXPECT_EQ(test_bit(8, buf, 1), 0);
    EXPECT_EQ(test_bit(0, nullptr, 2), 0);
    SetBitHByte(16, buf, 2);
    ClearBitHByte(17, buf, 2);
    EXPECT_EQ(buf[0], 0x80);
    EXPECT_EQ(buf[1], 0x01);
    EXPECT_EQ(GetBitHByte(16, buf, 2), 0);
    EXPECT_EQ(phone_logged(3, "GetBitHByte failed: byte_offset = 2, size = 2"), 1);
    uint8_t conv[4] = {0x11, 0x11, 0x11, 0x11};
    SetPixel(1, 0, conv, 4, 1);
    SetPixel(2, 0, conv, 4, 1); // byte 4: outside
    SetPixel_4bit(0, 0, conv, 4, 1);
    SetPixel_4bit(1, 0, conv, 4, 0);
    SetPixel_4bit(8, 0, conv, 4, 1); // byte 4: outside
    EXPECT_EQ(std::vector<uint8_t>(conv, conv + 4), (std::vector<uint8_t>{0xF0, 0x11, 0x00, 0x00}));
    EXPECT_EQ(phone_logged(3, "SetPixel failed: byte_offset = 4, size = 4"), 1);
    EXPECT_EQ(phone_logged(3, "SetPixel_4bit failed: byte_offset = 4, size = 4"), 1);
}

TEST_F(Lcd, ARefreshConvertsWhatWasMarkedAndCopiesEverythingOnce)
{
    set_hwver(kGtypeHwver);
    ASSERT_EQ(lcd_init(), 0);
    clear_bitmap();
    lcd_refresh(); // the first refresh converts the whole screen
    const int before = refresh_count();
    // Drawn but not marked: nothing is converted, the buffer is still
    // copied (as the first refresh converted it: all white) and the panel
    // still told.
    lcd_draw_point(5, 5, 1);
    lcd_draw_point(0, 0, 1);
    uint16_t l = 1, t = 1, r = 1, b = 1;
    EXPECT_EQ(lcd_get_redraw(&l, &t, &r, &b), 0);
    EXPECT_EQ(l + t + r + b, 0);
    lcd_refresh();
    EXPECT_EQ(framebuffer_bytes(), std::vector<uint8_t>(LCD_CONVERT_SIZE, 0xFF));
    EXPECT_EQ(refresh_count(), before + 1);
    // The region is the bounding box of the marks, not a box from (0, 0).
    lcd_set_redraw(5, 5, 5, 5);
    lcd_set_redraw(9, 9, 8, 8); // reversed: ignored
    lcd_set_redraw(7, 3, 8, 4);
    EXPECT_EQ(lcd_get_redraw(&l, &t, &r, &b), 1);
    EXPECT_EQ(std::vector<int>({l, t, r, b}), std::vector<int>({5, 3, 8, 5}));
}

// Random drawing, random marked regions, refreshes in sequence: the panel
// must hold exactly what the pixel-by-pixel definition gives, on both
// panel kinds.
TEST_F(Lcd, ConversionMatchesThePixelDefinition)
{
    for (const bool gtype : {true, false}) {
        set_hwver(gtype ? kGtypeHwver : k4bitHwver);
        devctrl_close_lcd(); // the panel is mapped anew, in its own kind
        ASSERT_EQ(lcd_init(), 0);
        std::mt19937 rng(gtype ? 11 : 12);
        auto rnd = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        clear_bitmap();
        lcd_refresh();
        std::vector<uint8_t> expected = framebuffer_bytes();
        ASSERT_EQ(expected.size(),
                  static_cast<size_t>(gtype ? LCD_CONVERT_SIZE : LCD_COPY_SIZE_4BIT));
        for (int round = 0; round < 40; ++round) {
            for (int k = 0; k < 5; ++k)
                lcd_fill_color(rnd(480), rnd(272), rnd(120), rnd(60),
                               static_cast<uint16_t>(rnd(2)));
            int left = 479, top = 271, right = 0, bottom = 0;
            const int marks = rnd(3);
            for (int m = 0; m < marks; ++m) {
                const int x = rnd(480), y = rnd(272);
                const int x2 = std::min(479, x + rnd(100)), y2 = std::min(271, y + rnd(100));
                lcd_set_redraw(x, y, x2, y2);
                left = std::min(left, x);
                top = std::min(top, y);
                right = std::max(right, x2);
                bottom = std::max(bottom, y2);
            }
            // Only what was marked is converted; nothing when nothing was.
            if (marks > 0)
                reference_convert(expected, bitmap_copy(), gtype, left, top, right, bottom);
            lcd_refresh();
            ASSERT_EQ(framebuffer_bytes(), expected) << "round " << round << ", gtype " << gtype;
        }
    }
}

TEST_F(Lcd, AShortFramebufferIsRefused)
{
    set_hwver(kGtypeHwver);
    phone_add_fault("fb_size 65280");
    EXPECT_EQ(lcd_init(), -1);
    EXPECT_EQ(phone_logged(3, "framebuffer of 65280 bytes is shorter than the panel's 261120\n"),
              1);
    EXPECT_EQ(phone_logged(3, "Unable to mmap framebuffer\n"), 1);
    // Drawing still works off-screen; a refresh copies nothing but is told.
    const int before = refresh_count();
    lcd_fill_color(0, 0, 480, 272, 1);
    lcd_set_redraw(0, 0, 479, 271);
    lcd_refresh();
    EXPECT_EQ(refresh_count(), before + 1);
    const std::vector<uint8_t> fb = framebuffer_bytes();
    EXPECT_EQ(fb, std::vector<uint8_t>(fb.size(), 0)) << "nothing was written";
}

TEST_F(Lcd, DeviceFailuresAreLogged)
{
    phone_add_fault("fault ioctl /dev/fb0 0x4602 1 5");
    EXPECT_EQ(lcd_init(), -1);
    EXPECT_EQ(phone_logged(3, "error: ioctl(FBIOGET_FSCREENINFO) failed\n"), 1);
    phone_add_fault("fault missing /dev/fb0");
    EXPECT_EQ(lcd_init(), -1);
    EXPECT_EQ(phone_logged(3, "Error opening /dev/fb0\n"), 1);
    EXPECT_EQ(phone_logged(3, "Unable to mmap framebuffer\n"), 2);
    phone_add_fault("fault missing /proc/glcd/refresh");
    EXPECT_EQ(devctrl_refresh_lcd(), -1);
    EXPECT_EQ(phone_logged(3, "open glcd refresh procfs device failed."), 1);
    // A command's first line comes without its newline.
    char out[16];
    EXPECT_EQ(GetCmdResult("echo hello", out, sizeof out), 0);
    EXPECT_STREQ(out, "hello");
}

} // namespace
