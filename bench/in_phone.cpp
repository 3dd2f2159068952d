// bench/in_phone.cpp - booting a phone that runs the benchmark itself.
#include "in_phone.h"

#include "boot.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <unistd.h>

namespace {

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

bool in_phone()
{
    return std::getenv("PHONESIM_INSIDE") != nullptr;
}

int run_in_phone(int argc, char** argv, const phone_setup& setup)
{
    char dir[] = "/tmp/phonesim-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("bench: mkdtemp /tmp/phonesim-bench.XXXXXX");
        return 1;
    }
    boot_request req;
    req.state_dir = dir;
    req.argv = {own_path()};
    for (int i = 1; i < argc; ++i) req.argv.emplace_back(argv[i]);
    req.env = {"PHONESIM_INSIDE=1"};
    req.env.insert(req.env.end(), setup.env.begin(), setup.env.end());
    req.faults = setup.faults;
    req.time_scale = setup.time_scale;
    req.host_binds = {PHONESIM_BUILD_DIR};
    req.end_with_program = true;
    int status = 1;
    try {
        status = phonesim_boot(req).exit_status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
    }
    nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}
