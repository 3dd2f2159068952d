// sim/syslog_record.cpp - parsing and storing captured syslog messages.
#include "syslog_record.h"

#include <cctype>

namespace {

constexpr const char* kLevelNames[] = {"emerg",   "alert",  "crit", "err",
                                       "warning", "notice", "info", "debug"};
constexpr const char* kFacilityNames[] = {
    "kern",   "user",   "mail",     "daemon", "auth",   "syslog", "lpr",    "news",
    "uucp",   "cron",   "authpriv", "ftp",    "ntp",    "audit",  "alert",  "clock",
    "local0", "local1", "local2",   "local3", "local4", "local5", "local6", "local7"};

// "Mmm dd hh:mm:ss " is 16 characters: three letters, a blank, a day
// padded to two, a blank, the time, a blank.
bool is_timestamp(const std::string& s, size_t at)
{
    if (s.size() < at + 16) return false;
    for (size_t i = 0; i < 3; ++i)
        if (!std::isalpha(static_cast<unsigned char>(s[at + i]))) return false;
    return s[at + 3] == ' ' && s[at + 6] == ' ' && s[at + 9] == ':' && s[at + 12] == ':' &&
           s[at + 15] == ' ';
}

} // namespace

syslog_record syslog_parse(const std::string& datagram, int64_t t_ms)
{
    // Some C libraries send the terminating NUL with the text; a syslog
    // daemon drops it.
    size_t end = datagram.size();
    while (end > 0 && datagram[end - 1] == '\0') --end;
    const std::string d = datagram.substr(0, end);
    syslog_record r;
    r.t_ms = t_ms;
    r.facility = 1;
    r.level = 5;
    size_t pos = 0;
    if (d.size() > 2 && d[0] == '<') {
        const size_t close = d.find('>');
        if (close != std::string::npos && close > 1 && close <= 4) {
            int pri = 0;
            bool digits = true;
            for (size_t i = 1; i < close; ++i) {
                if (!std::isdigit(static_cast<unsigned char>(d[i])))
                    digits = false;
                else
                    pri = pri * 10 + (d[i] - '0');
            }
            if (digits) {
                r.facility = pri >> 3;
                r.level = pri & 7;
                pos = close + 1;
            }
        }
    }
    if (is_timestamp(d, pos)) pos += 16;
    const size_t colon = d.find(": ", pos);
    if (colon != std::string::npos) {
        r.tag = d.substr(pos, colon - pos);
        r.msg = d.substr(colon + 2);
    } else {
        r.msg = d.substr(pos);
    }
    return r;
}

const char* syslog_level_name(int level)
{
    return level >= 0 && level < 8 ? kLevelNames[level] : "?";
}

const char* syslog_facility_name(int facility)
{
    constexpr int n = static_cast<int>(sizeof kFacilityNames / sizeof kFacilityNames[0]);
    return facility >= 0 && facility < n ? kFacilityNames[facility] : "?";
}

nlohmann::json syslog_to_json(const syslog_record& r)
{
    return {{"t_ms", r.t_ms},
            {"facility", syslog_facility_name(r.facility)},
            {"facility_code", r.facility},
            {"level", syslog_level_name(r.level)},
            {"level_code", r.level},
            {"tag", r.tag},
            {"msg", r.msg}};
}

syslog_record syslog_from_json(const nlohmann::json& j)
{
    syslog_record r;
    r.t_ms = j.value("t_ms", int64_t{0});
    r.facility = j.value("facility_code", 1);
    r.level = j.value("level_code", 5);
    r.tag = j.value("tag", std::string());
    r.msg = j.value("msg", std::string());
    return r;
}
