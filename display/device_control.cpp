// display/device_control.cpp - misc device requests and the plain panel
// write.
#include "device_control.h"

#include "rl_log.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char* kMiscDevice = "/dev/misc0";

// A request that takes the value itself. 0 or -1.
int misc_set(unsigned long request, int value, const char* failed)
{
    const int fd = open(kMiscDevice, O_RDWR);
    if (fd < 0) {
        rl_log_err("open misc ioctl device failed.");
        return -1;
    }
    const int r = ioctl(fd, request, static_cast<unsigned long>(static_cast<unsigned int>(value)));
    if (r < 0) {
        rl_log_err("%s", failed);
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

// A request that fills an int. The value, or 0 on any failure.
int misc_get(unsigned long request, const char* failed)
{
    const int fd = open(kMiscDevice, O_RDWR);
    if (fd < 0) {
        rl_log_err("open misc ioctl device failed.");
        return 0;
    }
    std::int32_t value = 0;
    if (ioctl(fd, request, &value) < 0) {
        rl_log_err("%s", failed);
        close(fd);
        return 0;
    }
    close(fd);
    return value;
}

int led_state(const std::uint8_t* states, int n)
{
    return (states[n / 4] >> (2 * (n % 4))) & 3;
}

} // namespace

int devctrl_get_led()
{
    return misc_get(MISC_IOCG_LED, "IOCTL MISC_IOCG_LED failed.");
}

int devctrl_set_led(int mask)
{
    return misc_set(MISC_IOCS_LED, mask, "IOCTL MISC_IOCS_LED failed.");
}

int devctrl_set_leds(std::uint8_t* states)
{
    if (states == nullptr) return -1;
    // LED 0 is either off or on.
    states[0] = static_cast<std::uint8_t>(states[0] & ~0x2U);
    unsigned int mask = 0;
    for (int n = 0; n < DEVCTRL_LED_COUNT; ++n) {
        const int s = led_state(states, n);
        if (n == 0) {
            if (s == 1) mask |= 1U << 0;
            if (s == 2) mask |= 1U << 8;
        } else if (n <= 8) {
            if (s == 1) mask |= 1U << n;
        } else {
            if (s == 1) mask |= 1U << (2 * n - 9);
            if (s == 2) mask |= 1U << (2 * n - 8);
        }
    }
    return devctrl_set_led(static_cast<int>(mask));
}

int devctrl_get_backlight()
{
    return misc_get(MISC_IOCG_BKLIGHT, "IOCTL MISC_IOCG_BKLIGHT failed.");
}

int devctrl_set_backlight(int value)
{
    return misc_set(MISC_IOCS_BKLIGHT, value, "IOCTL MISC_IOCS_BKLIGHT failed.");
}

int devctrl_set_ext_led(int value)
{
    return misc_set(MISC_IOCS_EXT_LED, value, "IOCTL MISC_IOCS_EXT_LED failed.");
}

int devctrl_write_lcd(const void* buf, int len)
{
    if (buf == nullptr || len < 0) return -1;
    const int fd = open("/dev/fb0", O_RDWR);
    if (fd < 0) {
        rl_log_err("open glcd refresh procfs device failed.");
        return -1;
    }
    const ssize_t n = write(fd, buf, static_cast<std::size_t>(len));
    close(fd);
    if (n != len) {
        rl_log_err("WRITE GLCD_REFRESH_DEV failed.");
        return -1;
    }
    return 0;
}

int devctrl_refresh_lcd_shell()
{
    return system("echo \"1\" >/proc/glcd/refresh");
}
