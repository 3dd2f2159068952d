// tests/support/phone_run.cpp - runs a test program built for the phone.
//
//   phone_run PROGRAM [ARGS...]
//
// Boots a fresh simulated phone and runs PROGRAM in it, where the kernel
// hands a program of the phone's architecture to the user-mode emulator.
// Listing the tests (CTest's discovery) runs PROGRAM directly on the host.
#include "phone_boot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    char program[PATH_MAX];
    if (realpath(argv[1], program) == nullptr) {
        fprintf(stderr, "phone_run: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) {
            setenv("QEMU_LD_PREFIX", "/usr/mipsel-linux-gnu", 1);
            execv(program, argv + 1);
            fprintf(stderr, "phone_run: cannot run %s: %s\n", program, strerror(errno));
            return 2;
        }
    }
    std::vector<std::string> args = {program};
    for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
    std::string dir = program;
    dir.erase(dir.rfind('/'));
    return phone_run_program(args, {PHONESIM_SOURCE_DIR, PHONESIM_BUILD_DIR, dir});
}
