// sim/preload/devices.cpp - the phone's devices: NOR flash partitions,
// MTD block snapshots, framebuffer, misc device and keypad.
#include "devlayer.h"

#include "layout.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <mutex>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace devlayer {

namespace {

// MTD requests in the phone's encoding (read 0x4..., write 0x8...) and in
// the host's (the direction bits swapped), which host tools send.
constexpr unsigned long kMemGetInfo = 0x40204D01UL, kMemGetInfoHost = 0x80204D01UL;
constexpr unsigned long kMemErase = 0x80084D02UL, kMemEraseHost = 0x40084D02UL;
constexpr unsigned long kRelocQuery = 0x40044D12UL, kRelocQueryHost = 0x80044D12UL;
constexpr unsigned long kRelocate = 0x80084D11UL, kRelocateHost = 0x40084D11UL;

constexpr unsigned long kMiscWatchdog = 0x80044D05UL;
constexpr unsigned long kMiscSetLed = 0x80044D07UL;
constexpr unsigned long kMiscGetLed = 0x40044D08UL;
constexpr unsigned long kMiscSetBacklight = 0x80044D09UL;
constexpr unsigned long kMiscGetBacklight = 0x40044D0AUL;
constexpr unsigned long kMiscSetExtLed = 0x80044D11UL;

constexpr uint8_t kMtdNorFlash = 3;
constexpr uint32_t kMtdCapNor = 0x400U | 0x800U; // writeable, bit-writeable

struct mtd_info_record {
    uint8_t type;
    uint32_t flags;
    uint32_t size;
    uint32_t erasesize;
    uint32_t writesize;
    uint32_t oobsize;
    uint64_t padding;
};
static_assert(sizeof(mtd_info_record) == 32, "mtd_info_user is 32 bytes");

struct erase_record {
    uint32_t start;
    uint32_t length;
};

struct chip_map {
    std::mutex lock;
    int fd = -1;
    uint8_t* bytes = nullptr;
    uint32_t* erase_counts = nullptr;
    uint32_t* writes = nullptr; // programming calls in this boot, all processes
};

chip_map& chip()
{
    static chip_map* c = new chip_map;
    return *c;
}

// Maps the chip and its erase counters; false (errno set) when missing.
bool map_chip()
{
    chip_map& c = chip();
    if (c.bytes != nullptr) return true;
    c.fd = real_open(phone::kChip, O_RDWR | O_CLOEXEC, 0);
    if (c.fd < 0) return false;
    void* m = mmap(nullptr, phone::kChipSize, PROT_READ | PROT_WRITE, MAP_SHARED, c.fd, 0);
    if (m == MAP_FAILED) {
        real_close(c.fd);
        c.fd = -1;
        return false;
    }
    c.bytes = static_cast<uint8_t*>(m);
    const int cfd = real_open(phone::kEraseCounts, O_RDWR | O_CLOEXEC, 0);
    if (cfd >= 0) {
        void* e = mmap(nullptr, size_t{phone::kChipSize / phone::kEraseBlock} * 4,
                       PROT_READ | PROT_WRITE, MAP_SHARED, cfd, 0);
        if (e != MAP_FAILED) c.erase_counts = static_cast<uint32_t*>(e);
        real_close(cfd);
    }
    const int wfd = real_open(phone::kFlashWrites, O_RDWR | O_CLOEXEC, 0);
    if (wfd >= 0) {
        void* w = mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, wfd, 0);
        if (w != MAP_FAILED) c.writes = static_cast<uint32_t*>(w);
        real_close(wfd);
    }
    return true;
}

// Holds the chip against the other processes of the phone.
class chip_guard {
public:
    chip_guard() : hold_(chip().lock) { flock(chip().fd, LOCK_EX); }
    ~chip_guard() { flock(chip().fd, LOCK_UN); }
    chip_guard(const chip_guard&) = delete;
    chip_guard& operator=(const chip_guard&) = delete;

private:
    std::lock_guard<std::mutex> hold_;
};

struct window {
    uint32_t start = 0; // chip offset
    uint32_t size = 0;
};

// The partition windows of this boot: "N start end" lines with chip
// addresses, as the boot environment gave them. A relocation in any
// process of the phone replaces the file (write_window), so the parsed
// table is kept while the file's identity and time stay the same: a burn
// asks for its window on every 64 KiB it erases and writes.
struct window_table {
    std::mutex lock;
    bool loaded = false;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime = {};
    off_t size = 0;
    bool found[phone::kPartitions] = {};
    window windows[phone::kPartitions];
};

window_table& windows()
{
    static auto* t = new window_table;
    return *t;
}

bool parse_windows(window_table* t)
{
    FILE* f = nullptr;
    const int fd = real_open(phone::kWindows, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0 || (f = fdopen(fd, "r")) == nullptr) {
        if (fd >= 0) real_close(fd);
        return false;
    }
    for (bool& b : t->found) b = false;
    int n = 0;
    unsigned start = 0, end = 0;
    while (fscanf(f, "%d %x %x", &n, &start, &end) == 3) {
        if (n >= 0 && n < phone::kPartitions && start >= phone::kChipBase && end >= start &&
            end - phone::kChipBase <= phone::kChipSize) {
            t->windows[n] = window{start - phone::kChipBase, end - start};
            t->found[n] = true;
        }
    }
    fclose(f);
    return true;
}

bool read_window(int index, window* w)
{
    if (index < 0 || index >= phone::kPartitions) return false;
    window_table& t = windows();
    std::lock_guard<std::mutex> hold(t.lock);
    struct stat st;
    if (stat(phone::kWindows, &st) < 0) {
        t.loaded = false;
        return false;
    }
    const bool same = t.loaded && st.st_dev == t.dev && st.st_ino == t.ino &&
                      st.st_size == t.size && st.st_mtim.tv_sec == t.mtime.tv_sec &&
                      st.st_mtim.tv_nsec == t.mtime.tv_nsec;
    if (!same) {
        t.loaded = parse_windows(&t);
        if (!t.loaded) return false;
        t.dev = st.st_dev;
        t.ino = st.st_ino;
        t.size = st.st_size;
        t.mtime = st.st_mtim;
    }
    if (!t.found[index]) return false;
    *w = t.windows[index];
    return true;
}

// Records partition `index`'s new window for every process of the phone.
// False (errno set) when the record could not be replaced whole.
bool write_window(int index, const window& w)
{
    std::string text;
    for (int n = 0; n < phone::kPartitions; ++n) {
        window cur;
        if (n == index)
            cur = w;
        else if (!read_window(n, &cur))
            continue;
        char line[64];
        snprintf(line, sizeof line, "%d 0x%08x 0x%08x\n", n, cur.start + phone::kChipBase,
                 cur.start + cur.size + phone::kChipBase);
        text += line;
    }
    const std::string tmp = std::string(phone::kWindows) + ".new";
    const int fd = real_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        errno = EIO;
        return false;
    }
    const bool written =
        real_write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool closed = real_close(fd) == 0;
    if (!written || !closed || rename(tmp.c_str(), phone::kWindows) != 0) {
        unlink(tmp.c_str());
        errno = EIO;
        return false;
    }
    return true;
}

// The chip is busy with an operation: the time it takes, logged and slept
// (every sleep of the phone is scaled by its time scale).
void busy(const open_device& d, const char* what, uint64_t us)
{
    if (us == 0) return;
    run_log("flash.log",
            "busy mtd" + std::to_string(d.index) + " " + what + " " + std::to_string(us));
    chip_busy(us);
}

std::string hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%x", v);
    return b;
}

int mtd_erase(const open_device& d, const erase_record& e)
{
    window w;
    if (!read_window(d.index, &w)) {
        errno = ENODEV;
        return -1;
    }
    const uint32_t es = cfg().erasesize;
    if (es == 0 || e.length == 0 || e.start % es != 0 || e.length % es != 0 ||
        uint64_t{e.start} + e.length > w.size) {
        run_log("flash.log", "erase-refused mtd" + std::to_string(d.index) + " " + hex(e.start) +
                                 " " + hex(e.length));
        errno = EINVAL;
        return -1;
    }
    {
        chip_guard g;
        memset(chip().bytes + w.start + e.start, 0xFF, e.length);
        if (chip().erase_counts != nullptr) {
            for (uint32_t off = 0; off < e.length; off += phone::kEraseBlock)
                ++chip().erase_counts[(w.start + e.start + off) / phone::kEraseBlock];
        }
        run_log("flash.log",
                "erase mtd" + std::to_string(d.index) + " " + hex(e.start) + " " + hex(e.length));
    }
    busy(d, "erase", uint64_t{cfg().erase_block_us} * (e.length / phone::kEraseBlock));
    return 0;
}

int relocate(const open_device& d, const uint32_t* req)
{
    if (!cfg().relocation) {
        errno = ENOTTY;
        return -1;
    }
    const uint32_t offset = req[0], size = req[1];
    if (size == 0 || uint64_t{offset} + size > phone::kChipSize ||
        offset % phone::kEraseBlock != 0) {
        errno = EINVAL;
        return -1;
    }
    // Under the chip's lock: no other process reads the windows half way.
    if (!map_chip()) {
        errno = EIO;
        return -1;
    }
    chip_guard g;
    if (!write_window(d.index, window{offset, size})) {
        run_log("flash.log", "relocate-failed mtd" + std::to_string(d.index));
        return -1;
    }
    run_log("flash.log",
            "relocate mtd" + std::to_string(d.index) + " " + hex(offset) + " " + hex(size));
    // A platform that records the move in the boot environment at once:
    // the next boot finds the partition at its new place.
    if (cfg().relocation_persists) {
        char line[64];
        snprintf(line, sizeof line, "mtd%d 0x%08x,0x%08x\n", d.index, offset + phone::kChipBase,
                 offset + size + phone::kChipBase);
        const int fd = real_open(classify("/proc/avalanche/env").redirect.c_str(), O_WRONLY, 0);
        const bool recorded = fd >= 0 && real_write(fd, line, strlen(line)) > 0;
        if (fd >= 0) real_close(fd);
        if (!recorded) {
            errno = EIO;
            return -1;
        }
    }
    return 0;
}

int mtd_ioctl(const open_device& d, unsigned long request, void* arg)
{
    const bool needs_arg = request != kRelocQuery && request != kRelocQueryHost;
    if (needs_arg && arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (request == kMemGetInfo || request == kMemGetInfoHost) {
        window w;
        if (!read_window(d.index, &w)) {
            errno = ENODEV;
            return -1;
        }
        mtd_info_record info{};
        info.type = kMtdNorFlash;
        info.flags = kMtdCapNor;
        info.size = w.size;
        info.erasesize = cfg().erasesize;
        info.writesize = 1;
        memcpy(arg, &info, sizeof info);
        return 0;
    }
    if (request == kMemErase || request == kMemEraseHost) {
        erase_record e;
        memcpy(&e, arg, sizeof e);
        return mtd_erase(d, e);
    }
    if (request == kRelocQuery || request == kRelocQueryHost) {
        if (cfg().relocation) return 0;
        errno = ENOTTY;
        return -1;
    }
    if (request == kRelocate || request == kRelocateHost) {
        uint32_t req[2];
        memcpy(req, arg, sizeof req);
        return relocate(d, req);
    }
    errno = ENOTTY;
    return -1;
}

bool framebuffer_is_gtype()
{
    char text[128] = {};
    const int fd = real_open(phone::kHwver, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return true;
    (void)real_read(fd, text, sizeof text - 1);
    real_close(fd);
    return phone::hwver_is_gtype(text);
}

// The panel's memory size, from the configuration or the hardware version.
// Worked out afresh rather than read from the file's size, which another
// process opening the panel at the same moment may be setting.
uint32_t framebuffer_size()
{
    if (cfg().fb_size != 0) return cfg().fb_size;
    return framebuffer_is_gtype() ? phone::kFbSize16 : phone::kFbSize4;
}

int fb_ioctl(int fd, unsigned long request, void* arg)
{
    struct stat st;
    if (fstat(fd, &st) < 0) return -1;
    const uint32_t size = framebuffer_size();
    const bool g = size == phone::kFbSize16;
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (request == FBIOGET_VSCREENINFO) {
        fb_var_screeninfo v{};
        v.xres = v.xres_virtual = phone::kLcdWidth;
        v.yres = v.yres_virtual = phone::kLcdHeight;
        v.bits_per_pixel = g ? 16 : 4;
        v.grayscale = 1;
        memcpy(arg, &v, sizeof v);
        return 0;
    }
    if (request == FBIOGET_FSCREENINFO) {
        fb_fix_screeninfo f{};
        snprintf(f.id, sizeof f.id, "phone-lcd");
        f.smem_len = size;
        f.type = FB_TYPE_PACKED_PIXELS;
        f.visual = FB_VISUAL_MONO10;
        f.line_length = g ? phone::kLcdWidth * 2 : phone::kLcdWidth / 2;
        memcpy(arg, &f, sizeof f);
        return 0;
    }
    if (request == FBIOPUT_VSCREENINFO) return 0;
    errno = ENOTTY;
    return -1;
}

// The misc device's settable values: LED mask, backlight, extension LED.
struct misc_values {
    int led = 0;
    int backlight = 0;
    int ext_led = 0;
};

misc_values misc_load()
{
    misc_values v;
    const int fd = real_open(phone::kMiscState, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return v;
    char text[96] = {};
    (void)real_read(fd, text, sizeof text - 1);
    real_close(fd);
    sscanf(text, "%d %d %d", &v.led, &v.backlight, &v.ext_led);
    return v;
}

void misc_save(const misc_values& v)
{
    const int fd = real_open(phone::kMiscState, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string t = std::to_string(v.led) + " " + std::to_string(v.backlight) + " " +
                          std::to_string(v.ext_led) + "\n";
    (void)real_write(fd, t.data(), t.size());
    real_close(fd);
}

int misc_ioctl(unsigned long request, void* arg)
{
    const int value = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    misc_values v = misc_load();
    switch (request) {
    case kMiscWatchdog: run_log("misc.log", "watchdog " + std::to_string(value)); return 0;
    case kMiscSetLed:
        v.led = value;
        misc_save(v);
        run_log("misc.log", "led " + hex(static_cast<uint32_t>(value)));
        return 0;
    case kMiscSetBacklight:
        v.backlight = value;
        misc_save(v);
        run_log("misc.log", "backlight " + std::to_string(value));
        return 0;
    case kMiscSetExtLed:
        v.ext_led = value;
        misc_save(v);
        run_log("misc.log", "ext_led " + std::to_string(value));
        return 0;
    case kMiscGetLed:
        if (arg == nullptr) break;
        memcpy(arg, &v.led, sizeof v.led);
        run_log("misc.log", "get_led");
        return 0;
    case kMiscGetBacklight:
        if (arg == nullptr) break;
        memcpy(arg, &v.backlight, sizeof v.backlight);
        run_log("misc.log", "get_backlight");
        return 0;
    default:
        run_log("misc.log", "unknown " + hex(static_cast<uint32_t>(request)));
        errno = ENOTTY;
        return -1;
    }
    errno = EFAULT;
    return -1;
}

int open_keypad(int flags)
{
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", phone::kKeypadSocket);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        real_close(fd);
        errno = ENODEV;
        return -1;
    }
    if ((flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, O_NONBLOCK);
    if ((flags & O_CLOEXEC) == 0) fcntl(fd, F_SETFD, 0);
    return fd;
}

#ifdef __UCLIBC__
// uClibc-ng has the system call but no function for it.
int memfd_create(const char* name, unsigned int flags)
{
    return static_cast<int>(syscall(SYS_memfd_create, name, flags));
}
#endif

// A block device read gives the partition as it is now; later writes to
// the flash do not show through an open block device.
int open_mtdblock(int index)
{
    window w;
    if (!map_chip() || !read_window(index, &w)) {
        errno = ENXIO;
        return -1;
    }
    const int fd = memfd_create("mtdblock", 0);
    if (fd < 0) return -1;
    chip_guard g;
    const uint8_t* p = chip().bytes + w.start;
    for (uint32_t done = 0; done < w.size;) {
        const ssize_t n = real_write(fd, p + done, w.size - done);
        if (n <= 0) {
            real_close(fd);
            errno = EIO;
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

int open_framebuffer(int flags)
{
    const off_t size = static_cast<off_t>(framebuffer_size());
    const int fd = real_open(phone::kFramebuffer, O_RDWR | O_CREAT | (flags & O_CLOEXEC), 0644);
    if (fd < 0) {
        errno = ENODEV;
        return -1;
    }
    struct stat st;
    // One resize, never through an empty file: a process that has the
    // panel mapped must not see its pages vanish while another opens it.
    if (fstat(fd, &st) == 0 && st.st_size != size) {
        if (ftruncate(fd, size) < 0) {
            real_close(fd);
            errno = EIO;
            return -1;
        }
    }
    return fd;
}

// The power goes: the phone's first process stops every process. This one
// waits for it, so that nothing runs on after the cut.
[[noreturn]] void power_cut()
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", phone::kControlSocket);
    const char msg[] = "power-cut";
    if (fd >= 0 &&
        sendto(fd, msg, sizeof msg - 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) > 0) {
        for (;;) pause();
    }
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

} // namespace

uint64_t mtd_size(int index)
{
    window w;
    return read_window(index, &w) ? w.size : 0;
}

int open_device_path(const target& t, const char* path, int flags)
{
    int fd = -1;
    switch (t.k) {
    case kind::mtd:
        if (!map_chip() || mtd_size(t.index) == 0) {
            errno = ENXIO;
            return -1;
        }
        fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
        break;
    case kind::mtdblock: return open_mtdblock(t.index);
    case kind::fb: fd = open_framebuffer(flags); break;
    case kind::misc: fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0); break;
    case kind::keypad: fd = open_keypad(flags); break;
    case kind::none:
    case kind::socket: errno = ENOENT; return -1;
    }
    if (fd < 0) return -1;
    open_device d;
    d.k = t.k;
    d.index = t.index;
    d.path = path;
    track(fd, d);
    return fd;
}

int device_ioctl(int fd, const open_device& d, unsigned long request, void* arg)
{
    switch (d.k) {
    case kind::mtd: return mtd_ioctl(d, request, arg);
    case kind::fb: return fb_ioctl(fd, request, arg);
    case kind::misc: return misc_ioctl(request, arg);
    default: return real_ioctl(fd, request, arg);
    }
}

ssize_t mtd_read(const open_device& d, void* buf, size_t n, uint64_t pos)
{
    window w;
    if (!map_chip() || !read_window(d.index, &w)) {
        errno = EIO;
        return -1;
    }
    if (pos >= w.size) return 0;
    const size_t len = static_cast<size_t>(std::min<uint64_t>(n, w.size - pos));
    chip_guard g;
    memcpy(buf, chip().bytes + w.start + pos, len);
    return static_cast<ssize_t>(len);
}

ssize_t mtd_write(const open_device& d, const void* buf, size_t n, uint64_t pos, bool stuck)
{
    window w;
    if (!map_chip() || !read_window(d.index, &w)) {
        errno = EIO;
        return -1;
    }
    if (pos >= w.size) {
        errno = ENOSPC;
        return -1;
    }
    size_t len = static_cast<size_t>(std::min<uint64_t>(n, w.size - pos));
    const auto* src = static_cast<const uint8_t*>(buf);
    uint32_t writes = 0;
    bool cut = false;
    {
        chip_guard g;
        if (chip().writes != nullptr) writes = *chip().writes + 1;
        cut = cfg().power_cut_after_writes > 0 &&
              writes == static_cast<uint32_t>(cfg().power_cut_after_writes);
        // A torn write: the power goes while the chip programs, and only
        // the first bytes of this write reach it.
        const size_t programmed = cut && cfg().power_cut_torn_bytes > 0
                                      ? std::min<size_t>(len, cfg().power_cut_torn_bytes)
                                      : len;
        uint8_t* dst = chip().bytes + w.start + pos;
        // NOR programming only clears bits: a byte that needs a 0 turned
        // into a 1 was not erased. The AND of all bytes is 0xFF only when
        // every one is erased (a loop the compiler widens); only then is
        // nothing to count.
        uint8_t all = 0xFF;
        for (size_t i = 0; i < programmed; ++i) all &= dst[i];
        size_t violations = 0, first = 0;
        if (all != 0xFF) {
            for (size_t i = 0; i < programmed; ++i) {
                if ((src[i] & static_cast<uint8_t>(~dst[i])) == 0) continue;
                if (violations++ == 0) first = i;
            }
        }
        const std::string where =
            "mtd" + std::to_string(d.index) + " " + hex(static_cast<uint32_t>(pos));
        if (violations > 0) {
            run_log("flash.log", "violation " + where + " " + std::to_string(violations) +
                                     " bytes not erased, first at chip " +
                                     hex(static_cast<uint32_t>(w.start + pos + first)));
            if (cfg().nor_strict) {
                errno = EIO;
                return -1;
            }
        }
        for (size_t i = 0; i < programmed; ++i) dst[i] = static_cast<uint8_t>(dst[i] & src[i]);
        if (stuck) {
            // A worn cell: the lowest 1 bit of the first byte that has one
            // stays 0.
            size_t i = 0;
            while (i < programmed && dst[i] == 0) ++i;
            if (i < programmed) {
                dst[i] = static_cast<uint8_t>(dst[i] & (dst[i] - 1));
                run_log("flash.log",
                        "stuck " + where + " at " + hex(static_cast<uint32_t>(pos + i)));
            }
        }
        if (cut && programmed < len) {
            run_log("flash.log", "torn " + where + " " + hex(static_cast<uint32_t>(programmed)) +
                                     " of " + hex(static_cast<uint32_t>(len)));
            len = programmed;
        }
        run_log("flash.log", "write " + where + " " + hex(static_cast<uint32_t>(len)));
        if (chip().writes != nullptr) *chip().writes = writes;
    }
    busy(d, "write", uint64_t{cfg().program_word_us} * ((len + 1) / 2));
    if (cut) {
        run_log("flash.log", "power-cut after write " + std::to_string(writes));
        msync(chip().bytes, phone::kChipSize, MS_SYNC);
        power_cut();
    }
    return static_cast<ssize_t>(len);
}

} // namespace devlayer
