// What the upgrader must never do on the simulated phone: report a broken
// flash as success, lose the environment or the configuration, or follow
// what another process planted in /tmp or in its environment.
#include "phone_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class Trust : public PhoneFixture {
protected:
    void SetUp() override
    {
        PhoneFixture::SetUp();
        desc_.partitions[0].data = fixture_data(150000, 5);
        before_ = phone_file(dir_ + "/flash/chip.bin");
    }
    // File mode on a copy of the image in /tmp (one on /config would keep
    // it from being unmounted), with `faults`, pressing Reboot on the
    // failure screen that shows `screen` (if any).
    void file_mode(std::vector<std::string> faults = {}, const std::string& screen = "")
    {
        shell("cp /config/rom.bin /tmp/rom.bin && exec /basic/bin/upgrader /tmp/rom.bin", screen,
              std::move(faults));
    }
    void shell(const std::string& script, const std::string& screen = "",
               std::vector<std::string> faults = {})
    {
        put_rom_file(rom_build(desc_));
        boot(request({"/bin/sh", "-c", script}, std::move(faults), screen));
    }
    // A relocating phone and an image whose layout moves mtd3 and mtd4
    // into what was the end of mtd6.
    void moving_layout()
    {
        phone_options o;
        o.relocation = true;
        make_phone(o);
        before_ = phone_file(dir_ + "/flash/chip.bin");
        desc_.partitions.insert(desc_.partitions.begin(),
                                fixture_special(2, fixture_moving_layout()));
    }
    // Whether the environment and configuration blocks are at their new
    // places with what they held.
    bool blocks_moved_whole() const
    {
        return chip(0x90700000U, 0x10000) == before_.substr(0x20000, 0x10000) &&
               chip(0x90710000U, 0x80000) == before_.substr(0x730000, 0x80000);
    }
    bool flash_unchanged() const { return phone_file(dir_ + "/flash/chip.bin") == before_; }

    std::string before_;
};

// A partition larger than the whole erase blocks of its range would be
// written over unerased flash: the check refuses it.
TEST_F(Trust, APartitionBeyondTheErasableRangeIsRefused)
{
    phone_options o;
    o.env = {{"mtd7", "0x907b0000,0x907c8000"}};
    make_phone(o);
    before_ = phone_file(dir_ + "/flash/chip.bin");
    desc_.partitions = {fixture_partition(7, "2.150.8.2", fixture_data(96 * 1024, 7))};
    file_mode({}, "Rom check Failed!");
    EXPECT_TRUE(logged("mtd7: partition of 98304 bytes, but only 65536 bytes of its range can be "
                       "erased"));
    EXPECT_TRUE(logged("rom pack check failed! ID:-84"));
    EXPECT_TRUE(flash_unchanged());
}

// Every block is read back: one that does not hold what was written fails
// the burn, on the failure screen, never as a success.
TEST_F(Trust, ABlockThatReadsBackWrongFailsTheBurn)
{
    file_mode({"fault stuck /dev/mtd5 2"}, "Burn Flash Failed!");
    EXPECT_TRUE(logged("verify /dev/mtd5 failed at 0x10000"));
    EXPECT_TRUE(logged("UPD_MSG_FLASH_WRITE_ERR"));
    EXPECT_EQ(broadcasts(), (steps{{4, 2}, {4, 4}, {3, 0}}));
    EXPECT_EQ(result_.reboot_command, "/tmp/reboot") << "from the failure screen's key";
    EXPECT_FALSE(logged("upgrader-1 completed!"));
}

// A request to stop that arrives once the flash is being written ends the
// run as a failure: 128 + the signal, not 0.
TEST_F(Trust, AnInterruptedBurnIsAFailure)
{
    file_mode({"fault signal /dev/mtd5 2 2"});
    EXPECT_EQ(result_.exit_status, 130);
    EXPECT_TRUE(logged("Catch a signal SIGINT"));
    file_mode({"fault signal /dev/mtd5 1 1"});
    EXPECT_EQ(result_.exit_status, 129);
}

// A special file that cannot be written whole refuses the image, and what
// the check had extracted goes with it.
TEST_F(Trust, ASpecialFileThatCannotBeWrittenRefusesTheImage)
{
    desc_.partitions.insert(desc_.partitions.begin(),
                            {fixture_special(2, fixture_layout()), fixture_special(3, "[x]\n")});
    boot_request req = shm_request(rom_build(desc_), {}, "Rom check Failed!");
    req.argv = {"/bin/sh", "-c", "mount -o remount,bind,ro /config && exec /basic/bin/upgrader"};
    boot(req);
    EXPECT_TRUE(logged("/config/config_modify open failed!"));
    EXPECT_TRUE(logged("rom pack check failed! ID:-81"));
    EXPECT_TRUE(logged("/tmp/mtd.conf removed: the rom was refused"));
    EXPECT_EQ(broadcasts(), (steps{{4, 1}, {3, 0}}));
    EXPECT_TRUE(flash_unchanged());
}

// A range that no longer fits its device is found before anything is
// erased.
TEST_F(Trust, ARangeThatNoLongerFitsItsDeviceErasesNothing)
{
    shell("echo 'mtd5 0x90330000,0x90440000' > /proc/avalanche/env; "
          "/basic/bin/upgrader /config/rom.bin",
          "Burn Flash Failed!");
    EXPECT_TRUE(logged("/dev/mtd5 is 1048576 bytes, its range mtd5 1114112 bytes"));
    EXPECT_TRUE(logged("UPD_MSG_FLASH_ERASE_ERR"));
    EXPECT_TRUE(flash_unchanged());
}

// Nothing the program makes in /tmp is written through a link someone
// else put there, and no command is found through a PATH it was given.
TEST_F(Trust, PlantedLinksAndAPlantedPathAreNotFollowed)
{
    std::string plant = "mkdir -p /config/evil; ";
    moving_layout();
    for (const char* f : {"reboot", "avalanche_env_file", "ver_software", "ver_hardware",
                          "mtd.conf", "mtdblock3", "mtdblock4", "mtdblock3.new", "mtdblock4.new"}) {
        plant += std::string("echo keep > /config/victim_") + f + "; ln -s /config/victim_" + f +
                 " /tmp/" + f + "; ";
    }
    for (const char* tool : {"rm", "cat", "cp", "sed", "touch", "reboot", "sh"})
        plant += std::string("printf '#!/bin/sh\\necho ran > /config/evil_") + tool +
                 "\\n' > /config/evil/" + tool + "; chmod 755 /config/evil/" + tool + "; ";
    shell(plant + "cp /config/rom.bin /tmp/rom.bin; "
                  "PATH=/config/evil:$PATH exec /basic/bin/upgrader /tmp/rom.bin");
    EXPECT_TRUE(result_.rebooted);
    EXPECT_EQ(result_.reboot_command, "/tmp/reboot");
    EXPECT_TRUE(flash_holds(desc_));
    EXPECT_TRUE(blocks_moved_whole());
    for (const auto& e : fs::directory_iterator(dir_ + "/files/config")) {
        const std::string name = e.path().filename().string();
        if (name.rfind("victim_", 0) == 0) {
            EXPECT_EQ(phone_file(e.path().string()), "keep\n") << name;
        }
        EXPECT_NE(name.rfind("evil_", 0), 0U) << name << ": a planted command ran";
    }
}

// A saved block that is not whole stops the layout change before anything
// moves; a configuration block that cannot be written back still leaves
// the environment block written.
TEST_F(Trust, SavedBlocksAreWholeOrNothingMoves)
{
    moving_layout();
    file_mode({"fault command 1 /tmp/bin/cat /dev/mtdblock/4"}, "Upgrade Failed!");
    EXPECT_TRUE(logged("/tmp/mtdblock4: copy of -1 bytes (command failed), 524288 wanted"));
    EXPECT_TRUE(logged("mtd_config failed!")) << "-188";
    EXPECT_TRUE(report_["flash"]["relocations"].empty());
    EXPECT_TRUE(flash_unchanged());

    moving_layout();
    file_mode({"fault write /dev/mtd4 1 5"}, "Burn Flash Failed!");
    EXPECT_TRUE(logged("config mtd_write failed!"));
    EXPECT_TRUE(chip(0x90700000U, 0x10000) == before_.substr(0x20000, 0x10000))
        << "the environment block at its new place";
}

// Two runs under their two process locks, started together, five times:
// only one may change the layout and burn, and the blocks are moved whole
// or not at all. (The two share the fixed /tmp files of the check, so the
// other may also fail its check: a safe failure.)
TEST_F(Trust, OneRunAtATimeChangesTheLayout)
{
    for (int round = 0; round < 5; ++round) {
        moving_layout();
        shell("cp /basic/bin/upgrader /tmp/upgrader_tool; cp /config/rom.bin /tmp/rom.bin; "
              "/basic/bin/upgrader /tmp/rom.bin & /tmp/upgrader_tool /tmp/rom.bin; wait");
        EXPECT_LE(records("locked burn_flash_semid").size(), 1U) << round;
        EXPECT_LE(records("mtd_diffrent_deal mtd6").size(), 1U) << round;
        if (report_["flash"]["relocations"].empty()) {
            EXPECT_TRUE(flash_unchanged()) << round;
        } else {
            EXPECT_EQ(report_["flash"]["relocations"].size(), 3U) << round;
            EXPECT_TRUE(blocks_moved_whole()) << round;
        }
    }
}

// The failure rows of the System V calls: a process lock whose set cannot
// be made, and a shared record that cannot be attached.
TEST_F(Trust, SystemVFailuresEndAsTheyShould)
{
    // Each new key takes two calls (look up, then create): the process
    // lock's creation is the fourth of the run.
    file_mode({"fault sysv semget 4 28"});
    EXPECT_TRUE(logged("get upgrader_process failed!"));
    EXPECT_TRUE(logged("lock upgrader_process failed"));
    EXPECT_EQ(result_.exit_status, 0);

    boot(shm_request(rom_build(desc_), {"fault sysv shmat 1 22"}, "Get shm Failed!"));
    EXPECT_TRUE(logged("Get shm Failed!"));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(flash_unchanged());
}

} // namespace
