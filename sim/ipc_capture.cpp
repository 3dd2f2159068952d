// sim/ipc_capture.cpp - receiving the phone's IPC messages.
#include "ipc_capture.h"

#include "sys_error.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kFirstId = 1;
constexpr int kLastId = 12;
constexpr size_t kMaxMessage = 2068;

} // namespace

ipc_capture::ipc_capture()
{
    mkdir("/var/ipc", 0755);
    for (int id = kFirstId; id <= kLastId; ++id) {
        const std::string path = "/var/ipc/" + std::to_string(id);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sim_check(fd, "socket", path);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        unlink(path.c_str());
        sim_check(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), "bind", path);
        sim_check(listen(fd, 16), "listen", path);
        listeners_.emplace_back(fd, id);
    }
}

ipc_capture::~ipc_capture()
{
    for (auto& [fd, id] : listeners_) close(fd);
    for (auto& c : conns_) close(c.fd);
}

std::vector<int> ipc_capture::fds() const
{
    std::vector<int> out;
    for (const auto& [fd, id] : listeners_) out.push_back(fd);
    for (const auto& c : conns_) out.push_back(c.fd);
    return out;
}

void ipc_capture::serve(int64_t now_ms, std::vector<ipc_message>& out)
{
    for (const auto& [fd, id] : listeners_) {
        int c;
        while ((c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0)
            conns_.push_back({c, id, {}});
    }
    for (size_t i = 0; i < conns_.size();) {
        conn& c = conns_[i];
        char buf[kMaxMessage];
        bool done = false;
        for (;;) {
            const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            if (n > 0) {
                c.bytes.append(buf, static_cast<size_t>(n));
                if (c.bytes.size() >= kMaxMessage) done = true; // a sender never sends more
                if (!done) continue;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                done = true;
            }
            break;
        }
        if (done) {
            if (c.bytes.size() > kMaxMessage) c.bytes.resize(kMaxMessage);
            out.push_back(ipc_decode(c.receiver, c.bytes, now_ms));
            close(c.fd);
            conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}
