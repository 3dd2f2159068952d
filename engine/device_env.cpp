// engine/device_env.cpp - reading the boot environment and the versions,
// writing one boot environment variable.
#include "device_env.h"

#include "profile.h"
#include "rl_log.h"
#include "rom_format.h"
#include "sys_helpers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCopyRuns = 5;
constexpr int kCommandSize = 256;
constexpr int kCommandMargin = 27; // the fixed text of the write command
constexpr int kSoftwareLineMax = 148;
constexpr std::size_t kHwverTextMax = 99; // bytes read of /proc/misc/hwver
constexpr int kHwverNumbers = 8;

// The boot environment variables that are kept; all others are skipped.
const char* const kKeptVariables[] = {"MID_VERSION", "SW_OEM", "SW_protect", "mtd0",       "mtd1",
                                      "mtd2",        "mtd3",   "mtd4",       "mtd5",       "mtd6",
                                      "mtd7",        "mtd8",   "mtd9",       "Mtd2Version"};

// The version.conf keys, in the order they are read.
struct version_source {
    const char* key;
    const char* file;
};
const version_source kVersionSources[] = {{"RomVersion", "/app/version.conf"},
                                          {"Mtd6Version", "/app/version.conf"},
                                          {"Mtd5Version", "/basic/version.conf"},
                                          {"Mtd0Version", "/version.conf"}};

bool is_kept(const char* name)
{
    for (const char* kept : kKeptVariables)
        if (std::strcmp(name, kept) == 0) return true;
    return false;
}

// mtd0 .. mtd9: the variables that hold an address range.
bool is_range_name(const char* name)
{
    return std::strncmp(name, "mtd", 3) == 0 && name[3] >= '0' && name[3] <= '9' && name[4] == '\0';
}

bool file_has_data(const char* path)
{
    return own_file_size(path) > 0;
}

// Copies a /proc file with /tmp/bin/cat into `copy`, up to five runs
// until the copy holds something. -1 when a run of the command fails;
// otherwise 0, and opening the copy decides the rest.
int copy_proc_file(const char* proc_file, const char* copy)
{
    char command[kCommandSize];
    std::snprintf(command, sizeof command, "/tmp/bin/cat %s > %s", proc_file, copy);
    for (int run = 0; run < kCopyRuns; ++run) {
        // The shell's ">" would write through whatever stands there.
        if (remove_fixed_file(copy) != 0) return -1;
        rl_log_info("shellcmd:%s\n", command);
        if (check_system_result(system(command)) < 0) return -1;
        if (file_has_data(copy)) break;
    }
    return 0;
}

// Copies `src` into `dst` of `size` bytes, cut to fit and terminated.
void copy_text(char* dst, std::size_t size, const char* src)
{
    const std::size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Stores a text entry at table[*count] while there is room.
void store_text(env_info* table, int* count, const char* name, const char* value)
{
    if (*count >= ENV_TABLE_SIZE) return;
    env_info& e = table[*count];
    copy_text(e.name, sizeof e.name, name);
    copy_text(e.value, sizeof e.value, value);
    ++*count;
}

void store_range(env_info* table, int* count, const char* name, std::uint32_t start,
                 std::uint32_t end)
{
    if (*count >= ENV_TABLE_SIZE) return;
    env_info& e = table[*count];
    copy_text(e.name, sizeof e.name, name);
    std::memset(e.value, 0, sizeof e.value);
    e.range.start_addr = start;
    e.range.end_addr = end;
    ++*count;
}

// Handles one complete line of the boot environment: `length` characters
// were read, of which `line` holds the first ones (all of them when the
// line is shorter than the buffer).
void take_env_line(env_info* table, int* count, char* line, int length)
{
    if (*count >= ENV_TABLE_SIZE) {
        rl_log_err("env data too many\n");
        return;
    }
    if (length >= ENV_LINE_SIZE) {
        rl_log_err("env data too long\n");
        return;
    }
    char* sep = std::strpbrk(line, " \t");
    if (sep == nullptr) {
        rl_log_err("invalid env\n");
        return;
    }
    *sep = '\0';
    const char* name = line;
    const char* value = sep + 1;
    if (std::strlen(name) >= ENV_NAME_SIZE) {
        rl_log_err("env name too long\n");
        return;
    }
    if (std::strlen(value) >= ENV_VALUE_SIZE) {
        rl_log_err("env value too long\n");
        return;
    }
    rl_log_debug("pvar:%s pval:%s\n", name, value);
    if (!is_kept(name)) return;
    if (!is_range_name(name)) {
        store_text(table, count, name, value);
        return;
    }
    unsigned int start = 0;
    unsigned int end = 0;
    const int fields = std::sscanf(value, "%x,%x", &start, &end);
    if (fields < 1) return;
    // A range with one number has no end; the acceptance checks refuse it.
    if (fields == 1) end = 0;
    store_range(table, count, name, start, end);
}

// Reads the boot environment copy into the table, a piece at a time.
void read_env_lines(FILE* f, env_info* table, int* count)
{
    env_lines lines = env_lines_start(table, *count);
    char piece[256];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) env_lines_take(&lines, piece, n);
    *count = lines.count;
}

void read_versions(env_info* table, int* count)
{
    for (const version_source& s : kVersionSources) {
        char value[ENV_VALUE_SIZE] = {};
        if (read_profile_string("Version", s.key, value, sizeof value, nullptr, s.file) != 1)
            continue;
        store_text(table, count, s.key, value);
        rl_log_debug("%s:%s\n", s.key, value);
    }
}

// The text before the first comma of /proc/ver/software's first line.
int read_software_version(env_info* table, int* count)
{
    if (copy_proc_file("/proc/ver/software", "/tmp/ver_software") < 0) return -1;
    FILE* f = open_own_file("/tmp/ver_software");
    if (f == nullptr) return UPD_MSG_READ_ENV_FAILED;
    char line[kSoftwareLineMax + 1] = {};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    char* comma = got ? std::strchr(line, ',') : nullptr;
    if (comma == nullptr) return UPD_MSG_READ_ENV_FAILED;
    *comma = '\0';
    // A first field longer than a value holds is cut to fit.
    line[ENV_VALUE_SIZE - 1] = '\0';
    store_text(table, count, "Mtd1Version", line);
    rl_log_debug("%s:%s\n", "Mtd1Version", line);
    return 0;
}

// Characters that would end or change a double-quoted shell word.
bool shell_safe(const char* s)
{
    return std::strpbrk(s, "\"$`\\\n") == nullptr;
}

} // namespace

env_lines env_lines_start(env_info* table, int count)
{
    env_lines lines;
    lines.table = table;
    lines.count = count;
    lines.length = 0;
    lines.line[0] = '\0';
    return lines;
}

void env_lines_take(env_lines* lines, const char* text, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (c == '\n') {
            const int end = lines->length < ENV_LINE_SIZE ? lines->length : ENV_LINE_SIZE;
            lines->line[end] = '\0';
            take_env_line(lines->table, &lines->count, lines->line, lines->length);
            lines->length = 0;
            continue;
        }
        // Once full, the line is too long and stays refused: its further
        // characters are neither kept nor counted.
        if (lines->length < ENV_LINE_SIZE) lines->line[lines->length++] = c;
    }
}

int read_env_info(env_info* table)
{
    if (table == nullptr) return -1;
    if (copy_proc_file("/proc/avalanche/env", "/tmp/avalanche_env_file") < 0) return -1;
    FILE* f = open_own_file("/tmp/avalanche_env_file");
    if (f == nullptr) return UPD_MSG_READ_ENV_FAILED;
    int count = 0;
    read_env_lines(f, table, &count);
    std::fclose(f);
    read_versions(table, &count);
    return read_software_version(table, &count);
}

int read_hw_version(unsigned char hw_version[8])
{
    if (hw_version == nullptr) return -1;
    if (copy_proc_file("/proc/misc/hwver", "/tmp/ver_hardware") < 0) return -1;
    FILE* f = open_own_file("/tmp/ver_hardware");
    if (f == nullptr) return -1;
    char text[kHwverTextMax] = {};
    const size_t n = std::fread(text, 1, sizeof text, f);
    std::fclose(f);
    return parse_hw_version(text, n, hw_version);
}

int parse_hw_version(const char* text, std::size_t size, unsigned char hw_version[8])
{
    if (hw_version == nullptr || (text == nullptr && size > 0)) return -1;
    // The text is what one read of at most 99 bytes returns, terminated.
    char copy[kHwverTextMax + 1] = {};
    const std::size_t n = size < kHwverTextMax ? size : kHwverTextMax;
    if (n > 0) std::memcpy(copy, text, n);
    copy[n] = '\0';
    rl_log_debug("hardware_version:%s\n", copy);

    int pieces = 0;
    for (const char* piece = copy;;) {
        if (pieces == kHwverNumbers) {
            rl_log_err("read hwver fail1\n");
            return -1;
        }
        // strtoll, unlike atoi, is defined for any digits (beyond its range
        // it gives its limit), and is 64 bits wide on the phone as on the
        // host; the number is cut to its low byte as before.
        hw_version[pieces++] = static_cast<unsigned char>(std::strtoll(piece, nullptr, 10));
        const char* dot = std::strchr(piece, '.');
        if (dot == nullptr) break;
        piece = dot + 1;
    }
    if (pieces < kHwverNumbers) {
        rl_log_err("hwver read fail2\n");
        return -1;
    }
    rl_log_info("hw_version: %d.%d.%d.%d.%d.%d.%d.%d\n", hw_version[0], hw_version[1],
                hw_version[2], hw_version[3], hw_version[4], hw_version[5], hw_version[6],
                hw_version[7]);
    return 0;
}

int set_env_value(const char* penv_name, const char* penv_value)
{
    if (penv_name == nullptr) {
        rl_log_err("penv_name NULL!\n");
        return -1;
    }
    if (penv_value == nullptr) {
        rl_log_err("penv_value NULL!\n");
        return -1;
    }
    if (std::strlen(penv_name) + std::strlen(penv_value) + kCommandMargin >= kCommandSize) {
        rl_log_err("env str too long!\n");
        return -1;
    }
    // The text goes into a double-quoted shell word: anything that could
    // end it or expand inside it is refused rather than run.
    if (!shell_safe(penv_name) || !shell_safe(penv_value)) {
        rl_log_err("env str unsafe!\n");
        return -1;
    }
    // The margin above is three characters short of the command's fixed
    // text; a command that does not fit is refused, never cut.
    char command[kCommandSize];
    const int length =
        penv_value[0] != '\0'
            ? std::snprintf(command, sizeof command, "echo \"%s %s\" >/proc/avalanche/env ",
                            penv_name, penv_value)
            : std::snprintf(command, sizeof command, "echo \"%s\" >/proc/avalanche/env ",
                            penv_name);
    if (length < 0 || length >= kCommandSize) {
        rl_log_err("env str too long!\n");
        return -1;
    }
    rl_log_info("\nshellcmd:%s\n", command);
    if (check_system_result(system(command)) < 0) {
        rl_log_err("%s shellcmd failed!\n", command);
        return -1;
    }
    return 0;
}

int find_env_by_name(const env_info* table, const char* name, unsigned int* index)
{
    if (table == nullptr || name == nullptr || index == nullptr) return -1;
    const size_t length = std::strlen(name);
    if (length >= ENV_NAME_SIZE) return -1;
    for (unsigned int i = 0; i < ENV_TABLE_SIZE; ++i) {
        const env_info& e = table[i];
        if (strnlen(e.name, sizeof e.name) == length && std::memcmp(e.name, name, length) == 0) {
            *index = i;
            return 0;
        }
    }
    return -1;
}

const env_info* find_env_entry(const env_info* table, const char* name)
{
    unsigned int index = 0;
    if (find_env_by_name(table, name, &index) != 0) return nullptr;
    return &table[index];
}

const env_info* find_mtd_range(const env_info* table, int mtd, char* name, std::size_t size)
{
    std::snprintf(name, size, "mtd%d", mtd);
    return find_env_entry(table, name);
}
