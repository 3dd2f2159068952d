// The whole program against the phone's hazards: power cut in the middle
// of a burn, a run killed while it holds its locks, two runs started at
// once, other processes holding the shared locks.
#include "phone_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

class Phone : public PhoneFixture {
protected:
    void SetUp() override
    {
        PhoneFixture::SetUp();
        // An image for this phone (model 59, match identifier 3) with three
        // partitions: 43 block writes in all.
        desc_.partitions.clear();
        const struct {
            unsigned int mtd;
            size_t size;
        } parts[] = {{0, 650000}, {5, 500000}, {6, 1540000}};
        for (const auto& p : parts) {
            std::vector<unsigned char> d(p.size);
            for (size_t i = 0; i < p.size; ++i)
                d[i] = static_cast<unsigned char>(p.mtd * 31 + i * 7 + i / 509);
            desc_.partitions.push_back(
                fixture_partition(p.mtd, "2.150.8." + std::to_string(p.mtd + 1), std::move(d)));
        }
        image_ = rom_build(desc_);
    }
    // Shared-memory mode: the simulator plays the loading process.
    boot_result shm(std::vector<std::string> faults = {})
    {
        return boot(shm_request(image_, faults));
    }
    // File mode on /config/rom.bin, leaving the failure screen (if any) with soft key 4.
    boot_result file_mode(const std::string& screen = "")
    {
        return boot(request({"/basic/bin/upgrader", "/config/rom.bin"}, {}, screen));
    }
    void image_file() const { put_rom_file(image_); }
    int flash_writes() const
    {
        int n = 0;
        for (const std::string& l : run_lines("flash.log"))
            if (l.find(" write mtd") != std::string::npos) ++n;
        return n;
    }

    std::vector<unsigned char> image_;
};

// The power fails at the Nth flash write, for every N of a whole burn (in
// four slices, so that each test stays short), once after the write and
// once in its middle (a torn write: only its first bytes programmed): the
// next boot's upgrade from the loading process completes and leaves the
// image in flash.
class PowerCut : public Phone, public ::testing::WithParamInterface<int> {};

TEST_P(PowerCut, TheNextBootsUpgradeCompletes)
{
    const boot_result clean = shm();
    ASSERT_TRUE(clean.rebooted);
    ASSERT_TRUE(flash_holds(desc_));
    const int total = flash_writes();
    ASSERT_GE(total, 40) << "the burn is long enough for 40 cuts";
    const int slice = GetParam();
    for (int n = 1 + slice; n <= total; n += 4) {
        for (const char* torn : {"0", "1000"}) {
            make_phone();
            const boot_result cut = shm({"power_cut_after_writes " + std::to_string(n),
                                         std::string("power_cut_torn_bytes ") + torn});
            EXPECT_FALSE(cut.rebooted) << "cut at write " << n << ", torn " << torn;
            EXPECT_TRUE(report_["flash"]["power_cut"].get<bool>()) << "cut at write " << n;
            EXPECT_EQ(flash_writes(), n);
            const boot_result again = shm();
            EXPECT_TRUE(again.rebooted) << "after a cut at write " << n << "\n" << log_;
            EXPECT_TRUE(flash_holds(desc_)) << "after a cut at write " << n << ", torn " << torn;
            EXPECT_EQ(report_["flash"]["violations"], 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWrite, PowerCut, ::testing::Range(0, 4));

// An upgrade that moves mtd3 and mtd4 (into what was the end of mtd6), on
// a platform that records every move in the boot environment at once; the
// power fails at the Nth write (whole and torn), then the same upgrade runs
// on the next boot. A block is lost when it is not at its new place
// afterwards. It may be lost only by a cut in its own write-back, the one
// span in which it exists only in RAM. The cuts: each of the first ten
// writes (the write-backs and the start of the burn), then every tenth;
// every write with UPG_CAMPAIGN_STRIDE=1 (scripts/power-cut-campaign).
TEST_F(Phone, AMovingUpgradeLosesABlockOnlyInItsOwnWriteBack)
{
    desc_.partitions.insert(desc_.partitions.begin(), fixture_special(2, fixture_moving_layout()));
    image_ = rom_build(desc_);
    phone_options relocating;
    relocating.relocation = true;
    const std::string persist = "relocation_persists 1";

    make_phone(relocating);
    const std::string before = phone_file(dir_ + "/flash/chip.bin");
    const std::string env_block = before.substr(0x20000, 0x10000);
    const std::string config_block = before.substr(0x730000, 0x80000);
    ASSERT_TRUE(shm({persist}).rebooted);
    // Which partition each write of the run goes to.
    std::vector<std::string> written;
    for (const std::string& l : run_lines("flash.log")) {
        const size_t at = l.find(" write mtd");
        if (at != std::string::npos) written.push_back(l.substr(at + 7, 4));
    }
    const char* stride_env = std::getenv("UPG_CAMPAIGN_STRIDE");
    const size_t stride = stride_env != nullptr && std::atoi(stride_env) > 0
                              ? static_cast<size_t>(std::atoi(stride_env))
                              : 10;
    int cuts = 0, env_lost = 0, config_lost = 0;
    for (size_t n = 1; n <= written.size(); n += n < 10 ? 1 : stride) {
        for (const char* torn : {"0", "1000"}) {
            make_phone(relocating);
            shm({persist, "power_cut_after_writes " + std::to_string(n),
                 std::string("power_cut_torn_bytes ") + torn});
            ++cuts;
            EXPECT_TRUE(shm({persist}).rebooted) << "after a cut at write " << n << "\n" << log_;
            const bool env_ok = chip(0x90700000U, 0x10000) == env_block;
            const bool config_ok = chip(0x90710000U, 0x80000) == config_block;
            env_lost += env_ok ? 0 : 1;
            config_lost += config_ok ? 0 : 1;
            const std::string& at = written[n - 1];
            EXPECT_TRUE(env_ok || at == "mtd3")
                << "the environment, cut at write " << n << " (" << at << "), torn " << torn;
            EXPECT_TRUE(config_ok || at == "mtd4")
                << "the configuration, cut at write " << n << " (" << at << "), torn " << torn;
        }
    }
    fprintf(stderr,
            "moving upgrade: %d cuts (stride %zu over %zu writes, whole and torn): "
            "environment lost in %d, configuration lost in %d\n",
            cuts, stride, written.size(), env_lost, config_lost);
}

// A run killed while it holds the process lock (taken without undo): a
// new run in the same boot is refused; after the restart one proceeds.
TEST_F(Phone, AKilledRunsLockRefusesTheNextRunUntilTheRestart)
{
    image_file();
    // killapps.sh, which runs once the locks are held, marks the moment.
    std::ofstream(dir_ + "/files/app/scripts/killapps.sh")
        << "#!/bin/sh\ntouch /tmp/killapps_ran\nsleep 100\n";
    const boot_result r =
        boot(request({"/bin/sh", "-c",
                      "/basic/bin/upgrader /config/rom.bin & pid=$!; "
                      "while [ ! -e /tmp/killapps_ran ]; do sleep 0.1; done; "
                      "kill -9 $pid; "
                      "/basic/bin/upgrader /config/rom.bin; echo $? > /config/second"}));
    EXPECT_FALSE(r.rebooted);
    EXPECT_EQ(records("locked upgrader_process").size(), 1U);
    EXPECT_EQ(records("lock upgrader_process failed").size(), 1U);
    EXPECT_EQ(phone_file(dir_ + "/files/config/second"), "0\n");

    std::ofstream(dir_ + "/files/app/scripts/killapps.sh") << "#!/bin/sh\nexit 0\n";
    const boot_result after = file_mode();
    EXPECT_TRUE(after.rebooted) << log_;
    EXPECT_FALSE(logged("lock upgrader_process failed"));
    EXPECT_TRUE(flash_holds(desc_));
}

// Two runs started at the same moment: exactly one takes the process lock
// and goes on, the other logs its refusal and exits with 0.
TEST_F(Phone, OfTwoRunsStartedTogetherExactlyOneProceeds)
{
    for (int i = 0; i < 100; ++i) {
        boot(request({"/bin/sh", "-c",
                      "(/basic/bin/upgrader /config/none.rom; echo $? > /tmp/a) & "
                      "(/basic/bin/upgrader /config/none.rom; echo $? > /tmp/b) & wait; "
                      "cat /tmp/a /tmp/b > /config/status"}));
        const std::string status = phone_file(dir_ + "/files/config/status");
        // The one that proceeds fails to open the missing file: -196.
        EXPECT_TRUE(status == "0\n60\n" || status == "60\n0\n") << "round " << i << ": " << status;
        EXPECT_EQ(records("locked upgrader_process").size(), 1U) << "round " << i;
        // The refused run logs its refusal; when both made the set at the
        // same moment, the one that lost the creation logs that as well.
        EXPECT_EQ(records("lock upgrader_process failed").size(), 1U) << "round " << i << "\n"
                                                                      << log_;
        EXPECT_LE(records("get upgrader_process failed!").size(), 1U) << "round " << i;
        if (HasFailure()) break;
    }
}

// The loading process still holds memory_semid when the upgrader starts:
// the upgrader waits for it and goes on once it is given back.
TEST_F(Phone, TheDriverWaitsForTheLoadersMemoryLock)
{
    const std::string holder = std::string(PHONESIM_BUILD_DIR) + "/tests/engine/sem_holder";
    boot_request req = shm_request(image_);
    req.argv = {"/bin/sh", "-c",
                holder + " 0xA130 hold 500 & "
                         "while [ ! -e /tmp/sem_holder.0xA130 ]; do sleep 0.1; done; "
                         "exec /basic/bin/upgrader"};
    EXPECT_TRUE(boot(req).rebooted) << log_;
    // Each once, in this order: the upgrader came while the lock was held
    // and took it only once it was given back.
    long long last = 0;
    for (const char* line : {"wait lock memory_semid", "0xA130 has a waiter", "releasing 0xA130",
                             "locked memory_semid"}) {
        const auto found = records(line);
        ASSERT_EQ(found.size(), 1U) << line;
        EXPECT_LE(last, found[0].t_ms) << line;
        last = found[0].t_ms;
    }
    EXPECT_TRUE(flash_holds(desc_));
}

// Another process holds cfg_semid for good: the driver tries it ten times
// a second apart, goes on, and on the failure path that releases the lock
// it leaves the other process's hold alone.
TEST_F(Phone, ABusyConfigurationLockIsTriedThenLeftToItsHolder)
{
    phone_options o;
    o.killapps_exit = 1; // a failure after the lock was tried: release point A
    make_phone(o);
    image_file();
    const std::string holder = std::string(PHONESIM_BUILD_DIR) + "/tests/engine/sem_holder";
    const boot_result r =
        boot(request({"/bin/sh", "-c",
                      holder + " 0xB012 take 30000 & "
                               "while [ ! -e /tmp/sem_holder.0xB012 ]; do "
                               "sleep 0.1; done; /basic/bin/upgrader /config/rom.bin"},
                     {}, "Do ShowUpgradingFailedInfo"));
    EXPECT_TRUE(r.rebooted);
    ASSERT_EQ(records("took 0xB012").size(), 1U);
    EXPECT_TRUE(logged("killapps failed!"));
    EXPECT_FALSE(logged("freed by another process")) << log_;
    // Ten attempts with a second's sleep after each busy one: the phone's
    // clock runs 50 times faster, so at least 9 s / 50 pass between the
    // accepted image and the applications being stopped.
    const auto accepted = records("locked upgrader_process");
    const auto stopped = records("killapps failed!");
    ASSERT_EQ(accepted.size(), 1U);
    ASSERT_FALSE(stopped.empty());
    EXPECT_GE(stopped[0].t_ms - accepted[0].t_ms, 9000 / 50);
}

} // namespace

// Whole runs on images that lie about their size: a file cut short, a
// rom_size past the end of the file, and one past the shared segment. Each
// is refused on its failure screen and the flash is not touched.
TEST_F(Phone, ImagesThatLieAboutTheirSizeLeaveTheFlashAlone)
{
    const std::vector<unsigned char>& whole = image_;
    // Cut short (within the ROM header, the first partition header and
    // half way), and whole but with a rom_size past its end.
    rom_image_desc past = desc_;
    past.rom_size = static_cast<unsigned int>(whole.size());
    std::vector<std::vector<unsigned char>> lies = {rom_build(past)};
    for (size_t len : {size_t{3}, size_t{139}, size_t{140 + 44}, whole.size() / 2})
        lies.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(len));
    for (const auto& image : lies) {
        put_rom_file(image);
        EXPECT_TRUE(file_mode("Do ShowUpgradingFailedInfo").rebooted) << image.size() << " bytes\n"
                                                                      << log_;
        EXPECT_TRUE(logged("rom pack check failed!")) << image.size() << " bytes";
        EXPECT_TRUE(report_["flash"]["partitions"].empty()) << image.size() << " bytes";
    }

    // The shared segment holds 8 MiB less its 8-byte record header.
    past.rom_size = 0x800000;
    EXPECT_TRUE(boot(shm_request(rom_build(past), {}, "Do ShowUpgradingFailedInfo")).rebooted)
        << log_;
    EXPECT_TRUE(logged("rom pack check failed!"));
    EXPECT_FALSE(logged("locked burn_flash_semid"));
    EXPECT_TRUE(report_["flash"]["partitions"].empty());
}
