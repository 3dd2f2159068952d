// The shipped static binary on the emulated MIPS board (a real kernel under
// qemu): each scenario boots the board once and is checked from the host
// afterwards, against the chip file, the board's syslog and screen, and the
// simulated phone's picture of the same screen.
#include "board.h"
#include "frames.h"
#include "layout.h"
#include "phone_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string shipped_upgrader()
{
    const char* p = std::getenv("UPG_BOARD_UPGRADER");
    return p != nullptr && *p != '\0' ? p : PHONESIM_SOURCE_DIR "/build/phone-release/upgrader";
}

class Board : public PhoneFixture {
protected:
    void SetUp() override
    {
        PhoneFixture::SetUp();
        ASSERT_TRUE(fs::exists(shipped_upgrader())) << shipped_upgrader();
        board_dir_ = dir_ + "/board-phone";
        phone_init(board_dir_, {});
        phone_install_program(board_dir_, shipped_upgrader());
        chip_before_ = phone_file(board_dir_ + "/flash/chip.bin");
        desc_.partitions[0].data = fixture_data(200000, 3);
        desc_.partitions.push_back(fixture_partition(6, "2.150.8.3", fixture_data(70000, 9)));
    }

    // Boots the board with this phone's chip, platform files and files,
    // `image` as /board/image.rom, and `scenario`.
    board_result on_board(const std::string& scenario, const std::vector<unsigned char>& image = {})
    {
        board_request req;
        req.chip = board_dir_ + "/flash/chip.bin";
        const env_vars env = env_load(board_dir_ + "/env.txt");
        std::ostringstream layout;
        for (const mtd_range& w : phone_windows(env))
            layout << w.index << " " << (w.start - phone::kChipBase) << " " << (w.end - w.start)
                   << "\n";
        req.layout = layout.str();
        req.platform = {{"env", env_render(env)},
                        {"hwver", phone_file(board_dir_ + "/platform/hwver")},
                        {"software", phone_file(board_dir_ + "/platform/software")}};
        req.root = board_dir_ + "/files";
        if (!image.empty()) req.files["/board/image.rom"] = std::string(image.begin(), image.end());
        req.scenario = scenario;
        board_result r = board_run(board_parts_from_env(), req);
        if (!r.file("setup-failed").empty() || !r.powered_off)
            ADD_FAILURE() << "the board did not run: " << r.file("setup-failed") << "\n"
                          << r.console;
        log_ = r.file("syslog.txt"); // the board's syslog, for logged()
        return r;
    }

    // The chip as it must be after burning `desc`: as before, but each
    // burned partition's window erased and its data written at the start.
    std::string burned_chip(const rom_image_desc& desc) const
    {
        std::string c = chip_before_;
        for (const rom_partition_desc& p : desc.partitions) {
            if (p.partition_type != 0) continue;
            for (const mtd_range& r : phone_default_layout()) {
                if (static_cast<unsigned int>(r.index) != p.partition_id) continue;
                const size_t at = r.start - phone::kChipBase;
                c.replace(at, r.end - r.start, std::string(r.end - r.start, '\xff'));
                c.replace(at, p.data.size(), reinterpret_cast<const char*>(p.data.data()),
                          p.data.size());
            }
        }
        return c;
    }
    std::string chip_now() const { return phone_file(board_dir_ + "/flash/chip.bin"); }

    std::string board_dir_, chip_before_;
};

TEST_F(Board, EverySystemVCallOfTheProgramWorksWithThePhonesCLibrary)
{
    const board_result r = on_board("/board/bin/sysv_check\n");
    EXPECT_EQ(r.file("scenario.status"), "0\n") << r.file("scenario.txt");
    EXPECT_NE(r.file("scenario.txt").find("sysv_check: 0 failures"), std::string::npos)
        << r.file("scenario.txt");
}

TEST_F(Board, UsageWrongPathAndAProcessLockHeldByAnEarlierRun)
{
    const board_result r =
        on_board("/basic/bin/upgrader a b c; echo usage $?\n"
                 "cp /basic/bin/upgrader /tmp/other; /tmp/other /x; echo other $?\n"
                 "/basic/bin/upgrader /config/none.rom; echo first $?\n"
                 "/basic/bin/upgrader /config/none.rom; echo second $?\n");
    EXPECT_EQ(r.file("scenario.txt"), "usage 56\nother 0\nfirst 60\nsecond 0\n");
    EXPECT_TRUE(logged("usage: /basic/bin/upgrader  or  /basic/bin/upgrader rom_file")) << log_;
    EXPECT_TRUE(logged("upgrader path error"));
    EXPECT_TRUE(logged("/config/none.rom File open failed!"));
    EXPECT_TRUE(logged("lock upgrader_process failed"));
    EXPECT_NE(r.file("misc.log").find("watchdog 0"), std::string::npos) << r.file("misc.log");
    EXPECT_TRUE(chip_now() == chip_before_) << "nothing burned";
}

TEST_F(Board, AFileModeUpgradeBurnsExactlyTheImage)
{
    const board_result r = on_board("cp /board/image.rom /config/rom.bin\n"
                                    "/basic/bin/upgrader /config/rom.bin; echo exit $?\n",
                                    rom_build(desc_));
    EXPECT_EQ(r.file("reboot"), "/tmp/reboot \n") << log_;
    EXPECT_TRUE(logged("locked burn_flash_semid")) << log_;
    // The settings the check writes reach the boot environment.
    EXPECT_NE(r.file("env").find("SW_OEM\t0\n"), std::string::npos) << r.file("env");
    EXPECT_NE(r.file("env").find("mtd5\t0x90330000,0x90430000\n"), std::string::npos);
    EXPECT_TRUE(chip_now() == burned_chip(desc_))
        << "the partitions hold the image, the rest is as it was";
}

TEST_F(Board, ASharedMemoryUpgradeWithTheLoader)
{
    const board_result r =
        on_board("/board/bin/shm_load /board/image.rom 0 && /basic/bin/upgrader; echo exit $?\n",
                 rom_build(desc_));
    EXPECT_EQ(r.file("reboot"), "/tmp/reboot \n") << log_;
    EXPECT_TRUE(logged("Memory attached at")) << log_;
    EXPECT_TRUE(chip_now() == burned_chip(desc_));
    EXPECT_NE(r.file("misc.log").find("watchdog 0"), std::string::npos) << r.file("misc.log");
}

TEST_F(Board, ARefusedImageShowsTheSimulatedPhonesFailureScreenAndRebootsOnSoftKey4)
{
    desc_.match_id[0] = 9;
    const std::vector<unsigned char> image = rom_build(desc_);
    const board_result r = on_board("/board/bin/shm_load /board/image.rom 0\n"
                                    "/basic/bin/upgrader &\n"
                                    "i=0; until grep -q 'Rom check Failed!' /out/syslog.txt; do\n"
                                    "  i=$((i + 1)); [ $i -gt 600 ] && exit 1; sleep 0.1; done\n"
                                    "sleep 2\n"
                                    "dd if=/dev/fb0 of=/out/fb.raw bs=960 count=272 2>/dev/null\n"
                                    "echo board-key: h > /dev/console\n"
                                    "wait\n",
                                    image);
    EXPECT_EQ(r.file("reboot"), "/tmp/reboot \n") << log_;
    EXPECT_TRUE(logged("rom pack check failed! ID:-94")) << log_;
    EXPECT_TRUE(chip_now() == chip_before_);

    // The same image on the simulated phone; its last picture is the notice
    // that it reboots, the one before is the failure screen.
    boot(shm_request(image, {}, "Rom check Failed!"));
    ASSERT_TRUE(result_.rebooted);
    std::vector<std::string> pictures;
    for (const auto& e : fs::directory_iterator(run_dir_ + "/frames"))
        pictures.push_back(e.path().string());
    std::sort(pictures.begin(), pictures.end());
    ASSERT_GE(pictures.size(), 2U);
    const std::string last = pictures[pictures.size() - 2];
    screen expected, seen;
    ASSERT_TRUE(read_png(last, &expected)) << last;
    const std::string raw = r.file("fb.raw");
    seen = decode_framebuffer(std::vector<uint8_t>(raw.begin(), raw.end()));
    ASSERT_EQ(seen.grey.size(), expected.grey.size()) << raw.size() << " bytes from the board";
    size_t differ = 0;
    std::string where;
    for (size_t i = 0; i < seen.grey.size(); ++i) {
        if (seen.grey[i] == expected.grey[i]) continue;
        if (++differ <= 8)
            where += " (" + std::to_string(i % 480) + "," + std::to_string(i / 480) + ")";
    }
    EXPECT_EQ(differ, 0U) << "pixels that differ from " << last << ":" << where;
    if (differ != 0) write_png(dir_ + "/board-screen.png", seen);
}

} // namespace
