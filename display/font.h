// display/font.h - the 12 x 24 bitmap font and text drawing.
//
// The font table (g_font_table) has a header (first and last code, record
// size and offset, big-endian 16-bit) and 128 glyph records: width,
// height, and a 72-byte bitmap (bit row * width + col, lowest bit first).
// Text is drawn ink only, into a box of the off-screen bitmap, cut at the
// box's right edge; a control fills the background first.
#pragma once

#include <cstdint>

constexpr int FONT_TABLE_SIZE = 9486;
extern const std::uint8_t g_font_table[FONT_TABLE_SIZE];

// How a control wants its text drawn.
struct TextAttr {
    std::uint8_t align;     // 0 left, 1 centre, 2 right
    std::uint8_t cursor;    // index of the character the cursor stands before; 255 none
    std::uint8_t cursor_on; // draw the cursor now
    std::uint8_t pending;   // show the character before the cursor inverted
};
constexpr std::uint8_t TEXT_NO_CURSOR = 255;

// The glyph record of `c` (a byte of 0x80 or more reads as a space).
const std::uint8_t* font_get_data(char c, std::uint8_t size);
void lcd_draw_text(TextAttr* attr, std::uint16_t x, std::uint16_t y, std::uint16_t w,
                   std::uint16_t h, const char* str, std::uint8_t font, std::uint16_t colour);
// Scrolls `str` so that the cursor stays in the box, then draws it.
void lcd_show_text(TextAttr* attr, std::uint16_t x, std::uint16_t y, std::uint16_t w,
                   std::uint16_t h, const char* str, std::uint8_t font, std::uint16_t colour);
