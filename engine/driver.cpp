// engine/driver.cpp - start-up, the common opening of shared-memory and
// file mode, the ROM file, and direct mode.
#include "driver.h"

#include "basicui.h"
#include "config_mtd.h"
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
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kProgramName = "upgrader";
constexpr const char* kProgramVersion = "1.0.0.76";
constexpr const char* kInstalledPath = "/basic/bin/upgrader";
constexpr const char* kToolPath = "/tmp/upgrader_tool";
constexpr std::size_t kToolPathLength = 18;
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

// Leaves before any work: the clean-up of start-up failures.
int leave(CBasicUI* ui, int value)
{
    ipc_unregister();
    rl_log_deinit();
    delete ui;
    return value;
}

// A ROM image file mapped read-only.
struct rom_file {
    int fd = -1;
    void* map = MAP_FAILED;
    std::size_t size = 0;
};

// Opens and maps argv[1]; 0, or the exit value of the failure (logged).
int map_rom_file(const char* path, rom_file* f)
{
    f->fd = open(path, O_RDONLY);
    if (f->fd < 0) {
        rl_log_err("%s File open failed!\n", path);
        return UPGRADER_FAIL_OPEN;
    }
    struct stat st = {};
    if (fstat(f->fd, &st) == 0 && st.st_size > 0) {
        f->size = static_cast<std::size_t>(st.st_size);
        f->map = mmap(nullptr, f->size, PROT_READ, MAP_PRIVATE, f->fd, 0);
    }
    if (f->map == MAP_FAILED) {
        rl_log_err("memory map failed!\n");
        close(f->fd);
        f->fd = -1;
        return UPGRADER_FAIL_MMAP;
    }
    rl_log_debug("start:%x \n", rom_address(f->map));
    return 0;
}

void unmap_rom_file(rom_file* f)
{
    if (f->map != MAP_FAILED) munmap(f->map, f->size);
    if (f->fd >= 0) close(f->fd);
    f->map = MAP_FAILED;
    f->fd = -1;
}

// Check and burn without locks, broadcasts or failure screen, with
// buffers of its own.
int direct_mode(CBasicUI* ui, const char* path, int fallback)
{
    rom_file f;
    const int mapped = map_rom_file(path, &f);
    if (mapped != 0) {
        rl_log_deinit();
        ipc_unregister();
        delete ui;
        return mapped;
    }
    auto* run = new upgrade_run;
    const char* failed = nullptr;
    if (ui->Init() < 0) {
        failed = "BasicUI init failed!\n";
    } else {
        ui->ShowVersion();
        const auto* image = static_cast<const unsigned int*>(f.map);
        int r =
            rom_upgrade_check(image, f.size, run->env, &run->header, run->headers, run->burn_flags);
        // An extracted upgrader stopped the walk before the device rules:
        // check again, past the extracted file, and act on that.
        if (r == ROM_CHECK_UPGRADER_EXTRACTED) {
            std::memset(run->burn_flags, 0, sizeof run->burn_flags);
            r = rom_upgrade_check(image, f.size, run->env, &run->header, run->headers,
                                  run->burn_flags);
        }
        if (r < 0 && r != UPD_MSG_ROM_VERSION_SAME) {
            failed = "rom pack check failed!\n";
        } else if (killapps(0) < 0) {
            failed = "killapps failed!\n";
        } else if (burn_flash(image, run->env, static_cast<int>(run->header.partition_num),
                              run->headers, run->burn_flags, ui) < 0) {
            failed = "burn flash failed!\n";
        }
    }
    delete run;
    if (failed != nullptr) {
        rl_log_err("%s", failed);
        delete ui;
        rl_log_deinit();
        ipc_unregister();
        unmap_rom_file(&f);
        return UPGRADER_FAIL_DIRECT;
    }
    ui->Deinit();
    rl_log_info("rom upgrader completed!\n");
    delete ui;
    sleep(2);
    reboot_sequence(fallback);
    return 0;
}

bool started_as_tool(const char* argv0)
{
    return std::strncmp(argv0, kToolPath, kToolPathLength) == 0;
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
        return leave(ui, 0);
    }
    ui->ShowVersion();
    const char* argv0 = run->argv[0] != nullptr ? run->argv[0] : "";
    const bool tool = started_as_tool(argv0);
    // These two end the run at once; the display object goes with it. They
    // come before the watchdog is touched: a run that is refused leaves it
    // as it is, since the run that holds the lock may be burning with it off.
    if (std::strcmp(argv0, kInstalledPath) != 0 && !tool) {
        rl_log_debug("upgrader path error\n");
        return drop_display(run, 0);
    }
    if (!take_process_lock(tool)) return drop_display(run, 0);
    bool watchdog_off = false;
    for (int attempt = 0; attempt < kWatchdogAttempts && !watchdog_off; ++attempt)
        watchdog_off = set_watchdog(0) == 0;
    if (!watchdog_off) {
        run->failure_code = UPGRADER_FAIL_WATCHDOG;
        run->failure_id = UPGRADER_FAIL_WATCHDOG;
        end_with_failure(ui, run->upgrader_state, run->failure_code, run->failure_id,
                         run->reboot_fallback);
        ui->Deinit();
        return leave(ui, run->failure_code);
    }
    g_kernel_support = kernel_support_mtd_repair_check();
    rl_log_info("kernel_support is :%d \n", g_kernel_support);
    if (!shared) {
        // The mapping lives until the process ends.
        rom_file f;
        const int mapped = map_rom_file(run->argv[1], &f);
        if (mapped != 0) {
            watchdog_back_on();
            rl_log_deinit();
            ipc_unregister();
            delete ui;
            return mapped;
        }
        run->image = static_cast<const unsigned int*>(f.map);
        run->image_len = f.size;
    }
    return upgrade_shared_or_file(run, shared);
}

} // namespace

int drop_display(upgrade_run* run, int value)
{
    delete run->ui;
    run->ui = nullptr;
    return value;
}

int upgrader_main(int argc, char** argv)
{
    const bool path_set = setenv("PATH", kPath, 1) == 0;
    auto* ui = new CBasicUI;
    rl_log_init(kProgramName, 7);
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", kProgramName, kProgramVersion,
                __DATE__, __TIME__);
    if (!path_set) rl_log_err("PATH %s cannot be set: %s\n", kPath, std::strerror(errno));
    install_signal_handlers();
    ipc_register(IPC_ID_UPGRADER);

    int fallback = 0;
    if (remove_fixed_file(kRebootCopy) != 0 ||
        check_system_result(system("cp /sbin/reboot /tmp/")) != 0)
        fallback = 1;
    if (!copy_bins()) {
        rl_log_err("copy_bins failed!\n");
        return leave(ui, UPGRADER_FAIL_COPY_BINS);
    }
    if (argc > 3) {
        rl_log_info("\nusage: %s  or  %s rom_file\n", argv[0], argv[0]);
        return leave(ui, UPGRADER_FAIL_USAGE);
    }
    const int cfg_semid = binary_sem_create_key(SEM_KEY_SAVE_FILE);
    if (cfg_semid < 0) rl_log_err("SEM_KEY_SAVE_FILE get failed! Is save mode?\n");
    rl_log_debug("cfg_semid:%x\n", static_cast<unsigned int>(cfg_semid));

    if (argc == 3) return direct_mode(ui, argv[1], fallback);

    // The run's records live on the heap: they are large for a thread stack.
    auto* run = new upgrade_run;
    run->ui = ui;
    run->argv = argv;
    run->cfg_semid = cfg_semid;
    run->reboot_fallback = fallback;
    const int result = shared_or_file_mode(run, argc == 1);
    delete run;
    return result;
}
