// bench/check_bench.cpp - the format and checksum part of the ROM check on
// an 8 MiB image of 16 partitions, side by side with one plain pass over
// the same bytes.
//
// Inside a simulated phone (it boots one and runs itself there) it builds
// the image, then times, in alternation and kRounds times each:
//   check     rom_check_format: magic, header, header and ROM checksums,
//             every partition header and partition checksum; logging
//             below the debug level
//   logged    the same with the upgrader's logging (level 7): some 250
//             debug lines, each a datagram to the phone's syslog
//   xor read  an XOR of every 32-bit word of the image, once
// and prints the medians and the ratios to the xor read. The check reads
// the data twice by design (the ROM checksum covers it all, then each
// partition's), so the goal is a ratio of at most 2.2 for the check; the
// debug lines cost the same whatever the image's size and are shown
// beside it. Exit status 2 when the goal is missed.
#include "in_phone.h"
#include "rl_log.h"
#include "rom_builder.h"
#include "rom_check.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int kRounds = 15;
constexpr int kPartitions = 16;
constexpr std::size_t kPartitionSize = std::size_t{512} << 10; // 16 x 512 KiB = 8 MiB
constexpr double kGoal = 2.2;

double ms_since(clock_type::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<unsigned char> make_image()
{
    rom_image_desc rom;
    rom.device_id = 59;
    rom.rom_version = rom_version_from_text("2.150.8.0");
    std::uint32_t x = 12345;
    for (int k = 0; k < kPartitions; ++k) {
        rom_partition_desc p;
        p.partition_id = static_cast<unsigned int>(k % 10);
        p.data.resize(kPartitionSize);
        for (auto& b : p.data) {
            x = x * 1103515245U + 12345U;
            b = static_cast<unsigned char>(x >> 16);
        }
        rom.partitions.push_back(std::move(p));
    }
    return rom_build(rom);
}

// One pass over the image, a word at a time: the least a check can read.
unsigned int xor_read(const unsigned char* p, std::size_t len)
{
    std::uint32_t x = 0;
    for (std::size_t i = 0; i + 4 <= len; i += 4) {
        std::uint32_t w = 0;
        std::memcpy(&w, p + i, sizeof w);
        x ^= w;
    }
    return x;
}

// One check, timed; false when the image is refused.
bool timed_check(const std::vector<unsigned char>& image, std::vector<double>* times)
{
    rom_header header = {};
    partition_header headers[ROM_PARTITIONS_MAX] = {};
    const auto t0 = clock_type::now();
    if (rom_check_format(image.data(), image.size(), &header, headers) != 0) {
        std::fprintf(stderr, "check_bench: the image is refused\n");
        return false;
    }
    times->push_back(ms_since(t0));
    return true;
}

int inside()
{
    rl_log_init("upgrader", 7);
    const std::vector<unsigned char> image = make_image();
    std::vector<double> check, logged, plain;
    volatile unsigned int sink = 0;
    for (int round = 0; round < kRounds; ++round) {
        rl_log_set_level(6);
        if (!timed_check(image, &check)) return 1;
        rl_log_set_level(7);
        if (!timed_check(image, &logged)) return 1;
        const auto t0 = clock_type::now();
        sink = sink ^ xor_read(image.data(), image.size());
        plain.push_back(ms_since(t0));
    }
    const double c = median(check), l = median(logged), p = median(plain), ratio = c / p;
    std::printf("image check: %.1f MiB / %d partitions  check %.2f ms  plain xor read %.2f ms  "
                "ratio %.2f (target <= %.1f)%s  with the debug log lines %.2f ms (ratio %.1f)\n",
                static_cast<double>(image.size()) / (1 << 20), kPartitions, c, p, ratio, kGoal,
                ratio <= kGoal ? "" : "  MISSED", l, l / p);
    return ratio <= kGoal ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    return in_phone() ? inside() : run_in_phone(argc, argv);
}
