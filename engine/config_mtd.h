// engine/config_mtd.h - a new flash layout brought by a ROM image.
//
// mtd_config_deal() reads the layout the upgrade check extracted into
// /tmp/mtd.conf (section "mtd", keys mtd0..mtd9, "start,end" in hex),
// compares it with the boot environment's ranges and moves every
// partition that differs with the MTD driver's relocation request. Before
// the environment block (MTD 3) or the configuration block (MTD 4) moves,
// both blocks are saved to /tmp/mtdblock3 and /tmp/mtdblock4, and the
// driver is told to write them back (g_env_restore, g_config_restore).
// Without relocation support only partition 1 is burned
// (upgrader_kernel_only). Everything runs on the driver's thread.
#pragma once

#include "device_env.h"

// 1 when the MTD driver accepts the relocation request (set by the driver).
extern int g_kernel_support;
// MTD 3 moved: write /tmp/mtdblock3 back before burning.
extern int g_env_restore;
// MTD 4 moved: unmount /etc and /config, write /tmp/mtdblock4 back.
extern int g_config_restore;
// Both blocks were copied into /tmp in this run.
extern int config_blocks_saved;

// The flash is addressed at 0x90000000..0x90800000.
constexpr unsigned int MTD_FLASH_BASE = 0x90000000U;
constexpr unsigned int MTD_FLASH_END = 0x90800000U;

// The partitions of a layout: mtd0 .. mtd9.
constexpr int MTD_LAYOUT_PARTITIONS = 10;

// Reads a layout from the text of /tmp/mtd.conf (terminated, any length):
// the keys mtd0..mtd9 of section "mtd", each "start,end" in hex, found as
// read_profile_string() finds them. Entry N of `layout` gets the name
// "mtdN" and its range. True only when all ten are present and valid:
// inside the flash, start below end, both on 64 KiB boundaries, and no two
// overlapping (logged as "mtdA and mtdB overlap"). Defined in
// mtd_layout.cpp, which needs nothing but the profile reader.
bool parse_mtd_layout(const char* text, env_info layout[MTD_LAYOUT_PARTITIONS]);

// 0 when the layout needed nothing, was applied, or burning was limited to
// partition 1; -1 when /tmp/mtd.conf lacks ten valid ranges, an mtdN
// range is missing from `table`, or a move failed. Moved ranges are
// updated in `table`.
int mtd_config_deal(env_info* table);

// Moves partition `index` to the range of `entry` (saving the
// environment and configuration blocks first for mtd3 and mtd4). 0 or -1.
int mtd_diffrent_deal(int index, env_info* entry);

// Copies /dev/mtdblock/3 and /dev/mtdblock/4 into /tmp, at most once per
// run. 0, or -1 when a copy stayed missing or empty after five attempts.
int cat_env_config_block();

// Unmounts /etc/ and /config/, up to five attempts a second apart. 0 or -1.
int umount_config_mtd();
