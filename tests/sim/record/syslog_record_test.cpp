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

// A terminating NUL is not part of the message; a datagram without a
// priority keeps its whole text.
TEST(SyslogRecord, ATerminatingNulGoesAndMalformedDatagramsKeepTheirText)
{
    const std::string with_nul("<14>Dec  7 06:12:36 : upgrader pid1,tid1,l6: x\n\0", 48);
    EXPECT_EQ(syslog_parse(with_nul, 0).msg, "upgrader pid1,tid1,l6: x\n");
    EXPECT_EQ(syslog_parse(std::string("<14>a\0b\0\0", 9), 0).msg, std::string("a\0b", 3));
    EXPECT_EQ(syslog_parse("no priority", 0).level, 5);
    for (const char* text : {"no priority", "<x>oops", "<12345>long", "", "<"})
        EXPECT_EQ(syslog_parse(text, 0).msg, text);
}

TEST(SyslogRecord, JsonRoundTrip)
{
    const syslog_record r{7, 1, 4, "t", "line\n\x01"};
    const syslog_record back = syslog_from_json(nlohmann::json::parse(syslog_to_json(r).dump()));
    EXPECT_EQ(back.t_ms, 7);
    EXPECT_EQ(back.facility, 1);
    EXPECT_EQ(back.level, 4);
    EXPECT_EQ(back.tag, "t");
    EXPECT_EQ(back.msg, r.msg);
    EXPECT_EQ(syslog_to_json(r)["level"], "warning");
}
