// The dialog and the screens, on the simulated phone: its frames (PNG)
// and its keypad.
#include "basicui.h"
#include "basicui_screens.h"
#include "dialog.h"
#include "display_util.h"
#include "keypad.h"

#include "rl_log.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The pictures of the refreshes from number `first` on, as the phone
// captured them; with `only_new`, those that differ from the one before.
std::vector<screen> frames_from(int first, bool only_new = false)
{
    std::istringstream log(phone_read_file(run_dir() + "/frames.jsonl"));
    std::vector<screen> out;
    std::string line;
    for (int n = 0; std::getline(log, line); ++n) {
        if (n < first || line.empty()) continue;
        const nlohmann::json f = nlohmann::json::parse(line);
        if (only_new && !f["new"].get<bool>()) continue;
        char name[32];
        std::snprintf(name, sizeof name, "/frames/%04d.png", f["frame"].get<int>());
        out.emplace_back();
        EXPECT_TRUE(read_png(run_dir() + name, &out.back())) << name;
    }
    return out;
}

screen last_frame()
{
    const std::vector<screen> last = frames_from(refresh_count() - 1);
    return last.empty() ? screen{} : last.back();
}

// Black pixels of the frame in a rectangle.
int black_in(const screen& s, int x0, int y0, int x1, int y1)
{
    int n = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) n += s.grey[static_cast<size_t>(y * s.width + x)] < 128;
    return n;
}

class Screens : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        set_hwver(kGtypeHwver);
        ASSERT_EQ(ui.Init(), 0);
    }
    CBasicUI ui;
};

// The progress screen drawn the plain way: the background bitmap, then
// frame, track and bar pixel by pixel, converted pixel by pixel into the
// panel's format over the whole screen.
std::vector<uint8_t> reference_progress(int percent, bool gtype, size_t fb_size)
{
    std::vector<uint8_t> bits(g_image_upgrading, g_image_upgrading + LCD_BITMAP_SIZE);
    auto fill = [&bits](int x, int y, int w, int h, int black) {
        for (int r = y; r < y + h; ++r)
            for (int c = x; c < x + w; ++c) ref_set_bit(bits, r * LCD_WIDTH + c, black);
    };
    fill(40, 220, 404, 20, 1);
    fill(42, 222, 400, 16, 0);
    fill(44, 224, std::min(percent, 100) * 396 / 100, 12, 1);
    std::vector<uint8_t> fb(fb_size, 0);
    for (int n = 0; n < LCD_WIDTH * LCD_HEIGHT; ++n)
        ref_panel_pixel(fb, n, ref_bit(bits, n), gtype);
    return fb;
}

// Every progress frame the burner can show, byte for byte what the panel
// holds, on both panel kinds.
TEST_F(Screens, EveryProgressFrameIsThePlainRendering)
{
    for (const bool gtype : {true, false}) {
        set_hwver(gtype ? kGtypeHwver : k4bitHwver);
        ASSERT_EQ(ui.Init(), 0);
        const size_t used = gtype ? LCD_CONVERT_SIZE : LCD_COPY_SIZE_4BIT;
        for (int percent = 0; percent <= 101; ++percent) {
            ui.SetUpgradingProgressBar(percent);
            std::vector<uint8_t> fb = framebuffer_bytes();
            ASSERT_GE(fb.size(), used);
            fb.resize(used);
            ASSERT_EQ(fb, reference_progress(percent, gtype, used))
                << percent << "% on the " << (gtype ? "16" : "4") << "-bit panel";
        }
    }
}

TEST_F(Screens, ShowInfoTakesAtMostFiveLinesAndRefusesBadParameters)
{
    char l0[] = "T", l1[] = "1", l2[] = "2", l3[] = "3", l4[] = "4", l5[] = "5", l6[] = "6";
    char* lines[] = {l0, l1, l2, l3, l4, l5, l6};
    ui.ShowInfo(lines, 7);
    const screen s = last_frame();
    EXPECT_GT(black_in(s, 0, 104, 479, 129), 0) << "line 4";
    EXPECT_EQ(black_in(s, 0, 130, 479, 271), 0) << "nothing below it";
    const int frames = refresh_count();
    ui.ShowInfo(lines, 0);
    ui.ShowInfo(nullptr, 3);
    char pass[16] = {};
    EXPECT_EQ(ui.OpenUserSetting(nullptr, 1, pass, 1), -1);
    EXPECT_EQ(refresh_count(), frames);
    EXPECT_EQ(phone_logged(3, "ShowInfo: invalid params."), 2);
    EXPECT_EQ(phone_logged(3, "OpenUserSetting:invalid params."), 1);
}

// Types `codes` into a screen that opens after refresh number `start`; 0
// is a pause of two ticks (a letter is committed). The screen takes the
// last key pressed at each poll and redraws for it: each key is sent once
// the one before has shown, however slowly a loaded machine runs it.
void type_keys(const std::vector<int>& codes, int start)
{
    auto shown_after = [](int count) {
        for (int i = 0; i < 500 && refresh_count() <= count; ++i) std::this_thread::sleep_for(10ms);
    };
    shown_after(start); // the screen is up and polling
    for (int code : codes) {
        if (code == 0) {
            std::this_thread::sleep_for(1300ms);
            continue;
        }
        const int before = refresh_count();
        phone_key_event(code, 1);
        phone_key_event(code, 0);
        std::this_thread::sleep_for(120ms);
        if (code != KEY_OK) shown_after(before); // OK closes the screen
    }
}

// Keys arriving at every poll do not hold back the tick: the cursor keeps
// blinking while they come.
TEST_F(Screens, TheTickComesWhileKeysArrive)
{
    EXPECT_EQ(key_get_keypressed(), 0);
    std::atomic<int> toggles{0};
    std::thread keys([&toggles, start = refresh_count()] {
        for (int i = 0; i < 500 && refresh_count() <= start; ++i) std::this_thread::sleep_for(10ms);
        const Dialog* d = g_dlgdisplay;
        int last = d->controls[d->focus].cursor_on;
        // A key that only redraws, faster than the key loop polls, for 2 s.
        for (int i = 0; i < 80; ++i) {
            phone_key_event(40, 1);
            std::this_thread::sleep_for(25ms);
            const int now = d->controls[d->focus].cursor_on;
            if (now != last) ++toggles;
            last = now;
        }
        phone_key_event(KEY_OK, 1);
    });
    char user[16] = {}, pass[16] = {};
    EXPECT_EQ(ui.OpenUserSetting(user, sizeof user, pass, sizeof pass), 1);
    keys.join();
    EXPECT_GE(toggles, 2) << "two half-second ticks in two seconds of keys";
}

TEST_F(Screens, TwoThreadsNeverMixTheirScreens)
{
    // The countdown and the key wait of the auto-provisioning ending.
    const int before = refresh_count();
    std::thread countdown([this] {
        for (int i = 0; i < 150; ++i) ui.ShowUpgradingAutop2FailedInfoWithID(-193, 60);
    });
    char rebooting[] = "Rebooting...";
    for (int i = 0; i < 150; ++i) ui.DispNoticeInfo(rebooting);
    countdown.join();
    EXPECT_EQ(refresh_count(), before + 300);
    // Every captured frame is one of the two screens, whole.
    std::set<std::vector<uint8_t>> pictures;
    for (const screen& s : frames_from(before, true)) pictures.insert(s.grey);
    EXPECT_EQ(pictures.size(), 2U);
}

TEST_F(Screens, PostedFramesComeInOrderBeforeTheNextScreen)
{
    // Frames posted one after another are drawn in turn, and a screen
    // asked for next waits for the last of them.
    const int before = refresh_count();
    std::vector<int> posted;
    for (int p = 0; p <= 100; p += 5) {
        EXPECT_EQ(ui.PostUpgradingProgressBar(p), 0);
        posted.push_back(p * 396 / 100);
    }
    char rebooting[] = "Rebooting...";
    ui.DispNoticeInfo(rebooting);
    ASSERT_EQ(refresh_count(), before + static_cast<int>(posted.size()) + 1);
    std::vector<int> bars;
    for (const screen& s : frames_from(before)) bars.push_back(black_in(s, 44, 230, 439, 230));
    // The notice has no bar: its row 230 is white.
    posted.push_back(0);
    EXPECT_EQ(bars, posted);

    // Waiting with a frame posted returns once it is on the panel; waiting
    // with none returns at once.
    const int posted_one = refresh_count();
    ui.PostUpgradingProgressBar(42);
    ui.WaitUpgradingProgressBar();
    EXPECT_EQ(refresh_count(), posted_one + 1);
    EXPECT_EQ(black_in(last_frame(), 44, 230, 439, 230), 42 * 396 / 100);
    ui.WaitUpgradingProgressBar();
    EXPECT_EQ(refresh_count(), posted_one + 1);
}

TEST_F(Screens, DialogFocusKeysAndTicks)
{
    // Two inputs, the focus on the first.
    DisplayInfo info;
    basicui_displayline_init(&info);
    info.focus = 1;
    info.first = 1;
    info.last = 2;
    for (int i = 1; i <= 2; ++i) {
        info.lines[i].y = 27 * i;
        info.lines[i].w = 480;
        info.lines[i].h = 26;
        info.lines[i].value_width = 300;
        info.lines[i].type = 1;
        std::snprintf(info.lines[i].text, sizeof info.lines[i].text, "t%d", i);
    }
    open_dlg(g_dlgdisplay, &info);
    Dialog* d = g_dlgdisplay;
    EXPECT_EQ(d->controls[1].cursor, 0) << "input cursors start at 0, hidden";
    EXPECT_EQ(d->controls[1].cursor_on, 0);
    dlg_next_item(d);
    EXPECT_EQ(d->focus, 2);
    dlg_next_item(d);
    EXPECT_EQ(d->focus, 1) << "wraps to first";
    dlg_prev_item(d);
    EXPECT_EQ(d->focus, 2) << "wraps to last";
    EXPECT_EQ(d->controls[2].cursor_on, 1);
    // Key 40 only redraws.
    const int frames = refresh_count();
    EXPECT_EQ(dlg_key_handler(d, 40), 0);
    EXPECT_EQ(refresh_count(), frames + 1);
    // Key 17 copies every control's text back and returns at once.
    std::strcpy(d->controls[2].text, "edited");
    EXPECT_EQ(dlg_key_handler(d, 17), 1);
    EXPECT_EQ(refresh_count(), frames + 1) << "no redraw";
    EXPECT_STREQ(info.lines[2].text, "edited");
    EXPECT_STREQ(info.lines[0].text, "");
    EXPECT_EQ(dlg_key_handler(d, 32), 2);
    // Outside first..last the focus does not move.
    d->focus = 5;
    dlg_next_item(d);
    EXPECT_EQ(d->focus, 5);
    // No focus: keys are refused and ticks do nothing. A black background
    // fills the whole screen.
    DisplayInfo plain;
    basicui_displayline_init(&plain);
    plain.image = DISPLAY_IMAGE_BLACK;
    open_dlg(g_dlgdisplay, &plain);
    EXPECT_EQ(black_in(last_frame(), 0, 0, 479, 271), 480 * 272);
    EXPECT_EQ(dlg_key_handler(d, 2), -1);
    const int before = refresh_count();
    dlg_tick(d);
    EXPECT_EQ(refresh_count(), before);
}

// The last frame, pixel for pixel, against golden/<name>.png. A blinking
// cursor may differ: with `cursor_rows` given, pixels that differ in one
// single column within those rows are the cursor's phase, nothing else.
void expect_golden(const std::string& name, std::pair<int, int> cursor_rows = {-1, -1})
{
    const screen got = last_frame();
    screen want;
    ASSERT_TRUE(read_png(std::string(GOLDEN_DIR) + "/" + name + ".png", &want))
        << name << ".png is missing; the frame is in " << run_dir() << "/frames";
    ASSERT_EQ(got.grey.size(), want.grey.size());
    int differing = 0;
    std::set<int> cursor_columns;
    for (size_t i = 0; i < got.grey.size(); ++i) {
        if (got.grey[i] == want.grey[i]) continue;
        const int x = static_cast<int>(i) % got.width, y = static_cast<int>(i) / got.width;
        if (y >= cursor_rows.first && y <= cursor_rows.second)
            cursor_columns.insert(x);
        else
            ++differing;
    }
    EXPECT_EQ(differing, 0) << name << "; the frame is in " << run_dir() << "/frames";
    EXPECT_LE(cursor_columns.size(), 1U) << name << ": more than a cursor differs";
}

// Labels, a framed input line and a reverse-video title: the picture the
// phone shows, pixel for pixel, on both panel kinds.
TEST_F(Screens, GoldenSettingsOnBothPanels)
{
    for (const auto& [hwver, file] :
         {std::pair{kGtypeHwver, "settings_16bit"}, std::pair{k4bitHwver, "settings_4bit"}}) {
        set_hwver(hwver);
        devctrl_close_lcd(); // the panel is mapped anew, in its own kind
        ASSERT_EQ(ui.Init(), 0);
        DisplayInfo info;
        basicui_displayline_init(&info);
        auto line = [&info](int i, int y, const char* label, int align, int reverse) {
            DisplayLine& l = info.lines[i];
            l.y = y;
            l.w = 480;
            l.h = 26;
            l.align = static_cast<uint8_t>(align);
            l.reverse = static_cast<uint8_t>(reverse);
            std::snprintf(l.label, sizeof l.label, "%s", label);
        };
        line(0, 0, "Phone Settings", 1, 1);
        line(1, 40, "Model: 59, revision 1", 0, 0);
        line(2, 70, "Right aligned label", 2, 0);
        line(3, 110, "Name:", 0, 0);
        info.lines[3].type = 1;
        info.lines[3].border = 1;
        info.lines[3].value_width = 300;
        std::snprintf(info.lines[3].text, sizeof info.lines[3].text, "%s", "Quick brown fox 0123");
        basicui_open_display_info(&info, 0);
        expect_golden(file);
    }
}

TEST_F(Screens, GoldenProgressFailureCountdownAndNotice)
{
    for (int percent : {0, 50, 100}) {
        ui.SetUpgradingProgressBar(percent);
        expect_golden("progress_" + std::to_string(percent));
    }
    char msg[] = "Rom check Failed!";
    ui.ShowUpgradingFailedInfoWithID(msg, -93);
    expect_golden("failure_rom_check");
    // With ID 0 the text stands alone, without ":0" after it.
    const screen with_id = last_frame();
    ui.ShowUpgradingFailedInfoWithID(msg, 0);
    const screen alone = last_frame();
    EXPECT_EQ(black_in(alone, 206, 26, 479, 51), 0);
    EXPECT_EQ(black_in(alone, 0, 26, 205, 51), black_in(with_id, 0, 26, 205, 51));
    ui.ShowUpgradingAutop2FailedInfoWithID(-193, 60);
    expect_golden("autop_countdown_60");
    char rebooting[] = "Rebooting...";
    ui.DispNoticeInfo(rebooting);
    expect_golden("notice_rebooting");
}

// A dialog that waits for its keys ends with OK (1) and with soft key 1 (2).
TEST_F(Screens, AWaitingDialogEndsWithOkOrSoftKeyOne)
{
    EXPECT_EQ(key_get_keypressed(), 0); // the keypad thread starts and opens the device
    for (const auto& [key, result] : {std::pair{KEY_OK, 1}, std::pair{KEY_SOFT_1, 2}}) {
        DisplayInfo info;
        basicui_displayline_init(&info);
        info.focus = info.first = info.last = 1;
        info.lines[1].y = 27;
        info.lines[1].w = 480;
        info.lines[1].h = 26;
        info.lines[1].type = 1;
        std::thread keys(type_keys, std::vector<int>{key}, refresh_count());
        EXPECT_EQ(basicui_open_display_info(&info, 1), result) << "key " << key;
        keys.join();
    }
}

TEST_F(Screens, GoldenUserSettingAfterTyping)
{
    EXPECT_EQ(key_get_keypressed(), 0); // the keypad thread starts and opens the device
    // "ab" as user (2, then 2 twice), then the password "7" in mode 123.
    std::thread keys(type_keys,
                     std::vector<int>{2, 0, 2, 2, KEY_NEXT_ITEM, KEY_SOFT_2, 7, 0, KEY_OK},
                     refresh_count());
    char user[16] = {}, pass[16] = {};
    EXPECT_EQ(ui.OpenUserSetting(user, sizeof user, pass, sizeof pass), 1);
    keys.join();
    EXPECT_STREQ(user, "ab");
    EXPECT_STREQ(pass, "7");
    expect_golden("user_setting_typed", {27, 80});

    // Buffers too small for what was typed get as much as fits, terminated.
    std::thread again(type_keys,
                      std::vector<int>{2, 0, 2, 2, KEY_NEXT_ITEM, KEY_SOFT_2, 7, 0, KEY_OK},
                      refresh_count());
    char small_user[2], small_pass[1];
    std::memset(small_user, 'x', sizeof small_user);
    std::memset(small_pass, 'x', sizeof small_pass);
    EXPECT_EQ(ui.OpenUserSetting(small_user, sizeof small_user, small_pass, sizeof small_pass), 1);
    again.join();
    EXPECT_EQ(std::string(small_user, sizeof small_user), std::string("a\0", 2));
    EXPECT_EQ(small_pass[0], '\0');
}

} // namespace
