// The configuration fixes after a burn, on the simulated phone's /tmp and
// /config with its real shell, sed and cat.
#include "config_fix.h"
#include "phone.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char* kRetry = "/config/autop_retry_save.cfg";
constexpr const char* kKeys = "/config/Phone/Key/ProgramableKey.conf";
const std::string kKeysText = "[ LINEKEY8 ]\ntype = 15\n[ LINEKEY9 ]\nlabel = LINEKEY8 copy\n";
const std::string kRebootLine = "Config.Autoprovision.Reboot.Enable = 1 \n";

class ConfigFix : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        // Each command is waited for in steps of a second: make them short.
        phone_add_fault("time_scale 100");
        phone_write_file(kKeys, kKeysText);
    }
    // Both fixes, with an environment table holding only RomVersion.
    void fix(const char* version)
    {
        std::memset(env, 0, sizeof env);
        std::strcpy(env[0].name, "RomVersion");
        std::strcpy(env[0].value, version);
        config_autop(env);
        config_deleteLineKey8(env);
    }
    env_info env[ENV_TABLE_SIZE] = {};
};

TEST_F(ConfigFix, BeforeVersionFourBothFixesRun)
{
    phone_write_file("/tmp/autop.cfg", "server_url = http://x/\nurl = kept\nname = 1\n");
    fix("59.0.3.10");
    const std::string retry = "   \nurl = kept\nname = 1\n  \n" + kRebootLine;
    EXPECT_EQ(phone_read_file(kRetry), retry)
        << "a URL line becomes three blanks; one that starts with url stays";
    EXPECT_EQ(phone_logged(LOG_ERR, "config ok"), 1);
    // sed keeps the blank between c\ and the text.
    EXPECT_EQ(phone_read_file(kKeys),
              " [ LINEKEY8_NOUSED ]\ntype = 15\n[ LINEKEY9 ]\n [ LINEKEY8_NOUSED ]\n");

    // A second run leaves the retry file as it is.
    phone_write_file("/tmp/more.cfg", "extra = 1\n");
    config_autop(env);
    EXPECT_EQ(phone_read_file(kRetry), retry);
    EXPECT_EQ(phone_logged(LOG_ERR, "/config/autop_retry_save.cfg is exist"), 1);
}

TEST_F(ConfigFix, TheKeyFixIsForModel59BeforeVersionFourOnly)
{
    // From version 4 on neither fix runs.
    phone_write_file("/tmp/autop.cfg", "a = 1\n");
    fix("59.0.4.0");
    EXPECT_EQ(access(kRetry, F_OK), -1);
    EXPECT_EQ(phone_read_file(kKeys), kKeysText);
    // Other models get only the retry file: without files to collect, just
    // the reboot setting.
    ASSERT_EQ(unlink("/tmp/autop.cfg"), 0);
    fix("55.1.2.3");
    EXPECT_EQ(phone_read_file(kRetry), kRebootLine);
    EXPECT_EQ(phone_read_file(kKeys), kKeysText);
}

TEST_F(ConfigFix, WhichFilesOfTmpAreCollected)
{
    phone_write_file("/tmp/a.cfg", "A\n");
    phone_write_file("/tmp/b.conf", "B\n");
    phone_write_file("/tmp/phone.cfg_orig", "C\n"); // contains .cfg, ends in g
    phone_write_file("/tmp/d.cfg.bak", "D\n");
    phone_write_file("/tmp/e.config", "E\n");
    ASSERT_EQ(mkdir("/tmp/dir.cfg", 0755), 0);
    phone_write_file("/config/secret.txt", "SECRET\n");
    ASSERT_EQ(symlink("/config/secret.txt", "/tmp/link.cfg"), 0);
    fix("2.0.3.0");
    const std::string out = phone_read_file(kRetry);
    for (const char* taken : {"A\n  \n", "B\n  \n", "C\n  \n"})
        EXPECT_NE(out.find(taken), std::string::npos) << taken;
    for (const char* left : {"D\n", "E\n", "SECRET"}) EXPECT_EQ(out.find(left), std::string::npos);
    EXPECT_EQ(out.size(), 3 * 5 + kRebootLine.size()) << out;
}

// Names a shell would read as commands are kept, contents and all: no name
// goes to a shell.
TEST_F(ConfigFix, AnyNameIsKeptAndNoneRunsAsACommand)
{
    const char* names[] = {"/tmp/x;echo pwned;.cfg", "/tmp/q\"uote.cfg",    "/tmp/s'ingle.cfg",
                           "/tmp/new\nline.cfg",     "/tmp/$(touch x).cfg", "/tmp/b,c.cfg",
                           "/tmp/d@e.conf",          "/tmp/-rf.conf"};
    int i = 0;
    for (const char* name : names) phone_write_file(name, "F" + std::to_string(i++) + "\n");
    fix("2.0.3.0");
    const std::string out = phone_read_file(kRetry);
    for (int k = 0; k < i; ++k)
        EXPECT_NE(out.find("F" + std::to_string(k) + "\n  \n"), std::string::npos) << names[k];
    EXPECT_EQ(out.find("pwned"), std::string::npos);
    struct stat st = {};
    EXPECT_NE(stat("x", &st), 0);
    EXPECT_NE(stat("/tmp/x", &st), 0);
}

TEST_F(ConfigFix, AtMostTenFilesAndNoVersionNoFix)
{
    for (int i = 0; i < 12; ++i)
        phone_write_file("/tmp/f" + std::to_string(i) + ".cfg", "line" + std::to_string(i) + "\n");
    fix("1.1.1.1");
    const std::string out = phone_read_file(kRetry);
    int lines = 0;
    for (size_t p = out.find("line"); p != std::string::npos; p = out.find("line", p + 1)) ++lines;
    EXPECT_EQ(lines, 10);

    std::memset(env, 0, sizeof env);
    config_autop(env);
    config_deleteLineKey8(env);
    EXPECT_EQ(phone_logged(LOG_INFO, "RomVersion env isnot exist!\n"), 2);
}

} // namespace
