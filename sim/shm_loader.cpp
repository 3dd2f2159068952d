// sim/shm_loader.cpp - filling the shared upgrade record as the loading
// process does, with the phone's own record and semaphore functions.
#include "shm_loader.h"

#include "libupgrader.h"
#include "rl_log.h"
#include "semctrl.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("shared-memory loader: " + what + ": " + std::strerror(errno));
}

void fill(void* record, const shm_load& load)
{
    if (load.image.size() > libupd_get_rom_capacity(record)) {
        errno = EFBIG;
        fail("image of " + std::to_string(load.image.size()) + " bytes");
    }
    std::memcpy(libupd_get_rom_start_addr(record), load.image.data(), load.image.size());
    libupd_set_state(record, load.state);
}

// The record under the key the upgrader looks for first. Nothing in the
// phone's own libraries makes it, so it is made here directly.
void* primary_record()
{
    const int id = shmget(LIBUPD_SHM_KEY_PRIMARY, LIBUPD_SHM_SIZE, IPC_CREAT | 0666);
    if (id < 0) fail("shmget 0x1079B");
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) fail("shmat 0x1079B");
    return addr;
}

} // namespace

void shm_load_records(const shm_load& load)
{
    // The loader is not the upgrader: its attach lines stay out of the
    // phone's log.
    rl_log_set_level(-1);
    const int memory_semid = binary_sem_create_key(SEM_KEY_MEMORY);
    if (memory_semid < 0) fail("memory semaphore");
    if (lock_binary_sem(memory_semid) < 0) fail("lock memory semaphore");

    void* record = libupd_create_share_memory();
    if (record == nullptr) fail("create shared memory 0xA130");
    fill(record, load);
    if (load.primary) {
        void* first = primary_record();
        if (load.image.size() > LIBUPD_ROM_MAX) {
            errno = EFBIG;
            fail("image of " + std::to_string(load.image.size()) + " bytes");
        }
        std::memcpy(libupd_get_rom_start_addr(first), load.image.data(), load.image.size());
        libupd_set_state(first, load.state);
        shmdt(first);
    }
    shmdt(record);
    if (unlock_binary_sem(memory_semid) < 0) fail("unlock memory semaphore");
}
