// tests/display/display_util.h - what the display tests look at: the
// off-screen bitmap, the phone's framebuffer file and its captured frames.
#pragma once

#include "frames.h"
#include "lcd.h"
#include "phone.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Hardware versions of the two panel kinds.
constexpr const char* kGtypeHwver = "59.0.0.1.3.0.0.1";
constexpr const char* k4bitHwver = "59.0.0.2.3.0.0.0";

inline void set_hwver(const std::string& v)
{
    phone_write_file(phone_state_path("platform/hwver"), v + "\n");
}

inline void clear_bitmap()
{
    std::memset(g_lcd_bitmap, 0, sizeof g_lcd_bitmap);
}

// Black pixels of the off-screen bitmap in a rectangle.
inline int ink_in(int x0, int y0, int x1, int y1)
{
    int n = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            n += test_bit(y * LCD_WIDTH + x, g_lcd_bitmap, LCD_BITMAP_SIZE);
    return n;
}

// The definitions the display is checked against, one pixel at a time:
// bit n of a bitmap (set is black), and pixel n in the panel's format (two
// bytes of grey on the G-type panel, else a nibble, even pixels low).
inline int ref_bit(const std::vector<uint8_t>& bits, long n)
{
    return (bits[static_cast<size_t>(n / 8)] >> (n % 8)) & 1;
}

inline void ref_set_bit(std::vector<uint8_t>& bits, long n, int colour)
{
    auto& b = bits[static_cast<size_t>(n / 8)];
    b = static_cast<uint8_t>(colour != 0 ? (b | (1U << (n % 8))) : (b & ~(1U << (n % 8))));
}

inline void ref_panel_pixel(std::vector<uint8_t>& fb, long n, int black, bool gtype)
{
    const auto at = static_cast<size_t>(gtype ? 2 * n : n / 2);
    if (gtype) {
        fb[at] = fb[at + 1] = black != 0 ? 0x00 : 0xFF;
    } else {
        const int shift = static_cast<int>(n % 2) * 4;
        fb[at] =
            static_cast<uint8_t>((fb[at] & ~(0xF << shift)) | ((black != 0 ? 0 : 0xF) << shift));
    }
}

inline std::vector<uint8_t> bitmap_copy()
{
    return std::vector<uint8_t>(g_lcd_bitmap, g_lcd_bitmap + LCD_BITMAP_SIZE);
}

// The framebuffer's bytes as the panel holds them.
inline std::vector<uint8_t> framebuffer_bytes()
{
    const std::string s = phone_read_file(phone_state_path("dev/fb0"));
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline std::string run_dir()
{
    const char* run = std::getenv("PHONESIM_RUN");
    return phone_state_path(std::string("runs/") + (run != nullptr ? run : "1"));
}

// The number of refreshes the phone has seen in this run.
inline int refresh_count()
{
    const std::string log = phone_read_file(run_dir() + "/frames.jsonl");
    int n = 0;
    for (char c : log) n += c == '\n';
    return n;
}
