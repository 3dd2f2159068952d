// sim/keypad_server.cpp - scripted key presses as input events.
#include "keypad_server.h"

#include "sys_error.h"

#include <cstring>
#include <ctime>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The phone's input event: 32-bit seconds and microseconds, type, code, value.
struct input_event32 {
    uint32_t sec;
    uint32_t usec;
    uint16_t type;
    uint16_t code;
    int32_t value;
};
static_assert(sizeof(input_event32) == 16, "the phone's input event is 16 bytes");

constexpr uint16_t kEvKey = 1;

} // namespace

key_press parse_key_press(const std::string& desc)
{
    const size_t at = desc.find('@');
    if (at == std::string::npos || at == 0)
        throw std::runtime_error("key press needs CODE@WHEN: " + desc);
    key_press k;
    k.code = std::stoi(desc.substr(0, at));
    const std::string when = desc.substr(at + 1);
    if (when.rfind("frame:", 0) == 0) {
        k.when = key_press::after_frame;
        k.value = std::stoll(when.substr(6));
    } else if (when.rfind("log:", 0) == 0) {
        k.when = key_press::on_log;
        k.text = when.substr(4);
        if (k.text.empty()) throw std::runtime_error("empty log text in " + desc);
    } else {
        k.when = key_press::at_ms;
        k.value = std::stoll(when);
    }
    return k;
}

keypad_server::keypad_server(const std::string& socket_path, std::vector<key_press> script)
    : script_(std::move(script))
{
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sim_check(listen_fd_, "socket", socket_path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    unlink(socket_path.c_str());
    sim_check(bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), "bind",
              socket_path);
    sim_check(listen(listen_fd_, 8), "listen", socket_path);
}

keypad_server::~keypad_server()
{
    for (int fd : readers_) close(fd);
    close(listen_fd_);
}

void keypad_server::accept_reader()
{
    for (;;) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        readers_.push_back(fd);
    }
}

void keypad_server::fire(const key_press& k, int64_t now_ms)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    for (int value : {1, 0}) {
        input_event32 ev{static_cast<uint32_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec / 1000),
                         kEvKey, static_cast<uint16_t>(k.code), value};
        for (int fd : readers_) (void)send(fd, &ev, sizeof ev, MSG_NOSIGNAL);
    }
    delivered_.push_back(std::to_string(now_ms) + " key " + std::to_string(k.code) + " to " +
                         std::to_string(readers_.size()) + " reader(s)");
}

void keypad_server::send_event(int code, int value, int64_t now_ms)
{
    accept_reader(); // a reader that just opened the device gets it too
    drop_closed_readers();
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    input_event32 ev{static_cast<uint32_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec / 1000),
                     kEvKey, static_cast<uint16_t>(code), value};
    for (int fd : readers_) (void)send(fd, &ev, sizeof ev, MSG_NOSIGNAL);
    delivered_.push_back(std::to_string(now_ms) + " event " + std::to_string(code) + " value " +
                         std::to_string(value) + " to " + std::to_string(readers_.size()) +
                         " reader(s)");
}

void keypad_server::on_log(const std::string& msg)
{
    history_.push_back(msg);
}

bool keypad_server::logged_since_last_press(const std::string& text) const
{
    for (size_t i = history_start_; i < history_.size(); ++i)
        if (history_[i].find(text) != std::string::npos) return true;
    return false;
}

// Readers that closed the device are gone: a press must not be spent on them.
void keypad_server::drop_closed_readers()
{
    for (size_t i = 0; i < readers_.size();) {
        pollfd p{readers_[i], POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            close(readers_[i]);
            readers_.erase(readers_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void keypad_server::tick(int64_t now_ms, int frames)
{
    drop_closed_readers();
    while (next_ < script_.size()) {
        const key_press& k = script_[next_];
        bool due = false;
        switch (k.when) {
        case key_press::at_ms: due = now_ms >= k.value; break;
        case key_press::after_frame: due = frames >= k.value; break;
        case key_press::on_log: due = logged_since_last_press(k.text); break;
        }
        // A press waits for a reader: nobody would see it otherwise.
        if (!due || readers_.empty()) return;
        fire(k, now_ms);
        ++next_;
        history_start_ = history_.size();
    }
}
