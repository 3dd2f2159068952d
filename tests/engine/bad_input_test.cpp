// Hostile and malformed inputs from outside the program, on the simulated
// phone: a ROM file cut anywhere, and key events cut short. (A version
// file beyond the INI reader's buffer: the Profile tests.)
#include "keypad.h"
#include "phone.h"
#include "rom_builder.h"
#include "rom_check.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

rom_partition_desc part(unsigned int id, std::size_t size)
{
    rom_partition_desc p;
    p.partition_id = id;
    p.version = 0x01020304;
    p.data.resize(size);
    for (std::size_t i = 0; i < size; ++i) p.data[i] = static_cast<unsigned char>(i * 13 + id);
    return p;
}

class BadRom : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        rl_log_set_level(3); // thousands of checks: only the refusals
        desc.device_id = 59;
        desc.rom_version = 0x0296080A;
        desc.match_id[0] = 3;
        desc.partitions = {part(4, 100), part(5, 64), part(6, 12)};
    }
    // The format checks on exactly `len` bytes of `img`, in a buffer of
    // that size (rounded up to whole words, the rest never given).
    int check(const std::vector<unsigned char>& img, std::size_t len)
    {
        std::vector<unsigned int> words(len / 4 + 1, 0);
        std::memcpy(words.data(), img.data(), len);
        return rom_check_format(len == 0 ? nullptr : words.data(), len, &header, headers);
    }

    rom_image_desc desc;
    rom_header header = {};
    partition_header headers[ROM_PARTITIONS_MAX] = {};
};

// A file cut anywhere before the end of its partition headers, or anywhere
// in its data, is refused: every range is checked against the length.
TEST_F(BadRom, EveryTruncationIsRefused)
{
    const std::vector<unsigned char> img = rom_build(desc);
    ASSERT_EQ(check(img, img.size()), 0);
    for (std::size_t len = 0; len < img.size(); ++len)
        EXPECT_NE(check(img, len), 0) << "cut at " << len << " of " << img.size();
}

// Events shorter than the phone's 16-byte input event are no key.
TEST(BadKeyEvents, ShortEventsAreNoKey)
{
    rl_log_init("upgrader", 7);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const unsigned char event[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0x3B, 0, 1, 0, 0, 0};
    KeyEvent ev = {};
    for (std::size_t n : {1U, 8U, 15U}) {
        ASSERT_EQ(write(p[1], event, n), static_cast<ssize_t>(n));
        EXPECT_EQ(kpad_read(p[0], &ev), -1) << n << " bytes";
    }
    ASSERT_EQ(write(p[1], event, sizeof event), 16);
    ASSERT_EQ(kpad_read(p[0], &ev), 0);
    EXPECT_EQ(ev.code, 0x3B);
    EXPECT_EQ(ev.value, 1);
    close(p[0]);
    close(p[1]);
}

} // namespace
