// display/basicui.h - the status display's screens, as the rest of the
// program sees them.
//
// CBasicUI is stateless: every method draws a whole screen (or asks the
// keypad) through the display modules, so any number of objects may exist
// and none keeps anything between calls.
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
    void DispNoticeInfo(char* text);
    void ShowInfo(char** lines, int count);
    int ShowUpgradingExtFailed();
    int ShowUpgradingExtInfo(int count);
    int ShowUpgradedExtInfo(int count);
    int OpenUserSetting(char* user, int user_size, char* passwd, int passwd_size);
    int GetKeyPressed();
};
