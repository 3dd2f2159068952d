// sim/layout.h - where the simulated phone keeps its state, and the
// platform's constants, shared by the simulator and its device layer.
//
// Paths are as seen inside the phone, where the state directory is /.sim.
#pragma once

#include <cstdint>

namespace phone {

constexpr const char* kStateDir = "/.sim";
constexpr const char* kDevicesConf =
    "/.sim/devices.conf"; // written at boot, read by the device layer
constexpr const char* kChip = "/.sim/flash/chip.bin";
constexpr const char* kWindows = "/.sim/flash/windows.txt";
constexpr const char* kEraseCounts = "/.sim/flash/erase_counts.bin";
constexpr const char* kFaultCounts = "/.sim/dev/fault_counts"; // u32 per fault rule, this boot
constexpr const char* kFlashWrites = "/.sim/dev/flash_writes"; // u32, programming calls this boot
constexpr const char* kFramebuffer = "/.sim/dev/fb0";
constexpr const char* kMiscState = "/.sim/dev/misc.state";
constexpr const char* kHwver = "/.sim/platform/hwver";
constexpr const char* kSoftware = "/.sim/platform/software";
// When present, /proc/avalanche/env reads as exactly these bytes instead of
// the store: a platform that produces odd lines. Writes still set the store.
constexpr const char* kEnvRaw = "/.sim/platform/env.raw";
constexpr const char* kPlatformMount = "/.platform"; // the simulator's FUSE files
constexpr const char* kRunSockets = "/var/run/phonesim";
constexpr const char* kKeypadSocket = "/var/run/phonesim/keypad.sock";
constexpr const char* kControlSocket = "/var/run/phonesim/control.sock";

// The NOR chip: 8 MiB at 0x90000000 in 64 KiB erase blocks.
constexpr uint32_t kChipBase = 0x90000000U;
constexpr uint32_t kChipSize = 8U << 20;
constexpr uint32_t kEraseBlock = 64U << 10;
constexpr int kPartitions = 10;

// The LCD: 480 x 272, 16 or 4 bits per pixel.
constexpr int kLcdWidth = 480;
constexpr int kLcdHeight = 272;
constexpr uint32_t kFbSize16 = 480U * 272U * 2U;
constexpr uint32_t kFbSize4 = 480U * 272U / 2U;

// The panel kind a hardware version selects: G-type (16 bits per pixel)
// when the eighth number is odd, or the first is 59 and the low four bits
// of the fourth are 1.
bool hwver_is_gtype(const char* hwver);

} // namespace phone
