// tests/support/phone_boot.cpp - boots the phone a test program runs in.
#include "phone_boot.h"

#include "boot.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

void pass_on(std::vector<std::string>& env, const char* name)
{
    if (const char* v = getenv(name)) env.push_back(std::string(name) + "=" + v);
}

} // namespace

int phone_run_program(const std::vector<std::string>& argv, const std::vector<std::string>& binds)
{
    char dir[] = "/tmp/phonesim-test.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("phonesim: mkdtemp");
        return 1;
    }
    boot_request req;
    req.state_dir = dir;
    req.argv = argv;
    req.env.push_back("PHONESIM_INSIDE=1");
    for (const char* name : {"GTEST_FILTER", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
        pass_on(req.env, name);
    req.host_binds = binds;
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
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    } else {
        fprintf(stderr, "phonesim: phone state kept in %s\n", dir);
    }
    return status < 0 ? 1 : status;
}
