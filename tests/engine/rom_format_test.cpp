// The ROM image format: descrambling, result codes and every format check,
// with images made by the image builder, the check given the image length.
#include "phone.h"
#include "rom_builder.h"
#include "rom_check.h"
#include "rom_format.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

bool logged_containing(const std::string& part)
{
    for (const auto& r : phone_syslog())
        if (r.msg.find(part) != std::string::npos) return true;
    return false;
}

rom_partition_desc part(unsigned int id, std::vector<unsigned char> data)
{
    rom_partition_desc p;
    p.partition_id = id;
    p.version = 0x01020304;
    p.data = std::move(data);
    return p;
}

std::vector<unsigned char> bytes(size_t n, unsigned char seed)
{
    std::vector<unsigned char> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(seed + 3 * i);
    return d;
}

class RomFormat : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        desc.device_id = 59;
        desc.oem_id = 7;
        desc.rom_version = 0x0296080A;
        desc.match_id[0] = 3;
        desc.partitions = {part(4, bytes(100, 1)), part(5, bytes(64, 2))};
    }
    // The format checks on `img` (copied to aligned words), with its length.
    int check(const std::vector<unsigned char>& img)
    {
        words.assign(img.size() / 4 + 2, 0);
        std::memcpy(words.data(), img.data(), img.size());
        return rom_check_format(words.data(), img.size(), &header, headers);
    }
    int check() { return check(rom_build(desc)); }

    rom_image_desc desc;
    std::vector<unsigned int> words;
    rom_header header = {};
    partition_header headers[ROM_PARTITIONS_MAX] = {};
};

TEST(Descramble, SubstitutionThenRotationByTheKey)
{
    std::vector<unsigned char> in(92);
    std::iota(in.begin(), in.end(), static_cast<unsigned char>(40));
    std::vector<unsigned char> substituted(92);
    for (size_t i = 0; i < in.size(); ++i) substituted[i] = decrypt[in[i]];
    for (unsigned char k : {0, 92, 184}) {
        std::vector<unsigned char> out = in;
        unsigned char key = k;
        ASSERT_EQ(aes_decrypt(&key, out.data(), 92, out.data()), 0);
        EXPECT_EQ(out, substituted) << "key " << int{k} << " does not rotate";
    }
    unsigned char key = 93;
    std::vector<unsigned char> out(92);
    aes_decrypt(&key, out.data(), 92, in.data());
    std::vector<unsigned char> rotated(substituted.begin() + 1, substituted.end());
    rotated.push_back(substituted[0]);
    EXPECT_EQ(out, rotated);
    EXPECT_EQ(aes_decrypt(&key, out.data(), 0, in.data()), -1);
    // The table is a permutation.
    std::vector<int> seen(256, 0);
    for (int i = 0; i < 256; ++i) ++seen[decrypt[i]];
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 256);
}

TEST(UpdMsg, TextsAndSilentCodes)
{
    rl_log_init("upgrader", 7);
    upd_msg_log(UPD_MSG_ROM_CHECKSUM_ERR);
    upd_msg_log(UPD_MSG_MTD_OPEN_ERR);
    upd_msg_log(UPD_MSG_PART_VERSION_SAME);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_ROM_CHECKSUM_ERR\n"), 1);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_MTD_ADDR_ERR\n"), 1) << "-83 logs the text of -84";
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_PART_VERSION_SAME\n"), 1);
    const size_t before = phone_syslog().size();
    for (int code : {-78, -77, -76, -75, -74, -1, 2, 11, 12, 13, -101, 0}) upd_msg_log(code);
    EXPECT_EQ(phone_syslog().size(), before);
    EXPECT_STREQ(upd_msg_name(-96), "UPD_MSG_OEM_VERSION_ERR");
    EXPECT_STREQ(upd_msg_name(-75), "UPD_MSG_OEM_CHANGE_ERR");
    EXPECT_EQ(upd_msg_name(-101), nullptr);
}

TEST_F(RomFormat, AWellFormedImageInBothHeaderForms)
{
    for (unsigned char key : {0, 37, 92, 93, 184, 255}) {
        desc.key = key;
        ASSERT_EQ(check(), 0) << "key " << int{key};
        EXPECT_EQ(header.device_id, 59U);
        EXPECT_EQ(header.oem_id, 7U);
        EXPECT_EQ(header.rom_version, 0x0296080AU);
        EXPECT_EQ(header.match_id[0], 3);
        EXPECT_EQ(header.partition_num, 2U);
        EXPECT_EQ(header.second_magic, ROM_MAGIC);
    }
    EXPECT_EQ(headers[1].partition_id, 5U);
    EXPECT_EQ(headers[1].partition_size, 64U);
    EXPECT_EQ(phone_logged(LOG_DEBUG, "device_id: 3b\n"), 6);

    // The plain form: no descrambling, the word at 104 is not looked at,
    // and the header checksum covers bytes 8 to 135.
    desc.scrambled = false;
    desc.second_magic = 0x12345678;
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(header.rom_header_size, 124U);
    EXPECT_EQ(header.device_id, 59U);
    EXPECT_EQ(phone_logged(LOG_WARNING, "ignore aes decrypt, invalid rom header size 124.\n"), 1);
    std::vector<unsigned char> img = rom_build(desc);
    img[136] ^= 0xFF; // just after the plain header: the first partition header
    EXPECT_NE(check(img), UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
    img = rom_build(desc);
    img[135] ^= 0x01;
    EXPECT_EQ(check(img), UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
}

TEST_F(RomFormat, HeaderChecksInTheirOrder)
{
    desc.magic = 0x4D4F5252U; // the magic in the wrong byte order
    EXPECT_EQ(check(), UPD_MSG_ARG_ADDR_ERR);
    EXPECT_EQ(phone_logged(LOG_DEBUG, "rom--------:0x4d4f5252\n"), 1);
    desc.magic.reset();

    desc.second_magic = 0;
    EXPECT_EQ(check(), UPD_MSG_ROM_HEADER_RROM_ERR);
    desc.second_magic.reset();

    // partition_num 17 is refused after descrambling, before the checksums.
    desc.partition_num = 17;
    desc.bad_header_checksum = true;
    EXPECT_EQ(check(), UPD_MSG_PART_NUM_ERR);
    EXPECT_EQ(phone_logged(LOG_DEBUG, "partition_num: 11\n"), 1);
    desc.partition_num.reset();
    EXPECT_EQ(check(), UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
    desc.bad_header_checksum = false;
    desc.bad_rom_checksum = true;
    EXPECT_EQ(check(), UPD_MSG_ROM_CHECKSUM_ERR);
    for (const char* name :
         {"UPD_MSG_ARG_ADDR_ERR\n", "UPD_MSG_ROM_HEADER_RROM_ERR\n", "UPD_MSG_PART_NUM_ERR\n",
          "UPD_MSG_ROM_HEADER_CHECKSUM_ERR\n", "UPD_MSG_ROM_CHECKSUM_ERR\n"})
        EXPECT_EQ(phone_logged(LOG_ERR, name), 1) << name;
}

TEST_F(RomFormat, PartitionCountsFromZeroToSixteen)
{
    desc.partitions.clear();
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(phone_logged(LOG_DEBUG, "headers size:0x8c\n"), 1);
    for (unsigned int k = 0; k < 16; ++k) desc.partitions.push_back(part(k % 10, bytes(8, 1)));
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(headers[15].partition_size, 8U);
}

TEST_F(RomFormat, PartitionChecksAndTheWordsTheyCover)
{
    desc.partitions[1].magic = 0x54415052U;
    EXPECT_EQ(check(), UPD_MSG_PART_HEADER_RPAT_ERR);
    desc.partitions[1].magic.reset();
    desc.partitions[1].bad_header_checksum = true;
    EXPECT_EQ(check(), UPD_MSG_PART_HEADER_CHECKSUM_ERR);
    desc.partitions[1].bad_header_checksum = false;
    desc.partitions[0].bad_checksum = true;
    EXPECT_EQ(check(), UPD_MSG_PART_CHECKSUM_ERR);
    EXPECT_TRUE(logged_containing("partition_checksum_cal:"));
    desc.partitions[0].bad_checksum = false;

    // Fewer than four bytes: no word is summed, the checksum is 0.
    desc.partitions = {part(4, {1, 2, 3})};
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(headers[0].partition_checksum, 0U);
    // The bytes after the last whole word are outside the partition's
    // checksum. A changed byte is kept out of the ROM checksum by mending
    // rom_checksum (plain, at 40) and, for it, the header checksum (at 8).
    desc.partitions = {part(4, bytes(7, 9))};
    std::vector<unsigned char> img = rom_build(desc);
    ASSERT_EQ(check(img), 0);
    auto flip = [&img](size_t at) {
        img[at] ^= 0xFF;
        const unsigned int delta = 0xFFU << (8 * (at % 4));
        for (size_t w : {size_t{40}, size_t{8}})
            for (int b = 0; b < 4; ++b) img[w + b] ^= static_cast<unsigned char>(delta >> (8 * b));
    };
    flip(headers[0].partition_offset + 5);
    EXPECT_EQ(check(img), 0);
    flip(headers[0].partition_offset + 2);
    EXPECT_EQ(check(img), UPD_MSG_PART_CHECKSUM_ERR);
}

TEST_F(RomFormat, ShortPartitionsAndTheRomSizeTail)
{
    // A partition of fewer than four bytes must carry checksum 0.
    desc.partitions = {part(4, {1, 2, 3})};
    desc.partitions[0].bad_checksum = true;
    EXPECT_EQ(check(), UPD_MSG_PART_CHECKSUM_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "partition_checksum_cal:0 checksum:1\n"), 1);
    desc.partitions[0].bad_checksum = false;

    // rom_size ends two bytes into the last word (the three bytes of the
    // partition and a pad byte): those two are outside the ROM checksum,
    // the word before them is inside.
    std::vector<unsigned char> img = rom_build(desc);
    const size_t n = img.size();
    desc.rom_size = static_cast<unsigned int>(n - 140 - 2);
    img = rom_build(desc);
    ASSERT_EQ(check(img), 0);
    img[n - 4] ^= 0x5A;
    img[n - 3] ^= 0x5A;
    EXPECT_EQ(check(img), 0);
    img[n - 5] ^= 0x5A;
    EXPECT_EQ(check(img), UPD_MSG_ROM_CHECKSUM_ERR);
}

TEST_F(RomFormat, TheRecordKeepsPlainWordsAndTheirDescrambledCounterparts)
{
    desc.key = 93;
    ASSERT_EQ(check(), 0);
    // The plain words at 20, 36 and 40 stay; what came out of the region at
    // those offsets lands at 108, 116 and 112.
    EXPECT_EQ(header.scrambled_partition_num, 2U);
    EXPECT_EQ(header.scrambled_rom_size, header.rom_size);
    EXPECT_EQ(header.scrambled_rom_checksum, header.rom_checksum);
    EXPECT_EQ(header.key, 93);

    // An image scrambled here by hand, independently of the builder: the
    // plain region through the inverse table, rotated right by one (key
    // 93 on a region of 92 bytes).
    std::vector<unsigned char> img = rom_build(desc);
    unsigned char plain[92] = {};
    const unsigned int device = 0x11223344U;
    std::memcpy(plain + 12, &device, 4); // record offset 24
    plain[91] = 0xC3;                    // record offset 103
    unsigned char inverse[256];
    for (int s = 0; s < 256; ++s) inverse[decrypt[s]] = static_cast<unsigned char>(s);
    for (int i = 0; i < 92; ++i) img[static_cast<size_t>(12 + (i + 1) % 92)] = inverse[plain[i]];
    // The stored words at 20, 36 and 40 are the plain ones; put their
    // scrambled counterparts where the check takes them from.
    for (int b = 0; b < 4; ++b) {
        img[static_cast<size_t>(108 + b)] = img[static_cast<size_t>(20 + b)];
        img[static_cast<size_t>(116 + b)] = img[static_cast<size_t>(36 + b)];
        img[static_cast<size_t>(112 + b)] = img[static_cast<size_t>(40 + b)];
    }
    const std::vector<unsigned char> built = rom_build(desc);
    for (size_t at : {size_t{20}, size_t{36}, size_t{40}})
        std::memcpy(img.data() + at, built.data() + at, 4);
    ASSERT_EQ(rom_load_header(img.data(), img.size(), &header), 0);
    EXPECT_EQ(header.device_id, device);
    EXPECT_EQ(header.reserved0[35], 0xC3);
    EXPECT_EQ(header.partition_num, 2U) << "the plain word stays";
    EXPECT_EQ(header.scrambled_partition_num, 0U) << "the region held 0 at offset 20";
}

TEST_F(RomFormat, ARegionThatReachesTheKeyRotatesByItsSubstitute)
{
    // rom_header_size 152: the region is 116 bytes (record bytes 12 to 127)
    // and holds the key byte at 124, which is substituted before it is read.
    std::vector<unsigned char> img(200, 0);
    const unsigned int magic = ROM_MAGIC, size = 152;
    std::memcpy(img.data(), &magic, 4);
    std::memcpy(img.data() + 4, &size, 4);
    unsigned char inverse[256];
    for (int s = 0; s < 256; ++s) inverse[decrypt[s]] = static_cast<unsigned char>(s);
    for (int i = 0; i < 116; ++i) img[static_cast<size_t>(12 + i)] = static_cast<unsigned char>(i);
    img[124] = inverse[5]; // rotates by 5, not by inverse[5] % 116
    ASSERT_EQ(rom_load_header(img.data(), img.size(), &header), 0);
    const unsigned char* record = reinterpret_cast<const unsigned char*>(&header);
    // Record bytes 24 to 30 come from stored bytes 29 to 35 (none of them a
    // swapped word), which hold 17 to 23, substituted.
    for (int at = 24; at < 31; ++at)
        EXPECT_EQ(record[at], decrypt[at + 5 - 12]) << "record byte " << at;
}

TEST_F(RomFormat, UnalignedOffsetsAreReadBytewise)
{
    // The data moved to an odd offset; the checksum is of the bytes there.
    std::vector<unsigned char> img = rom_build(desc);
    ASSERT_EQ(check(img), 0);
    const unsigned int offset = headers[0].partition_offset;
    desc.partitions[0].offset = offset + 1;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(headers[0].partition_offset, offset + 1);
}

TEST_F(RomFormat, EveryRangeMustLieInsideTheImage)
{
    std::vector<unsigned char> img = rom_build(desc);
    const size_t full = img.size();
    // Too short for the header record.
    EXPECT_EQ(check(std::vector<unsigned char>(img.begin(), img.begin() + 139)),
              UPD_MSG_ARG_ADDR_ERR);
    EXPECT_EQ(check(std::vector<unsigned char>(img.begin(), img.begin() + 3)),
              UPD_MSG_ARG_ADDR_ERR);
    EXPECT_TRUE(logged_containing("rom image too short: 0x8b bytes"));
    // A header size that would descramble beyond the record.
    desc.header_size = 168;
    EXPECT_EQ(check(), UPD_MSG_ARG_ADDR_ERR);
    EXPECT_TRUE(logged_containing("rom_header_size 0xa8 above 0xa4"));
    desc.header_size = 164;
    EXPECT_NE(check(), UPD_MSG_ARG_ADDR_ERR) << "164 is the largest that fits";
    desc.header_size.reset();
    // rom_size beyond the end.
    desc.rom_size = static_cast<unsigned int>(full);
    EXPECT_EQ(check(), UPD_MSG_ROM_CHECKSUM_ERR);
    EXPECT_TRUE(logged_containing("rom data 0x8c.."));
    desc.rom_size.reset();
    // A partition header cut off by the end of the image.
    desc.partitions = {part(4, {}), part(5, {})};
    desc.partitions[0].offset = 0; // its (empty) data stays inside
    img = rom_build(desc);
    ASSERT_EQ(check(img), 0);
    const size_t second_header = 140 + 44;
    desc.rom_size = 0;
    desc.truncate = second_header + 20;
    EXPECT_EQ(check(), UPD_MSG_PART_HEADER_RPAT_ERR);
    EXPECT_TRUE(logged_containing("partition header 1 at 0xb8..0xe4 leaves the image"));
    desc.truncate.reset();
    desc.rom_size.reset();
    // A header size that fits the record but not a short image.
    desc.partitions.clear();
    desc.header_size = 160;
    desc.rom_size = 0;
    desc.truncate = 150;
    EXPECT_EQ(check(), UPD_MSG_ARG_ADDR_ERR);
    EXPECT_TRUE(logged_containing("rom header 0x0..0xac leaves the image of 0x96 bytes"));
    desc.header_size.reset();
    desc.truncate.reset();
    desc.rom_size.reset();
    // A partition header whose size reaches past the end.
    desc.partitions = {part(4, bytes(8, 1))};
    desc.partitions[0].header_size = 0x10000;
    EXPECT_EQ(check(), UPD_MSG_PART_HEADER_CHECKSUM_ERR);
    EXPECT_TRUE(logged_containing("partition header 0 at 0x8c..0x10098 leaves the image"));
    desc.partitions[0].header_size.reset();
    // Partition data beyond the end, and an offset that wraps in 32 bits.
    desc.partitions = {part(4, bytes(16, 1))};
    desc.partitions[0].size = 0x1000;
    EXPECT_EQ(check(), UPD_MSG_PART_CHECKSUM_ERR);
    EXPECT_TRUE(logged_containing("partition 0 data 0x"));
    desc.partitions[0].size.reset();
    desc.partitions[0].offset = 0xFFFFFFF0U;
    EXPECT_EQ(check(), UPD_MSG_PART_CHECKSUM_ERR);
    // The length given is the limit, even when more memory follows.
    img = rom_build(desc);
    words.assign(img.size() / 4 + 64, 0);
    std::memcpy(words.data(), img.data(), img.size());
    EXPECT_EQ(rom_check_format(words.data(), img.size() - 1, &header, headers),
              UPD_MSG_ROM_CHECKSUM_ERR);
    EXPECT_EQ(rom_check_format(nullptr, 100, &header, headers), -1);
}

} // namespace
