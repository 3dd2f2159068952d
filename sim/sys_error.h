// sim/sys_error.h - failing system calls of the simulator become exceptions.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

// Throws std::runtime_error "<what> <path>: <strerror(errno)>".
[[noreturn]] inline void sim_throw(const std::string& what, const std::string& path = "")
{
    const int e = errno;
    std::string m = what;
    if (!path.empty()) m += " " + path;
    m += ": ";
    m += std::strerror(e);
    throw std::runtime_error(m);
}

// Calls sim_throw when `r` is negative; returns r otherwise.
inline int sim_check(int r, const std::string& what, const std::string& path = "")
{
    if (r < 0) sim_throw(what, path);
    return r;
}
