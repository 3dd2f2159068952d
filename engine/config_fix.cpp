// engine/config_fix.cpp - the auto-provisioning retry file and line key 8.
#include "config_fix.h"

#include "rl_log.h"
#include "sys_helpers.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

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

// A file name that can go into a shell command as it is. Names the phone
// makes are plain; anything else could run as a command and is left out.
bool plain_name(const char* name)
{
    for (const char* p = name; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '+';
        if (!ok) return false;
    }
    return true;
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
        if (!plain_name(name)) {
            rl_log_err("%s: name not usable in a command, left out\n", path);
            continue;
        }
        std::snprintf(paths[count++], kPathMax, "%s", path);
    }
    closedir(dir);
    return count;
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
        char command[kPathMax + 64];
        std::snprintf(command, sizeof command, "cat %.*s >> /config/autop_retry_save.cfg",
                      kPathMax - 1, paths[i]);
        run(command);
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
