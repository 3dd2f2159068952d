// display/basicui.cpp - the screens: progress, failure and information,
// notice, user setting; and CBasicUI, which fills their texts.
#include "basicui.h"

#include "basicui_screens.h"
#include "dialog.h"
#include "keypad.h"
#include "lcd.h"
#include "rl_log.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
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

// The progress screen is on the panel whole, as the last screen drawn: a
// new percentage then redraws only the bar's track and the bar.
bool g_progress_shown = false;

// The progress bar's lines: the frame, the white track, the bar.
constexpr rect kBarFrame = {40, 220, 404, 20};
constexpr rect kBarTrack = {42, 222, 400, 16};
constexpr rect kBar = {44, 224, 0, 12};

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

// Posted progress frames are drawn by a thread of their own: a burn hands
// its percentage over and goes on with the next erase or write while the
// frame is drawn, so the flash never waits for the display. One frame at a
// time is handed over, in order, and every other screen first waits until
// the frame handed over is on the panel: the person sees the same screens
// in the same order. When no thread can be started, frames are drawn on
// the caller's.
struct progress_drawer {
    std::mutex lock;
    std::condition_variable changed;
    bool pending = false; // a percentage handed over and not yet drawn
    int percent = 0;
    enum { not_started, running, unavailable } state = not_started;
};

progress_drawer& drawer()
{
    static progress_drawer* d = new progress_drawer; // lives as long as its thread
    return *d;
}

void* draw_progress_frames(void*)
{
    progress_drawer& d = drawer();
    std::unique_lock<std::mutex> hold(d.lock);
    for (;;) {
        d.changed.wait(hold, [&d] { return d.pending; });
        const int percent = d.percent;
        hold.unlock();
        basicui_open_upgrading(percent);
        hold.lock();
        d.pending = false;
        d.changed.notify_all();
    }
    return nullptr;
}

// Waits until the frame handed over, if any, is on the panel.
void progress_settle()
{
    progress_drawer& d = drawer();
    std::unique_lock<std::mutex> hold(d.lock);
    d.changed.wait(hold, [&d] { return !d.pending; });
}

// Starts the drawing thread, with every signal blocked (they are the main
// thread's business) and a small stack. Called with the drawer's lock held.
void start_drawer(progress_drawer* d)
{
    sigset_t all, saved;
    sigfillset(&all);
    pthread_attr_t attr;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, static_cast<size_t>(256) * 1024);
        if (pthread_sigmask(SIG_BLOCK, &all, &saved) == 0) {
            pthread_t thread;
            const int err = pthread_create(&thread, &attr, draw_progress_frames, nullptr);
            pthread_sigmask(SIG_SETMASK, &saved, nullptr);
            if (err == 0)
                started = true;
            else
                rl_log_warn("progress frames drawn in turn: no thread (%s)", std::strerror(err));
        }
        pthread_attr_destroy(&attr);
    }
    d->state = started ? progress_drawer::running : progress_drawer::unavailable;
    // A frame still being drawn when the program ends is finished first.
    if (started) std::atexit(progress_settle);
}

// Hands `percent` over to the drawing thread, or draws it here.
void progress_hand_over(int percent)
{
    progress_drawer& d = drawer();
    {
        std::unique_lock<std::mutex> hold(d.lock);
        if (d.state == progress_drawer::not_started) start_drawer(&d);
        if (d.state == progress_drawer::running) {
            d.changed.wait(hold, [&d] { return !d.pending; });
            d.percent = percent;
            d.pending = true;
            d.changed.notify_all();
            return;
        }
    }
    basicui_open_upgrading(percent);
}

} // namespace

int basicui_init()
{
    // A panel opened anew holds none of the screens drawn before.
    g_progress_shown = false;
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
        g_progress_shown = false;
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
    const int bar = percent > 100 ? kBarMax : percent * kBarMax / 100;
    {
        // The screen is already up: only the track and the bar change, and
        // only they are redrawn and marked (the same pixels as a whole new
        // screen, for a fraction of the conversion).
        const std::lock_guard<std::mutex> hold(g_screen_lock);
        Dialog* d = g_dlgdisplay;
        if (g_progress_shown && d->image == g_image_upgrading) {
            d->controls[3].w = static_cast<std::uint16_t>(bar > 0 ? bar : 0);
            ctrl_show(&d->controls[2], 1);
            ctrl_show(&d->controls[3], 1);
            lcd_refresh();
            return 0;
        }
    }
    DisplayInfo info;
    basicui_displayline_init(&info);
    info.image = g_image_upgrading;
    set_line(&info.lines[1], kBarFrame.x, kBarFrame.y, kBarFrame.w, kBarFrame.h, nullptr);
    info.lines[1].reverse = 1;
    set_line(&info.lines[2], kBarTrack.x, kBarTrack.y, kBarTrack.w, kBarTrack.h, nullptr);
    set_line(&info.lines[3], kBar.x, kBar.y, bar > 0 ? bar : 0, kBar.h, nullptr);
    info.lines[3].reverse = 1;
    const int r = basicui_open_display_info(&info, 0);
    const std::lock_guard<std::mutex> hold(g_screen_lock);
    g_progress_shown = true;
    return r;
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
    progress_settle();
    return basicui_init();
}

void CBasicUI::Deinit()
{
    progress_settle();
    basicui_deinit();
}

void CBasicUI::ShowVersion()
{
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", "basicUI", "2.0.0.14", __DATE__,
                __TIME__);
}

int CBasicUI::ShowUpgradingFailedInfo(char* msg, int code)
{
    progress_settle();
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
    progress_settle();
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
    progress_settle();
    basicui_open_upgrading(percent);
    return 0;
}

int CBasicUI::PostUpgradingProgressBar(int percent)
{
    progress_hand_over(percent);
    return 0;
}

void CBasicUI::WaitUpgradingProgressBar()
{
    progress_settle();
}

void CBasicUI::DispNoticeInfo(char* text)
{
    progress_settle();
    basicui_display_updating_line(text);
}

void CBasicUI::ShowInfo(char** lines, int count)
{
    progress_settle();
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
    progress_settle();
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
    progress_settle();
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
    progress_settle();
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
    progress_settle();
    if (user == nullptr || passwd == nullptr) {
        rl_log_err("%s:invalid params.", "OpenUserSetting");
        return -1;
    }
    UserSettingText t = {};
    std::snprintf(t.title, sizeof t.title, "%s", "User Settings");
    std::snprintf(t.user_label, sizeof t.user_label, "%s", "User:");
    std::snprintf(t.passwd_label, sizeof t.passwd_label, "%s", "Passwd:");
    basicui_open_user_setting(&t);
    // As much of each text as its buffer holds, always terminated.
    if (user_size > 0) std::snprintf(user, static_cast<std::size_t>(user_size), "%s", t.user);
    if (passwd_size > 0)
        std::snprintf(passwd, static_cast<std::size_t>(passwd_size), "%s", t.passwd);
    return t.result;
}

int CBasicUI::GetKeyPressed()
{
    return basicui_get_keypressed();
}
