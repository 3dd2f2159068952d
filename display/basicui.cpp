// display/basicui.cpp - the screens: progress, failure and information,
// notice, user setting; and CBasicUI, which fills their texts.
#include "basicui.h"

#include "basicui_screens.h"
#include "dialog.h"
#include "keypad.h"
#include "lcd.h"
#include "rl_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

constexpr int kFontSize = 24;
constexpr int kLineHeight = 26;
constexpr int kScreenWidth = 480;
constexpr int kBarMax = 396;
constexpr useconds_t kPollUs = 50000;
constexpr int kPollsPerTick = 10;

struct rect {
    int x, y, w, h;
};
// The soft keys along the bottom edge.
constexpr rect kSoftKeys[4] = {
    {0, 246, 116, 26}, {120, 246, 116, 26}, {240, 246, 116, 26}, {360, 246, 116, 26}};

// Passes of the key loop, counted over the whole process.
int g_key_passes = 0;

// One screen is drawn at a time: in the auto-provisioning ending the
// countdown and the key wait both draw, and a frame must never be half of
// one screen and half of another.
std::mutex g_screen_lock;

void set_line(DisplayLine* l, int x, int y, int w, int h, const char* label)
{
    l->x = x;
    l->y = y;
    l->w = w;
    l->h = h;
    if (label != nullptr) std::snprintf(l->label, sizeof l->label, "%.63s", label);
}

// The four soft-key lines, centred and in reverse video, for the labels
// that are not empty.
void set_soft_keys(DisplayInfo* info, const char (*labels)[64])
{
    for (int k = 0; k < 4; ++k) {
        if (labels[k][0] == '\0') continue;
        DisplayLine* l = &info->lines[8 + k];
        set_line(l, kSoftKeys[k].x, kSoftKeys[k].y, kSoftKeys[k].w, kSoftKeys[k].h, labels[k]);
        l->align = 1;
        l->reverse = 1;
    }
}

void log_do(const char* what)
{
    rl_log_debug("Do %s", what);
}

} // namespace

int basicui_init()
{
    return lcd_init();
}

void basicui_deinit() {}

void basicui_displayline_init(DisplayInfo* info)
{
    if (info == nullptr) return;
    std::memset(info, 0, sizeof *info);
    for (DisplayLine& l : info->lines) l.font = kFontSize;
    info->focus = DISPLAY_NO_FOCUS;
}

int basicui_open_display_info(DisplayInfo* info, int wait)
{
    {
        const std::lock_guard<std::mutex> hold(g_screen_lock);
        open_dlg(g_dlgdisplay, info);
    }
    if (wait == 0) return 0;
    for (;;) {
        usleep(kPollUs);
        const int key = basicui_get_keypressed();
        if (key != 0) {
            rl_log_info("KEY = %d", key);
            const std::lock_guard<std::mutex> hold(g_screen_lock);
            const int r = g_dlgdisplay->key(g_dlgdisplay, static_cast<std::uint8_t>(key & 0xFF));
            if (r == 1 || r == 2) return r;
        }
        // The tick comes every ten polls, whether they brought keys or not:
        // typing never holds back the cursor's blink or the multi-tap time-out.
        if (++g_key_passes >= kPollsPerTick) {
            const std::lock_guard<std::mutex> hold(g_screen_lock);
            g_dlgdisplay->tick(g_dlgdisplay);
            g_key_passes = 0;
        }
    }
}

int basicui_open_upgrading(int percent)
{
    DisplayInfo info;
    basicui_displayline_init(&info);
    info.image = g_image_upgrading;
    set_line(&info.lines[1], 40, 220, 404, 20, nullptr);
    info.lines[1].reverse = 1;
    set_line(&info.lines[2], 42, 222, 400, 16, nullptr);
    const int bar = percent > 100 ? kBarMax : percent * kBarMax / 100;
    set_line(&info.lines[3], 44, 224, bar > 0 ? bar : 0, 12, nullptr);
    info.lines[3].reverse = 1;
    return basicui_open_display_info(&info, 0);
}

int basicui_open_update_info(UpdateInfoText* text)
{
    DisplayInfo info;
    basicui_displayline_init(&info);
    set_line(&info.lines[0], 0, 0, kScreenWidth, kLineHeight, text->title);
    info.lines[0].align = 1;
    info.lines[0].reverse = 1;
    for (int n = 1; n <= 4; ++n)
        set_line(&info.lines[n], 0, kLineHeight * n, kScreenWidth, kLineHeight, text->lines[n - 1]);
    set_soft_keys(&info, text->soft_keys);
    return basicui_open_display_info(&info, 0);
}

void basicui_display_updating_line(const char* text)
{
    if (text == nullptr) return;
    DisplayInfo info;
    basicui_displayline_init(&info);
    set_line(&info.lines[0], 0, 123, kScreenWidth, kLineHeight, text);
    info.lines[0].align = 1;
    basicui_open_display_info(&info, 0);
}

void basicui_open_user_setting(UserSettingText* t)
{
    DisplayInfo info;
    basicui_displayline_init(&info);
    info.focus = 1;
    info.first = 1;
    info.last = 2;
    set_line(&info.lines[0], 0, 0, kScreenWidth, kLineHeight, t->title);
    info.lines[0].align = 1;
    info.lines[0].reverse = 1;
    set_line(&info.lines[1], 0, 27, kScreenWidth, kLineHeight, t->user_label);
    info.lines[1].value_width = 300;
    info.lines[1].type = 1;
    set_line(&info.lines[2], 0, 54, kScreenWidth, kLineHeight, t->passwd_label);
    info.lines[2].value_width = 300;
    info.lines[2].type = 2;
    const char keys[4][64] = {"Cancel", "abc", "Delete", "OK"};
    set_soft_keys(&info, keys);
    t->result = basicui_open_display_info(&info, 1);
    std::snprintf(t->user, sizeof t->user, "%s", info.lines[1].text);
    std::snprintf(t->passwd, sizeof t->passwd, "%s", info.lines[2].text);
}

int basicui_get_keypressed()
{
    return key_get_keypressed();
}

// CBasicUI: each method fills a text buffer and opens its screen.

int CBasicUI::Init()
{
    return basicui_init();
}

void CBasicUI::Deinit()
{
    basicui_deinit();
}

void CBasicUI::ShowVersion()
{
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", "basicUI", "2.0.0.14", __DATE__,
                __TIME__);
}

int CBasicUI::ShowUpgradingFailedInfo(char* msg, int code)
{
    log_do("ShowUpgradingFailedInfo");
    UpdateInfoText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "Upgrade Status");
    if (code != 0)
        std::snprintf(t.lines[0], sizeof t.lines[0], "%s:%d", msg != nullptr ? msg : "", code);
    else
        std::snprintf(t.lines[0], sizeof t.lines[0], "%s", msg != nullptr ? msg : "");
    std::snprintf(t.soft_keys[3], sizeof t.soft_keys[3], "%s", "Reboot");
    return basicui_open_update_info(&t);
}

int CBasicUI::ShowUpgradingFailedInfoWithID(char* msg, int id)
{
    return ShowUpgradingFailedInfo(msg, id);
}

int CBasicUI::ShowUpgradingAutop2FailedInfoWithID(int id, int seconds)
{
    log_do("ShowUpgradingAutop2FailedInfoWithID");
    UpdateInfoText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "Upgrade Status");
    std::snprintf(t.lines[0], sizeof t.lines[0], "Upgrade failed:%d", id);
    std::snprintf(t.lines[1], sizeof t.lines[1], "%s", "Autoprovision failed,");
    std::snprintf(t.lines[2], sizeof t.lines[2], "%s", "Please check errors on web");
    std::snprintf(t.lines[3], sizeof t.lines[3], "%d", seconds);
    std::snprintf(t.soft_keys[3], sizeof t.soft_keys[3], "%s", "Reboot");
    basicui_open_update_info(&t);
    return 0;
}

int CBasicUI::SetUpgradingProgressBar(int percent)
{
    basicui_open_upgrading(percent);
    return 0;
}

void CBasicUI::DispNoticeInfo(char* text)
{
    basicui_display_updating_line(text);
}

void CBasicUI::ShowInfo(char** lines, int count)
{
    if (lines == nullptr || count < 1) {
        rl_log_err("%s: invalid params.", "ShowInfo");
        return;
    }
    if (count > 5) count = 5;
    UpdateInfoText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", lines[0] != nullptr ? lines[0] : "");
    for (int i = 1; i < count; ++i)
        std::snprintf(t.lines[i - 1], sizeof t.lines[i - 1], "%s",
                      lines[i] != nullptr ? lines[i] : "");
    basicui_open_update_info(&t);
}

int CBasicUI::ShowUpgradingExtFailed()
{
    log_do("ShowUpgradingExtFailed");
    UpdateInfoText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "Upgrading Expansion Status");
    std::snprintf(t.lines[0], sizeof t.lines[0], "%s", "Upgrade Expansion failed,");
    std::snprintf(t.lines[1], sizeof t.lines[1], "%s", "Please check the ROM file!");
    std::snprintf(t.soft_keys[3], sizeof t.soft_keys[3], "%s", "Reboot");
    basicui_open_update_info(&t);
    return 0;
}

int CBasicUI::ShowUpgradingExtInfo(int count)
{
    log_do("ShowUpgradingExtInfo");
    UpdateInfoText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "Upgrading Expansion Status");
    std::snprintf(t.lines[1], sizeof t.lines[1], "%s", "Please connect Expansion..");
    std::snprintf(t.lines[2], sizeof t.lines[2], "Upgraded count:%d", count);
    std::snprintf(t.lines[3], sizeof t.lines[3], "%s", "Upgrading, Please wait...");
    basicui_open_update_info(&t);
    return 0;
}

int CBasicUI::ShowUpgradedExtInfo(int count)
{
    log_do("ShowUpgradedExtInfo");
    UpdateInfoText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "Upgrading Expansion Status");
    std::snprintf(t.lines[1], sizeof t.lines[1], "%s", "Please connect Expansion..");
    std::snprintf(t.lines[2], sizeof t.lines[2], "Upgraded count:%d", count);
    std::snprintf(t.soft_keys[0], sizeof t.soft_keys[0], "%s", "Start");
    std::snprintf(t.soft_keys[3], sizeof t.soft_keys[3], "%s", "Reboot");
    basicui_open_update_info(&t);
    return 0;
}

int CBasicUI::OpenUserSetting(char* user, int user_size, char* passwd, int passwd_size)
{
    if (user == nullptr || passwd == nullptr) {
        rl_log_err("%s:invalid params.", "OpenUserSetting");
        return -1;
    }
    UserSettingText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "User Settings");
    std::snprintf(t.user_label, sizeof t.user_label, "%s", "User:");
    std::snprintf(t.passwd_label, sizeof t.passwd_label, "%s", "Passwd:");
    basicui_open_user_setting(&t);
    if (user_size > 0) std::strncpy(user, t.user, static_cast<std::size_t>(user_size));
    if (passwd_size > 0) std::strncpy(passwd, t.passwd, static_cast<std::size_t>(passwd_size));
    return t.result;
}

int CBasicUI::GetKeyPressed()
{
    return basicui_get_keypressed();
}
