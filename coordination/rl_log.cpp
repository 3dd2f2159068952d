// coordination/rl_log.cpp - syslog lines with identity, pid, thread id and level.
#include "rl_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int kLineMax = 4096;
constexpr int kIdentMax = 14;

int g_initialised = 0;
char g_ident[kIdentMax + 1] = "";
int g_pid = 0;
int g_threshold = 7;
long g_utc_offset = 0; // seconds east of UTC when rl_log_init() ran

int kernel_tid()
{
    return static_cast<int>(syscall(SYS_gettid));
}

// The level functions differ only in their level.
void log_at(int level, const char* fmt, va_list ap)
{
    if (fmt == nullptr || fmt[0] == '\0') return;
    if (g_threshold < level) return;
    rl_log_common(level, fmt, ap);
}

} // namespace

int rl_log_init(const char* ident, int threshold)
{
    if (g_initialised == 1) return 0;
    g_initialised = 1;
    closelog();
    // Bounded copy of 15 bytes, then byte 14 forced to NUL.
    std::strncpy(g_ident, ident != nullptr ? ident : "", kIdentMax + 1);
    g_ident[kIdentMax] = '\0';
    g_pid = getpid();
    g_threshold = threshold;
    const time_t now = time(nullptr);
    struct tm local = {};
    if (localtime_r(&now, &local) != nullptr) g_utc_offset = local.tm_gmtoff;
    // The line prefix names the process, so syslog's own tag stays empty.
    openlog("", LOG_NDELAY, LOG_USER);
    return 0;
}

int rl_log_deinit()
{
    if (g_initialised == 1) {
        g_initialised = 0;
        closelog();
    }
    return 0;
}

int rl_log_set_level(int threshold)
{
    g_threshold = threshold;
    return g_threshold;
}

void rl_log_common(int level, const char* fmt, va_list ap)
{
    // The caller's message is formatted on its own first, then joined to
    // the prefix as plain text: neither a "%" in the identity nor a line
    // cut at the buffer's end can ever be read as a conversion.
    char message[kLineMax];
    std::vsnprintf(message, sizeof message, fmt != nullptr ? fmt : "", ap);
    char line[kLineMax];
    int head = std::snprintf(line, sizeof line, "%s pid%d,tid%d,l%d: ", g_ident, g_pid,
                             kernel_tid(), level);
    if (head < 0) head = 0;
    const std::size_t at = std::min(static_cast<std::size_t>(head), sizeof line - 1);
    // The line is cut to fit, as a whole: it stays one line of text.
    const std::size_t n = strnlen(message, sizeof line - 1 - at);
    std::memcpy(line + at, message, n);
    line[at + n] = '\0';
    syslog(level, "%s", line);
}

namespace {

// A line built by hand: snprintf and friends may take locks or allocate.
struct safe_line {
    char buf[768];
    size_t len = 0;

    void text(const char* s, size_t max = sizeof buf)
    {
        for (size_t i = 0; s[i] != '\0' && i < max && len < sizeof buf; ++i) buf[len++] = s[i];
    }
    // Decimal, at least `width` digits (zero-padded, or space-padded when
    // `pad` is ' ').
    void number(long v, int width = 1, char pad = '0')
    {
        char digits[24];
        int n = 0;
        const bool negative = v < 0;
        unsigned long u =
            negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0 && n < 20);
        if (negative) digits[n++] = '-';
        while (n < width) digits[n++] = pad;
        while (n > 0 && len < sizeof buf) buf[len++] = digits[--n];
    }
};

// "Mmm dd hh:mm:ss", as syslog stamps its lines, from the epoch seconds.
void append_stamp(safe_line* line, long seconds)
{
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long days = seconds / 86400;
    long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian), with
    // years starting in March so that the leap day comes last.
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long doe = days - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const long day = doy - (153 * mp + 2) / 5 + 1;
    const long month = mp < 10 ? mp + 3 : mp - 9;
    line->text(kMonths[month - 1]);
    line->text(" ");
    line->number(day, 2, ' ');
    line->text(" ");
    line->number(rest / 3600, 2);
    line->text(":");
    line->number(rest / 60 % 60, 2);
    line->text(":");
    line->number(rest % 60, 2);
}

} // namespace

void rl_log_signal_safe(int level, const char* text)
{
    if (text == nullptr || text[0] == '\0' || g_threshold < level) return;
    safe_line line;
    line.text("<");
    line.number(LOG_USER | (level & 7));
    line.text(">");
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    append_stamp(&line, static_cast<long>(now.tv_sec) + g_utc_offset);
    // syslog's own tag is empty: the line prefix names the process.
    line.text(" : ");
    line.text(g_ident);
    line.text(" pid");
    line.number(g_pid);
    line.text(",tid");
    line.number(kernel_tid());
    line.text(",l");
    line.number(level);
    line.text(": ");
    line.text(text, 512);

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    static const char kLogPath[] = "/dev/log";
    std::memcpy(addr.sun_path, kLogPath, sizeof kLogPath);
    // Nothing can be reported from here when the send fails.
    (void)sendto(fd, line.buf, line.len, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr),
                 sizeof addr);
    close(fd);
}

#define RL_LOG_LEVEL_FUNCTION(name, level)                                                         \
    void name(const char* fmt, ...)                                                                \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, fmt);                                                                         \
        log_at(level, fmt, ap);                                                                    \
        va_end(ap);                                                                                \
    }

RL_LOG_LEVEL_FUNCTION(rl_log_emerg, LOG_EMERG)
RL_LOG_LEVEL_FUNCTION(rl_log_alert, LOG_ALERT)
RL_LOG_LEVEL_FUNCTION(rl_log_crit, LOG_CRIT)
RL_LOG_LEVEL_FUNCTION(rl_log_err, LOG_ERR)
RL_LOG_LEVEL_FUNCTION(rl_log_warn, LOG_WARNING)
RL_LOG_LEVEL_FUNCTION(rl_log_notice, LOG_NOTICE)
RL_LOG_LEVEL_FUNCTION(rl_log_info, LOG_INFO)
RL_LOG_LEVEL_FUNCTION(rl_log_debug, LOG_DEBUG)
