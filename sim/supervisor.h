// sim/supervisor.h - the phone's first process.
//
// Runs inside the phone after the root is built: binds /dev/log, starts
// the program and loops, capturing every syslog datagram into
// syslog.jsonl and syslog.txt of the run directory and reaping children,
// until the program has ended (whatever it left running is stopped with
// it) or the time limit is reached. Returns the run's outcome.
#pragma once

#include "boot.h"

#include <string>

struct supervisor_request {
    std::vector<std::string> argv;
    std::vector<std::string> env; // complete environment of the program
    std::string run_dir;          // inside the phone
    int time_limit_ms = 0;
};

boot_result supervisor_run(const supervisor_request& req);
