// sim/reboot_tool.cpp - the phone's /sbin/reboot: asks the phone's first
// process to power-cycle the phone and waits for the end.
#include "layout.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    std::string request = "reboot";
    for (int i = 0; i < argc; ++i) request += std::string(" ") + argv[i];
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", phone::kControlSocket);
    if (fd < 0 || sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                         sizeof addr) < 0) {
        fprintf(stderr, "reboot: %s: %s\n", phone::kControlSocket, strerror(errno));
        return 1;
    }
    // The power goes off while we wait.
    for (;;) pause();
}
