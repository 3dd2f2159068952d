// A small screen drawn with controls (a reverse-video title, labels, a
// framed input line with its cursor, a password line), refreshed on the
// phone, and the picture the phone captured compared pixel for pixel with
// a golden image of each panel kind.
#include "control.h"
#include "display_util.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// The picture the phone took at its last refresh, and the panel's depth.
bool last_frame(screen* s, int* panel_bits)
{
    const std::string log = phone_read_file(run_dir() + "/frames.jsonl");
    const std::size_t end = log.find_last_of('\n', log.size() >= 2 ? log.size() - 2 : 0);
    const std::string line = end == std::string::npos ? log : log.substr(end + 1);
    int frame = 0;
    const std::size_t f = line.find("\"frame\":");
    const std::size_t b = line.find("\"panel_bits\":");
    if (f == std::string::npos || b == std::string::npos) return false;
    frame = std::atoi(line.c_str() + f + 8);
    *panel_bits = std::atoi(line.c_str() + b + 13);
    char name[32];
    std::snprintf(name, sizeof name, "/frames/%04d.png", frame);
    return read_png(run_dir() + name, s);
}

void draw_settings_screen()
{
    Control title, user, password, hint;
    ctrl_init(&title, CTRL_TYPE_LABEL, 0, 0, 480, 30, 0, 0, "Account Settings", nullptr);
    ctrl_set_align(&title, 1);
    ctrl_set_reverse(&title, 1);
    ctrl_init(&user, CTRL_TYPE_TEXT, 20, 60, 440, 30, 300, 0, "User:", "admin");
    user.focused = 1;
    ctrl_init(&password, CTRL_TYPE_PASSWORD, 20, 100, 440, 30, 300, 0, "Password:", "abc");
    password.cursor_on = 0;
    password.ticks = 2;
    ctrl_init(&hint, CTRL_TYPE_LABEL, 20, 230, 440, 30, 0, 0, "Press OK to save", nullptr);
    ctrl_set_align(&hint, 2);
    for (Control* c : {&title, &user, &password, &hint}) ctrl_show(c, 0);
    lcd_refresh();
}

void compare_with_golden(const char* hwver, int bits, const char* golden)
{
    rl_log_init("upgrader", 7);
    set_hwver(hwver);
    ASSERT_EQ(lcd_init(), 0);
    clear_bitmap();
    draw_settings_screen();

    screen got;
    int panel_bits = 0;
    ASSERT_TRUE(last_frame(&got, &panel_bits));
    EXPECT_EQ(panel_bits, bits);
    screen want;
    ASSERT_TRUE(read_png(std::string(GOLDEN_DIR) + "/" + golden, &want)) << golden;
    ASSERT_EQ(got.width, want.width);
    ASSERT_EQ(got.height, want.height);
    int differing = 0;
    for (std::size_t i = 0; i < got.grey.size(); ++i) differing += got.grey[i] != want.grey[i];
    EXPECT_EQ(differing, 0) << "pixels differ from " << golden;

    // The picture is the off-screen bitmap: black where a bit is set.
    int mismatched = 0;
    for (int y = 0; y < LCD_HEIGHT; ++y)
        for (int x = 0; x < LCD_WIDTH; ++x)
            mismatched +=
                (got.grey[static_cast<std::size_t>(y * LCD_WIDTH + x)] == 0) != (pixel(x, y) == 1);
    EXPECT_EQ(mismatched, 0);
    // The title is reverse video: mostly black; the screen below it mostly white.
    EXPECT_GT(ink_in(0, 0, 479, 29), 480 * 30 / 2);
    EXPECT_LT(ink_in(0, 30, 479, 271), 480 * 242 / 4);
}

TEST(Screen, CapturedFrameOnTheGtypePanel)
{
    compare_with_golden(kGtypeHwver, 16, "controls_16bit.png");
}

TEST(Screen, CapturedFrameOnTheFourBitPanel)
{
    compare_with_golden(k4bitHwver, 4, "controls_4bit.png");
}

} // namespace
