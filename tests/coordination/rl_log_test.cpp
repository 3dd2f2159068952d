// Logging: what reaches the phone's /dev/log, line by line.
#include "phone.h"
#include "rl_log.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

int tid()
{
    return static_cast<int>(syscall(SYS_gettid));
}

std::string prefix(const char* ident, int level, int thread_id = tid())
{
    return std::string(ident) + " pid" + std::to_string(getpid()) + ",tid" +
           std::to_string(thread_id) + ",l" + std::to_string(level) + ": ";
}

TEST(RlLog, EachLevelReachesSyslogWithItsPriorityAndTheLinePrefix)
{
    rl_log_init("upgrader", 7);
    void (*const at_level[])(const char*, ...) = {rl_log_emerg, rl_log_alert, rl_log_crit,
                                                  rl_log_err,   rl_log_warn,  rl_log_notice,
                                                  rl_log_info,  rl_log_debug};
    for (int level = 0; level < 8; ++level) at_level[level]("m%d\n", level);
    // Empty and null formats write nothing; "%s" is not an empty format.
    rl_log_info("");
    const char* none = nullptr;
    rl_log_err(none);
    rl_log_debug("%s", "");
    const auto log = phone_syslog();
    ASSERT_EQ(log.size(), 9U);
    for (int level = 0; level < 8; ++level) {
        const syslog_record& r = log[static_cast<size_t>(level)];
        EXPECT_EQ(r.facility, LOG_USER >> 3);
        EXPECT_EQ(r.level, level);
        EXPECT_EQ(r.tag, "");
        EXPECT_EQ(r.msg, prefix("upgrader", level) + "m" + std::to_string(level) + "\n");
    }
    EXPECT_EQ(log[8].msg, prefix("upgrader", 7));
}

TEST(RlLog, ThresholdDecidesWhatIsWritten)
{
    rl_log_init("upgrader", 3);
    rl_log_err("err\n");
    rl_log_warn("warn\n");
    rl_log_info("info\n");
    rl_log_debug("debug\n");
    EXPECT_EQ(rl_log_set_level(0), 0);
    rl_log_alert("alert\n");
    rl_log_emerg("emerg\n");
    const auto log = phone_syslog();
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0].msg, prefix("upgrader", 3) + "err\n");
    EXPECT_EQ(log[1].msg, prefix("upgrader", 0) + "emerg\n");
}

TEST(RlLog, SecondInitChangesNothingUntilDeinit)
{
    rl_log_init("first", 3);
    rl_log_init("second", 7);
    rl_log_info("dropped\n");
    rl_log_err("kept\n");
    rl_log_deinit();
    rl_log_err("after deinit\n"); // still written, with the stored identity
    rl_log_init("third", 7);
    rl_log_info("now\n");
    const auto log = phone_syslog();
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].msg, prefix("first", 3) + "kept\n");
    EXPECT_EQ(log[1].msg, prefix("first", 3) + "after deinit\n");
    EXPECT_EQ(log[2].msg, prefix("third", 6) + "now\n");
}

// Before the first init a line has no identity and pid 0; after it, the
// identity is cut to fourteen characters, and it is text, never a format.
TEST(RlLog, TheIdentityIsEmptyBeforeInitThenFourteenCharactersOfText)
{
    rl_log_warn("early %s\n", "bird");
    rl_log_init("up%s%n%dijklmnopqrst", 7);
    rl_log_info("x=%d\n", 3);
    const auto log = phone_syslog();
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0].level, 4);
    EXPECT_EQ(log[0].msg, " pid0,tid" + std::to_string(tid()) + ",l4: early bird\n");
    EXPECT_EQ(log[1].msg, prefix("up%s%n%dijklmn", 6) + "x=3\n");
}

TEST(RlLog, EachThreadLogsItsOwnKernelThreadId)
{
    rl_log_init("upgrader", 7);
    int other = 0;
    std::thread t([&] {
        other = tid();
        rl_log_info("from thread\n");
    });
    t.join();
    rl_log_info("from main\n");
    const auto log = phone_syslog();
    ASSERT_EQ(log.size(), 2U);
    ASSERT_NE(other, tid());
    EXPECT_EQ(log[0].msg, prefix("upgrader", 6, other) + "from thread\n");
    EXPECT_EQ(log[1].msg, prefix("upgrader", 6) + "from main\n");
}

TEST(RlLog, LongMessageIsCutToTheLineBuffer)
{
    rl_log_init("upgrader", 7);
    const std::string long_text(5000, 'a');
    rl_log_info("%s", long_text.c_str());
    rl_log_info(long_text.c_str()); // NOLINT: a built format that does not fit
    // A conversion where the line is cut is formatted before the cut.
    rl_log_info((std::string(4070, 'b') + "%d%s").c_str(), 12345, "tail"); // NOLINT

    const auto log = phone_syslog();
    ASSERT_EQ(log.size(), 3U);
    const std::string p = prefix("upgrader", 6);
    EXPECT_EQ(log[0].msg, p + std::string(4095 - p.size(), 'a'));
    EXPECT_EQ(log[1].msg, log[0].msg);
    EXPECT_EQ(log[2].msg, (p + std::string(4070, 'b') + "12345tail").substr(0, 4095));
}

// The handler's line: the same record as an ordinary one (priority,
// empty syslog tag after a well-formed time stamp, prefix), text as given.
TEST(RlLog, TheSignalSafeLineIsTheSameRecordAsAnOrdinaryOne)
{
    rl_log_init("upgrader", 7);
    rl_log_err("%s", "Catch a signal 1, thread id 5.");
    rl_log_signal_safe(LOG_ERR, "Catch a signal 1, thread id 5.");
    rl_log_signal_safe(LOG_DEBUG, "100%d sure");
    rl_log_signal_safe(LOG_ERR, std::string(600, 'x').c_str());
    rl_log_set_level(2);
    rl_log_signal_safe(LOG_ERR, "above the threshold");
    rl_log_set_level(7);
    const auto m = phone_syslog();
    ASSERT_EQ(m.size(), 4U);
    EXPECT_EQ(m[1].facility, m[0].facility);
    EXPECT_EQ(m[1].level, LOG_ERR);
    EXPECT_EQ(m[1].tag, m[0].tag);
    EXPECT_EQ(m[1].msg, m[0].msg);
    EXPECT_EQ(m[1].msg, prefix("upgrader", 3) + "Catch a signal 1, thread id 5.");
    EXPECT_EQ(m[2].level, LOG_DEBUG);
    EXPECT_EQ(m[2].msg, prefix("upgrader", 7) + "100%d sure");
    EXPECT_EQ(m[3].msg, prefix("upgrader", 3) + std::string(512, 'x'));
}

} // namespace
