// coordination/semctrl.cpp - binary semaphores on System V semaphore sets.
#include "semctrl.h"

#include "rl_log.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/sem.h>

namespace {

constexpr int kPermissions = 0666;
constexpr int kBinarySemaphore = 0;

// The fourth argument of semctl, which the caller has to define.
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// One semop of one operation; its result unchanged.
int sem_op(int semid, int semnum, int op, int flags)
{
    struct sembuf b = {};
    b.sem_num = static_cast<unsigned short>(semnum);
    b.sem_op = static_cast<short>(op);
    b.sem_flg = static_cast<short>(flags);
    return semop(semid, &b, 1);
}

} // namespace

int sem_create_private(int nsems)
{
    return semget(IPC_PRIVATE, nsems, IPC_CREAT | IPC_EXCL | kPermissions);
}

int binary_sem_create_private()
{
    // Id 0 is a valid set (the first one of the system gets it), so only
    // -1 means failure; every new set is made free before it is handed out.
    const int semid = sem_create_private(1);
    if (semid < 0) return semid;
    if (binary_sem_init(semid) < 0) {
        // Nobody else can find a private set: do not leave it behind.
        const int saved = errno;
        sem_delete(semid);
        errno = saved;
        return -1;
    }
    return semid;
}

int sem_create_key(int nsems, key_t key)
{
    const int semid = semget(key, nsems, IPC_CREAT | IPC_EXCL | kPermissions);
    if (semid < 0 && errno == EEXIST) return get_sem_by_key(key);
    return semid;
}

int binary_sem_create_key(key_t key)
{
    // An existing semaphore keeps its value: another process may hold it.
    int semid = get_sem_by_key(key);
    if (semid >= 0) return semid;
    semid = semget(key, 1, IPC_CREAT | IPC_EXCL | kPermissions);
    if (semid < 0) return -1;
    if (binary_sem_init(semid) < 0) return -1;
    return semid;
}

int get_sem_by_key(key_t key)
{
    return semget(key, 0, kPermissions);
}

int sem_delete(int semid)
{
    return semctl(semid, 0, IPC_RMID);
}

int sem_set_value(int semid, int semnum, int value)
{
    union semun arg = {};
    arg.val = value;
    return semctl(semid, semnum, SETVAL, arg);
}

int binary_sem_init(int semid)
{
    return sem_set_value(semid, kBinarySemaphore, 1);
}

int sem_set_all(int semid, unsigned short* values)
{
    if (values == nullptr) {
        errno = EINVAL;
        return -1;
    }
    union semun arg = {};
    arg.array = values;
    return semctl(semid, 0, SETALL, arg);
}

int try_lock_sem(int semid, int semnum)
{
    return sem_op(semid, semnum, -1, IPC_NOWAIT);
}

int try_lock_binary_sem(int semid)
{
    return try_lock_sem(semid, kBinarySemaphore);
}

int lock_sem(int semid, int semnum)
{
    return sem_op(semid, semnum, -1, SEM_UNDO);
}

int lock_binary_sem(int semid)
{
    return lock_sem(semid, kBinarySemaphore);
}

int unlock_sem(int semid, int semnum)
{
    return sem_op(semid, semnum, 1, SEM_UNDO);
}

int unlock_binary_sem(int semid)
{
    return unlock_sem(semid, kBinarySemaphore);
}

int release_try_locked_binary_sem(int semid)
{
    return sem_op(semid, kBinarySemaphore, 1, 0);
}

void semctrl_show_version()
{
    rl_log_info("\nInit %s, Version %s, Build at %s %s\n", "semctrl", "1.0.0.2", __DATE__,
                __TIME__);
}
