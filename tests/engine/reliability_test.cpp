// The whole program against the phone's hazards: power cut in the middle
// of a burn, a run killed while it holds its locks, two runs started at
// once, other processes holding the shared locks.
#include "keypad_server.h"
#include "layout.h"
#include "phone_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <vector>

namespace {

// Every line of a file.
std::vector<std::string> lines_of(const std::string& path)
{
    std::vector<std::string> out;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);) out.push_back(l);
    return out;
}

class Phone : public PhoneFixture {
protected:
    void SetUp() override
    {
        PhoneFixture::SetUp();
        // An image for this phone (model 59, match identifier 3) with three
        // partitions: 43 block writes in all.
        desc_ = fixture_image();
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
    void new_phone(const phone_options& o = {}) { make_phone(o); }
    // Shared-memory mode: the simulator plays the loading process.
    boot_result shm(std::vector<std::string> faults = {},
                    std::vector<std::string> argv = {"/basic/bin/upgrader"})
    {
        boot_request req = shm_request(image_);
        req.argv = std::move(argv);
        req.faults = std::move(faults);
        return boot(req);
    }
    boot_result run(std::vector<std::string> argv)
    {
        boot_request req;
        req.argv = std::move(argv);
        return boot(req);
    }
    void image_file() const { put_rom_file(image_); }
    bool flash_holds_image() const { return flash_holds(desc_); }
    int flash_writes() const
    {
        int n = 0;
        for (const std::string& l : lines_of(run_dir_ + "/flash.log"))
            if (l.find(" write mtd") != std::string::npos) ++n;
        return n;
    }

    rom_image_desc desc_;
    std::vector<unsigned char> image_;
};

// The power fails after the Nth flash write, for every N of a whole burn
// (in four slices, so that each test stays short): the next boot's
// upgrade from the loading process completes and leaves the image in
// flash.
class PowerCut : public Phone, public ::testing::WithParamInterface<int> {};

TEST_P(PowerCut, TheNextBootsUpgradeCompletes)
{
    const boot_result clean = shm();
    ASSERT_TRUE(clean.rebooted);
    ASSERT_TRUE(flash_holds_image());
    const int total = flash_writes();
    ASSERT_GE(total, 40) << "the burn is long enough for 40 cuts";
    const int slice = GetParam();
    for (int n = 1 + slice; n <= total; n += 4) {
        new_phone();
        const boot_result cut = shm({"power_cut_after_writes " + std::to_string(n)});
        EXPECT_FALSE(cut.rebooted) << "cut after write " << n;
        EXPECT_TRUE(report_["flash"]["power_cut"].get<bool>()) << "cut after write " << n;
        EXPECT_EQ(flash_writes(), n);
        const boot_result again = shm();
        EXPECT_TRUE(again.rebooted) << "after a cut at write " << n << "\n" << log_;
        EXPECT_TRUE(flash_holds_image()) << "after a cut at write " << n;
        EXPECT_EQ(report_["flash"]["violations"], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWrite, PowerCut, ::testing::Range(0, 4));

// A run killed while it holds the process lock (taken without undo): a
// new run in the same boot is refused; after the restart one proceeds.
TEST_F(Phone, AKilledRunsLockRefusesTheNextRunUntilTheRestart)
{
    image_file();
    // killapps.sh, which runs once the locks are held, marks the moment.
    std::ofstream(dir_ + "/files/app/scripts/killapps.sh")
        << "#!/bin/sh\ntouch /tmp/killapps_ran\nsleep 100\n";
    const boot_result r = run({"/bin/sh", "-c",
                               "/basic/bin/upgrader /config/rom.bin & pid=$!; "
                               "while [ ! -e /tmp/killapps_ran ]; do sleep 0.1; done; "
                               "kill -9 $pid; "
                               "/basic/bin/upgrader /config/rom.bin; echo $? > /config/second"});
    EXPECT_FALSE(r.rebooted);
    EXPECT_EQ(records("locked upgrader_process").size(), 1U);
    EXPECT_EQ(records("lock upgrader_process failed").size(), 1U);
    EXPECT_EQ(phone_file(dir_ + "/files/config/second"), "0\n");

    std::ofstream(dir_ + "/files/app/scripts/killapps.sh") << "#!/bin/sh\nexit 0\n";
    const boot_result after = run({"/basic/bin/upgrader", "/config/rom.bin"});
    EXPECT_TRUE(after.rebooted) << log_;
    EXPECT_FALSE(logged("lock upgrader_process failed"));
    EXPECT_TRUE(flash_holds_image());
}

// Two runs started at the same moment: exactly one takes the process lock
// and goes on, the other logs its refusal and exits with 0.
TEST_F(Phone, OfTwoRunsStartedTogetherExactlyOneProceeds)
{
    for (int i = 0; i < 100; ++i) {
        run({"/bin/sh", "-c",
             "(/basic/bin/upgrader /config/none.rom; echo $? > /tmp/a) & "
             "(/basic/bin/upgrader /config/none.rom; echo $? > /tmp/b) & wait; "
             "cat /tmp/a /tmp/b > /config/status"});
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
    const boot_result r =
        shm({}, {"/bin/sh", "-c",
                 holder + " 0xA130 hold 500 & "
                          "while [ ! -e /tmp/sem_holder.0xA130 ]; do sleep 0.1; done; "
                          "exec /basic/bin/upgrader"});
    EXPECT_TRUE(r.rebooted) << log_;
    const auto waiting = records("wait lock memory_semid");
    const auto has_waiter = records("0xA130 has a waiter");
    const auto released = records("releasing 0xA130");
    const auto locked = records("locked memory_semid");
    ASSERT_EQ(waiting.size(), 1U);
    ASSERT_EQ(has_waiter.size(), 1U);
    ASSERT_EQ(released.size(), 1U);
    ASSERT_EQ(locked.size(), 1U);
    EXPECT_LE(waiting[0].t_ms, released[0].t_ms) << "the upgrader came while the lock was held";
    EXPECT_LE(released[0].t_ms, locked[0].t_ms) << "and took it only once it was given back";
    EXPECT_TRUE(flash_holds_image());
}

// Another process holds cfg_semid for good: the driver tries it ten times
// a second apart, goes on, and on the failure path that releases the lock
// it leaves the other process's hold alone.
TEST_F(Phone, ABusyConfigurationLockIsTriedThenLeftToItsHolder)
{
    phone_options o;
    o.killapps_exit = 1; // a failure after the lock was tried: release point A
    new_phone(o);
    image_file();
    const std::string holder = std::string(PHONESIM_BUILD_DIR) + "/tests/engine/sem_holder";
    boot_request req;
    req.argv = {"/bin/sh", "-c",
                holder + " 0xB012 take 30000 & "
                         "while [ ! -e /tmp/sem_holder.0xB012 ]; do sleep 0.1; done; "
                         "/basic/bin/upgrader /config/rom.bin"};
    req.keys = {parse_key_press("35@log:Do ShowUpgradingFailedInfo")};
    const boot_result r = boot(req);
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
    const std::vector<unsigned char> whole = image_;
    // An empty file cannot be mapped: the run ends before any screen.
    image_.clear();
    image_file();
    EXPECT_FALSE(run({"/basic/bin/upgrader", "/config/rom.bin"}).rebooted);
    EXPECT_TRUE(logged("memory map failed!"));
    EXPECT_TRUE(report_["flash"]["partitions"].empty());
    for (size_t len : {size_t{3}, size_t{139}, size_t{140 + 44}, whole.size() / 2}) {
        image_.assign(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(len));
        image_file();
        boot_request req;
        req.argv = {"/basic/bin/upgrader", "/config/rom.bin"};
        req.keys = {parse_key_press("35@log:Do ShowUpgradingFailedInfo")};
        const boot_result r = boot(req);
        EXPECT_TRUE(r.rebooted) << "cut at " << len << "\n" << log_;
        EXPECT_TRUE(logged("rom pack check failed!")) << "cut at " << len;
        EXPECT_TRUE(report_["flash"]["partitions"].empty()) << "cut at " << len;
    }
    rom_image_desc past = desc_;
    past.rom_size = static_cast<unsigned int>(whole.size());
    image_ = rom_build(past);
    image_file();
    boot_request req;
    req.argv = {"/basic/bin/upgrader", "/config/rom.bin"};
    req.keys = {parse_key_press("35@log:Do ShowUpgradingFailedInfo")};
    boot(req);
    EXPECT_TRUE(logged("rom pack check failed!"));
    EXPECT_TRUE(report_["flash"]["partitions"].empty());

    // The shared segment holds 8 MiB less its 8-byte record header.
    past.rom_size = 0x800000;
    image_ = rom_build(past);
    boot_request in_memory;
    in_memory.argv = {"/basic/bin/upgrader"};
    in_memory.shm.enabled = true;
    in_memory.shm.image.assign(image_.begin(), image_.end());
    in_memory.keys = {parse_key_press("35@log:Do ShowUpgradingFailedInfo")};
    EXPECT_TRUE(boot(in_memory).rebooted) << log_;
    EXPECT_TRUE(logged("rom pack check failed!"));
    EXPECT_FALSE(logged("locked burn_flash_semid"));
    EXPECT_TRUE(report_["flash"]["partitions"].empty());
}
