// engine/config_mtd.h - a new flash layout brought by a ROM image.
//
// mtd_config_deal() reads the layout the upgrade check extracted into
// /tmp/mtd.conf (section "mtd", keys mtd0..mtd9, "start,end" in hex),
// compares it with the boot environment's ranges and moves every
// partition that differs with the MTD driver's relocation request.
// Without relocation support only partition 1 is burned
// (upgrader_kernel_only).
//
// The environment block (MTD 3) and the configuration block (MTD 4) exist
// only in RAM between their move and their write-back, so those two moves
// wait: mtd_config_deal() copies both blocks to /tmp/mtdblock3 and
// /tmp/mtdblock4 (checked whole) before anything moves, and leaves their
// moves to restore_moved_blocks(), which the driver calls once the
// applications are stopped and /config is unmounted. There each block is
// copied afresh (the copy made before serves when that fails), moved and
// at once written back. Everything runs on the driver's thread, with the
// burn lock held.
#pragma once

#include "device_env.h"

// 1 when the MTD driver accepts the relocation request (set by the driver).
extern int g_kernel_support;
// MTD 3 is to move: restore_moved_blocks() moves and writes it back.
extern int g_env_restore;
// MTD 4 is to move: unmount /etc and /config, then restore_moved_blocks().
extern int g_config_restore;
// Both blocks were copied into /tmp in this run.
extern int config_blocks_saved;

// The flash is addressed at 0x90000000..0x90800000.
constexpr unsigned int MTD_FLASH_BASE = 0x90000000U;
constexpr unsigned int MTD_FLASH_END = 0x90800000U;

// The partitions of a layout: mtd0 .. mtd9.
constexpr int MTD_LAYOUT_PARTITIONS = 10;

// The sizes of the saved blocks.
constexpr int MTD_ENV_BLOCK_SIZE = 65536;
constexpr int MTD_CONFIG_BLOCK_SIZE = 524288;

// Reads a layout from the text of /tmp/mtd.conf (terminated, any length):
// the keys mtd0..mtd9 of section "mtd", each "start,end" in hex, found as
// read_profile_string() finds them. Entry N of `layout` gets the name
// "mtdN" and its range. True only when all ten are present and valid:
// inside the flash, start below end, both on 64 KiB boundaries. Defined in
// mtd_layout.cpp, which needs nothing but the profile reader.
bool parse_mtd_layout(const char* text, env_info layout[MTD_LAYOUT_PARTITIONS]);
// Whether two ranges of a layout share a block (logged as "mtdA and mtdB
// overlap"): such a layout is never applied.
bool mtd_layout_overlaps(const env_info layout[MTD_LAYOUT_PARTITIONS]);

// 0 when the layout needed nothing (also when it is the installed one with
// ranges that nest), was applied (mtd3 and mtd4 pending for
// restore_moved_blocks()), or burning was limited to partition 1; -1 when
// /tmp/mtd.conf lacks ten valid ranges, an mtdN range is missing from
// `table`, a layout to apply has overlapping ranges, a block copy is not
// whole, or a move failed. Nothing moves
// before all of that is known. Moved ranges are updated in `table`.
int mtd_config_deal(env_info* table);

// Moves partition `index` to the range of `entry` (saving the
// environment and configuration blocks first for mtd3 and mtd4). 0 or -1.
int mtd_diffrent_deal(int index, env_info* entry);

// Copies /dev/mtdblock/3 and /dev/mtdblock/4 into /tmp, at most once per
// run: each a regular file of exactly 65,536 and 524,288 bytes, made by a
// command that succeeded. 0, or -1 when a copy was not whole after five
// attempts.
int cat_env_config_block();

// Moves mtd4 (when g_config_restore) and mtd3 (when g_env_restore) to the
// new layout's ranges, each right after a fresh copy of its block and
// right before the block is written back. /config must be unmounted
// first. The environment block is moved and written even when the
// configuration block failed. 0, or the failure: -1 a block not written
// back, -2 a move refused (nothing written for that block).
int restore_moved_blocks(env_info* table);

// Unmounts /etc/ and /config/, up to five attempts a second apart. 0 or -1.
int umount_config_mtd();
