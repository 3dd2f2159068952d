// Semaphore control: real System V sets in the phone's IPC namespace,
// with child processes that end while holding a lock.
#include "coord_log.h"
#include "rl_log.h"
#include "semctrl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// The keys the phone's other processes use.
static_assert(SEM_KEY_SAVE_FILE == 45074 && SEM_KEY_UPGRADER_PROCESS == 49154 &&
                  SEM_KEY_UPGRADER_TOOL_PROCESS == 49155 && SEM_KEY_BURN_FLASH == 49156 &&
                  SEM_KEY_MEMORY == 41264,
              "semaphore keys");

int value(int semid, int semnum = 0)
{
    return semctl(semid, semnum, GETVAL);
}

// Runs `body` in a child process and returns its exit code.
template <typename F> int in_child(F body)
{
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class Semctrl : public testing::Test {
protected:
    void SetUp() override { rl_log_init("upgrader", 7); }
};

TEST_F(Semctrl, CreateKeyMakesAFreeSemaphoreAndNeverResetsIt)
{
    EXPECT_EQ(get_sem_by_key(SEM_KEY_UPGRADER_PROCESS), -1);
    EXPECT_EQ(errno, ENOENT);
    const int id = binary_sem_create_key(SEM_KEY_UPGRADER_PROCESS);
    ASSERT_GE(id, 0);
    EXPECT_EQ(value(id), 1);
    struct semid_ds ds = {};
    ASSERT_EQ(semctl(id, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.sem_nsems, 1U);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666U);

    ASSERT_EQ(try_lock_binary_sem(id), 0);
    EXPECT_EQ(binary_sem_create_key(SEM_KEY_UPGRADER_PROCESS), id);
    EXPECT_EQ(value(id), 0) << "a held lock was reset";
    // A try-lock on the held semaphore returns at once.
    errno = 0;
    EXPECT_EQ(try_lock_binary_sem(id), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(value(id), 0);
    ASSERT_EQ(unlock_binary_sem(id), 0);
    EXPECT_EQ(binary_sem_create_key(SEM_KEY_UPGRADER_PROCESS), id);
    EXPECT_EQ(value(id), 1);
    EXPECT_EQ(get_sem_by_key(SEM_KEY_UPGRADER_PROCESS), id);
}

// An existing set is returned as it is: no value is set or reset.
TEST_F(Semctrl, CreateKeyLeavesAnExistingSetAsItIs)
{
    // Another process made the set and has not set a value yet (0).
    const int other = semget(SEM_KEY_BURN_FLASH, 1, IPC_CREAT | 0666);
    ASSERT_GE(other, 0);
    EXPECT_EQ(binary_sem_create_key(SEM_KEY_BURN_FLASH), other);
    EXPECT_EQ(value(other), 0);
    EXPECT_EQ(try_lock_binary_sem(other), -1);
    // A set of three made here starts at 0 and keeps its values.
    const int id = sem_create_key(3, SEM_KEY_SAVE_FILE);
    ASSERT_GE(id, 0);
    for (int n = 0; n < 3; ++n) EXPECT_EQ(value(id, n), 0);
    ASSERT_EQ(sem_set_value(id, 1, 1), 0);
    EXPECT_EQ(sem_create_key(3, SEM_KEY_SAVE_FILE), id);
    EXPECT_EQ(value(id, 1), 1);
}

// What a process leaves behind when it ends: a blocking lock and an unlock
// carry undo, a try-lock does not.
TEST_F(Semctrl, WhatAnEndedProcessLeavesHeld)
{
    const int id = binary_sem_create_key(SEM_KEY_MEMORY);
    ASSERT_GE(id, 0);
    EXPECT_EQ(in_child([id] { return lock_binary_sem(id) == 0 && value(id) == 0 ? 0 : 1; }), 0);
    EXPECT_EQ(value(id), 1) << "a blocking lock is given back";
    EXPECT_EQ(
        in_child([id] { return lock_binary_sem(id) == 0 && unlock_binary_sem(id) == 0 ? 0 : 1; }),
        0);
    EXPECT_EQ(value(id), 1) << "a lock and its unlock undo to nothing";
    // A try-lock's unlock is undone: the end of the process takes the
    // semaphore again.
    EXPECT_EQ(in_child([id] {
                  return try_lock_binary_sem(id) == 0 && unlock_binary_sem(id) == 0 &&
                                 value(id) == 1
                             ? 0
                             : 1;
              }),
              0);
    EXPECT_EQ(value(id), 0);
    ASSERT_EQ(binary_sem_init(id), 0);
    EXPECT_EQ(in_child([id] { return try_lock_binary_sem(id) == 0 ? 0 : 1; }), 0);
    EXPECT_EQ(value(id), 0) << "a try-lock must stay held after its process ends";
    EXPECT_EQ(try_lock_binary_sem(id), -1);
}

TEST_F(Semctrl, LockWaitsUntilTheHolderGivesItBack)
{
    const int id = binary_sem_create_key(SEM_KEY_MEMORY);
    ASSERT_GE(id, 0);
    ASSERT_EQ(try_lock_binary_sem(id), 0);
    const pid_t pid = fork();
    if (pid == 0) _exit(lock_binary_sem(id) == 0 ? 0 : 1);
    // Wait until the child is queued on the semaphore.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (semctl(id, 0, GETNCNT) < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(semctl(id, 0, GETNCNT), 1);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the lock did not wait";
    ASSERT_EQ(unlock_binary_sem(id), 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Semctrl, PrivateSetsAndOperationsOnOneSemaphoreOfASet)
{
    // In a fresh IPC namespace the first set gets id 0, a valid id; every
    // private binary semaphore is a new set and starts free.
    const int first = binary_sem_create_private();
    ASSERT_GE(first, 0);
    EXPECT_EQ(value(first), 1);
    const int second = binary_sem_create_private();
    ASSERT_GE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(value(second), 1);

    const int id = sem_create_private(3);
    ASSERT_GE(id, 0);
    unsigned short values[3] = {1, 0, 1};
    ASSERT_EQ(sem_set_all(id, values), 0);
    EXPECT_EQ(try_lock_sem(id, 1), -1);
    EXPECT_EQ(try_lock_sem(id, 2), 0);
    EXPECT_EQ(value(id, 0), 1);
    EXPECT_EQ(value(id, 2), 0);
    EXPECT_EQ(lock_sem(id, 0), 0);
    EXPECT_EQ(unlock_sem(id, 1), 0);
    EXPECT_EQ(value(id, 0), 0);
    EXPECT_EQ(value(id, 1), 1);
    EXPECT_EQ(sem_set_all(id, nullptr), -1);
    EXPECT_EQ(value(id, 1), 1);
}

TEST_F(Semctrl, DeleteRemovesTheSetAndFailuresLogNothing)
{
    const int id = binary_sem_create_key(SEM_KEY_UPGRADER_TOOL_PROCESS);
    ASSERT_GE(id, 0);
    EXPECT_EQ(sem_delete(id), 0);
    EXPECT_EQ(get_sem_by_key(SEM_KEY_UPGRADER_TOOL_PROCESS), -1);
    EXPECT_EQ(try_lock_binary_sem(id), -1);
    EXPECT_EQ(lock_binary_sem(id), -1);
    EXPECT_EQ(unlock_binary_sem(id), -1);
    EXPECT_EQ(sem_set_value(id, 0, 1), -1);
    EXPECT_EQ(binary_sem_init(id), -1);
    EXPECT_EQ(sem_delete(id), -1);
    EXPECT_TRUE(logged().empty());
}

} // namespace
