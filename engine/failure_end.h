// engine/failure_end.h - how a run ends: the reboot sequence, and the
// failure ending with its screen, its key wait and the auto-provisioning
// countdown.
//
// A failure ending tells the other processes (IPC_MSG_UPGRADE_FAILED),
// shows the failure text and its number, and reboots when soft key 4 is
// pressed; an auto-provisioning run counts 60 seconds down instead and
// reboots by itself. Once a screen is up the process never ends by itself.
#pragma once

class CBasicUI;

// The driver's failure codes.
constexpr int UPGRADER_FAIL_CONFIG_UMOUNT = -187;
constexpr int UPGRADER_FAIL_MTD_CONFIG = -188;
constexpr int UPGRADER_FAIL_COPY_BINS = -189;
constexpr int UPGRADER_FAIL_WATCHDOG = -190;
constexpr int UPGRADER_FAIL_BURN = -191;
constexpr int UPGRADER_FAIL_KILLAPPS = -192;
constexpr int UPGRADER_FAIL_ROM_CHECK = -193;
constexpr int UPGRADER_FAIL_DIRECT = -194;
constexpr int UPGRADER_FAIL_MMAP = -195;
constexpr int UPGRADER_FAIL_OPEN = -196;
constexpr int UPGRADER_FAIL_SHM = -198;
constexpr int UPGRADER_FAIL_LOAD = -199;
constexpr int UPGRADER_FAIL_USAGE = -200;

// The key code of soft key 4, which reboots from a failure screen.
constexpr int UPGRADER_REBOOT_KEY = 35;

// do_reboot with the fallback flag, sleep 10 s, watchdog back on.
void reboot_sequence(int fallback);

// The failure text of a failure code; "Pleace check ROM version!" for
// the ID of a ROM version below the minimum.
const char* failure_text(int code, int id);

// Ends a failed run as `upgrader_state` says: the failure screen (0, -1,
// 2, -3), the countdown (1, -2), or nothing (any other state, or code 0),
// in which case it returns.
void end_with_failure(CBasicUI* ui, int upgrader_state, int code, int id, int fallback);

// The failure screen and the key wait; returns only for code 0.
void show_failure_and_wait(CBasicUI* ui, int code, int fallback, int id);

// Argument of the countdown thread.
struct autop_countdown_arg {
    int id;
    CBasicUI* ui;
};
// Counts 60 seconds down on the screen, then reboots; never returns.
void* autop_failure_countdown(void* arg);

// Reads /dev/input/event0 and reboots at every press of soft key 4;
// never returns (exits with -1 when the device cannot be opened).
[[noreturn]] void wait_reboot_key(CBasicUI* ui, int fallback);
