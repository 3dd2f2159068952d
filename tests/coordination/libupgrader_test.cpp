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

size_t segment_size(int shmid)
{
    struct shmid_ds ds = {};
    if (shmctl(shmid, IPC_STAT, &ds) != 0) return 0;
    return ds.shm_segsz;
}

// Puts `mark` at offset 8 of the segment, through its own attachment.
void mark_segment(int shmid, const char* mark)
{
    void* p = shmat(shmid, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void*>(-1));
    std::strcpy(static_cast<char*>(p) + 8, mark);
    ASSERT_EQ(shmdt(p), 0);
}

TEST_F(SharedRecord, ThePrimaryKeyWinsAndTheAttachIsLogged)
{
    const int secondary = make_segment(LIBUPD_SHM_KEY, 4096);
    const int primary = make_segment(LIBUPD_SHM_KEY_PRIMARY, 65536);
    ASSERT_GE(secondary, 0);
    ASSERT_GE(primary, 0);
    mark_segment(secondary, "secondary");
    mark_segment(primary, "primary");

    void* rec = get_share_memory();
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(libupd_get_rom_start_addr(rec)), "primary");
    EXPECT_EQ(libupd_get_rom_capacity(rec), 65536U - 8);

    const auto lines = logged();
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[0], (logged_line{6, 0, "Size of memory segment is 65536\n"}));
    EXPECT_EQ(lines[1], (logged_line{6, 0, "Numbre of attaches 0\n"}));
    char attached[32];
    std::snprintf(attached, sizeof attached, "Memory attached at %X\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(rec)));
    EXPECT_EQ(lines[2], (logged_line{6, 0, attached}));
}

TEST_F(SharedRecord, TheSecondaryKeyIsTheFallbackAndNoneIsSilent)
{
    EXPECT_EQ(get_share_memory(), nullptr);
    EXPECT_TRUE(logged().empty());

    const int secondary = make_segment(LIBUPD_SHM_KEY, 4096);
    ASSERT_GE(secondary, 0);
    mark_segment(secondary, "secondary");
    void* rec = get_share_memory();
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(libupd_get_rom_start_addr(rec)), "secondary");
}

TEST_F(SharedRecord, CreateMakesEightMebibytesOrKeepsWhatExists)
{
    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    const int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    ASSERT_GE(shmid, 0);
    EXPECT_EQ(segment_size(shmid), LIBUPD_SHM_SIZE);
    struct shmid_ds ds = {};
    ASSERT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666U);
    EXPECT_EQ(libupd_get_rom_capacity(rec), LIBUPD_ROM_MAX);
    EXPECT_EQ(phone_syslog_count(6, "upgrader pid" + std::to_string(getpid()) + ",tid" +
                                        std::to_string(getpid()) +
                                        ",l6: Size of memory segment is 8388608\n"),
              1);

    // A second create attaches the same segment again.
    void* again = libupd_create_share_memory();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), shmid);
    EXPECT_EQ(logged().back(),
              (logged_line{6, 0, [&] {
                               char t[32];
                               std::snprintf(
                                   t, sizeof t, "Memory attached at %X\n",
                                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(again)));
                               return std::string(t);
                           }()}));
}

TEST_F(SharedRecord, CreateAttachesASmallerSegmentWithoutResizingIt)
{
    const int small = make_segment(LIBUPD_SHM_KEY, 100);
    ASSERT_GE(small, 0);
    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(segment_size(small), 100U);
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
    // Any address, attached or not.
    unsigned char local[16] = {};
    EXPECT_EQ(libupd_get_rom_start_addr(local), local + 8);
    EXPECT_EQ(libupd_get_rom_capacity(local), 0U);
    EXPECT_EQ(libupd_get_rom_capacity(nullptr), 0U);
}

TEST_F(SharedRecord, DeleteDetachesAndRemovesTheSecondaryKey)
{
    void* rec = libupd_create_share_memory();
    ASSERT_NE(rec, nullptr);
    const size_t before = logged().size();
    libupd_delete_share_memory(rec);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(libupd_get_rom_capacity(rec), 0U);
    const auto lines = logged();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), (logged_line{6, 0, "detach the shared memory"}));
}

TEST_F(SharedRecord, DeleteDoesNothingForNullOrWithoutTheSecondaryKey)
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
    // Still attached and still there.
    EXPECT_STREQ(reinterpret_cast<char*>(libupd_get_rom_start_addr(rec)), "still here");
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY_PRIMARY, 0, 0), primary);
    EXPECT_EQ(logged().size(), before);
}

TEST_F(SharedRecord, DeleteRemovesBySecondaryKeyEvenForThePrimaryRecord)
{
    const int primary = make_segment(LIBUPD_SHM_KEY_PRIMARY, 4096);
    const int secondary = make_segment(LIBUPD_SHM_KEY, 4096);
    ASSERT_GE(primary, 0);
    ASSERT_GE(secondary, 0);
    void* rec = get_share_memory();
    ASSERT_NE(rec, nullptr);
    libupd_delete_share_memory(rec);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), -1);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY_PRIMARY, 0, 0), primary);
    struct shmid_ds ds = {};
    ASSERT_EQ(shmctl(primary, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 0U) << "the primary record was not detached";
}

TEST_F(SharedRecord, ADetachFailureStopsBeforeTheRemoval)
{
    const int secondary = make_segment(LIBUPD_SHM_KEY, 4096);
    ASSERT_GE(secondary, 0);
    unsigned char not_attached[16] = {};
    libupd_delete_share_memory(not_attached);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), secondary);
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0], (logged_line{3, 0, "detach the shared memory failed"}));
}

} // namespace
