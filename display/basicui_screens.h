// display/basicui_screens.h - the screens under CBasicUI.
//
// Each screen builds a DisplayInfo on its stack and opens the dialog on
// it; only the user-setting screen waits for keys. Texts are at most 63
// characters (the callers keep to that).
#pragma once

#include "dialog.h"

#include <cstdint>

// The texts of an information screen; an empty slot leaves its line or
// soft key off the screen.
struct UpdateInfoText {
    char title[64];
    char lines[4][64];
    char soft_keys[4][64];
};

// The texts and the result (1 OK, 2 Cancel) of the user-setting screen.
struct UserSettingText {
    char title[64];
    char user_label[64];
    char passwd_label[64];
    char user[64];
    char passwd[64];
    std::int32_t result;
};

// The progress screen's background: 480 x 272, one bit per pixel.
extern const std::uint8_t g_image_upgrading[16320];

int basicui_init();
void basicui_deinit();
void basicui_displayline_init(DisplayInfo* info);
// Opens the dialog on `info`; with `wait`, runs the key loop until the
// dialog is confirmed (1) or cancelled (2). 0 without waiting.
int basicui_open_display_info(DisplayInfo* info, int wait);
void basicui_open_user_setting(UserSettingText* t);
int basicui_open_upgrading(int percent);
int basicui_open_update_info(UpdateInfoText* text);
void basicui_display_updating_line(const char* text);
int basicui_get_keypressed();
