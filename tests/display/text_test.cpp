// Text, controls and multi-tap entry, compared as pixels of the off-screen
// bitmap.
#include "control.h"
#include "display_util.h"
#include "font.h"
#include "text_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

TextAttr plain(uint8_t align = 0)
{
    return TextAttr{align, TEXT_NO_CURSOR, 0, 0};
}

// The bitmap after drawing `str` with `attr` into a box at (x, y).
std::vector<uint8_t> drawn(TextAttr attr, int x, int y, int w, const char* str, bool scroll = false)
{
    clear_bitmap();
    if (scroll)
        lcd_show_text(&attr, static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                      static_cast<uint16_t>(w), 24, str, 24, 1);
    else
        lcd_draw_text(&attr, static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                      static_cast<uint16_t>(w), 24, str, 24, 1);
    return bitmap_copy();
}

TEST(Font, TableHeaderAndGlyphs)
{
    EXPECT_EQ(g_font_table[0], 0xE0);
    EXPECT_EQ(g_font_table[5], 0xEC);
    EXPECT_EQ((g_font_table[10] << 8) | g_font_table[11], 74);
    EXPECT_EQ((g_font_table[12] << 8) | g_font_table[13], 14);
    EXPECT_EQ(font_get_data('A', 24), g_font_table + 14 + 65 * 74);
    // Every printable character is a real 12 x 24 glyph; codes 0 to 31 are
    // 24-pixel pieces.
    for (int c = 33; c < 127; ++c) {
        const uint8_t* g = font_get_data(static_cast<char>(c), 24);
        EXPECT_EQ(g[0], 12) << c;
        EXPECT_EQ(g[1], 24) << c;
        EXPECT_LT(std::count(g + 2, g + 74, 0), 72) << "code " << c << " has ink";
    }
    for (int c = 0; c < 32; ++c) EXPECT_EQ(font_get_data(static_cast<char>(c), 24)[0], 24) << c;
    for (int c : {0, 9, 10, 13, 28, 31, 32, 127}) {
        const uint8_t* g = font_get_data(static_cast<char>(c), 24);
        EXPECT_EQ(std::count(g + 2, g + 74, 0), 72) << "code " << c << " is blank";
    }
    // A byte of 0xC4 is a space.
    EXPECT_EQ(font_get_data(static_cast<char>(0xC4), 24), font_get_data(' ', 24));
}

// The glyphs of `str` plotted bit by bit from the font table, the first
// glyph's left column at `left`, rows y .. y + last_row.
std::vector<uint8_t> plotted(int left, int y, const char* str, int last_row = 23)
{
    clear_bitmap();
    for (int i = 0; str[i] != '\0'; ++i) {
        const uint8_t* g = font_get_data(str[i], 24);
        for (int r = 0; r <= last_row && r < g[1]; ++r)
            for (int c = 0; c < g[0]; ++c)
                if (test_bit(r * g[0] + c, g + 2, 72) != 0)
                    lcd_draw_point(static_cast<uint16_t>(left + c), static_cast<uint16_t>(y + r),
                                   1);
        left += g[0];
    }
    return bitmap_copy();
}

TEST(Text, GlyphsLandOnTheirColumnsAndStayInTheBox)
{
    EXPECT_EQ(drawn(plain(1), 10, 30, 116, "OK"), plotted(10 + 47, 30, "OK"))
        << "centred in 116: first column at x + 47";
    EXPECT_EQ(drawn(plain(0), 10, 30, 116, "OK"), plotted(12, 30, "OK"))
        << "left aligned: 2 pixels inside the box";
    // Right-aligned in 100: the text ends at the box's right edge.
    EXPECT_EQ(drawn(plain(2), 0, 30, 100, "OK"), drawn(plain(0), 75, 30, 100, "OK"));
    // Cut at the right edge: nothing beyond x + w.
    drawn(plain(), 0, 0, 30, "WWWWWW");
    EXPECT_EQ(ink_in(31, 0, 479, 30), 0);
    EXPECT_GT(ink_in(0, 0, 30, 30), 0);
    // A box 10 rows high: each glyph stops after the first row below it (11).
    TextAttr a = plain();
    clear_bitmap();
    lcd_draw_text(&a, 10, 30, 200, 10, "Hg", 24, 1);
    EXPECT_EQ(bitmap_copy(), plotted(12, 30, "Hg", 11));
}

TEST(Text, CursorPendingAndScrolling)
{
    // An empty string with the cursor at 0 still draws the cursor line.
    TextAttr at0{0, 0, 1, 0};
    drawn(at0, 100, 50, 200, "");
    EXPECT_EQ(ink_in(0, 0, 479, 271), 24);
    EXPECT_EQ(ink_in(102, 50, 102, 73), 24) << "at x + s + 1, the box's height";

    // The pending character is inverted in rows 1 to 22 only.
    const std::vector<uint8_t> normal = drawn(TextAttr{0, 1, 0, 0}, 0, 0, 200, "a");
    const std::vector<uint8_t> inverted = drawn(TextAttr{0, 1, 0, 1}, 0, 0, 200, "a");
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 20; ++x) {
            const int a = ref_bit(normal, y * 480 + x), b = ref_bit(inverted, y * 480 + x);
            const bool in = y >= 1 && y <= 22 && x >= 2 && x <= 13;
            EXPECT_EQ(b, in ? 1 - a : a) << x << "," << y;
        }
    }

    // 26 characters in 300 pixels with the cursor at the end: characters 0
    // to 3 are dropped and the cursor follows the last of the other 22.
    const char* text = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(drawn(TextAttr{0, 26, 1, 0}, 0, 0, 300, text, true),
              drawn(TextAttr{0, 22, 1, 0}, 0, 0, 300, text + 4));
    // A text that fits is drawn whole.
    EXPECT_EQ(drawn(TextAttr{0, 3, 1, 0}, 0, 0, 300, "abc", true),
              drawn(TextAttr{0, 3, 1, 0}, 0, 0, 300, "abc"));
}

Control input(uint8_t type, const char* text)
{
    Control c;
    ctrl_init(&c, type, 0, 100, 300, 26, 200, 0, "Name:", text);
    return c;
}

TEST(Controls, DrawingRules)
{
    Control zero;
    ctrl_init(&zero, 0, 10, 10, 0, 26, 0, 0, "never", nullptr);
    clear_bitmap();
    ctrl_show(&zero, 1);
    EXPECT_EQ(ink_in(0, 0, 479, 271), 0) << "w 0 is never drawn";

    // A frame past the right edge is held at 479.
    Control framed;
    ctrl_init(&framed, 0, 400, 10, 100, 26, 0, 0, nullptr, nullptr);
    framed.border = 1;
    clear_bitmap();
    ctrl_show(&framed, 1);
    EXPECT_EQ(ink_in(479, 10, 479, 35), 26);
    EXPECT_EQ(ink_in(0, 11, 0, 34), 0) << "nothing wrapped into the next rows";
    // Not dirty and not forced: not drawn again.
    clear_bitmap();
    ctrl_show(&framed, 0);
    EXPECT_EQ(ink_in(0, 0, 479, 271), 0);
}

// What a control shows in its value area, as the plain text it stands for.
std::vector<uint8_t> value_as(const char* shown)
{
    Control c = input(1, shown);
    c.cursor_on = 0;
    clear_bitmap();
    ctrl_show(&c, 1);
    return bitmap_copy();
}

TEST(Controls, APasswordShowsTheLastLetterUntilTheSecondTick)
{
    Control pw = input(2, "abc");
    pw.cursor_on = 0;
    pw.ticks = 0; // just typed
    clear_bitmap();
    ctrl_show(&pw, 1);
    EXPECT_EQ(bitmap_copy(), value_as("**c"));
    ctrl_show_cursor(&pw, 0);
    ctrl_show(&pw, 0);
    EXPECT_EQ(bitmap_copy(), value_as("**c")) << "one tick";
    ctrl_show_cursor(&pw, 0);
    clear_bitmap();
    ctrl_show(&pw, 0);
    EXPECT_EQ(bitmap_copy(), value_as("***"));
}

TEST(Controls, Editing)
{
    Control c = input(1, "ab");
    EXPECT_EQ(c.cursor, 2);
    ctrl_move_right(&c);
    EXPECT_EQ(c.cursor, 2) << "already at the end";
    EXPECT_EQ(c.ticks, 2);
    EXPECT_EQ(c.dirty, 1);
    ctrl_move_left(&c);
    EXPECT_EQ(ctrl_insert_char(&c, 'X'), 0);
    EXPECT_STREQ(c.text, "aXb");
    EXPECT_EQ(ctrl_del_char(&c), 0);
    EXPECT_STREQ(c.text, "ab");
    c.cursor = 0;
    EXPECT_EQ(ctrl_del_char(&c), -1);
    EXPECT_STREQ(c.text, "ab");
    // A cursor left behind when a caller shortens the text deletes from
    // the end, and an emptied text has nothing to delete.
    c.cursor = 9;
    EXPECT_EQ(ctrl_del_char(&c), 0);
    EXPECT_STREQ(c.text, "a");
    EXPECT_EQ(c.cursor, 1);
    c.text[0] = '\0';
    c.cursor = 2;
    EXPECT_EQ(ctrl_del_char(&c), -1);
    EXPECT_STREQ(c.text, "");
    EXPECT_EQ(c.cursor, 2);
    // A label starts without a cursor.
    Control label = input(0, "x");
    EXPECT_EQ(label.cursor, 0);
    EXPECT_EQ(label.cursor_on, 0);
}

TEST(TextEntry, MultiTapListsAndModes)
{
    Control c = input(1, "");
    for (int i = 0; i < 3; ++i) ctrl_add_char(&c, '2');
    EXPECT_STREQ(c.text, "c");
    EXPECT_EQ(c.pending, 1);
    ctrl_add_char(&c, '2');
    EXPECT_STREQ(c.text, "a") << "round to the first again";
    ctrl_add_char(&c, '3');
    EXPECT_STREQ(c.text, "ad") << "another key starts a new character";
    // Two ticks pass: the same key starts a new character.
    ctrl_show_cursor(&c, 1);
    ctrl_show_cursor(&c, 0);
    ctrl_add_char(&c, '3');
    EXPECT_STREQ(c.text, "add");
    // One-character lists always add.
    Control d = input(1, "");
    d.input_mode = 2;
    ctrl_add_char(&d, '5');
    ctrl_add_char(&d, '5');
    EXPECT_STREQ(d.text, "55");
    EXPECT_EQ(d.pending, 0);
    ctrl_add_char(&d, '#');
    ctrl_add_char(&d, '#');
    EXPECT_STREQ(d.text, "55##");
    // Key 0: a space first in mode 1, a 0 first in mode 3.
    Control e = input(1, "");
    ctrl_add_char(&e, '0');
    EXPECT_STREQ(e.text, " ");
    ctrl_add_char(&e, '0');
    EXPECT_STREQ(e.text, "0");
    e.input_mode = 3;
    e.ticks = 2;
    ctrl_add_char(&e, '0');
    EXPECT_STREQ(e.text, "00");
    // Labels and other characters are not entries.
    Control label = input(0, "");
    EXPECT_EQ(ctrl_add_char(&label, '2'), -1);
    EXPECT_EQ(ctrl_add_char(&c, 'x'), -1);
    // The lists and the modes.
    EXPECT_STREQ(ctrl_get_input_text(0), "ABC");
    EXPECT_STREQ(ctrl_get_input_text(3), "1Ab");
    EXPECT_STREQ(ctrl_get_input_text(7), "abc");
    EXPECT_EQ(std::strlen(g_input_char_list[0][10]), 25U);
    EXPECT_EQ(g_input_char_list[1][10][17], '"');
    EXPECT_STREQ(g_input_char_list[2][10], "*.:@-/");
    EXPECT_STREQ(g_input_char_list[3][7], "7pqrsPQRS");
    Control m = input(1, "");
    ctrl_switch_input(&m);
    EXPECT_EQ(m.input_mode, 2);
    ctrl_switch_input(&m);
    ctrl_switch_input(&m);
    EXPECT_EQ(m.input_mode, 0);
    // A full text takes no character (-1), but the tap state still moves on.
    Control full = input(1, std::string(63, 'z').c_str());
    EXPECT_EQ(ctrl_add_char(&full, '2'), -1);
    EXPECT_EQ(std::strlen(full.text), 63U);
    EXPECT_EQ(full.last_key, '2');
    EXPECT_EQ(full.ticks, 0);
    EXPECT_EQ(full.pending, 1);
}

} // namespace
