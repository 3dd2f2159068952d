// tests/support/phone_main.cpp - test main that runs the tests in a phone.
//
// Started on the host, the binary boots a fresh simulated phone with its
// own state directory and runs itself again inside it, with the same
// arguments. Listing the tests (for CTest's discovery) stays on the host.
//
// A build for the phone cannot boot a phone itself: the host's phone_run
// starts it inside one, and it refuses to run anywhere else.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef PHONE_TESTS_STARTED_BY_HOST
#include "phone_boot.h"

#include <filesystem>
#endif

namespace {

bool listing_only(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (getenv("PHONESIM_INSIDE") == nullptr && !listing_only(argc, argv)) {
#ifdef PHONE_TESTS_STARTED_BY_HOST
        fprintf(stderr, "%s: runs only inside a simulated phone; start it with phone_run\n",
                argv[0]);
        return 1;
#else
        std::vector<std::string> args = {std::filesystem::read_symlink("/proc/self/exe").string()};
        for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
        return phone_run_program(args, {PHONESIM_SOURCE_DIR, PHONESIM_BUILD_DIR});
#endif
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
