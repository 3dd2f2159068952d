// sim/keypad_server.h - the phone's keypad: a scripted list of presses
// delivered as 16-byte input events to every reader of /dev/input/event0.
//
// A press fires at a time, after the Nth frame, or once a syslog message
// containing a text has appeared; presses fire in script order, each only
// after the one before it. A press is the key's event with value 1, then
// its release (value 0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct key_press {
    enum trigger { at_ms, after_frame, on_log };
    int code = 0;
    trigger when = at_ms;
    int64_t value = 0; // milliseconds or frame number
    std::string text;  // for on_log
};

// Parses "CODE@MS", "CODE@frame:N" or "CODE@log:TEXT". Throws on error.
key_press parse_key_press(const std::string& desc);

class keypad_server {
public:
    keypad_server(const std::string& socket_path, std::vector<key_press> script);
    ~keypad_server();
    keypad_server(const keypad_server&) = delete;
    keypad_server& operator=(const keypad_server&) = delete;

    int listen_fd() const { return listen_fd_; }
    void accept_reader();
    // Tells the server what happened; fires the presses that became due.
    void on_log(const std::string& msg);
    void tick(int64_t now_ms, int frames);
    // Sends one event (code, value) to the readers there are now, outside
    // the script: what a test drives the keypad with.
    void send_event(int code, int value, int64_t now_ms);
    // One line per delivered press, for the report.
    const std::vector<std::string>& delivered() const { return delivered_; }

private:
    void fire(const key_press& k, int64_t now_ms);
    void drop_closed_readers();
    bool logged_since_last_press(const std::string& text) const;
    int listen_fd_ = -1;
    std::vector<int> readers_;
    std::vector<key_press> script_;
    size_t next_ = 0;
    std::vector<std::string> history_; // syslog messages so far
    size_t history_start_ = 0;         // first message after the last press
    std::vector<std::string> delivered_;
};
