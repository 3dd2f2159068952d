// display/lcd.cpp - off-screen bitmap, primitives, conversion and the
// framebuffer device.
#include "lcd.h"

#include "rl_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

std::uint8_t g_is_Gtype_basicui = 0;
std::uint8_t g_lcd_bitmap[LCD_BITMAP_SIZE] = {};

namespace {

// The framebuffer device.
struct framebuffer {
    int fd = -1;
    fb_fix_screeninfo fix = {};
    fb_var_screeninfo var = {};
    void* map = nullptr;
};
framebuffer g_fb;

// The panel's pixels, converted; the G-type layout needs the whole buffer,
// the 4-bit one its first quarter.
alignas(16) std::uint8_t g_convert[LCD_CONVERT_SIZE];

// The changed region, inclusive: the bounding box of what was marked since
// the last refresh (none when nothing was); the first refresh converts
// everything.
bool g_marked = true;
std::uint16_t g_left = 0, g_top = 0, g_right = LCD_WIDTH - 1, g_bottom = LCD_HEIGHT - 1;

// One bitmap byte (eight pixels, lowest bit first) in each panel format:
// eight 16-bit pixels, or four bytes of two 4-bit pixels.
struct conversion_tables {
    std::uint16_t wide[256][8];
    std::uint8_t narrow[256][4];
    conversion_tables()
    {
        for (int b = 0; b < 256; ++b) {
            for (int i = 0; i < 8; ++i) wide[b][i] = ((b >> i) & 1) != 0 ? 0x0000 : 0xFFFF;
            for (int i = 0; i < 4; ++i) {
                const int lo = ((b >> (2 * i)) & 1) != 0 ? 0x0 : 0xF;
                const int hi = ((b >> (2 * i + 1)) & 1) != 0 ? 0x0 : 0xF;
                narrow[b][i] = static_cast<std::uint8_t>(lo | (hi << 4));
            }
        }
    }
};
const conversion_tables g_tables;

std::size_t copy_size()
{
    return g_is_Gtype_basicui != 0 ? LCD_CONVERT_SIZE : LCD_COPY_SIZE_4BIT;
}

// The panel takes the whole buffer on every refresh, once. A function of
// its own, so that a profile shows the copy apart from the conversion.
__attribute__((noinline)) void copy_to_panel(void* fb)
{
    std::memcpy(fb, g_convert, copy_size());
}

// Converts one pixel the plain way (any coordinates; out-of-range ones
// are logged and dropped by the pixel writers).
void convert_pixel(int x, int y, const std::uint8_t* bitmap)
{
    const int colour = test_bit(y * LCD_WIDTH + x, bitmap, LCD_BITMAP_SIZE);
    if (g_is_Gtype_basicui != 0)
        SetPixel(x, y, g_convert, LCD_CONVERT_SIZE, colour);
    else
        SetPixel_4bit(x, y, g_convert, LCD_CONVERT_SIZE, colour);
}

// Converts columns 0 .. right of row y, eight pixels at a time where a
// whole bitmap byte lies inside.
void convert_row(int y, int left, int right, const std::uint8_t* bitmap)
{
    int x = left;
    const std::uint8_t* row = bitmap + static_cast<std::ptrdiff_t>(y) * (LCD_WIDTH / 8);
    for (; x <= right && x % 8 != 0; ++x) convert_pixel(x, y, bitmap);
    // Walking pointers keep the loops to a load, a table copy and a step.
    const std::uint8_t* src = row + x / 8;
    if (g_is_Gtype_basicui != 0) {
        std::uint8_t* dst = g_convert + static_cast<std::ptrdiff_t>(2) * (y * LCD_WIDTH + x);
        for (; x + 7 <= right; x += 8, ++src, dst += 16) std::memcpy(dst, g_tables.wide[*src], 16);
    } else {
        std::uint8_t* dst = g_convert + (y * LCD_WIDTH + x) / 2;
        for (; x + 7 <= right; x += 8, ++src, dst += 4) std::memcpy(dst, g_tables.narrow[*src], 4);
    }
    for (; x <= right; ++x) convert_pixel(x, y, bitmap);
}

void log_offset(const char* what, int offset, int size)
{
    rl_log_err("%s failed: byte_offset = %d, size = %d", what, offset, size);
}

// Drawing takes pixels at 16-bit coordinates; negative ones are off the
// screen and dropped rather than wrapped onto it.
void point(int x, int y, std::uint16_t colour)
{
    if (x < 0 || y < 0 || x > 0xFFFF || y > 0xFFFF) return;
    lcd_draw_point(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), colour);
}

constexpr long kBitmapBits = 8L * LCD_BITMAP_SIZE;

// Sets (colour non-zero) or clears bits first .. last of the off-screen
// bitmap, a whole byte at a time where it can. Bits outside the bitmap
// are dropped, as lcd_draw_point() drops them.
void bit_span(long first, long last, std::uint16_t colour)
{
    first = std::max(first, 0L);
    last = std::min(last, kBitmapBits - 1);
    if (first > last) return;
    const bool ink = colour != 0;
    auto mask_byte = [&](long byte, unsigned int mask) {
        auto& b = g_lcd_bitmap[byte];
        b = static_cast<std::uint8_t>(ink ? (b | mask) : (b & ~mask));
    };
    const long first_byte = first / 8, last_byte = last / 8;
    const unsigned int head = 0xFFU << (first % 8) & 0xFFU;
    const unsigned int tail = 0xFFU >> (7 - last % 8);
    if (first_byte == last_byte) {
        mask_byte(first_byte, head & tail);
        return;
    }
    mask_byte(first_byte, head);
    if (last_byte - first_byte > 1)
        std::memset(g_lcd_bitmap + first_byte + 1, ink ? 0xFF : 0x00,
                    static_cast<std::size_t>(last_byte - first_byte - 1));
    mask_byte(last_byte, tail);
}

// Every pixel from (left, top) to (right, bottom), inclusive, as point()
// would draw them one by one: coordinates outside 0 .. 0xFFFF are dropped,
// and each row is one run of consecutive bits (x past 479 wraps on into
// the next row's bits).
void fill_area(long left, long top, long right, long bottom, std::uint16_t colour)
{
    left = std::max(left, 0L);
    top = std::max(top, 0L);
    right = std::min(right, 0xFFFFL);
    bottom = std::min(bottom, 0xFFFFL);
    if (left > right) return;
    for (long y = top; y <= bottom; ++y) {
        const long row = y * LCD_WIDTH;
        if (row + left >= kBitmapBits) return; // every later row lies further on
        bit_span(row + left, row + right, colour);
    }
}

} // namespace

int GetCmdResult(const char* cmd, char* out, int size)
{
    if (cmd == nullptr || out == nullptr || size < 1) return -1;
    FILE* pipe = popen(cmd, "r");
    if (pipe == nullptr) {
        rl_log_err("fopen %s failed.", cmd);
        return -1;
    }
    if (std::fgets(out, size, pipe) == nullptr) {
        rl_log_err("fgets %s failed.", cmd);
        pclose(pipe);
        return -1;
    }
    pclose(pipe);
    const std::size_t n = std::strlen(out);
    if (n > 0 && out[n - 1] == '\n') out[n - 1] = '\0';
    return 0;
}

int lcdGetGtype()
{
    char text[256] = {};
    int v[8] = {};
    if (GetCmdResult("cat /proc/misc/hwver ", text, sizeof text) == 0) {
        const int r = std::sscanf(text, "%d.%d.%d.%d.%d.%d.%d.%d", &v[0], &v[1], &v[2], &v[3],
                                  &v[4], &v[5], &v[6], &v[7]);
        if (r < 0) {
            rl_log_err("lcdGetGtype  failed.");
            return 0;
        }
    }
    return ((v[7] & 1) == 1 || (v[0] == 59 && (v[3] & 0x0F) == 1)) ? 1 : 0;
}

int devctrl_open_lcd(void** fb)
{
    if (g_fb.map == nullptr) {
        const int fd = open("/dev/fb0", O_RDWR | O_SYNC);
        if (fd < 0) {
            rl_log_err("Error opening /dev/fb0\n");
            return -1;
        }
        if (ioctl(fd, FBIOGET_FSCREENINFO, &g_fb.fix) < 0) {
            rl_log_err("error: ioctl(FBIOGET_FSCREENINFO) failed\n");
            close(fd);
            return -1;
        }
        if (ioctl(fd, FBIOGET_VSCREENINFO, &g_fb.var) < 0) {
            rl_log_err("error: ioctl(FBIOGET_VSCREENINFO) failed\n");
            close(fd);
            return -1;
        }
        void* map = mmap(nullptr, g_fb.fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            rl_log_err("error: unable to mmap framebuffer\n");
            close(fd);
            return -1;
        }
        g_fb.fd = fd;
        g_fb.map = map;
    }
    if (fb != nullptr) *fb = g_fb.map;
    return 0;
}

int devctrl_close_lcd()
{
    if (g_fb.map != nullptr) munmap(g_fb.map, g_fb.fix.smem_len);
    if (g_fb.fd >= 0) close(g_fb.fd);
    g_fb.map = nullptr;
    g_fb.fd = -1;
    return 0;
}

int lcd_init()
{
    if (devctrl_open_lcd(nullptr) < 0) {
        rl_log_err("Unable to mmap framebuffer\n");
        return -1;
    }
    g_is_Gtype_basicui = static_cast<std::uint8_t>(lcdGetGtype());
    // The copy is as long as the panel kind says; a shorter framebuffer
    // would be written past its end. The display then stays off-screen.
    if (g_fb.fix.smem_len < copy_size()) {
        rl_log_err("framebuffer of %u bytes is shorter than the panel's %u\n",
                   static_cast<unsigned int>(g_fb.fix.smem_len),
                   static_cast<unsigned int>(copy_size()));
        devctrl_close_lcd();
        rl_log_err("Unable to mmap framebuffer\n");
        return -1;
    }
    return 0;
}

void lcd_draw_point(std::uint16_t x, std::uint16_t y, std::uint16_t colour)
{
    const int n = y * LCD_WIDTH + x;
    if (colour != 0)
        SetBitHByte(n, g_lcd_bitmap, LCD_BITMAP_SIZE);
    else
        ClearBitHByte(n, g_lcd_bitmap, LCD_BITMAP_SIZE);
}

int lcd_get_point_color(std::uint16_t x, std::uint16_t y)
{
    return GetBitHByte(y * LCD_WIDTH + x, g_lcd_bitmap, LCD_BITMAP_SIZE);
}

void lcd_draw_line(std::uint16_t x1, std::uint16_t y1, std::uint16_t x2, std::uint16_t y2,
                   std::uint16_t colour)
{
    fill_area(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2), colour);
}

void lcd_fill_color(int x, int y, int w, int h, std::uint16_t colour)
{
    if (w <= 0 || h <= 0) return;
    const long right = static_cast<long>(x) + w - 1, bottom = static_cast<long>(y) + h - 1;
    if (right < 0 || bottom < 0) return;
    fill_area(x, y, right, bottom, colour);
}

void lcd_draw_rect(std::uint16_t x1, std::uint16_t y1, std::uint16_t x2, std::uint16_t y2,
                   std::uint16_t colour)
{
    lcd_draw_line(x1, y1, x1, y2, colour);
    lcd_draw_line(x2, y1, x2, y2, colour);
    lcd_draw_line(x1, y1, x2, y1, colour);
    lcd_draw_line(x1, y2, x2, y2, colour);
}

void lcd_draw_icon(std::uint16_t x, std::uint16_t y, std::uint16_t w, std::uint16_t h,
                   const std::uint8_t* bitmap, int size)
{
    if (bitmap == nullptr) return;
    // A whole screen at the origin has the off-screen layout itself.
    if (x == 0 && y == 0 && w == LCD_WIDTH && h == LCD_HEIGHT && size >= LCD_BITMAP_SIZE) {
        std::memcpy(g_lcd_bitmap, bitmap, LCD_BITMAP_SIZE);
        return;
    }
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col)
            point(x + col, y + row,
                  static_cast<std::uint16_t>(test_bit(row * w + col, bitmap, size)));
}

void lcd_set_redraw(int x1, int y1, int x2, int y2)
{
    if (x2 < x1 || y2 < y1) return;
    auto u16 = [](int v) { return static_cast<std::uint16_t>(std::clamp(v, 0, 0xFFFF)); };
    if (!g_marked) {
        g_left = u16(x1);
        g_right = u16(x2);
        g_top = u16(y1);
        g_bottom = u16(y2);
        g_marked = true;
        return;
    }
    g_left = std::min(g_left, u16(x1));
    g_right = std::max(g_right, u16(x2));
    g_top = std::min(g_top, u16(y1));
    g_bottom = std::max(g_bottom, u16(y2));
}

int lcd_get_redraw(std::uint16_t* x1, std::uint16_t* y1, std::uint16_t* x2, std::uint16_t* y2)
{
    const int marked = g_marked ? 1 : 0;
    if (x1 != nullptr) *x1 = g_left;
    if (y1 != nullptr) *y1 = g_top;
    if (x2 != nullptr) *x2 = g_right;
    if (y2 != nullptr) *y2 = g_bottom;
    g_left = g_top = g_right = g_bottom = 0;
    g_marked = false;
    return marked;
}

void lcd_refresh()
{
    lcd_copy_framebuffer(g_fb.map, g_lcd_bitmap);
    lcd_devctrl_refresh();
}

void lcd_copy_framebuffer(void* fb, const std::uint8_t* bitmap)
{
    if (fb == nullptr || bitmap == nullptr) return;
    std::uint16_t left = 0, top = 0, right = 0, bottom = 0;
    const bool marked = lcd_get_redraw(&left, &top, &right, &bottom) != 0;
    const int on_screen_right = std::min<int>(right, LCD_WIDTH - 1);
    for (int y = top; marked && y <= bottom; ++y) {
        if (y < LCD_HEIGHT) {
            convert_row(y, left, on_screen_right, bitmap);
            // Columns past the right edge wrap into the next row's bits.
            for (int x = LCD_WIDTH; x <= right; ++x) convert_pixel(x, y, bitmap);
        } else {
            for (int x = left; x <= right; ++x) convert_pixel(x, y, bitmap);
        }
    }
    copy_to_panel(fb);
}

int lcd_devctrl_refresh()
{
    return devctrl_refresh_lcd();
}

int devctrl_refresh_lcd()
{
    const int fd = open("/proc/glcd/refresh", O_RDWR);
    if (fd < 0) {
        rl_log_err("open glcd refresh procfs device failed.");
        return -1;
    }
    if (write(fd, "1", 1) != 1) {
        rl_log_err("WRITE GLCD_REFRESH_DEV failed.");
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

void SetPixel(int x, int y, std::uint8_t* buf, int size, int colour)
{
    if (buf == nullptr) return;
    const long offset = 2L * (static_cast<long>(y) * LCD_WIDTH + x);
    if (offset < 0 || offset + 1 >= size) {
        log_offset("SetPixel", static_cast<int>(offset), size);
        return;
    }
    const std::uint8_t v = colour != 0 ? 0x00 : 0xFF;
    buf[offset] = v;
    buf[offset + 1] = v;
}

void SetPixel_4bit(int x, int y, std::uint8_t* buf, int size, int colour)
{
    if (buf == nullptr) return;
    const long bit = 4L * (static_cast<long>(y) * LCD_WIDTH + x);
    const long byte = bit / 8;
    const int shift = static_cast<int>(bit % 8);
    if (byte < 0 || byte >= size) {
        log_offset("SetPixel_4bit", static_cast<int>(byte), size);
        return;
    }
    const int nibble = colour != 0 ? 0x0 : 0xF;
    buf[byte] = static_cast<std::uint8_t>((buf[byte] & ~(0xF << shift)) | (nibble << shift));
}

void SetBit(int x, int y, std::uint8_t* buf, int size)
{
    SetBitHByte(y * LCD_WIDTH + x, buf, size);
}

void ClearBit(int x, int y, std::uint8_t* buf, int size)
{
    ClearBitHByte(y * LCD_WIDTH + x, buf, size);
}

int GetBit(int x, int y, const std::uint8_t* buf, int size)
{
    return GetBitHByte(y * LCD_WIDTH + x, buf, size);
}

void SetBitHByte(int n, std::uint8_t* buf, int size)
{
    if (buf == nullptr || n < 0 || n / 8 >= size) return;
    buf[n / 8] = static_cast<std::uint8_t>(buf[n / 8] | (1U << (n % 8)));
}

void ClearBitHByte(int n, std::uint8_t* buf, int size)
{
    if (buf == nullptr || n < 0 || n / 8 >= size) return;
    buf[n / 8] = static_cast<std::uint8_t>(buf[n / 8] & ~(1U << (n % 8)));
}

int GetBitHByte(int n, const std::uint8_t* buf, int size)
{
    if (buf == nullptr) return 0;
    if (n < 0 || n / 8 >= size) {
        log_offset("GetBitHByte", n / 8, size);
        return 0;
    }
    return (buf[n / 8] >> (n % 8)) & 1;
}

int test_bit(int n, const std::uint8_t* buf, int size)
{
    if (buf == nullptr || n < 0 || n / 8 >= size) return 0;
    return (buf[n / 8] >> (n % 8)) & 1;
}
