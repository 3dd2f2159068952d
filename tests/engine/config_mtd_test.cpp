// A new flash layout on the simulated phone: its MTD driver's relocation
// request, its block devices, its /etc and /config mounts.
#include "config_mtd.h"
#include "fixture_image.h"
#include "flash_burn.h"
#include "phone.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

// The relocation requests the MTD driver carried out in this run.
std::vector<std::string> relocations()
{
    std::vector<std::string> out;
    for (const std::string& l : phone_run_log("flash.log"))
        if (l.rfind("relocate ", 0) == 0) out.push_back(l);
    return out;
}

class ConfigMtd : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        ASSERT_EQ(system("mkdir -p /tmp/bin && cp /bin/cat /bin/umount /tmp/bin/"), 0);
        ASSERT_EQ(read_env_info(env), 0);
        // Sleeps of a second are a millisecond here.
        phone_add_fault("time_scale 1000");
        g_kernel_support = 1;
    }

    static void layout(const std::map<int, std::string>& changes, int keys = 10)
    {
        phone_write_file("/tmp/mtd.conf", fixture_layout(changes, keys));
    }

    env_range& range(const char* name)
    {
        unsigned int i = 0;
        EXPECT_EQ(find_env_by_name(env, name, &i), 0) << name;
        return env[i].range;
    }

    env_info env[ENV_TABLE_SIZE] = {};
};

// The installed layout is no change, even with ranges that nest: only a
// layout that is to be applied must not overlap.
TEST_F(ConfigMtd, TheInstalledLayoutChangesNothing)
{
    phone_add_fault("relocation 1");
    layout({});
    ASSERT_EQ(mtd_config_deal(env), 0);
    EXPECT_EQ(g_env_restore + g_config_restore + upgrader_kernel_only + config_blocks_saved, 0);
    EXPECT_EQ(access("/tmp/mtdblock3", F_OK), -1);
    EXPECT_EQ(phone_logged(LOG_INFO, "mtd9 start_addr:907f0000 end_addr:90800000\n"), 1)
        << "all ten ranges compared";

    range("mtd9") = {0x90000000U, 0x90800000U};
    layout({{9, "90000000,90800000"}});
    EXPECT_EQ(mtd_config_deal(env), 0);
    EXPECT_TRUE(relocations().empty());
    EXPECT_EQ(phone_logged(LOG_ERR, "mtd0 and mtd9 overlap\n"), 0);
}

TEST_F(ConfigMtd, AMovedPartitionIsRelocatedAndUpdated)
{
    phone_add_fault("relocation 1");
    layout({{6, "90430000,90720000"}});
    ASSERT_EQ(mtd_config_deal(env), 0);
    EXPECT_EQ(relocations(), (std::vector<std::string>{"relocate mtd6 0x430000 0x2f0000"}));
    EXPECT_EQ(range("mtd6").end_addr, 0x90720000U);
    EXPECT_EQ(g_env_restore + g_config_restore, 0);
    EXPECT_EQ(access("/tmp/mtdblock3", F_OK), -1);
}

TEST_F(ConfigMtd, TheEnvironmentAndConfigBlocksMoveOnlyWhenTheyAreWrittenBack)
{
    phone_add_fault("relocation 1");
    const std::string chip = phone_read_file(phone_state_path("flash/chip.bin"));
    // mtd6 gives up its end to mtd3 and mtd4.
    phone_write_file("/tmp/mtd.conf", fixture_moving_layout());
    ASSERT_EQ(mtd_config_deal(env), 0);
    // Both blocks are copied before anything moves; only mtd6 moves now.
    EXPECT_EQ(relocations(), (std::vector<std::string>{"relocate mtd6 0x430000 0x2d0000"}));
    EXPECT_EQ(g_env_restore, 1);
    EXPECT_EQ(g_config_restore, 1);
    EXPECT_EQ(phone_read_file("/tmp/mtdblock3"), chip.substr(0x20000, 0x10000));
    EXPECT_EQ(phone_read_file("/tmp/mtdblock4"), chip.substr(0x730000, 0x80000));
    EXPECT_EQ(range("mtd3").start_addr, 0x90020000U) << "not moved yet";

    // The write-back moves each block, the configuration first (what the
    // blocks then hold, and the order of copies, moves and writes, the
    // driver's tests check).
    ASSERT_EQ(restore_moved_blocks(env), 0);
    EXPECT_EQ(relocations(), (std::vector<std::string>{"relocate mtd6 0x430000 0x2d0000",
                                                       "relocate mtd4 0x710000 0x80000",
                                                       "relocate mtd3 0x700000 0x10000"}));
    EXPECT_EQ(range("mtd3").start_addr, 0x90700000U);
    EXPECT_EQ(range("mtd4").end_addr, 0x90790000U);
    EXPECT_EQ(g_env_restore + g_config_restore, 0);
}

// A copy whose command succeeded is still no copy when it is short of the
// whole block (a full /tmp): nothing moves. A link planted at a copy's name
// is removed, not written through.
TEST_F(ConfigMtd, ABlockCopyMustBeWholeBeforeAnythingMoves)
{
    phone_add_fault("relocation 1");
    phone_write_file("/config/secret", "keep");
    ASSERT_EQ(symlink("/config/secret", "/tmp/mtdblock3"), 0);
    phone_write_file("/tmp/bin/cat", "#!/bin/sh\nexec head -c 4096 \"$@\"\n", 0755);
    layout({{3, "90700000,90710000"}, {6, "90430000,90700000"}});
    EXPECT_EQ(mtd_config_deal(env), -1);
    EXPECT_EQ(
        phone_logged(LOG_ERR,
                     "/tmp/mtdblock3: copy of 4096 bytes (command succeeded), 65536 wanted\n"),
        5);
    EXPECT_TRUE(relocations().empty());
    EXPECT_EQ(g_env_restore + config_blocks_saved, 0);
    EXPECT_EQ(phone_read_file("/config/secret"), "keep");
}

TEST_F(ConfigMtd, OnlyTenValidRangesAreALayout)
{
    const std::map<int, std::string> bad[] = {
        {{9, "907f0000,90810000"}}, {{5, "90338000,90430000"}}, {{5, "90330000,90330000"}},
        {{5, "90330000"}},          {{0, "8fff0000,90010000"}}, {{7, "907d0000,907b0000"}}};
    for (const auto& b : bad) {
        layout(b);
        EXPECT_EQ(mtd_config_deal(env), -1) << b.begin()->second;
    }
    layout({}, 9);
    EXPECT_EQ(mtd_config_deal(env), -1) << "nine keys";
    EXPECT_TRUE(relocations().empty());
    EXPECT_EQ(range("mtd5").start_addr, 0x90330000U);

    // Without relocation support the burn is limited to partition 1 and
    // nothing moves.
    g_kernel_support = 0;
    layout({{6, "90430000,90720000"}});
    EXPECT_EQ(mtd_config_deal(env), 0);
    EXPECT_EQ(upgrader_kernel_only, 1);
    EXPECT_EQ(range("mtd6").end_addr, 0x90730000U);
}

// Ranges that are valid one by one but share blocks, and text that is no
// layout at all, are refused before anything moves.
TEST_F(ConfigMtd, OverlapsAndGarbageAreRefused)
{
    phone_add_fault("relocation 1");
    const std::pair<std::map<int, std::string>, const char*> overlaps[] = {
        {{{5, "90330000,90440000"}}, "mtd5 and mtd6 overlap\n"},
        {{{9, "90000000,90800000"}}, "mtd0 and mtd9 overlap\n"},
        // mtd3 placed inside mtd6, which keeps its range.
        {{{3, "90700000,90710000"}}, "mtd3 and mtd6 overlap\n"}};
    for (const auto& [changes, line] : overlaps) {
        layout(changes);
        EXPECT_EQ(mtd_config_deal(env), -1) << line;
        EXPECT_EQ(phone_logged(LOG_ERR, line), 1);
    }
    std::string garbage = "[mtd]\nmtd0 = ";
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 37 + 11) % 255 + 1);
    phone_write_file("/tmp/mtd.conf", garbage);
    EXPECT_EQ(mtd_config_deal(env), -1);
    EXPECT_TRUE(relocations().empty());
    EXPECT_EQ(g_env_restore + g_config_restore + config_blocks_saved, 0);
    EXPECT_EQ(range("mtd6").end_addr, 0x90730000U);
}

TEST_F(ConfigMtd, MissingRangesAndFailedMovesFail)
{
    layout({});
    unsigned int i = 0;
    ASSERT_EQ(find_env_by_name(env, "mtd8", &i), 0);
    env[i].name[0] = '\0';
    EXPECT_EQ(mtd_config_deal(env), -1);

    // The MTD driver refuses the move: the table keeps the old range.
    ASSERT_EQ(read_env_info(env), 0);
    layout({{6, "90430000,90720000"}});
    EXPECT_EQ(mtd_config_deal(env), -1);
    EXPECT_EQ(phone_logged(LOG_DEBUG, "/dev/mtd6 ioctl failed!\n"), 1);
    EXPECT_EQ(range("mtd6").end_addr, 0x90730000U);
}

TEST_F(ConfigMtd, UnmountTheConfiguration)
{
    const std::string umount = "shellcmd:/tmp/bin/umount /etc/; /tmp/bin/umount /config/\n";
    ASSERT_EQ(umount_config_mtd(), 0);
    const std::string mounts = phone_read_file("/proc/self/mounts");
    EXPECT_EQ(mounts.find(" /config "), std::string::npos);
    EXPECT_EQ(mounts.find(" /etc "), std::string::npos);
    EXPECT_EQ(phone_logged(LOG_INFO, umount), 1);
    // Now there is nothing to unmount: five attempts, then -1.
    EXPECT_EQ(umount_config_mtd(), -1);
    EXPECT_EQ(phone_logged(LOG_INFO, umount), 6);
}

TEST(MtdLayout, TheLayoutTextAloneGivesTheRanges)
{
    env_info layout[MTD_LAYOUT_PARTITIONS];
    ASSERT_TRUE(parse_mtd_layout(fixture_layout({}).c_str(), layout));
    EXPECT_STREQ(layout[4].name, "mtd4");
    EXPECT_EQ(layout[4].range.start_addr, 0x90730000U);
    EXPECT_EQ(layout[9].range.end_addr, MTD_FLASH_END);
    // A value is cut to 99 characters before it is scanned: with blanks in
    // front, 99 characters hold mtd2's range and 100 lose its last digit.
    const std::string range2 = "90000000,90020000";
    EXPECT_TRUE(
        parse_mtd_layout(fixture_layout({{2, std::string(81, ' ') + range2}}).c_str(), layout));
    EXPECT_FALSE(
        parse_mtd_layout(fixture_layout({{2, std::string(82, ' ') + range2}}).c_str(), layout));
    EXPECT_FALSE(parse_mtd_layout("", layout));
    EXPECT_FALSE(parse_mtd_layout(nullptr, layout));
    EXPECT_FALSE(parse_mtd_layout(fixture_layout({}).c_str(), nullptr));
}

} // namespace
