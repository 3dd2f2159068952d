// sim/run_report.h - the record of one run, built when the phone powers off.
#pragma once

#include "ipc_record.h"
#include "syslog_record.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

struct run_facts {
    int run = 0;
    int exit_status = -1;
    bool rebooted = false;
    std::string reboot_command;
    int64_t reboot_t_ms = -1;
    bool timed_out = false;
    std::string ended_by;
    int64_t duration_ms = 0;
    std::vector<syslog_record> syslog;
    std::vector<ipc_message> ipc;
    std::vector<std::string> keys;
    int refreshes = 0;
    int frames = 0;
    // The boot environment as name and value pairs, in its order.
    std::vector<std::pair<std::string, std::string>> env_before;
    std::vector<std::pair<std::string, std::string>> env_after;
    nlohmann::json files_before; // list_files of /tmp and /config as the program started
};

// Summarises the device layer's flash log: per partition the erase
// requests, erased and written bytes and NOR violations.
nlohmann::json flash_summary(const std::string& flash_log_text);
// Lists regular files under `dir` with their sizes and a hash of their
// contents (FNV-1a, 64 bits, in hex), so that two listings tell which
// files a run created, changed or removed. Folders of other file systems
// mounted below `dir` are left out.
nlohmann::json list_files(const std::string& dir);
// The listings of the two folders a run may change: {"tmp": ..., "config": ...}.
nlohmann::json list_run_files();

nlohmann::json build_report(const run_facts& f, const std::string& run_dir);
// A few lines for a person: how the run ended and where to look.
std::string report_summary(const nlohmann::json& report, const std::string& run_dir);
