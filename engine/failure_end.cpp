// engine/failure_end.cpp - reboot sequence, failure screens, key wait and
// auto-provisioning countdown.
#include "failure_end.h"

#include "basicui.h"
#include "libipc.h"
#include "rl_log.h"
#include "rom_format.h"
#include "sys_helpers.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int kRebootWaitSeconds = 10;
constexpr int kCountdownSeconds = 60;
constexpr const char* kKeypad = "/dev/input/event0";
char kRebooting[] = "Rebooting...";

// The Linux input event as the phone's keypad driver delivers it.
struct key_event {
    std::uint32_t sec;
    std::uint32_t usec;
    std::uint16_t type;
    std::uint16_t code;
    std::int32_t value;
};
static_assert(sizeof(key_event) == 16, "the phone's input events are 16 bytes");

void broadcast_failed()
{
    ipc_broadcast(IPC_MSG_UPGRADE_FAILED, 0, 0, nullptr, 0);
}

// Reads one whole event; false at the end of the device or on an error
// other than an interruption.
bool read_event(int fd, key_event* ev)
{
    auto* p = reinterpret_cast<unsigned char*>(ev);
    std::size_t got = 0;
    while (got < sizeof *ev) {
        const ssize_t n = read(fd, p + got, sizeof *ev - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

void reboot_sequence(int fallback)
{
    do_reboot(fallback);
    sleep(kRebootWaitSeconds);
    set_watchdog(1);
}

const char* failure_text(int code, int id)
{
    if (id == UPD_MSG_ROM_VERSION_LOW) return "Pleace check ROM version!";
    switch (code) {
    case UPGRADER_FAIL_LOAD: return "Load Rom Failed!";
    case UPGRADER_FAIL_SHM: return "Get shm Failed!";
    case UPGRADER_FAIL_ROM_CHECK: return "Rom check Failed!";
    case UPGRADER_FAIL_KILLAPPS: return "Killapps Failed!";
    case UPGRADER_FAIL_BURN: return "Burn Flash Failed!";
    default: return "Upgrade Failed!";
    }
}

void end_with_failure(CBasicUI* ui, int upgrader_state, int code, int id, int fallback)
{
    rl_log_debug("upgrader_state:%x\n", static_cast<unsigned int>(upgrader_state));
    switch (upgrader_state) {
    case 0:
    case -1:
    case 2:
    case -3: show_failure_and_wait(ui, code, fallback, id); return;
    case 1:
    case -2: {
        if (code == 0) return;
        broadcast_failed();
        // The thread owns its argument for the rest of the process.
        static autop_countdown_arg arg;
        arg = {id, ui};
        pthread_t thread;
        const int started = pthread_create(&thread, nullptr, autop_failure_countdown, &arg);
        if (started != 0) rl_log_err("countdown thread: %d\n", started);
        wait_reboot_key(ui, fallback);
    }
    default: return;
    }
}

void show_failure_and_wait(CBasicUI* ui, int code, int fallback, int id)
{
    if (code == 0) return;
    broadcast_failed();
    const char* text = failure_text(code, id);
    rl_log_err("%s", text);
    char message[64];
    std::snprintf(message, sizeof message, "%s", text);
    ui->ShowUpgradingFailedInfoWithID(message, id);
    wait_reboot_key(ui, fallback);
}

void* autop_failure_countdown(void* arg)
{
    const auto* a = static_cast<const autop_countdown_arg*>(arg);
    int counter = kCountdownSeconds;
    for (;;) {
        // After the first pass the counter stays at 0: each further pass
        // shows the screen once more before the next reboot attempt.
        do {
            a->ui->ShowUpgradingAutop2FailedInfoWithID(a->id, counter > 0 ? counter : 0);
            sleep(1);
        } while (--counter > 0);
        a->ui->DispNoticeInfo(kRebooting);
        do_reboot(1);
        sleep(kRebootWaitSeconds);
        set_watchdog(1);
    }
}

void wait_reboot_key(CBasicUI* ui, int fallback)
{
    const int fd = open(kKeypad, O_RDWR);
    if (fd < 0) {
        perror("failed to open \n");
        watchdog_back_on(); // no key, no reboot: the process ends here
        exit(-1);
    }
    for (;;) {
        key_event ev = {};
        if (!read_event(fd, &ev)) {
            // Nothing more to read: keep the screen and wait for the reboot.
            sleep(1);
            continue;
        }
        if (ev.value == 1 && ev.code == UPGRADER_REBOOT_KEY) {
            ui->DispNoticeInfo(kRebooting);
            reboot_sequence(fallback);
        }
    }
}
