// tests/support/phone.cpp - reading what the simulated phone recorded.
#include "phone.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kSyncTag = "phonesim-sync";

std::string run_dir()
{
    const char* run = getenv("PHONESIM_RUN");
    const char* state = getenv("PHONESIM_STATE");
    if (run == nullptr || state == nullptr)
        throw std::runtime_error("not inside the simulated phone");
    return std::string(state) + "/runs/" + run;
}

// Sends one datagram to the socket at `path`.
void send_datagram(const char* path, const std::string& msg)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket for ") + path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    const ssize_t n =
        sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
    if (n < 0) throw std::runtime_error(std::string("send to ") + path + " failed");
}

std::vector<syslog_record> read_records(const std::string& path, const std::string& nonce,
                                        bool* found)
{
    std::vector<syslog_record> out;
    std::ifstream f(path);
    std::string line;
    *found = false;
    while (std::getline(f, line)) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded()) continue; // a line still being written
        syslog_record r = syslog_from_json(j);
        if (r.tag == kSyncTag) {
            if (r.msg == nonce) *found = true;
            continue;
        }
        out.push_back(std::move(r));
    }
    return out;
}

} // namespace

std::vector<syslog_record> phone_syslog()
{
    static int counter = 0;
    const std::string nonce = std::to_string(getpid()) + "." + std::to_string(++counter);
    // Straight to /dev/log, beside the process's own syslog connection, so
    // that the caller's state stays as it is.
    send_datagram("/dev/log", "<15>" + std::string(kSyncTag) + ": " + nonce);
    const std::string path = run_dir() + "/syslog.jsonl";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        bool found = false;
        std::vector<syslog_record> records = read_records(path, nonce, &found);
        if (found) return records;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the phone's syslog did not catch up");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int phone_syslog_count(int level, const std::string& msg)
{
    int n = 0;
    for (const auto& r : phone_syslog())
        if (r.level == level && r.msg == msg) ++n;
    return n;
}

int phone_logged(int level, const std::string& text)
{
    const std::string pid = std::to_string(getpid());
    return phone_syslog_count(level, "upgrader pid" + pid + ",tid" + pid + ",l" +
                                         std::to_string(level) + ": " + text);
}

void phone_add_fault(const std::string& rule)
{
    const std::string path = phone_state_path("devices.conf");
    phone_write_file(path, phone_read_file(path) + rule + "\n");
}

std::vector<std::string> phone_run_log(const std::string& name)
{
    std::vector<std::string> out;
    std::istringstream in(phone_read_file(run_dir() + "/" + name));
    std::string line;
    while (std::getline(in, line)) {
        // "<ms> <pid> <what>"
        const size_t a = line.find(' ');
        const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b != std::string::npos) out.push_back(line.substr(b + 1));
    }
    return out;
}

std::string phone_state_path(const std::string& relative)
{
    const char* state = getenv("PHONESIM_STATE");
    return std::string(state != nullptr ? state : "/.sim") + "/" + relative;
}

void phone_write_file(const std::string& path, const std::string& text, int mode)
{
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    const ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    fchmodat(AT_FDCWD, path.c_str(), static_cast<mode_t>(mode), 0);
    if (n != static_cast<ssize_t>(text.size())) throw std::runtime_error("cannot write " + path);
}

std::string phone_read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void phone_key_event(int code, int value)
{
    send_datagram("/var/run/phonesim/control.sock",
                  "key " + std::to_string(code) + " " + std::to_string(value));
}
