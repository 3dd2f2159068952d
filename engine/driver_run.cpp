// engine/driver_run.cpp - the run's ROM file, its check, and its endings.
#include "driver_run.h"

#include "basicui.h"
#include "failure_end.h"
#include "libipc.h"
#include "libupgrader.h"
#include "rl_log.h"
#include "rom_accept.h"
#include "semctrl.h"
#include "sys_helpers.h"

#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What an ending does, one thing at a time.
enum class step {
    give_back_cfg,    // cfg_semid, if this run holds it (taken without undo)
    give_back_memory, // memory_semid, if this run took it
    delete_record,    // the shared upgrade record
    failure_screen,   // end_with_failure(): the screen and key wait, the countdown, or nothing
    watchdog_on,      // if this run switched it off
    deinit_display,
    unregister_ipc,
    close_log,
    drop_display, // the display object goes
    unmap_rom,
    log_completed, // the row's `completed` line
    pause_2s,
    reboot,          // reboot_sequence(); returns if the reboot did not end the process
    wait_for_reboot, // the process ends with the reboot, never by itself
    end,
};

struct ending_row {
    run_ending ending;
    step steps[10];
    const char* completed; // for log_completed
};

// Every ending of a run: what it gives back and in which order, what it
// shows, and how the process ends. A failure's broadcast goes with its
// screen; the failure endings keep the watchdog off only when the process
// does not end (the screen waits for the reboot key).
constexpr ending_row kEndings[] = {
    {run_ending::start_up_failed,
     {step::unregister_ipc, step::close_log, step::drop_display, step::end},
     nullptr},
    {run_ending::refused_at_once, {step::drop_display, step::end}, nullptr},
    {run_ending::no_watchdog,
     {step::failure_screen, step::deinit_display, step::unregister_ipc, step::close_log,
      step::drop_display, step::end},
     nullptr},
    {run_ending::no_rom_file,
     {step::watchdog_on, step::close_log, step::unregister_ipc, step::drop_display, step::end},
     nullptr},
    {run_ending::failed_holding_a,
     {step::give_back_cfg, step::give_back_memory, step::delete_record, step::failure_screen,
      step::watchdog_on, step::deinit_display, step::unregister_ipc, step::close_log,
      step::drop_display, step::end},
     nullptr},
    {run_ending::failed_holding_b,
     {step::give_back_memory, step::delete_record, step::failure_screen, step::watchdog_on,
      step::deinit_display, step::unregister_ipc, step::close_log, step::drop_display, step::end},
     nullptr},
    // The copy now runs the upgrade with the watchdog off and the record
    // in place; the failure ending only logs the state for code 0.
    {run_ending::handed_off,
     {step::give_back_memory, step::failure_screen, step::deinit_display, step::unregister_ipc,
      step::close_log, step::drop_display, step::end},
     nullptr},
    {run_ending::direct_failed,
     {step::drop_display, step::close_log, step::unregister_ipc, step::unmap_rom, step::end},
     nullptr},
    {run_ending::direct_done,
     {step::deinit_display, step::log_completed, step::drop_display, step::pause_2s, step::reboot,
      step::end},
     "rom upgrader completed!\n"},
    // No lock is given back before the reboot.
    {run_ending::shared_done, {step::reboot, step::wait_for_reboot, step::end}, nullptr},
    {run_ending::file_done,
     {step::reboot, step::give_back_cfg, step::deinit_display, step::unregister_ipc,
      step::log_completed, step::close_log, step::drop_display, step::end},
     "upgrader-1 completed!\n"},
};

constexpr bool has_end(const ending_row& row)
{
    for (step s : row.steps) {
        if (s == step::end) return true;
    }
    return false;
}

// Every ending has its row, in the order of the enumeration, and every row
// says where it ends: the unused places of a row's steps would otherwise
// read as its first enumerator, giving cfg_semid back.
constexpr bool rows_in_order()
{
    for (std::size_t i = 0; i < std::size(kEndings); ++i) {
        if (kEndings[i].ending != static_cast<run_ending>(i) || !has_end(kEndings[i])) return false;
    }
    return std::size(kEndings) == static_cast<std::size_t>(run_ending::file_done) + 1;
}
static_assert(rows_in_order(), "one row per ending, in the order of run_ending, each with its end");

const ending_row& row_of(run_ending ending)
{
    return kEndings[static_cast<std::size_t>(ending)];
}

void take(upgrade_run* run, step s, const ending_row& row)
{
    switch (s) {
    case step::give_back_cfg:
        if (run->cfg_semid >= 0 && run->cfg_locked == 1) {
            release_try_locked_binary_sem(run->cfg_semid);
            run->cfg_locked = 0;
        }
        break;
    case step::give_back_memory:
        if (run->memory_semid >= 0) unlock_binary_sem(run->memory_semid);
        break;
    case step::delete_record: libupd_delete_share_memory(run->record); break;
    case step::failure_screen:
        end_with_failure(run->ui, run->upgrader_state, run->failure_code, run->failure_id,
                         run->reboot_fallback);
        break;
    case step::watchdog_on: watchdog_back_on(); break;
    case step::deinit_display:
        if (run->ui != nullptr) run->ui->Deinit();
        break;
    case step::unregister_ipc: ipc_unregister(); break;
    case step::close_log: rl_log_deinit(); break;
    case step::drop_display:
        delete run->ui;
        run->ui = nullptr;
        break;
    case step::unmap_rom:
        if (run->rom.map != nullptr) munmap(run->rom.map, run->rom.size);
        if (run->rom.fd >= 0) close(run->rom.fd);
        run->rom = rom_file{};
        break;
    case step::log_completed: rl_log_info("%s", row.completed); break;
    case step::pause_2s: sleep(2); break;
    case step::reboot: reboot_sequence(run->reboot_fallback); break;
    case step::wait_for_reboot:
        for (;;) {
            sleep(5);
            rl_log_err("wait reboot");
        }
    case step::end: break;
    }
}

} // namespace

int run_map_rom(upgrade_run* run, const char* path)
{
    rom_file& f = run->rom;
    f.fd = open(path, O_RDONLY);
    if (f.fd < 0) {
        rl_log_err("%s File open failed!\n", path);
        return UPGRADER_FAIL_OPEN;
    }
    struct stat st = {};
    void* map = MAP_FAILED;
    if (fstat(f.fd, &st) == 0 && st.st_size > 0) {
        f.size = static_cast<std::size_t>(st.st_size);
        map = mmap(nullptr, f.size, PROT_READ, MAP_PRIVATE, f.fd, 0);
    }
    if (map == MAP_FAILED) {
        rl_log_err("memory map failed!\n");
        close(f.fd);
        f = rom_file{};
        return UPGRADER_FAIL_MMAP;
    }
    f.map = map;
    rl_log_debug("start:%x \n", rom_address(f.map));
    return 0;
}

int run_check(upgrade_run* run, bool hand_over)
{
    // The check writes only what it examines: start from cleared records.
    std::memset(run->headers, 0, sizeof run->headers);
    std::memset(run->burn_flags, 0, sizeof run->burn_flags);
    int checked = rom_upgrade_check(run->image, run->image_len, run->env, &run->header,
                                    run->headers, run->burn_flags);
    if (!hand_over && checked == ROM_CHECK_UPGRADER_EXTRACTED) {
        std::memset(run->burn_flags, 0, sizeof run->burn_flags);
        checked = rom_upgrade_check(run->image, run->image_len, run->env, &run->header,
                                    run->headers, run->burn_flags);
    }
    return checked;
}

int run_end(upgrade_run* run, run_ending ending, int value)
{
    const ending_row& row = row_of(ending);
    for (step s : row.steps) {
        if (s == step::end) break;
        take(run, s, row);
    }
    return value;
}
