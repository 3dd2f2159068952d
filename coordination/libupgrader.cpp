// coordination/libupgrader.cpp - create, attach, read and remove the
// shared upgrade record.
#include "libupgrader.h"

#include "rl_log.h"

#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

constexpr int kPermissions = 0666;

// Sizes of the segments this process attached, so that an image in one
// can be bounded. The driver attaches one record; a few slots are plenty.
struct attachment {
    const void* addr;
    std::size_t size;
};
constexpr int kAttachmentSlots = 8;
attachment g_attachments[kAttachmentSlots] = {};

void remember(const void* addr, std::size_t size)
{
    attachment* free_slot = nullptr;
    for (attachment& a : g_attachments) {
        if (a.addr == addr) {
            a.size = size;
            return;
        }
        if (a.addr == nullptr && free_slot == nullptr) free_slot = &a;
    }
    if (free_slot != nullptr) *free_slot = {addr, size};
}

void forget(const void* addr)
{
    for (attachment& a : g_attachments)
        if (a.addr == addr) a = {};
}

// Logs the segment's status and attaches it read-write anywhere.
void* attach(int shmid)
{
    struct shmid_ds ds = {};
    std::size_t size = 0;
    if (shmctl(shmid, IPC_STAT, &ds) == 0) {
        size = ds.shm_segsz;
        rl_log_info("Size of memory segment is %d\n", static_cast<int>(ds.shm_segsz));
        rl_log_info("Numbre of attaches %d\n", static_cast<int>(ds.shm_nattch));
    } else {
        rl_log_info("shmctl() call failed\n");
    }
    void* addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        rl_log_info("shmat failed\n");
        return nullptr;
    }
    // The phone's addresses are 32 bits wide.
    rl_log_info("Memory attached at %X\n",
                static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(addr)));
    remember(addr, size);
    return addr;
}

} // namespace

void* get_share_memory()
{
    int shmid = shmget(LIBUPD_SHM_KEY_PRIMARY, 0, 0);
    if (shmid < 0) shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    if (shmid < 0) return nullptr;
    return attach(shmid);
}

void* libupd_create_share_memory()
{
    int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    if (shmid < 0) {
        shmid = shmget(LIBUPD_SHM_KEY, LIBUPD_SHM_SIZE, IPC_CREAT | kPermissions);
        if (shmid < 0) {
            rl_log_err("create shared memory failed: %s\n", std::strerror(errno));
            return nullptr;
        }
    }
    return attach(shmid);
}

int libupd_get_state(const void* addr)
{
    std::int32_t state = 0;
    std::memcpy(&state, static_cast<const unsigned char*>(addr) + LIBUPD_STATE_OFFSET,
                sizeof state);
    return state;
}

int libupd_set_state(void* addr, int state)
{
    const std::int32_t word = state;
    std::memcpy(static_cast<unsigned char*>(addr) + LIBUPD_STATE_OFFSET, &word, sizeof word);
    return state;
}

unsigned char* libupd_get_rom_start_addr(void* addr)
{
    return static_cast<unsigned char*>(addr) + LIBUPD_ROM_OFFSET;
}

std::size_t libupd_get_rom_capacity(const void* addr)
{
    if (addr == nullptr) return 0;
    for (const attachment& a : g_attachments)
        if (a.addr == addr) return a.size > LIBUPD_ROM_OFFSET ? a.size - LIBUPD_ROM_OFFSET : 0;
    return 0;
}

void libupd_delete_share_memory(void* addr)
{
    if (addr == nullptr) return;
    // Removal is by the key this module creates, whichever segment the
    // record came from.
    const int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    if (shmid < 0) return;
    if (shmdt(addr) < 0) {
        rl_log_err("detach the shared memory failed");
        return;
    }
    forget(addr);
    rl_log_info("detach the shared memory");
    if (shmctl(shmid, IPC_RMID, nullptr) < 0) rl_log_err("Failed to delete shared memory");
}

void libupd_show_version()
{
    rl_log_info("\nInit %s, Version %s, Build at %s %s\n", "libupgrader", "1.0.0.11", __DATE__,
                __TIME__);
}
