// display/control.h - a control: one line of a screen, a label or a text
// or password input, with its own text, cursor and multi-tap state.
//
// Every change marks the control dirty; ctrl_show() draws a dirty (or
// forced) control whole: background, frame, label and value with cursor.
// To commit the character being chosen by multi-tap is to set ticks to 2
// and pending to 0.
#pragma once

#include <cstdint>

constexpr int CTRL_TEXT_SIZE = 64;
constexpr int CTRL_TYPE_LABEL = 0;
constexpr int CTRL_TYPE_TEXT = 1;
constexpr int CTRL_TYPE_PASSWORD = 2;

struct Control {
    std::uint16_t x, y;
    std::uint16_t w, h;
    std::uint16_t value_width;
    std::uint8_t type;
    std::uint8_t extra;
    std::uint8_t dirty;
    std::uint8_t hide_text;
    std::uint8_t focused;
    std::uint16_t font;
    std::uint16_t bg_color;
    std::uint16_t fg_color;
    std::uint8_t value_y;
    std::uint8_t align;
    std::uint8_t reverse;
    std::uint8_t border;
    std::uint8_t cursor;
    std::uint8_t cursor_on;
    std::uint8_t input_mode;
    std::uint8_t ticks;
    std::uint8_t last_key;
    std::uint8_t tap_index;
    std::uint8_t pending;
    char label[CTRL_TEXT_SIZE];
    char text[CTRL_TEXT_SIZE];
};

void ctrl_init(Control* c, std::uint8_t type, std::uint16_t x, std::uint16_t y, std::uint16_t w,
               std::uint16_t h, std::uint16_t value_width, std::uint8_t extra, const char* label,
               const char* text);
void ctrl_show(Control* c, std::uint8_t force);
void ctrl_set_align(Control* c, std::uint8_t align);
void ctrl_set_reverse(Control* c, std::uint8_t reverse);
int ctrl_set_bgcolor(Control* c, std::uint16_t colour);
int ctrl_set_rect(Control* c, std::uint16_t x, std::uint16_t y, std::uint16_t w, std::uint16_t h);
int ctrl_set_hide_text(Control* c, std::uint8_t hide_text);
void ctrl_show_cursor(Control* c, std::uint8_t on);
void ctrl_move_left(Control* c);
void ctrl_move_right(Control* c);
// Inserts at the cursor: 0, or -1 when the text already holds 63 characters.
int ctrl_insert_char(Control* c, char ch);
// Deletes before the cursor and commits: 0, or -1 with nothing before the
// cursor (at 0, or past the end of an empty text).
int ctrl_del_char(Control* c);
