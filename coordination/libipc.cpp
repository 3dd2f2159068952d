// coordination/libipc.cpp - sending, broadcasting and receiving IPC
// messages on /var/ipc/<id>.
#include "libipc.h"

#include "rl_log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kBacklog = 64;
constexpr mode_t kSocketMode = 0777;
constexpr const char* kMakeSocketDir = "mkdir -p /var/ipc/";

// The module's state, one per process.
struct ipc_data {
    std::atomic<int> id{0}; // own IPC id, 0 = not registered
    int listen_fd = 0;      // 0 = none
    pthread_t thread{};
    bool thread_started = false;
    // Set by ipc_unregister() to end the reader thread; the connection the
    // thread is reading, so that it can be ended too.
    std::atomic<bool> stopping{false};
    std::mutex serving_lock; // serving_fd is not closed while it is shut down
    int serving_fd = -1;
    ipc_callback cb = nullptr;
    void* user = nullptr;
};
ipc_data g_ipc_data;
std::atomic<int> g_quitflag{0};

const char* const kIdNames[] = {
    "NULL",
    "IPC_ID_VA",
    "IPC_ID_PHONE",
    "IPC_ID_AUTOP",
    "IPC_ID_LIGHTTPD",
    "IPC_ID_NETCONFIG",
    "IPC_ID_UPGRADER",
    "IPC_ID_SIMULATOR",
    "IPC_ID_TEST",
};

int kernel_tid()
{
    return static_cast<int>(syscall(SYS_gettid));
}

// The socket address of an id: "/var/ipc/<id>". The whole structure's
// size is the length handed to the system.
sockaddr_un socket_address(int id)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s%d", IPC_SOCKET_DIR, id);
    return addr;
}

sockaddr* as_sockaddr(sockaddr_un* addr)
{
    return reinterpret_cast<sockaddr*>(addr);
}

// Reads `count` bytes, however many pieces the stream delivers them in,
// stopping early only at the end of the stream or an error. Returns the
// bytes read, or -1 when the very first read failed.
int read_full(int fd, unsigned char* buf, int count)
{
    int got = 0;
    while (got < count) {
        const ssize_t n = read(fd, buf + got, static_cast<size_t>(count - got));
        if (n > 0) {
            got += static_cast<int>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return got > 0 ? got : -1;
        }
    }
    return got;
}

// The reader of a connection: `source` points to its descriptor.
int read_connection(void* source, unsigned char* buf, int count)
{
    return read_full(*static_cast<const int*>(source), buf, count);
}

// What the reader thread holds while it serves one connection.
struct connection {
    int fd;
    unsigned char* buf;
};

void close_connection(connection* c)
{
    const std::lock_guard<std::mutex> hold(g_ipc_data.serving_lock);
    g_ipc_data.serving_fd = -1;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

// Accepts one connection and hands its message to the callback.
void serve_one(int listen_fd, connection* c)
{
    sockaddr_un peer = {};
    socklen_t peer_len = sizeof peer;
    c->fd = accept(listen_fd, as_sockaddr(&peer), &peer_len);
    if (c->fd < 0) {
        if (!g_ipc_data.stopping) rl_log_err("accept failed: %s", std::strerror(errno));
        return;
    }
    if (g_ipc_data.stopping) {
        close_connection(c); // the wake-up of ipc_unregister()
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(g_ipc_data.serving_lock);
        g_ipc_data.serving_fd = c->fd;
    }
    c->buf = ipc_receive_message(read_connection, &c->fd);
    close_connection(c);
    if (c->buf != nullptr) g_ipc_data.cb(reinterpret_cast<ipc_msg*>(c->buf), g_ipc_data.user);
    std::free(c->buf);
    c->buf = nullptr;
}

} // namespace

unsigned char* ipc_receive_message(ipc_reader read, void* source)
{
    if (read == nullptr) return nullptr;
    std::int32_t msg_len = 0;
    unsigned char len_bytes[sizeof msg_len] = {};
    const int len_read = read(source, len_bytes, static_cast<int>(sizeof len_bytes));
    if (len_read >= 0 && len_read < 4) {
        rl_log_err("read len failed: read_len = %d", len_read);
        return nullptr;
    }
    // A failed read leaves the length at 0, which ends here.
    if (len_read == 4) std::memcpy(&msg_len, len_bytes, sizeof msg_len);
    if (msg_len < IPC_MSG_MIN || msg_len > IPC_MSG_MAX) {
        rl_log_err("msg len failed: msg_len = %d", msg_len);
        return nullptr;
    }
    // Never less than a header, zeroed, so that the callback can read
    // every header word of a short message.
    const size_t size = static_cast<size_t>(std::max(msg_len, IPC_HEADER_LEN));
    auto* buf = static_cast<unsigned char*>(std::calloc(1, size));
    if (buf == nullptr) {
        rl_log_err("malloc msg buffer failed.");
        return nullptr;
    }
    std::memcpy(buf, &msg_len, sizeof msg_len);
    const int expected = msg_len - 4;
    const int body_read = read(source, buf + 4, expected);
    if (body_read != expected) {
        rl_log_err("msg_len != read_len: msg_len = %d, read_len = %d", expected, body_read);
        std::free(buf);
        return nullptr;
    }
    return buf;
}

int ipc_register(int id)
{
    g_ipc_data.id = id;
    return 0;
}

namespace {

constexpr int kSendRetries = 20;
constexpr useconds_t kSendRetryUs = 5000;

// Sends all `len` bytes on the non-blocking socket: a receiver that takes
// a message in part gets the rest, with a few short waits when its socket
// is full; what cannot be sent whole is a failed send. A receiver that went
// away in the meantime must not end the sender with SIGPIPE: it is
// reported like any failed write.
bool send_whole(int fd, const unsigned char* buf, size_t len)
{
    size_t done = 0;
    for (int waits = 0; done < len;) {
        const ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waits++ < kSendRetries) {
            usleep(kSendRetryUs);
            continue;
        }
        if (n < 0)
            rl_log_err("write failed: %s\n", std::strerror(errno));
        else
            rl_log_err("write failed: %d of %d bytes sent\n", static_cast<int>(done),
                       static_cast<int>(len));
        return false;
    }
    return true;
}

} // namespace

int ipc_send(int dest, int msg_id, int param1, int param2, const void* data, int len)
{
    auto* buf = static_cast<unsigned char*>(std::calloc(1, IPC_MSG_MAX));
    if (buf == nullptr) {
        rl_log_err("memery alloc failed: %s\n", std::strerror(errno));
        return -1;
    }
    ipc_msg head = {};
    head.msg_id = msg_id;
    head.sender_id = g_ipc_data.id;
    head.param1 = param1;
    head.param2 = param2;
    if (len > IPC_DATA_MAX) {
        rl_log_err("data len %d is larger than %d\n", len, IPC_DATA_MAX);
        std::free(buf);
        return 1;
    }
    if (data == nullptr || len < 1) {
        head.msg_len = IPC_HEADER_LEN;
    } else {
        std::memcpy(buf + IPC_HEADER_LEN, data, static_cast<size_t>(len));
        head.msg_len = IPC_HEADER_LEN + len;
    }
    std::memcpy(buf, &head, sizeof head);
    if (head.sender_id <= 0) {
        std::free(buf);
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        rl_log_err("socket failed: %s", std::strerror(errno));
        std::free(buf);
        return -1;
    }
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) < 0) {
        rl_log_err("ioctl failed: %s", std::strerror(errno));
        close(fd);
        std::free(buf);
        return -1;
    }
    sockaddr_un addr = socket_address(dest);
    if (connect(fd, as_sockaddr(&addr), sizeof addr) < 0) {
        // Nobody listening on that id is normal.
        close(fd);
        std::free(buf);
        return -1;
    }
    const bool whole = send_whole(fd, buf, static_cast<size_t>(head.msg_len));
    std::free(buf);
    close(fd);
    return whole ? 0 : -1;
}

int ipc_broadcast(int msg_id, int param1, int param2, const void* data, int len)
{
    for (int id = 1; id <= IPC_ID_MAX; ++id) ipc_send(id, msg_id, param1, param2, data, len);
    return 0;
}

int ipc_listen(ipc_callback cb, void* user)
{
    if (g_ipc_data.id <= 0) {
        rl_log_err("registe ipc failed");
        return -1;
    }
    if (cb == nullptr) {
        rl_log_err("ipc_listen: no callback\n");
        return -1;
    }
    if (g_ipc_data.listen_fd > 0) {
        rl_log_err("ipc_listen: already listening\n");
        return -1;
    }
    g_ipc_data.cb = cb;
    g_ipc_data.user = user;
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        rl_log_err("create socket failed: %s", std::strerror(errno));
        return -1;
    }
    sockaddr_un addr = socket_address(g_ipc_data.id);
    unlink(addr.sun_path);
    if (bind(fd, as_sockaddr(&addr), sizeof addr) < 0) {
        // The directory lives in a fresh /var: make it and try once more.
        // Its result does not matter: the second bind tells.
        const int made = system(kMakeSocketDir);
        static_cast<void>(made);
        if (bind(fd, as_sockaddr(&addr), sizeof addr) < 0) {
            const int err = errno;
            close(fd);
            unlink(addr.sun_path);
            rl_log_err("bind failed: %s", std::strerror(err));
            return -1;
        }
    }
    if (listen(fd, kBacklog) < 0) {
        const int err = errno;
        close(fd);
        unlink(addr.sun_path);
        rl_log_err("listen failed: %s", std::strerror(err));
        return -1;
    }
    if (chmod(addr.sun_path, kSocketMode) < 0)
        rl_log_err("chmod %s failed: %s\n", addr.sun_path, std::strerror(errno));
    g_ipc_data.listen_fd = fd;
    pthread_t thread{};
    const int rc = pthread_create(&thread, nullptr, read_thread,
                                  reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    if (rc == 0) {
        rl_log_debug("create thread sucess\n");
        g_ipc_data.thread = thread;
        g_ipc_data.thread_started = true;
    } else {
        rl_log_err("pthread_create failed: %s", std::strerror(rc));
    }
    return 0;
}

int ipc_unregister()
{
    // The reader thread is stopped, not cancelled: cancelling it could
    // leave a callback half done or a lock it holds taken. It is told to
    // stop, the connection it reads (if any) is ended, and its accept is
    // woken by shutting the listening socket down. It is gone before the state it reads is
    // cleared; a thread that was never started is not waited for.
    if (g_ipc_data.thread_started) {
        g_ipc_data.stopping = true;
        {
            const std::lock_guard<std::mutex> hold(g_ipc_data.serving_lock);
            if (g_ipc_data.serving_fd >= 0) shutdown(g_ipc_data.serving_fd, SHUT_RDWR);
        }
        // Shutting the listening socket down wakes its blocked accept,
        // whatever happened to the socket file meanwhile.
        if (shutdown(g_ipc_data.listen_fd, SHUT_RDWR) < 0)
            rl_log_err("ipc_unregister: wake the reader: %s", std::strerror(errno));
        pthread_join(g_ipc_data.thread, nullptr);
        g_ipc_data.thread_started = false;
        g_ipc_data.stopping = false;
    }
    rl_log_debug("leave thread\n");
    g_ipc_data.cb = nullptr;
    g_ipc_data.user = nullptr;
    g_ipc_data.id = 0;
    if (g_ipc_data.listen_fd > 0) close(g_ipc_data.listen_fd);
    g_ipc_data.listen_fd = 0;
    return 0;
}

int get_quitflag()
{
    return g_quitflag;
}

int set_quitflag(int value)
{
    g_quitflag = value;
    return value;
}

void* read_thread(void* arg)
{
    const int listen_fd = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    rl_log_debug("This is thread, thread id is %u, gettid()=%d\n",
                 static_cast<unsigned int>(pthread_self()), kernel_tid());
    connection c = {-1, nullptr};
    while (g_quitflag == 0 && !g_ipc_data.stopping) serve_one(listen_fd, &c);
    return nullptr;
}

const char* ipc_id_name(int id)
{
    constexpr int kNamed = static_cast<int>(sizeof kIdNames / sizeof kIdNames[0]);
    if (id < 0 || id >= kNamed) return "";
    return kIdNames[id];
}

void ipc_show_version()
{
    rl_log_info("Init %s, Version %s, Build at %s %s", "libipc", "1.0.0.24", __DATE__, __TIME__);
}
