// sim/supervisor.cpp - the phone's first process: runs the program, serves
// /dev/log, reaps children.
#include "supervisor.h"

#include "sys_error.h"
#include "syslog_record.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kLogSocket = "/dev/log";
constexpr size_t kMaxDatagram = 65536;

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int bind_log_socket()
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sim_check(fd, "socket", kLogSocket);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kLogSocket);
    unlink(kLogSocket);
    sim_check(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), "bind", kLogSocket);
    chmod(kLogSocket, 0666);
    // A burst of log lines must not be dropped while the loop writes files.
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

// Appends each captured message to the run's JSON lines and text files.
class log_sink {
public:
    explicit log_sink(const std::string& run_dir)
        : json_(fopen((run_dir + "/syslog.jsonl").c_str(), "a")),
          text_(fopen((run_dir + "/syslog.txt").c_str(), "a"))
    {
        if (json_ == nullptr || text_ == nullptr) sim_throw("open", run_dir + "/syslog.*");
    }
    ~log_sink()
    {
        fclose(json_);
        fclose(text_);
    }
    log_sink(const log_sink&) = delete;
    log_sink& operator=(const log_sink&) = delete;

    void add(const syslog_record& r)
    {
        fprintf(json_, "%s\n", syslog_to_json(r).dump().c_str());
        fflush(json_);
        fprintf(text_, "%8.3f %s.%s %s: %s%s", static_cast<double>(r.t_ms) / 1000.0,
                syslog_facility_name(r.facility), syslog_level_name(r.level), r.tag.c_str(),
                r.msg.c_str(), (!r.msg.empty() && r.msg.back() == '\n') ? "" : "\n");
        fflush(text_);
    }

private:
    FILE* json_;
    FILE* text_;
};

void drain_log(int fd, log_sink& sink, int64_t t0)
{
    std::string buf(kMaxDatagram, '\0');
    for (;;) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) return;
        sink.add(syslog_parse(buf.substr(0, static_cast<size_t>(n)), now_ms() - t0));
    }
}

pid_t start_program(const supervisor_request& req)
{
    std::vector<char*> argv;
    for (const auto& a : req.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : req.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = fork();
    sim_check(pid, "fork", req.argv.empty() ? "" : req.argv[0]);
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        fprintf(stderr, "phonesim: exec %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    return pid;
}

int status_code(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

boot_result supervisor_run(const supervisor_request& req)
{
    const int64_t t0 = now_ms();
    log_sink sink(req.run_dir);
    const int log_fd = bind_log_socket();
    boot_result result;
    const pid_t program = start_program(req);
    bool program_ended = false;

    for (;;) {
        pollfd fds[] = {{log_fd, POLLIN, 0}};
        poll(fds, 1, 20);
        drain_log(log_fd, sink, t0);

        // Reap the program and whatever became an orphan of this phone.
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            if (pid == program) {
                result.exit_status = status_code(status);
                program_ended = true;
            }
        }
        // The run is the program's: when it has ended, the phone powers off
        // and takes whatever the program left running with it.
        if (program_ended || (pid < 0 && errno == ECHILD)) break;
        if (req.time_limit_ms > 0 && now_ms() - t0 > req.time_limit_ms) {
            result.timed_out = true;
            break;
        }
    }
    // Power off: whatever still runs ends now.
    kill(-1, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {}
    drain_log(log_fd, sink, t0);
    close(log_fd);
    return result;
}
