// coordination/rl_log.cpp - syslog lines with identity, pid, thread id and level.
#include "rl_log.h"

#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int kLineMax = 4096;
constexpr int kIdentMax = 14;

int g_initialised = 0;
char g_ident[kIdentMax + 1] = "";
int g_pid = 0;
int g_threshold = 7;

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
    // The caller's format becomes part of the line's format, so its
    // conversions are filled from `ap` by vsyslog.
    char line[kLineMax] = {};
    std::snprintf(line, sizeof line, "%s pid%d,tid%d,l%d: %s", g_ident, g_pid, kernel_tid(), level,
                  fmt != nullptr ? fmt : "");
    vsyslog(level, line, ap);
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
