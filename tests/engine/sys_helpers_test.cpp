// System helpers: shell commands with time limits, reboot, killapps, signals.
#include "phone.h"
#include "sys_helpers.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// A line process `pid` logged at `level` ("l3" error, "l4" warning), as
// syslog records it.
std::string own_line(const char* level, const std::string& text, pid_t pid = getpid())
{
    return "upgrader pid" + std::to_string(pid) + ",tid" + std::to_string(pid) + "," + level +
           ": " + text;
}

std::string retry_line(const char* command, int attempt)
{
    return own_line("l4", "system_ex:" + std::string(command) + " retry " +
                              std::to_string(attempt) + " times...");
}

class SysHelpers : public ::testing::Test {
protected:
    void SetUp() override { rl_log_init("upgrader", 7); }
};

TEST_F(SysHelpers, TimedOutCommandIsKilledAndRetriedWithCountedWarnings)
{
    const char* cmd = "sleep 100";
    EXPECT_EQ(system_ex(cmd, 1, 2), -1);
    // Every attempt was killed and reaped: no sleep is left in the phone.
    EXPECT_EQ(system("for p in /proc/[0-9]*; do grep -q '^sleep' $p/cmdline 2>/dev/null && exit 1; "
                     "done; exit 0"),
              0);

    std::vector<std::string> warnings;
    for (const auto& r : phone_syslog())
        if (r.level == LOG_WARNING) warnings.push_back(r.msg);
    EXPECT_EQ(warnings, (std::vector<std::string>{retry_line(cmd, -1), retry_line(cmd, 0),
                                                  retry_line(cmd, 1)}));
}

// An exit code returns at once, without a retry. A command that ends at
// once is done in a small part of its time limit: the wait wakes when the
// child ends, not on the next whole second. One that ends during the later
// pauses of its attempt has not timed out, and without a time limit (below
// 1) the wait is as long as the command.
TEST_F(SysHelpers, TheExitCodeComesAsSoonAsTheCommandEnds)
{
    phone_write_file("/tmp/count.sh", "echo run >> /tmp/count\nexit 3\n");
    EXPECT_EQ(system_ex("sh /tmp/count.sh", 5, 3), 3);
    EXPECT_EQ(phone_read_file("/tmp/count"), "run\n");
    EXPECT_EQ(system_ex("true", 2, 0), 0);
    EXPECT_EQ(system_ex("/no/such/program", 2, 0), 127);
    EXPECT_EQ(system_ex(nullptr, 2, 0), -1);
    EXPECT_EQ(system_ex("kill -9 $$", 2, 0), -1); // died by a signal
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(system_ex("exit 7", 4, 3), 7);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    }
    EXPECT_EQ(system_ex("sleep 0.5; exit 6", 1, 0), 6);
    EXPECT_EQ(system_ex("sleep 1.5; exit 4", 0, 3), 4);
    EXPECT_EQ(system_ex("sleep 1.2; exit 5", -2, 0), 5);
    for (const auto& r : phone_syslog()) EXPECT_NE(r.level, LOG_WARNING) << r.msg;
    // Of system()'s results only exit code 0 is success.
    EXPECT_EQ(check_system_result(-1), -1);
    EXPECT_EQ(check_system_result(system("exit 0")), 0);
    EXPECT_EQ(check_system_result(system("exit 1")), -1);
    EXPECT_EQ(check_system_result(system("kill -9 $$")), -1);
}

TEST_F(SysHelpers, SignalSettingsAreTheSameAfterTheCall)
{
    struct sigaction mine = {};
    mine.sa_handler = signal_handler;
    sigaction(SIGINT, &mine, nullptr);
    signal(SIGQUIT, SIG_DFL);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_SETMASK, &block, nullptr);

    // While the command runs, the caller blocks SIGCHLD besides its own mask
    // and ignores SIGINT and SIGQUIT.
    EXPECT_EQ(system_ex("grep -q '^SigBlk:[[:space:]]*0*10200$' /proc/$PPID/status && "
                        "grep -q '^SigIgn:.*[67ef]$' /proc/$PPID/status",
                        2, 0),
              0);
    EXPECT_EQ(system_ex("sleep 3", 1, 0), -1);

    struct sigaction intr = {}, quit = {};
    sigaction(SIGINT, nullptr, &intr);
    sigaction(SIGQUIT, nullptr, &quit);
    EXPECT_EQ(intr.sa_handler, signal_handler);
    EXPECT_EQ(quit.sa_handler, SIG_DFL);
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_TRUE(sigismember(&now, SIGUSR1));
    EXPECT_FALSE(sigismember(&now, SIGCHLD));
}

// killapps runs the script except in states 2 and -3, and fails when the
// script fails or is missing.
TEST_F(SysHelpers, KillappsRunsTheScriptExceptInStatesTwoAndMinusThree)
{
    phone_write_file(KILLAPPS_SCRIPT, "#!/bin/sh\necho x >> /tmp/killed\n", 0755);
    EXPECT_EQ(killapps(2), 0);
    EXPECT_EQ(killapps(-3), 0);
    EXPECT_EQ(access("/tmp/killed", F_OK), -1);
    EXPECT_EQ(killapps(0), 0);
    EXPECT_EQ(killapps(1), 0);
    EXPECT_EQ(killapps(-1), 0);
    EXPECT_EQ(phone_read_file("/tmp/killed"), "x\nx\nx\n");

    ASSERT_EQ(unlink(KILLAPPS_SCRIPT), 0);
    EXPECT_EQ(killapps(0), -1);
    phone_write_file(KILLAPPS_SCRIPT, "#!/bin/sh\nexit 1\n", 0755);
    EXPECT_EQ(killapps(0), -1);
    EXPECT_EQ(phone_syslog_count(LOG_ERR, own_line("l3", "killapps failed!\n")), 2);
}

// The copy or the plain reboot command runs, one at a time: the countdown
// thread and the key wait may ask for a reboot at the same moment.
TEST_F(SysHelpers, DoRebootRunsTheCopyOrThePlainCommandOneAtATime)
{
    phone_write_file("/tmp/reboot", "#!/bin/sh\necho copy >> /tmp/rebooted\nsleep 1\n", 0755);
    pthread_t other;
    ASSERT_EQ(pthread_create(
                  &other, nullptr,
                  [](void*) -> void* {
                      return reinterpret_cast<void*>(static_cast<intptr_t>(do_reboot(0)));
                  },
                  nullptr),
              0);
    usleep(200000); // the other thread's command runs
    EXPECT_EQ(do_reboot(0), 0);
    void* other_result = nullptr;
    pthread_join(other, &other_result);
    EXPECT_EQ(other_result, nullptr) << "its command exited with 0";
    EXPECT_EQ(phone_read_file("/tmp/rebooted"), "copy\n");
    EXPECT_EQ(phone_logged(LOG_INFO, "reboot already under way\n"), 1);
    // The plain command is looked up on PATH.
    setenv("PATH", "/tmp/path:/bin", 1);
    phone_write_file("/tmp/path/reboot", "#!/bin/sh\necho plain >> /tmp/rebooted\nexit 2\n", 0755);
    EXPECT_EQ(do_reboot(1), 2);
    EXPECT_EQ(phone_read_file("/tmp/rebooted"), "copy\nplain\n");
}

TEST_F(SysHelpers, WatchdogRequestsReachTheMiscDeviceWithTheValueItself)
{
    phone_add_fault("fault ioctl /dev/misc0 0x80044D05 1 5");
    EXPECT_EQ(set_watchdog(0), -1);
    EXPECT_EQ(phone_syslog_count(LOG_ERR, own_line("l3", "/dev/misc0 ctrl failed!\n")), 1);
    EXPECT_EQ(set_watchdog(0), 0);
    EXPECT_EQ(set_watchdog(1), 0);
    EXPECT_EQ(phone_run_log("misc.log"), (std::vector<std::string>{"watchdog 0", "watchdog 1"}));
    phone_add_fault("fault missing /dev/misc0");
    EXPECT_EQ(set_watchdog(0), -1);
    EXPECT_EQ(phone_syslog_count(LOG_ERR, own_line("l3", "/dev/misc0 open failed\n")), 1);
    EXPECT_EQ(phone_run_log("misc.log").size(), 2U) << "no request reached the device";
}

// The status a caught signal ends the process with: faults must not read
// as success to whoever started the program.
int expected_status(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGABRT ? 128 + sig : 0;
}

// Waits up to ten seconds for `pid`; false (and the child killed) when it
// hangs.
bool wait_ended(pid_t pid, int* status)
{
    for (int i = 0; i < 1000; ++i) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

// Runs `act` in a child that has the handler installed for `sig`; returns
// the child's pid once it ended with the status the signal calls for.
pid_t ended_child(int sig, void (*act)(int))
{
    const pid_t pid = fork();
    if (pid == 0) {
        rl_log_init("upgrader", 7);
        signal(sig, signal_handler);
        act(sig);
        _exit(99); // not reached: the handler exits
    }
    int status = 0;
    EXPECT_TRUE(wait_ended(pid, &status));
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << sig;
    EXPECT_EQ(WEXITSTATUS(status), expected_status(sig)) << "signal " << sig;
    return pid;
}

std::string caught_line(const char* name, pid_t pid)
{
    return own_line(
        "l3", std::string("Catch a signal ") + name + ", thread id " + std::to_string(pid) + ".",
        pid);
}

TEST(SignalHandler, NamesTheSignalAndTheThreadThenEndsTheProcess)
{
    const std::pair<int, const char*> cases[] = {
        {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"}, {SIGABRT, "SIGABRT"},
        {SIGBUS, "SIGBUS"}, {SIGSEGV, "SIGSEGV"}, {SIGHUP, "1"}};
    for (const auto& [sig, name] : cases) {
        const pid_t pid = ended_child(sig, [](int s) { raise(s); });
        EXPECT_EQ(phone_syslog_count(LOG_ERR, caught_line(name, pid)), 1) << name;
    }
    // A real fault ends with its status too. A page with no access: the
    // store faults in the processor, where a store through a null pointer
    // would be caught by the sanitizers first.
    const pid_t pid = ended_child(SIGSEGV, [](int) {
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED) *static_cast<volatile int*>(page) = 1;
    });
    EXPECT_EQ(phone_syslog_count(LOG_ERR, caught_line("SIGSEGV", pid)), 1);
}

// Three threads log without pause while the signal arrives: the handler
// may interrupt a thread inside syslog, and must still log its line and
// end the process instead of waiting for syslog's lock.
void log_forever()
{
    for (unsigned long i = 0;; ++i) rl_log_debug("busy line %lu of a heavily logging process\n", i);
}

void* log_thread(void*)
{
    log_forever();
    return nullptr;
}

TEST(SignalHandler, ASignalWhileEveryThreadLogsStillEndsTheProcess)
{
    const int kRounds = 40;
    const int signals[] = {SIGQUIT, SIGINT, SIGHUP, SIGABRT};
    int ended = 0;
    int with_line = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int sig = signals[round % 4];
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            rl_log_init("upgrader", 7);
            for (int s : signals) signal(s, signal_handler);
            pthread_t t;
            for (int i = 0; i < 2; ++i) pthread_create(&t, nullptr, log_thread, nullptr);
            rl_log_debug("logging\n");
            (void)!write(ready[1], "r", 1);
            log_forever();
        }
        close(ready[1]);
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(static_cast<useconds_t>(2000 + 1000 * (round % 7)));
        kill(pid, sig);
        int status = 0;
        if (!wait_ended(pid, &status)) {
            ADD_FAILURE() << "round " << round << ": signal " << sig << " left the process hanging";
            continue;
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == expected_status(sig)) ++ended;
        const std::string prefix = "upgrader pid" + std::to_string(pid) + ",tid";
        for (const syslog_record& r : phone_syslog())
            if (r.level == LOG_ERR && r.msg.rfind(prefix, 0) == 0 &&
                r.msg.find(",l3: Catch a signal ") != std::string::npos)
                ++with_line;
    }
    EXPECT_EQ(ended, kRounds);
    EXPECT_EQ(with_line, kRounds);
}

} // namespace
