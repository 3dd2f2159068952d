// engine/sys_helpers.h - shell commands, watchdog, reboot, stopping the
// phone applications, and the fatal-signal handler.
//
// system_ex() runs a command through /bin/sh with a time limit per attempt
// and retries after a timeout; it returns the command's exit code (0..255)
// or -1. check_system_result() turns a status of system() into 0 (ran and
// exited with 0) or -1. The other helpers return 0 or -1 and log their own
// failures. Everything here is meant for the driver's thread: system_ex()
// changes process-wide signal settings for the length of the call.
#pragma once

// The misc device and its watchdog request (type 'M', number 5, write,
// 4-byte argument, in the phone's request encoding).
constexpr const char* MISC_DEVICE = "/dev/misc0";
constexpr unsigned long MISC_IOCS_WATCHDOG = 0x80044D05UL;

constexpr const char* REBOOT_COPY_COMMAND = "/tmp/reboot";
constexpr const char* REBOOT_PLAIN_COMMAND = "reboot";
constexpr const char* KILLAPPS_SCRIPT = "/app/scripts/killapps.sh";

// Runs `command` with "/bin/sh -c". Each attempt may take `timeout`
// seconds (below 1: no limit); an attempt that runs out is killed and,
// while fewer than `retries` retries were made, started again. Only a
// timeout leads to another attempt. A null command returns -1.
int system_ex(const char* command, int timeout, int retries);
// 0 when `status` (from system()) says the command exited with 0, else -1.
int check_system_result(int status);
// Switches the watchdog off (0) or on (1) through the misc device.
int set_watchdog(int value);
// Runs the reboot command: "reboot" when `fallback` is set (the copy in
// /tmp could not be made), else "/tmp/reboot". Returns system_ex's result.
int do_reboot(int fallback);
// Stops the phone applications, unless the upgrade state says they stay
// (2 and -3). Returns 0, or -1 when the script failed.
int killapps(int upgrader_state);
// Logs which signal arrived and on which thread, then ends the process:
// with 128 + the signal number for a fault (SIGSEGV, SIGBUS, SIGILL,
// SIGABRT), with 0 for any other. Safe to run at any moment, on any thread.
void signal_handler(int signum);
