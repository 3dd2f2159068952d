// sim/run_request.h - what a boot of the simulated phone is asked to do,
// and what it tells of the run when the phone has powered off.
#pragma once

#include "keypad_server.h"
#include "shm_loader.h"

#include <string>
#include <vector>

struct boot_request {
    std::string state_dir;               // absolute host path; created when missing
    std::vector<std::string> argv;       // program (path inside the phone) and arguments
    std::vector<std::string> env;        // extra "NAME=value" for the program
    std::vector<std::string> host_binds; // host directories visible read-only in the phone
    std::string preload;                 // device layer (LD_PRELOAD); empty: the built one
    std::string reboot_tool;             // the phone's /sbin/reboot; empty: the built one
    int time_limit_ms = 0;               // 0: no limit
    double time_scale = 1.0;             // sleeps in the phone are this many times shorter
    std::vector<key_press> keys;         // the keypad script
    std::vector<std::string> faults;     // device-layer fault rules for this boot
    bool end_with_program = false;       // power off when the program ends, even if
                                         // processes it started still run
    bool ipc_listen = true;              // play the receivers on /var/ipc/1..12
    shm_load shm;                        // shared-memory mode: load the record first
};

struct boot_result {
    int run = 0;                // number of the run directory
    int exit_status = -1;       // program's exit code, 128 + signal, or -1
    bool rebooted = false;      // the program asked the phone to reboot
    bool timed_out = false;     // the time limit ended the run
    std::string reboot_command; // how the reboot was asked for, when rebooted
};
