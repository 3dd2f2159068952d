// engine/sys_helpers.cpp - shell commands, watchdog, reboot, killapps, signals.
#include "sys_helpers.h"

#include "rl_log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int kExecFailed = 127;
constexpr long long kFirstPollUs = 1000;
constexpr long long kLastPollUs = 50000;

// Signal settings that system_ex() changes for the length of one call.
struct saved_signals {
    struct sigaction intr;
    struct sigaction quit;
    sigset_t mask;
};

bool ignore_interrupts(saved_signals* saved)
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    if (sigaction(SIGINT, &ignore, &saved->intr) < 0) return false;
    if (sigaction(SIGQUIT, &ignore, &saved->quit) < 0) return false;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    return pthread_sigmask(SIG_BLOCK, &block, &saved->mask) == 0;
}

bool restore_interrupts(const saved_signals* saved)
{
    if (sigaction(SIGINT, &saved->intr, nullptr) < 0) return false;
    if (sigaction(SIGQUIT, &saved->quit, nullptr) < 0) return false;
    return pthread_sigmask(SIG_SETMASK, &saved->mask, nullptr) == 0;
}

// Polls once without blocking. Returns true when the attempt is over,
// with *status set (the child's status, or -1 when waiting failed).
bool child_done(pid_t pid, int* status)
{
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        *status = st;
        return true;
    }
    if (r < 0 && errno != EINTR) {
        *status = -1;
        return true;
    }
    return false;
}

// One attempt: start the shell and wait for it, at most `timeout` seconds.
// Returns the status; sets *timed_out when the child had to be killed.
int run_attempt(const char* command, int timeout, int attempt, const saved_signals* saved,
                int* timed_out)
{
    *timed_out = 0;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // The command and whatever it starts form a process group of their
        // own, so that a timeout stops all of it and not just the shell.
        setpgid(0, 0);
        sigaction(SIGINT, &saved->intr, nullptr);
        sigaction(SIGQUIT, &saved->quit, nullptr);
        pthread_sigmask(SIG_SETMASK, &saved->mask, nullptr);
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(kExecFailed);
    }
    setpgid(pid, pid); // also here: the group exists before any kill
    int status = 0;
    if (timeout < 1) {
        // No time limit: a blocking wait paces the polling best.
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        return status;
    }
    // Polls that start at a millisecond and grow to 50 ms: a quick command
    // is seen to end within about its own time, a long one costs few
    // wake-ups. The time limit is the sum of the pauses, as it was of
    // one-second sleeps before.
    long long remaining_us = static_cast<long long>(timeout) * 1000000LL;
    for (long long step_us = kFirstPollUs;;) {
        if (child_done(pid, &status)) return status;
        if (remaining_us <= 0) break;
        const long long pause = std::min(step_us, remaining_us);
        const timespec ts = {static_cast<time_t>(pause / 1000000LL),
                             static_cast<long>(pause % 1000000LL) * 1000L};
        nanosleep(&ts, nullptr);
        remaining_us -= pause;
        step_us = std::min(step_us * 2, kLastPollUs);
    }
    // A child that ended during the last pause has not timed out: the loop
    // looked once more before it left.
    rl_log_warn("%s:%s retry %d times...", "system_ex", command, attempt);
    if (kill(-pid, SIGKILL) == 0 || kill(pid, SIGKILL) == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }
    *timed_out = 1;
    return -1;
}

} // namespace

int system_ex(const char* command, int timeout, int retries)
{
    if (command == nullptr) return -1;
    if (retries < 0) retries = 0;
    saved_signals saved;
    if (!ignore_interrupts(&saved)) return -1;

    int status = -1;
    int attempt = -1;
    int timed_out = 0;
    do {
        status = run_attempt(command, timeout, attempt, &saved, &timed_out);
        ++attempt;
    } while (timed_out != 0 && attempt < retries);

    if (!restore_interrupts(&saved)) return -1;
    if ((status & 0x7f) != 0) return -1; // killed by a signal, or no status
    return (status >> 8) & 0xff;
}

int check_system_result(int status)
{
    if (status < 0) return -1;
    if ((status & 0x7f) != 0) return -1;
    if (((status >> 8) & 0xff) != 0) return -1;
    return 0;
}

namespace {

// This process switched the watchdog off and has not switched it on.
volatile sig_atomic_t g_watchdog_off = 0;

} // namespace

int set_watchdog(int value)
{
    const int fd = open(MISC_DEVICE, O_RDWR);
    if (fd < 0) {
        rl_log_err("/dev/misc0 open failed\n");
        return -1;
    }
    // The request takes the value itself, not its address.
    if (ioctl(fd, MISC_IOCS_WATCHDOG, static_cast<unsigned long>(value)) < 0) {
        rl_log_err("/dev/misc0 ctrl failed!\n");
        close(fd);
        return -1;
    }
    close(fd);
    g_watchdog_off = value == 0 ? 1 : 0;
    return 0;
}

void watchdog_back_on()
{
    if (g_watchdog_off != 0) set_watchdog(1);
}

int do_reboot(int fallback)
{
    // The countdown thread and the key wait may both reboot: one at a time,
    // and a second one while the first runs is not started at all (it
    // would change the same signal settings).
    static pthread_mutex_t running = PTHREAD_MUTEX_INITIALIZER;
    if (pthread_mutex_trylock(&running) != 0) {
        rl_log_info("reboot already under way\n");
        return 0;
    }
    const int r = system_ex(fallback != 0 ? REBOOT_PLAIN_COMMAND : REBOOT_COPY_COMMAND, 10, 3);
    pthread_mutex_unlock(&running);
    return r;
}

int remove_fixed_file(const char* path)
{
    if (path == nullptr) return -1;
    if (unlink(path) == 0 || errno == ENOENT) return 0;
    rl_log_err("%s cannot be removed: %s\n", path, std::strerror(errno));
    return -1;
}

std::FILE* open_own_file(const char* path)
{
    if (path == nullptr) return nullptr;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        rl_log_err("%s is not a regular file\n", path);
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "r");
    if (f == nullptr) close(fd);
    return f;
}

long own_file_size(const char* path)
{
    struct stat st = {};
    if (path == nullptr || lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long>(st.st_size);
}

int killapps(int upgrader_state)
{
    if (upgrader_state == 2 || upgrader_state == -3) return 0;
    if (check_system_result(system(KILLAPPS_SCRIPT)) == 0) return 0;
    rl_log_err("killapps failed!\n");
    return -1;
}

namespace {

// Set once the run erases, writes or moves flash; read by the handler.
volatile sig_atomic_t g_flash_changed = 0;

// Appends `s` to `buf` (of `size` bytes, kept NUL-terminated) at `*len`.
void put_text(char* buf, size_t size, size_t* len, const char* s)
{
    for (; *s != '\0' && *len + 1 < size; ++s) buf[(*len)++] = *s;
    buf[*len] = '\0';
}

void put_number(char* buf, size_t size, size_t* len, int v)
{
    char digits[16];
    int n = 0;
    unsigned int u = v < 0 ? 0U - static_cast<unsigned int>(v) : static_cast<unsigned int>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0 && n < 12);
    if (v < 0) digits[n++] = '-';
    char text[16];
    int i = 0;
    while (n > 0) text[i++] = digits[--n];
    text[i] = '\0';
    put_text(buf, size, len, text);
}

// A fault means the program is broken: whoever started it must not read
// success. A request to stop (SIGINT, SIGQUIT, SIGHUP) ends it with 0 only
// while the flash is as it was: an interrupted burn is a failure.
bool is_fault(int signum)
{
    return signum == SIGSEGV || signum == SIGBUS || signum == SIGILL || signum == SIGABRT;
}

} // namespace

void note_flash_changed()
{
    g_flash_changed = 1;
}

// Runs in signal context, possibly on a thread that is inside syslog or
// malloc: the line is built by hand and written with async-signal-safe
// calls only, and the process ends with _exit (no atexit handlers, no
// stdio flush, which could wait for a lock the interrupted thread holds).
void signal_handler(int signum)
{
    const int tid = static_cast<int>(syscall(SYS_gettid));
    const char* name = nullptr;
    switch (signum) {
    case SIGINT: name = "SIGINT"; break;
    case SIGQUIT: name = "SIGQUIT"; break;
    case SIGILL: name = "SIGILL"; break;
    case SIGABRT: name = "SIGABRT"; break;
    case SIGBUS: name = "SIGBUS"; break;
    case SIGSEGV: name = "SIGSEGV"; break;
    default: break;
    }
    char line[96];
    size_t len = 0;
    put_text(line, sizeof line, &len, "Catch a signal ");
    if (name != nullptr)
        put_text(line, sizeof line, &len, name);
    else
        put_number(line, sizeof line, &len, signum);
    put_text(line, sizeof line, &len, ", thread id ");
    put_number(line, sizeof line, &len, tid);
    put_text(line, sizeof line, &len, ".");
    rl_log_signal_safe(LOG_ERR, line);
    // The watchdog goes back on (open, ioctl and close are safe here): the
    // process ends without a reboot.
    if (g_watchdog_off != 0) {
        const int fd = open(MISC_DEVICE, O_RDWR);
        if (fd >= 0) {
            (void)ioctl(fd, MISC_IOCS_WATCHDOG, 1UL);
            close(fd);
        }
    }
    _exit(is_fault(signum) || g_flash_changed != 0 ? 128 + signum : 0);
}
