// sim/syslog_record.h - one captured syslog message.
//
// The phone's /dev/log receives datagrams "<PRI>Mmm dd hh:mm:ss TAG: MSG".
// The simulated phone keeps each one as a record with the priority split
// into facility and level, and stores records as JSON lines.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

struct syslog_record {
    int64_t t_ms = 0; // milliseconds since the phone was powered on
    int facility = 0; // LOG_USER is 1
    int level = 0;    // 0 emerg .. 7 debug
    std::string tag;  // text between the time stamp and ": "
    std::string msg;  // message text exactly as sent, newlines kept
};

// Splits one datagram. A datagram without a "<PRI>" prefix gets facility 1
// and level 5 (as syslogd does) and its whole text as the message. NUL
// bytes at the end of a datagram (uClibc sends one) are not part of it.
syslog_record syslog_parse(const std::string& datagram, int64_t t_ms);

const char* syslog_level_name(int level);       // "emerg" .. "debug"
const char* syslog_facility_name(int facility); // "kern", "user", ...

nlohmann::json syslog_to_json(const syslog_record& r);
syslog_record syslog_from_json(const nlohmann::json& j);
