// sim/boot.h - powering the simulated phone on and running one program.
//
// phonesim_boot() starts a private mount, IPC and PID namespace (with a
// user namespace when not run as root), builds the phone's root in it and
// starts the phone's first process, the supervisor. The supervisor runs
// the requested program inside the phone and serves the phone's sockets
// and platform files until no process of the phone is left (or, when
// asked, the program has ended), the phone reboots, or the time limit is
// reached; then the phone powers off. Everything the run leaves behind
// is in the state directory under runs/<number>/.
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

// Boots, runs and powers off. Throws std::runtime_error when the phone
// cannot be started at all.
boot_result phonesim_boot(const boot_request& req);

// Directory of one run inside the state directory.
std::string phonesim_run_dir(const std::string& state_dir, int run);
