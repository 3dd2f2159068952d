// bench/in_phone.h - a benchmark that runs itself again inside a fresh
// simulated phone, where the phone's devices and paths exist.
//
// main() calls in_phone(): false on the host, where it then returns
// run_in_phone(argc, argv), which boots a phone in a temporary state
// directory, runs this same program there with the same arguments (the
// build directory is visible read-only), removes the phone and returns the
// program's exit status (1 when the phone cannot be booted). A benchmark
// may boot with device-layer rules (e.g. "flash_timing typical"), a time
// scale and extra environment for its inside part.
#pragma once

#include <string>
#include <vector>

struct phone_setup {
    std::vector<std::string> faults;
    double time_scale = 1.0;
    std::vector<std::string> env; // "NAME=value"
};

bool in_phone();
int run_in_phone(int argc, char** argv, const phone_setup& setup = {});
