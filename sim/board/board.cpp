// sim/board/board.cpp - booting the emulated MIPS board: the initramfs,
// qemu, the keys the scenario asks for, and the results disk.
#include "board.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("board: " + what + ": " + std::strerror(errno));
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("board: cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// An initramfs in the kernel's "newc" cpio format. Directories are added
// before what they hold.
class initramfs {
public:
    void file(const std::string& path, const std::string& data, unsigned mode = 0644)
    {
        parents(path);
        entry(path, 0100000U | mode, data);
    }
    void dir(const std::string& path)
    {
        if (path.empty() || !dirs_.insert(path).second) return;
        parents(path);
        entry(path, 0040755U, "");
    }
    // Every file under host folder `from`, as `to`/...
    void tree(const std::string& from, const std::string& to)
    {
        dir(to);
        for (const auto& e : fs::recursive_directory_iterator(from)) {
            const std::string rel = to + "/" + fs::relative(e.path(), from).string();
            if (e.is_directory())
                dir(rel);
            else if (e.is_regular_file())
                file(rel, read_file(e.path().string()),
                     (fs::status(e.path()).permissions() & fs::perms::owner_exec) != fs::perms::none
                         ? 0755
                         : 0644);
        }
    }
    std::string finish()
    {
        entry("TRAILER!!!", 0, "");
        return out_;
    }

private:
    void parents(const std::string& path)
    {
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) dir(path.substr(0, slash));
    }
    void entry(const std::string& path, unsigned mode, const std::string& data)
    {
        const std::string name = path[0] == '/' ? path.substr(1) : path;
        char head[111];
        std::snprintf(head, sizeof head,
                      "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", ++ino_, mode,
                      0U, 0U, 1U, 0U, data.size(), 0U, 0U, 0U, 0U, name.size() + 1, 0U);
        out_.append(head, 110);
        out_ += name;
        out_ += '\0';
        pad();
        out_ += data;
        pad();
    }
    void pad()
    {
        while (out_.size() % 4 != 0) out_ += '\0';
    }
    std::string out_;
    std::set<std::string> dirs_;
    unsigned ino_ = 0;
};

std::string module_name(const std::string& path)
{
    std::string n = fs::path(path).filename().string();
    return n.substr(0, n.find('.'));
}

// The monitor's socket appears a moment after qemu starts.
int connect_monitor(const std::string& path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        close(fd);
        usleep(50000);
    }
    return -1;
}

void press(int monitor, const std::string& key)
{
    const std::string cmd = "sendkey " + key + "\n";
    if (monitor < 0 || write(monitor, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size()))
        fail("monitor sendkey " + key);
}

} // namespace

std::string board_result::file(const std::string& name) const
{
    const auto it = out.find(name);
    return it == out.end() ? std::string() : it->second;
}

board_parts board_parts_from_env()
{
    const char* env = std::getenv("UPG_BOARD_DIR");
    const std::string dir = env != nullptr && *env != '\0' ? env : PHONESIM_BOARD_DIR;
    board_parts p;
    p.kernel = dir + "/kernel/vmlinuz";
    p.modules_list = dir + "/modules.list";
    p.busybox = dir + "/busybox";
    p.helpers = dir + "/bin";
    p.scripts = PHONESIM_BOARD_SCRIPTS;
    return p;
}

board_result board_run(const board_parts& parts, const board_request& req)
{
    char tmpl[] = "/tmp/board.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) fail("mkdtemp");
    const std::string work = tmpl;

    initramfs ir;
    ir.file("/init", read_file(parts.scripts + "/init.sh"), 0755);
    ir.file("/board/finish", read_file(parts.scripts + "/finish.sh"), 0755);
    ir.file("/board/reboot", read_file(parts.scripts + "/reboot.sh"), 0755);
    ir.file("/bin/busybox", read_file(parts.busybox), 0755);
    std::string names;
    std::istringstream modules(read_file(parts.modules_list));
    for (std::string path; std::getline(modules, path);) {
        if (path.empty()) continue;
        ir.file("/board/modules/" + module_name(path) + ".ko", read_file(path));
        names += module_name(path) + "\n";
    }
    ir.file("/board/modules.list", names);
    for (const auto& e : fs::directory_iterator(parts.helpers))
        ir.file("/board/bin/" + e.path().filename().string(), read_file(e.path().string()), 0755);
    ir.file("/board/layout", req.layout);
    for (const auto& [name, text] : req.platform) ir.file("/board/platform/" + name, text);
    if (!req.root.empty()) ir.tree(req.root, "/board/root");
    for (const auto& [path, data] : req.files) ir.file(path, data, 0755);
    ir.file("/board/scenario", req.scenario);
    {
        std::ofstream(work + "/initramfs.cpio", std::ios::binary) << ir.finish();
        std::ofstream out(work + "/out.img", std::ios::binary);
        out.seekp((16 << 20) - 1);
        out.put('\0');
    }

    const std::string monitor_path = work + "/monitor.sock";
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) < 0) fail("pipe");
    const std::vector<std::string> args = {"qemu-system-mipsel",
                                           "-M",
                                           "malta",
                                           "-m",
                                           "256",
                                           "-kernel",
                                           parts.kernel,
                                           "-initrd",
                                           work + "/initramfs.cpio",
                                           "-append",
                                           "console=ttyS0 panic=-1 quiet",
                                           "-display",
                                           "none",
                                           "-serial",
                                           "stdio",
                                           "-monitor",
                                           "unix:" + monitor_path + ",server=on,wait=off",
                                           "-no-reboot",
                                           "-nic",
                                           "none",
                                           "-vga",
                                           "none",
                                           "-drive",
                                           "file=" + req.chip + ",if=virtio,format=raw",
                                           "-drive",
                                           "file=" + work + "/out.img,if=virtio,format=raw"};
    const pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        dup2(pipefd[1], STDOUT_FILENO);
        dup2(pipefd[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "board: exec qemu-system-mipsel: %s\n", std::strerror(errno));
        _exit(127);
    }
    close(pipefd[1]);

    board_result r;
    int monitor = -1;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(req.time_limit_ms);
    std::string line;
    bool ended = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p = {pipefd[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(pipefd[0], buf, sizeof buf);
        if (n <= 0) { // qemu has ended
            ended = true;
            break;
        }
        r.console.append(buf, static_cast<size_t>(n));
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (buf[i] != '\r') line += buf[i];
                continue;
            }
            const std::string key_mark = "board-key: ";
            if (line.rfind(key_mark, 0) == 0) {
                if (monitor < 0) monitor = connect_monitor(monitor_path);
                press(monitor, line.substr(key_mark.size()));
            }
            line.clear();
        }
    }
    int status = 0;
    if (!ended) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    r.powered_off = ended;
    close(pipefd[0]);
    if (monitor >= 0) close(monitor);

    const std::string out_dir = work + "/out";
    fs::create_directories(out_dir);
    const std::string cmd = "tar -xf " + work + "/out.img -C " + out_dir + " 2>/dev/null";
    if (std::system(cmd.c_str()) == 0) {
        for (const auto& e : fs::recursive_directory_iterator(out_dir))
            if (e.is_regular_file())
                r.out[fs::relative(e.path(), out_dir).string()] = read_file(e.path().string());
    }
    fs::remove_all(work);
    return r;
}
