// sim/supervisor.cpp - the phone's first process: runs the program, serves
// the phone's sockets and platform files, reaps children, powers off.
#include "supervisor.h"

#include "env_store.h"
#include "ipc_capture.h"
#include "keypad_server.h"
#include "layout.h"
#include "platform_fs.h"
#include "proc_memory.h"
#include "run_report.h"
#include "sys_error.h"
#include "syslog_record.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The program logs bytes it read from files as they are: what is not UTF-8
// is written as U+FFFD rather than stopping the phone.
constexpr auto kReplaceBadUtf8 = nlohmann::json::error_handler_t::replace;

constexpr const char* kLogSocket = "/dev/log";
constexpr size_t kMaxDatagram = 65536;

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int bind_datagram(const char* path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sim_check(fd, "socket", path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    unlink(path);
    sim_check(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), "bind", path);
    chmod(path, 0666);
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
        fprintf(json_, "%s\n", syslog_to_json(r).dump(-1, ' ', false, kReplaceBadUtf8).c_str());
        fprintf(text_, "%8.3f %s.%s %s: %s%s", static_cast<double>(r.t_ms) / 1000.0,
                syslog_facility_name(r.facility), syslog_level_name(r.level), r.tag.c_str(),
                r.msg.c_str(), (!r.msg.empty() && r.msg.back() == '\n') ? "" : "\n");
    }
    // Once per batch of lines: a burst is written with a few calls.
    void flush()
    {
        fflush(json_);
        fflush(text_);
    }

private:
    FILE* json_;
    FILE* text_;
};

pid_t start_program(const supervisor_request& req, const std::vector<std::string>& env)
{
    std::vector<char*> argv;
    argv.reserve(req.boot.argv.size() + 1);
    for (const auto& a : req.boot.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = fork();
    sim_check(pid, "fork", req.boot.argv[0]);
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

// Everything the loop serves, and what it has seen.
class phone_services {
public:
    phone_services(const supervisor_request& req, int64_t t0_ns)
        : req_(req), t0_ns_(t0_ns), sink_(req.run_dir), frames_(req.run_dir)
    {
        mkdir(phone::kRunSockets, 0755);
        log_fd_ = bind_datagram(kLogSocket);
        control_fd_ = bind_datagram(phone::kControlSocket);
        keypad_ = std::make_unique<keypad_server>(phone::kKeypadSocket, req.boot.keys);
        if (req.boot.ipc_listen) ipc_ = std::make_unique<ipc_capture>();
        platform_fs_start({phone::kPlatformMount, std::string(phone::kStateDir) + "/env.txt",
                           phone::kFramebuffer, &frames_, [this] { return now_ms(); }});
    }
    ~phone_services()
    {
        platform_fs_stop();
        close(log_fd_);
        close(control_fd_);
    }
    phone_services(const phone_services&) = delete;
    phone_services& operator=(const phone_services&) = delete;

    int64_t now_ms() const { return (monotonic_ns() - t0_ns_) / 1000000; }

    // Waits up to `ms` for input and serves it.
    void serve(int ms)
    {
        std::vector<pollfd> fds = {
            {log_fd_, POLLIN, 0}, {control_fd_, POLLIN, 0}, {keypad_->listen_fd(), POLLIN, 0}};
        if (ipc_)
            for (int fd : ipc_->fds()) fds.push_back({fd, POLLIN, 0});
        poll(fds.data(), fds.size(), ms);
        drain_log();
        drain_control();
        keypad_->accept_reader();
        if (ipc_) ipc_->serve(now_ms(), facts.ipc);
        keypad_->tick(now_ms(), frames_.frames());
    }

    void drain_log()
    {
        std::string buf(kMaxDatagram, '\0');
        for (;;) {
            const ssize_t n = recv(log_fd_, buf.data(), buf.size(), 0);
            if (n < 0) {
                sink_.flush();
                return;
            }
            const syslog_record r = syslog_parse(buf.substr(0, static_cast<size_t>(n)), now_ms());
            sink_.add(r);
            keypad_->on_log(r.msg);
            facts.syslog.push_back(r);
        }
    }

    void drain_control()
    {
        char buf[1024];
        for (;;) {
            const ssize_t n = recv(control_fd_, buf, sizeof buf - 1, 0);
            if (n < 0) return;
            const std::string msg(buf, static_cast<size_t>(n));
            if (msg == "power-cut") power_cut = true;
            int code = 0, value = 0;
            if (std::sscanf(msg.c_str(), "key %d %d", &code, &value) == 2)
                keypad_->send_event(code, value, now_ms());
            if (msg.rfind("reboot", 0) == 0 && !facts.rebooted) {
                facts.rebooted = true;
                facts.reboot_command = msg.size() > 7 ? msg.substr(7) : "";
                facts.reboot_t_ms = now_ms();
            }
        }
    }

    void finish()
    {
        drain_log();
        if (ipc_) ipc_->serve(now_ms(), facts.ipc);
        facts.keys = keypad_->delivered();
        facts.refreshes = frames_.refreshes();
        facts.frames = frames_.frames();
    }

    run_facts facts;
    bool power_cut = false;

private:
    const supervisor_request& req_;
    int64_t t0_ns_;
    log_sink sink_;
    frame_recorder frames_;
    int log_fd_ = -1;
    int control_fd_ = -1;
    std::unique_ptr<keypad_server> keypad_;
    std::unique_ptr<ipc_capture> ipc_;
};

void power_off()
{
    kill(-1, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {}
}

} // namespace

boot_result supervisor_run(const supervisor_request& req)
{
    const int64_t t0 = monotonic_ns();
    const std::string env_path = std::string(phone::kStateDir) + "/env.txt";
    phone_services phone(req, t0);
    phone.facts.env_before = env_load(env_path);
    phone.facts.files_before = list_run_files();

    std::vector<std::string> env = req.env;
    env.push_back("PHONESIM_T0_NS=" + std::to_string(t0));
    if (req.boot.shm.enabled) shm_load_records(req.boot.shm);
    const pid_t program = start_program(req, env);
    bool program_ended = false;
    boot_result result;

    for (;;) {
        phone.serve(10);
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            if (pid == program) {
                result.exit_status = status_code(status);
                program_ended = true;
            }
        }
        const bool none_left = pid < 0 && errno == ECHILD;
        if (phone.power_cut) {
            phone.facts.ended_by = "power cut";
            break;
        }
        if (phone.facts.rebooted) {
            phone.facts.ended_by = "reboot";
            break;
        }
        if (none_left) {
            phone.facts.ended_by = "no process left";
            break;
        }
        if (program_ended && req.boot.end_with_program) {
            phone.facts.ended_by = "program ended";
            break;
        }
        if (req.boot.time_limit_ms > 0 && phone.now_ms() > req.boot.time_limit_ms) {
            phone.facts.ended_by = "time limit";
            result.timed_out = true;
            break;
        }
    }
    const int64_t end_ms = phone.now_ms();
    // The program's memory, while it still runs (a reboot leaves it waiting).
    if (!program_ended &&
        !write_process_memory(read_process_memory(program), req.run_dir + "/memory.json"))
        fprintf(stderr, "phonesim: %s/memory.json: %s\n", req.run_dir.c_str(), strerror(errno));
    power_off();
    phone.finish();
    if (!program_ended) result.exit_status = -1; // still running at power-off

    run_facts& f = phone.facts;
    f.exit_status = result.exit_status;
    f.timed_out = result.timed_out;
    f.duration_ms = end_ms;
    f.env_after = env_load(env_path);
    result.rebooted = f.rebooted;
    result.reboot_command = f.reboot_command;
    const std::string run_number = req.run_dir.substr(req.run_dir.rfind('/') + 1);
    f.run = std::stoi(run_number);
    const nlohmann::json report = build_report(f, req.run_dir);
    std::ofstream(req.run_dir + "/report.json")
        << report.dump(2, ' ', false, kReplaceBadUtf8) << "\n";
    return result;
}
