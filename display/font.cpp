// display/font.cpp - glyph lookup, drawing and scrolling of text.
#include "font.h"

#include "lcd.h"

#include <cstring>

namespace {

constexpr int kGlyphBitmapSize = 72;

unsigned int header_word(int at)
{
    return (static_cast<unsigned int>(g_font_table[at]) << 8) | g_font_table[at + 1];
}

int glyph_width(char c)
{
    return font_get_data(c, 24)[0];
}

} // namespace

const std::uint8_t* font_get_data(char c, std::uint8_t)
{
    // The character as a signed byte: 0x80 and above are negative.
    const int byte = static_cast<unsigned char>(c);
    int code = byte >= 128 ? byte - 256 : byte;
    if (code < 0 || code > 128) code = 32;
    const unsigned int first = header_word(6);
    const unsigned int last = header_word(8);
    const unsigned int record = header_word(10);
    const unsigned int offset = header_word(12);
    // A code outside the table, or a record that would leave it, is a space.
    unsigned int index = static_cast<unsigned int>(code);
    if (index < first || index > last) index = 32;
    std::size_t at = offset + (index - first) * record;
    if (at + 2 + kGlyphBitmapSize > FONT_TABLE_SIZE) at = offset + (32 - first) * record;
    return g_font_table + at;
}

void lcd_draw_text(TextAttr* attr, std::uint16_t x, std::uint16_t y, std::uint16_t w,
                   std::uint16_t h, const char* str, std::uint8_t font, std::uint16_t colour)
{
    if (attr == nullptr || str == nullptr) return;
    const std::uint16_t ink = colour & 1;
    int total = 0;
    for (const char* p = str; *p != '\0'; ++p) total += glyph_width(*p);
    int s = 1;
    if (attr->align == 1 && total < w) s = (w - total) / 2;
    if (attr->align == 2 && total < w) s = w - total;

    int advance = 0;
    int cursor_x = 0;
    int pending_w = 0;
    for (int i = 0; str[i] != '\0'; ++i) {
        const std::uint8_t* g = font_get_data(str[i], font);
        const int gw = g[0];
        const int gh = g[1];
        for (int r = 0; r < gh; ++r) {
            for (int c = 0; c < gw; ++c) {
                if (test_bit(r * gw + c, g + 2, kGlyphBitmapSize) == 0) continue;
                const int px = x + s + c + advance + 1;
                if (px <= x + w)
                    lcd_draw_point(static_cast<std::uint16_t>(px),
                                   static_cast<std::uint16_t>(y + r), ink);
            }
            if (r > h) break;
        }
        advance += gw;
        if (i + 1 == attr->cursor) {
            cursor_x = advance;
            pending_w = gw;
        }
    }
    if (attr->cursor != TEXT_NO_CURSOR && attr->cursor_on != 0) {
        const int cx = x + s + cursor_x + 1;
        lcd_draw_line(static_cast<std::uint16_t>(cx), y, static_cast<std::uint16_t>(cx),
                      static_cast<std::uint16_t>(y + h - 1), ink);
    }
    if (attr->pending != 0 && pending_w != 0) {
        for (int k = 0; k < pending_w; ++k) {
            const int col = x + cursor_x + 1 - k;
            if (col < 0) continue;
            for (int row = y + 1; row <= y + font - 2; ++row) {
                const auto px = static_cast<std::uint16_t>(col);
                const auto py = static_cast<std::uint16_t>(row);
                lcd_draw_point(px, py, lcd_get_point_color(px, py) != 0 ? 0 : 1);
            }
        }
    }
}

void lcd_show_text(TextAttr* attr, std::uint16_t x, std::uint16_t y, std::uint16_t w,
                   std::uint16_t h, const char* str, std::uint8_t font, std::uint16_t colour)
{
    if (attr == nullptr || str == nullptr) return;
    const int length = static_cast<int>(std::strlen(str));
    if (attr->cursor < TEXT_NO_CURSOR && attr->cursor <= length) {
        int sum = 0;
        for (int j = attr->cursor; j >= 0; --j) {
            sum += glyph_width(str[j]);
            if (sum >= w) {
                attr->cursor = static_cast<std::uint8_t>(attr->cursor - (j + 1));
                lcd_draw_text(attr, x, y, w, h, str + j + 1, font, colour);
                return;
            }
        }
    }
    lcd_draw_text(attr, x, y, w, h, str, font, colour);
}
