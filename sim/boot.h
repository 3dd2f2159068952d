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

#include "run_request.h"

#include <string>

// Boots, runs and powers off. Throws std::runtime_error when the phone
// cannot be started at all.
boot_result phonesim_boot(const boot_request& req);

// Directory of one run inside the state directory.
std::string phonesim_run_dir(const std::string& state_dir, int run);
