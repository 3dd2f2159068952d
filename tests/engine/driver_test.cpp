// The upgrader program, whole, on simulated phones booted from the host:
// its modes, locks, broadcasts, screens, exit values and reboots.
#include "phone_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class Driver : public PhoneFixture {
protected:
    // Shared-memory mode with the loader's `state`, leaving the failure
    // screen that shows `screen` (if any) with soft key 4.
    void shm(int state = 0, const std::string& screen = "")
    {
        boot_request req = shm_request(rom_build(desc_), {}, screen);
        req.shm.state = state;
        boot(req);
    }
    // The image as /config/rom.bin, for file and direct mode.
    void image_file() { put_rom_file(rom_build(desc_)); }
};

TEST_F(Driver, SharedMemoryModeBurnsTidiesAndReboots)
{
    const std::string text = "[Phone]\nRing = 2\n";
    desc_.partitions.push_back(fixture_special(3, text));
    phone_put_file(dir_ + "/files/config/upgrader_autop", "x");
    shm();
    EXPECT_TRUE(result_.rebooted);
    EXPECT_EQ(result_.reboot_command, "/tmp/reboot");
    EXPECT_TRUE(flash_holds(desc_));
    EXPECT_EQ(phone_file(dir_ + "/files/config/config_modify"), text);
    EXPECT_TRUE(fs::exists(dir_ + "/files/config/autop_retry_save.cfg"));
    EXPECT_FALSE(fs::exists(dir_ + "/files/config/upgrader_autop"));
    EXPECT_EQ(broadcasts(), (steps{{4, 2}}));
    // The locks in their order.
    const size_t a = log_.find("locked upgrader_process"), b = log_.find("locked memory_semid"),
                 c = log_.find("locked burn_flash_semid");
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_EQ(report_["flash"]["violations"], 0);
    EXPECT_GT(report_["frames"]["stored"].get<int>(), 3) << "the progress screens";
}

TEST_F(Driver, FileModeBurnsAndRemovesTheOldConfiguration)
{
    image_file();
    phone_put_file(dir_ + "/files/config/etc/old.cfg", "old");
    boot(request({"/basic/bin/upgrader", "/config/rom.bin"}));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(flash_holds(desc_));
    EXPECT_FALSE(fs::exists(dir_ + "/files/config/etc"));
    EXPECT_FALSE(fs::exists(dir_ + "/files/config/autop_retry_save.cfg"))
        << "the configuration fixes belong to shared-memory mode";
}

TEST_F(Driver, DirectModeBurnsWithoutLocksOrBroadcasts)
{
    // A refused image ends direct mode with -194, without a screen.
    desc_.match_id[0] = 9;
    image_file();
    boot(request({"/basic/bin/upgrader", "/config/rom.bin", "x"}));
    EXPECT_FALSE(result_.rebooted);
    EXPECT_EQ(result_.exit_status, 62) << "-194";
    EXPECT_TRUE(logged("rom pack check failed!"));

    desc_.match_id[0] = 3;
    image_file();
    boot(request({"/basic/bin/upgrader", "/config/rom.bin", "x"}));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("rom upgrader completed!"));
    EXPECT_FALSE(logged("locked upgrader_process"));
    EXPECT_TRUE(broadcasts().empty());
    EXPECT_TRUE(flash_holds(desc_));
}

// A refused image shows its failure and reboots on soft key 4; the same
// version as the phone's reboots without burning.
TEST_F(Driver, TheCheckRefusesAnImageOrPassesOverTheSameVersion)
{
    desc_.match_id[0] = 9;
    shm(0, "Rom check Failed!");
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("rom pack check failed! ID:-94"));
    EXPECT_TRUE(logged("detach the shared memory"));
    EXPECT_EQ(broadcasts(), (steps{{4, 1}, {3, 0}}));
    EXPECT_EQ(report_["flash"]["partitions"].size(), 0U) << "nothing burned";
    desc_.match_id[0] = 3;
    desc_.rom_version = rom_version_from_text("2.150.4.0");
    shm(0, "Pleace check ROM version!");
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("Pleace check ROM version!")) << "the version rule's own text";

    phone_options o;
    o.rom_version = "2.150.8.0";
    make_phone(o);
    desc_.rom_version = fixture_image().rom_version; // 2.150.8.0, as the phone has now
    shm();
    EXPECT_TRUE(result_.rebooted) << "the same version";
    EXPECT_EQ(report_["flash"]["partitions"].size(), 0U) << "the same version";
    EXPECT_TRUE(logged("UPD_MSG_ROM_VERSION_SAME"));
    // Nine steps and 100: the bar's screens, one per value.
    EXPECT_GE(report_["frames"]["stored"].get<int>(), 10);
}

TEST_F(Driver, TheLoaderStateDecidesTheEnding)
{
    // States 2 and -3 keep the applications running: the phone's
    // killapps.sh, which marks that it ran, runs only in the others.
    const std::string killed = dir_ + "/files/config/killed";
    phone_put_file(dir_ + "/files/app/scripts/killapps.sh",
                   "#!/bin/sh\necho stopped > /config/killed\n", 0755);
    for (int state : {2, -3}) {
        shm(state);
        EXPECT_TRUE(result_.rebooted) << state;
        EXPECT_FALSE(fs::exists(killed)) << state;
    }
    shm(0);
    EXPECT_TRUE(fs::exists(killed));

    shm(-1, "Load Rom Failed!");
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("upgrader_state is failed"));
    EXPECT_EQ(broadcasts(), (steps{{3, 0}}));

    // Auto-provisioning: the countdown reboots by itself, with the plain
    // reboot command.
    shm(-2);
    EXPECT_TRUE(result_.rebooted);
    EXPECT_EQ(result_.reboot_command, "reboot");
    EXPECT_TRUE(logged("Do ShowUpgradingAutop2FailedInfoWithID")) << "the countdown's screen";

    // Another state: no screen, the failure code as the exit value.
    desc_.match_id[0] = 9;
    shm(5);
    EXPECT_FALSE(result_.rebooted);
    EXPECT_EQ(result_.exit_status, 63) << "-193";
}

TEST_F(Driver, AFailedRunKeepsItsProcessLockAndTheRebootHasAFallback)
{
    // The first run holds the process lock (without undo) when it fails to
    // open its file; the second is refused.
    boot(request({"/bin/sh", "-c",
                  "/basic/bin/upgrader /config/none.rom; echo $? > /config/first; "
                  "/basic/bin/upgrader /config/none.rom; echo $? > /config/second"}));
    EXPECT_EQ(phone_file(dir_ + "/files/config/first"), "60\n") << "-196";
    EXPECT_EQ(phone_file(dir_ + "/files/config/second"), "0\n");
    EXPECT_TRUE(logged("lock upgrader_process failed"));

    // Without the copy of /sbin/reboot the plain command reboots.
    image_file();
    boot(request({"/basic/bin/upgrader", "/config/rom.bin"}, {"fault command 1 cp /sbin/reboot"}));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_EQ(result_.reboot_command, "reboot");
}

TEST_F(Driver, OnlyAProgramThisRunExtractedIsHandedOver)
{
    // A /tmp/upgrader_tool that was there before is never run: the run
    // passes over the image's copy and burns by itself.
    desc_.partitions.insert(desc_.partitions.begin(),
                            fixture_special(1, phone_file(fixture_upgrader())));
    boot_request req = shm_request(rom_build(desc_));
    req.argv = {"/bin/sh", "-c",
                "printf '#!/bin/sh\\necho ran > /config/tool_ran\\n' > /tmp/upgrader_tool; "
                "chmod 755 /tmp/upgrader_tool; exec /basic/bin/upgrader"};
    boot(req);
    EXPECT_TRUE(result_.rebooted) << log_;
    EXPECT_FALSE(logged("upgrader_tool_check"));
    EXPECT_FALSE(fs::exists(dir_ + "/files/config/tool_ran"));
    EXPECT_TRUE(flash_holds(desc_));

    // An image whose upgrader is no program for this phone is refused.
    make_phone();
    desc_.partitions.erase(desc_.partitions.begin());
    desc_.partitions.insert(desc_.partitions.begin(),
                            fixture_special(1, "#!/bin/sh\necho ran > /config/tool_ran\n"));
    shm(0, "Rom check Failed!");
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("rom pack check failed! ID:-89"));
    EXPECT_EQ(broadcasts(), (steps{{4, 1}, {3, 0}}));
    EXPECT_FALSE(fs::exists(dir_ + "/files/config/tool_ran"));
    EXPECT_EQ(report_["flash"]["partitions"].size(), 0U);
}

TEST_F(Driver, TheExtractedCopyOfTheProgramFinishesTheUpgrade)
{
    // The image carries this very program: the copy is started from /tmp in
    // the background, waits for the memory lock the first run gives back,
    // passes over its own partition and burns the rest.
    const std::string program = phone_file(fixture_upgrader());
    ASSERT_FALSE(program.empty());
    desc_.partitions.insert(desc_.partitions.begin(), fixture_special(1, program));
    shm();
    EXPECT_TRUE(logged("locked upgrader_tool_process")) << "the copy ran";
    EXPECT_TRUE(result_.rebooted) << log_;
    EXPECT_TRUE(flash_holds(desc_));
    EXPECT_EQ(report_["flash"]["violations"], 0);

    // In file mode the first check stops at the upgrader; the second
    // applies every rule.
    make_phone();
    desc_.match_id[0] = 9;
    image_file();
    boot(request({"/basic/bin/upgrader", "/config/rom.bin"}, {}, "Rom check Failed!"));
    EXPECT_TRUE(logged("rom pack check failed! ID:-94")) << "file mode";
    EXPECT_EQ(report_["flash"]["partitions"].size(), 0U) << "file mode";
    desc_.match_id[0] = 3;
    image_file();
    boot(request({"/basic/bin/upgrader", "/config/rom.bin"}));
    EXPECT_TRUE(result_.rebooted) << "file mode";
    EXPECT_TRUE(flash_holds(desc_)) << "file mode: the partition after the upgrader";
}

class DriverLayout : public Driver {
protected:
    void with_layout(const std::string& text)
    {
        desc_.partitions.insert(desc_.partitions.begin(), fixture_special(2, text));
    }
    void relocation_phone()
    {
        phone_options o;
        o.relocation = true;
        make_phone(o);
    }
    std::vector<std::string> relocations() const
    {
        std::vector<std::string> out;
        for (const auto& r : report_["flash"]["relocations"])
            out.push_back(r["partition"].get<std::string>() + " " + r["offset"].get<std::string>());
        return out;
    }
};

TEST_F(DriverLayout, MovedEnvironmentAndConfigurationBlocksKeepTheirContents)
{
    relocation_phone();
    const std::string before = phone_file(dir_ + "/flash/chip.bin");
    // mtd3 and mtd4 move into what was the end of mtd6.
    with_layout(fixture_moving_layout());
    shm();
    EXPECT_TRUE(result_.rebooted);
    EXPECT_EQ(relocations(),
              (std::vector<std::string>{"mtd6 0x430000", "mtd4 0x710000", "mtd3 0x700000"}));
    // What the blocks held is now at their new places.
    EXPECT_TRUE(chip(0x90700000U, 0x10000) == before.substr(0x20000, 0x10000))
        << "the environment block";
    EXPECT_TRUE(chip(0x90710000U, 0x80000) == before.substr(0x730000, 0x80000))
        << "the configuration block";
    // Both blocks are copied before anything moves; each block's partition
    // moves only after /config is unmounted, right after a fresh copy and
    // right before its write-back.
    const std::vector<std::string> order = {
        "shellcmd:/tmp/bin/cat /dev/mtdblock/3 > /tmp/mtdblock3\n",
        "mtd_diffrent_deal mtd6",
        "shellcmd:/tmp/bin/umount /etc/; /tmp/bin/umount /config/",
        "shellcmd:/tmp/bin/cat /dev/mtdblock/4 > /tmp/mtdblock4.new",
        "mtd_diffrent_deal mtd4",
        "shellcmd:/tmp/bin/cat /dev/mtdblock/3 > /tmp/mtdblock3.new",
        "mtd_diffrent_deal mtd3"};
    size_t at = 0;
    for (const std::string& line : order) {
        const size_t found = log_.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found;
    }
    // Nothing is written to flash between a block's move and its
    // write-back: the first write after "relocate mtd4" is mtd4's.
    std::vector<std::string> events;
    for (const std::string& l : run_lines("flash.log")) {
        std::istringstream in(l); // "<ms> <pid> <what> <mtd> ..."
        std::string ms, pid, what, mtd;
        in >> ms >> pid >> what >> mtd;
        if (what == "relocate" || what == "write") events.push_back(what + " " + mtd);
    }
    const auto moved4 = std::find(events.begin(), events.end(), "relocate mtd4");
    ASSERT_NE(moved4, events.end());
    EXPECT_EQ(*(moved4 + 1), "write mtd4");
    EXPECT_EQ(*(moved4 + 8), "write mtd4");
    EXPECT_EQ(*(moved4 + 9), "relocate mtd3");
    EXPECT_EQ(*(moved4 + 10), "write mtd3");

    EXPECT_TRUE(flash_holds(desc_)) << "burned after the moves";
}

// The environment and the configuration exist only as copies in RAM
// between the move of their partition and its write-back: a power cut
// there loses them. The window is the write-back itself.
TEST_F(DriverLayout, TheWindowOfTheSavedBlocksIsTheirWriteBack)
{
    relocation_phone();
    const std::string before = phone_file(dir_ + "/flash/chip.bin");
    with_layout(fixture_moving_layout());
    // A cut in the first write-back: the configuration's copy is gone with
    // the RAM; the environment has not moved and is intact where it was.
    boot(shm_request(rom_build(desc_), {"power_cut_after_writes 1"}));
    EXPECT_FALSE(result_.rebooted);
    EXPECT_EQ(relocations(), (std::vector<std::string>{"mtd6 0x430000", "mtd4 0x710000"}));
    EXPECT_TRUE(chip(0x90020000U, 0x10000) == before.substr(0x20000, 0x10000))
        << "the environment block where it was";
    EXPECT_TRUE(chip(0x90710000U, 0x10000) == before.substr(0x730000, 0x10000));
    EXPECT_FALSE(chip(0x90720000U, 0x70000) == before.substr(0x740000, 0x70000))
        << "the rest of the configuration block is not at its new place";
}

TEST_F(DriverLayout, WithoutRelocationOnlyPartitionOneIsBurned)
{
    rom_image_desc kernel_only = fixture_image();
    kernel_only.partitions = {fixture_partition(1, "2.150.8.5", fixture_data(5000, 1))};
    desc_.partitions.push_back(kernel_only.partitions[0]);
    with_layout(fixture_layout({{6, "90440000,90730000"}}));
    shm();
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(flash_holds(kernel_only));
    EXPECT_FALSE(flash_holds(desc_)) << "mtd5 is left alone";
}

TEST_F(DriverLayout, LayoutAndWriteBackFailuresEndOnTheirScreens)
{
    // A layout of nine keys is refused before anything moves: -188.
    relocation_phone();
    with_layout(fixture_layout({}, 9));
    shm(0, "Upgrade Failed!");
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("mtd_config failed!"));
    EXPECT_EQ(report_["flash"]["partitions"].size(), 0U);
    desc_.partitions.erase(desc_.partitions.begin());

    // The configuration cannot be unmounted: -187.
    relocation_phone();
    with_layout(fixture_moving_layout());
    boot(shm_request(rom_build(desc_), {"fault command 1 /tmp/bin/umount /etc/"},
                     "Upgrade Failed!"));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("config unmount failed!"));
    EXPECT_FALSE(report_["flash"]["partitions"].contains("mtd5")) << "nothing burned";

    // The saved configuration block cannot be written back: -191.
    relocation_phone();
    boot(shm_request(rom_build(desc_), {"fault write /dev/mtd4 1 5"}, "Burn Flash Failed!"));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("config mtd_write failed!"));
    EXPECT_FALSE(report_["flash"]["partitions"].contains("mtd5")) << "the failure stops the run";

    // The environment block alone moves, and cannot be written back.
    relocation_phone();
    desc_.partitions.erase(desc_.partitions.begin());
    with_layout(fixture_layout({{3, "90700000,90710000"}, {6, "90430000,90700000"}}));
    boot(shm_request(rom_build(desc_), {"fault write /dev/mtd3 1 5"}, "Burn Flash Failed!"));
    EXPECT_TRUE(result_.rebooted);
    EXPECT_TRUE(logged("env mtd_write failed!"));
}

// Each way a run ends early: how it is started, what goes wrong, and how
// it ends (the exit value, or the failure screen left with soft key 4),
// with the line it logs and, for a screen, the steps it broadcast.
TEST_F(Driver, EveryEarlyEndingShowsOrReturnsWhatItShould)
{
    const struct {
        const char* name;
        bool shm;                        // shared-memory mode with the image, else `argv`
        std::vector<std::string> argv;   //
        std::vector<std::string> faults; //
        int killapps_exit;               // of the phone's killapps.sh
        const char* screen;              // failure text left with soft key 4; null: none
        int exit_status;                 // without a screen
        const char* line;                // a line the run logs
        steps broadcast;                 // with a screen: the steps and the failure
    } rows[] = {
        // clang-format off
        {"killapps fails", true, {}, {}, 1,
         "Killapps Failed!", 0, "killapps failed!", steps{{4, 2}, {4, 3}, {3, 0}}},
        {"burn fails at the second erase", true, {}, {"fault ioctl /dev/mtd5 0x40084D02 2 5"}, 0,
         "Burn Flash Failed!", 0, "burn flash failed!", steps{{4, 2}, {4, 4}, {3, 0}}},
        {"the watchdog stays on", false, {"/basic/bin/upgrader"},
         {"fault ioctl /dev/misc0 0x80044D05 1 5", "fault ioctl /dev/misc0 0x80044D05 2 5",
          "fault ioctl /dev/misc0 0x80044D05 3 5"}, 0,
         "Upgrade Failed!", 0, "/dev/misc0 ctrl failed!", steps{{3, 0}}},
        {"no shared record", false, {"/basic/bin/upgrader"}, {}, 0,
         "Get shm Failed!", 0, "Get shm Failed!", steps{{3, 0}}},
        {"usage", false, {"/basic/bin/upgrader", "a", "b", "c"}, {}, 0,
         nullptr, 56, "usage: /basic/bin/upgrader  or  /basic/bin/upgrader rom_file", {}},
        {"another path", false,
         {"/bin/sh", "-c", "cp /basic/bin/upgrader /tmp/other && /tmp/other /config/rom.bin"}, {}, 0,
         nullptr, 0, "upgrader path error", {}},
        {"/bin cannot be copied", false, {"/basic/bin/upgrader", "/config/rom.bin"},
         {"fault command 1 cp /bin/ /tmp/ -rf"}, 0,
         nullptr, 67, "copy_bins failed!", {}},
        {"no framebuffer", false, {"/basic/bin/upgrader", "/config/rom.bin"},
         {"fault missing /dev/fb0"}, 0,
         nullptr, 0, "BasicUI init failed!", {}},
        {"an empty ROM file", false, {"/basic/bin/upgrader", "/config/empty.rom"}, {}, 0,
         nullptr, 61, "memory map failed!", {}},
        // clang-format on
    };
    for (const auto& r : rows) {
        phone_options o;
        o.killapps_exit = r.killapps_exit;
        make_phone(o);
        image_file();
        phone_put_file(dir_ + "/files/config/empty.rom", "");
        const std::string screen = r.screen != nullptr ? r.screen : "";
        boot(r.shm ? shm_request(rom_build(desc_), r.faults, screen)
                   : request(r.argv, r.faults, screen));
        EXPECT_TRUE(logged(r.line)) << r.name;
        if (r.screen != nullptr) {
            EXPECT_TRUE(result_.rebooted) << r.name;
            EXPECT_TRUE(logged(r.screen)) << r.name;
            EXPECT_EQ(broadcasts(), r.broadcast) << r.name;
        } else {
            EXPECT_FALSE(result_.rebooted) << r.name;
            EXPECT_EQ(result_.exit_status, r.exit_status) << r.name;
        }
        // The watchdog is switched only by the run that holds the process lock.
        if (const size_t watchdog = log_.find("/dev/misc0 ctrl failed!");
            watchdog != std::string::npos) {
            EXPECT_LT(log_.find("locked upgrader_process"), watchdog) << r.name;
        }
    }
}

TEST_F(Driver, ABusyBurnLockEndsTheRunAtOnce)
{
    // The first run fails its burn and waits on its screen, holding the
    // burn lock; the copy /tmp/upgrader_tool has a process lock of its own
    // and stops at the burn lock.
    image_file();
    boot_request req = request({"/bin/sh", "-c",
                                "/basic/bin/upgrader /config/rom.bin & sleep 2; "
                                "cp /basic/bin/upgrader /tmp/upgrader_tool; "
                                "/tmp/upgrader_tool /config/rom.bin; echo $? > /config/second"},
                               {"fault ioctl /dev/mtd5 0x40084D02 1 5"});
    req.time_limit_ms = 20000;
    boot(req);
    EXPECT_TRUE(logged("burn flash failed!"));
    EXPECT_TRUE(logged("lock burn_flash_semid failed"));
    EXPECT_EQ(phone_file(dir_ + "/files/config/second"), "0\n");
}

TEST(MainJob, AWholeUpgradeLeavesExactlyTheImageInFlash)
{
    char tmpl[] = "/tmp/phonesim-demo.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string cmd = std::string(PHONESIM_BUILD_DIR) + "/sim/phonesim demo " + tmpl +
                            " --upgrader " + fixture_upgrader() + " > " + tmpl + ".out 2>&1";
    const int status = std::system(cmd.c_str());
    const std::string out = phone_file(std::string(tmpl) + ".out");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("the partitions hold exactly the image's data"), std::string::npos) << out;
    EXPECT_NE(out.find("[x] rebooted with \"/tmp/reboot\""), std::string::npos) << out;
    EXPECT_EQ(out.find("[ ]"), std::string::npos) << "every stage reached\n" << out;
    fs::remove_all(tmpl);
    fs::remove(std::string(tmpl) + ".out");
}

} // namespace
