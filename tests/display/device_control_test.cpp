// LEDs, backlight and extension LEDs on the simulated misc device, whose
// request log shows what reached it.
#include "device_control.h"
#include "phone.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class DeviceControl : public ::testing::Test {
protected:
    void SetUp() override { rl_log_init("upgrader", 7); }
};

// A state array with LED n in state s.
void set_state(std::uint8_t* states, int n, int s)
{
    states[n / 4] = static_cast<std::uint8_t>((states[n / 4] & ~(3U << (2 * (n % 4)))) |
                                              (static_cast<unsigned>(s) << (2 * (n % 4))));
}

TEST_F(DeviceControl, LedsBacklightAndExtensionLed)
{
    std::uint8_t states[5] = {};
    set_state(states, 3, 1);
    set_state(states, 10, 2);
    set_state(states, 5, 2); // LEDs 1 to 8 know only state 1
    set_state(states, 18, 1);
    ASSERT_EQ(devctrl_set_leds(states), 0);
    EXPECT_EQ(devctrl_get_led(), (1 << 3) | (1 << 12) | (1 << 27));

    // LED 0: state 3 becomes 1, state 2 becomes off; the array shows it.
    std::uint8_t zero[5] = {};
    set_state(zero, 0, 3);
    ASSERT_EQ(devctrl_set_leds(zero), 0);
    EXPECT_EQ(zero[0] & 3, 1);
    EXPECT_EQ(devctrl_get_led(), 1);
    set_state(zero, 0, 2);
    ASSERT_EQ(devctrl_set_leds(zero), 0);
    EXPECT_EQ(zero[0] & 3, 0);
    EXPECT_EQ(devctrl_get_led(), 0);
    ASSERT_EQ(devctrl_set_backlight(7), 0);
    EXPECT_EQ(devctrl_get_backlight(), 7);
    ASSERT_EQ(devctrl_set_ext_led(3), 0);
    EXPECT_EQ(phone_run_log("misc.log"),
              (std::vector<std::string>{"led 0x8001008", "get_led", "led 0x1", "get_led", "led 0x0",
                                        "get_led", "backlight 7", "get_backlight", "ext_led 3"}));
}

TEST_F(DeviceControl, FailuresAreLoggedAndAnswered)
{
    phone_add_fault("fault ioctl /dev/misc0 0x40044D08 1 5");
    phone_add_fault("fault ioctl /dev/misc0 0x80044D09 1 5");
    EXPECT_EQ(devctrl_get_led(), 0);
    EXPECT_EQ(phone_logged(3, "IOCTL MISC_IOCG_LED failed."), 1);
    EXPECT_EQ(devctrl_set_backlight(1), -1);
    EXPECT_EQ(phone_logged(3, "IOCTL MISC_IOCS_BKLIGHT failed."), 1);
    phone_add_fault("fault missing /dev/misc0");
    EXPECT_EQ(devctrl_get_led(), 0);
    EXPECT_EQ(devctrl_get_backlight(), 0);
    EXPECT_EQ(devctrl_set_led(1), -1);
    EXPECT_EQ(devctrl_set_ext_led(1), -1);
    EXPECT_EQ(phone_logged(3, "open misc ioctl device failed."), 4);
}

TEST_F(DeviceControl, PlainPanelWriteAndShellRefresh)
{
    const std::string bytes(1000, '\x5a');
    ASSERT_EQ(devctrl_write_lcd(bytes.data(), static_cast<int>(bytes.size())), 0);
    EXPECT_EQ(phone_read_file(phone_state_path("dev/fb0")).substr(0, 1000), bytes);
    EXPECT_EQ(devctrl_refresh_lcd_shell(), 0);
    phone_add_fault("fault missing /dev/fb0");
    EXPECT_EQ(devctrl_write_lcd(bytes.data(), 10), -1);
    EXPECT_EQ(phone_logged(3, "open glcd refresh procfs device failed."), 1);
}

} // namespace
