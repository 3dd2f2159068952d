// sim/phonesim.cpp - the simulated phone's command line.
//
//   phonesim run DIR [--time-limit MS] [--bind HOSTDIR]... -- PROGRAM [ARGS]
//   phonesim log DIR [RUN]
//   phonesim demo DIR
#include "boot.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace {

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

int last_run(const std::string& dir)
{
    int n = 0;
    while (access(phonesim_run_dir(dir, n + 1).c_str(), F_OK) == 0) ++n;
    return n;
}

int cmd_run(const std::string& dir, int limit, std::vector<std::string> binds,
            const std::vector<std::string>& argv)
{
    boot_request req;
    req.state_dir = absolute(dir);
    req.argv = argv;
    req.time_limit_ms = limit;
    binds.push_back(PHONESIM_BUILD_DIR);
    req.host_binds = binds;
    const boot_result r = phonesim_boot(req);
    printf("run %d: exit status %d%s%s\n", r.run, r.exit_status, r.rebooted ? ", rebooted" : "",
           r.timed_out ? ", time limit reached" : "");
    printf("syslog: %s/syslog.txt\n", phonesim_run_dir(req.state_dir, r.run).c_str());
    return r.exit_status < 0 ? 1 : r.exit_status;
}

int cmd_log(const std::string& dir, int run)
{
    if (run <= 0) run = last_run(absolute(dir));
    std::ifstream f(phonesim_run_dir(absolute(dir), run) + "/syslog.txt");
    if (!f) {
        fprintf(stderr, "phonesim: no run %d in %s\n", run, dir.c_str());
        return 1;
    }
    std::cout << f.rdbuf();
    return 0;
}

// Boots a phone in DIR with the upgrader and prints what it logged.
int cmd_demo(const std::string& dir)
{
    boot_request req;
    req.state_dir = absolute(dir);
    req.argv = {PHONESIM_UPGRADER};
    req.host_binds = {PHONESIM_BUILD_DIR};
    req.time_limit_ms = 600000;
    const boot_result r = phonesim_boot(req);
    const std::string run_dir = phonesim_run_dir(req.state_dir, r.run);
    printf("== upgrader on the simulated phone (run %d) ==\n", r.run);
    cmd_log(dir, r.run);
    printf("== exit status %d%s%s\n", r.exit_status, r.rebooted ? ", rebooted" : "",
           r.timed_out ? ", time limit reached" : "");
    printf("syslog:  %s/syslog.txt\nreport:  %s/report.json\n", run_dir.c_str(), run_dir.c_str());
    return r.exit_status < 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"The simulated phone"};
    app.require_subcommand(1);

    std::string dir;
    int limit = 0;
    std::vector<std::string> binds;
    std::vector<std::string> program;
    CLI::App* run = app.add_subcommand("run", "boot the phone and run a program in it");
    run->add_option("dir", dir, "state directory")->required();
    run->add_option("--time-limit", limit, "end the run after this many milliseconds");
    run->add_option("--bind", binds, "host directory to show read-only in the phone");
    run->add_option("program", program, "program and arguments (after --)")->required();

    int run_number = 0;
    CLI::App* log = app.add_subcommand("log", "print the syslog of a run");
    log->add_option("dir", dir, "state directory")->required();
    log->add_option("run", run_number, "run number (default: the last)");

    CLI::App* demo = app.add_subcommand("demo", "run the upgrader on a phone and show the result");
    demo->add_option("dir", dir, "state directory")->required();

    CLI11_PARSE(app, argc, argv);
    try {
        if (*run) return cmd_run(dir, limit, binds, program);
        if (*demo) return cmd_demo(dir);
        return cmd_log(dir, run_number);
    } catch (const std::exception& e) {
        fprintf(stderr, "phonesim: %s\n", e.what());
        return 1;
    }
}
