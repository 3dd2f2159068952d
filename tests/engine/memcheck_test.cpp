// A whole file-mode upgrade of the program under valgrind's memcheck, on
// a simulated phone: no error is reported from the start to the reboot.
#include "phone_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using Memcheck = PhoneFixture;

TEST_F(Memcheck, AFileModeUpgradeReportsNoError)
{
    rom_image_desc desc = fixture_image();
    for (unsigned int mtd : {5U, 6U})
        desc.partitions.push_back(fixture_partition(mtd, "2.150.8." + std::to_string(mtd),
                                                    fixture_data(200000 + mtd * 1000, mtd)));
    put_rom_file(rom_build(desc));

    // The reboot powers the phone off under the program: memcheck writes
    // each error as it finds it, so the log is complete up to that moment.
    boot_request req =
        request({VALGRIND, "--tool=memcheck", "--log-file=/config/memcheck.log", "--error-limit=no",
                 "--track-origins=yes", "/basic/bin/upgrader", "/config/rom.bin"});
    req.time_limit_ms = 240000;
    EXPECT_TRUE(boot(req).rebooted) << log_;
    EXPECT_EQ(report_["flash"]["partitions"].size(), 2U) << "the whole upgrade ran";
    EXPECT_TRUE(flash_holds(desc));

    const std::string log = phone_file(dir_ + "/files/config/memcheck.log");
    EXPECT_NE(log.find("Memcheck, a memory error detector"), std::string::npos) << log;
    EXPECT_NE(log.find("/basic/bin/upgrader /config/rom.bin"), std::string::npos) << log;
    // An error is reported with its stack: "at 0x..." and "by 0x..." lines.
    EXPECT_EQ(log.find(" at 0x"), std::string::npos) << log;
    EXPECT_EQ(log.find(" by 0x"), std::string::npos) << log;
}

} // namespace
