// display/keypad.cpp - keypad thread and the last key.
#include "keypad.h"

#include "rl_log.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr const char* kKeypad = "/dev/input/event0";
constexpr useconds_t kStartWaitUs = 500000;

// The phone's input event: a 32-bit time stamp, then type, code, value.
struct input_event_phone {
    std::uint32_t sec;
    std::uint32_t usec;
    std::uint16_t type;
    std::uint16_t code;
    std::int32_t value;
};
static_assert(sizeof(input_event_phone) == 16, "the phone's input events are 16 bytes");

// Written by the keypad thread, taken by the polling screen. Taking it is
// one exchange, so a press arriving while it is read is never lost.
std::atomic<std::int32_t> g_last_key{0};
int g_thread_started = 0;

} // namespace

int kpad_open()
{
    const int fd = open(kKeypad, O_RDWR);
    if (fd < 0) rl_log_crit("can't open /dev/input/event0.\n");
    return fd;
}

int kpad_read(int fd, KeyEvent* out)
{
    if (fd < 0 || out == nullptr) return -1;
    input_event_phone ev = {};
    if (read(fd, &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev)) return -1;
    out->value = ev.value;
    out->code = ev.code;
    return 0;
}

int kpad_close(int fd)
{
    if (fd < 1) return -1;
    return close(fd);
}

void* kpad_thread(void*)
{
    const int fd = kpad_open();
    if (fd < 0) {
        perror("failed to open ");
        pthread_detach(pthread_self());
        return nullptr;
    }
    for (;;) {
        KeyEvent ev = {};
        if (kpad_read(fd, &ev) < 0) {
            rl_log_info("%s no key read", "kpad_thread");
            continue;
        }
        if (ev.value == 1) g_last_key.store(ev.code);
    }
}

int key_get_keypressed()
{
    if (g_thread_started == 0) {
        g_thread_started = 1;
        pthread_t thread;
        const int started = pthread_create(&thread, nullptr, kpad_thread, nullptr);
        if (started != 0) rl_log_err("keypad thread: %d\n", started);
        usleep(kStartWaitUs);
    }
    return g_last_key.exchange(0);
}
