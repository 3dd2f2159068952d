// sim/phone_state.h - a simulated phone as a state directory.
//
//   phone.json        how the phone was made (hardware, panel rules, faults)
//   env.txt           the boot loader's environment, "name\tvalue" lines
//   flash/chip.bin    the 8 MiB NOR chip; flash/erase_counts.bin per block
//   platform/         hwver and software, read as /proc/misc/hwver and
//                     /proc/ver/software
//   files/            /app, /basic, /config, /etc and /version.conf
//   devices.conf      the device layer's settings for the current boot
//   runs/N/           what each boot left: report.json, syslog, frames
//
// Everything here is host-side: it runs before the phone boots and after
// it has powered off.
#pragma once

#include "env_store.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct phone_options {
    std::string hwver = "59.0.0.1.3.0.0.1";
    std::string software = "2.0.0.14,phone-os";
    std::string rom_version = "2.0.0.14"; // /app/version.conf RomVersion
    bool relocation = false;              // the MTD driver can move partitions
    uint32_t erasesize = 65536;
    bool nor_strict = false;                              // programming a non-erased byte fails
    int killapps_exit = 0;                                // exit code of /app/scripts/killapps.sh
    std::vector<std::pair<std::string, std::string>> env; // added or replaced variables
};

// The partition ranges of a new phone, chip addresses [start, end).
struct mtd_range {
    int index;
    uint32_t start;
    uint32_t end;
};
const std::vector<mtd_range>& phone_default_layout();
// The partition windows a boot with this environment gets: each mtdN range
// of the environment, or the default one where it is missing or does not
// fit the chip.
std::vector<mtd_range> phone_windows(const env_vars& env);

// Makes a new phone in `dir` (whatever was there is replaced).
void phone_init(const std::string& dir, const phone_options& opt);
// Copies `program` to the phone's /basic/bin/upgrader.
void phone_install_program(const std::string& dir, const std::string& program);
// True when `dir` holds a phone.
bool phone_exists(const std::string& dir);

struct boot_settings {
    double time_scale = 1.0;
    std::vector<std::string> faults; // extra device-layer rules for this boot
};
// Power-on: the device layer's settings, the partition windows from the
// boot environment, a blank framebuffer, cleared misc device state.
void phone_prepare_boot(const std::string& dir, const boot_settings& s);

// Reads a whole file ("" when missing); writes one, creating directories.
std::string phone_file(const std::string& path);
void phone_put_file(const std::string& path, const std::string& text, int mode = 0644);
