// engine/driver_run.h - what one run of the upgrader owns, and how it ends.
//
// A run owns its display object, its ROM file mapping (file and direct
// mode), its records of the image and the locks it took. run_end() is the
// one place that gives them back: each ending of a run is a row of a table
// that lists, in order, what it releases, what it shows and how the
// process ends. run_check() is the image check as a run makes it, past an
// extracted upgrader unless the run hands over to it.
#pragma once

#include "device_env.h"
#include "rom_format.h"

#include <cstddef>

class CBasicUI;

// A ROM image file mapped read-only.
struct rom_file {
    int fd = -1;
    void* map = nullptr; // null: nothing mapped
    std::size_t size = 0;
};

// Everything one run of the driver owns.
struct upgrade_run {
    CBasicUI* ui = nullptr;
    rom_file rom;
    char** argv = nullptr;
    env_info env[ENV_TABLE_SIZE] = {};
    rom_header header = {};
    partition_header headers[ROM_PARTITIONS_MAX] = {};
    int burn_flags[ROM_PARTITIONS_MAX] = {};
    const unsigned int* image = nullptr;
    unsigned long image_len = 0;
    int same_version = 0;
    int upgrader_state = 0;
    int failure_code = 0;
    int failure_id = 0;
    int cfg_semid = -1;
    int cfg_locked = 0;  // this run holds cfg_semid
    int burn_locked = 0; // this run holds the burn lock
    int tidied = 0;      // the configuration fixes are done
    int memory_semid = -1;
    void* record = nullptr; // the attached shared upgrade record
    int reboot_fallback = 0;
};

// The endings of a run. Their rows in driver_run.cpp say what each does.
enum class run_ending {
    start_up_failed,  // before any work: the log and IPC set up, nothing else
    refused_at_once,  // another run holds a lock, or the wrong path: only the display goes
    no_watchdog,      // the watchdog cannot be switched off
    no_rom_file,      // the ROM file cannot be opened or mapped
    failed_holding_a, // a step failed after cfg_semid was tried (release point A)
    failed_holding_b, // a step failed before (release point B)
    handed_off,       // the extracted upgrader runs the upgrade from here
    direct_failed,    // direct mode: check or burn failed
    direct_done,      // direct mode: burned
    shared_done,      // shared-memory mode: burned
    file_done,        // file mode: burned (the last one)
};

// Opens and maps `path` into run->rom (logged on failure). 0, or the
// failure code (UPGRADER_FAIL_OPEN, UPGRADER_FAIL_MMAP).
int run_map_rom(upgrade_run* run, const char* path);

// rom_upgrade_check() of the run's image from cleared records. When the
// check stops at an upgrader it extracted and the run does not hand over
// to it (`hand_over` false), it checks again: the extracted file now
// exists and is passed over, and that verdict counts.
int run_check(upgrade_run* run, bool hand_over);

// Ends the run as `ending` says and returns `value`, the process's exit
// value (the failure endings with a screen, and the reboot endings of
// shared-memory mode, do not return).
int run_end(upgrade_run* run, run_ending ending, int value);
