// engine/driver.h - the upgrader program: one firmware upgrade from start
// to reboot.
//
//   upgrader                    shared-memory mode: the image is the
//                               shared upgrade record's rom_data
//   upgrader ROM_FILE           file mode
//   upgrader ROM_FILE ANY       direct mode: check and burn, no locks,
//                               no broadcasts, no failure screen
//
// Shared-memory and file mode run as /basic/bin/upgrader or as the copy
// /tmp/upgrader_tool, each under its own process lock; they take the
// locks in the order process lock, memory_semid, cfg_semid, burn lock.
// Every successful run ends with the reboot; a failure ends on the failure
// screen (or the auto-provisioning countdown) of failure_end.h.
#pragma once

#include "device_env.h"
#include "rom_format.h"

class CBasicUI;

// Everything one run of the driver owns.
struct upgrade_run {
    CBasicUI* ui = nullptr;
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

// main() of the program. Returns the exit value (or never returns: the
// reboot ends the process).
int upgrader_main(int argc, char** argv);

// Destroys the run's display object and returns `value`: for the
// refusals that end a run at once, without a screen.
int drop_display(upgrade_run* run, int value);

// Shared-memory mode (`shared` true) or file mode after the common
// opening, up to the reboot or the ending. Returns the exit value.
int upgrade_shared_or_file(upgrade_run* run, bool shared);
