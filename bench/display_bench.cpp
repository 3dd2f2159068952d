// bench/display_bench.cpp - the display's work, to be counted by callgrind
// inside a simulated phone (scripts/bench and scripts/bench-check start it
// under valgrind with --collect-atstart=no).
//
//   display_bench frames N    N progress frames (SetUpgradingProgressBar)
//                             at 0, 1, ... percent, after one warm-up
//   display_bench refresh N   N refreshes (lcd_refresh) of a 24 x 24
//                             changed region at the top-left corner
//   display_bench burn        burn_flash of 8 MiB (all ten partitions,
//                             the whole chip) with the real display
//
// frames and refresh switch collection on around their loop only (a
// callgrind client request; nothing outside valgrind); burn is run with
// --toggle-collect on SetUpgradingProgressBar, so that only the display
// is counted.
// Each mode opens the display as the upgrader does, logs as the upgrader
// does (level 7), and prints how many calls it made of the counted
// function.
#include "basicui.h"
#include "device_env.h"
#include "flash_burn.h"
#include "lcd.h"
#include "rl_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <valgrind/callgrind.h>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: display_bench frames N | refresh N | burn\n");
    return 2;
}

int frames(CBasicUI& ui, int n)
{
    ui.SetUpgradingProgressBar(0); // warm-up: tables, pages, the log socket
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < n; ++i) ui.SetUpgradingProgressBar(i % 101);
    CALLGRIND_TOGGLE_COLLECT;
    std::printf("calls %d\n", n);
    return 0;
}

int refresh(CBasicUI& ui, int n)
{
    ui.SetUpgradingProgressBar(0); // the whole screen once
    for (int i = 0; i < n; ++i) {
        lcd_fill_color(0, 0, 24, 24, static_cast<std::uint16_t>(i & 1));
        lcd_set_redraw(0, 0, 23, 23);
        CALLGRIND_TOGGLE_COLLECT;
        lcd_refresh();
        CALLGRIND_TOGGLE_COLLECT;
    }
    std::printf("calls %d\n", n);
    return 0;
}

// Fills the ten partitions, the whole chip, as one image and burns it.
int burn(CBasicUI& ui)
{
    // The environment is read through /tmp/bin/cat, which the upgrader
    // copies there at start-up.
    if (std::system("mkdir -p /tmp/bin && cp /bin/cat /tmp/bin/") != 0) return 1;
    env_info env[ENV_TABLE_SIZE] = {};
    if (read_env_info(env) != 0) {
        std::fprintf(stderr, "display_bench: no boot environment\n");
        return 1;
    }
    std::vector<partition_header> headers;
    std::vector<int> flags;
    std::size_t total = 0;
    for (int mtd = 0; mtd < 10; ++mtd) {
        char name[8];
        std::snprintf(name, sizeof name, "mtd%d", mtd);
        unsigned int i = 0;
        if (find_env_by_name(env, name, &i) != 0) return 1;
        partition_header h = {};
        h.partition_id = static_cast<unsigned int>(mtd);
        h.partition_size = env[i].range.end_addr - env[i].range.start_addr;
        h.partition_offset = static_cast<unsigned int>(total);
        total += h.partition_size;
        headers.push_back(h);
        flags.push_back(1);
    }
    std::vector<unsigned int> words(total / 4);
    std::mt19937 rng(7);
    for (auto& w : words) w = rng();
    if (burn_flash(words.data(), env, static_cast<int>(headers.size()), headers.data(),
                   flags.data(), &ui) != 0) {
        std::fprintf(stderr, "display_bench: burn_flash failed\n");
        return 1;
    }
    std::printf("bytes %zu\n", total);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage();
    rl_log_init("upgrader", 7);
    CBasicUI ui;
    if (ui.Init() != 0) {
        std::fprintf(stderr, "display_bench: the display does not open\n");
        return 1;
    }
    const std::string mode = argv[1];
    const int n = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "frames" && n > 0) return frames(ui, n);
    if (mode == "refresh" && n > 0) return refresh(ui, n);
    if (mode == "burn") return burn(ui);
    return usage();
}
