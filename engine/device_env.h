// engine/device_env.h - the device's boot environment, software versions
// and hardware version, as the upgrade engine sees them.
//
// read_env_info() fills the environment table from the boot loader's
// environment (/proc/avalanche/env: only the kept variables), the three
// version.conf files and /proc/ver/software. Every /proc file is read
// through a copy under /tmp made with /tmp/bin/cat, which the driver puts
// there at start-up. set_env_value() writes one variable back through the
// shell. Everything here runs on the driver's thread: the copies have
// fixed names.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int ENV_NAME_SIZE = 50;   // name and its terminator
constexpr int ENV_VALUE_SIZE = 100; // value text and its terminator
constexpr int ENV_TABLE_SIZE = 30;  // entries in the environment table
constexpr int ENV_LINE_SIZE = 150;  // a line of the boot environment must be shorter

// The address range of flash partition N (variables mtd0..mtd9).
struct env_range {
    std::uint32_t start_addr;
    std::uint32_t end_addr;
};

// One named value. An empty name marks a free entry. mtd0..mtd9 hold
// `range`; every other name holds `value` as text.
struct env_info {
    char name[ENV_NAME_SIZE];
    union {
        char value[ENV_VALUE_SIZE];
        env_range range;
    };
};
static_assert(sizeof(env_info) == 152, "a 50-byte name, padding, a 100-byte value");

// The boot environment's text taken piece by piece, as read_env_info()
// reads it: every line ended by a newline is handled as soon as it is
// complete, a line may span pieces, and text after the last newline is
// never taken. A line must be shorter than ENV_LINE_SIZE characters; of a
// longer one only the first characters are kept (and then it is refused),
// so `line` is never overrun whatever the input. Kept variables fill
// `table` (ENV_TABLE_SIZE entries, zeroed by the caller) from index
// `count` upwards; bad lines are logged and skipped.
struct env_lines {
    env_info* table;
    int count;  // entries of `table` filled
    int length; // characters of the current line so far
    char line[ENV_LINE_SIZE + 1];
};

// Starts reading the boot environment into `table`, whose first `count`
// entries are taken.
env_lines env_lines_start(env_info* table, int count);
// Takes the next `size` bytes of the text (any bytes; null only with
// size 0).
void env_lines_take(env_lines* lines, const char* text, std::size_t size);

// Parses the text of /proc/misc/hwver (its first 99 bytes, up to a NUL:
// no more is read from the file) into eight numbers separated by dots,
// each cut to a byte. 0, or -1 for more or fewer than eight numbers
// (`hw_version` may then be partly written).
int parse_hw_version(const char* text, std::size_t size, unsigned char hw_version[8]);

// Fills `table` (ENV_TABLE_SIZE entries, zeroed by the caller) from index 0
// upwards. 0: done; -1: null table or a copy command failed; -88 (read env
// failed): a copy cannot be opened or /proc/ver/software's first line has
// no comma. Bad lines of the boot environment are logged and skipped.
int read_env_info(env_info* table);

// Reads the eight numbers of /proc/misc/hwver into `hw_version`. 0, or -1
// on any failure (also for more or fewer than eight numbers).
int read_hw_version(unsigned char hw_version[8]);

// Sets boot environment variable `penv_name` to `penv_value` (the empty
// text clears it) with one shell command. 0 when it exited with 0, else -1.
int set_env_value(const char* penv_name, const char* penv_value);

// The index of the first of the ENV_TABLE_SIZE entries named exactly
// `name`: 0 and *index set, or -1 (not found, or a null argument).
int find_env_by_name(const env_info* table, const char* name, unsigned int* index);

// The entry named exactly `name`, or null (not found, or a null argument).
const env_info* find_env_entry(const env_info* table, const char* name);

// The range entry of flash partition `mtd`: the entry named "mtdN", whose
// name is also left in `name` (`size` bytes, for the caller's log lines).
// Null when the table has none.
const env_info* find_mtd_range(const env_info* table, int mtd, char* name, std::size_t size);
