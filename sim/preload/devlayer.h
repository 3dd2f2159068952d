// sim/preload/devlayer.h - the simulated phone's device layer, loaded into
// every process of the phone with LD_PRELOAD.
//
// It answers what a regular file cannot: the MTD flash devices with their
// ioctls and NOR write rules, the framebuffer's screen information, the
// misc device, the keypad, and the platform files under /proc (redirected
// to the simulator's files). It also scales sleeps and injects the faults
// listed in /.sim/devices.conf, System V IPC calls included. Everything else passes straight to
// libc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace devlayer {

enum class kind : uint8_t { none, mtd, mtdblock, fb, misc, keypad, socket };

// What a path stands for in the phone.
struct target {
    kind k = kind::none;
    int index = 0;        // MTD partition number
    std::string redirect; // non-empty: open this path instead
};
target classify(const char* path);

struct fault_rule {
    std::string op;            // open, ioctl, write, short, stuck, signal, sysv, missing
    std::string path;          // device, file or socket path; for sysv the call (semget, ...)
    unsigned long request = 0; // ioctl request, 0 = any
    int nth = 1;               // the call that fails (1 = first)
    int err = 5;               // errno to report (short: bytes written)
    int seen = 0;              // calls so far in this process
};

struct config {
    uint32_t erasesize = 65536;
    uint32_t fb_size = 0; // framebuffer memory; 0: what the panel kind needs
    bool relocation = false;
    bool relocation_persists = false; // a move is recorded in the boot environment
    // The time the chip is busy per operation (0: none): the typical figures
    // of a parallel NOR chip with "flash_timing typical".
    uint32_t erase_block_us = 0;  // per 64 KiB block erased
    uint32_t program_word_us = 0; // per 16-bit word programmed
    bool nor_strict = false;
    double time_scale = 1.0;
    int power_cut_after_writes = 0;    // 0: none
    uint32_t power_cut_torn_bytes = 0; // the cut write programs only these bytes; 0: all
    std::vector<fault_rule> faults;
    std::vector<std::pair<int, std::string>> command_faults; // exit code, text
};

config& cfg();
void load_config();
// The rule that makes this call fail, or nullptr. Counts the call.
fault_rule* match_fault(const char* op, const std::string& path, unsigned long request = 0);
bool is_missing(const std::string& path);

// Real libc functions.
int real_open(const char* path, int flags, mode_t mode);
int real_close(int fd);
ssize_t real_read(int fd, void* buf, size_t n);
ssize_t real_write(int fd, const void* buf, size_t n);
int real_ioctl(int fd, unsigned long request, void* arg);
// Sleeps for an operation that keeps the chip busy `us` microseconds,
// scaled by the time scale like every other sleep.
void chip_busy(uint64_t us);

// Descriptors opened for a device.
struct open_device {
    kind k = kind::none;
    int index = 0;
    uint64_t pos = 0;
    std::string path;
};
void track(int fd, const open_device& d);
bool tracked(int fd, open_device* out);
void set_pos(int fd, uint64_t pos);
void untrack(int fd);

// Device operations; each returns the libc result and sets errno.
int open_device_path(const target& t, const char* path, int flags);
int device_ioctl(int fd, const open_device& d, unsigned long request, void* arg);
ssize_t mtd_read(const open_device& d, void* buf, size_t n, uint64_t pos);
// `stuck`: one bit stays 0 (the lowest 1 bit of the first byte that has
// one) although the write reports success, as a worn cell does, for the
// read-back check to find.
ssize_t mtd_write(const open_device& d, const void* buf, size_t n, uint64_t pos, bool stuck);
uint64_t mtd_size(int index);

// Milliseconds since the phone was powered on.
int64_t phone_ms();
// Appends one line to a log file of the current run ("flash.log", ...).
void run_log(const char* file, const std::string& line);

} // namespace devlayer
