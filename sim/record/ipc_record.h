// sim/record/ipc_record.h - one IPC message as a run records it: the
// receiver, the five header words (read as little-endian words, the
// phone's byte order) and how many bytes followed them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

struct ipc_message {
    int64_t t_ms = 0;
    int receiver = 0;
    uint32_t msg_len = 0, msg_id = 0, sender_id = 0, param1 = 0, param2 = 0;
    size_t data_len = 0;   // bytes received after the header
    bool complete = false; // the connection delivered the whole header
};

// Splits the bytes one connection delivered.
ipc_message ipc_decode(int receiver, const std::string& bytes, int64_t t_ms);
nlohmann::json ipc_to_json(const ipc_message& m);
