// display/control.cpp - drawing and editing a control.
#include "control.h"

#include "font.h"
#include "lcd.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kScreenRight = 479;
constexpr int kScreenBottom = 271;

void commit(Control* c)
{
    c->ticks = 2;
    c->pending = 0;
}

void copy_text(char* dst, const char* src)
{
    std::snprintf(dst, CTRL_TEXT_SIZE, "%s", src != nullptr ? src : "");
}

} // namespace

void ctrl_init(Control* c, std::uint8_t type, std::uint16_t x, std::uint16_t y, std::uint16_t w,
               std::uint16_t h, std::uint16_t value_width, std::uint8_t extra, const char* label,
               const char* text)
{
    if (c == nullptr) return;
    std::memset(c, 0, sizeof *c);
    c->type = type;
    c->x = x;
    c->y = y;
    c->w = w;
    c->h = h;
    c->value_width = value_width;
    c->extra = extra;
    c->dirty = 1;
    c->font = 24;
    c->fg_color = 1;
    c->input_mode = 1;
    copy_text(c->label, label);
    copy_text(c->text, text);
    if (type == CTRL_TYPE_TEXT || type == CTRL_TYPE_PASSWORD) {
        c->cursor_on = 1;
        c->cursor = static_cast<std::uint8_t>(std::strlen(c->text));
    }
}

void ctrl_show(Control* c, std::uint8_t force)
{
    if (c == nullptr || c->w == 0 || c->h == 0) return;
    if (force == 0 && c->dirty == 0) return;
    const int x = c->x, y = c->y, w = c->w, h = c->h;
    lcd_set_redraw(x, y, x + w - 1, y + h - 1);
    c->dirty = 0;
    std::uint16_t ink = c->fg_color & 1;
    std::uint16_t background = c->bg_color & 1;
    if (c->reverse != 0) {
        ink ^= 1;
        background ^= 1;
    }
    lcd_fill_color(x, y, w, h, background);
    if (c->border != 0 || c->focused != 0) {
        const int right = std::min(x + w - 1, kScreenRight);
        const int bottom = std::min(y + h - 1, kScreenBottom);
        lcd_draw_rect(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                      static_cast<std::uint16_t>(right), static_cast<std::uint16_t>(bottom), ink);
    }
    if (c->hide_text != 0) return;
    const auto font = static_cast<std::uint8_t>(c->font);
    TextAttr label_attr = {c->align, TEXT_NO_CURSOR, 0, 0};
    lcd_show_text(&label_attr, c->x, c->y, static_cast<std::uint16_t>(w - c->value_width), c->h,
                  c->label, font, ink);
    if (c->type != CTRL_TYPE_TEXT && c->type != CTRL_TYPE_PASSWORD) return;

    TextAttr value_attr = {c->align, c->cursor, c->cursor_on, c->pending};
    char shown[CTRL_TEXT_SIZE];
    copy_text(shown, c->text);
    if (c->type == CTRL_TYPE_PASSWORD) {
        const std::size_t n = std::strlen(c->text);
        std::memset(shown, '*', n);
        shown[n] = '\0';
        // The character just typed stays readable until two ticks pass.
        if (c->ticks < 2 && c->cursor > 0 && c->cursor <= n)
            shown[c->cursor - 1] = c->text[c->cursor - 1];
    }
    lcd_show_text(&value_attr, static_cast<std::uint16_t>(x + w - c->value_width),
                  static_cast<std::uint16_t>(y + c->value_y), c->value_width, c->h, shown, font,
                  ink);
}

void ctrl_set_align(Control* c, std::uint8_t align)
{
    if (c == nullptr) return;
    c->align = align;
    c->dirty = 1;
}

void ctrl_set_reverse(Control* c, std::uint8_t reverse)
{
    if (c == nullptr) return;
    c->reverse = reverse;
    c->dirty = 1;
}

int ctrl_set_bgcolor(Control* c, std::uint16_t colour)
{
    if (c == nullptr) return 0;
    c->bg_color = colour;
    c->dirty = 1;
    return 1;
}

int ctrl_set_rect(Control* c, std::uint16_t x, std::uint16_t y, std::uint16_t w, std::uint16_t h)
{
    if (c == nullptr) return 0;
    c->x = x;
    c->y = y;
    c->w = w;
    c->h = h;
    c->dirty = 1;
    return 1;
}

int ctrl_set_hide_text(Control* c, std::uint8_t hide_text)
{
    if (c == nullptr) return 0;
    c->hide_text = hide_text;
    c->dirty = 1;
    return 1;
}

void ctrl_show_cursor(Control* c, std::uint8_t on)
{
    c->cursor_on = on;
    if (c->ticks < 2)
        ++c->ticks;
    else
        c->pending = 0;
    c->dirty = 1;
}

void ctrl_move_left(Control* c)
{
    if (c->cursor > 0) --c->cursor;
    commit(c);
    c->dirty = 1;
}

void ctrl_move_right(Control* c)
{
    if (c->cursor < std::strlen(c->text)) ++c->cursor;
    commit(c);
    c->dirty = 1;
}

int ctrl_insert_char(Control* c, char ch)
{
    const std::size_t n = std::strlen(c->text);
    if (n >= CTRL_TEXT_SIZE - 1) return -1;
    const std::size_t at = std::min<std::size_t>(c->cursor, n);
    char scratch[CTRL_TEXT_SIZE];
    std::memcpy(scratch, c->text, at);
    scratch[at] = ch;
    std::memcpy(scratch + at + 1, c->text + at, n - at + 1);
    std::memcpy(c->text, scratch, CTRL_TEXT_SIZE);
    c->cursor = static_cast<std::uint8_t>(at + 1);
    c->dirty = 1;
    return 0;
}

int ctrl_del_char(Control* c)
{
    const std::size_t n = std::strlen(c->text);
    // A cursor left past the end of a shortened text counts from the end;
    // with nothing before it there is nothing to delete.
    const std::size_t at = std::min<std::size_t>(c->cursor, n);
    if (at == 0) return -1;
    char scratch[CTRL_TEXT_SIZE];
    std::memcpy(scratch, c->text, at - 1);
    std::memcpy(scratch + at - 1, c->text + at, n - at + 1);
    std::memcpy(c->text, scratch, CTRL_TEXT_SIZE);
    c->cursor = static_cast<std::uint8_t>(at - 1);
    commit(c);
    c->dirty = 1;
    return 0;
}
