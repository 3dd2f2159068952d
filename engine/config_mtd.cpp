// engine/config_mtd.cpp - comparing and applying a new MTD layout, saving
// the environment and configuration blocks, unmounting the configuration.
#include "config_mtd.h"

#include "flash_burn.h"
#include "profile.h"
#include "rl_log.h"
#include "sys_helpers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
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

// Reads the ten ranges of the new layout from /tmp/mtd.conf; false
// unless all are valid.
bool read_layout(env_info* layout)
{
    char* text = static_cast<char*>(std::calloc(INI_TEXT_SIZE, 1));
    if (text == nullptr) return false;
    int length = 0;
    // A file that cannot be read leaves the text empty: no layout.
    static_cast<void>(load_ini_file(kLayoutFile, text, &length));
    const bool valid = parse_mtd_layout(text, layout);
    std::free(text);
    return valid;
}

bool has_data(const char* path)
{
    struct stat st = {};
    return stat(path, &st) == 0 && st.st_size > 0;
}

// Copies one block device into `copy` with /tmp/bin/cat, up to five
// attempts a second apart, until the copy holds something.
bool save_block(const char* device, const char* copy)
{
    char command[128];
    std::snprintf(command, sizeof command, "/tmp/bin/cat %s > %s", device, copy);
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        rl_log_info("shellcmd:%s\n", command);
        const int status = system(command);
        static_cast<void>(status); // the copy itself tells
        if (has_data(copy)) return true;
        sleep(1);
    }
    return false;
}

} // namespace

int mtd_config_deal(env_info* table)
{
    if (table == nullptr) return -1;
    env_info layout[MTD_LAYOUT_PARTITIONS];
    if (!read_layout(layout)) return -1;
    for (int n = 0; n < MTD_LAYOUT_PARTITIONS; ++n) {
        unsigned int index = 0;
        if (find_env_by_name(table, layout[n].name, &index) != 0) {
            rl_log_info("RomVersion env isnot exist!\n");
            return -1;
        }
        env_info& current = table[index];
        rl_log_info("%s start_addr:%x end_addr:%x\n", current.name, current.range.start_addr,
                    current.range.end_addr);
        if (current.range.start_addr == layout[n].range.start_addr &&
            current.range.end_addr == layout[n].range.end_addr)
            continue;
        if (g_kernel_support == 0) {
            rl_log_info("kernel_support is UNAVAILABLE\n");
            upgrader_kernel_only = 1;
            return 0;
        }
        if (mtd_diffrent_deal(n, &layout[n]) != 0) return -1;
        current.range.start_addr = layout[n].range.start_addr;
        current.range.end_addr = layout[n].range.end_addr;
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
    // The flash offset is start - 0x90000000, in 32-bit arithmetic.
    const unsigned int offset = entry->range.start_addr + 0x70000000U;
    const unsigned int size = entry->range.end_addr - entry->range.start_addr;
    return mtd_addr_repair(index, static_cast<int>(offset), static_cast<int>(size));
}

int cat_env_config_block()
{
    rl_log_debug("cat_env_config_block\n");
    if (config_blocks_saved == 1) return 0;
    if (!save_block("/dev/mtdblock/3", "/tmp/mtdblock3")) return -1;
    if (!save_block("/dev/mtdblock/4", "/tmp/mtdblock4")) return -1;
    config_blocks_saved = 1;
    return 0;
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
