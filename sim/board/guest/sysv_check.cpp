// sim/board/guest/sysv_check.cpp - every System V IPC call the upgrader
// makes, through the upgrader's own semaphore and shared-record functions,
// checked on a real kernel: semget (create, find), semctl (SETVAL, GETVAL,
// SETALL, IPC_STAT through IPC_RMID), semop with and without undo (and
// what each leaves behind when its process ends), shmget, shmat, shmctl
// (IPC_STAT, IPC_RMID) and shmdt. Prints one line per check and exits
// with the number of failures.
#include "libupgrader.h"
#include "semctrl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int g_failures = 0;

void check(bool ok, const char* what)
{
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, ok ? "" : ": ",
                ok ? "" : std::strerror(errno));
    if (!ok) ++g_failures;
}

int value(int semid)
{
    return semctl(semid, 0, GETVAL);
}

// Runs `op` in a child process that then ends; returns its exit status.
template <typename F> int in_child(F op)
{
    const pid_t pid = fork();
    if (pid == 0) _exit(op());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int main()
{
    constexpr key_t kKey = 0x5EC0;
    const int id = binary_sem_create_key(kKey);
    check(id >= 0, "semget creates the binary semaphore (IPC_CREAT|IPC_EXCL)");
    check(value(id) == 1, "semctl SETVAL made it free, GETVAL reads 1");
    check(binary_sem_create_key(kKey) == id, "semget finds it again");
    check(get_sem_by_key(kKey) == id, "semget without IPC_CREAT finds it");

    check(try_lock_binary_sem(id) == 0 && value(id) == 0, "semop IPC_NOWAIT takes it");
    check(try_lock_binary_sem(id) == -1 && errno == EAGAIN,
          "a second try-lock is refused (EAGAIN)");
    check(unlock_binary_sem(id) == 0 && value(id) == 1, "semop SEM_UNDO gives it back");

    // Undo across the end of a process: a blocking lock is given back, a
    // try-lock stays held.
    in_child([id] { return lock_binary_sem(id) == 0 ? 0 : 1; });
    check(value(id) == 1, "a blocking lock (SEM_UNDO) is undone when its process ends");
    in_child([id] { return try_lock_binary_sem(id) == 0 ? 0 : 1; });
    check(value(id) == 0, "a try-lock (no undo) stays held after its process ends");
    check(binary_sem_init(id) == 0 && value(id) == 1, "semctl SETVAL frees it again");

    // Why the phone's C library must not use the direct semctl call of
    // Linux 5.1 and later: it refuses the IPC_64 flag that the library adds
    // to every command, which only the old "ipc" entry parses.
    errno = 0;
    const long direct = syscall(4000 + 394, id, 0, GETVAL | 0x100, 0);
    check(direct == -1 && errno == EINVAL, "the direct semctl call refuses GETVAL|IPC_64 (EINVAL)");

    unsigned short all[1] = {0};
    check(sem_set_all(id, all) == 0 && value(id) == 0, "semctl SETALL");
    {
        semid_ds ds = {};
        union {
            int val;
            semid_ds* buf;
        } arg;
        arg.buf = &ds;
        check(semctl(id, 0, IPC_STAT, arg) == 0 && ds.sem_nsems == 1, "semctl IPC_STAT");
    }
    check(sem_delete(id) == 0, "semctl IPC_RMID");
    check(get_sem_by_key(kKey) == -1, "the removed set is gone");

    // The shared upgrade record, as the loader and the upgrader use it.
    void* record = libupd_create_share_memory();
    check(record != nullptr, "shmget creates the 8 MiB record, shmat attaches it");
    if (record != nullptr) {
        check(libupd_get_rom_capacity(record) == LIBUPD_ROM_MAX, "shmctl IPC_STAT gives its size");
        libupd_set_state(record, 7);
        std::memcpy(libupd_get_rom_start_addr(record), "image", 5);
        void* again = get_share_memory();
        check(again != nullptr && libupd_get_state(again) == 7 &&
                  std::memcmp(libupd_get_rom_start_addr(again), "image", 5) == 0,
              "a second attach sees the same bytes");
        if (again != nullptr) check(shmdt(again) == 0, "shmdt");
        libupd_delete_share_memory(record);
        check(shmget(LIBUPD_SHM_KEY, 0, 0) == -1, "shmctl IPC_RMID removed the record");
    }
    std::printf("sysv_check: %d failures\n", g_failures);
    return g_failures;
}
