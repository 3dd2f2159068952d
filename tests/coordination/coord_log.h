// tests/coordination/coord_log.h - the syslog lines of the coordination
// modules, without their prefix.
#pragma once

#include "phone.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

struct logged_line {
    int level;
    std::string text;
    bool operator==(const logged_line& o) const { return level == o.level && text == o.text; }
};

inline void PrintTo(const logged_line& l, std::ostream* os)
{
    *os << "l" << l.level << " \"" << l.text << "\"";
}

// Every line logged under the identity "upgrader" since the phone booted,
// checked for its prefix (this process's pid, the level it was sent at).
inline std::vector<logged_line> logged()
{
    static const std::regex prefix("^upgrader pid([0-9]+),tid[0-9]+,l([0-7]): ([\\s\\S]*)$");
    std::vector<logged_line> out;
    for (const syslog_record& r : phone_syslog()) {
        std::smatch m;
        if (!std::regex_match(r.msg, m, prefix)) {
            ADD_FAILURE() << "line without the prefix: " << r.msg;
            continue;
        }
        EXPECT_EQ(std::stoi(m[1]), getpid()) << r.msg;
        EXPECT_EQ(std::stoi(m[2]), r.level) << r.msg;
        out.push_back({r.level, m[3]});
    }
    return out;
}

// How many lines at `level` read exactly `text`.
inline int logged_count(int level, const std::string& text)
{
    int n = 0;
    for (const logged_line& l : logged())
        if (l.level == level && l.text == text) ++n;
    return n;
}
