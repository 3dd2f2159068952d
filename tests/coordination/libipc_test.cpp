// IPC messaging over real Unix-domain sockets in the phone's /var/ipc:
// the sending half against plain listeners made here, the receiving half
// against plain senders that write whatever bytes a test needs.
#include "coord_log.h"
#include "libipc.h"
#include "phone.h"
#include "rl_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

sockaddr_un address_of(int id)
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/var/ipc/%d", id);
    return a;
}

// A plain listener on /var/ipc/<id>, as another process would have.
struct listener {
    int fd = -1;
    explicit listener(int id)
    {
        mkdir("/var/ipc", 0777);
        sockaddr_un a = address_of(id);
        unlink(a.sun_path);
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd, 8) != 0)
            ADD_FAILURE() << "listener " << id << ": " << std::strerror(errno);
    }
    ~listener()
    {
        if (fd >= 0) close(fd);
    }
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;

    // The bytes of the next connection, up to its end.
    std::string next_message() const
    {
        const int c = accept(fd, nullptr, nullptr);
        if (c < 0) return "accept failed";
        std::string out;
        char buf[4096];
        ssize_t n = 0;
        while ((n = read(c, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        close(c);
        return out;
    }
};

// A message header as it goes over the wire.
std::string header(int32_t msg_len, int32_t msg_id, int32_t sender = 2, int32_t p1 = 0,
                   int32_t p2 = 0)
{
    const int32_t w[5] = {msg_len, msg_id, sender, p1, p2};
    return std::string(reinterpret_cast<const char*>(w), sizeof w);
}

class Ipc : public testing::Test {
protected:
    void SetUp() override { rl_log_init("upgrader", 7); }
    void TearDown() override { ipc_unregister(); }
};

TEST_F(Ipc, SendWritesHeaderAndDataAsOnTheWire)
{
    listener rx(9);
    ipc_register(IPC_ID_UPGRADER);
    std::string data(2048, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    ASSERT_EQ(ipc_send(9, 41, -5, 77, data.data(), 2048), 0);
    EXPECT_EQ(rx.next_message(), header(2068, 41, IPC_ID_UPGRADER, -5, 77) + data);
    // No data pointer or no length: the header alone, whatever the length says.
    ASSERT_EQ(ipc_send(9, 4, 1, 0, nullptr, 100), 0);
    EXPECT_EQ(rx.next_message(), header(20, 4, IPC_ID_UPGRADER, 1));
    ASSERT_EQ(ipc_send(9, 4, 2, 0, data.data(), 0), 0);
    EXPECT_EQ(rx.next_message(), header(20, 4, IPC_ID_UPGRADER, 2));
    EXPECT_TRUE(logged().empty());
}

// Unregistered or unheard sends fail silently; too much data is refused
// with result 1, before the id is even looked at.
TEST_F(Ipc, SendsThatCannotGoOut)
{
    listener rx(9);
    const std::string data(2049, 'x');
    EXPECT_EQ(ipc_send(9, 4, 1, 0, nullptr, 0), -1) << "not registered";
    ipc_register(IPC_ID_UPGRADER);
    EXPECT_EQ(ipc_send(10, 4, 1, 0, nullptr, 0), -1) << "nobody listens on 10";
    unlink("/var/ipc/11");
    EXPECT_EQ(ipc_send(11, 4, 1, 0, nullptr, 0), -1);
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(ipc_send(9, 1, 0, 0, data.data(), 2049), 1);
    EXPECT_EQ(logged(), (std::vector<logged_line>{{3, "data len 2049 is larger than 2048\n"}}));
    // Unregistering without a reader, even twice, is harmless and forgets the id.
    EXPECT_EQ(ipc_unregister(), 0);
    EXPECT_EQ(ipc_unregister(), 0);
    EXPECT_EQ(ipc_send(9, 4, 1, 0, nullptr, 0), -1);
    EXPECT_EQ(ipc_send(9, 1, 0, 0, data.data(), 2049), 1);
}

TEST_F(Ipc, BroadcastReachesEveryIdOwnIncluded)
{
    std::vector<std::unique_ptr<listener>> rx;
    for (int id = 1; id <= IPC_ID_MAX; ++id) rx.push_back(std::make_unique<listener>(id));
    ipc_register(IPC_ID_UPGRADER);
    EXPECT_EQ(ipc_broadcast(IPC_MSG_UPGRADE_STEP, 3, 0, nullptr, 0), 0);
    for (int id = 1; id <= IPC_ID_MAX; ++id)
        EXPECT_EQ(rx[static_cast<size_t>(id - 1)]->next_message(),
                  header(20, IPC_MSG_UPGRADE_STEP, IPC_ID_UPGRADER, 3))
            << "id " << id;
    // With nobody listening at all it still reports 0.
    rx.clear();
    EXPECT_EQ(ipc_broadcast(IPC_MSG_UPGRADE_FAILED, 0, 0, nullptr, 0), 0);
}

// What the receiving callback saw.
struct inbox {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> messages;

    static int receive(ipc_msg* msg, void* user)
    {
        auto* self = static_cast<inbox*>(user);
        const std::lock_guard<std::mutex> lock(self->m);
        int32_t len = 0;
        std::memcpy(&len, msg, 4);
        const size_t n = static_cast<size_t>(std::max(len, IPC_HEADER_LEN));
        self->messages.emplace_back(reinterpret_cast<const char*>(msg), n);
        self->cv.notify_all();
        return 0;
    }
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 20s, [&] { return messages.size() >= count; });
    }
};

// Connects to `id` and writes `pieces` one after the other with a pause
// between them, then closes.
void send_raw(int id, const std::vector<std::string>& pieces)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = address_of(id);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(30ms);
        ASSERT_EQ(write(fd, pieces[i].data(), pieces[i].size()),
                  static_cast<ssize_t>(pieces[i].size()));
    }
    close(fd);
}

// The reader thread has served every connection made before: a marker
// message sent last has arrived.
void sync_with_reader(inbox& box, size_t expected_before)
{
    send_raw(IPC_ID_TEST, {header(20, 999)});
    ASSERT_TRUE(box.wait_for(expected_before + 1));
    ASSERT_EQ(box.messages.back(), header(20, 999));
    box.messages.pop_back();
}

class IpcReceiver : public Ipc {
protected:
    void SetUp() override
    {
        Ipc::SetUp();
        ipc_register(IPC_ID_TEST);
        ASSERT_EQ(ipc_listen(&inbox::receive, &box), 0);
    }
    inbox box;
};

TEST_F(IpcReceiver, AMessageInSeveralPiecesIsWhole)
{
    const std::string whole = header(20 + 300, 5, 1, 7, 8) + std::string(300, 'p');
    send_raw(IPC_ID_TEST,
             {whole.substr(0, 2), whole.substr(2, 9), whole.substr(11, 100), whole.substr(111)});
    ASSERT_TRUE(box.wait_for(1));
    EXPECT_EQ(box.messages[0], whole);
    sync_with_reader(box, 1);
    EXPECT_EQ(logged_count(3, "msg len failed: msg_len = 0"), 0);
}

// Unregistering ends the reader, even one held in its read by a sender that
// connects and stays silent.
TEST_F(IpcReceiver, UnregisterStopsTheReaderAndLeavesTheSocketFile)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = address_of(IPC_ID_TEST);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ipc_unregister(), 0) << "returns instead of waiting for the sender";
    close(fd);
    EXPECT_TRUE(box.messages.empty());
    struct stat st = {};
    EXPECT_EQ(stat("/var/ipc/8", &st), 0);
    // Nobody accepts any more, and the id is forgotten.
    EXPECT_EQ(ipc_send(IPC_ID_TEST, 1, 0, 0, nullptr, 0), -1);
    // Listening again works after registering again.
    ipc_register(IPC_ID_TEST);
    ASSERT_EQ(ipc_listen(&inbox::receive, &box), 0);
    ASSERT_EQ(ipc_send(IPC_ID_TEST, 77, 0, 0, nullptr, 0), 0);
    ASSERT_TRUE(box.wait_for(1));
    EXPECT_EQ(box.messages[0], header(20, 77, IPC_ID_TEST));
}

// ipc_unregister() returns whatever happened to the socket file: removed,
// or taken by another process's socket bound at the same path.
TEST_F(IpcReceiver, UnregisterReturnsWhateverHappenedToTheSocketFile)
{
    for (const bool taken : {false, true}) {
        ASSERT_EQ(unlink("/var/ipc/8"), 0);
        int other = -1;
        if (taken) {
            other = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a = address_of(IPC_ID_TEST);
            ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            ASSERT_EQ(listen(other, 4), 0);
        }
        std::atomic<bool> done{false};
        std::thread([&done] {
            ipc_unregister();
            done = true;
        }).detach();
        for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(done) << (taken ? "path taken by another socket" : "path removed");
        if (!done) std::_Exit(1); // the reader would hold the process for ever
        if (other >= 0) close(other);
        unlink("/var/ipc/8");
        ipc_register(IPC_ID_TEST);
        ASSERT_EQ(ipc_listen(&inbox::receive, &box), 0);
    }
}

// A send the socket takes in part is completed; one that fails half way is
// a failed send, not a delivered one.
TEST_F(IpcReceiver, AMessageIsSentWholeOrCountsAsFailed)
{
    // Sends to the socket, in order: the first message's first part and its
    // rest, then the second message's first part, and a broken pipe.
    phone_add_fault("fault short /var/ipc/8 1 7");
    phone_add_fault("fault short /var/ipc/8 3 7");
    phone_add_fault("fault write /var/ipc/8 4 32");
    ASSERT_EQ(ipc_send(IPC_ID_TEST, 12, 34, 56, "hello", 5), 0);
    ASSERT_TRUE(box.wait_for(1));
    EXPECT_EQ(box.messages[0], header(25, 12, IPC_ID_TEST, 34, 56) + "hello");
    EXPECT_EQ(ipc_send(IPC_ID_TEST, 13, 0, 0, "hello", 5), -1);
    EXPECT_EQ(logged_count(3, "write failed: Broken pipe\n"), 1);
}

TEST_F(Ipc, ListenNeedsAnIdAndMakesTheSocketFolder)
{
    inbox box;
    EXPECT_EQ(ipc_listen(&inbox::receive, &box), -1);
    EXPECT_EQ(logged().back(), (logged_line{3, "registe ipc failed"}));
    // Without /var/ipc the bind fails once, the folder is made, the second
    // bind works; the socket is open to every process.
    ASSERT_EQ(system("rm -rf /var/ipc"), 0);
    ipc_register(IPC_ID_PHONE);
    ASSERT_EQ(ipc_listen(&inbox::receive, &box), 0);
    struct stat st = {};
    ASSERT_EQ(stat("/var/ipc/2", &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777U);
    ASSERT_EQ(ipc_send(IPC_ID_PHONE, 3, 0, 0, nullptr, 0), 0);
    ASSERT_TRUE(box.wait_for(1));
    // Listening twice is refused.
    EXPECT_EQ(ipc_listen(&inbox::receive, &box), -1);
}

TEST_F(Ipc, NamesAndQuitFlag)
{
    EXPECT_STREQ(ipc_id_name(0), "NULL");
    EXPECT_STREQ(ipc_id_name(IPC_ID_UPGRADER), "IPC_ID_UPGRADER");
    EXPECT_STREQ(ipc_id_name(8), "IPC_ID_TEST");
    EXPECT_STREQ(ipc_id_name(9), "");
    EXPECT_STREQ(ipc_id_name(-1), "");
    EXPECT_EQ(get_quitflag(), 0);
    EXPECT_EQ(set_quitflag(1), 1);
    EXPECT_EQ(get_quitflag(), 1);
    set_quitflag(0);
}

// A connection's bytes in memory, read as the reader thread reads.
struct byte_stream {
    std::string bytes;
    bool fail = false; // the first read fails
    size_t at = 0;

    static int read(void* source, unsigned char* buf, int count)
    {
        auto* s = static_cast<byte_stream*>(source);
        if (s->fail) return -1;
        const size_t n = std::min(static_cast<size_t>(count), s->bytes.size() - s->at);
        std::memcpy(buf, s->bytes.data() + s->at, n);
        s->at += n;
        return static_cast<int>(n);
    }
};

// What ipc_receive_message() makes of `s`: the message (at least a header,
// filled up with zeros), or "refused".
std::string receive(byte_stream& s)
{
    unsigned char* msg = ipc_receive_message(&byte_stream::read, &s);
    if (msg == nullptr) return "refused";
    int32_t len = 0;
    std::memcpy(&len, msg, 4);
    std::string out(reinterpret_cast<char*>(msg), static_cast<size_t>(std::max(len, 20)));
    std::free(msg);
    return out;
}

TEST_F(Ipc, AReceivedMessageIsReadToItsLengthAndNoFurther)
{
    byte_stream s{header(25, 12, 2, 34, 56) + "hello" + "more"};
    EXPECT_EQ(receive(s), s.bytes.substr(0, 25));
    EXPECT_EQ(s.at, 25U);
    byte_stream shortest{header(8, 3).substr(0, 8)};
    EXPECT_EQ(receive(shortest), header(8, 3, 0)) << "eight bytes";
    byte_stream longest{header(2068, 4) + std::string(2048, 'd')};
    EXPECT_EQ(receive(longest), longest.bytes);
    // Refused, each with its error line; a length out of range before
    // anything more is read.
    struct {
        byte_stream s;
        size_t read;
        const char* line;
    } refused[] = {
        {{header(7, 1).substr(0, 8)}, 4, "msg len failed: msg_len = 7"},
        {{std::string("\x14\x00", 2)}, 2, "read len failed: read_len = 2"},
        {{header(2069, 2) + std::string(2049, 'z')}, 4, "msg len failed: msg_len = 2069"},
        {{header(-1, 2)}, 4, "msg len failed: msg_len = -1"},
        {{header(30, 6).substr(0, 20)}, 20, "msg_len != read_len: msg_len = 26, read_len = 16"},
        {{"", true}, 0, "msg len failed: msg_len = 0"},
    };
    size_t lines = 0;
    for (auto& row : refused) {
        EXPECT_EQ(receive(row.s), "refused") << row.line;
        EXPECT_EQ(row.s.at, row.read) << row.line;
        const auto log = logged();
        EXPECT_EQ(log.size(), ++lines) << row.line;
        EXPECT_EQ(log.back(), (logged_line{3, row.line}));
    }
    EXPECT_EQ(ipc_receive_message(nullptr, &s), nullptr);
}

} // namespace
