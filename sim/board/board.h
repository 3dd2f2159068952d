// sim/board/board.h - the emulated MIPS board: a real Linux kernel for the
// Malta board under qemu's full-system emulation, made into a phone by its
// first process (init.sh). A run boots it once with a flash chip file and
// a scenario, and gives back what the scenario left in the guest's /out.
//
// The board answers through real kernel drivers: block2mtd over loop
// windows of the chip's disk for /dev/mtd0..9, vfb for /dev/fb0, the PS/2
// keyboard for /dev/input/event0, a CUSE server for /dev/misc0, busybox's
// syslogd for /dev/log. It does not keep NOR rules and cannot cut power;
// the simulated phone does both.
#pragma once

#include <map>
#include <string>
#include <vector>

struct board_parts {
    std::string kernel;       // vmlinuz of the Malta kernel
    std::string modules_list; // one .ko path per line, in load order
    std::string busybox;      // a static mipsel busybox
    std::string helpers;      // folder of the board's own programs (phone build)
    std::string scripts;      // folder of init.sh, finish.sh, reboot.sh
};
// The parts from the folder scripts/mips-system-test fetched and built them
// into: UPG_BOARD_DIR, else build/board beside the host build.
board_parts board_parts_from_env();

struct board_request {
    std::string chip;                            // host path of the 8 MiB chip file (changed)
    std::string layout;                          // "index offset size" lines, in mtd order
    std::map<std::string, std::string> platform; // env, hwver, software (the /proc files)
    std::string root; // host folder of the phone's files (app/, basic/, ...)
    std::map<std::string, std::string> files; // more guest files: path -> contents
    std::string scenario;                     // shell text run after the set-up
    int time_limit_ms = 120000;
};

struct board_result {
    bool powered_off = false;               // the board ended by itself (not the time limit)
    std::string console;                    // everything the serial console showed
    std::map<std::string, std::string> out; // the guest's /out: relative path -> contents
    // One of `out`, "" when missing.
    std::string file(const std::string& name) const;
};

// Boots the board once. The scenario may write "board-key: NAME" on a line
// of its own to /dev/console: the host then presses that key of the board's
// keyboard
// (qemu's names: "h" is KEY_H, code 35, the phone's soft key 4). Throws
// std::runtime_error when qemu cannot be started.
board_result board_run(const board_parts& parts, const board_request& req);
