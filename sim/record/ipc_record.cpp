// sim/record/ipc_record.cpp - decoding a received IPC message.
#include "ipc_record.h"

namespace {

constexpr size_t kHeader = 20;

uint32_t word_le(const std::string& b, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

} // namespace

ipc_message ipc_decode(int receiver, const std::string& bytes, int64_t t_ms)
{
    ipc_message m;
    m.t_ms = t_ms;
    m.receiver = receiver;
    if (bytes.size() < kHeader) {
        m.data_len = 0;
        return m;
    }
    m.complete = true;
    m.msg_len = word_le(bytes, 0);
    m.msg_id = word_le(bytes, 4);
    m.sender_id = word_le(bytes, 8);
    m.param1 = word_le(bytes, 12);
    m.param2 = word_le(bytes, 16);
    m.data_len = bytes.size() - kHeader;
    return m;
}

nlohmann::json ipc_to_json(const ipc_message& m)
{
    return {{"t_ms", m.t_ms},     {"receiver", m.receiver},   {"msg_len", m.msg_len},
            {"msg_id", m.msg_id}, {"sender_id", m.sender_id}, {"param1", m.param1},
            {"param2", m.param2}, {"data_len", m.data_len},   {"complete", m.complete}};
}
