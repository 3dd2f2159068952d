// coordination/semctrl.h - binary System V semaphores shared by the
// phone's processes.
//
// A binary semaphore is semaphore 0 of a one-semaphore set: 1 = free,
// 0 = held. Sets are found by the well-known keys below and created with
// permissions 0666. Try-locks wait for nothing and carry no undo, so a
// lock taken that way stays held after the process ends; blocking locks
// and unlocks carry SEM_UNDO, so the system gives a blocking lock back
// when its holder ends. Every operation is one system call; nothing here
// logs: failures return -1 with the system's errno (EAGAIN for a busy
// try-lock). Safe from any thread and any process.
#pragma once

#include <sys/types.h>

// The keys shared with the phone's other processes.
constexpr key_t SEM_KEY_SAVE_FILE = 0xB012;             // cfg_semid
constexpr key_t SEM_KEY_UPGRADER_PROCESS = 0xC002;      // upgrader_process
constexpr key_t SEM_KEY_UPGRADER_TOOL_PROCESS = 0xC003; // upgrader_tool_process
constexpr key_t SEM_KEY_BURN_FLASH = 0xC004;            // burn_flash_semid
constexpr key_t SEM_KEY_MEMORY = 0xA130;                // memory_semid

// A new private set of `nsems` semaphores. Returns its id or -1.
int sem_create_private(int nsems);
// A new private binary semaphore, free. Returns its id or -1.
int binary_sem_create_private();
// Creates the set of `nsems` semaphores under `key`, or finds it when it
// exists already; no value is set. Returns its id or -1.
int sem_create_key(int nsems, key_t key);
// Finds the binary semaphore under `key`, leaving its value alone, or
// creates it free. Returns its id or -1 (also when another process
// created it at the same moment).
int binary_sem_create_key(key_t key);
// The id of the existing set under `key`, or -1.
int get_sem_by_key(key_t key);
// Removes the set. 0 or -1.
int sem_delete(int semid);
// Sets semaphore `semnum` to `value`. 0 or -1.
int sem_set_value(int semid, int semnum, int value);
// Sets semaphore 0 to 1 (free). 0 or -1.
int binary_sem_init(int semid);
// Sets every semaphore of the set from `values` (one per semaphore). A
// null array is refused. 0 or -1.
int sem_set_all(int semid, unsigned short* values);

// Takes semaphore `semnum` without waiting and without undo: 0 taken,
// -1 busy (EAGAIN) or error.
int try_lock_sem(int semid, int semnum);
int try_lock_binary_sem(int semid);
// Takes semaphore `semnum`, waiting until it is free; undone when the
// process ends. 0 or -1.
int lock_sem(int semid, int semnum);
int lock_binary_sem(int semid);
// Gives semaphore `semnum` back, with undo: when the process ends, the
// system takes the unlock back again (-1). The release of a blocking lock,
// whose own undo then cancels it out. 0 or -1.
int unlock_sem(int semid, int semnum);
int unlock_binary_sem(int semid);
// Gives back a lock taken with a try-lock, without undo, as it was taken:
// it stays free after the process ends. 0 or -1.
int release_try_locked_binary_sem(int semid);

// Logs the module's banner (name, version, build date and time) at info.
void semctrl_show_version();
