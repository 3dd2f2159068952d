// sim/rootfs.h - the phone's root filesystem, built fresh at every boot.
//
// Called by the phone's first process, inside its private mount namespace:
// a tmpfs root with the host's /usr (read-only, for the shell and the
// tools), a /bin of the phone's tools, a fresh /tmp, /dev and /proc, and
// the phone's persistent directories (/app, /basic, /config, /etc) bound
// from the state directory's files/. The state directory itself is at
// /.sim; listed host directories appear read-only at their own paths.
// After build_phone_root() the caller is chrooted into the new root.
#pragma once

#include <string>
#include <vector>

struct rootfs_request {
    std::string state_dir;               // absolute host path
    std::vector<std::string> host_binds; // absolute host dirs, read-only
    std::string reboot_tool;             // host path of the phone's reboot, or empty
};

// Directory where the phone's state directory appears inside the phone.
constexpr const char* PHONE_STATE_MOUNT = "/.sim";

// Builds the root and chroots into it. Throws std::runtime_error.
void build_phone_root(const rootfs_request& req);
