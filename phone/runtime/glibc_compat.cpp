// phone/runtime/glibc_compat.cpp - the few glibc symbols that the cross
// compiler's C++ runtime (built for glibc) refers to and uClibc-ng lacks,
// each given the meaning a phone without them should have.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

struct dl_find_object;

extern "C" {

// Never claims that the process has one thread: the C++ runtime then
// always uses atomic reference counts, which is right in every process.
char __libc_single_threaded = 0;

// No message catalogues on the phone: every message is its own text.
char* gettext(const char* msgid)
{
    return const_cast<char*>(msgid);
}

// Random bytes from the kernel, at most 256 at a time as in glibc.
int getentropy(void* buffer, size_t length)
{
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    auto* p = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t n = read(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            errno = EIO;
            return -1;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    close(fd);
    return 0;
}

uint32_t arc4random(void)
{
    uint32_t v = 0;
    if (getentropy(&v, sizeof v) != 0) abort();
    return v;
}

// The unwinder asks the dynamic loader first and, when it says no (-1),
// looks the frame tables up itself; a static program has no loader.
int _dl_find_object(void* pc, dl_find_object* result)
{
    (void)pc;
    (void)result;
    return -1;
}

} // extern "C"
