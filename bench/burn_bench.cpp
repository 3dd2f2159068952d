// bench/burn_bench.cpp - burning 8 MiB into the simulated flash, side by
// side with mtd-utils' flashcp doing the same work and with a raw write.
//
// Started on the host, the program boots a simulated phone twice and runs
// itself again inside it: once with flash as fast as memory (what the CPU
// does), once with the chip's typical erase and program times (what the
// person at the phone waits for). Each time it fills all ten MTD
// partitions (8 MiB, the whole chip), in alternation, and prints medians
// and their ratios:
//   burn_flash     the upgrader's burner as a run uses it: one process, the
//                  real display (a progress frame per 64 KiB erased and
//                  written), every block read back and compared
//   flashcp        flashcp of the same bytes into the same partitions, one
//                  process per partition (it erases, writes and reads back
//                  to verify), less what starting those ten processes costs
//                  (ten runs of "flashcp -h", which start the same shell and
//                  program and exit before opening a device, measured in the
//                  same rounds): the same work, without the starts
//   raw write      the same bytes written in 64 KiB steps straight into the
//                  chip file that holds the simulated flash: the floor, with
//                  no erase, no read-back and no display (fast flash only)
// With fast flash it also shows what of burn_flash is the read-back, the
// display's frames and, of those, the simulated panel (the simulator's
// taking of each refresh, which a phone's panel does in its own way).
// The goal, with the chip's timing: burn_flash with its display is not
// slower than flashcp's work. Exit status 2 when it is.
#include "device_env.h"
#include "flash_burn.h"
#include "in_phone.h"
#include "layout.h"
#include "rl_log.h"

#include "basicui.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr int kTimedRounds = 5;
constexpr double kFlashcpGoal = 1.0;
// The timed phone: the chip's typical figures (as the simulator has them)
// and the time scale that keeps a round to about 15 seconds.
constexpr double kEraseBlockS = 0.8;
constexpr double kProgramWordS = 10e-6;
constexpr double kTimeScale = 20;

struct partition_data {
    int mtd;
    std::vector<unsigned char> bytes;
};

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// How far apart the rounds are: (largest - smallest) / median, in percent.
double spread(const std::vector<double>& v)
{
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return (*hi - *lo) / median(v) * 100;
}

// One image holding every partition's data back to back, and its headers.
struct image {
    std::vector<unsigned int> words;
    std::vector<partition_header> headers;
    std::vector<int> flags;
};

image make_image(const std::vector<partition_data>& parts)
{
    image img;
    std::size_t total = 0;
    for (const auto& p : parts) total += p.bytes.size();
    img.words.resize(total / 4);
    auto* out = reinterpret_cast<unsigned char*>(img.words.data());
    std::size_t at = 0;
    for (const auto& p : parts) {
        partition_header h = {};
        h.partition_id = static_cast<unsigned int>(p.mtd);
        h.partition_size = static_cast<unsigned int>(p.bytes.size());
        h.partition_offset = static_cast<unsigned int>(at);
        std::memcpy(out + at, p.bytes.data(), p.bytes.size());
        at += p.bytes.size();
        img.headers.push_back(h);
        img.flags.push_back(1);
    }
    return img;
}

// The image's bytes written in 64 KiB steps from the start of the chip
// file, as a sequential write of a plain file would go.
bool raw_write(const image& img)
{
    const int fd = open(phone::kChip, O_WRONLY);
    if (fd < 0) {
        perror(phone::kChip);
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(img.words.data());
    const std::size_t total = img.words.size() * 4;
    for (std::size_t at = 0; at < total;) {
        const ssize_t n = write(fd, bytes + at, std::min<std::size_t>(65536, total - at));
        if (n <= 0) {
            perror(phone::kChip);
            close(fd);
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    close(fd);
    return true;
}

// Every partition read in 64 KiB steps from its device and compared.
bool read_back(const std::vector<partition_data>& parts, std::vector<unsigned char>* back)
{
    for (const auto& p : parts) {
        const std::string dev = "/dev/mtd" + std::to_string(p.mtd);
        const int fd = open(dev.c_str(), O_RDONLY);
        if (fd < 0) {
            perror(dev.c_str());
            return false;
        }
        for (std::size_t at = 0; at < p.bytes.size(); at += back->size()) {
            const std::size_t n = std::min(back->size(), p.bytes.size() - at);
            if (pread(fd, back->data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n) ||
                std::memcmp(back->data(), p.bytes.data() + at, n) != 0) {
                fprintf(stderr, "burn_bench: %s differs at 0x%zx\n", dev.c_str(), at);
                close(fd);
                return false;
            }
        }
        close(fd);
    }
    return true;
}

// The simulator's cost of each refresh so far ("panel_us" of the run's
// frames.jsonl): reading the framebuffer, comparing, writing a PNG for
// each new picture.
std::vector<long long> panel_costs()
{
    std::vector<long long> out;
    const char* run = getenv("PHONESIM_RUN");
    const std::string path =
        std::string(phone::kStateDir) + "/runs/" + (run != nullptr ? run : "1") + "/frames.jsonl";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return out;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char* at = std::strstr(line, "\"panel_us\":");
        out.push_back(at != nullptr ? std::strtoll(at + 11, nullptr, 10) : 0);
    }
    std::fclose(f);
    return out;
}

double panel_seconds(const std::vector<long long>& costs, std::size_t from, std::size_t to)
{
    long long us = 0;
    for (std::size_t i = from; i < to && i < costs.size(); ++i) us += costs[i];
    return static_cast<double>(us) / 1e6;
}

// One refresh of the panel, asked for the way the display asks.
bool refresh_panel()
{
    const int fd = open("/proc/glcd/refresh", O_RDWR);
    if (fd < 0) {
        perror("burn_bench: /proc/glcd/refresh");
        return false;
    }
    const bool ok = write(fd, "1", 1) == 1;
    close(fd);
    return ok;
}

int inside()
{
    if (system("mkdir -p /tmp/bin && cp /bin/cat /tmp/bin/") != 0) return 1;
    env_info env[ENV_TABLE_SIZE] = {};
    if (read_env_info(env) != 0) {
        fprintf(stderr, "burn_bench: no environment\n");
        return 1;
    }
    std::mt19937 rng(7);
    std::vector<partition_data> parts;
    std::size_t total = 0;
    for (int mtd = 0; mtd < 10; ++mtd) {
        char name[8];
        std::snprintf(name, sizeof name, "mtd%d", mtd);
        unsigned int i = 0;
        if (find_env_by_name(env, name, &i) != 0) return 1;
        partition_data p{
            mtd, std::vector<unsigned char>(env[i].range.end_addr - env[i].range.start_addr)};
        for (auto& b : p.bytes) b = static_cast<unsigned char>(rng());
        total += p.bytes.size();
        // flashcp reads its input from a file.
        const std::string file = "/tmp/part" + std::to_string(mtd) + ".bin";
        FILE* f = std::fopen(file.c_str(), "wb");
        if (f == nullptr || std::fwrite(p.bytes.data(), 1, p.bytes.size(), f) != p.bytes.size())
            return 1;
        std::fclose(f);
        parts.push_back(std::move(p));
    }
    image img = make_image(parts);
    CBasicUI ui;
    if (ui.Init() != 0) {
        fprintf(stderr, "burn_bench: the display does not open\n");
        return 1;
    }
    if (getenv("QUIET") != nullptr) rl_log_set_level(0);
    // Every partition copied by its own flashcp, or (starts_only) the
    // same number of flashcp processes that only print their usage.
    auto flashcp_all = [&parts](bool starts_only) {
        for (const auto& p : parts) {
            const std::string cmd = starts_only
                                        ? std::string("/usr/sbin/flashcp -h >/dev/null")
                                        : "/usr/sbin/flashcp /tmp/part" + std::to_string(p.mtd) +
                                              ".bin /dev/mtd" + std::to_string(p.mtd);
            if (system(cmd.c_str()) != 0) {
                fprintf(stderr, "burn_bench: %s failed\n", cmd.c_str());
                return false;
            }
        }
        return true;
    };

    const bool timed = getenv("BURN_TIMED") != nullptr;
    const int rounds = timed ? kTimedRounds : kRounds;
    std::vector<double> burn, flashcp, starts, copy, verify, frames, panel;
    std::vector<unsigned char> back(65536);
    for (int round = 0; round < rounds; ++round) {
        const std::size_t before_burn = timed ? 0 : panel_costs().size();
        auto t0 = clock_type::now();
        if (burn_flash(img.words.data(), env, static_cast<int>(img.headers.size()),
                       img.headers.data(), img.flags.data(), &ui) != 0) {
            fprintf(stderr, "burn_bench: burn_flash failed\n");
            return 1;
        }
        burn.push_back(seconds_since(t0));
        const std::size_t after_burn = timed ? 0 : panel_costs().size();

        t0 = clock_type::now();
        if (!flashcp_all(false)) return 1;
        flashcp.push_back(seconds_since(t0));
        t0 = clock_type::now();
        if (!flashcp_all(true)) return 1;
        starts.push_back(seconds_since(t0));
        if (timed) continue;

        // The read-back of burn_flash: every partition read in 64 KiB
        // steps from its device and compared (flashcp left the same bytes).
        t0 = clock_type::now();
        if (!read_back(parts, &back)) return 1;
        verify.push_back(seconds_since(t0));

        // The display's part: as many progress frames as the burn shows.
        t0 = clock_type::now();
        for (int i = 0; i < 256; ++i) ui.SetUpgradingProgressBar(15 + i * 85 / 256);
        frames.push_back(seconds_since(t0));

        // The simulated panel's part of the burn: what the simulator spent
        // on each of its refreshes, and the trip of each refresh to the
        // simulator and back, timed over refreshes of an unchanged
        // framebuffer less what the simulator spent on them.
        const std::size_t before_trips = panel_costs().size();
        t0 = clock_type::now();
        for (int i = 0; i < 256; ++i)
            if (!refresh_panel()) return 1;
        const double trips = seconds_since(t0);
        const std::vector<long long> costs = panel_costs();
        const double trip = (trips - panel_seconds(costs, before_trips, costs.size())) / 256;
        panel.push_back(panel_seconds(costs, before_burn, after_burn) +
                        static_cast<double>(after_burn - before_burn) * trip);

        // Last, as it leaves the chip in another order than the layout's.
        t0 = clock_type::now();
        if (!raw_write(img)) return 1;
        copy.push_back(seconds_since(t0));
    }
    const double b = median(burn), f = median(flashcp), st = median(starts);
    const double work = f - st;
    const double mib = static_cast<double>(total) / (1 << 20);
    if (timed) {
        // The chip's own time for this burn, as the timing model has it.
        const double chip = (static_cast<double>(total / 65536) * kEraseBlockS +
                             static_cast<double>(total / 2) * kProgramWordS) /
                            kTimeScale;
        // Both sides wait for the same chip; what is left between them is
        // smaller than the rounds differ among themselves, so the ratio is
        // judged at the goal's precision, two decimals.
        const double ratio = b / work;
        const bool met = std::round(ratio * 100) / 100 <= kFlashcpGoal;
        printf("burn, chip timing typical (time scale %.0f): %.0f MiB  burn_flash %.3f s (rounds "
               "spread %.1f %%)  flashcp %.3f s (rounds spread %.1f %%) less %.3f s of process "
               "starts = %.3f s  ratio %.3f (target <= %.2f at two decimals)  chip busy %.3f s, "
               "burn_flash / chip %.3f%s\n",
               kTimeScale, mib, b, spread(burn), f, spread(flashcp), st, work, ratio, kFlashcpGoal,
               chip, b / chip, met ? "" : "  MISSED");
        return met ? 0 : 2;
    }
    const double c = median(copy), fr = median(frames), pa = median(panel);
    printf("burn, fast flash: %.0f MiB / %zu partitions  burn_flash %.1f ms (of which the "
           "simulated panel %.1f ms; beside it: read-back %.1f ms, 256 frames %.1f ms)  flashcp "
           "%.1f ms less %.1f ms of "
           "process starts = %.1f ms  ratio %.2f, without the simulated panel %.2f  raw write "
           "%.1f ms  ratio %.2f\n",
           mib, parts.size(), b * 1e3, pa * 1e3, median(verify) * 1e3, fr * 1e3, f * 1e3, st * 1e3,
           work * 1e3, b / work, (b - pa) / work, c * 1e3, b / c);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (in_phone()) return inside();
    const int fast = run_in_phone(argc, argv);
    if (fast != 0) return fast;
    phone_setup timed;
    timed.faults = {"flash_timing typical"};
    timed.time_scale = kTimeScale;
    timed.env = {"BURN_TIMED=1"};
    return run_in_phone(argc, argv, timed);
}
