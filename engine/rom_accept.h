// engine/rom_accept.h - the upgrade check: whether this device takes a ROM
// image, and what of it to burn.
//
// rom_upgrade_check() runs the format checks around the acceptance rules:
// the minimum ROM version for some hardware revisions, per flash
// partition its number, type, address range, device node and whether it
// needs burning (burn_flags), per special partition its extraction into a
// file, the device identity, the OEM / MID / protection rules, the match
// identifier and the version of the whole ROM. The settings the OEM rules
// decide are written into the boot environment only once the image is
// accepted (0 or -86); a refused image leaves the device's settings as
// they were and takes back a configuration change file it extracted.
#pragma once

#include "device_env.h"
#include "rom_format.h"

#include <cstddef>

// Set to 1 when a check wrote /tmp/mtd.conf from an image; back to 0 when
// that image is then refused and the file taken back.
extern int g_mtd_config;

// Results besides 0 and the UPD_MSG codes.
constexpr int ROM_CHECK_UPGRADER_EXTRACTED = 11; // /tmp/upgrader_tool was just written

// Where the check writes an upgrader program it finds in the image.
constexpr const char* UPGRADER_TOOL_PATH = "/tmp/upgrader_tool";

// Checks the image (`image_len` bytes: the file size, or the room of the
// shared record) for this device. `env_table` (30 entries) is zeroed and
// filled, `header` and `headers` (room for 16) are filled, burn_flags[k]
// (16 entries, passed cleared) is written for each partition examined:
// 1 burn, 0 leave. Returns 0 accepted, 11 an upgrader program was
// extracted (the walk stopped there), -86 accepted but the same ROM
// version is installed, -1 a null argument, or the refusing UPD_MSG code.
int rom_upgrade_check(const unsigned int* image, std::size_t image_len, env_info* env_table,
                      rom_header* header, partition_header* headers, int* burn_flags);
