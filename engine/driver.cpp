// engine/driver.cpp - start-up, the common opening of shared-memory and
// file mode, the ROM file, and direct mode.
#include "driver.h"

#include "basicui.h"
#include "config_mtd.h"
#include "driver_run.h"
#include "driver_upgrade.h"
#include "failure_end.h"
#include "flash_burn.h"
#include "libipc.h"
#include "rl_log.h"
#include "rom_accept.h"
#include "semctrl.h"
#include "sys_helpers.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kProgramName = "upgrader";
constexpr const char* kProgramVersion = "1.0.0.76";
constexpr const char* kInstalledPath = "/basic/bin/upgrader";
constexpr int kCopyBinsAttempts = 5;
constexpr const char* kBinCopy = "/tmp/bin";
constexpr const char* kRebootCopy = "/tmp/reboot";
// Every command finds the phone's own tools, whatever PATH the program
// was started with.
constexpr const char* kPath = "/bin:/sbin:/usr/bin:/usr/sbin";
constexpr int kWatchdogAttempts = 3;

void install_signal_handlers()
{
    const int signals[] = {SIGINT, SIGSEGV, SIGILL, SIGHUP, SIGQUIT, SIGABRT, SIGBUS};
    for (int s : signals) {
        if (signal(s, signal_handler) == SIG_ERR)
            rl_log_err("signal %d: cannot install handler\n", s);
    }
}

// The copies in /tmp/bin are the tools the checks call. Something other
// than a directory at /tmp/bin (a link to elsewhere) is removed first, so
// that the copy does not land where it points.
bool copy_bins()
{
    struct stat st = {};
    if (lstat(kBinCopy, &st) == 0 && !S_ISDIR(st.st_mode) && remove_fixed_file(kBinCopy) != 0)
        return false;
    for (int attempt = 0; attempt < kCopyBinsAttempts; ++attempt) {
        if (check_system_result(system("cp /bin/ /tmp/ -rf")) == 0) return true;
        sleep(1);
    }
    return false;
}

// Check and burn without locks, broadcasts or failure screen.
int direct_mode(upgrade_run* run, const char* path)
{
    const int mapped = run_map_rom(run, path);
    if (mapped != 0) return run_end(run, run_ending::no_rom_file, mapped);
    run->image = static_cast<const unsigned int*>(run->rom.map);
    run->image_len = run->rom.size;
    CBasicUI* ui = run->ui;
    const char* failed = nullptr;
    if (ui->Init() < 0) {
        failed = "BasicUI init failed!\n";
    } else {
        ui->ShowVersion();
        const int r = run_check(run, false);
        if (r < 0 && r != UPD_MSG_ROM_VERSION_SAME) {
            failed = "rom pack check failed!\n";
        } else if (killapps(0) < 0) {
            failed = "killapps failed!\n";
        } else if (burn_flash(run->image, run->env, static_cast<int>(run->header.partition_num),
                              run->headers, run->burn_flags, ui) < 0) {
            failed = "burn flash failed!\n";
        }
    }
    if (failed != nullptr) {
        rl_log_err("%s", failed);
        return run_end(run, run_ending::direct_failed, UPGRADER_FAIL_DIRECT);
    }
    return run_end(run, run_ending::direct_done, 0);
}

bool started_as_tool(const char* argv0)
{
    return std::strncmp(argv0, UPGRADER_TOOL_PATH, std::strlen(UPGRADER_TOOL_PATH)) == 0;
}

// Takes the process lock of the installed program or of the copy, without
// waiting and without undo: it stays held until the phone restarts.
// Returns false when another run holds it.
bool take_process_lock(bool tool)
{
    const char* name = tool ? "upgrader_tool_process" : "upgrader_process";
    const int id =
        binary_sem_create_key(tool ? SEM_KEY_UPGRADER_TOOL_PROCESS : SEM_KEY_UPGRADER_PROCESS);
    if (id < 0) rl_log_err("get %s failed!\n", name);
    rl_log_debug("wait lock %s\n", name);
    if (try_lock_binary_sem(id) == -1) {
        rl_log_err("lock %s failed\n", name);
        return false;
    }
    rl_log_debug("locked %s\n", name);
    return true;
}

// The opening of shared-memory and file mode, then the mode itself.
int shared_or_file_mode(upgrade_run* run, bool shared)
{
    CBasicUI* ui = run->ui;
    if (ui->Init() < 0) {
        rl_log_err("BasicUI init failed!\n");
        return run_end(run, run_ending::start_up_failed, 0);
    }
    ui->ShowVersion();
    const char* argv0 = run->argv[0] != nullptr ? run->argv[0] : "";
    const bool tool = started_as_tool(argv0);
    // These two end the run at once. They come before the watchdog is
    // touched: a run that is refused leaves it as it is, since the run that
    // holds the lock may be burning with it off.
    if (std::strcmp(argv0, kInstalledPath) != 0 && !tool) {
        rl_log_debug("upgrader path error\n");
        return run_end(run, run_ending::refused_at_once, 0);
    }
    if (!take_process_lock(tool)) return run_end(run, run_ending::refused_at_once, 0);
    bool watchdog_off = false;
    for (int attempt = 0; attempt < kWatchdogAttempts && !watchdog_off; ++attempt)
        watchdog_off = set_watchdog(0) == 0;
    if (!watchdog_off) {
        run->failure_code = UPGRADER_FAIL_WATCHDOG;
        run->failure_id = UPGRADER_FAIL_WATCHDOG;
        return run_end(run, run_ending::no_watchdog, run->failure_code);
    }
    g_kernel_support = kernel_support_mtd_repair_check();
    rl_log_info("kernel_support is :%d \n", g_kernel_support);
    if (!shared) {
        // The mapping lives until the process ends.
        const int mapped = run_map_rom(run, run->argv[1]);
        if (mapped != 0) return run_end(run, run_ending::no_rom_file, mapped);
        run->image = static_cast<const unsigned int*>(run->rom.map);
        run->image_len = run->rom.size;
    }
    return upgrade_shared_or_file(run, shared);
}

} // namespace

int upgrader_main(int argc, char** argv)
{
    const bool path_set = setenv("PATH", kPath, 1) == 0;
    // The run's records live on the heap: they are large for a thread stack.
    auto* run = new upgrade_run;
    run->ui = new CBasicUI;
    run->argv = argv;
    rl_log_init(kProgramName, 7);
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", kProgramName, kProgramVersion,
                __DATE__, __TIME__);
    if (!path_set) rl_log_err("PATH %s cannot be set: %s\n", kPath, std::strerror(errno));
    install_signal_handlers();
    ipc_register(IPC_ID_UPGRADER);

    if (remove_fixed_file(kRebootCopy) != 0 ||
        check_system_result(system("cp /sbin/reboot /tmp/")) != 0)
        run->reboot_fallback = 1;
    int result = 0;
    if (!copy_bins()) {
        rl_log_err("copy_bins failed!\n");
        result = run_end(run, run_ending::start_up_failed, UPGRADER_FAIL_COPY_BINS);
    } else if (argc > 3) {
        rl_log_info("\nusage: %s  or  %s rom_file\n", argv[0], argv[0]);
        result = run_end(run, run_ending::start_up_failed, UPGRADER_FAIL_USAGE);
    } else {
        run->cfg_semid = binary_sem_create_key(SEM_KEY_SAVE_FILE);
        if (run->cfg_semid < 0) rl_log_err("SEM_KEY_SAVE_FILE get failed! Is save mode?\n");
        rl_log_debug("cfg_semid:%x\n", static_cast<unsigned int>(run->cfg_semid));
        result = argc == 3 ? direct_mode(run, argv[1]) : shared_or_file_mode(run, argc == 1);
    }
    delete run;
    return result;
}
