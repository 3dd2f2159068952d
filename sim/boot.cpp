// sim/boot.cpp - namespaces, the phone's first process, and the run record.
#include "boot.h"

#include "phone_state.h"
#include "rootfs.h"
#include "supervisor.h"
#include "sys_error.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace {

constexpr int kBootFailed = 125;

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    if (!f) throw std::runtime_error("cannot write " + path);
}

// The next free run number: runs/1, runs/2, ...
int new_run(const std::string& state_dir)
{
    const std::string runs = state_dir + "/runs";
    if (mkdir(runs.c_str(), 0755) < 0 && errno != EEXIST) sim_throw("mkdir", runs);
    for (int n = 1;; ++n) {
        const std::string dir = phonesim_run_dir(state_dir, n);
        if (mkdir(dir.c_str(), 0755) == 0) return n;
        if (errno != EEXIST) sim_throw("mkdir", dir);
    }
}

// Maps the caller to root in a new user namespace, so that an ordinary
// user can build the phone's mounts.
void become_namespace_root(uid_t uid, gid_t gid)
{
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// A program built with the address sanitizer refuses to start when another
// library is preloaded ahead of its runtime; the device layer must come
// first, so the check is turned off (it changes nothing for other builds).
void allow_preload_before_sanitizer(std::vector<std::string>& env)
{
    static const std::string kKey = "ASAN_OPTIONS=";
    static const std::string kOption = "verify_asan_link_order=0";
    for (std::string& e : env) {
        if (e.compare(0, kKey.size(), kKey) == 0) {
            e += (e.size() > kKey.size() ? ":" : "") + kOption;
            return;
        }
    }
    env.push_back(kKey + kOption);
}

// The device layer of the architecture of whichever program loads it: the
// dynamic loader expands $LIB to lib/<its multiarch triplet>.
const char* const kDeviceLayer = PHONESIM_DEVICE_DIR "/$LIB/libphonesim_devices.so";

// Where the emulator finds the C library of the phone's own programs (a
// build for the phone runs under user-mode emulation; host programs
// ignore the variable).
const char* const kPhoneLibraryRoot = "QEMU_LD_PREFIX=/usr/mipsel-linux-gnu";

std::vector<std::string> program_environment(const boot_request& req, int run)
{
    std::vector<std::string> env = {"PATH=/bin:/sbin",
                                    "HOME=/",
                                    "TERM=dumb",
                                    kPhoneLibraryRoot,
                                    std::string("PHONESIM_STATE=") + PHONE_STATE_MOUNT,
                                    "PHONESIM_RUN=" + std::to_string(run)};
    if (!req.preload.empty()) env.push_back("LD_PRELOAD=" + req.preload);
    env.insert(env.end(), req.env.begin(), req.env.end());
    if (!req.preload.empty()) allow_preload_before_sanitizer(env);
    return env;
}

// The phone's first process: build the root, run, record the outcome.
[[noreturn]] void first_process(const boot_request& req, int run)
{
    try {
        build_phone_root({req.state_dir, req.host_binds, req.reboot_tool});
        const std::string run_dir = std::string(PHONE_STATE_MOUNT) + "/runs/" + std::to_string(run);
        supervisor_request sr{req, program_environment(req, run), run_dir};
        supervisor_run(sr);
        _exit(0);
    } catch (const std::exception& e) {
        fprintf(stderr, "phonesim: %s\n", e.what());
        _exit(kBootFailed);
    }
}

// Runs in a child of the caller: enters the new namespaces and waits for
// the phone's first process.
[[noreturn]] void power_on(const boot_request& req, int run, uid_t uid, gid_t gid)
{
    int flags = CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) < 0) {
        fprintf(stderr, "phonesim: unshare: %s\n", strerror(errno));
        _exit(kBootFailed);
    }
    try {
        if (uid != 0) become_namespace_root(uid, gid);
    } catch (const std::exception& e) {
        fprintf(stderr, "phonesim: %s\n", e.what());
        _exit(kBootFailed);
    }
    fflush(nullptr);
    const pid_t init = fork();
    if (init < 0) _exit(kBootFailed);
    if (init == 0) first_process(req, run);
    int status = 0;
    while (waitpid(init, &status, 0) < 0) {
        if (errno != EINTR) _exit(kBootFailed);
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kBootFailed);
}

} // namespace

std::string phonesim_run_dir(const std::string& state_dir, int run)
{
    return state_dir + "/runs/" + std::to_string(run);
}

boot_result phonesim_boot(const boot_request& req)
{
    if (req.argv.empty()) throw std::runtime_error("nothing to run");
    if (req.state_dir.empty() || req.state_dir[0] != '/')
        throw std::runtime_error("state directory must be an absolute path");
    std::error_code ec;
    std::filesystem::create_directories(req.state_dir, ec);
    if (ec) throw std::runtime_error("cannot create " + req.state_dir + ": " + ec.message());
    phone_prepare_boot(req.state_dir, {req.time_scale, req.faults});
    boot_request with_defaults = req;
    if (with_defaults.preload.empty()) with_defaults.preload = kDeviceLayer;
    if (with_defaults.reboot_tool.empty()) with_defaults.reboot_tool = PHONESIM_REBOOT_TOOL;
    const int run = new_run(req.state_dir);

    fflush(nullptr);
    const pid_t child = fork();
    sim_check(child, "fork");
    if (child == 0) power_on(with_defaults, run, getuid(), getgid());
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) sim_throw("waitpid");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the simulated phone did not start (see above)");

    const std::string report = phonesim_run_dir(req.state_dir, run) + "/report.json";
    std::ifstream f(report);
    const nlohmann::json j = nlohmann::json::parse(f, nullptr, false);
    if (j.is_discarded()) throw std::runtime_error("unreadable " + report);
    boot_result r;
    r.run = run;
    r.exit_status = j.value("exit_status", -1);
    r.rebooted = j.value("rebooted", false);
    r.timed_out = j.value("timed_out", false);
    r.reboot_command = j.value("reboot_command", std::string());
    return r;
}
