// display/lcd.h - the off-screen bitmap, the drawing primitives and the
// framebuffer.
//
// Everything is drawn into a one-bit-per-pixel bitmap of the 480 x 272
// screen (pixel (x, y) is bit y * 480 + x, least significant bit first; a
// set bit is black). lcd_refresh() converts the changed region (the
// bounding box of what was marked since the last refresh; nothing when
// nothing was) into the panel's format (16 bits per pixel on the G-type
// panel, 4 bits otherwise), copies the whole conversion buffer once into
// the mapped /dev/fb0 and writes "1" to /proc/glcd/refresh. One thread
// draws at a time (the display object hands the burn's frames to its
// drawing thread and waits for them); nothing here locks.
#pragma once

#include <cstdint>

constexpr int LCD_WIDTH = 480;
constexpr int LCD_HEIGHT = 272;
constexpr int LCD_BITMAP_SIZE = LCD_WIDTH * LCD_HEIGHT / 8;    // 16320
constexpr int LCD_CONVERT_SIZE = LCD_WIDTH * LCD_HEIGHT * 2;   // 261120
constexpr int LCD_COPY_SIZE_4BIT = LCD_WIDTH * LCD_HEIGHT / 2; // 65280

// 1 on the G-type (16-bit) panel; set by lcd_init().
extern std::uint8_t g_is_Gtype_basicui;
// The off-screen bitmap.
extern std::uint8_t g_lcd_bitmap[LCD_BITMAP_SIZE];

// The first line of `cmd`'s output, without its newline. 0 or -1.
int GetCmdResult(const char* cmd, char* out, int size);
// 1 when the hardware version says the panel is G-type, else 0.
int lcdGetGtype();
// Opens and maps the framebuffer and learns the panel kind. A framebuffer
// shorter than the panel's copy is refused. 0, or -1.
int lcd_init();
int devctrl_open_lcd(void** fb);
int devctrl_close_lcd();

void lcd_draw_point(std::uint16_t x, std::uint16_t y, std::uint16_t colour);
int lcd_get_point_color(std::uint16_t x, std::uint16_t y);
// Every pixel of the rectangle spanned by the two corners, inclusive.
void lcd_draw_line(std::uint16_t x1, std::uint16_t y1, std::uint16_t x2, std::uint16_t y2,
                   std::uint16_t colour);
// (x, y) to (x + w - 1, y + h - 1); nothing for a w or h of 0.
void lcd_fill_color(int x, int y, int w, int h, std::uint16_t colour);
void lcd_draw_rect(std::uint16_t x1, std::uint16_t y1, std::uint16_t x2, std::uint16_t y2,
                   std::uint16_t colour);
// Copies a w x h one-bit bitmap of `size` bytes, opaque, to (x, y).
void lcd_draw_icon(std::uint16_t x, std::uint16_t y, std::uint16_t w, std::uint16_t h,
                   const std::uint8_t* bitmap, int size);

// Widens the changed region; a reversed rectangle is ignored.
void lcd_set_redraw(int x1, int y1, int x2, int y2);
// Hands out the changed region, the bounding box of everything marked since
// the last call, and empties it. 1, or 0 (the bounds 0) when nothing was
// marked.
int lcd_get_redraw(std::uint16_t* x1, std::uint16_t* y1, std::uint16_t* x2, std::uint16_t* y2);
void lcd_refresh();
// Converts the changed region of `bitmap` (nothing when nothing was marked)
// and copies the whole converted buffer to `fb`, once. Nothing for a null
// pointer.
void lcd_copy_framebuffer(void* fb, const std::uint8_t* bitmap);
int lcd_devctrl_refresh();
int devctrl_refresh_lcd();

// One pixel of a conversion buffer of `size` bytes.
void SetPixel(int x, int y, std::uint8_t* buf, int size, int colour);
void SetPixel_4bit(int x, int y, std::uint8_t* buf, int size, int colour);
// Bit y * 480 + x of a bitmap of `size` bytes.
void SetBit(int x, int y, std::uint8_t* buf, int size);
void ClearBit(int x, int y, std::uint8_t* buf, int size);
int GetBit(int x, int y, const std::uint8_t* buf, int size);
void SetBitHByte(int n, std::uint8_t* buf, int size);
void ClearBitHByte(int n, std::uint8_t* buf, int size);
int GetBitHByte(int n, const std::uint8_t* buf, int size);
// Bit n of `buf`, 0 for a null buffer or a byte at or beyond `size`.
int test_bit(int n, const std::uint8_t* buf, int size);
