// fuzz/mtd_conf_fuzz.cpp - the new flash layout's text on arbitrary bytes.
//
// The input is the text of /tmp/mtd.conf, cut to what load_ini_file()
// would load; it is a terminated heap copy of exactly that length, so that
// AddressSanitizer reports a read past it. A layout that is accepted must
// name mtd0..mtd9 in order with ranges inside the flash, start below end,
// on 64 KiB boundaries, no two of them sharing a block.
#include "config_mtd.h"
#include "profile.h"
#include "rl_log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rl_log_set_level(-1); // every value read is logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t n = size < static_cast<std::size_t>(INI_TEXT_SIZE - 1)
                              ? size
                              : static_cast<std::size_t>(INI_TEXT_SIZE - 1);
    std::vector<char> text(data, data + n);
    text.push_back('\0');

    std::vector<env_info> layout(MTD_LAYOUT_PARTITIONS);
    if (!parse_mtd_layout(text.data(), layout.data()) || mtd_layout_overlaps(layout.data()))
        return 0;
    for (int i = 0; i < MTD_LAYOUT_PARTITIONS; ++i) {
        const env_info& e = layout[static_cast<std::size_t>(i)];
        char name[8];
        std::snprintf(name, sizeof name, "mtd%d", i);
        if (std::strcmp(e.name, name) != 0) std::abort();
        const std::uint32_t start = e.range.start_addr;
        const std::uint32_t end = e.range.end_addr;
        if (start < MTD_FLASH_BASE || end > MTD_FLASH_END || start >= end) std::abort();
        if (start % 0x10000 != 0 || end % 0x10000 != 0) std::abort();
        for (int j = 0; j < i; ++j) {
            const env_range& other = layout[static_cast<std::size_t>(j)].range;
            if (start < other.end_addr && other.start_addr < end) std::abort();
        }
    }
    return 0;
}
