// coordination/rl_log.h - the process's logger.
//
// Every message goes to syslog (facility LOG_USER) as one line
// "<identity> pid<pid>,tid<tid>,l<level>: <message>", where the identity
// and pid are those stored by rl_log_init() and tid is the calling
// thread's kernel thread id. Levels are the syslog priorities 0..7; a
// message is written when its level is at most the threshold (default 7).
// A null or empty format writes nothing. Lines are built in a 4096-byte
// stack buffer and cut to fit; nothing is allocated.
//
// Any thread may log. Only rl_log_init(), rl_log_deinit() and
// rl_log_set_level() change the logger's state; call them from the main
// thread while no other thread logs.
#pragma once

#include <cstdarg>

#define RL_LOG_PRINTF(fmt_index) __attribute__((format(printf, fmt_index, fmt_index + 1)))

// Stores the identity (at most 14 characters), the pid and the threshold
// and opens syslog. A second call before rl_log_deinit() changes nothing.
// Returns 0.
int rl_log_init(const char* ident, int threshold);
// Closes syslog; the stored identity, pid and threshold stay. Returns 0.
int rl_log_deinit();
// Sets the threshold and returns it.
int rl_log_set_level(int threshold);
// Writes one line at the given level, whatever the threshold.
void rl_log_common(int level, const char* fmt, va_list ap);

// Writes one line at `level` (subject to the threshold) with async-signal-
// safe calls only, for a signal handler that may interrupt a thread inside
// syslog: the same line, `text` taken as it is (no conversions, cut at 512
// bytes), sent straight to /dev/log with a time stamp in the local time of
// rl_log_init().
void rl_log_signal_safe(int level, const char* text);

void rl_log_emerg(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_alert(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_crit(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_err(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_warn(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_notice(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_info(const char* fmt, ...) RL_LOG_PRINTF(1);
void rl_log_debug(const char* fmt, ...) RL_LOG_PRINTF(1);
