// sim/board/guest/cuse_device.cpp - the phone's platform devices on the
// emulated board, served from user space through the kernel's CUSE:
//
//   cuse_device misc LOG     /dev/misc0: the watchdog, LED and backlight
//                            requests, each written to LOG ("watchdog 0")
//   cuse_device env FILE     /dev/avalanche_env, which the board shows as
//                            /proc/avalanche/env: reads give the boot
//                            environment as "name\tvalue" lines, a written
//                            line "name value" sets a variable and "name"
//                            alone clears it; FILE holds the environment
//                            (read at start, rewritten after every change)
//
// Each stays in the foreground; start it with &. The misc requests pass
// their value as the ioctl argument itself, or (the getters) a pointer to
// an int, so the device asks for unrestricted ioctls and fetches a
// getter's int with the protocol's retry. CUSE gives every read the
// offset 0, so each open keeps its own position.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fuse.h>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kWatchdog = 0x80044D05U;
constexpr uint32_t kSetLed = 0x80044D07U;
constexpr uint32_t kGetLed = 0x40044D08U;
constexpr uint32_t kSetBacklight = 0x80044D09U;
constexpr uint32_t kGetBacklight = 0x40044D0AU;
constexpr uint32_t kSetExtLed = 0x80044D11U;

int g_cuse = -1;
bool g_env = false;
const char* g_path = nullptr; // misc: the log; env: the environment's file
int32_t g_led = 0, g_backlight = 0;
std::vector<std::pair<std::string, std::string>> g_vars;
std::map<uint64_t, uint64_t> g_pos; // read position per open
uint64_t g_next_fh = 1;
std::string g_pending; // env: written text not yet ended by a newline

std::string slurp(const char* path)
{
    std::string s;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    char buf[4096];
    ssize_t n = 0;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    if (fd >= 0) close(fd);
    return s;
}

void put_file(const char* path, const std::string& text, int flags)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) return;
    (void)!write(fd, text.data(), text.size());
    close(fd);
}

std::string env_text()
{
    std::string s;
    for (const auto& [name, value] : g_vars) s += name + "\t" + value + "\n";
    return s;
}

void env_line(const std::string& line)
{
    const size_t sep = line.find_first_of(" \t");
    const std::string name = line.substr(0, sep);
    if (name.empty()) return;
    std::string value = sep == std::string::npos ? "" : line.substr(sep + 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
    for (auto it = g_vars.begin(); it != g_vars.end(); ++it) {
        if (it->first != name) continue;
        if (sep == std::string::npos)
            g_vars.erase(it);
        else
            it->second = value;
        return;
    }
    if (sep != std::string::npos) g_vars.emplace_back(name, value);
}

// One reply: the header, then `n` bytes of `body` (may be null).
void reply(uint64_t unique, int error, const void* body, size_t n)
{
    std::vector<unsigned char> out(sizeof(fuse_out_header) + n);
    fuse_out_header h = {};
    h.len = static_cast<uint32_t>(out.size());
    h.error = error;
    h.unique = unique;
    std::memcpy(out.data(), &h, sizeof h);
    if (n > 0) std::memcpy(out.data() + sizeof h, body, n);
    if (write(g_cuse, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
        std::fprintf(stderr, "cuse_device: reply: %s\n", std::strerror(errno));
}

void init(uint64_t unique)
{
    unsigned char body[sizeof(cuse_init_out) + 32] = {};
    cuse_init_out o = {};
    o.major = FUSE_KERNEL_VERSION;
    o.minor = FUSE_KERNEL_MINOR_VERSION;
    o.flags = g_env ? 0 : CUSE_UNRESTRICTED_IOCTL;
    o.max_read = 4096;
    o.max_write = 4096;
    std::memcpy(body, &o, sizeof o);
    const char* name = g_env ? "DEVNAME=avalanche_env" : "DEVNAME=misc0";
    std::memcpy(body + sizeof o, name, std::strlen(name) + 1);
    reply(unique, 0, body, sizeof o + std::strlen(name) + 1);
}

void misc_ioctl(uint64_t unique, const fuse_ioctl_in& in)
{
    char line[80];
    fuse_ioctl_out out = {};
    const auto value = static_cast<int32_t>(in.arg);
    switch (in.cmd) {
    case kWatchdog: std::snprintf(line, sizeof line, "watchdog %d\n", value); break;
    case kSetLed:
        g_led = value;
        std::snprintf(line, sizeof line, "led 0x%x\n", static_cast<unsigned>(value));
        break;
    case kSetBacklight:
        g_backlight = value;
        std::snprintf(line, sizeof line, "backlight %d\n", value);
        break;
    case kSetExtLed: std::snprintf(line, sizeof line, "ext_led %d\n", value); break;
    case kGetLed:
    case kGetBacklight: {
        const int32_t v = in.cmd == kGetLed ? g_led : g_backlight;
        if (in.out_size < sizeof v) { // ask for the caller's int first
            unsigned char body[sizeof out + sizeof(fuse_ioctl_iovec)];
            const fuse_ioctl_iovec iov = {in.arg, sizeof v};
            out.flags = FUSE_IOCTL_RETRY;
            out.out_iovs = 1;
            std::memcpy(body, &out, sizeof out);
            std::memcpy(body + sizeof out, &iov, sizeof iov);
            reply(unique, 0, body, sizeof body);
            return;
        }
        unsigned char body[sizeof out + sizeof v];
        std::memcpy(body, &out, sizeof out);
        std::memcpy(body + sizeof out, &v, sizeof v);
        reply(unique, 0, body, sizeof body);
        put_file(g_path, in.cmd == kGetLed ? "led read\n" : "backlight read\n", O_APPEND);
        return;
    }
    default:
        std::snprintf(line, sizeof line, "unknown 0x%08x\n", static_cast<unsigned>(in.cmd));
        put_file(g_path, line, O_APPEND);
        reply(unique, -ENOTTY, nullptr, 0);
        return;
    }
    put_file(g_path, line, O_APPEND);
    reply(unique, 0, &out, sizeof out);
}

void env_read(uint64_t unique, const fuse_read_in& in)
{
    const std::string text = env_text();
    uint64_t& pos = g_pos[in.fh];
    const size_t at = pos < text.size() ? static_cast<size_t>(pos) : text.size();
    const size_t n = std::min<size_t>(in.size, text.size() - at);
    reply(unique, 0, text.data() + at, n);
    pos += n;
}

void env_write(uint64_t unique, const fuse_write_in& in, const unsigned char* data, size_t len)
{
    const size_t n = std::min<size_t>(in.size, len);
    g_pending.append(reinterpret_cast<const char*>(data), n);
    for (size_t nl; (nl = g_pending.find('\n')) != std::string::npos;) {
        env_line(g_pending.substr(0, nl));
        g_pending.erase(0, nl + 1);
    }
    put_file(g_path, env_text(), O_TRUNC);
    fuse_write_out out = {};
    out.size = static_cast<uint32_t>(n);
    reply(unique, 0, &out, sizeof out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "misc") != 0 && std::strcmp(argv[1], "env") != 0)) {
        std::fprintf(stderr, "usage: cuse_device misc LOG | cuse_device env FILE\n");
        return 2;
    }
    g_env = std::strcmp(argv[1], "env") == 0;
    g_path = argv[2];
    if (g_env) {
        const std::string text = slurp(g_path);
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            env_line(text.substr(start, nl - start));
    }
    g_cuse = open("/dev/cuse", O_RDWR | O_CLOEXEC);
    if (g_cuse < 0) {
        std::fprintf(stderr, "cuse_device: /dev/cuse: %s\n", std::strerror(errno));
        return 1;
    }
    static unsigned char buf[FUSE_MIN_READ_BUFFER + 65536];
    for (;;) {
        const ssize_t n = read(g_cuse, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == ENOENT)) continue; // an interrupted request
        if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) {
            std::fprintf(stderr, "cuse_device: read: %s\n", n < 0 ? std::strerror(errno) : "short");
            return 1;
        }
        fuse_in_header h;
        std::memcpy(&h, buf, sizeof h);
        const unsigned char* body = buf + sizeof h;
        const size_t body_len = static_cast<size_t>(n) - sizeof h;
        switch (h.opcode) {
        case CUSE_INIT: init(h.unique); break;
        case FUSE_OPEN: {
            fuse_open_out o = {};
            o.fh = g_next_fh++;
            g_pos[o.fh] = 0;
            reply(h.unique, 0, &o, sizeof o);
            break;
        }
        case FUSE_RELEASE:
            if (body_len >= sizeof(fuse_release_in)) {
                fuse_release_in in;
                std::memcpy(&in, body, sizeof in);
                g_pos.erase(in.fh);
            }
            reply(h.unique, 0, nullptr, 0);
            break;
        case FUSE_FLUSH: reply(h.unique, 0, nullptr, 0); break;
        case FUSE_IOCTL:
            if (!g_env && body_len >= sizeof(fuse_ioctl_in)) {
                fuse_ioctl_in in;
                std::memcpy(&in, body, sizeof in);
                misc_ioctl(h.unique, in);
            } else {
                reply(h.unique, -ENOTTY, nullptr, 0);
            }
            break;
        case FUSE_READ:
            if (g_env && body_len >= sizeof(fuse_read_in)) {
                fuse_read_in in;
                std::memcpy(&in, body, sizeof in);
                env_read(h.unique, in);
            } else {
                reply(h.unique, -EINVAL, nullptr, 0);
            }
            break;
        case FUSE_WRITE:
            if (g_env && body_len >= sizeof(fuse_write_in)) {
                fuse_write_in in;
                std::memcpy(&in, body, sizeof in);
                env_write(h.unique, in, body + sizeof in, body_len - sizeof in);
            } else {
                reply(h.unique, -EINVAL, nullptr, 0);
            }
            break;
        case FUSE_INTERRUPT: break; // no reply
        default: reply(h.unique, -ENOSYS, nullptr, 0);
        }
    }
}
