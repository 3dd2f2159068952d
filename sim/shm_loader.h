// sim/shm_loader.h - the phone's loading process of shared-memory mode.
//
// Before the upgrader starts without arguments, the loader puts the ROM
// image into the shared upgrade record: it creates the 8 MiB segment
// under key 0xA130 (and, when asked, a second one under 0x1079B that the
// upgrader then finds first), holds the memory semaphore while it copies
// the image and writes upgrader_state, and lets go. The segments stay for
// the program; a reboot ends them with the IPC namespace.
#pragma once

#include <string>

struct shm_load {
    bool enabled = false;
    std::string image;    // the bytes of the ROM image
    int state = 0;        // upgrader_state
    bool primary = false; // also load a record under key 0x1079B
};

// Loads the record(s) in the calling process's IPC namespace. Throws
// std::runtime_error when a segment cannot be made or the image does not
// fit into it.
void shm_load_records(const shm_load& load);
