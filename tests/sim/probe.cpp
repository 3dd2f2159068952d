// tests/sim/probe.cpp - pokes the simulated phone's devices from inside the
// phone, the way the phone's programs do, and prints what came back.
//
//   probe info N | erase N OFF LEN | write N OFF HEXBYTES | read N OFF LEN
//   probe reloc-query N | relocate N OFF SIZE
//   probe fb-info | fb-pattern | keys COUNT | ipc-send ID MSGID P1 P2 DATALEN
//   probe sem-make KEY | sem-exists KEY | log TEXT | shm KEY COUNT
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

unsigned long num(const char* s)
{
    return strtoul(s, nullptr, 0);
}

int result(const char* what, int r)
{
    if (r < 0)
        printf("%s: -1 %s\n", what, strerror(errno));
    else
        printf("%s: %d\n", what, r);
    return r < 0 ? 1 : 0;
}

// The shared upgrade record under `key`: its size, the state word, the
// first `count` bytes of the image, and the memory semaphore's value.
int shm(key_t key, unsigned long count)
{
    const int id = shmget(key, 0, 0);
    if (id < 0) return result("shm", id);
    struct shmid_ds ds = {};
    shmctl(id, IPC_STAT, &ds);
    const auto* p = static_cast<const unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    if (p == reinterpret_cast<const void*>(-1)) return result("shmat", -1);
    int32_t state = 0;
    memcpy(&state, p + 4, 4);
    printf("size %zu state %d data ", static_cast<size_t>(ds.shm_segsz), state);
    for (unsigned long i = 0; i < count && 8 + i < ds.shm_segsz; ++i) printf("%02x", p[8 + i]);
    const int sem = semget(0xA130, 1, 0);
    printf(" sem %d\n", sem < 0 ? -1 : semctl(sem, 0, GETVAL));
    return 0;
}

int mtd(int argc, char** argv)
{
    const std::string cmd = argv[1];
    const std::string path = std::string("/dev/mtd") + argv[2];
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return result(("open " + path).c_str(), fd);
    if (cmd == "info") {
        uint8_t info[32] = {};
        const int r = ioctl(fd, 0x40204D01UL, info);
        uint32_t size, erasesize;
        memcpy(&size, info + 8, 4);
        memcpy(&erasesize, info + 12, 4);
        printf("type %u size 0x%x erasesize 0x%x\n", info[0], size, erasesize);
        return result("info", r);
    }
    if ((cmd == "erase" || cmd == "relocate") && argc >= 5) { // MEMERASE, the relocation request
        const uint32_t req[2] = {static_cast<uint32_t>(num(argv[3])),
                                 static_cast<uint32_t>(num(argv[4]))};
        return result(cmd.c_str(), ioctl(fd, cmd == "erase" ? 0x80084D02UL : 0x80084D11UL, req));
    }
    if (cmd == "write" && argc >= 5) {
        std::string bytes;
        for (const char* p = argv[4]; p[0] != '\0' && p[1] != '\0'; p += 2)
            bytes += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
        if (lseek(fd, static_cast<off_t>(num(argv[3])), SEEK_SET) < 0) return result("seek", -1);
        return result("write", static_cast<int>(write(fd, bytes.data(), bytes.size())));
    }
    if (cmd == "read" && argc >= 5) {
        std::string buf(num(argv[4]), '\0');
        const ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(num(argv[3])));
        printf("data ");
        for (ssize_t i = 0; i < n; ++i)
            printf("%02x", static_cast<uint8_t>(buf[static_cast<size_t>(i)]));
        printf("\n");
        return result("read", static_cast<int>(n));
    }
    if (cmd == "reloc-query") return result("reloc-query", ioctl(fd, 0x40044D12UL, nullptr));
    return 2;
}

// Fills the framebuffer with a pattern every panel shows the same way:
// black where (x / 8 + y / 8) is odd, white elsewhere.
int fb_pattern(bool info_only)
{
    const int fd = open("/dev/fb0", O_RDWR);
    if (fd < 0) return result("open /dev/fb0", -1);
    fb_var_screeninfo v{};
    fb_fix_screeninfo f{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &v) < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &f) < 0)
        return result("fb ioctl", -1);
    printf("fb %ux%u bpp %u smem_len %u line %u\n", v.xres, v.yres, v.bits_per_pixel, f.smem_len,
           f.line_length);
    if (info_only) return 0;
    auto* m =
        static_cast<uint8_t*>(mmap(nullptr, f.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (m == MAP_FAILED) return result("mmap", -1);
    for (uint32_t y = 0; y < v.yres; ++y) {
        for (uint32_t x = 0; x < v.xres; ++x) {
            const bool black = ((x / 8 + y / 8) & 1) != 0;
            const size_t i = y * v.xres + x;
            if (v.bits_per_pixel == 16) {
                m[2 * i] = m[2 * i + 1] = black ? 0x00 : 0xFF;
            } else {
                const uint8_t nib = black ? 0x0 : 0xF;
                m[i / 2] = static_cast<uint8_t>((i % 2 == 0) ? ((m[i / 2] & 0xF0) | nib)
                                                             : ((m[i / 2] & 0x0F) | (nib << 4)));
            }
        }
    }
    munmap(m, f.smem_len);
    close(fd);
    const int r = open("/proc/glcd/refresh", O_WRONLY);
    if (r < 0 || write(r, "1", 1) != 1) return result("refresh", -1);
    close(r);
    return result("refresh", 0);
}

int keys(int count)
{
    const int fd = open("/dev/input/event0", O_RDONLY);
    if (fd < 0) return result("open /dev/input/event0", -1);
    for (int i = 0; i < count; ++i) {
        uint8_t ev[16];
        if (read(fd, ev, sizeof ev) != 16) return result("read event", -1);
        uint16_t type, code;
        int32_t value;
        memcpy(&type, ev + 8, 2);
        memcpy(&code, ev + 10, 2);
        memcpy(&value, ev + 12, 4);
        printf("event type %u code %u value %d\n", type, code, value);
    }
    return 0;
}

int ipc_send(char** argv)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/var/ipc/%s", argv[2]);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        return result("connect", -1);
    const uint32_t data_len = static_cast<uint32_t>(num(argv[6]));
    const uint32_t header[5] = {20 + data_len, static_cast<uint32_t>(num(argv[3])), 6,
                                static_cast<uint32_t>(num(argv[4])),
                                static_cast<uint32_t>(num(argv[5]))};
    std::string msg(reinterpret_cast<const char*>(header), sizeof header);
    msg += std::string(data_len, 'd');
    const int r = static_cast<int>(write(fd, msg.data(), msg.size()));
    close(fd);
    return result("ipc-send", r);
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return 2;
    const std::string cmd = argv[1];
    if (argc >= 3 && (cmd == "info" || cmd == "erase" || cmd == "write" || cmd == "read" ||
                      cmd == "reloc-query" || cmd == "relocate"))
        return mtd(argc, argv);
    if (cmd == "fb-info") return fb_pattern(true);
    if (cmd == "fb-pattern") return fb_pattern(false);
    if (cmd == "keys" && argc >= 3) return keys(atoi(argv[2]));
    if (cmd == "ipc-send" && argc >= 7) return ipc_send(argv);
    if (cmd == "log" && argc >= 3) {
        openlog("probe", 0, LOG_USER);
        syslog(LOG_INFO, "%s", argv[2]);
        return 0;
    }
    if ((cmd == "sem-make" || cmd == "sem-exists") && argc >= 3)
        return result(cmd.c_str(), semget(static_cast<key_t>(num(argv[2])), 1,
                                          cmd == "sem-make" ? IPC_CREAT | 0666 : 0));
    if (cmd == "shm" && argc >= 4) return shm(static_cast<key_t>(num(argv[2])), num(argv[3]));
    return 2;
}
