// sim/board/guest/loop_window.cpp - on the emulated board: makes one loop
// device show a window of the flash chip's disk, so that block2mtd can
// turn it into the MTD partition of that window.
//
//   loop_window DISK LOOP OFFSET SIZE     (offset and size in bytes, 0x.. ok)
//
// busybox losetup sets an offset but no size limit; this sets both.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int fail(const char* what, const char* path)
{
    std::fprintf(stderr, "loop_window: %s %s: %s\n", what, path, std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: loop_window DISK LOOP OFFSET SIZE\n");
        return 2;
    }
    const int disk = open(argv[1], O_RDWR | O_CLOEXEC);
    if (disk < 0) return fail("open", argv[1]);
    const int loop = open(argv[2], O_RDWR | O_CLOEXEC);
    if (loop < 0) return fail("open", argv[2]);
    if (ioctl(loop, LOOP_SET_FD, disk) < 0) return fail("LOOP_SET_FD", argv[2]);
    loop_info64 info = {};
    info.lo_offset = std::strtoull(argv[3], nullptr, 0);
    info.lo_sizelimit = std::strtoull(argv[4], nullptr, 0);
    if (ioctl(loop, LOOP_SET_STATUS64, &info) < 0) {
        const int saved = errno;
        ioctl(loop, LOOP_CLR_FD, 0);
        errno = saved;
        return fail("LOOP_SET_STATUS64", argv[2]);
    }
    close(disk);
    close(loop);
    return 0;
}
