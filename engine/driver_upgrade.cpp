// engine/driver_upgrade.cpp - shared-memory and file mode after the common
// opening: the record, the check, the layout, stopping the applications,
// the burn lock, the write-backs, burning, and the release points.
#include "driver_upgrade.h"

#include "basicui.h"
#include "config_fix.h"
#include "config_mtd.h"
#include "failure_end.h"
#include "flash_burn.h"
#include "libipc.h"
#include "libupgrader.h"
#include "rl_log.h"
#include "rom_accept.h"
#include "semctrl.h"
#include "sys_helpers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kCfgLockAttempts = 10;

// Where a failing step goes on: A releases cfg_semid first, B only
// memory_semid and the record.
enum class release { a, b };

struct step_failure {
    int code;
    int id;
    release from;
};

void broadcast_step(int step)
{
    ipc_broadcast(IPC_MSG_UPGRADE_STEP, step, 0, nullptr, 0);
}

// Tries cfg_semid for up to ten seconds; the run goes on either way.
void try_cfg_lock(upgrade_run* run)
{
    if (run->cfg_semid < 0) return; // 0 is a valid id: the first set made after boot
    for (int attempt = 0; attempt < kCfgLockAttempts; ++attempt) {
        if (try_lock_binary_sem(run->cfg_semid) == 0) {
            run->cfg_locked = 1;
            return;
        }
        sleep(1);
    }
}

// The same ROM version: no burn, the bar runs through in nine seconds and
// the phone restarts.
void same_version_ending(upgrade_run* run)
{
    for (int percent = 15; percent <= 95; percent += 10) {
        run->ui->SetUpgradingProgressBar(percent);
        sleep(1);
    }
    run->ui->SetUpgradingProgressBar(100);
    system_ex("rm -f /config/upgrader_autop", 3, 3);
    reboot_sequence(run->reboot_fallback);
}

// Takes the burn lock without waiting and without undo. False when
// another run holds it.
bool take_burn_lock()
{
    const int id = binary_sem_create_key(SEM_KEY_BURN_FLASH);
    if (id < 0) rl_log_err("get burn_flash_semid failed!\n");
    rl_log_debug("wait lock burn_flash_semid\n");
    if (try_lock_binary_sem(id) == -1) {
        rl_log_err("lock burn_flash_semid failed\n");
        return false;
    }
    rl_log_debug("locked burn_flash_semid\n");
    return true;
}

// The configuration fixes of a successful run: the auto-provisioning
// retry file and line key 8 (shared-memory mode), then the files that go.
// They must reach the configuration the phone boots with, so when the
// configuration block moves they run before /config is unmounted for its
// copy; otherwise after the burn.
void tidy_configuration(upgrade_run* run, bool shared)
{
    if (run->tidied) return;
    run->tidied = 1;
    if (shared) {
        config_autop(run->env);
        config_deleteLineKey8(run->env);
    }
    system_ex("rm -f /config/upgrader_autop", 3, 3);
    if (!shared) system_ex("rm -rf /config/etc", 3, 3);
}

// Moves the environment and configuration blocks and writes them back
// where the new layout puts them, then burns. False, with the failure,
// when a step fails.
bool write_back_and_burn(upgrade_run* run, bool shared, step_failure* f)
{
    if (g_config_restore == 1) {
        tidy_configuration(run, shared);
        if (umount_config_mtd() < 0) {
            rl_log_debug("config unmount failed!\n");
            *f = {UPGRADER_FAIL_CONFIG_UMOUNT, UPGRADER_FAIL_CONFIG_UMOUNT, release::a};
            return false;
        }
    }
    if (g_config_restore == 1 || g_env_restore == 1) {
        const int restored = restore_moved_blocks(run->env);
        if (restored == -2) {
            rl_log_debug("mtd_config failed!\n");
            *f = {UPGRADER_FAIL_MTD_CONFIG, UPGRADER_FAIL_MTD_CONFIG, release::a};
            return false;
        }
        if (restored < 0) {
            *f = {UPGRADER_FAIL_BURN, UPGRADER_FAIL_BURN, release::a};
            return false;
        }
    }
    const int r = burn_flash(run->image, run->env, static_cast<int>(run->header.partition_num),
                             run->headers, run->burn_flags, run->ui);
    if (r < 0) {
        rl_log_err("burn flash failed!\n");
        broadcast_step(4);
        *f = {UPGRADER_FAIL_BURN, r, release::a};
        return false;
    }
    return true;
}

// Ends a run whose step failed, at release point A or B.
int fail(upgrade_run* run, const step_failure& f)
{
    run->failure_code = f.code;
    run->failure_id = f.id;
    return run_end(
        run, f.from == release::a ? run_ending::failed_holding_a : run_ending::failed_holding_b,
        f.code);
}

// Attaches the shared record and takes memory_semid. False (with the
// failure) when there is no record or the loader could not load the ROM.
bool attach_record(upgrade_run* run, step_failure* f)
{
    run->record = get_share_memory();
    if (run->record == nullptr) {
        *f = {UPGRADER_FAIL_SHM, UPGRADER_FAIL_SHM, release::b};
        return false;
    }
    rl_log_debug("mem_addr:0x%x\n", rom_address(run->record));
    run->memory_semid = binary_sem_create_key(SEM_KEY_MEMORY);
    if (run->memory_semid < 0) rl_log_err("get memory_semid failed!\n");
    rl_log_debug("wait lock memory_semid\n");
    lock_binary_sem(run->memory_semid);
    rl_log_debug("locked memory_semid");
    run->upgrader_state = libupd_get_state(run->record);
    if (run->upgrader_state == -1 || run->upgrader_state == -2) {
        rl_log_info("upgrader_state is failed\n");
        // The segment and the lock stay: nothing was checked.
        run->memory_semid = -1;
        run->record = nullptr;
        *f = {UPGRADER_FAIL_LOAD, UPGRADER_FAIL_LOAD, release::b};
        return false;
    }
    run->image = reinterpret_cast<const unsigned int*>(libupd_get_rom_start_addr(run->record));
    run->image_len = libupd_get_rom_capacity(run->record);
    rl_log_debug("rom_addr:%x\n", rom_address(run->image));
    return true;
}

} // namespace

int upgrade_shared_or_file(upgrade_run* run, bool shared)
{
    step_failure f = {0, 0, release::b};
    if (shared && !attach_record(run, &f)) return fail(run, f);

    // An extracted upgrader ends the walk before the device rules ran. Only
    // the installed program in shared-memory mode hands over to it.
    const bool is_tool = std::strcmp(run->argv[0], UPGRADER_TOOL_PATH) == 0;
    const int checked = run_check(run, shared && !is_tool);
    if (checked == UPD_MSG_ROM_VERSION_SAME) {
        run->same_version = 1;
    } else if (checked < 0) {
        rl_log_err("rom pack check failed! ID:%d\n", checked);
        broadcast_step(1);
        sleep(3);
        return fail(run, {UPGRADER_FAIL_ROM_CHECK, checked, release::b});
    }

    if (shared) {
        system_ex("rm -rf /config/etc/", 5, 3);
        // Only the copy this run's check has just written from the image
        // (and found to be a program for this phone) is started; a file
        // that was there before is never run.
        if (checked == ROM_CHECK_UPGRADER_EXTRACTED) {
            char command[64];
            std::snprintf(command, sizeof command, "%s &", UPGRADER_TOOL_PATH);
            const int started = system(command);
            static_cast<void>(started);
            rl_log_debug("upgrader_tool_check /tmp/upgrader_tool exist\n");
            run->failure_code = 0;
            run->failure_id = 0;
            return run_end(run, run_ending::handed_off, 0);
        }
    }
    if (g_mtd_config == 1) {
        // No other run may move partitions or burn while this one does:
        // its saved blocks would be taken from windows this run moves.
        if (!take_burn_lock()) return run_end(run, run_ending::refused_at_once, 0);
        run->burn_locked = 1;
        rl_log_debug("mtd_config\n");
        if (mtd_config_deal(run->env) < 0) {
            rl_log_debug("mtd_config failed!\n");
            return fail(run, {UPGRADER_FAIL_MTD_CONFIG, UPGRADER_FAIL_MTD_CONFIG, release::b});
        }
    }
    broadcast_step(2);
    sleep(3);
    try_cfg_lock(run);
    const int stopped = killapps(shared ? run->upgrader_state : 0);
    if (run->same_version == 1) same_version_ending(run);
    if (stopped < 0) {
        rl_log_err("killapps failed!\n");
        broadcast_step(3);
        return fail(run, {UPGRADER_FAIL_KILLAPPS, UPGRADER_FAIL_KILLAPPS, release::a});
    }
    // A busy burn lock: another run burns, with the watchdog off; it stays off.
    if (run->burn_locked == 0 && !take_burn_lock())
        return run_end(run, run_ending::refused_at_once, 0);
    run->burn_locked = 1;
    if (!write_back_and_burn(run, shared, &f)) return fail(run, f);

    tidy_configuration(run, shared);
    sleep(1);
    return run_end(run, shared ? run_ending::shared_done : run_ending::file_done, 0);
}
