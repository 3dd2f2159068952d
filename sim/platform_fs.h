// sim/platform_fs.h - the platform's files with behaviour, served to the
// phone by the supervisor through FUSE at /.platform (the device layer
// sends /proc/avalanche/env and /proc/glcd/refresh there):
//
//   avalanche/env   reads as the boot environment; every written line
//                   "name value" sets a variable, "name" alone clears it,
//                   whichever process or descriptor writes it
//   glcd/refresh    writing "1" takes a frame of the framebuffer
#pragma once

#include "frames.h"

#include <cstdint>
#include <functional>
#include <string>

struct platform_fs_config {
    std::string mount_point;      // inside the phone
    std::string env_path;         // the environment store
    std::string framebuffer_path; // the framebuffer's backing file
    frame_recorder* frames = nullptr;
    std::function<int64_t()> clock; // milliseconds since power-on
};

// Mounts and serves on a thread of its own. Throws when it cannot mount.
void platform_fs_start(const platform_fs_config& c);
// Stops serving and unmounts.
void platform_fs_stop();
