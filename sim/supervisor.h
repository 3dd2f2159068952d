// sim/supervisor.h - the phone's first process.
//
// Runs inside the phone after the root is built. Serves /dev/log (every
// datagram into syslog.jsonl and syslog.txt of the run), the platform
// files, the keypad, the IPC receivers and the control socket that the
// phone's reboot uses; starts the program and reaps every process. When
// the run ends it powers the phone off and writes report.json.
#pragma once

#include "run_request.h"

#include <string>
#include <vector>

struct supervisor_request {
    boot_request boot;
    std::vector<std::string> env; // complete environment of the program
    std::string run_dir;          // inside the phone
};

boot_result supervisor_run(const supervisor_request& req);
