// display/text_entry.h - multi-tap text entry on the twelve-key pad.
//
// Each key carries a list of characters per input mode; the first press
// enters the first one, quick further presses of the same key (before two
// ticks of the dialog) replace it by the next. The modes are "ABC",
// "abc", "123" and "1Ab".
#pragma once

#include "control.h"

constexpr int INPUT_MODE_COUNT = 4;

// The mode names and, per mode, the lists of the keys 0..9, star, hash.
extern const char* const g_input_text[INPUT_MODE_COUNT];
extern const char* const g_input_char_list[INPUT_MODE_COUNT][12];

// One press of the key whose character is `key` ('0'..'9', '*', '#') on
// an input control. 0, or -1 (no input control, or not a key).
int ctrl_add_char(Control* c, char key);
// The next input mode: abc, 123, 1Ab, ABC, abc, ...
void ctrl_switch_input(Control* c);
// The name of `mode`; "abc" for a mode of 4 or more.
const char* ctrl_get_input_text(unsigned char mode);
