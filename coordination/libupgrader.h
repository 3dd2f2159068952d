// coordination/libupgrader.h - the shared upgrade record in System V
// shared memory.
//
// The phone's loading process puts a ROM image into a shared-memory
// segment with a state word beside it and starts the upgrader without
// arguments. The record, from the start of the segment (words in the
// processor's byte order, little-endian on the phone):
//   offset 0, 4 bytes: reserved, never touched here
//   offset 4, 4 bytes: upgrader_state, a signed int set by the loader
//   offset 8 to the end of the segment: rom_data, the ROM image
// The record has no lock of its own: readers hold memory_semid
// (SEM_KEY_MEMORY). Attaching logs the segment's size, its number of
// attaches and the address at info; a missing segment is not logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Looked up first by get_share_memory(); never created here.
constexpr key_t LIBUPD_SHM_KEY_PRIMARY = 0x1079B;
// Looked up second; the segment this module creates and removes.
constexpr key_t LIBUPD_SHM_KEY = 0xA130;
// Size of the segment libupd_create_share_memory() creates: 8 MiB.
constexpr std::size_t LIBUPD_SHM_SIZE = 8388608;

// The head of the record; rom_data follows it.
struct libupd_record_head {
    std::int32_t reserved;
    std::int32_t upgrader_state;
};
constexpr std::size_t LIBUPD_STATE_OFFSET = 4;
constexpr std::size_t LIBUPD_ROM_OFFSET = 8;
static_assert(sizeof(libupd_record_head) == LIBUPD_ROM_OFFSET, "the image starts at offset 8");
static_assert(offsetof(libupd_record_head, upgrader_state) == LIBUPD_STATE_OFFSET,
              "the state word is at offset 4");
// The largest image an 8 MiB segment holds.
constexpr std::size_t LIBUPD_ROM_MAX = LIBUPD_SHM_SIZE - LIBUPD_ROM_OFFSET;

// upgrader_state values the loader writes.
constexpr int LIBUPD_STATE_NORMAL = 0;       // failures end on the failure screen
constexpr int LIBUPD_STATE_AUTOP = 1;        // auto-provisioning run
constexpr int LIBUPD_STATE_KEEP_APPS = 2;    // the applications keep running
constexpr int LIBUPD_STATE_LOAD_FAILED = -1; // the image could not be loaded
constexpr int LIBUPD_STATE_AUTOP_LOAD_FAILED = -2;
constexpr int LIBUPD_STATE_KEEP_APPS_CHECK = -3; // like 2

// Attaches the segment under LIBUPD_SHM_KEY_PRIMARY, else the one under
// LIBUPD_SHM_KEY. Returns the record's address, or null (silently when
// neither exists).
void* get_share_memory();
// Attaches the segment under LIBUPD_SHM_KEY, creating it with
// LIBUPD_SHM_SIZE bytes and permissions 0666 when it is missing; an
// existing segment keeps its size. Returns the record's address or null.
void* libupd_create_share_memory();
// The state word of the record at `addr` (not checked).
int libupd_get_state(const void* addr);
// Stores `state` in the record at `addr` (not checked); returns it.
int libupd_set_state(void* addr, int state);
// The address of rom_data: addr + 8.
unsigned char* libupd_get_rom_start_addr(void* addr);
// How many bytes of rom_data the segment attached at `addr` by this
// process holds (its size as the system reported it, less 8); 0 when the
// address was not attached here or its size is unknown. An image must
// not be read beyond this.
std::size_t libupd_get_rom_capacity(const void* addr);
// Detaches `addr` and removes the segment under LIBUPD_SHM_KEY; does
// nothing for a null address or when that segment does not exist.
void libupd_delete_share_memory(void* addr);

// Logs the module's banner (name, version, build date and time) at info.
void libupd_show_version();
