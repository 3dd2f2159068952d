// fuzz/ipc_message_fuzz.cpp - the IPC receiver's handling of one
// connection's bytes.
//
// The input is everything a sender wrote before closing; its length is
// the bound. It is read as the reader thread reads a connection, in one
// exactly-sized heap copy, so that AddressSanitizer reports a read past
// it. A message that is accepted goes to a callback that reads every
// header word and every data byte, as a receiver may; its buffer must
// hold the input's first msg_len bytes, followed by zeros up to a whole
// header, and no more may have been read from the input.
#include "libipc.h"
#include "rl_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The connection: the input and how much of it was read.
struct stream {
    const unsigned char* data;
    std::size_t size;
    std::size_t at;
};

int read_stream(void* source, unsigned char* buf, int count)
{
    auto* s = static_cast<stream*>(source);
    if (count < 0) std::abort();
    const std::size_t left = s->size - s->at;
    const std::size_t n =
        static_cast<std::size_t>(count) < left ? static_cast<std::size_t>(count) : left;
    if (n > 0) std::memcpy(buf, s->data + s->at, n);
    s->at += n;
    return static_cast<int>(n);
}

// Reads the whole message as a receiver's callback may.
int receive(ipc_msg* msg, void* user)
{
    const auto* s = static_cast<const stream*>(user);
    const std::int32_t len = msg->msg_len;
    if (len < IPC_MSG_MIN || len > IPC_MSG_MAX) std::abort();
    if (s->at != static_cast<std::size_t>(len)) std::abort();
    const auto* bytes = reinterpret_cast<const unsigned char*>(msg);
    if (std::memcmp(bytes, s->data, static_cast<std::size_t>(len)) != 0) std::abort();
    for (int i = len; i < IPC_HEADER_LEN; ++i)
        if (bytes[i] != 0) std::abort();
    // Every header word, and the data the length counts.
    volatile std::uint32_t sum =
        static_cast<std::uint32_t>(msg->msg_id) + static_cast<std::uint32_t>(msg->sender_id) +
        static_cast<std::uint32_t>(msg->param1) + static_cast<std::uint32_t>(msg->param2);
    for (int i = IPC_HEADER_LEN; i < len; ++i) sum = sum + bytes[i];
    static_cast<void>(sum);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rl_log_set_level(-1); // every refused message is logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<unsigned char> bytes(data, data + size);
    stream s = {bytes.empty() ? nullptr : bytes.data(), size, 0};
    unsigned char* msg = ipc_receive_message(read_stream, &s);
    if (msg != nullptr) receive(reinterpret_cast<ipc_msg*>(msg), &s);
    std::free(msg);
    return 0;
}
