// engine/flash_burn.cpp - erase and write MTD partitions, relocation
// requests.
#include "flash_burn.h"

#include "basicui.h"
#include "rl_log.h"
#include "sys_helpers.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int upgrader_kernel_only = 0;

// The driver's records as the kernel lays them out, on every architecture.
static_assert(sizeof(mtd_info_user) == 32 && offsetof(mtd_info_user, erasesize) == 12,
              "mtd_info_user");
static_assert(sizeof(erase_info_user) == 8, "erase_info_user: start and length");

#if defined(__mips__)
static_assert(MEMGETINFO == 0x40204D01UL && MEMERASE == 0x80084D02UL,
              "the phone's MTD request numbers");
#endif

namespace {

constexpr int kProgressStart = 15;
constexpr int kProgressSpan = 85;
constexpr int kProgressDone = 100;

int open_mtd(int mtd, char* path, std::size_t size)
{
    std::snprintf(path, size, "/dev/mtd%d", mtd);
    return open(path, O_RDWR);
}

// Writes `len` bytes from `data` at the device's position in one call,
// then reads them back from `offset` (where the write began) and compares.
// A block written in part, or read back different, is a failure: it is
// logged with how much the device took, or with the first offset that
// differs, and the caller gives up on the partition.
bool write_verified(int fd, const char* device, const unsigned char* data, std::size_t len,
                    unsigned int offset)
{
    note_flash_changed();
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        rl_log_err("write %s failed: %s\n", device, std::strerror(errno));
        return false;
    }
    if (static_cast<std::size_t>(n) != len) {
        rl_log_err("write %s short: %d of %d bytes\n", device, static_cast<int>(n),
                   static_cast<int>(len));
        return false;
    }
    unsigned char back[FLASH_BLOCK_SIZE];
    for (std::size_t done = 0; done < len;) {
        const std::size_t want = std::min(len - done, sizeof back);
        const ssize_t r = pread(fd, back, want, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            rl_log_err("read back %s at 0x%x failed: %s\n", device,
                       static_cast<unsigned int>(offset + done),
                       r < 0 ? std::strerror(errno) : "end of device");
            return false;
        }
        const auto got = static_cast<std::size_t>(r);
        if (std::memcmp(back, data + done, got) != 0) {
            std::size_t at = 0;
            while (back[at] == data[done + at]) ++at;
            rl_log_err("verify %s failed at 0x%x\n", device,
                       static_cast<unsigned int>(offset + done + at));
            return false;
        }
        done += got;
    }
    return true;
}

// Erases and writes one partition. Returns 0 or the failure code; the
// device is closed in every case.
int burn_partition(const unsigned char* data, const partition_header* part, unsigned int start,
                   unsigned int end, int fd, const char* device, int base, int step, CBasicUI* ui)
{
    // Only whole blocks of the range are erased: a range that ends inside
    // a block shares that block with the next partition, and erasing it
    // would wipe the start of the neighbour.
    const unsigned int erase_blocks = (end - start) / FLASH_BLOCK_SIZE;
    for (unsigned int j = 0; j < erase_blocks; ++j) {
        if (mtd_erase(fd, j * FLASH_BLOCK_SIZE, 1) < 0) {
            close(fd);
            return upd_msg_refuse(UPD_MSG_FLASH_ERASE_ERR);
        }
        ui->PostUpgradingProgressBar(
            base + static_cast<int>((j * static_cast<unsigned int>(step)) / erase_blocks));
    }
    const unsigned int size = part->partition_size;
    const unsigned int write_blocks = size / FLASH_BLOCK_SIZE;
    rl_log_debug("blocks :%x size:%x\n", write_blocks, size);
    for (unsigned int j = 0; j < write_blocks; ++j) {
        if (!write_verified(fd, device, data + std::size_t{j} * FLASH_BLOCK_SIZE, FLASH_BLOCK_SIZE,
                            j * FLASH_BLOCK_SIZE)) {
            close(fd);
            return upd_msg_refuse(UPD_MSG_FLASH_WRITE_ERR);
        }
        ui->PostUpgradingProgressBar(
            base + step + static_cast<int>((j * static_cast<unsigned int>(step)) / write_blocks));
    }
    const unsigned int last = size % FLASH_BLOCK_SIZE;
    rl_log_debug("last size:%x\n", last);
    if (last != 0 &&
        !write_verified(fd, device, data + std::size_t{write_blocks} * FLASH_BLOCK_SIZE, last,
                        write_blocks * FLASH_BLOCK_SIZE)) {
        close(fd);
        return upd_msg_refuse(UPD_MSG_FLASH_WRITE_ERR);
    }
    close(fd);
    return 0;
}

// The size the MTD driver gives device `fd`; false (logged) when it cannot.
bool device_size(int fd, const char* device, unsigned int* size)
{
    mtd_info_user info = {};
    if (ioctl(fd, MEMGETINFO, &info) < 0) {
        rl_log_err("MEMGETINFO %s failed: %s\n", device, std::strerror(errno));
        return false;
    }
    *size = info.size;
    return true;
}

// Before anything is erased: every partition to burn has its range, its
// device, and a device exactly as large as the range (a range changed
// since the device was made would otherwise be erased and then fail half
// way). 0, or the failure code.
int check_devices(const env_info* env_table, int partition_count, const partition_header* headers,
                  const int* burn_flags)
{
    for (int k = 0; k < partition_count; ++k) {
        if (burn_flags[k] != 1) continue;
        const partition_header* part = &headers[k];
        if (upgrader_kernel_only == 1 && part->partition_id != 1) continue;
        const int mtd = static_cast<int>(part->partition_id);
        char name[ENV_NAME_SIZE];
        const env_info* range = find_mtd_range(env_table, mtd, name, sizeof name);
        if (range == nullptr) {
            rl_log_err("%s isnot exist!\n", name);
            return upd_msg_refuse(UPD_MSG_MTD_ENV_LOSED);
        }
        char path[32];
        const int fd = open_mtd(mtd, path, sizeof path);
        if (fd < 0) {
            rl_log_err("%s open failed!\n", path);
            return upd_msg_refuse(UPD_MSG_MTD_OPEN_ERR);
        }
        unsigned int size = 0;
        const bool known = device_size(fd, path, &size);
        close(fd);
        const unsigned int wanted = range->range.end_addr - range->range.start_addr;
        if (!known || size != wanted) {
            if (known)
                rl_log_err("%s is %u bytes, its range %s %u bytes\n", path, size, name, wanted);
            return upd_msg_refuse(UPD_MSG_FLASH_ERASE_ERR);
        }
    }
    return 0;
}

// Burns every flagged partition in order. Returns 0 or the failure code.
int burn_flagged(const unsigned char* bytes, env_info* env_table, int partition_count,
                 const partition_header* headers, const int* burn_flags, int flagged, CBasicUI* ui)
{
    int base = kProgressStart;
    for (int k = 0; k < partition_count; ++k) {
        if (burn_flags[k] != 1) continue;
        const partition_header* part = &headers[k];
        if (upgrader_kernel_only == 1) {
            rl_log_info("upgrader_kernel_only is AVAILABLE \n");
            if (part->partition_id != 1) {
                rl_log_info("ppartition_addr->partition_id:%x\n", part->partition_id);
                continue;
            }
        }
        const int step = kProgressSpan / (2 * flagged);
        const unsigned char* data = bytes + part->partition_offset;
        const int mtd = static_cast<int>(part->partition_id);
        char name[ENV_NAME_SIZE];
        const env_info* range = find_mtd_range(env_table, mtd, name, sizeof name);
        if (range == nullptr) {
            rl_log_err("%s isnot exist!\n", name);
            return upd_msg_refuse(UPD_MSG_MTD_ENV_LOSED);
        }
        const unsigned int start = range->range.start_addr;
        const unsigned int end = range->range.end_addr;
        rl_log_info("%s start_addr:%x end_addr:%x\n", name, start, end);
        char path[32];
        const int fd = open_mtd(mtd, path, sizeof path);
        if (fd < 0) {
            rl_log_err("%s open failed!\n", path);
            return upd_msg_refuse(UPD_MSG_MTD_OPEN_ERR);
        }
        const int r = burn_partition(data, part, start, end, fd, path, base, step, ui);
        if (r != 0) return r;
        base += 2 * step;
    }
    return 0;
}

} // namespace

int burn_flash(const unsigned int* image, env_info* env_table, int partition_count,
               partition_header* headers, int* burn_flags, CBasicUI* ui)
{
    if (image == nullptr || env_table == nullptr || headers == nullptr || burn_flags == nullptr ||
        ui == nullptr)
        return -1;
    // The arrays hold 16 entries; a larger count cannot come from an
    // accepted image.
    if (partition_count > ROM_PARTITIONS_MAX) return -1;
    int flagged = 0;
    for (int k = 0; k < partition_count; ++k)
        if (burn_flags[k] == 1) ++flagged;
    if (partition_count <= 0) {
        ui->SetUpgradingProgressBar(kProgressDone);
        return 0;
    }
    const int checked = check_devices(env_table, partition_count, headers, burn_flags);
    if (checked != 0) return checked;
    const int r = burn_flagged(reinterpret_cast<const unsigned char*>(image), env_table,
                               partition_count, headers, burn_flags, flagged, ui);
    // The frames of the blocks are drawn while the next block burns; the
    // last of them is on the panel before the burn reports its end.
    ui->WaitUpgradingProgressBar();
    if (r != 0) return r;
    ui->SetUpgradingProgressBar(kProgressDone);
    return 0;
}

int mtd_erase(int fd, unsigned int start, int count)
{
    mtd_info_user info = {};
    if (ioctl(fd, MEMGETINFO, &info) < 0) {
        rl_log_err("MEMGETINFO failed: %s\n", std::strerror(errno));
        return -1;
    }
    if (info.erasesize != FLASH_BLOCK_SIZE) {
        rl_log_err("------------FLASH_BLOCK_SIZE------ERROR---------------\n");
        // Erasing 64 KiB steps in blocks of another size would leave
        // parts unerased or erase beyond the step: refuse the device.
        return -1;
    }
    erase_info_user request = {start, info.erasesize};
    note_flash_changed();
    for (int i = 0; i < count; ++i) {
        if (ioctl(fd, MEMERASE, &request) < 0) {
            rl_log_err("MEMERASE 0x%x failed: %s\n", request.start, std::strerror(errno));
            return -1;
        }
        request.start += info.erasesize;
    }
    rl_log_debug("erase done\n");
    return 0;
}

int mtd_write(int mtd, int size, char* path)
{
    if (path == nullptr || size < 0) return -1;
    const int file = open(path, O_RDONLY);
    if (file < 0) {
        rl_log_debug("%s File open failed!\n", path);
        return -1;
    }
    struct stat st = {};
    if (fstat(file, &st) < 0) st.st_size = 0;
    rl_log_debug("file size:%x \n", static_cast<unsigned int>(st.st_size));
    const std::size_t length = static_cast<std::size_t>(st.st_size);
    void* map = length > 0 ? mmap(nullptr, length, PROT_READ, MAP_SHARED, file, 0) : MAP_FAILED;
    if (map == MAP_FAILED) {
        rl_log_debug("memory map failed!\n");
        close(file);
        return -1;
    }
    auto finish = [&](int result) {
        munmap(map, length);
        close(file);
        return result;
    };
    if (st.st_size != size) {
        rl_log_err("%s size error\n", path);
        return finish(-1);
    }
    char device[32];
    const int fd = open_mtd(mtd, device, sizeof device);
    if (fd < 0) {
        rl_log_err("%s open failed!\n", device);
        return finish(-1);
    }
    unsigned int device_bytes = 0;
    if (!device_size(fd, device, &device_bytes) || device_bytes < static_cast<unsigned int>(size)) {
        if (device_bytes != 0)
            rl_log_err("%s is %u bytes, %s %d\n", device, device_bytes, path, size);
        close(fd);
        return finish(-1);
    }
    const int blocks = size / static_cast<int>(FLASH_BLOCK_SIZE);
    for (int j = 0; j < blocks; ++j) {
        if (mtd_erase(fd, static_cast<unsigned int>(j) * FLASH_BLOCK_SIZE, 1) < 0) {
            close(fd);
            return finish(-1);
        }
    }
    const auto* data = static_cast<const unsigned char*>(map);
    for (int j = 0; j < blocks; ++j) {
        rl_log_debug("mtd_write :%x \n", static_cast<unsigned int>(mtd));
        if (!write_verified(fd, device, data + static_cast<std::size_t>(j) * FLASH_BLOCK_SIZE,
                            FLASH_BLOCK_SIZE, static_cast<unsigned int>(j) * FLASH_BLOCK_SIZE)) {
            close(fd);
            return finish(-1);
        }
    }
    close(fd);
    return finish(0);
}

int kernel_support_mtd_repair_check()
{
    rl_log_debug("kernel_support_mtd_repair_check \n");
    for (int mtd = 0; mtd <= 1; ++mtd) {
        char path[32];
        const int fd = open_mtd(mtd, path, sizeof path);
        if (fd < 0) {
            rl_log_debug("%s open failed!\n", path);
            return 0;
        }
        if (ioctl(fd, MTD_RELOCATION_QUERY, nullptr) == 0) {
            close(fd);
            return 1;
        }
        rl_log_debug("%s ioctl failed!\n", path);
        close(fd);
    }
    return 0;
}

int mtd_addr_repair(int mtd, int offset, int size)
{
    if (mtd < 0 || mtd >= 10) return -1;
    char path[32];
    const int fd = open_mtd(mtd, path, sizeof path);
    if (fd < 0) {
        rl_log_debug("%s open failed!\n", path);
        return -1;
    }
    rl_log_debug("offset:%x size:%x\n", static_cast<unsigned int>(offset),
                 static_cast<unsigned int>(size));
    std::uint32_t request[2] = {static_cast<std::uint32_t>(offset),
                                static_cast<std::uint32_t>(size)};
    note_flash_changed();
    if (ioctl(fd, MTD_RELOCATION_REQUEST, request) < 0) {
        rl_log_debug("%s ioctl failed!\n", path);
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

void mtd_erase_partition(env_info* env_table, int mtd)
{
    if (env_table == nullptr) return;
    char name[ENV_NAME_SIZE];
    const env_info* range = find_mtd_range(env_table, mtd, name, sizeof name);
    if (range == nullptr) {
        rl_log_err("%s isnot exist!\n", name);
        return;
    }
    const unsigned int start = range->range.start_addr;
    const unsigned int end = range->range.end_addr;
    rl_log_info("%s start_addr:%x end_addr:%x\n", name, start, end);
    char path[32];
    const int fd = open_mtd(mtd, path, sizeof path);
    if (fd < 0) {
        rl_log_err("%s open failed!\n", path);
        return;
    }
    if (end > start && end - start >= FLASH_BLOCK_SIZE) {
        const unsigned int blocks = (end - start) / FLASH_BLOCK_SIZE;
        for (unsigned int j = 0; j < blocks; ++j)
            if (mtd_erase(fd, j * FLASH_BLOCK_SIZE, 1) < 0) break;
    }
    close(fd);
}
