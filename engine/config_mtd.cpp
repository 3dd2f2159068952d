// engine/config_mtd.cpp - comparing and applying a new MTD layout, saving
// and restoring the environment and configuration blocks, unmounting the
// configuration.
#include "config_mtd.h"

#include "flash_burn.h"
#include "profile.h"
#include "rl_log.h"
#include "sys_helpers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int g_kernel_support = 0;
int g_env_restore = 0;
int g_config_restore = 0;
int config_blocks_saved = 0;

namespace {

constexpr int kCopyAttempts = 5;
constexpr int kUmountAttempts = 5;
constexpr const char* kLayoutFile = "/tmp/mtd.conf";
constexpr const char* kUmountCommand = "/tmp/bin/umount /etc/; /tmp/bin/umount /config/";

// The new ranges of mtd3 and mtd4, kept for restore_moved_blocks().
env_info g_pending[MTD_LAYOUT_PARTITIONS];

struct saved_block {
    int mtd;
    const char* device;
    const char* copy;
    const char* fresh; // the copy made right before the move
    int size;
    const char* failed_line;
};

const saved_block kEnvBlock = {3,
                               "/dev/mtdblock/3",
                               "/tmp/mtdblock3",
                               "/tmp/mtdblock3.new",
                               MTD_ENV_BLOCK_SIZE,
                               "env mtd_write failed!\n"};
const saved_block kConfigBlock = {4,
                                  "/dev/mtdblock/4",
                                  "/tmp/mtdblock4",
                                  "/tmp/mtdblock4.new",
                                  MTD_CONFIG_BLOCK_SIZE,
                                  "config mtd_write failed!\n"};

// Reads the ten ranges of the new layout from /tmp/mtd.conf, through the
// file the check made (not a link put in its place); false unless all are
// valid.
bool read_layout(env_info* layout)
{
    char* text = static_cast<char*>(std::calloc(INI_TEXT_SIZE, 1));
    if (text == nullptr) return false;
    if (std::FILE* f = open_own_file(kLayoutFile)) {
        const std::size_t n = std::fread(text, 1, INI_TEXT_SIZE - 1, f);
        text[n] = '\0';
        std::fclose(f);
    }
    // A file that cannot be read leaves the text empty: no layout.
    const bool valid = parse_mtd_layout(text, layout);
    std::free(text);
    return valid;
}

// Copies block device `device` into `copy` with /tmp/bin/cat, up to five
// attempts a second apart, until the command succeeded and the copy is a
// regular file of exactly `size` bytes: a short copy (a full /tmp) is no
// copy.
bool save_block(const char* device, const char* copy, int size)
{
    char command[128];
    std::snprintf(command, sizeof command, "/tmp/bin/cat %s > %s", device, copy);
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        // The shell's ">" would write through whatever stands there.
        if (remove_fixed_file(copy) != 0) return false;
        rl_log_info("shellcmd:%s\n", command);
        const int status = check_system_result(system(command));
        const long got = own_file_size(copy);
        if (status == 0 && got == size) return true;
        rl_log_err("%s: copy of %ld bytes (command %s), %d wanted\n", copy, got,
                   status == 0 ? "succeeded" : "failed", size);
        sleep(1);
    }
    remove_fixed_file(copy);
    return false;
}

// The relocation request for `entry`'s range.
int relocate(int index, const env_info* entry)
{
    // The flash offset is start - 0x90000000, in 32-bit arithmetic.
    const unsigned int offset = entry->range.start_addr + 0x70000000U;
    const unsigned int size = entry->range.end_addr - entry->range.start_addr;
    return mtd_addr_repair(index, static_cast<int>(offset), static_cast<int>(size));
}

// Moves one saved block's partition and writes the block back at once:
// first a fresh copy (the one saved before the layout change serves when
// that fails), then the move, then the write. 0, -2 when the move was
// refused, -1 when the block was not written back.
int move_and_write_back(const saved_block& b, env_info* table)
{
    if (save_block(b.device, b.fresh, b.size)) {
        if (std::rename(b.fresh, b.copy) != 0)
            rl_log_err("%s: cannot replace %s\n", b.fresh, b.copy);
    } else {
        rl_log_err("%s: no fresh copy, the one made before the layout change is used\n", b.copy);
    }
    env_info& next = g_pending[b.mtd];
    rl_log_debug("mtd_diffrent_deal %s\n", next.name);
    if (relocate(b.mtd, &next) != 0) {
        rl_log_err("%s move failed\n", next.name);
        return -2;
    }
    unsigned int index = 0;
    if (table != nullptr && find_env_by_name(table, next.name, &index) == 0)
        table[index].range = next.range;
    char copy[32];
    std::snprintf(copy, sizeof copy, "%s", b.copy);
    if (mtd_write(b.mtd, b.size, copy) < 0) {
        rl_log_debug("%s", b.failed_line);
        return -1;
    }
    return 0;
}

} // namespace

int mtd_config_deal(env_info* table)
{
    if (table == nullptr) return -1;
    env_info layout[MTD_LAYOUT_PARTITIONS];
    if (!read_layout(layout)) return -1;
    // Everything is known before anything moves: every range of the table,
    // and the copies of the two blocks that exist only in flash.
    env_info* current[MTD_LAYOUT_PARTITIONS] = {};
    bool changed[MTD_LAYOUT_PARTITIONS] = {};
    bool any = false;
    for (int n = 0; n < MTD_LAYOUT_PARTITIONS; ++n) {
        unsigned int index = 0;
        if (find_env_by_name(table, layout[n].name, &index) != 0) {
            rl_log_info("RomVersion env isnot exist!\n");
            return -1;
        }
        current[n] = &table[index];
        rl_log_info("%s start_addr:%x end_addr:%x\n", current[n]->name,
                    current[n]->range.start_addr, current[n]->range.end_addr);
        changed[n] = current[n]->range.start_addr != layout[n].range.start_addr ||
                     current[n]->range.end_addr != layout[n].range.end_addr;
        any = any || changed[n];
    }
    if (!any) return 0;
    if (g_kernel_support == 0) {
        rl_log_info("kernel_support is UNAVAILABLE\n");
        upgrader_kernel_only = 1;
        return 0;
    }
    if (mtd_layout_overlaps(layout)) return -1;
    if ((changed[3] || changed[4]) && cat_env_config_block() != 0) return -1;
    for (int n = 0; n < MTD_LAYOUT_PARTITIONS; ++n) {
        if (!changed[n]) continue;
        if (n == kEnvBlock.mtd || n == kConfigBlock.mtd) {
            // Moved only right before the block is written back.
            g_pending[n] = layout[n];
            if (n == kEnvBlock.mtd) g_env_restore = 1;
            if (n == kConfigBlock.mtd) g_config_restore = 1;
            rl_log_info("%s moves to %x,%x when its block is written back\n", layout[n].name,
                        layout[n].range.start_addr, layout[n].range.end_addr);
            continue;
        }
        if (mtd_diffrent_deal(n, &layout[n]) != 0) return -1;
        current[n]->range = layout[n].range;
    }
    return 0;
}

int mtd_diffrent_deal(int index, env_info* entry)
{
    if (entry == nullptr) return -1;
    rl_log_debug("mtd_diffrent_deal %s\n", entry->name);
    const bool env_block = std::strcmp(entry->name, "mtd3") == 0;
    const bool config_block = std::strcmp(entry->name, "mtd4") == 0;
    if (env_block || config_block) {
        if (cat_env_config_block() != 0) return -1;
        if (env_block) g_env_restore = 1;
        if (config_block) g_config_restore = 1;
    }
    return relocate(index, entry);
}

int cat_env_config_block()
{
    rl_log_debug("cat_env_config_block\n");
    if (config_blocks_saved == 1) return 0;
    if (!save_block(kEnvBlock.device, kEnvBlock.copy, kEnvBlock.size)) return -1;
    if (!save_block(kConfigBlock.device, kConfigBlock.copy, kConfigBlock.size)) return -1;
    config_blocks_saved = 1;
    return 0;
}

int restore_moved_blocks(env_info* table)
{
    int result = 0;
    if (g_config_restore == 1) {
        result = move_and_write_back(kConfigBlock, table);
        if (result == 0) g_config_restore = 0;
    }
    // The environment survives a configuration block that failed.
    if (g_env_restore == 1) {
        const int r = move_and_write_back(kEnvBlock, table);
        if (r == 0) g_env_restore = 0;
        if (result == 0) result = r;
    }
    return result;
}

int umount_config_mtd()
{
    for (int attempt = 0; attempt < kUmountAttempts; ++attempt) {
        const int status = system(kUmountCommand);
        rl_log_info("shellcmd:%s\n", kUmountCommand);
        if (check_system_result(status) == 0) return 0;
        sleep(1);
    }
    return -1;
}
