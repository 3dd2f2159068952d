// display/dialog.h - the full-screen dialog: twelve controls on a
// background, an input focus, and the handlers of keys and ticks.
//
// The display has one dialog, g_dlgdisplay. Every screen opens it anew on
// a screen description (DisplayInfo), which fills its controls and draws
// the whole screen; on the entry screen its key handler turns key codes
// into focus moves, cursor moves and text entry, and its tick blinks the
// cursor. The entry screen's results go back into the description.
#pragma once

#include "control.h"

#include <cstdint>

constexpr int DISPLAY_LINE_COUNT = 12;
constexpr std::uint8_t DISPLAY_NO_FOCUS = 255;
// The background value that paints the screen black (null paints white,
// anything else is a full-screen bitmap).
inline const void* const DISPLAY_IMAGE_BLACK = reinterpret_cast<const void*>(1);

struct DisplayLine {
    std::int32_t x, y;
    std::int32_t w, h;
    std::int32_t value_width;
    std::uint8_t align;
    std::uint8_t font;
    std::uint8_t border;
    std::uint8_t reverse;
    std::uint8_t type;
    char label[64];
    char text[64];
};

struct DisplayInfo {
    std::uint8_t focus;
    std::uint8_t first;
    std::uint8_t last;
    const void* image;
    DisplayLine lines[DISPLAY_LINE_COUNT];
};

struct Dialog {
    void (*init)(Dialog* d, DisplayInfo* info);
    void (*show)(Dialog* d, std::uint8_t force);
    int (*key)(Dialog* d, std::uint8_t key);
    void (*spare)(Dialog* d, int value);
    void (*tick)(Dialog* d);
    std::uint16_t x, y;
    std::uint16_t w, h;
    std::uint8_t id;
    std::uint8_t redraw_all;
    std::uint8_t count;
    std::uint8_t focus;
    std::uint8_t first, last;
    const void* image;
    Control controls[DISPLAY_LINE_COUNT];
    DisplayInfo* source;
};

extern Dialog* const g_dlgdisplay;

// Loads `info` into `d` and draws it whole. A null dialog is ignored.
void open_dlg(Dialog* d, DisplayInfo* info);
void dlg_load_info(Dialog* d, DisplayInfo* info);
void dlg_show(Dialog* d, std::uint8_t force);
void dlg_next_item(Dialog* d);
void dlg_prev_item(Dialog* d);
// 0 go on, 1 confirmed, 2 cancelled, -1 no dialog or no focused control.
int dlg_key_handler(Dialog* d, std::uint8_t key);
void dlg_tick(Dialog* d);
