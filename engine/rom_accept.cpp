// engine/rom_accept.cpp - the acceptance rules of the upgrade check and
// the check itself, in its order of steps.
#include "rom_accept.h"

#include "flash_burn.h"
#include "rl_log.h"
#include "rom_check.h"
#include "sys_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int g_mtd_config = 0;

namespace {

constexpr unsigned int kFlashIdMax = 10;    // partition ids 0..9 are MTD partitions
constexpr unsigned int kSpecialIdMin = 255; // ids from here on are special partitions
constexpr int kTouchRuns = 3;
constexpr int kSettingsMax = 3;
constexpr const char* kMtdConf = "/tmp/mtd.conf";
constexpr const char* kConfigModify = "/config/config_modify";

// Outcomes of a special partition (logged by upd_msg_log, which has no
// text for them).
constexpr int kSpecialLeftOut = 2;
constexpr int kSpecialMtdConfig = 12;
constexpr int kSpecialConfigModify = 13;

// A boot environment setting decided by the OEM rules, written once the
// image is accepted.
struct env_setting {
    const char* name;
    char value[16];
};

// A file the check wrote from the image: its path (null: none) and which
// file it was.
struct extracted_file {
    const char* path;
    dev_t dev;
    ino_t ino;
};

struct check_context {
    env_info* env;
    const rom_header* header;
    int* burn_flags;
    extracted_file tool;
    extracted_file mtd_conf;
    extracted_file config_modify;
    env_setting settings[kSettingsMax];
    int setting_count;
};

// A text entry read as a decimal integer; a missing entry counts as 0.
int env_number(const env_info* table, const char* name)
{
    const env_info* e = find_env_entry(table, name);
    if (e == nullptr) return 0;
    char text[ENV_VALUE_SIZE];
    std::snprintf(text, sizeof text, "%.*s", ENV_VALUE_SIZE - 1, e->value);
    return std::atoi(text);
}

// The ROM versions some hardware revisions need at least (b, c, d are the
// second to fourth byte of rom_version). 0, or -74.
int check_minimum_version(const unsigned char* hw, unsigned int rom_version)
{
    const unsigned int b = (rom_version >> 16) & 0xFF;
    const unsigned int c = (rom_version >> 8) & 0xFF;
    const unsigned int d = rom_version & 0xFF;
    bool ok = true;
    if (hw[7] == 1 && (hw[0] == 59 || hw[0] == 53 || hw[0] == 52)) {
        ok = (b == 143 || b == 164) ? c >= 8 : (c > 5 || (c == 5 && d >= 200));
    } else if (hw[7] == 1 && hw[0] == 55) {
        ok = b == 145 ? c >= 6 : (c > 6 || (c == 6 && d >= 100));
    } else if (hw[7] != 1 && hw[0] == 59 && (hw[3] & 0x0F) == 1) {
        ok = (b == 143 || b == 164) ? (c > 6 || (c == 6 && d >= 200)) : c >= 6;
    }
    return ok ? 0 : upd_msg_refuse(UPD_MSG_ROM_VERSION_LOW);
}

// The version text of a 32-bit version, most significant byte first.
void version_text(unsigned int version, char* text, std::size_t size)
{
    std::snprintf(text, size, "%d.%d.%d.%d", static_cast<int>((version >> 24) & 0xFF),
                  static_cast<int>((version >> 16) & 0xFF), static_cast<int>((version >> 8) & 0xFF),
                  static_cast<int>(version & 0xFF));
}

int read_hardware(unsigned char* hw)
{
    std::memset(hw, 0, 8);
    if (read_hw_version(hw) != 0) return upd_msg_refuse(UPD_MSG_READ_HWVERSION_FAILED);
    return 0;
}

// Whether flash partition N needs burning: 1, or 0 when its version is
// the installed one.
int burn_decision(const check_context* ctx, const partition_header* part, unsigned int n)
{
    if (ctx->header->process_type == 1) {
        rl_log_info("rom force upgrade!\n");
        return 1;
    }
    if (part->process_type == 1) {
        rl_log_info("mtd%d force upgrade!\n", static_cast<int>(n));
        return 1;
    }
    char name[ENV_NAME_SIZE];
    std::snprintf(name, sizeof name, "Mtd%dVersion", static_cast<int>(n));
    const env_info* e = find_env_entry(ctx->env, name);
    if (e == nullptr) {
        rl_log_info("%s env isnot exist!\n", name);
        return 1;
    }
    rl_log_info("%s name:%s value:%s\n", name, e->name, e->value);
    char offered[16];
    version_text(part->partition_version, offered, sizeof offered);
    rl_log_info("mtdn_version:%s version:%s\n", e->value, offered);
    if (std::strcmp(e->value, offered) != 0) return 1;
    upd_msg_log(UPD_MSG_PART_VERSION_SAME);
    return 0;
}

int check_flash_partition(check_context* ctx, int k, const partition_header* part)
{
    const unsigned int n = part->partition_id;
    if (n >= kFlashIdMax) return upd_msg_refuse(UPD_MSG_PARTITION_ID_ERROR);
    if (part->partition_type != 0) return upd_msg_refuse(UPD_MSG_PARTITION_TYPE_ERROR);

    char name[ENV_NAME_SIZE];
    const env_info* e = find_mtd_range(ctx->env, static_cast<int>(n), name, sizeof name);
    if (e == nullptr) {
        rl_log_err("%s isnot exist!\n", name);
        return upd_msg_refuse(UPD_MSG_MTD_ENV_LOSED);
    }
    const unsigned int start = e->range.start_addr;
    const unsigned int end = e->range.end_addr;
    rl_log_info("%s start_addr:%x end_addr:%x\n", name, start, end);
    if (end <= start || end - start < part->partition_size)
        return upd_msg_refuse(UPD_MSG_MTD_ADDR_ERR);
    // The burn erases only the whole 64 KiB blocks of the range; data
    // beyond them would be written over unerased flash.
    const unsigned int erasable = (end - start) / FLASH_BLOCK_SIZE * FLASH_BLOCK_SIZE;
    if (part->partition_size > erasable) {
        rl_log_err("%s: partition of %u bytes, but only %u bytes of its range can be erased\n",
                   name, part->partition_size, erasable);
        return upd_msg_refuse(UPD_MSG_MTD_ADDR_ERR);
    }

    char device[32];
    std::snprintf(device, sizeof device, "/dev/mtd%d", static_cast<int>(n));
    const int fd = open(device, O_RDWR);
    if (fd < 0) {
        rl_log_err("%s open failed!\n", device);
        return upd_msg_refuse(UPD_MSG_MTD_OPEN_ERR);
    }
    close(fd);
    ctx->burn_flags[k] = burn_decision(ctx, part, n);
    return 0;
}

// Runs "/tmp/bin/touch FILE", up to three times a second apart.
void touch_file(const char* file)
{
    char command[128];
    std::snprintf(command, sizeof command, "/tmp/bin/touch %s", file);
    for (int run = 0; run < kTouchRuns; ++run) {
        rl_log_info("shellcmd:%s\n", command);
        if (check_system_result(system(command)) == 0) return;
        sleep(1);
    }
}

// Writes `size` bytes at the start of `fd`, however many calls it takes.
bool write_all(int fd, const unsigned char* data, unsigned int size)
{
    unsigned int done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<unsigned int>(n);
    }
    return true;
}

// Extracts a special partition into `file`. The data goes into a new
// file of this process's own, which then replaces whatever stood at that
// path in one step (an older file, or a link planted to redirect the
// write, is replaced, never written through), so that nobody ever reads
// the file half written, not even another run extracting the same image
// at the same moment. A file that could not be written whole is removed:
// half an upgrader program or half a layout must never be used. Returns
// whether the file now holds the data.
bool extract(const char* file, const partition_header* part, const unsigned char* data,
             extracted_file* made)
{
    char temp[128];
    std::snprintf(temp, sizeof temp, "%s.XXXXXX", file);
    const int fd = mkstemp(temp);
    if (fd < 0) {
        rl_log_err("%s open failed!\n", file);
        return false;
    }
    const bool written = write_all(fd, data, part->partition_size) && fchmod(fd, 0777) == 0;
    const int saved = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        rl_log_err("%s write failed: %s\n", file, std::strerror(written ? errno : saved));
        unlink(temp);
        return false;
    }
    struct stat st = {};
    if (lstat(temp, &st) != 0 || std::rename(temp, file) != 0) {
        rl_log_err("%s cannot be replaced: %s\n", file, std::strerror(errno));
        unlink(temp);
        return false;
    }
    *made = {file, st.st_dev, st.st_ino};
    touch_file(file);
    char command[128];
    std::snprintf(command, sizeof command, "/tmp/bin/chmod 777 %s", file);
    const int chmod_status = system(command);
    static_cast<void>(chmod_status);
    return true;
}

// This build's kind of program, which a copy handed over to must be.
#if defined(__mips__)
constexpr unsigned int kOwnMachine = EM_MIPS;
#elif defined(__x86_64__)
constexpr unsigned int kOwnMachine = EM_X86_64;
#elif defined(__i386__)
constexpr unsigned int kOwnMachine = EM_386;
#elif defined(__aarch64__)
constexpr unsigned int kOwnMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr unsigned int kOwnMachine = EM_ARM;
#else
#error "the machine of this build is not known"
#endif
constexpr unsigned char kOwnClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Whether `size` bytes at `data` begin like a program this phone can run:
// an ELF executable (or position-independent one) of this build's class,
// byte order and machine. The type and machine are read in that order.
bool runnable_here(const unsigned char* data, unsigned int size)
{
    if (size < 20 || std::memcmp(data, ELFMAG, SELFMAG) != 0) return false;
    if (data[EI_CLASS] != kOwnClass) return false;
    if (data[EI_DATA] != (kLittleEndian ? ELFDATA2LSB : ELFDATA2MSB)) return false;
    auto half = [&](unsigned int at) {
        return kLittleEndian ? data[at] | (data[at + 1] << 8) : (data[at] << 8) | data[at + 1];
    };
    const unsigned int type = static_cast<unsigned int>(half(16));
    return (type == ET_EXEC || type == ET_DYN) &&
           static_cast<unsigned int>(half(18)) == kOwnMachine;
}

// A refused image takes back what its check extracted, as long as the
// file there is still the one it made (another run may have replaced it).
void remove_extracted(const check_context* ctx)
{
    const extracted_file files[] = {ctx->tool, ctx->mtd_conf, ctx->config_modify};
    for (const extracted_file& f : files) {
        if (f.path == nullptr) continue;
        struct stat st = {};
        if (lstat(f.path, &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino) continue;
        if (unlink(f.path) == 0)
            rl_log_info("%s removed: the rom was refused\n", f.path);
        else
            rl_log_err("remove %s failed: %s\n", f.path, std::strerror(errno));
    }
}

int check_special_partition(check_context* ctx, int k, const partition_header* part,
                            const unsigned char* data)
{
    const unsigned int type = part->partition_type;
    int outcome = kSpecialLeftOut;
    bool failed = false;
    if (type == 1) {
        rl_log_info("ppartition_addr->partition_type:%d\n", 1);
        struct stat st = {};
        if (lstat(UPGRADER_TOOL_PATH, &st) != 0) {
            // The copy is started as a program: it must be one for this phone.
            if (!runnable_here(data, part->partition_size)) {
                rl_log_err("%s: the image's upgrader is not a program for this phone\n",
                           UPGRADER_TOOL_PATH);
                return upd_msg_refuse(UPD_MSG_PARTITION_TYPE_ERROR);
            }
            failed = !extract(UPGRADER_TOOL_PATH, part, data, &ctx->tool);
            if (!failed) outcome = ROM_CHECK_UPGRADER_EXTRACTED;
        }
    } else if (type == 2) {
        rl_log_info("MTD CONFIG ppartition_addr->partition_type:%d\n", 2);
        outcome = kSpecialMtdConfig;
        failed = !extract(kMtdConf, part, data, &ctx->mtd_conf);
        if (!failed) g_mtd_config = 1;
    } else if (type == 3) {
        rl_log_info("CONFIG MODIFY ppartition_addr->partition_type:%d\n", 3);
        outcome = kSpecialConfigModify;
        failed = !extract(kConfigModify, part, data, &ctx->config_modify);
    }
    if (failed) return upd_msg_refuse(UPD_MSG_FLASH_WRITE_ERR);
    upd_msg_log(outcome);
    ctx->burn_flags[k] = 0;
    return outcome == ROM_CHECK_UPGRADER_EXTRACTED ? outcome : 0;
}

int check_partition(void* context, int k, const partition_header* part, const unsigned char* data)
{
    auto* ctx = static_cast<check_context*>(context);
    if (part->partition_id >= kSpecialIdMin) return check_special_partition(ctx, k, part, data);
    return check_flash_partition(ctx, k, part);
}

int check_device_identity(const unsigned char* hw, const rom_header* h)
{
    const unsigned int model = hw[0];
    if (model == h->device_id) return 0;
    if ((model == 1 && h->device_id == 53) || (model == 53 && h->device_id == 1)) {
        rl_log_err("hardware_version is 1\n");
        return 0;
    }
    if (model == 52 && h->device_id == 55) {
        rl_log_err("Upgrade M40 rom on M20 device.");
        return 0;
    }
    rl_log_err("hardware_version:%x prom_header->device_id:%x\n", model, h->device_id);
    return upd_msg_refuse(UPD_MSG_MACHINE_ID_ERR);
}

void decide_setting(check_context* ctx, const char* name, int value)
{
    if (ctx->setting_count >= kSettingsMax) return;
    env_setting& s = ctx->settings[ctx->setting_count++];
    s.name = name;
    std::snprintf(s.value, sizeof s.value, "%d", value);
}

// The OEM, MID and protection rules. The settings they make are only
// decided here.
int check_oem_rules(check_context* ctx, int sw_oem, int mid_version, int sw_protect)
{
    const rom_header* h = ctx->header;
    const unsigned int S = static_cast<unsigned int>(sw_oem);
    const unsigned int oem = h->oem_id;
    const unsigned int mid = h->mid_version;
    const unsigned int prot = h->sw_protect;
    const int M = mid_version;
    const int P = sw_protect;
    const int oem_text = static_cast<int>(oem);

    if (h->rom_header_size != ROM_HEADER_SCRAMBLED_SIZE) {
        if (P == 1) return upd_msg_refuse(UPD_MSG_PROTECT_HEADER_ERR);
    } else if (M != 0 && mid != 0) {
        if (oem != S) return upd_msg_refuse(UPD_MSG_MID_OEM_ERR);
    } else if (P == 0 && mid != 0 && (oem == S || S == 0)) {
        decide_setting(ctx, "SW_protect", 1);
        decide_setting(ctx, "SW_OEM", oem_text);
    } else if (P == 0) {
        if (prot != 0 || mid != 0) return upd_msg_refuse(UPD_MSG_OEM_CHANGE_ERR);
        decide_setting(ctx, "SW_OEM", oem_text);
    } else if (mid != 0) {
        if (oem != S) return upd_msg_refuse(UPD_MSG_PROTECT_OEM_ERR);
        decide_setting(ctx, "SW_protect", 0);
    } else if (oem != S || prot == 0) {
        return upd_msg_refuse(UPD_MSG_PROTECT_OEM_ERR);
    }
    if (static_cast<unsigned int>(M) != mid) decide_setting(ctx, "MID_VERSION", M == 0 ? 1 : 0);
    return 0;
}

int check_match_id(const unsigned char* hw, const rom_header* h)
{
    const unsigned int v = hw[4] & 0x0F;
    for (unsigned char id : h->match_id)
        if (id == v) return 0;
    rl_log_err("match_id:%x\n", v);
    return upd_msg_refuse(UPD_MSG_MATCH_ID_ERR);
}

int check_rom_version(const env_info* env, const rom_header* h)
{
    if (h->process_type == 1) {
        rl_log_info("rom force upgrader!\n");
        return 0;
    }
    const env_info* e = find_env_entry(env, "RomVersion");
    if (e == nullptr) {
        rl_log_info("RomVersion env isnot exist!\n");
        return 0;
    }
    rl_log_info("%s name:%s value:%s\n", "RomVersion", e->name, e->value);
    char offered[16];
    version_text(h->rom_version, offered, sizeof offered);
    rl_log_debug("rom_version_cmp:%s rom_version:%s\n", offered, e->value);
    if (std::strcmp(offered, e->value) != 0) return 0;
    return upd_msg_refuse(UPD_MSG_ROM_VERSION_SAME);
}

// Everything from the hardware version up to the verdict.
int run_checks(const void* image, std::size_t image_len, check_context* ctx,
               partition_header* headers)
{
    const rom_header* header = ctx->header;
    unsigned char hw[8];
    int r = read_hardware(hw);
    if (r != 0) return r;
    r = check_minimum_version(hw, header->rom_version);
    if (r != 0) return r;
    r = read_env_info(ctx->env);
    if (r < 0) return upd_msg_refuse(r);
    r = rom_walk_partitions(image, image_len, header, headers, check_partition, ctx);
    if (r != 0) return r;
    rl_log_debug("rom_upgrade_check start\n");
    r = read_hardware(hw);
    if (r != 0) return r;
    r = check_device_identity(hw, header);
    if (r != 0) return r;
    const int sw_oem = env_number(ctx->env, "SW_OEM");
    const int mid_version = env_number(ctx->env, "MID_VERSION");
    const int sw_protect = env_number(ctx->env, "SW_protect");
    rl_log_debug("sw_oem :%d \n", sw_oem);
    rl_log_debug("mid_version :%d \n", mid_version);
    rl_log_debug("sw_protect :%d \n", sw_protect);
    r = check_oem_rules(ctx, sw_oem, mid_version, sw_protect);
    if (r != 0) return r;
    r = check_match_id(hw, header);
    if (r != 0) return r;
    return check_rom_version(ctx->env, header);
}

} // namespace

int rom_upgrade_check(const unsigned int* image, std::size_t image_len, env_info* env_table,
                      rom_header* header, partition_header* headers, int* burn_flags)
{
    if (image == nullptr || env_table == nullptr || header == nullptr || headers == nullptr ||
        burn_flags == nullptr)
        return -1;
    int r = rom_check_magic(image, image_len);
    if (r != 0) return r;
    std::memset(env_table, 0, sizeof(env_info) * ENV_TABLE_SIZE);
    r = rom_load_header(image, image_len, header);
    if (r != 0) return r;
    r = rom_check_header(image, image_len, header);
    if (r != 0) return r;

    check_context ctx = {};
    ctx.env = env_table;
    ctx.header = header;
    ctx.burn_flags = burn_flags;
    r = run_checks(image, image_len, &ctx, headers);

    if (r == 0 || r == UPD_MSG_ROM_VERSION_SAME) {
        // Accepted: now the device takes the settings the rules decided.
        for (int i = 0; i < ctx.setting_count; ++i)
            set_env_value(ctx.settings[i].name, ctx.settings[i].value);
    } else if (r < 0) {
        // A refused image must not change the configuration, nor leave a
        // layout or a program of its own behind.
        remove_extracted(&ctx);
        if (ctx.mtd_conf.path != nullptr) g_mtd_config = 0;
    }
    return r;
}
