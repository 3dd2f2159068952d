// sim/preload/state.cpp - configuration, fault rules, the descriptor table,
// path classification and the run's logs.
#include "devlayer.h"

#include "layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace devlayer {

namespace {

constexpr int kMaxFd = 4096;
constexpr size_t kMaxFaultRules = 64;

// The layer's state is made on first use and never destroyed: libc calls
// arrive before static constructors and after static destructors run.
struct layer_state {
    std::mutex lock;
    config conf;
    struct timespec conf_mtime = {};
    bool conf_loaded = false;
    open_device fds[kMaxFd];
    uint32_t* fault_counts = nullptr; // calls per rule, shared by the phone's processes
};

layer_state& G()
{
    static layer_state* s = new layer_state;
    return *s;
}

std::string next_word(const char*& p)
{
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') ++p;
    return std::string(start, static_cast<size_t>(p - start));
}

std::string rest_of_line(const char* p)
{
    while (*p == ' ' || *p == '\t') ++p;
    std::string s(p);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// One line of devices.conf.
void parse_line(config& c, const char* line)
{
    const char* p = line;
    const std::string key = next_word(p);
    if (key == "erasesize")
        c.erasesize = static_cast<uint32_t>(strtoul(next_word(p).c_str(), nullptr, 0));
    else if (key == "fb_size")
        c.fb_size = static_cast<uint32_t>(strtoul(next_word(p).c_str(), nullptr, 0));
    else if (key == "relocation")
        c.relocation = next_word(p) == "1";
    else if (key == "relocation_persists")
        c.relocation_persists = next_word(p) == "1";
    else if (key == "flash_timing") {
        // Numonyx M29W400D, typical: 0.8 s per 64 KB block erase, 10 us per
        // byte or word program.
        if (next_word(p) == "typical") {
            c.erase_block_us = 800000;
            c.program_word_us = 10;
        }
    } else if (key == "nor_strict")
        c.nor_strict = next_word(p) == "1";
    else if (key == "time_scale")
        c.time_scale = strtod(next_word(p).c_str(), nullptr);
    else if (key == "power_cut_after_writes")
        c.power_cut_after_writes = atoi(next_word(p).c_str());
    else if (key == "power_cut_torn_bytes")
        c.power_cut_torn_bytes = static_cast<uint32_t>(strtoul(next_word(p).c_str(), nullptr, 0));
    else if (key == "fault") {
        fault_rule r;
        r.op = next_word(p);
        if (r.op == "command") {
            const int code = atoi(next_word(p).c_str());
            c.command_faults.emplace_back(code, rest_of_line(p));
            return;
        }
        r.path = next_word(p);
        if (r.op == "ioctl") r.request = strtoul(next_word(p).c_str(), nullptr, 0);
        if (r.op != "missing") {
            r.nth = atoi(next_word(p).c_str());
            const std::string e = next_word(p);
            if (!e.empty()) r.err = atoi(e.c_str());
        }
        c.faults.push_back(r);
    }
}

void load_locked()
{
    struct stat st;
    if (stat(phone::kDevicesConf, &st) < 0) {
        if (!G().conf_loaded) G().conf = config{};
        G().conf_loaded = true;
        return;
    }
    if (G().conf_loaded && st.st_mtim.tv_sec == G().conf_mtime.tv_sec &&
        st.st_mtim.tv_nsec == G().conf_mtime.tv_nsec)
        return;
    config c;
    const int fd = real_open(phone::kDevicesConf, O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = real_read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
        real_close(fd);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            parse_line(c, text.substr(start, end - start).c_str());
            start = end + 1;
        }
    }
    // Counts of calls already seen survive a reload of unchanged rules.
    for (auto& r : c.faults) {
        for (const auto& old : G().conf.faults) {
            if (old.op == r.op && old.path == r.path && old.request == r.request &&
                old.nth == r.nth)
                r.seen = old.seen;
        }
    }
    G().conf = c;
    G().conf_mtime = st.st_mtim;
    G().conf_loaded = true;
}

// The command a process runs: the text after "sh -c", or its arguments.
std::string own_command()
{
    char buf[8192];
    const int fd = real_open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return "";
    const ssize_t n = real_read(fd, buf, sizeof buf - 1);
    real_close(fd);
    if (n <= 0) return "";
    std::vector<std::string> args(1);
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\0')
            args.emplace_back();
        else
            args.back() += buf[i];
    }
    if (args.back().empty()) args.pop_back();
    if (args.size() >= 3 && args[1] == "-c") return args[2];
    std::string cmd;
    for (const auto& a : args) cmd += (cmd.empty() ? "" : " ") + a;
    return cmd;
}

// A command that a rule makes fail ends at once with the rule's exit
// code: the shell started for it, and the tool itself.
__attribute__((constructor)) void apply_command_faults()
{
    load_config();
    if (cfg().command_faults.empty()) return;
    const std::string cmd = own_command();
    for (const auto& [code, text] : cfg().command_faults) {
        if (!text.empty() && cmd.rfind(text, 0) == 0) {
            run_log("faults.log", "command \"" + text + "\" exit " + std::to_string(code));
            _exit(code);
        }
    }
}

} // namespace

config& cfg()
{
    return G().conf;
}

void load_config()
{
    std::lock_guard<std::mutex> hold(G().lock);
    load_locked();
}

// Counts are kept per rule (by its place in devices.conf) for the whole
// boot, so that "the Nth call" means the same whichever process makes it.
uint32_t* shared_fault_counts()
{
    if (G().fault_counts != nullptr) return G().fault_counts;
    const int fd = real_open(phone::kFaultCounts, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    void* m =
        mmap(nullptr, kMaxFaultRules * sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    real_close(fd);
    if (m != MAP_FAILED) G().fault_counts = static_cast<uint32_t*>(m);
    return G().fault_counts;
}

namespace {

// A read or a write request in the other architecture's encoding: MIPS
// and x86 differ only in which of the two top bits marks the direction,
// so a rule written with either number catches the phone's and the host's.
unsigned long swapped_direction(unsigned long request)
{
    const unsigned long dir = request & 0xC0000000UL;
    if ((request & 0x20000000UL) != 0 || (dir != 0x40000000UL && dir != 0x80000000UL))
        return request;
    return (request & ~0xC0000000UL) | (dir ^ 0xC0000000UL);
}

} // namespace

fault_rule* match_fault(const char* op, const std::string& path, unsigned long request)
{
    std::lock_guard<std::mutex> hold(G().lock);
    uint32_t* counts = shared_fault_counts();
    // Every rule for this call counts it, so that rules for the 1st, 2nd
    // and 3rd call each see their own.
    fault_rule* fired = nullptr;
    for (size_t i = 0; i < G().conf.faults.size(); ++i) {
        fault_rule& r = G().conf.faults[i];
        if (r.op != op || r.path != path) continue;
        if (r.request != 0 && r.request != request && swapped_direction(r.request) != request)
            continue;
        if (counts != nullptr && i < kMaxFaultRules)
            r.seen = static_cast<int>(__atomic_add_fetch(&counts[i], 1U, __ATOMIC_SEQ_CST));
        else
            ++r.seen;
        if (r.seen == r.nth && fired == nullptr) {
            run_log("faults.log", std::string(op) + " " + path + " call " + std::to_string(r.seen) +
                                      (r.op == "short" ? " writes only " : " fails with errno ") +
                                      std::to_string(r.err));
            fired = &r;
        }
    }
    return fired;
}

bool is_missing(const std::string& path)
{
    std::lock_guard<std::mutex> hold(G().lock);
    for (const auto& r : G().conf.faults)
        if (r.op == "missing" && r.path == path) return true;
    return false;
}

target classify(const char* path)
{
    target t;
    if (strncmp(path, "/dev/", 5) == 0) {
        const char* d = path + 5;
        int n = -1;
        char extra = 0;
        if (sscanf(d, "mtd%d%c", &n, &extra) == 1 && n >= 0 && n < phone::kPartitions &&
            strlen(d) == (n >= 10 ? 5U : 4U)) {
            t.k = kind::mtd;
            t.index = n;
        } else if ((sscanf(d, "mtdblock/%d%c", &n, &extra) == 1 ||
                    sscanf(d, "mtdblock%d%c", &n, &extra) == 1) &&
                   n >= 0 && n < phone::kPartitions) {
            t.k = kind::mtdblock;
            t.index = n;
        } else if (strcmp(d, "fb0") == 0) {
            t.k = kind::fb;
        } else if (strcmp(d, "misc0") == 0) {
            t.k = kind::misc;
        } else if (strcmp(d, "input/event0") == 0) {
            t.k = kind::keypad;
        }
        return t;
    }
    if (strcmp(path, "/proc/avalanche/env") == 0)
        t.redirect = "/.platform/avalanche/env";
    else if (strcmp(path, "/proc/glcd/refresh") == 0)
        t.redirect = "/.platform/glcd/refresh";
    else if (strcmp(path, "/proc/misc/hwver") == 0)
        t.redirect = phone::kHwver;
    else if (strcmp(path, "/proc/ver/software") == 0)
        t.redirect = phone::kSoftware;
    return t;
}

void track(int fd, const open_device& d)
{
    if (fd < 0 || fd >= kMaxFd) return;
    std::lock_guard<std::mutex> hold(G().lock);
    G().fds[fd] = d;
}

bool tracked(int fd, open_device* out)
{
    if (fd < 0 || fd >= kMaxFd) return false;
    std::lock_guard<std::mutex> hold(G().lock);
    if (G().fds[fd].k == kind::none) return false;
    *out = G().fds[fd];
    return true;
}

void set_pos(int fd, uint64_t pos)
{
    if (fd < 0 || fd >= kMaxFd) return;
    std::lock_guard<std::mutex> hold(G().lock);
    G().fds[fd].pos = pos;
}

void untrack(int fd)
{
    if (fd < 0 || fd >= kMaxFd) return;
    std::lock_guard<std::mutex> hold(G().lock);
    G().fds[fd] = open_device{};
}

int64_t phone_ms()
{
    const char* t0 = getenv("PHONESIM_T0_NS");
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const int64_t now = int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
    const int64_t start = t0 != nullptr ? strtoll(t0, nullptr, 10) : now;
    return (now - start) / 1000000;
}

namespace {

// The run's log files stay open: a burn logs every 64 KiB it erases and
// writes. The program may close a descriptor of ours or get its number for
// a file of its own; the file identity, checked before each use, tells.
struct log_file {
    std::string path;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

int log_fd(const std::string& path)
{
    static std::mutex* lock = new std::mutex;
    static auto* files = new std::vector<log_file>;
    std::lock_guard<std::mutex> hold(*lock);
    for (log_file& f : *files) {
        if (f.path != path) continue;
        struct stat st;
        if (fstat(f.fd, &st) == 0 && st.st_dev == f.dev && st.st_ino == f.ino) return f.fd;
        f.fd = -1; // no longer ours: leave it to the program
    }
    const int fd = real_open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) {
        if (fd >= 0) real_close(fd);
        return -1;
    }
    for (log_file& f : *files) {
        if (f.path == path) {
            f = log_file{path, fd, st.st_dev, st.st_ino};
            return fd;
        }
    }
    files->push_back(log_file{path, fd, st.st_dev, st.st_ino});
    return fd;
}

} // namespace

void run_log(const char* file, const std::string& line)
{
    const char* run = getenv("PHONESIM_RUN");
    if (run == nullptr) return;
    const int fd = log_fd(std::string(phone::kStateDir) + "/runs/" + run + "/" + file);
    if (fd < 0) return;
    const std::string text =
        std::to_string(phone_ms()) + " " + std::to_string(getpid()) + " " + line + "\n";
    (void)real_write(fd, text.data(), text.size());
}

} // namespace devlayer
