// tests/support/phone_main.cpp - test main that runs the tests in a phone.
//
// Started on the host, the binary boots a fresh simulated phone with its
// own state directory and runs itself again inside it, with the same
// arguments. Listing the tests (for CTest's discovery) stays on the host.
// The state directory is removed after a passing run and kept, with its
// path printed, after a failing one.
#include "boot.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <unistd.h>

namespace {

bool listing_only(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

std::string own_path()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return buf;
}

int run_in_phone(int argc, char** argv)
{
    char dir[] = "/tmp/phonesim-test.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("phonesim: mkdtemp");
        return 1;
    }
    boot_request req;
    req.state_dir = dir;
    req.argv.push_back(own_path());
    for (int i = 1; i < argc; ++i) req.argv.emplace_back(argv[i]);
    req.env.push_back("PHONESIM_INSIDE=1");
    if (const char* f = getenv("GTEST_FILTER")) req.env.push_back(std::string("GTEST_FILTER=") + f);
    if (const char* a = getenv("ASAN_OPTIONS")) req.env.push_back(std::string("ASAN_OPTIONS=") + a);
    if (const char* u = getenv("UBSAN_OPTIONS"))
        req.env.push_back(std::string("UBSAN_OPTIONS=") + u);
    req.host_binds = {PHONESIM_SOURCE_DIR, PHONESIM_BUILD_DIR};
    req.end_with_program = true; // the test is the run
    req.ipc_listen = false;      // tests play the receivers themselves
    int status = 1;
    try {
        const boot_result r = phonesim_boot(req);
        status = r.exit_status;
        if (r.timed_out) fprintf(stderr, "phonesim: time limit reached\n");
    } catch (const std::exception& e) {
        fprintf(stderr, "phonesim: %s\n", e.what());
    }
    if (status == 0) {
        nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    } else {
        fprintf(stderr, "phonesim: phone state kept in %s\n", dir);
    }
    return status < 0 ? 1 : status;
}

} // namespace

int main(int argc, char** argv)
{
    if (getenv("PHONESIM_INSIDE") == nullptr && !listing_only(argc, argv))
        return run_in_phone(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
