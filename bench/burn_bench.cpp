// bench/burn_bench.cpp - burning 8 MiB into the simulated flash, side by
// side with mtd-utils' flashcp and with a plain copy of the same bytes.
//
// Started on the host, the program boots a simulated phone and runs itself
// again inside it. There it fills all ten MTD partitions (8 MiB, the whole
// chip) three ways, each three times, and prints the median times and
// their ratios:
//   burn_flash  the upgrader's burner, the display left out
//   flashcp     flashcp of the same bytes into the same partitions (it
//               erases, writes and reads back to verify)
//   copy        the same bytes written to a file in /tmp: the floor
// The goal: burn_flash is not slower than flashcp.
#include "boot.h"
#include "device_env.h"
#include "flash_burn.h"

#include "basicui.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
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
constexpr int kRounds = 3;

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
        const int fd = open("/tmp/copy.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const auto* bytes = reinterpret_cast<const unsigned char*>(img.words.data());
        for (std::size_t at = 0; fd >= 0 && at < total; at += 65536)
            if (write(fd, bytes + at, std::min<std::size_t>(65536, total - at)) < 0) return 1;
        if (fd >= 0) close(fd);
        copy.push_back(seconds_since(t0));
    }
    const double b = median(burn), f = median(flashcp), c = median(copy);
    printf("burn 8 MiB into 10 partitions, median of %d rounds:\n", kRounds);
    printf("  burn_flash  %8.3f s\n", b);
    printf("  flashcp     %8.3f s   burn_flash / flashcp = %.2f (goal: at most 1.00)\n", f, b / f);
    printf("  copy        %8.3f s   burn_flash / copy    = %.1f\n", c, b / c);
    printf("%s\n", b <= f ? "goal met" : "goal MISSED: burn_flash is slower than flashcp");
    return b <= f ? 0 : 2;
}

std::string own_path()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return buf;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

} // namespace

int main()
{
    if (getenv("PHONESIM_INSIDE") != nullptr) return inside();
    char dir[] = "/tmp/phonesim-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    boot_request req;
    req.state_dir = dir;
    req.argv = {own_path()};
    req.env = {"PHONESIM_INSIDE=1"};
    req.host_binds = {PHONESIM_BUILD_DIR};
    req.end_with_program = true;
    int status = 1;
    try {
        status = phonesim_boot(req).exit_status;
    } catch (const std::exception& e) {
        fprintf(stderr, "burn_bench: %s\n", e.what());
    }
    nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}
