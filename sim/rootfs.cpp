// sim/rootfs.cpp - building the phone's root filesystem.
#include "rootfs.h"

#include "sys_error.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The phone's /bin: its shell and the tools its scripts and the upgrader
// call, taken from the host. Missing tools are left out.
const struct {
    const char* name;
    const char* host;
} kPhoneTools[] = {
    {"sh", "/usr/bin/dash"},       {"cat", "/usr/bin/cat"},     {"cp", "/usr/bin/cp"},
    {"mv", "/usr/bin/mv"},         {"rm", "/usr/bin/rm"},       {"ln", "/usr/bin/ln"},
    {"ls", "/usr/bin/ls"},         {"mkdir", "/usr/bin/mkdir"}, {"touch", "/usr/bin/touch"},
    {"chmod", "/usr/bin/chmod"},   {"echo", "/usr/bin/echo"},   {"sed", "/usr/bin/sed"},
    {"grep", "/usr/bin/grep"},     {"sleep", "/usr/bin/sleep"}, {"sync", "/usr/bin/sync"},
    {"dd", "/usr/bin/dd"},         {"tar", "/usr/bin/tar"},     {"gzip", "/usr/bin/gzip"},
    {"umount", "/usr/bin/umount"}, {"mount", "/usr/bin/mount"}, {"kill", "/usr/bin/kill"},
    {"true", "/usr/bin/true"},     {"false", "/usr/bin/false"}, {"test", "/usr/bin/test"},
    {"wc", "/usr/bin/wc"},         {"head", "/usr/bin/head"},   {"cmp", "/usr/bin/cmp"},
};

// Host device nodes the phone's programs may use as they are.
const char* const kHostDevices[] = {"null", "zero", "full", "random", "urandom", "tty", "fuse"};

// The phone's own devices: placeholders that the device layer answers for.
const char* const kPhoneDevices[] = {"mtd0", "mtd1",  "mtd2",         "mtd3",       "mtd4",
                                     "mtd5", "mtd6",  "mtd7",         "mtd8",       "mtd9",
                                     "fb0",  "misc0", "input/event0", "mtdblock/3", "mtdblock/4"};

void make_dir(const std::string& path, mode_t mode = 0755)
{
    if (mkdir(path.c_str(), mode) < 0 && errno != EEXIST) sim_throw("mkdir", path);
}

void make_dirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') make_dir(path.substr(0, i));
    }
}

void make_file(const std::string& path, mode_t mode = 0644)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
    sim_check(fd, "create", path);
    close(fd);
}

void mount_tmpfs(const std::string& at, const char* options)
{
    sim_check(mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID, options), "mount tmpfs on", at);
}

// Binds `from` over `to` (which must exist); read-only when asked. A
// read-only remount that the kernel refuses (in a user namespace, locked
// flags) leaves the bind writable rather than failing the boot.
void bind(const std::string& from, const std::string& to, bool read_only)
{
    sim_check(mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr),
              "bind " + from + " on", to);
    if (read_only)
        mount(nullptr, to.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID, nullptr);
}

void link_to(const std::string& target, const std::string& at)
{
    if (symlink(target.c_str(), at.c_str()) < 0 && errno != EEXIST) sim_throw("symlink", at);
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void build_bin(const std::string& root, const rootfs_request& req)
{
    make_dir(root + "/bin");
    for (const auto& t : kPhoneTools) {
        if (exists(t.host)) link_to(t.host, root + "/bin/" + t.name);
    }
    make_dir(root + "/sbin");
    if (!req.reboot_tool.empty()) {
        make_file(root + "/sbin/reboot", 0755);
        bind(req.reboot_tool, root + "/sbin/reboot", true);
    }
}

void build_dev(const std::string& root)
{
    const std::string dev = root + "/dev";
    make_dir(dev);
    mount_tmpfs(dev, "mode=755");
    for (const char* name : kHostDevices) {
        const std::string host = std::string("/dev/") + name;
        if (!exists(host)) continue;
        make_file(dev + "/" + name);
        bind(host, dev + "/" + name, false);
    }
    make_dir(dev + "/shm", 01777);
    make_dir(dev + "/input");
    make_dir(dev + "/mtdblock");
    for (const char* name : kPhoneDevices) make_file(dev + "/" + name, 0600);
    link_to("/proc/self/fd", dev + "/fd");
    link_to("/proc/self/fd/0", dev + "/stdin");
    link_to("/proc/self/fd/1", dev + "/stdout");
    link_to("/proc/self/fd/2", dev + "/stderr");
}

// The phone's persistent directories live in the state directory.
void build_persistent(const std::string& root, const std::string& state)
{
    make_dir(state + "/files");
    for (const char* d : {"app", "basic", "config", "etc"}) {
        const std::string host = state + "/files/" + d;
        make_dir(host);
        make_dir(root + "/" + d);
        bind(host, root + "/" + d, false);
    }
    const std::string version = state + "/files/version.conf";
    if (exists(version)) {
        make_file(root + "/version.conf");
        bind(version, root + "/version.conf", false);
    }
}

} // namespace

void build_phone_root(const rootfs_request& req)
{
    // Nothing mounted from here on may leak to the host.
    sim_check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "make private", "/");

    const std::string root = req.state_dir + "/.root";
    make_dir(root);
    mount_tmpfs(root, "mode=755");

    make_dir(root + "/usr");
    bind("/usr", root + "/usr", true);
    for (const char* l : {"lib", "lib32", "lib64", "libx32"}) {
        if (exists(std::string("/usr/") + l)) link_to(std::string("usr/") + l, root + "/" + l);
    }
    build_bin(root, req);
    build_dev(root);
    make_dir(root + "/proc");
    sim_check(
        mount("proc", (root + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr),
        "mount proc on", root + "/proc");
    make_dir(root + "/tmp", 01777);
    mount_tmpfs(root + "/tmp", "mode=1777");
    make_dirs(root + "/var/ipc");
    make_dirs(root + "/var/run");
    build_persistent(root, req.state_dir);

    make_dir(root + PHONE_STATE_MOUNT);
    bind(req.state_dir, root + PHONE_STATE_MOUNT, false);
    for (const std::string& host : req.host_binds) {
        make_dirs(root + host);
        bind(host, root + host, true);
    }

    sim_check(chroot(root.c_str()), "chroot", root);
    sim_check(chdir("/"), "chdir", "/");
}
