// sim/preload/interpose.cpp - the libc entry points the device layer takes
// over; everything that is not a phone device passes through.
#include "devlayer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace devlayer;

namespace {

template <typename F> F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using fopen_fn = FILE* (*)(const char*, const char*);
using rw_fn = ssize_t (*)(int, void*, size_t);
using wr_fn = ssize_t (*)(int, const void*, size_t);
using prw_fn = ssize_t (*)(int, void*, size_t, off_t);
using pwr_fn = ssize_t (*)(int, const void*, size_t, off_t);
using prw64_fn = ssize_t (*)(int, void*, size_t, off64_t);
using pwr64_fn = ssize_t (*)(int, const void*, size_t, off64_t);
using lseek_fn = off_t (*)(int, off_t, int);
using lseek64_fn = off64_t (*)(int, off64_t, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);
using nanosleep_fn = int (*)(const timespec*, timespec*);
using clock_nanosleep_fn = int (*)(clockid_t, int, const timespec*, timespec*);
using connect_fn = int (*)(int, const sockaddr*, socklen_t);
using send_fn = ssize_t (*)(int, const void*, size_t, int);
using semget_fn = int (*)(key_t, int, int);
using semop_fn = int (*)(int, sembuf*, size_t);
using shmget_fn = int (*)(key_t, size_t, int);
using shmat_fn = void* (*)(int, const void*, int);

bool wants_mode(int flags)
{
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) return true;
#endif
    return (flags & O_CREAT) != 0;
}

// Opens `path` as the phone sees it. Returns -2 when the path is not the
// device layer's business.
int phone_open(const char* path, int flags)
{
    if (path == nullptr) return -2;
    const target t = classify(path);
    // Rules may name any path; without rules only the phone's devices and
    // platform files are this layer's business.
    load_config();
    const bool rules = !cfg().faults.empty();
    if (t.k == kind::none && t.redirect.empty() && !rules) return -2;
    if (rules && is_missing(path)) {
        errno = ENOENT;
        return -1;
    }
    if (rules) {
        if (fault_rule* f = match_fault("open", path)) {
            errno = f->err;
            return -1;
        }
    }
    if (t.k == kind::none && t.redirect.empty()) return -2;
    if (t.k == kind::none) return -3; // redirect only
    return open_device_path(t, path, flags);
}

timespec scaled(const timespec& ts)
{
    load_config(); // the scale may have changed since the last call
    const double k = cfg().time_scale;
    if (k <= 1.0) return ts;
    const double ns = (static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec)) / k;
    timespec out;
    out.tv_sec = static_cast<time_t>(ns / 1e9);
    out.tv_nsec = static_cast<long>(ns - static_cast<double>(out.tv_sec) * 1e9);
    return out;
}

} // namespace

namespace devlayer {

int real_open(const char* path, int flags, mode_t mode)
{
    static const auto f = next<open_fn>("open");
    return f(path, flags, mode);
}
int real_close(int fd)
{
    static const auto f = next<close_fn>("close");
    return f(fd);
}
ssize_t real_read(int fd, void* buf, size_t n)
{
    static const auto f = next<rw_fn>("read");
    return f(fd, buf, n);
}
ssize_t real_write(int fd, const void* buf, size_t n)
{
    static const auto f = next<wr_fn>("write");
    return f(fd, buf, n);
}
int real_ioctl(int fd, unsigned long request, void* arg)
{
    static const auto f = next<ioctl_fn>("ioctl");
    return f(fd, request, arg);
}

void chip_busy(uint64_t us)
{
    // What earlier sleeps overslept is taken off this one, so that many
    // short operations add up to the modelled time, not to it plus a
    // timer's slack for each.
    static thread_local int64_t overslept_ns = 0;
    static const auto f = next<nanosleep_fn>("nanosleep");
    const timespec want =
        scaled({static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000});
    const int64_t target =
        static_cast<int64_t>(want.tv_sec) * 1000000000 + want.tv_nsec - overslept_ns;
    if (target <= 0) {
        overslept_ns = -target;
        return;
    }
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const timespec ts = {static_cast<time_t>(target / 1000000000),
                         static_cast<long>(target % 1000000000)};
    f(&ts, nullptr);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const int64_t slept = (t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
    overslept_ns = slept - target;
}

} // namespace devlayer

namespace {

int do_open(const char* path, int flags, mode_t mode)
{
    const int r = phone_open(path, flags);
    if (r == -2) return real_open(path, flags, mode);
    if (r == -3) return real_open(classify(path).redirect.c_str(), flags, mode);
    return r;
}

int do_openat(int dirfd, const char* path, int flags, mode_t mode, const char* name)
{
    if (path != nullptr && path[0] == '/') return do_open(path, flags, mode);
    static const auto f = next<openat_fn>("openat");
    (void)name;
    return f(dirfd, path, flags, mode);
}

ssize_t dev_read(int fd, void* buf, size_t n, bool positioned, int64_t at, bool* handled)
{
    open_device d;
    *handled = tracked(fd, &d) && d.k == kind::mtd;
    if (!*handled) return 0;
    const uint64_t pos = positioned ? static_cast<uint64_t>(at) : d.pos;
    const ssize_t r = mtd_read(d, buf, n, pos);
    if (r > 0 && !positioned) set_pos(fd, pos + static_cast<uint64_t>(r));
    return r;
}

ssize_t dev_write(int fd, const void* buf, size_t n, bool positioned, int64_t at, bool* handled)
{
    open_device d;
    *handled = tracked(fd, &d) && d.k == kind::mtd;
    if (!*handled) return 0;
    if (fault_rule* f = match_fault("write", d.path)) {
        errno = f->err;
        return -1;
    }
    // A short write: the device takes only the first bytes.
    if (fault_rule* f = match_fault("short", d.path))
        n = std::min(n, static_cast<size_t>(std::max(f->err, 0)));
    const bool stuck = match_fault("stuck", d.path) != nullptr;
    const uint64_t pos = positioned ? static_cast<uint64_t>(at) : d.pos;
    const ssize_t r = mtd_write(d, buf, n, pos, stuck);
    if (r > 0 && !positioned) set_pos(fd, pos + static_cast<uint64_t>(r));
    // A signal that arrives while the flash is being written.
    if (fault_rule* f = match_fault("signal", d.path)) {
        run_log("faults.log", "signal " + std::to_string(f->err) + " after a write of " + d.path);
        raise(f->err);
    }
    return r;
}

// Moves the position of an open MTD device; -1 with EINVAL for a position
// outside the partition.
int64_t dev_lseek(int fd, const open_device& d, int64_t offset, int whence)
{
    int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<int64_t>(d.pos);
    else if (whence == SEEK_END)
        base = static_cast<int64_t>(mtd_size(d.index));
    else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    const int64_t pos = base + offset;
    if (pos < 0 || pos > static_cast<int64_t>(mtd_size(d.index))) {
        errno = EINVAL;
        return -1;
    }
    set_pos(fd, static_cast<uint64_t>(pos));
    return pos;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return do_open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return do_open(path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    return do_open(path, flags, 0);
}
int __open64_2(const char* path, int flags)
{
    return do_open(path, flags, 0);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return do_openat(dirfd, path, flags, mode, "openat");
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return do_openat(dirfd, path, flags, mode, "openat64");
}

int __openat_2(int dirfd, const char* path, int flags)
{
    return do_openat(dirfd, path, flags, 0, "openat");
}
int __openat64_2(int dirfd, const char* path, int flags)
{
    return do_openat(dirfd, path, flags, 0, "openat64");
}

static FILE* do_fopen(const char* path, const char* mode, const char* name)
{
    static const auto f = next<fopen_fn>(name);
    const int r =
        phone_open(path, mode != nullptr && mode[0] == 'r' && mode[1] != '+' ? O_RDONLY : O_RDWR);
    if (r == -2) return f(path, mode);
    if (r == -3) return f(classify(path).redirect.c_str(), mode);
    if (r < 0) return nullptr;
    FILE* file = fdopen(r, mode);
    if (file == nullptr) close(r);
    return file;
}

FILE* fopen(const char* path, const char* mode)
{
    return do_fopen(path, mode, "fopen");
}
FILE* fopen64(const char* path, const char* mode)
{
    return do_fopen(path, mode, "fopen64");
}

int close(int fd)
{
    untrack(fd);
    return real_close(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    open_device d;
    if (!tracked(fd, &d)) return real_ioctl(fd, request, arg);
    if (fault_rule* f = match_fault("ioctl", d.path, request)) {
        errno = f->err;
        return -1;
    }
    return device_ioctl(fd, d, request, arg);
}

ssize_t read(int fd, void* buf, size_t n)
{
    bool handled = false;
    const ssize_t r = dev_read(fd, buf, n, false, 0, &handled);
    return handled ? r : real_read(fd, buf, n);
}

ssize_t __read_chk(int fd, void* buf, size_t n, size_t)
{
    return read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n)
{
    bool handled = false;
    const ssize_t r = dev_write(fd, buf, n, false, 0, &handled);
    return handled ? r : real_write(fd, buf, n);
}

// On a 32-bit system off_t is 32 bits wide and the *64 entry points take
// an off64_t; each passes through to its own real counterpart.
ssize_t pread(int fd, void* buf, size_t n, off_t at)
{
    bool handled = false;
    const ssize_t r = dev_read(fd, buf, n, true, at, &handled);
    if (handled) return r;
    static const auto f = next<prw_fn>("pread");
    return f(fd, buf, n, at);
}

ssize_t pread64(int fd, void* buf, size_t n, off64_t at)
{
    bool handled = false;
    const ssize_t r = dev_read(fd, buf, n, true, at, &handled);
    if (handled) return r;
    static const auto f = next<prw64_fn>("pread64");
    return f(fd, buf, n, at);
}

ssize_t __pread64_chk(int fd, void* buf, size_t n, off64_t at, size_t)
{
    return pread64(fd, buf, n, at);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at)
{
    bool handled = false;
    const ssize_t r = dev_write(fd, buf, n, true, at, &handled);
    if (handled) return r;
    static const auto f = next<pwr_fn>("pwrite");
    return f(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t at)
{
    bool handled = false;
    const ssize_t r = dev_write(fd, buf, n, true, at, &handled);
    if (handled) return r;
    static const auto f = next<pwr64_fn>("pwrite64");
    return f(fd, buf, n, at);
}

off_t lseek(int fd, off_t offset, int whence)
{
    open_device d;
    if (!tracked(fd, &d) || d.k != kind::mtd) {
        static const auto f = next<lseek_fn>("lseek");
        return f(fd, offset, whence);
    }
    return static_cast<off_t>(dev_lseek(fd, d, offset, whence));
}

off64_t lseek64(int fd, off64_t offset, int whence)
{
    open_device d;
    if (!tracked(fd, &d) || d.k != kind::mtd) {
        static const auto f = next<lseek64_fn>("lseek64");
        return f(fd, offset, whence);
    }
    return dev_lseek(fd, d, offset, whence);
}

// A Unix socket connected while rules exist is tracked by its path, so
// that "write PATH N ERRNO" and "short PATH N BYTES" reach its sends.
int connect(int fd, const sockaddr* addr, socklen_t len)
{
    static const auto f = next<connect_fn>("connect");
    const int r = f(fd, addr, len);
    const int saved = errno;
    load_config();
    if (r == 0 && addr != nullptr && addr->sa_family == AF_UNIX && !cfg().faults.empty() &&
        len > static_cast<socklen_t>(offsetof(sockaddr_un, sun_path))) {
        const auto* un = reinterpret_cast<const sockaddr_un*>(addr);
        open_device d;
        d.k = kind::socket;
        d.path.assign(un->sun_path, strnlen(un->sun_path, sizeof un->sun_path));
        track(fd, d);
    }
    errno = saved;
    return r;
}

ssize_t send(int fd, const void* buf, size_t n, int flags)
{
    static const auto f = next<send_fn>("send");
    open_device d;
    if (tracked(fd, &d) && d.k == kind::socket) {
        if (fault_rule* r = match_fault("write", d.path)) {
            errno = r->err;
            return -1;
        }
        // A send that the socket takes only in part.
        if (fault_rule* r = match_fault("short", d.path))
            n = std::min(n, static_cast<size_t>(std::max(r->err, 0)));
    }
    return f(fd, buf, n, flags);
}

// System V calls that a rule "sysv CALL N ERRNO" makes fail on the Nth call.
static fault_rule* sysv_fault(const char* call)
{
    load_config();
    return match_fault("sysv", call);
}

int semget(key_t key, int nsems, int semflg)
{
    static const auto f = next<semget_fn>("semget");
    if (fault_rule* r = sysv_fault("semget")) {
        errno = r->err;
        return -1;
    }
    return f(key, nsems, semflg);
}

int semop(int semid, sembuf* sops, size_t nsops)
{
    static const auto f = next<semop_fn>("semop");
    if (fault_rule* r = sysv_fault("semop")) {
        errno = r->err;
        return -1;
    }
    return f(semid, sops, nsops);
}

int shmget(key_t key, size_t size, int shmflg)
{
    static const auto f = next<shmget_fn>("shmget");
    if (fault_rule* r = sysv_fault("shmget")) {
        errno = r->err;
        return -1;
    }
    return f(key, size, shmflg);
}

void* shmat(int shmid, const void* addr, int shmflg)
{
    static const auto f = next<shmat_fn>("shmat");
    if (fault_rule* r = sysv_fault("shmat")) {
        errno = r->err;
        return reinterpret_cast<void*>(-1);
    }
    return f(shmid, addr, shmflg);
}

int nanosleep(const timespec* req, timespec* rem)
{
    static const auto f = next<nanosleep_fn>("nanosleep");
    if (req == nullptr) return f(req, rem);
    const timespec s = scaled(*req);
    return f(&s, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* req, timespec* rem)
{
    static const auto f = next<clock_nanosleep_fn>("clock_nanosleep");
    if (req == nullptr || (flags & TIMER_ABSTIME) != 0) return f(clock, flags, req, rem);
    const timespec s = scaled(*req);
    return f(clock, flags, &s, rem);
}

unsigned int sleep(unsigned int seconds)
{
    timespec ts{static_cast<time_t>(seconds), 0};
    timespec rem{};
    if (nanosleep(&ts, &rem) < 0) return static_cast<unsigned int>(rem.tv_sec);
    return 0;
}

int usleep(useconds_t usec)
{
    timespec ts{static_cast<time_t>(usec / 1000000), static_cast<long>(usec % 1000000) * 1000};
    return nanosleep(&ts, nullptr);
}

} // extern "C"
