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

#include <cstdio>

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
// For an exit that does not end in a reboot: switches the watchdog back on
// if this process switched it off, so that a phone that hangs afterwards is
// still reset.
void watchdog_back_on();
// Runs the reboot command: "reboot" when `fallback` is set (the copy in
// /tmp could not be made), else "/tmp/reboot". Returns system_ex's result.
int do_reboot(int fallback);
// Removes whatever stands at `path` (a file, a link, a device node; not a
// directory), before the program makes a file of its own there, itself or
// through a command: nobody else's link is followed and nobody else's file
// is written through. 0 when nothing stands there any more; -1 (logged with
// the path and the reason) otherwise.
int remove_fixed_file(const char* path);
// Opens a file the program made under /tmp (itself or through a command)
// for reading: not through a link, and only when it is a regular file; the
// caller reads it through this stream, never by its name again. Null when
// it is not such a file.
std::FILE* open_own_file(const char* path);
// The size of the regular file at `path` (not followed if a link), or -1.
long own_file_size(const char* path);
// Stops the phone applications, unless the upgrade state says they stay
// (2 and -3). Returns 0, or -1 when the script failed.
int killapps(int upgrader_state);
// Logs which signal arrived and on which thread, then ends the process:
// with 128 + the signal number for a fault (SIGSEGV, SIGBUS, SIGILL,
// SIGABRT), and for any signal once this run has changed the flash; with 0
// for a request to stop (SIGINT, SIGQUIT, SIGHUP) while the flash is
// untouched. Safe to run at any moment, on any thread.
void signal_handler(int signum);
// Marks that this run is about to erase, write or move flash: from now on
// no signal may end it as if nothing had happened.
void note_flash_changed();
