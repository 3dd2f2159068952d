// display/dialog.cpp - loading, drawing and driving the dialog.
#include "dialog.h"

#include "lcd.h"
#include "rl_log.h"
#include "text_entry.h"

#include <cstdio>
#include <cstring>

namespace {

void show_handler(Dialog* d, std::uint8_t force)
{
    if (d != nullptr) dlg_show(d, force);
}

void spare_handler(Dialog*, int) {}

Dialog g_dialog = {
    dlg_load_info,
    show_handler,
    dlg_key_handler,
    spare_handler,
    dlg_tick,
    0,
    0,
    480,
    272,
    0,
    1,
    0,
    0,
    0,
    0,
    nullptr,
    {},
    nullptr,
};

Control* focused(Dialog* d)
{
    return d->focus < DISPLAY_LINE_COUNT ? &d->controls[d->focus] : nullptr;
}

void lose_focus(Control* c)
{
    c->focused = 0;
    c->pending = 0;
    c->cursor_on = 0;
    c->ticks = 2;
    c->dirty = 1;
}

// Moves the focus forward or back and carries the input mode over.
void move_focus(Dialog* d, bool forward)
{
    const std::uint8_t before = d->focus;
    const std::uint8_t mode = before < DISPLAY_LINE_COUNT ? d->controls[before].input_mode : 1;
    if (forward)
        dlg_next_item(d);
    else
        dlg_prev_item(d);
    if (d->focus != before && d->focus < DISPLAY_LINE_COUNT)
        d->controls[d->focus].input_mode = mode;
}

} // namespace

Dialog* const g_dlgdisplay = &g_dialog;

void open_dlg(Dialog* d, DisplayInfo* info)
{
    if (d == nullptr) return;
    rl_log_debug("Opened Dialog 0x%X.", static_cast<unsigned int>(d->id));
    if (d->init != nullptr) d->init(d, info);
    if (d->show != nullptr) d->show(d, 1);
}

void dlg_load_info(Dialog* d, DisplayInfo* info)
{
    if (d == nullptr || info == nullptr) return;
    d->source = info;
    d->image = info->image;
    for (int i = 0; i < DISPLAY_LINE_COUNT; ++i) {
        const DisplayLine& l = info->lines[i];
        Control* c = &d->controls[i];
        ctrl_init(c, 0, static_cast<std::uint16_t>(l.x), static_cast<std::uint16_t>(l.y),
                  static_cast<std::uint16_t>(l.w), static_cast<std::uint16_t>(l.h),
                  static_cast<std::uint16_t>(l.value_width), 0, l.label, l.text);
        ctrl_set_align(c, l.align);
        ctrl_set_reverse(c, l.reverse);
        c->border = l.border;
        // Set after the initialisation: an input starts with its cursor at
        // 0 and hidden, whatever its text.
        c->type = l.type;
    }
    if (info->focus < DISPLAY_LINE_COUNT) d->controls[info->focus].focused = 1;
    d->focus = info->focus;
    d->first = info->first;
    d->last = info->last;
    d->count = DISPLAY_LINE_COUNT;
}

void dlg_show(Dialog* d, std::uint8_t force)
{
    if (d == nullptr) return;
    const bool full = force != 0 || d->redraw_all != 0;
    if (full) {
        lcd_set_redraw(d->x, d->y, d->x + d->w - 1, d->y + d->h - 1);
        if (d->image != nullptr && d->image != DISPLAY_IMAGE_BLACK) {
            lcd_draw_icon(0, 0, d->w, d->h, static_cast<const std::uint8_t*>(d->image),
                          d->w * d->h / 8);
        } else {
            const std::uint16_t colour = d->image == DISPLAY_IMAGE_BLACK ? 1 : 0;
            for (int band = 0; band < d->h / 8; ++band)
                lcd_fill_color(0, band * 8, d->w, 8, colour);
        }
        d->redraw_all = 0;
    }
    for (int i = 0; i < d->count; ++i) ctrl_show(&d->controls[i], full ? 1 : 0);
    lcd_refresh();
}

void dlg_next_item(Dialog* d)
{
    if (d == nullptr || d->focus < d->first || d->focus > d->last) return;
    lose_focus(&d->controls[d->focus]);
    d->focus = d->focus == d->last ? d->first : static_cast<std::uint8_t>(d->focus + 1);
    d->controls[d->focus].focused = 1;
    d->controls[d->focus].dirty = 1;
}

void dlg_prev_item(Dialog* d)
{
    if (d == nullptr || d->focus < d->first || d->focus > d->last) return;
    lose_focus(&d->controls[d->focus]);
    d->focus = d->focus == d->first ? d->last : static_cast<std::uint8_t>(d->focus - 1);
    Control* c = &d->controls[d->focus];
    c->focused = 1;
    c->cursor_on = 1;
    c->dirty = 1;
}

int dlg_key_handler(Dialog* d, std::uint8_t key)
{
    if (d == nullptr) return -1;
    Control* c = focused(d);
    if (c == nullptr) return -1;
    if (key >= 1 && key <= 9) {
        ctrl_add_char(c, static_cast<char>('0' + key));
    } else if (key == 10) {
        ctrl_add_char(c, '0');
    } else if (key == 11) {
        ctrl_add_char(c, '*');
    } else if (key == 12) {
        ctrl_add_char(c, '#');
    } else if (key == 13) {
        move_focus(d, false);
    } else if (key == 14) {
        move_focus(d, true);
    } else if (key == 15) {
        ctrl_move_left(c);
    } else if (key == 16) {
        ctrl_move_right(c);
    } else if (key == 17 || key == 35) {
        if (d->source != nullptr) {
            for (int i = 0; i < DISPLAY_LINE_COUNT; ++i)
                std::snprintf(d->source->lines[i].text, sizeof d->source->lines[i].text, "%s",
                              d->controls[i].text);
        }
        return 1;
    } else if (key == 18 || key == 34) {
        ctrl_del_char(c);
    } else if (key == 32) {
        return 2;
    } else if (key == 33) {
        ctrl_switch_input(c);
        Control* label = &d->controls[9];
        std::snprintf(label->label, sizeof label->label, "%s", ctrl_get_input_text(c->input_mode));
        label->dirty = 1;
    }
    if (d->show != nullptr) d->show(d, 0);
    return 0;
}

void dlg_tick(Dialog* d)
{
    if (d == nullptr) return;
    Control* c = focused(d);
    if (c == nullptr) return;
    ctrl_show_cursor(c, c->cursor_on != 0 ? 0 : 1);
    if (d->show != nullptr) d->show(d, 0);
}
