// The shipped phone binary (static, uClibc-ng), run as it is on simulated
// phones: it cannot take the device layer, so only what needs no device is
// asked of it here; scripts/phone-test sets UPG_TEST_UPGRADER to it. The
// whole upgrade runs with its test copy in driver_test and on the board.
#include "phone_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class Shipped : public PhoneFixture {
protected:
    void SetUp() override
    {
        const char* program = std::getenv("UPG_TEST_UPGRADER");
        ASSERT_TRUE(program != nullptr && *program != '\0')
            << "UPG_TEST_UPGRADER must name the shipped binary";
        PhoneFixture::SetUp();
    }
};

TEST_F(Shipped, StartsLogsAndEndsWithTheRightValuesWithoutDevices)
{
    boot(request({"/basic/bin/upgrader", "a", "b", "c"}));
    EXPECT_EQ(result_.exit_status, 56) << "-200";
    EXPECT_TRUE(logged("usage: /basic/bin/upgrader  or  /basic/bin/upgrader rom_file")) << log_;
    // uClibc-ng ends each record with a NUL, which is not part of the text.
    const std::vector<syslog_record> all = records(""); // every record of the run
    ASSERT_FALSE(all.empty());
    for (const syslog_record& r : all) {
        EXPECT_EQ(r.msg.find('\0'), std::string::npos) << r.msg;
        EXPECT_EQ(r.facility, 1) << r.msg;
    }

    // Direct mode opens its file before anything else.
    boot(request({"/basic/bin/upgrader", "/config/none.rom", "x"}));
    EXPECT_EQ(result_.exit_status, 60) << "-196";
    EXPECT_TRUE(logged("/config/none.rom File open failed!"));

    // The framebuffer is a plain file here and answers no ioctl: the
    // display cannot start, and the program says so and leaves.
    put_rom_file(rom_build(fixture_image()));
    boot(request({"/basic/bin/upgrader", "/config/rom.bin"}));
    EXPECT_EQ(result_.exit_status, 0);
    EXPECT_TRUE(logged("BasicUI init failed!"));
    EXPECT_FALSE(result_.rebooted);
}

} // namespace
