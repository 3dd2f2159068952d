// sim/phonesim.cpp - the simulated phone's command line.
//
//   phonesim init DIR [options]             make a phone
//   phonesim run DIR [options] [-- ARGS]    boot it and run /basic/bin/upgrader ARGS
//   phonesim run DIR [options] --exec CMD   ... or a shell command
//   phonesim run DIR --shm IMAGE [--state N] shared-memory mode: load, then run it
//   phonesim show DIR                       flash map, environment, versions, last screen
//   phonesim log DIR [RUN]                  the syslog of a run
//   phonesim report DIR [RUN]               the page of a run: DIR/runs/RUN/report.html
//   phonesim demo DIR [--upgrader PATH]     a whole upgrade, shown
#include "boot.h"
#include "demo.h"
#include "env_store.h"
#include "html_report.h"
#include "phone_state.h"
#include "run_report.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string absolute(const std::string& path)
{
    return fs::absolute(path).lexically_normal().string();
}

int last_run(const std::string& dir)
{
    int n = 0;
    while (access(phonesim_run_dir(dir, n + 1).c_str(), F_OK) == 0) ++n;
    return n;
}

struct run_options {
    int time_limit_ms = 0;
    double time_scale = 1.0;
    std::vector<std::string> keys;
    std::vector<std::string> faults;
    std::vector<std::string> binds;
    std::vector<std::string> program_env;
    std::vector<std::string> exec;
    std::vector<std::string> args;
    std::string shm_image;
    int shm_state = 0;
    bool shm_primary = false;
    int power_cut_after = 0;
    unsigned int torn_bytes = 0;
    bool relocation_persists = false;
    std::string flash_timing;
};

int cmd_run(const std::string& dir, const run_options& o)
{
    boot_request req;
    req.state_dir = absolute(dir);
    if (!o.exec.empty()) {
        std::string cmd;
        for (const auto& a : o.exec) cmd += (cmd.empty() ? "" : " ") + a;
        req.argv = {"/bin/sh", "-c", cmd};
    } else {
        req.argv = {"/basic/bin/upgrader"};
        req.argv.insert(req.argv.end(), o.args.begin(), o.args.end());
    }
    if (!o.shm_image.empty()) {
        if (!o.args.empty() || !o.exec.empty())
            throw std::runtime_error("--shm starts the upgrader without arguments");
        std::ifstream in(o.shm_image, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + o.shm_image);
        req.shm.image.assign(std::istreambuf_iterator<char>(in), {});
        req.shm.enabled = true;
        req.shm.state = o.shm_state;
        req.shm.primary = o.shm_primary;
    }
    req.time_limit_ms = o.time_limit_ms;
    req.time_scale = o.time_scale;
    for (const auto& k : o.keys) req.keys.push_back(parse_key_press(k));
    for (const auto& f : o.faults) req.faults.push_back("fault " + f);
    if (o.power_cut_after > 0)
        req.faults.push_back("power_cut_after_writes " + std::to_string(o.power_cut_after));
    if (o.torn_bytes > 0)
        req.faults.push_back("power_cut_torn_bytes " + std::to_string(o.torn_bytes));
    if (o.relocation_persists) req.faults.push_back("relocation_persists 1");
    if (!o.flash_timing.empty()) req.faults.push_back("flash_timing " + o.flash_timing);
    req.host_binds = o.binds;
    req.host_binds.push_back(PHONESIM_BUILD_DIR);
    req.env = o.program_env;
    const boot_result r = phonesim_boot(req);
    const std::string run_dir = phonesim_run_dir(req.state_dir, r.run);
    std::ifstream f(run_dir + "/report.json");
    const nlohmann::json report = nlohmann::json::parse(f, nullptr, false);
    if (!report.is_discarded()) std::cout << report_summary(report, run_dir);
    return r.exit_status < 0 ? (r.rebooted ? 0 : 1) : r.exit_status;
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

int cmd_report(const std::string& dir, int run)
{
    if (run <= 0) run = last_run(absolute(dir));
    std::cout << write_run_page(phonesim_run_dir(absolute(dir), run)) << "\n";
    return 0;
}

int cmd_show(const std::string& dir_arg)
{
    const std::string dir = absolute(dir_arg);
    if (!phone_exists(dir)) {
        fprintf(stderr, "phonesim: no phone in %s\n", dir.c_str());
        return 1;
    }
    std::cout << "phone " << dir << "\n\nhardware version: " << phone_file(dir + "/platform/hwver")
              << "software:         " << phone_file(dir + "/platform/software")
              << "\nflash partitions (chip addresses):\n";
    const std::string counts = phone_file(dir + "/flash/erase_counts.bin");
    for (const mtd_range& r : phone_default_layout()) {
        const env_vars env = env_load(dir + "/env.txt");
        const std::string* v = env_find(env, "mtd" + std::to_string(r.index));
        std::cout << "  mtd" << r.index << "  " << (v != nullptr ? *v : "(not in environment)");
        unsigned s = 0, e = 0;
        if (v != nullptr && sscanf(v->c_str(), "%x,%x", &s, &e) == 2 && s >= 0x90000000U && e > s &&
            e <= 0x90800000U) {
            uint64_t erased = 0;
            for (unsigned a = s; a < e; a += 0x10000) {
                const size_t i = size_t{(a - 0x90000000U) / 0x10000} * 4;
                if (i + 4 <= counts.size())
                    erased += static_cast<uint8_t>(counts[i]) | static_cast<uint8_t>(counts[i + 1])
                                                                    << 8;
            }
            std::cout << "  " << (e - s) / 1024 << " KiB, block erases so far: " << erased;
        }
        std::cout << "\n";
    }
    std::cout << "\nboot environment:\n";
    for (const auto& [n, val] : env_load(dir + "/env.txt"))
        std::cout << "  " << n << " = " << val << "\n";
    for (const char* v : {"app/version.conf", "basic/version.conf", "version.conf"})
        std::cout << "\n/" << v << ":\n" << phone_file(dir + "/files/" + v);
    const int run = last_run(dir);
    if (run > 0) {
        std::string last;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(phonesim_run_dir(dir, run) + "/frames", ec))
            if (e.path().string() > last) last = e.path().string();
        std::cout << "\nlast run: " << phonesim_run_dir(dir, run)
                  << "\nlast screen: " << (last.empty() ? "(none)" : last) << "\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"The simulated phone"};
    app.require_subcommand(1);
    std::string dir;

    phone_options init_opt;
    std::vector<std::string> env_sets;
    std::string upgrader = PHONESIM_UPGRADER;
    CLI::App* init = app.add_subcommand("init", "make a new phone in a state directory");
    init->add_option("dir", dir, "state directory")->required();
    init->add_option("--hwver", init_opt.hwver, "hardware version (/proc/misc/hwver)");
    init->add_option("--software", init_opt.software, "software line (/proc/ver/software)");
    init->add_option("--rom-version", init_opt.rom_version, "RomVersion in /app/version.conf");
    init->add_flag("--relocation", init_opt.relocation, "the MTD driver can move partitions");
    init->add_option("--erasesize", init_opt.erasesize, "MTD erase size in bytes");
    init->add_flag("--nor-strict", init_opt.nor_strict, "programming a non-erased byte fails");
    init->add_option("--killapps-exit", init_opt.killapps_exit, "exit code of killapps.sh");
    init->add_option("--env", env_sets, "boot environment variable NAME=VALUE");
    init->add_option("--upgrader", upgrader, "program installed as /basic/bin/upgrader");

    run_options ro;
    CLI::App* run = app.add_subcommand("run", "boot the phone and run the upgrader (or a command)");
    run->add_option("dir", dir, "state directory")->required();
    run->add_option("--time-limit", ro.time_limit_ms, "power off after this many milliseconds");
    run->add_option("--time-scale", ro.time_scale, "make every sleep this many times shorter");
    run->add_option("--key", ro.keys, "key press CODE@MS, CODE@frame:N or CODE@log:TEXT");
    run->add_option("--fault", ro.faults,
                    "device fault: 'missing PATH', 'open PATH N ERRNO', 'ioctl PATH REQ N ERRNO', "
                    "'write PATH N ERRNO', 'command EXIT TEXT'");
    run->add_option("--shm", ro.shm_image,
                    "shared-memory mode: load this ROM image into the shared upgrade record "
                    "and start the upgrader without arguments");
    run->add_option("--state", ro.shm_state, "upgrader_state written with --shm (default 0)");
    run->add_flag("--shm-primary", ro.shm_primary,
                  "with --shm, also load the record under key 0x1079B, found first");
    run->add_option("--power-cut", ro.power_cut_after,
                    "cut the power after this many flash writes");
    run->add_option("--torn", ro.torn_bytes,
                    "with --power-cut, the cut write programs only this many bytes");
    run->add_option("--flash-timing", ro.flash_timing,
                    "typical: erases and writes take the time of a parallel NOR chip")
        ->check(CLI::IsMember({"typical"}));
    run->add_flag("--relocation-persists", ro.relocation_persists,
                  "a partition move is recorded in the boot environment at once");
    run->add_option("--bind", ro.binds, "host directory to show read-only in the phone");
    run->add_option("--program-env", ro.program_env,
                    "NAME=VALUE in the program's environment (e.g. QEMU_STRACE=1)");
    run->add_option("--exec", ro.exec, "run this shell command instead of the upgrader")
        ->expected(1, -1);
    run->add_option("args", ro.args, "arguments of the upgrader (after --)");

    CLI::App* show = app.add_subcommand("show", "print the phone's state");
    show->add_option("dir", dir, "state directory")->required();

    int run_number = 0;
    CLI::App* log = app.add_subcommand("log", "print the syslog of a run");
    log->add_option("dir", dir, "state directory")->required();
    log->add_option("run", run_number, "run number (default: the last)");

    CLI::App* report = app.add_subcommand("report", "write a run's page (report.html)");
    report->add_option("dir", dir, "state directory")->required();
    report->add_option("run", run_number, "run number (default: the last)");

    CLI::App* demo = app.add_subcommand("demo", "a whole upgrade on a new phone, shown");
    demo->add_option("dir", dir, "state directory")->required();
    demo->add_option("--upgrader", upgrader, "program to upgrade with (e.g. the phone's build)");

    CLI11_PARSE(app, argc, argv);
    try {
        if (*init) {
            for (const auto& e : env_sets) {
                const size_t eq = e.find('=');
                if (eq == std::string::npos)
                    throw std::runtime_error("--env needs NAME=VALUE: " + e);
                init_opt.env.emplace_back(e.substr(0, eq), e.substr(eq + 1));
            }
            phone_init(absolute(dir), init_opt);
            phone_install_program(absolute(dir), upgrader);
            std::cout << "phone made in " << absolute(dir) << "\n";
            return 0;
        }
        if (*run) return cmd_run(dir, ro);
        if (*show) return cmd_show(dir);
        if (*report) return cmd_report(dir, run_number);
        if (*demo) return phonesim_demo(absolute(dir), upgrader, PHONESIM_BUILD_DIR);
        return cmd_log(dir, run_number);
    } catch (const std::exception& e) {
        fprintf(stderr, "phonesim: %s\n", e.what());
        return 1;
    }
}
