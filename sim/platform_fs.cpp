// sim/platform_fs.cpp - FUSE files for the boot environment and the LCD refresh.
#define FUSE_USE_VERSION 31
#include "platform_fs.h"

#include "env_store.h"
#include "layout.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <fuse3/fuse.h>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace {

constexpr const char* kEnvFile = "/avalanche/env";
constexpr const char* kRefreshFile = "/glcd/refresh";

struct served {
    platform_fs_config conf;
    std::mutex lock; // the environment store
    fuse* session = nullptr;
    std::thread loop;
};

served& S()
{
    static served* s = new served;
    return *s;
}

// One open of the environment file: what it reads, what it has written
// that does not end in a newline yet.
struct env_handle {
    std::string snapshot;
    std::string pending;
};

std::string render_env()
{
    std::lock_guard<std::mutex> hold(S().lock);
    std::ifstream raw(phone::kEnvRaw, std::ios::binary);
    if (raw) {
        std::ostringstream text;
        text << raw.rdbuf();
        return text.str();
    }
    return env_render(env_load(S().conf.env_path));
}

void apply_env_lines(std::string& pending, bool flush_all)
{
    std::lock_guard<std::mutex> hold(S().lock);
    env_vars vars = env_load(S().conf.env_path);
    bool changed = false;
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        env_apply_line(vars, pending.substr(0, nl));
        pending.erase(0, nl + 1);
        changed = true;
    }
    if (flush_all && !pending.empty()) {
        env_apply_line(vars, pending);
        pending.clear();
        changed = true;
    }
    if (changed) env_save(S().conf.env_path, vars);
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0 || strcmp(path, "/avalanche") == 0 || strcmp(path, "/glcd") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, kEnvFile) == 0) {
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(render_env().size());
        return 0;
    }
    if (strcmp(path, kRefreshFile) == 0) {
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        return 0;
    }
    return -ENOENT;
}

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags)
{
    fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    if (strcmp(path, "/") == 0) {
        fill(buf, "avalanche", nullptr, 0, FUSE_FILL_DIR_PLUS);
        fill(buf, "glcd", nullptr, 0, FUSE_FILL_DIR_PLUS);
    } else if (strcmp(path, "/avalanche") == 0) {
        fill(buf, "env", nullptr, 0, FUSE_FILL_DIR_PLUS);
    } else if (strcmp(path, "/glcd") == 0) {
        fill(buf, "refresh", nullptr, 0, FUSE_FILL_DIR_PLUS);
    } else {
        return -ENOENT;
    }
    return 0;
}

int fs_open(const char* path, fuse_file_info* fi)
{
    fi->direct_io = 1;
    if (strcmp(path, kEnvFile) == 0) {
        auto* h = new env_handle;
        h->snapshot = render_env();
        fi->fh = reinterpret_cast<uint64_t>(h);
        return 0;
    }
    if (strcmp(path, kRefreshFile) == 0) {
        fi->fh = 0;
        return 0;
    }
    return -ENOENT;
}

int fs_truncate(const char* path, off_t, fuse_file_info*)
{
    return strcmp(path, kEnvFile) == 0 || strcmp(path, kRefreshFile) == 0 ? 0 : -ENOENT;
}

int fs_read(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi)
{
    if (strcmp(path, kEnvFile) != 0 || fi->fh == 0) return 0;
    const auto* h = reinterpret_cast<env_handle*>(fi->fh);
    if (off < 0 || static_cast<size_t>(off) >= h->snapshot.size()) return 0;
    const size_t n = std::min(size, h->snapshot.size() - static_cast<size_t>(off));
    memcpy(buf, h->snapshot.data() + off, n);
    return static_cast<int>(n);
}

int fs_write(const char* path, const char* buf, size_t size, off_t, fuse_file_info* fi)
{
    if (strcmp(path, kEnvFile) == 0 && fi->fh != 0) {
        auto* h = reinterpret_cast<env_handle*>(fi->fh);
        h->pending.append(buf, size);
        apply_env_lines(h->pending, false);
        return static_cast<int>(size);
    }
    if (strcmp(path, kRefreshFile) == 0) {
        if (memchr(buf, '1', size) != nullptr && S().conf.frames != nullptr)
            S().conf.frames->refresh(S().conf.framebuffer_path, S().conf.clock());
        return static_cast<int>(size);
    }
    return -EBADF;
}

int fs_release(const char* path, fuse_file_info* fi)
{
    if (strcmp(path, kEnvFile) == 0 && fi->fh != 0) {
        auto* h = reinterpret_cast<env_handle*>(fi->fh);
        apply_env_lines(h->pending, true);
        delete h;
    }
    return 0;
}

} // namespace

void platform_fs_start(const platform_fs_config& c)
{
    served& s = S();
    s.conf = c;
    static fuse_operations ops = {};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.truncate = fs_truncate;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.release = fs_release;

    char prog[] = "phonesim";
    char* argv[] = {prog, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    s.session = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (s.session == nullptr) throw std::runtime_error("fuse_new failed");
    mkdir(c.mount_point.c_str(), 0755);
    if (fuse_mount(s.session, c.mount_point.c_str()) != 0) {
        fuse_destroy(s.session);
        s.session = nullptr;
        throw std::runtime_error("cannot mount the platform files on " + c.mount_point);
    }
    s.loop = std::thread([] { fuse_loop(S().session); });
}

void platform_fs_stop()
{
    served& s = S();
    if (s.session == nullptr) return;
    fuse_exit(s.session);
    fuse_unmount(s.session); // wakes the loop
    if (s.loop.joinable()) s.loop.join();
    fuse_destroy(s.session);
    s.session = nullptr;
}
