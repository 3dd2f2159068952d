// engine/mtd_layout.cpp - the text of a new flash layout (/tmp/mtd.conf)
// read into ten ranges. Nothing here touches a file or a device.
#include "config_mtd.h"

#include "profile.h"
#include "rl_log.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned int kBlockAlign = 0x10000;

bool valid_range(unsigned int start, unsigned int end)
{
    return start >= MTD_FLASH_BASE && start <= MTD_FLASH_END && end >= MTD_FLASH_BASE &&
           end <= MTD_FLASH_END && start < end && start % kBlockAlign == 0 &&
           end % kBlockAlign == 0;
}

} // namespace

bool parse_mtd_layout(const char* text, env_info layout[MTD_LAYOUT_PARTITIONS])
{
    if (text == nullptr || layout == nullptr) return false;
    for (int n = 0; n < MTD_LAYOUT_PARTITIONS; ++n) {
        char key[16];
        std::snprintf(key, sizeof key, "mtd%d", n);
        // The value is cut to 99 characters before it is scanned, so the
        // scan reads a bounded, terminated text.
        char value[ENV_VALUE_SIZE] = {};
        const int found = text_profile_string("mtd", key, value, sizeof value, nullptr, text);
        rl_log_debug("str_buf:%s\n", value);
        unsigned int start = 0;
        unsigned int end = 0;
        if (found != 1 || std::sscanf(value, "%x,%x", &start, &end) != 2 ||
            !valid_range(start, end))
            return false;
        env_info& e = layout[n];
        std::memset(&e, 0, sizeof e);
        std::snprintf(e.name, sizeof e.name, "%s", key);
        e.range.start_addr = start;
        e.range.end_addr = end;
    }
    return true;
}

bool mtd_layout_overlaps(const env_info layout[MTD_LAYOUT_PARTITIONS])
{
    if (layout == nullptr) return true;
    // Two partitions sharing a block would each burn over the other.
    for (int a = 0; a < MTD_LAYOUT_PARTITIONS; ++a) {
        for (int b = a + 1; b < MTD_LAYOUT_PARTITIONS; ++b) {
            const env_range& x = layout[a].range;
            const env_range& y = layout[b].range;
            if (x.start_addr < y.end_addr && y.start_addr < x.end_addr) {
                rl_log_err("mtd%d and mtd%d overlap\n", a, b);
                return true;
            }
        }
    }
    return false;
}
