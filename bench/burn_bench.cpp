// bench/burn_bench.cpp - burning 8 MiB into the simulated flash, side by
// side with mtd-utils' flashcp and with a raw write of the same bytes.
//
// Started on the host, the program boots a simulated phone and runs itself
// again inside it. There it fills all ten MTD partitions (8 MiB, the whole
// chip) three ways, in alternation, kRounds times each, and prints the
// medians and their ratios:
//   burn_flash  the upgrader's burner, the display left out (its cost is
//               counted by display_bench)
//   flashcp     flashcp of the same bytes into the same partitions (it
//               erases, writes and reads back to verify)
//   raw write   the same bytes written in 64 KiB steps straight into the
//               chip file that holds the simulated flash: the floor
// The goals: burn_flash is not slower than flashcp, and within 1.3 times
// the raw write. Exit status 2 when one is missed.
#include "device_env.h"
#include "flash_burn.h"
#include "in_phone.h"
#include "layout.h"
#include "rl_log.h"

#include "basicui.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

// The display's cost is left out of the measurement.
int CBasicUI::SetUpgradingProgressBar(int)
{
    return 0;
}

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr double kFlashcpGoal = 1.0;
constexpr double kRawGoal = 1.3;

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
    if (getenv("QUIET") != nullptr) rl_log_set_level(0);

    std::vector<double> burn, flashcp, copy;
    for (int round = 0; round < kRounds; ++round) {
        auto t0 = clock_type::now();
        if (burn_flash(img.words.data(), env, static_cast<int>(img.headers.size()),
                       img.headers.data(), img.flags.data(), &ui) != 0) {
            fprintf(stderr, "burn_bench: burn_flash failed\n");
            return 1;
        }
        burn.push_back(seconds_since(t0));

        t0 = clock_type::now();
        for (const auto& p : parts) {
            const std::string cmd = "/usr/sbin/flashcp /tmp/part" + std::to_string(p.mtd) +
                                    ".bin /dev/mtd" + std::to_string(p.mtd);
            if (system(cmd.c_str()) != 0) {
                fprintf(stderr, "burn_bench: %s failed\n", cmd.c_str());
                return 1;
            }
        }
        flashcp.push_back(seconds_since(t0));

        t0 = clock_type::now();
        if (!raw_write(img)) return 1;
        copy.push_back(seconds_since(t0));
    }
    const double b = median(burn), f = median(flashcp), c = median(copy);
    const bool met = b / f <= kFlashcpGoal && b / c <= kRawGoal;
    printf("burn: %.0f MiB / %zu partitions  burn_flash %.1f ms  flashcp %.1f ms  ratio %.2f "
           "(target <= %.2f)  raw write %.1f ms  ratio %.2f (target <= %.1f)%s\n",
           static_cast<double>(total) / (1 << 20), parts.size(), b * 1e3, f * 1e3, b / f,
           kFlashcpGoal, c * 1e3, b / c, kRawGoal, met ? "" : "  MISSED");
    return met ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    return in_phone() ? inside() : run_in_phone(argc, argv);
}
