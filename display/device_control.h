// display/device_control.h - LEDs, extension LEDs and backlight on the misc
// device /dev/misc0, and two plain ways to write or refresh the panel.
//
// Every operation opens the device, issues one request and closes it; the
// get operations answer 0 on any failure, the set operations -1. Failures
// are logged at error level. Nothing in the upgrade calls these: they are
// the display's interface for the phone's other programs.
#pragma once

#include <cstdint>

constexpr unsigned long MISC_IOCS_LED = 0x80044D07UL;     // the mask itself
constexpr unsigned long MISC_IOCG_LED = 0x40044D08UL;     // int* receives the mask
constexpr unsigned long MISC_IOCS_BKLIGHT = 0x80044D09UL; // the value itself
constexpr unsigned long MISC_IOCG_BKLIGHT = 0x40044D0AUL; // int* receives the value
constexpr unsigned long MISC_IOCS_EXT_LED = 0x80044D11UL; // the value itself

// LEDs in a state array: 19 of them, two bits each, four to a byte.
constexpr int DEVCTRL_LED_COUNT = 19;

int devctrl_get_led();
int devctrl_set_led(int mask);
// Builds the mask from `states` (LED 0's upper bit is cleared in the
// caller's array first) and sets it.
int devctrl_set_leds(std::uint8_t* states);
int devctrl_get_backlight();
int devctrl_set_backlight(int value);
int devctrl_set_ext_led(int value);
// Writes `len` bytes of `buf` to /dev/fb0.
int devctrl_write_lcd(const void* buf, int len);
// Refreshes the panel through the shell; the result of system().
int devctrl_refresh_lcd_shell();
