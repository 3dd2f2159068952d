// coordination/libipc.h - short messages between the phone's processes
// over Unix-domain stream sockets.
//
// Every process has an IPC id (1..12). A receiver listens on the socket
// file /var/ipc/<id>; a sender connects, writes one message and closes.
// A message is a 20-byte header (five 32-bit words in the processor's
// byte order, little-endian on the phone) and 0 to 2048 bytes of data;
// msg_len counts the header. Sending needs ipc_register(); receiving
// also needs ipc_listen(), which starts a reader thread that hands each
// message to the callback. A sender may call ipc_send() from any thread;
// ipc_register(), ipc_listen() and ipc_unregister() belong to one thread,
// never the callback's. Failures are logged, except the normal ones: not
// registered, nobody listening.
#pragma once

#include <cstddef>
#include <cstdint>

// The IPC ids.
constexpr int IPC_ID_NULL = 0; // no process
constexpr int IPC_ID_VA = 1;
constexpr int IPC_ID_PHONE = 2;
constexpr int IPC_ID_AUTOP = 3;
constexpr int IPC_ID_LIGHTTPD = 4;
constexpr int IPC_ID_NETCONFIG = 5;
constexpr int IPC_ID_UPGRADER = 6;
constexpr int IPC_ID_SIMULATOR = 7;
constexpr int IPC_ID_TEST = 8;
// Ids 9..12 have no name; a broadcast reaches ids 1..IPC_ID_MAX.
constexpr int IPC_ID_MAX = 12;

// Message codes the upgrader sends.
constexpr int IPC_MSG_UPGRADE_FAILED = 3;
constexpr int IPC_MSG_UPGRADE_STEP = 4;

constexpr const char* IPC_SOCKET_DIR = "/var/ipc/";

// The message header as on the wire; the data follows it.
struct ipc_msg {
    std::int32_t msg_len; // header included: 20 + data length
    std::int32_t msg_id;
    std::int32_t sender_id;
    std::int32_t param1;
    std::int32_t param2;
};
static_assert(sizeof(ipc_msg) == 20, "the header is five words");
static_assert(offsetof(ipc_msg, sender_id) == 8 && offsetof(ipc_msg, param2) == 16,
              "header words in wire order");
constexpr int IPC_HEADER_LEN = 20;
constexpr int IPC_DATA_MAX = 2048;
constexpr int IPC_MSG_MAX = IPC_HEADER_LEN + IPC_DATA_MAX; // 2068
constexpr int IPC_MSG_MIN = 8; // the shortest msg_len a receiver accepts

// Called on the reader thread with the received message (msg_len first,
// then the rest as on the wire) and the user value; the result is
// ignored. The buffer is freed when the callback returns, so it must not
// be kept. Header words that a short message did not carry read as 0.
using ipc_callback = int (*)(ipc_msg* msg, void* user);

// Stores the process's own IPC id. Returns 0.
int ipc_register(int id);
// Listens on /var/ipc/<own id> (mode 0777) and starts the reader thread
// that calls `cb` for each message. Needs a registered id and a callback;
// refused while already listening. 0, or -1 on failure.
int ipc_listen(ipc_callback cb, void* user);
// Stops and waits for the reader thread, closes the listening socket and
// forgets the id and the callback. The socket file stays. Returns 0.
int ipc_unregister();
// Sends one message to `dest`: 0 sent, -1 failure (also when not
// registered or nobody listens), 1 data longer than 2048 bytes. Without
// data (null or a length below 1) the message is the header alone.
int ipc_send(int dest, int msg_id, int param1, int param2, const void* data, int len);
// ipc_send() to every id from 1 to IPC_ID_MAX, the own one included.
// Returns 0.
int ipc_broadcast(int msg_id, int param1, int param2, const void* data, int len);

// Reads up to `count` bytes of a connection into `buf`, however many
// pieces they come in: `count` unless the stream ended first, or -1 when
// the very first read failed.
using ipc_reader = int (*)(void* source, unsigned char* buf, int count);

// Receives one message through `read` as the reader thread does for each
// connection: its msg_len word first, which must lie in IPC_MSG_MIN ..
// IPC_MSG_MAX, then exactly msg_len - 4 more bytes. Returns the message
// in a zeroed buffer of max(msg_len, IPC_HEADER_LEN) bytes, to be freed
// with free(), or null (logged) for a short, failed or out-of-range read.
// No more than msg_len bytes are ever read.
unsigned char* ipc_receive_message(ipc_reader read, void* source);

// The flag that stops the reader thread before its next accept.
int get_quitflag();
int set_quitflag(int value);

// The reader thread's body; `arg` is the listening socket (an int cast
// to a pointer). Accepts connections one at a time until the quit flag
// is set.
void* read_thread(void* arg);

// The name of an IPC id ("NULL" for 0, "IPC_ID_VA" ...), "" for an id
// without a name.
const char* ipc_id_name(int id);

// Logs the module's banner (name, version, build date and time) at info.
void ipc_show_version();
