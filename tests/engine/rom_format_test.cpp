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
#include <set>
#include <sstream>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

// The error lines logged since the syslog held `seen` records.
std::string errors_since(size_t seen)
{
    std::string out;
    const std::vector<syslog_record> log = phone_syslog();
    for (size_t i = seen; i < log.size(); ++i)
        if (log[i].level == LOG_ERR) out += log[i].msg;
    return out;
}

int occurrences(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
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
    EXPECT_EQ(std::set<unsigned char>(decrypt, decrypt + 256).size(), 256U) << "a permutation";
}

// The refusals' texts are checked where they are logged; these codes log
// nothing.
TEST(UpdMsg, SilentCodesAndNames)
{
    rl_log_init("upgrader", 7);
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
    // Data at an odd offset: the checksum is of the bytes there.
    const unsigned int offset = headers[0].partition_offset;
    desc.partitions[0].offset = offset + 1;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(headers[0].partition_offset, offset + 1);
    desc.partitions[0].offset.reset();

    // The plain form: no descrambling, the word at 104 is not looked at,
    // and the header checksum covers bytes 8 to 135.
    desc.scrambled = false;
    desc.second_magic = 0x12345678;
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(header.rom_header_size, 124U);
    EXPECT_EQ(header.device_id, 59U);
    std::vector<unsigned char> img = rom_build(desc);
    img[136] ^= 0xFF; // just after the plain header: the first partition header
    EXPECT_NE(check(img), UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
    img = rom_build(desc);
    img[135] ^= 0x01;
    EXPECT_EQ(check(img), UPD_MSG_ROM_HEADER_CHECKSUM_ERR);

    // From no partition up to sixteen.
    desc.partitions.clear();
    ASSERT_EQ(check(), 0);
    for (unsigned int k = 0; k < 16; ++k) desc.partitions.push_back(part(k % 10, bytes(8, 1)));
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(headers[15].partition_size, 8U);
}

// A refusal code and the text it logs: its name.
#define CODE(c) c, #c

// Each fault, given as the image builder's texts, is refused with its code
// and its error lines: the checks run in their order, and every range must
// lie inside the image of the length given.
TEST_F(RomFormat, EachFaultIsRefusedWithItsCodeAndLine)
{
    const std::string full = std::to_string(rom_build(desc).size());
    const struct {
        std::string faults;
        int result;
        const char* text;
        const char* line; // an error line besides the code's, or null
    } rows[] = {
        {"magic", CODE(UPD_MSG_ARG_ADDR_ERR), nullptr}, // the magic in the wrong byte order
        {"truncate=3", CODE(UPD_MSG_ARG_ADDR_ERR), "rom image too short: 0x3 bytes"},
        {"truncate=139", CODE(UPD_MSG_ARG_ADDR_ERR), "rom image too short: 0x8b bytes"},
        {"header-size=165", CODE(UPD_MSG_ARG_ADDR_ERR), "rom_header_size 0xa5 above 0xa4"},
        {"header-size=160 rom-size=0 truncate=150", CODE(UPD_MSG_ARG_ADDR_ERR),
         "rom header 0x0..0xac leaves the image of 0x96 bytes"},
        {"second-magic", CODE(UPD_MSG_ROM_HEADER_RROM_ERR), nullptr},
        // partition_num 17 is refused after descrambling, before the checksums.
        {"partition-num=17 header-checksum", CODE(UPD_MSG_PART_NUM_ERR), nullptr},
        {"header-checksum", CODE(UPD_MSG_ROM_HEADER_CHECKSUM_ERR), nullptr},
        {"rom-checksum", CODE(UPD_MSG_ROM_CHECKSUM_ERR), nullptr},
        {"rom-size=" + full, CODE(UPD_MSG_ROM_CHECKSUM_ERR), "rom data 0x8c.."},
        {"part-magic:1", CODE(UPD_MSG_PART_HEADER_RPAT_ERR), nullptr},
        // The second partition header is cut off; the first one's empty data stays inside.
        {"rom-size=0 part-size:0=0 part-offset:0=0 truncate=204",
         CODE(UPD_MSG_PART_HEADER_RPAT_ERR), "partition header 1 at 0xb8..0xe4 leaves the image"},
        // The walk steps by each header's own size: 36 misses the second header.
        {"part-header-size:0=36", CODE(UPD_MSG_PART_HEADER_RPAT_ERR), nullptr},
        {"part-header-checksum:1", CODE(UPD_MSG_PART_HEADER_CHECKSUM_ERR), nullptr},
        {"part-header-size:0=0x10000", CODE(UPD_MSG_PART_HEADER_CHECKSUM_ERR),
         "partition header 0 at 0x8c..0x10098 leaves the image"},
        {"part-checksum:0", CODE(UPD_MSG_PART_CHECKSUM_ERR), "partition_checksum_cal:"},
        {"part-size:0=0x1000", CODE(UPD_MSG_PART_CHECKSUM_ERR), "partition 0 data 0x"},
        // The last partition's data ends with the image: 4 bytes more leave it.
        {"part-size:1=68", CODE(UPD_MSG_PART_CHECKSUM_ERR), "partition 1 data 0x"},
        // An offset whose end wraps in 32 bits.
        {"part-offset:0=0xFFFFFFF0", CODE(UPD_MSG_PART_CHECKSUM_ERR), "partition 0 data 0x"},
    };
    for (const auto& r : rows) {
        rom_image_desc d = desc;
        std::istringstream faults(r.faults);
        for (std::string f; faults >> f;) rom_apply_fault(d, f);
        const size_t seen = phone_syslog().size();
        EXPECT_EQ(check(rom_build(d)), r.result) << r.faults;
        const std::string errors = errors_since(seen);
        EXPECT_EQ(occurrences(errors, ": " + std::string(r.text) + "\n"), 1) << r.faults << errors;
        if (r.line != nullptr) {
            EXPECT_EQ(occurrences(errors, r.line), 1) << r.faults;
        }
    }
    // The length given is the limit, even when more memory follows.
    const std::vector<unsigned char> img = rom_build(desc);
    words.assign(img.size() / 4 + 64, 0);
    std::memcpy(words.data(), img.data(), img.size());
    EXPECT_EQ(rom_check_format(words.data(), img.size() - 1, &header, headers),
              UPD_MSG_ROM_CHECKSUM_ERR);
    EXPECT_EQ(rom_check_format(nullptr, 100, &header, headers), -1);
    desc.header_size = 164;
    EXPECT_NE(check(), UPD_MSG_ARG_ADDR_ERR) << "164 is the largest that fits";
}
#undef CODE

TEST_F(RomFormat, ShortPartitionsAndTheWordsTheChecksumsCover)
{
    // Fewer than four bytes: no word is summed, the checksum must be 0.
    desc.partitions = {part(4, {1, 2, 3})};
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(headers[0].partition_checksum, 0U);
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
    desc.rom_size.reset();

    // The bytes after the last whole word are outside the partition's
    // checksum. A changed byte is kept out of the ROM checksum by mending
    // rom_checksum (plain, at 40) and, for it, the header checksum (at 8).
    desc.partitions = {part(4, bytes(7, 9))};
    img = rom_build(desc);
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
    const std::vector<unsigned char> built = rom_build(desc);
    std::vector<unsigned char> img = built;
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
    for (size_t at : {size_t{20}, size_t{36}, size_t{40}})
        std::memcpy(img.data() + at, built.data() + at, 4);
    ASSERT_EQ(rom_load_header(img.data(), img.size(), &header), 0);
    EXPECT_EQ(header.device_id, device);
    EXPECT_EQ(header.reserved0[35], 0xC3);
    EXPECT_EQ(header.partition_num, 2U) << "the plain word stays";
    EXPECT_EQ(header.scrambled_partition_num, 0U) << "the region held 0 at offset 20";

    // A region that reaches the key rotates by its substitute: with
    // rom_header_size 152 the region is 116 bytes (record bytes 12 to 127)
    // and holds the key byte at 124, which is substituted before it is read.
    img.assign(200, 0);
    const unsigned int magic = ROM_MAGIC, size = 152;
    std::memcpy(img.data(), &magic, 4);
    std::memcpy(img.data() + 4, &size, 4);
    for (int i = 0; i < 116; ++i) img[static_cast<size_t>(12 + i)] = static_cast<unsigned char>(i);
    img[124] = inverse[5]; // rotates by 5, not by inverse[5] % 116
    ASSERT_EQ(rom_load_header(img.data(), img.size(), &header), 0);
    const unsigned char* record = reinterpret_cast<const unsigned char*>(&header);
    // Record bytes 24 to 30 come from stored bytes 29 to 35 (none of them a
    // swapped word), which hold 17 to 23, substituted.
    for (int at = 24; at < 31; ++at)
        EXPECT_EQ(record[at], decrypt[at + 5 - 12]) << "record byte " << at;
}

} // namespace
