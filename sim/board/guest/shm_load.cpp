// sim/board/guest/shm_load.cpp - the phone's loading process on the
// emulated board: puts a ROM image into the shared upgrade record the way
// the simulated phone's loader does (the same code), then leaves it for the
// upgrader, which the board's scenario starts without arguments.
//
//   shm_load IMAGE [STATE]
#include "shm_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: shm_load IMAGE [STATE]\n");
        return 2;
    }
    // No streams: the phone's C library has no locales for them.
    shm_load load;
    load.enabled = true;
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    char buf[65536];
    ssize_t n = 0;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
        load.image.append(buf, static_cast<size_t>(n));
    if (fd < 0 || n < 0) {
        std::fprintf(stderr, "shm_load: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    close(fd);
    load.state = argc == 3 ? std::atoi(argv[2]) : 0;
    try {
        shm_load_records(load);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
