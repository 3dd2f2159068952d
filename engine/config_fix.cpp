// engine/config_fix.cpp - the auto-provisioning retry file and line key 8.
#include "config_fix.h"

#include "rl_log.h"
#include "sys_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kCollectMax = 10;
constexpr int kPathMax = 256;
constexpr const char* kRetryFile = "/config/autop_retry_save.cfg";

struct version_numbers {
    int first, second, third, fourth;
};

// RomVersion split into its four numbers (missing ones count as 0);
// false when the table has no RomVersion.
bool installed_version(const env_info* table, version_numbers* v)
{
    *v = {0, 0, 0, 0};
    unsigned int index = 0;
    if (table == nullptr || find_env_by_name(table, "RomVersion", &index) != 0) {
        rl_log_info("RomVersion env isnot exist!\n");
        return false;
    }
    char text[ENV_VALUE_SIZE];
    std::snprintf(text, sizeof text, "%.*s", ENV_VALUE_SIZE - 1, table[index].value);
    std::sscanf(text, "%d.%d.%d.%d", &v->first, &v->second, &v->third, &v->fourth);
    return true;
}

bool contains_at_end(const char* name, const char* part, char last)
{
    const std::size_t n = std::strlen(name);
    return std::strstr(name, part) != nullptr && n > 0 && name[n - 1] == last;
}

// The regular files of /tmp/ whose names mark them as configuration files.
int collect_files(char paths[kCollectMax][kPathMax])
{
    DIR* dir = opendir("/tmp/");
    if (dir == nullptr) {
        rl_log_err("open /tmp failed!\n");
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (count >= kCollectMax) break;
        char path[kPathMax];
        // "/tmp/" and the name, cut to 255 characters.
        std::snprintf(path, sizeof path, "%s%.*s", "/tmp/", kPathMax - 6, entry->d_name);
        struct stat st = {};
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const char* name = entry->d_name;
        if (!contains_at_end(name, ".cfg", 'g') && !contains_at_end(name, ".conf", 'f')) continue;
        std::snprintf(paths[count++], kPathMax, "%s", path);
    }
    closedir(dir);
    return count;
}

// Appends the file `path` to the retry file. Both are opened by this
// process, neither through a link, and the source is read through the
// descriptor that was checked to be a regular file: no name reaches a
// shell, and a file swapped in after the listing is not what gets read.
void append_file(const char* path)
{
    const int in = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st = {};
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        rl_log_err("%s: not a regular file, left out\n", path);
        if (in >= 0) close(in);
        return;
    }
    const int out = open(kRetryFile, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (out < 0) {
        rl_log_err("%s open failed: %s\n", kRetryFile, std::strerror(errno));
        close(in);
        return;
    }
    char buf[4096];
    long copied = 0;
    for (ssize_t n; (n = read(in, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || write(out, buf, static_cast<size_t>(n)) != n) {
            rl_log_err("%s: copy into %s failed: %s\n", path, kRetryFile, std::strerror(errno));
            break;
        }
        copied += n;
    }
    rl_log_info("%s: %ld bytes added to %s\n", path, copied, kRetryFile);
    close(out);
    close(in);
}

void run(const char* command)
{
    const int r = system_ex(command, 3, 1);
    static_cast<void>(r); // the fixes never fail the upgrade
}

} // namespace

void config_autop(const env_info* table)
{
    version_numbers v;
    if (!installed_version(table, &v)) return;
    if (!(v.third < 4)) return;
    struct stat st = {};
    if (stat(kRetryFile, &st) == 0) {
        rl_log_err("/config/autop_retry_save.cfg is exist");
        return;
    }
    char paths[kCollectMax][kPathMax];
    const int count = collect_files(paths);
    if (count < 0) return;
    run("touch /config/autop_retry_save.cfg");
    for (int i = 0; i < count; ++i) {
        append_file(paths[i]);
        run("echo \"  \" >> /config/autop_retry_save.cfg");
    }
    run("sed -i \"/.[u,U][r,R][l,L]/ c\\   \"  /config/autop_retry_save.cfg");
    run("echo \"Config.Autoprovision.Reboot.Enable = 1 \" >> /config/autop_retry_save.cfg");
    rl_log_err("config ok");
}

void config_deleteLineKey8(const env_info* table)
{
    rl_log_info("config_deleteLineKey8");
    version_numbers v;
    if (!installed_version(table, &v)) return;
    const unsigned int first = static_cast<unsigned char>(v.first);
    const unsigned int third = static_cast<unsigned char>(v.third);
    if (first == 59 && third < 4) {
        rl_log_info("config_deleteLineKey8 excute");
        run("sed -i \"/LINEKEY8/ c\\ [ LINEKEY8_NOUSED ]\" /config/Phone/Key/ProgramableKey.conf ");
    }
}
