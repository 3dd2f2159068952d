// How a run leaves the phone when it ends, on simulated phones: the locks
// as the next process finds them, the watchdog, and the configuration that
// the phone boots with.
#include "phone_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class Endings : public PhoneFixture {
protected:
    // `script` in the phone's shell, then the values of `keys` ("KEY=VALUE"
    // lines) as the next process finds them.
    std::string locks_after(const std::string& script, const std::vector<std::string>& keys,
                            boot_request req = {})
    {
        std::string cmd = script;
        for (const std::string& k : keys)
            cmd += "; " + holder_ + " " + k + " value 0 >> /config/locks";
        req.argv = {"/bin/sh", "-c", cmd};
        boot(req);
        return phone_file(dir_ + "/files/config/locks");
    }
    // The misc device's watchdog requests of the last run, in order.
    std::vector<std::string> watchdog() const
    {
        std::vector<std::string> out;
        for (const std::string& l : run_lines("misc.log"))
            if (l.find("watchdog") != std::string::npos)
                out.push_back(l.substr(l.find("watchdog")));
        return out;
    }

    const std::string holder_ = std::string(PHONESIM_BUILD_DIR) + "/tests/engine/sem_holder";
};

// How a run that ends without a reboot leaves the phone. Every release
// mirrors how its lock was taken: after the process ends a released lock
// is free (1), one the run keeps is held (0), never 2. The watchdog is on
// again; a run refused before it holds its lock never touches it.
TEST_F(Endings, TheLocksAndTheWatchdogAreAsTheRunLeftThemAfterItsExit)
{
    const std::vector<std::string> back_on = {"watchdog 0", "watchdog 1"};
    // A file-mode run whose reboot does not take effect goes on to its end:
    // it gives the configuration lock back and keeps the process and burn
    // locks.
    put_rom_file(rom_build(desc_));
    EXPECT_EQ(locks_after("/basic/bin/upgrader /config/rom.bin", {"0xB012", "0xC002", "0xC004"},
                          request({}, {"fault command 0 /tmp/reboot"})),
              "0xB012=1\n0xC002=0\n0xC004=0\n");
    EXPECT_TRUE(logged("upgrader-1 completed!"));
    EXPECT_EQ(watchdog(), back_on) << "a reboot that did not happen";

    // The missing file's run switches it; the wrong path and the busy lock
    // leave it.
    boot(request({"/bin/sh", "-c",
                  "/basic/bin/upgrader /config/none.rom; "
                  "cp /basic/bin/upgrader /tmp/other; /tmp/other /config/none.rom; "
                  "/basic/bin/upgrader /config/none.rom"}));
    EXPECT_EQ(watchdog(), back_on) << "three runs, one with the lock";
    EXPECT_TRUE(logged("upgrader path error"));
    EXPECT_TRUE(logged("lock upgrader_process failed"));

    // Shared-memory mode, refused, in a state that shows nothing: the memory
    // lock (taken waiting, with undo) is given back; the process lock kept.
    make_phone();
    desc_.match_id[0] = 9;
    boot_request shm = shm_request(rom_build(desc_));
    shm.shm.state = 5;
    EXPECT_EQ(locks_after("/basic/bin/upgrader", {"0xA130", "0xC002", "0xB012"}, shm),
              "0xA130=1\n0xC002=0\n0xB012=1\n");
    EXPECT_EQ(watchdog(), back_on) << "a state that shows nothing";

    // No key device for the failure screen: the process ends.
    boot(shm_request(rom_build(desc_), {"fault missing /dev/input/event0"}));
    EXPECT_EQ(result_.exit_status, 255);
    EXPECT_EQ(watchdog(), back_on) << "no key device";
}

// When the layout moves the configuration block, the fixes are made while
// /config is still mounted, before its block is copied: they are in the
// configuration the phone boots with.
TEST_F(Endings, ConfigurationFixesSurviveTheMoveOfTheConfigurationBlock)
{
    phone_options o;
    o.relocation = true;
    make_phone(o);
    phone_put_file(dir_ + "/files/config/upgrader_autop", "1\n");
    // mtd4 moves into what was the end of mtd6.
    desc_.partitions.insert(
        desc_.partitions.begin(),
        fixture_special(2, fixture_layout({{4, "90710000,90790000"}, {6, "90430000,90710000"}})));
    boot(shm_request(rom_build(desc_)));
    ASSERT_TRUE(result_.rebooted);
    EXPECT_NE(phone_file(dir_ + "/files/config/autop_retry_save.cfg")
                  .find("Config.Autoprovision.Reboot.Enable = 1"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ + "/files/config/upgrader_autop"));
    EXPECT_LT(log_.find("config ok"), log_.find("shellcmd:/tmp/bin/umount /etc/"));
}

} // namespace
