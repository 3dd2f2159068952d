// The keypad on the simulated phone: events sent to /dev/input/event0 as
// the keypad driver sends them.
#include "keypad.h"
#include "phone.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Keypad : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        // The first call starts the thread, which opens the device.
        EXPECT_EQ(key_get_keypressed(), 0);
    }
    // Sends events and gives the keypad thread time to read them.
    static void events(std::initializer_list<std::pair<int, int>> list)
    {
        for (const auto& [code, value] : list) phone_key_event(code, value);
        std::this_thread::sleep_for(200ms);
    }
};

TEST_F(Keypad, OnlyTheLastPressIsKept)
{
    events({{KEY_SOFT_4, 1}, {KEY_SOFT_4, 0}});
    EXPECT_EQ(key_get_keypressed(), KEY_SOFT_4);
    EXPECT_EQ(key_get_keypressed(), 0) << "taken";
    // Two presses before a poll: the second replaces the first.
    events({{3, 1}, {3, 0}, {KEY_OK, 1}, {KEY_OK, 0}});
    EXPECT_EQ(key_get_keypressed(), KEY_OK);
    EXPECT_EQ(key_get_keypressed(), 0);
    // Releases and repeats are not presses: a held key counts once.
    events({{7, 1}, {7, 2}, {7, 2}, {9, 2}, {5, 0}});
    EXPECT_EQ(key_get_keypressed(), 7);
    EXPECT_EQ(key_get_keypressed(), 0);
    // Key code 0 cannot be told from no key.
    events({{0, 1}});
    EXPECT_EQ(key_get_keypressed(), 0);
}

TEST_F(Keypad, BadArgumentsAreRefused)
{
    const int fd = kpad_open();
    ASSERT_GE(fd, 0);
    KeyEvent ev = {};
    EXPECT_EQ(kpad_read(fd, nullptr), -1);
    EXPECT_EQ(kpad_read(-1, &ev), -1);
    EXPECT_EQ(kpad_close(0), -1);
    EXPECT_EQ(kpad_close(fd), 0);
}

TEST(KeypadMissing, TheThreadEndsAndNoKeyComes)
{
    rl_log_init("upgrader", 7);
    phone_add_fault("fault missing /dev/input/event0");
    EXPECT_LT(kpad_open(), 0);
    EXPECT_EQ(key_get_keypressed(), 0);
    int found = 0;
    for (const auto& r : phone_syslog())
        if (r.level == 2 && r.msg.find("can't open /dev/input/event0.\n") != std::string::npos)
            ++found;
    EXPECT_EQ(found, 2) << "once by the test, once by the thread";
}

} // namespace
