// Captured syslog datagrams: splitting and storing.
#include "syslog_record.h"

#include <gtest/gtest.h>

TEST(SyslogRecord, SplitsPriorityTimestampTagAndMessage)
{
    const syslog_record r = syslog_parse("<11>Dec  7 06:12:36 : upgrader pid1,tid1,l3: x\n", 42);
    EXPECT_EQ(r.t_ms, 42);
    EXPECT_EQ(r.facility, 1);
    EXPECT_EQ(r.level, 3);
    EXPECT_EQ(r.tag, "");
    EXPECT_EQ(r.msg, "upgrader pid1,tid1,l3: x\n");

    const syslog_record t = syslog_parse("<190>Jan 17 23:59:59 tag[12]: a: b", 0);
    EXPECT_EQ(t.facility, 23);
    EXPECT_EQ(t.level, 6);
    EXPECT_EQ(t.tag, "tag[12]");
    EXPECT_EQ(t.msg, "a: b");
}

TEST(SyslogRecord, ATerminatingNulIsNotPartOfTheMessage)
{
    const std::string with_nul("<14>Dec  7 06:12:36 : upgrader pid1,tid1,l6: x\n\0", 48);
    EXPECT_EQ(syslog_parse(with_nul, 0).msg, "upgrader pid1,tid1,l6: x\n");
    EXPECT_EQ(syslog_parse(std::string("<14>a\0b\0\0", 9), 0).msg, std::string("a\0b", 3));
}

TEST(SyslogRecord, MalformedDatagramsKeepTheirText)
{
    EXPECT_EQ(syslog_parse("no priority", 0).msg, "no priority");
    EXPECT_EQ(syslog_parse("no priority", 0).level, 5);
    EXPECT_EQ(syslog_parse("<x>oops", 0).msg, "<x>oops");
    EXPECT_EQ(syslog_parse("<12345>long", 0).msg, "<12345>long");
    EXPECT_EQ(syslog_parse("", 0).msg, "");
    EXPECT_EQ(syslog_parse("<", 0).msg, "<");
}

TEST(SyslogRecord, JsonRoundTrip)
{
    syslog_record r;
    r.t_ms = 7;
    r.facility = 1;
    r.level = 4;
    r.tag = "t";
    r.msg = "line\n\x01";
    const syslog_record back = syslog_from_json(nlohmann::json::parse(syslog_to_json(r).dump()));
    EXPECT_EQ(back.msg, r.msg);
    EXPECT_EQ(back.level, 4);
    EXPECT_EQ(back.facility, 1);
    EXPECT_EQ(back.t_ms, 7);
    EXPECT_EQ(syslog_to_json(r)["level"], "warning");
}
