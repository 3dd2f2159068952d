// sim/ipc_capture.h - the phone's other processes as message receivers.
//
// Listens on /var/ipc/1 ... /var/ipc/12 (Unix stream sockets, one message
// per connection) and records every message: receiver, the five header
// words and the data length. Messages are read as little-endian words, the
// phone's byte order.
#pragma once

#include "ipc_record.h"

#include <cstdint>
#include <string>
#include <vector>

class ipc_capture {
public:
    ipc_capture(); // listens on every id
    ~ipc_capture();
    ipc_capture(const ipc_capture&) = delete;
    ipc_capture& operator=(const ipc_capture&) = delete;

    // Descriptors to poll for input.
    std::vector<int> fds() const;
    // Serves whatever is ready; finished messages are appended to `out`.
    void serve(int64_t now_ms, std::vector<ipc_message>& out);

private:
    struct conn {
        int fd;
        int receiver;
        std::string bytes;
    };
    std::vector<std::pair<int, int>> listeners_; // fd, id
    std::vector<conn> conns_;
};
