// engine/flash_burn.h - putting bytes into the MTD flash partitions.
//
// burn_flash() writes every partition of an accepted image whose burn flag
// is set into its MTD partition (/dev/mtdN), erasing the whole partition
// first, 64 KiB at a time, and moves the progress bar from 15 to 100 (each
// block's frame is drawn while the next block burns, and every frame is on
// the panel when it returns). Before it erases anything it checks that
// every such device is exactly as large as its range; every block it
// writes is read back and compared. mtd_write() writes a saved block file
// back into a partition, verified the same way. The relocation operations
// ask the platform's MTD driver whether it can move a partition, and move
// one. Nothing here locks: the driver holds its burn lock around all of it.
#pragma once

#include "device_env.h"
#include "rom_format.h"

class CBasicUI;

// While 1, burn_flash() writes only the partition with partition_id 1
// (set when the image's MTD layout differs and cannot be relocated).
extern int upgrader_kernel_only;

constexpr unsigned int FLASH_BLOCK_SIZE = 65536;

// The platform MTD driver's relocation requests.
constexpr unsigned long MTD_RELOCATION_QUERY = 0x40044D12UL;   // no argument
constexpr unsigned long MTD_RELOCATION_REQUEST = 0x80084D11UL; // {offset, size}

// Burns the flagged partitions among the first `partition_count` of
// `headers` (at most 16) from `image`, whose ranges the upgrade check has
// bounded. 0, -1 for a null argument or a count above 16, or -85 (no
// mtdN range), -83 (device), -82 (a device of another size than its
// range, or an erase), -81 (a write, or a block that reads back wrong).
int burn_flash(const unsigned int* image, env_info* env_table, int partition_count,
               partition_header* headers, int* burn_flags, CBasicUI* ui);

// Erases `count` erase blocks of the open MTD device `fd` from byte
// `start`. 0, or -1 when the device cannot say its erase size, has one
// other than 64 KiB, or refuses an erase.
int mtd_erase(int fd, unsigned int start, int count);

// Writes the file `path`, exactly `size` bytes (a multiple of 64 KiB),
// into MTD partition `mtd` (at least that large): erase, then write and
// read back, block by block. 0 or -1.
int mtd_write(int mtd, int size, char* path);

// 1 when /dev/mtd0 or /dev/mtd1 answers the relocation query, else 0.
int kernel_support_mtd_repair_check();

// Asks the MTD driver to move partition `mtd` (0..9) to `offset` within
// the flash device, `size` bytes long. 0, or -1.
int mtd_addr_repair(int mtd, int offset, int size);

// Erases the whole MTD partition `mtd`, its size from `env_table`.
void mtd_erase_partition(env_info* env_table, int mtd);
