// bench/upgrade_bench.cpp - what the person at the phone waits for: a whole
// shared-memory upgrade on the simulated phone with the chip's typical
// erase and program times, against the physical limit.
//
// Makes a phone with this build's upgrader and an image for it whose nine
// partitions fill mtd0 to mtd8 (8128 KiB: the most of the chip that fits
// into the 8 MiB shared record beside its header), loads the image into the
// shared record and starts the upgrader without arguments, as the phone's
// loading process does; the run ends with the reboot. It runs in real time
// (about 2.5 minutes): a time scale shortens the sleeps and the chip's busy
// time but not the CPU's work, so figures scaled back would count the work
// many times over (UPGRADE_BENCH_SCALE=N runs N times faster for a look,
// with the figures multiplied by N). UPGRADE_BENCH_PROGRAM=PATH measures
// another build of the upgrader on the same phone (an older one, for a
// before and after).
//
// The physical limit is the chip's busy time for the partitions burned
// (every block erased, every word programmed, as the device layer's flash
// log records them) plus the sleeps the program must take (3 s after the
// check, 1 s before the reboot). The goal: the whole upgrade takes at most
// 1.03 x that, and the time from the 100 % frame to the reboot request is
// at most 1.2 s. Beside it, a table of where the time goes, from the
// syslog, the flash log and the frames. Exit status 2 when a goal is missed.
#include "boot.h"
#include "layout.h"
#include "phone_state.h"
#include "rom_builder.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double kPrescribedSleepS = 4.0; // 3 s after the check, 1 s before the reboot
constexpr double kGoal = 1.03;
constexpr double kLastFrameToRebootGoalS = 1.2;

std::vector<unsigned char> make_image()
{
    rom_image_desc rom;
    rom.device_id = 59;
    rom.rom_version = rom_version_from_text("2.150.8.0");
    rom.match_id[0] = 3;
    std::uint32_t x = 4242;
    for (const mtd_range& r : phone_default_layout()) {
        if (r.index == 9) continue; // would not fit into the record
        rom_partition_desc p;
        p.partition_id = static_cast<unsigned int>(r.index);
        p.version = rom_version_from_text("2.150.8." + std::to_string(r.index + 1));
        p.data.resize(r.end - r.start);
        for (auto& b : p.data) {
            x = x * 1103515245U + 12345U;
            b = static_cast<unsigned char>(x >> 16);
        }
        rom.partitions.push_back(std::move(p));
    }
    return rom_build(rom);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

// Milliseconds of the first syslog record of the upgrader whose message
// contains `text`, or -1.
long long logged_at(const std::vector<nlohmann::json>& log, const std::string& text)
{
    for (const auto& r : log)
        if (r.value("msg", std::string()).find(text) != std::string::npos)
            return r.value("t_ms", -1LL);
    return -1;
}

struct flash_times {
    long long first_ms = -1, last_ms = -1; // first and last erase or write
    double erase_us = 0, write_us = 0;     // the chip's busy time, unscaled
};

flash_times read_flash_log(const std::string& text)
{
    flash_times f;
    for (const std::string& line : lines_of(text)) {
        long long t = 0;
        int pid = 0;
        char what[16] = {}, mtd[16] = {}, kind[16] = {};
        unsigned long long us = 0;
        if (std::sscanf(line.c_str(), "%lld %d %15s %15s %15s %llu", &t, &pid, what, mtd, kind,
                        &us) < 3)
            continue;
        if (std::string(what) == "erase" || std::string(what) == "write") {
            if (f.first_ms < 0) f.first_ms = t;
            f.last_ms = t;
        } else if (std::string(what) == "busy") {
            (std::string(kind) == "erase" ? f.erase_us : f.write_us) += static_cast<double>(us);
        }
    }
    return f;
}

// The time of the refresh that showed the bar at 100 %: the last new
// picture of the run (nothing is drawn after it before the reboot).
long long full_bar_at(const std::string& frames_log)
{
    long long at = -1;
    for (const std::string& line : lines_of(frames_log)) {
        const nlohmann::json f = nlohmann::json::parse(line);
        if (f.value("new", false)) at = f.value("t_ms", -1LL);
    }
    return at;
}

int measure(const std::string& dir, double scale)
{
    phone_init(dir, phone_options{});
    const char* program = std::getenv("UPGRADE_BENCH_PROGRAM");
    phone_install_program(dir, program != nullptr ? program : UPGRADER);
    const std::vector<unsigned char> image = make_image();

    boot_request req;
    req.state_dir = dir;
    req.argv = {"/basic/bin/upgrader"};
    req.host_binds = {PHONESIM_BUILD_DIR};
    req.time_scale = scale;
    req.faults = {"flash_timing typical"};
    req.time_limit_ms = 600000;
    req.shm.enabled = true;
    req.shm.image.assign(image.begin(), image.end());
    const boot_result r = phonesim_boot(req);
    const std::string run = phonesim_run_dir(dir, r.run);
    if (!r.rebooted || r.reboot_command.empty()) {
        std::fprintf(stderr, "upgrade_bench: the upgrade did not end in a reboot; see %s\n",
                     run.c_str());
        return 1;
    }
    const nlohmann::json report = nlohmann::json::parse(phone_file(run + "/report.json"));
    if (report["flash"]["partitions"].size() != phone_default_layout().size() - 1) {
        std::fprintf(stderr, "upgrade_bench: not every partition was burned; see %s\n",
                     run.c_str());
        return 1;
    }
    std::vector<nlohmann::json> log;
    for (const std::string& line : lines_of(phone_file(run + "/syslog.jsonl")))
        log.push_back(nlohmann::json::parse(line));
    const flash_times flash = read_flash_log(phone_file(run + "/flash.log"));
    const long long reboot_ms = report.value("reboot_t_ms", -1LL);
    const long long verdict_ms = logged_at(log, "rom_version_cmp:");
    const long long burn_lock_ms = logged_at(log, "wait lock burn_flash_semid");
    const long long full_ms = full_bar_at(phone_file(run + "/frames.jsonl"));
    if (reboot_ms < 0 || verdict_ms < 0 || burn_lock_ms < 0 || full_ms < 0 || flash.first_ms < 0) {
        std::fprintf(stderr, "upgrade_bench: the run's records lack a step; see %s\n", run.c_str());
        return 1;
    }
    // Everything in the phone's seconds (at time scale 1, the measured ones).
    const double k = scale / 1000.0;
    auto span = [k](long long from, long long to) { return static_cast<double>(to - from) * k; };
    const double total = span(0, reboot_ms);
    const double chip_erase = flash.erase_us / 1e6, chip_write = flash.write_us / 1e6;
    const double limit = chip_erase + chip_write + kPrescribedSleepS;
    const double burn = span(flash.first_ms, full_ms);
    const double to_reboot = span(full_ms, reboot_ms);
    const bool met = total / limit <= kGoal && to_reboot <= kLastFrameToRebootGoalS;
    std::printf("upgrade: shared-memory upgrade of a %.2f MiB image, chip timing typical (time "
                "scale %.0f)  %.2f s to the reboot request  physical limit %.2f s (chip %.2f s + "
                "prescribed sleeps %.0f s)  ratio %.3f (target <= %.2f)  100 %% frame to the "
                "reboot request %.2f s (target <= %.1f)%s\n",
                static_cast<double>(image.size()) / (1 << 20), scale, total, limit,
                chip_erase + chip_write, kPrescribedSleepS, total / limit, kGoal, to_reboot,
                kLastFrameToRebootGoalS, met ? "" : "  MISSED");
    const struct {
        const char* what;
        double s;
    } rows[] = {
        {"check (start to its last rule)", span(0, verdict_ms)},
        {"sleeps the program must take (3 s + 1 s)", kPrescribedSleepS},
        {"settings, /config/etc, killapps, locks", span(verdict_ms, burn_lock_ms) - 3.0},
        {"devices checked before the first erase", span(burn_lock_ms, flash.first_ms)},
        {"chip erasing", chip_erase},
        {"chip programming", chip_write},
        {"burn's own work, to the 100 % frame (read-back, calls, frames not hidden)",
         burn - chip_erase - chip_write},
        {"clean-up after the 100 % frame", to_reboot - 1.0},
    };
    double sum = 0;
    std::printf("upgrade: where the time goes\n");
    for (const auto& row : rows) {
        std::printf("  %-72s %8.3f s\n", row.what, row.s);
        sum += row.s;
    }
    std::printf("  %-72s %8.3f s (measured %.3f s)\n", "sum", sum, total);
    return met ? 0 : 2;
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/phonesim-upgrade.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("upgrade_bench: mkdtemp /tmp/phonesim-upgrade.XXXXXX");
        return 1;
    }
    int status = 1;
    try {
        const char* scale = std::getenv("UPGRADE_BENCH_SCALE");
        status = measure(tmpl, scale != nullptr ? std::atof(scale) : 1.0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "upgrade_bench: %s\n", e.what());
    }
    std::error_code ec;
    if (std::getenv("UPGRADE_BENCH_KEEP") == nullptr)
        fs::remove_all(tmpl, ec);
    else
        std::fprintf(stderr, "upgrade_bench: phone kept in %s\n", tmpl);
    return status;
}
