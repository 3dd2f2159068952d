// tests/support/phone.h - what a test sees of the simulated phone it runs in.
//
// Every test binary linked with the phone's test main runs inside a freshly
// booted simulated phone: the real paths (/dev/log, /tmp, /config, /app,
// ...) are the phone's, never the host's. These helpers read what the
// phone recorded.
#pragma once

#include "syslog_record.h"

#include <string>
#include <vector>

// Every syslog message the phone has received so far, in arrival order.
// Waits until every message sent before the call has been captured.
std::vector<syslog_record> phone_syslog();

// The messages at `level` whose text is exactly `msg`.
int phone_syslog_count(int level, const std::string& msg);
// How often this test process's main thread logged `text` at `level`
// through the upgrader's log, with its "upgrader pid..,tid..,l..: " prefix.
int phone_logged(int level, const std::string& text);

// Path of a file in the phone's state directory (as seen in the phone).
std::string phone_state_path(const std::string& relative);

// Adds a rule to the device layer's faults for the rest of this boot, e.g.
// "fault missing /dev/misc0", "fault ioctl /dev/mtd3 0x80084D02 2 5"
// (the 2nd erase fails with EIO), "fault command 1 cp /sbin/reboot".
void phone_add_fault(const std::string& rule);
// The lines of a device-layer log of this run ("misc.log", "flash.log",
// "faults.log"), each without its time and pid.
std::vector<std::string> phone_run_log(const std::string& name);

// Sends one keypad event (value 1 press, 0 release, 2 repeat) to every
// process that has /dev/input/event0 open now.
void phone_key_event(int code, int value);

// Writes `text` to `path` (creating directories), mode `mode`.
void phone_write_file(const std::string& path, const std::string& text, int mode = 0644);
// The whole content of `path`, or "" when it cannot be read.
std::string phone_read_file(const std::string& path);
