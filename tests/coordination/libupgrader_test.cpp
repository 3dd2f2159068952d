// The shared upgrade record: real System V segments in the phone's IPC
// namespace, made here the way the loading process makes them.
#include "coord_log.h"
#include "libupgrader.h"
#include "rl_log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

class SharedRecord : public testing::Test {
protected:
    void SetUp() override { rl_log_init("upgrader", 7); }
};

int make_segment(key_t key, size_t size)
{
    return shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
}

struct shmid_ds status_of(int shmid)
{
    struct shmid_ds ds = {};
    EXPECT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
    return ds;
}

// Puts `mark` at offset 8 of the segment, through its own attachment.
void mark_segment(int shmid, const char* mark)
{
    void* p = shmat(shmid, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void*>(-1));
    std::strcpy(static_cast<char*>(p) + 8, mark);
    ASSERT_EQ(shmdt(p), 0);
}

TEST_F(SharedRecord, ThePrimaryKeyWinsOverTheSecondaryAndNoneIsSilent)
{
    EXPECT_EQ(get_share_memory(), nullptr);
    EXPECT_TRUE(logged().empty());
    const int secondary = make_segment(LIBUPD_SHM_KEY, 4096);
    ASSERT_GE(secondary, 0);
    mark_segment(secondary, "secondary");
    void* rec = get_share_memory();
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(libupd_get_rom_start_addr(rec)), "secondary");

    const int primary = make_segment(LIBUPD_SHM_KEY_PRIMARY, 65536);
    ASSERT_GE(primary, 0);
    mark_segment(primary, "primary");
    const size_t before = logged().size();
    rec = get_share_memory();
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(libupd_get_rom_start_addr(rec)), "primary");
    EXPECT_EQ(libupd_get_rom_capacity(rec), 65536U - 8);
    char attached[32];
    std::snprintf(attached, sizeof attached, "Memory attached at %X\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(rec)));
    const auto lines = logged();
    EXPECT_EQ(std::vector<logged_line>(lines.begin() + static_cast<long>(before), lines.end()),
              (std::vector<logged_line>{{6, "Size of memory segment is 65536\n"},
                                        {6, "Numbre of attaches 0\n"},
                                        {6, attached}}));
}

TEST_F(SharedRecord, CreateMakesEightMebibytes)
{
    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    const int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    ASSERT_GE(shmid, 0);
    EXPECT_EQ(status_of(shmid).shm_segsz, LIBUPD_SHM_SIZE);
    EXPECT_EQ(status_of(shmid).shm_perm.mode & 0777, 0666U);
    EXPECT_EQ(libupd_get_rom_capacity(rec), LIBUPD_ROM_MAX);
}

TEST_F(SharedRecord, CreateAttachesASmallerSegmentWithoutResizingIt)
{
    const int small = make_segment(LIBUPD_SHM_KEY, 100);
    ASSERT_GE(small, 0);
    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(status_of(small).shm_segsz, 100U);
    EXPECT_EQ(libupd_get_rom_capacity(rec), 92U);
}

TEST_F(SharedRecord, StateAndImageLiveAtTheirOffsets)
{
    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    auto* bytes = static_cast<unsigned char*>(rec);
    std::memset(bytes, 0xAA, 16);

    EXPECT_EQ(libupd_set_state(rec, -3), -3);
    EXPECT_EQ(libupd_get_state(rec), -3);
    // A little-endian word at offset 4; the reserved word is left alone.
    const unsigned char expected[] = {0xAA, 0xAA, 0xAA, 0xAA, 0xFD, 0xFF, 0xFF, 0xFF, 0xAA};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);
    bytes[4] = 2;
    bytes[5] = bytes[6] = bytes[7] = 0;
    EXPECT_EQ(libupd_get_state(rec), 2);
    EXPECT_EQ(libupd_get_rom_start_addr(rec), bytes + 8);
    // An address this module did not attach has no capacity.
    unsigned char local[16] = {};
    EXPECT_EQ(libupd_get_rom_capacity(local), 0U);
    EXPECT_EQ(libupd_get_rom_capacity(nullptr), 0U);
}

TEST_F(SharedRecord, DeleteDetachesAndRemovesTheSecondaryKey)
{
    const int secondary = make_segment(LIBUPD_SHM_KEY, 4096);
    ASSERT_GE(secondary, 0);
    // A detach that fails stops before the removal.
    unsigned char not_attached[16] = {};
    libupd_delete_share_memory(not_attached);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), secondary);
    EXPECT_EQ(logged(), (std::vector<logged_line>{{3, "detach the shared memory failed"}}));

    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    const size_t before = logged().size();
    libupd_delete_share_memory(rec);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(libupd_get_rom_capacity(rec), 0U);
    const auto lines = logged();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), (logged_line{6, "detach the shared memory"}));
}

// Removal goes by the secondary key whichever record it is given: without
// that key nothing happens, with it the primary record is detached too.
TEST_F(SharedRecord, DeleteGoesByTheSecondaryKeyOnly)
{
    libupd_delete_share_memory(nullptr);
    EXPECT_TRUE(logged().empty());
    const int primary = make_segment(LIBUPD_SHM_KEY_PRIMARY, 4096);
    ASSERT_GE(primary, 0);
    mark_segment(primary, "still here");
    void* rec = get_share_memory();
    ASSERT_NE(rec, nullptr);
    const size_t before = logged().size();
    libupd_delete_share_memory(rec);
    EXPECT_STREQ(reinterpret_cast<char*>(libupd_get_rom_start_addr(rec)), "still here");
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY_PRIMARY, 0, 0), primary);
    EXPECT_EQ(logged().size(), before);

    ASSERT_GE(make_segment(LIBUPD_SHM_KEY, 4096), 0);
    libupd_delete_share_memory(rec);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), -1);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY_PRIMARY, 0, 0), primary);
    EXPECT_EQ(status_of(primary).shm_nattch, 0U) << "the primary record was not detached";
}

} // namespace
