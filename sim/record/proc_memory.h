// sim/proc_memory.h - what a process of the phone holds in memory, read
// from /proc just before the phone powers off.
//
// The supervisor records the program's memory.json in the run directory
// when the program is still running at power-off (an upgrader that asked
// for a reboot is): its peak and current resident size (VmHWM, VmRSS) and
// the resident size of every mapping, summed by what is mapped (a file
// path, "[heap]", "[stack]", or "[anon]" for anonymous memory), so that
// what the simulated devices add (the chip file the device layer maps, its
// library, the framebuffer file) can be told from the program's own.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

struct process_memory {
    long vm_hwm_kib = -1; // -1: not known
    long vm_rss_kib = -1;
    std::map<std::string, long> rss_kib_by_mapping;
};

// Reads /proc/PID/status and /proc/PID/smaps. Missing files leave the
// fields as they start.
process_memory read_process_memory(pid_t pid);

// Writes `m` as JSON to `path`; false (errno set) when it cannot.
bool write_process_memory(const process_memory& m, const std::string& path);
