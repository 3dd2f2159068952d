// tests/engine/sem_holder.cpp - another phone process holding one of the
// upgrader's semaphores, for the lock tests.
//
//   sem_holder KEY hold MS   lock (waiting, with undo), hold it until
//                            another process waits for it (at most a
//                            minute), then MS longer, then release
//   sem_holder KEY take MS   try-lock without undo, then watch MS that the
//                            lock stays held (logs when someone frees it)
//   sem_holder KEY value 0   prints "KEY=VALUE" (VALUE -1: no semaphore),
//                            without making one
//
// Once it holds the lock it creates /tmp/sem_holder.KEY (KEY as given), so
// that a script can wait for that moment. Lines go to syslog under the
// identity "sem_holder".
#include "rl_log.h"
#include "semctrl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/sem.h>
#include <unistd.h>

namespace {

void mark_held(const char* key)
{
    const std::string path = std::string("/tmp/sem_holder.") + key;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        rl_log_err("cannot create %s\n", path.c_str());
    else
        close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) return 2;
    const key_t key = static_cast<key_t>(strtol(argv[1], nullptr, 0));
    const long ms = strtol(argv[3], nullptr, 10);
    if (std::strcmp(argv[2], "value") == 0) {
        const int found = get_sem_by_key(key);
        std::printf("%s=%d\n", argv[1], found < 0 ? -1 : semctl(found, 0, GETVAL));
        return 0;
    }
    rl_log_init("sem_holder", 7);
    const int id = binary_sem_create_key(key);
    if (id < 0) {
        rl_log_err("no semaphore %s\n", argv[1]);
        return 1;
    }
    if (std::strcmp(argv[2], "hold") == 0) {
        if (lock_binary_sem(id) != 0) return 1;
        rl_log_info("locked %s\n", argv[1]);
        mark_held(argv[1]);
        for (int waited = 0; semctl(id, 0, GETNCNT) < 1 && waited < 60000; waited += 5)
            usleep(5000);
        rl_log_info("%s has a waiter\n", argv[1]);
        usleep(static_cast<useconds_t>(ms * 1000));
        rl_log_info("releasing %s\n", argv[1]);
        return unlock_binary_sem(id) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[2], "take") != 0 || try_lock_binary_sem(id) != 0) return 1;
    rl_log_info("took %s\n", argv[1]);
    mark_held(argv[1]);
    for (long waited = 0; waited < ms; waited += 5) {
        if (semctl(id, 0, GETVAL) != 0) {
            rl_log_err("%s freed by another process\n", argv[1]);
            return 1;
        }
        usleep(5000);
    }
    rl_log_info("%s still held\n", argv[1]);
    return 0;
}
