// engine/main.cpp - the upgrader program's start-up.
//
// At this stage the program opens the log, writes its banner and installs
// the fatal-signal handler; the upgrade itself is driven from here once
// the driver is in place.
#include "rl_log.h"
#include "sys_helpers.h"

#include <csignal>

namespace {

constexpr const char* kProgramName = "upgrader";
constexpr const char* kProgramVersion = "1.0.0.76";

void install_signal_handlers()
{
    const int signals[] = {SIGINT, SIGSEGV, SIGILL, SIGHUP, SIGQUIT, SIGABRT, SIGBUS};
    for (int s : signals) {
        if (signal(s, signal_handler) == SIG_ERR)
            rl_log_err("signal %d: cannot install handler\n", s);
    }
}

} // namespace

int main()
{
    rl_log_init(kProgramName, 7);
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", kProgramName, kProgramVersion,
                __DATE__, __TIME__);
    install_signal_handlers();
    return 0;
}
