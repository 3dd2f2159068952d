// display/basicui.h - the status display's screens, as the rest of the
// program sees them.
//
// CBasicUI keeps nothing of its own: every method draws a whole screen (or
// asks the keypad) through the display modules, so any number of objects
// may exist, and a screen is on the panel when its method returns. The one
// exception is PostUpgradingProgressBar: it hands its frame to a drawing
// thread and returns at once, so that a burn goes on with the flash while
// the frame is drawn; every other method first waits until a posted frame
// is on the panel, so screens still come one after another, in the order
// asked.
#pragma once

class CBasicUI {
public:
    CBasicUI() = default;
    ~CBasicUI() = default;

    // Opens the framebuffer: 0, or -1 when it cannot be opened.
    int Init();
    void Deinit();
    // Logs the display's banner; draws nothing.
    void ShowVersion();

    int ShowUpgradingFailedInfo(char* msg, int code);
    int ShowUpgradingFailedInfoWithID(char* msg, int id);
    int ShowUpgradingAutop2FailedInfoWithID(int id, int seconds);
    // The progress screen with its bar at `percent` (0 to 100). Returns 0.
    int SetUpgradingProgressBar(int percent);
    // The same frame, drawn while the caller goes on; returns 0 at once
    // (after the frame posted before it, if any, is drawn).
    int PostUpgradingProgressBar(int percent);
    // Returns when the frame posted last is on the panel.
    void WaitUpgradingProgressBar();
    void DispNoticeInfo(char* text);
    void ShowInfo(char** lines, int count);
    int ShowUpgradingExtFailed();
    int ShowUpgradingExtInfo(int count);
    int ShowUpgradedExtInfo(int count);
    int OpenUserSetting(char* user, int user_size, char* passwd, int passwd_size);
    int GetKeyPressed();
};
