// bench/phone_frames.cpp - progress frames on the phone's build, for
// counting the MIPS instructions they take (scripts/phone-frame-count runs
// it under qemu, one instruction per translation block, and counts).
//
//   phone-frames N   opens the display as the upgrader does, draws the
//                    progress screen once, then N progress frames at 0, 1,
//                    ... percent
// Built like the upgrader's test copy: the phone's objects with the
// simulated phone's device layer linked in, so that it runs on the
// simulated phone.
#include "basicui.h"
#include "rl_log.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 0;
    rl_log_init("upgrader", 7);
    CBasicUI ui;
    if (ui.Init() != 0) {
        std::fprintf(stderr, "phone-frames: the display does not open\n");
        return 1;
    }
    ui.SetUpgradingProgressBar(0);
    for (int i = 0; i < n; ++i) ui.SetUpgradingProgressBar(i % 101);
    std::printf("frames %d\n", n);
    return 0;
}
