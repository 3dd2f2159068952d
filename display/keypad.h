// display/keypad.h - the phone's keypad, read on a thread of its own.
//
// The thread, started by the first key_get_keypressed(), keeps only the
// code of the most recent key press; screens poll it and take it away.
// There is no queue: a press not yet taken is replaced by the next one.
#pragma once

#include <cstdint>

// The key codes of the phone's keypad driver.
constexpr int KEY_DIGIT_0 = 10; // 1..9 are the digits 1..9
constexpr int KEY_STAR = 11;
constexpr int KEY_HASH = 12;
constexpr int KEY_PREV_ITEM = 13;
constexpr int KEY_NEXT_ITEM = 14;
constexpr int KEY_LEFT = 15;
constexpr int KEY_RIGHT = 16;
constexpr int KEY_OK = 17;
constexpr int KEY_DELETE = 18;
constexpr int KEY_SOFT_1 = 32;
constexpr int KEY_SOFT_2 = 33;
constexpr int KEY_SOFT_3 = 34;
constexpr int KEY_SOFT_4 = 35;

// What kpad_read() gives of an input event.
struct KeyEvent {
    std::int32_t value; // 1 press, 0 release, 2 repeat
    std::int32_t code;
};

// The code of the last press not yet taken and clears it (0: none). The
// first call starts the keypad thread and waits 500 ms for it.
int key_get_keypressed();

// The thread body: reads presses for the rest of the process.
void* kpad_thread(void* arg);

// Opens /dev/input/event0: the descriptor, or the negative result.
int kpad_open();
// Reads one 16-byte event: 0, or -1 (bad arguments, or not a whole event).
int kpad_read(int fd, KeyEvent* out);
// Closes a descriptor of 1 or more.
int kpad_close(int fd);
