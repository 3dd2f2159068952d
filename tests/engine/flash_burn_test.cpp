// Partition burning into the simulated phone's NOR flash, through its
// /dev/mtdN devices; the chip file and the device layer's flash log show
// what happened; the progress bar is read back from the captured screens.
#include "flash_burn.h"
#include "phone.h"
#include "progress_frames.h"

#include "basicui.h"
#include "rl_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

constexpr uint32_t kChipBase = 0x90000000U;

// The flash log lines that start with `what` ("erase", "write", ...).
std::vector<std::string> flash_log(const std::string& what)
{
    std::vector<std::string> out;
    for (const std::string& l : phone_run_log("flash.log"))
        if (l.compare(0, what.size() + 1, what + " ") == 0) out.push_back(l);
    return out;
}

class FlashBurn : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        ASSERT_EQ(ui.Init(), 0);
        progress_recorder_clear();
        ASSERT_EQ(system("mkdir -p /tmp/bin && cp /bin/cat /tmp/bin/"), 0);
        ASSERT_EQ(read_env_info(env), 0);
    }
    // Nothing here ever programs a byte that was not erased.
    void TearDown() override { EXPECT_TRUE(flash_log("violation").empty()); }

    // Adds partition `id` with `size` bytes of data made from `seed`.
    void add(unsigned int id, unsigned int size, int flag = 1, unsigned char seed = 1)
    {
        partition_header p = {};
        p.partition_id = id;
        p.partition_size = size;
        p.partition_offset = static_cast<unsigned int>(bytes.size());
        for (unsigned int i = 0; i < size; ++i)
            bytes.push_back(static_cast<unsigned char>(seed + i * 7 + i / 65536));
        while (bytes.size() % 4 != 0) bytes.push_back(0);
        headers.push_back(p);
        flags.push_back(flag);
    }

    int burn()
    {
        words.assign(bytes.size() / 4 + 1, 0);
        std::memcpy(words.data(), bytes.data(), bytes.size());
        return burn_flash(words.data(), env, static_cast<int>(headers.size()), headers.data(),
                          flags.data(), &ui);
    }

    // `len` bytes of the chip from address `start`, and partition `k`'s data.
    static std::string on_chip(uint32_t start, size_t len)
    {
        return phone_read_file(phone_state_path("flash/chip.bin")).substr(start - kChipBase, len);
    }
    std::string data_of(size_t k) const
    {
        const partition_header& p = headers[k];
        return std::string(bytes.begin() + p.partition_offset,
                           bytes.begin() + p.partition_offset + p.partition_size);
    }

    env_info env[ENV_TABLE_SIZE] = {};
    std::vector<unsigned char> bytes;
    std::vector<unsigned int> words;
    std::vector<partition_header> headers;
    std::vector<int> flags;
    CBasicUI ui;
};

TEST_F(FlashBurn, WholeBlocksThenTheShortRestWithProgress)
{
    // mtd4: 0x90730000..0x907B0000, eight erase blocks.
    add(4, 3 * 65536 + 99);
    ASSERT_EQ(burn(), 0);
    EXPECT_EQ(on_chip(0x90730000U, 3 * 65536 + 99), data_of(0));
    EXPECT_EQ(on_chip(0x90730000U + 3 * 65536 + 99, 0x80000 - 3 * 65536 - 100),
              std::string(0x80000 - 3 * 65536 - 100, '\xff'))
        << "the rest of the partition is erased";
    EXPECT_EQ(flash_log("erase").size(), 8U);
    EXPECT_EQ(flash_log("write"),
              (std::vector<std::string>{"write mtd4 0x0 0x10000", "write mtd4 0x10000 0x10000",
                                        "write mtd4 0x20000 0x10000", "write mtd4 0x30000 0x63"}));
    // One partition: step 42, erase from 15, write from 57.
    EXPECT_EQ(progress_recorded(),
              (std::vector<int>{15, 20, 25, 30, 36, 41, 46, 51, 57, 71, 85, 100}));
}

TEST_F(FlashBurn, SmallEmptyAndUnflaggedPartitions)
{
    // Nothing flagged, or no partition at all: nothing touched, the bar at 100.
    add(4, 1000, 0);
    add(5, 1000, 0);
    ASSERT_EQ(burn(), 0);
    EXPECT_TRUE(phone_run_log("flash.log").empty());
    EXPECT_EQ(progress_recorded(), (std::vector<int>{100}));
    headers.clear();
    flags.clear();
    progress_recorder_clear();
    ASSERT_EQ(burn(), 0);
    EXPECT_EQ(progress_recorded(), (std::vector<int>{100}));

    progress_recorder_clear();
    add(7, 100);      // mtd7: two blocks
    add(3, 0, 1, 9);  // mtd3: one block, nothing to write
    add(8, 70000, 0); // not flagged
    ASSERT_EQ(burn(), 0);
    EXPECT_EQ(on_chip(0x907B0000U, 100), data_of(0));
    EXPECT_EQ(flash_log("write"), (std::vector<std::string>{"write mtd7 0x0 0x64"}));
    EXPECT_EQ(flash_log("erase"),
              (std::vector<std::string>{"erase mtd7 0x0 0x10000", "erase mtd7 0x10000 0x10000",
                                        "erase mtd3 0x0 0x10000"}));
    // Two partitions: step 21; the second starts at 57.
    EXPECT_EQ(progress_recorded(), (std::vector<int>{15, 25, 57, 100}));
}

TEST_F(FlashBurn, KernelOnlyWritesPartitionOneWithTheStepOfAll)
{
    upgrader_kernel_only = 1;
    add(2, 100); // mtd2: two blocks
    add(1, 100); // mtd1: sixteen blocks
    ASSERT_EQ(burn(), 0);
    upgrader_kernel_only = 0;
    EXPECT_EQ(flash_log("write"), (std::vector<std::string>{"write mtd1 0x0 0x64"}));
    // Step 21 from n = 2: the bar stays below 57 before it jumps to 100.
    const std::vector<int> p = progress_recorded();
    ASSERT_EQ(p.size(), 17U);
    EXPECT_EQ(p.front(), 15);
    EXPECT_EQ(p[15], 34); // 15 + 15 * 21 / 16
    EXPECT_EQ(p.back(), 100);
}

TEST_F(FlashBurn, SixteenPartitionsShareTheBarInStepsOfTwo)
{
    for (int k = 0; k < 16; ++k) add(9, 16, 1, static_cast<unsigned char>(k)); // mtd9: one block
    ASSERT_EQ(burn(), 0);
    std::vector<int> want;
    for (int k = 0; k < 16; ++k) want.push_back(15 + 4 * k);
    want.push_back(100);
    EXPECT_EQ(progress_recorded(), want);
    EXPECT_EQ(on_chip(0x907F0000U, 16), data_of(15)) << "the last one written stays";
    headers.resize(17);
    flags.resize(17, 1);
    EXPECT_EQ(burn(), -1) << "more partitions than an image holds";
}

TEST_F(FlashBurn, FailuresStopAtTheFailingPartition)
{
    add(4, 65536 * 2);
    add(5, 100);
    phone_add_fault("fault ioctl /dev/mtd4 0x80084D02 3 5"); // the phone's number, on any build
    EXPECT_EQ(burn(), UPD_MSG_FLASH_ERASE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_FLASH_ERASE_ERR\n"), 1);
    EXPECT_EQ(flash_log("erase").size(), 2U);
    EXPECT_TRUE(flash_log("write").empty());
}

TEST_F(FlashBurn, WriteFailuresIncludingTheShortRest)
{
    add(4, 65536 + 10);
    phone_add_fault("fault write /dev/mtd4 2 5");
    EXPECT_EQ(burn(), UPD_MSG_FLASH_WRITE_ERR);
    EXPECT_EQ(flash_log("write"), (std::vector<std::string>{"write mtd4 0x0 0x10000"}));
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_FLASH_WRITE_ERR\n"), 1);
    EXPECT_EQ(phone_logged(LOG_ERR, "write /dev/mtd4 failed: Input/output error\n"), 1);
    EXPECT_EQ(progress_recorded().back(), 57) << "no 100 after a failure";
}

TEST_F(FlashBurn, AShortWriteIsAFailure)
{
    add(4, 65536 * 2);
    phone_add_fault("fault short /dev/mtd4 1 1000");
    EXPECT_EQ(burn(), UPD_MSG_FLASH_WRITE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "write /dev/mtd4 short: 1000 of 65536 bytes\n"), 1);
    EXPECT_EQ(flash_log("write"), (std::vector<std::string>{"write mtd4 0x0 0x3e8"}));

    phone_write_file("/tmp/mtdblock3", std::string(65536, 'b'));
    phone_add_fault("fault short /dev/mtd3 1 65535");
    char path[] = "/tmp/mtdblock3";
    EXPECT_EQ(mtd_write(3, 65536, path), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "write /dev/mtd3 short: 65535 of 65536 bytes\n"), 1);
}

TEST_F(FlashBurn, MissingRangeOrDevice)
{
    add(6, 100);
    add(3, 100);
    unsigned int i = 0;
    ASSERT_EQ(find_env_by_name(env, "mtd3", &i), 0);
    env[i].name[0] = '\0';
    EXPECT_EQ(burn(), UPD_MSG_MTD_ENV_LOSED);
    EXPECT_EQ(phone_logged(LOG_ERR, "mtd3 isnot exist!\n"), 1);
    EXPECT_TRUE(phone_run_log("flash.log").empty()) << "found before anything is erased";

    phone_add_fault("fault missing /dev/mtd6");
    EXPECT_EQ(burn(), UPD_MSG_MTD_OPEN_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "/dev/mtd6 open failed!\n"), 1);
    EXPECT_EQ(burn_flash(nullptr, env, 1, headers.data(), flags.data(), &ui), -1);
    EXPECT_EQ(burn_flash(words.data(), env, 1, headers.data(), flags.data(), nullptr), -1);
}

TEST_F(FlashBurn, EraseNeedsTheDeviceInformationAndItsEraseSize)
{
    char name[ENV_NAME_SIZE];
    add(4, 100);
    phone_add_fault("fault ioctl /dev/mtd4 0x40204D01 1 5");
    EXPECT_EQ(burn(), UPD_MSG_FLASH_ERASE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "MEMGETINFO /dev/mtd4 failed: Input/output error\n"), 1);
    phone_add_fault("erasesize 131072"); // the next answer tells another erase size
    EXPECT_EQ(burn(), UPD_MSG_FLASH_ERASE_ERR);
    phone_add_fault("erasesize 32768"); // and a smaller one
    EXPECT_EQ(burn(), UPD_MSG_FLASH_ERASE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "------------FLASH_BLOCK_SIZE------ERROR---------------\n"), 2);
    phone_add_fault("erasesize 65536");
    // A range one block smaller than its device.
    const_cast<env_info*>(find_mtd_range(env, 4, name, sizeof name))->range.end_addr -= 0x10000;
    EXPECT_EQ(burn(), UPD_MSG_FLASH_ERASE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "/dev/mtd4 is 524288 bytes, its range mtd4 458752 bytes\n"), 1);
    EXPECT_TRUE(flash_log("erase").empty()) << "none of them erases anything";
}

TEST_F(FlashBurn, MtdWriteWritesASavedBlockBack)
{
    std::string block(65536, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 251);
    phone_write_file("/tmp/mtdblock3", block);
    char path[] = "/tmp/mtdblock3";
    ASSERT_EQ(mtd_write(3, 65536, path), 0);
    EXPECT_EQ(on_chip(0x90020000U, 65536), block);
    EXPECT_EQ(flash_log("erase"), (std::vector<std::string>{"erase mtd3 0x0 0x10000"}));

    phone_write_file("/tmp/mtdblock3", block + "x");
    EXPECT_EQ(mtd_write(3, 65536, path), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "/tmp/mtdblock3 size error\n"), 1);
    EXPECT_EQ(flash_log("erase").size(), 1U) << "no device opened";
    char missing[] = "/tmp/none";
    EXPECT_EQ(mtd_write(3, 65536, missing), -1);
    phone_write_file("/tmp/empty", "");
    char empty[] = "/tmp/empty";
    EXPECT_EQ(mtd_write(3, 0, empty), -1);

    // The block is read back: one that does not hold what was written fails.
    phone_write_file("/tmp/mtdblock3", block);
    phone_add_fault("fault stuck /dev/mtd3 1");
    EXPECT_EQ(mtd_write(3, 65536, path), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "verify /dev/mtd3 failed at 0x1\n"), 1);
    // Also a difference in the block's second half.
    phone_write_file("/tmp/mtdblock3", std::string(0x8000, '\0') + std::string(0x8000, 'b'));
    phone_add_fault("fault stuck /dev/mtd3 1");
    EXPECT_EQ(mtd_write(3, 65536, path), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "verify /dev/mtd3 failed at 0x8000\n"), 1);
    // A device smaller than the block is not erased at all.
    EXPECT_EQ(mtd_write(3, 131072, path), -1);
}

TEST_F(FlashBurn, RelocationQueryAndRequest)
{
    EXPECT_EQ(kernel_support_mtd_repair_check(), 0);
    EXPECT_EQ(mtd_addr_repair(4, 0x700000, 0x80000), -1);
    EXPECT_EQ(mtd_addr_repair(10, 0, 0x10000), -1);

    phone_add_fault("relocation 1");
    EXPECT_EQ(kernel_support_mtd_repair_check(), 1);
    phone_add_fault("fault ioctl /dev/mtd0 0x40044D12 1 25");
    EXPECT_EQ(kernel_support_mtd_repair_check(), 1) << "mtd1 answers when mtd0 does not";
    ASSERT_EQ(mtd_addr_repair(4, 0x700000, 0x80000), 0);
    EXPECT_EQ(flash_log("relocate"), (std::vector<std::string>{"relocate mtd4 0x700000 0x80000"}));

    phone_add_fault("fault missing /dev/mtd0");
    EXPECT_EQ(kernel_support_mtd_repair_check(), 0) << "mtd1, which would answer, is not tried";
}

TEST_F(FlashBurn, EraseAWholePartition)
{
    mtd_erase_partition(env, 7);
    EXPECT_EQ(flash_log("erase"),
              (std::vector<std::string>{"erase mtd7 0x0 0x10000", "erase mtd7 0x10000 0x10000"}));
    EXPECT_EQ(on_chip(0x907B0000U, 0x20000), std::string(0x20000, '\xff'));
    // Of a block and a half, only the whole block.
    unsigned int i = 0;
    ASSERT_EQ(find_env_by_name(env, "mtd7", &i), 0);
    env[i].range.end_addr = 0x907C8000U;
    mtd_erase_partition(env, 7);
    EXPECT_EQ(flash_log("erase").size(), 3U);
    env[i].name[0] = '\0';
    mtd_erase_partition(env, 7);
    EXPECT_EQ(phone_logged(LOG_ERR, "mtd7 isnot exist!\n"), 1);
}

} // namespace
