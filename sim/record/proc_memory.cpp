// sim/proc_memory.cpp - VmHWM, VmRSS and resident size per mapping.
#include "proc_memory.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// "Name:   1234 kB" -> 1234; -1 when the line is not one.
long kib_field(const std::string& line, const char* name)
{
    const std::string prefix = std::string(name) + ":";
    if (line.compare(0, prefix.size(), prefix) != 0) return -1;
    long v = -1;
    std::istringstream(line.substr(prefix.size())) >> v;
    return v;
}

// A smaps mapping header: "start-end perms offset dev inode [path]".
bool mapping_header(const std::string& line, std::string* what)
{
    std::istringstream in(line);
    std::string range, perms, offset, dev, inode;
    if (!(in >> range >> perms >> offset >> dev >> inode)) return false;
    if (range.find('-') == std::string::npos || perms.size() != 4) return false;
    std::string path;
    std::getline(in >> std::ws, path);
    *what = path.empty() ? "[anon]" : path;
    return true;
}

} // namespace

process_memory read_process_memory(pid_t pid)
{
    process_memory m;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (const long v = kib_field(line, "VmHWM"); v >= 0) m.vm_hwm_kib = v;
        if (const long v = kib_field(line, "VmRSS"); v >= 0) m.vm_rss_kib = v;
    }
    std::ifstream smaps(base + "/smaps");
    std::string current;
    while (std::getline(smaps, line)) {
        std::string what;
        if (mapping_header(line, &what)) {
            current = what;
            continue;
        }
        if (const long v = kib_field(line, "Rss"); v >= 0 && !current.empty())
            m.rss_kib_by_mapping[current] += v;
    }
    return m;
}

bool write_process_memory(const process_memory& m, const std::string& path)
{
    nlohmann::json j;
    j["vm_hwm_kib"] = m.vm_hwm_kib;
    j["vm_rss_kib"] = m.vm_rss_kib;
    j["rss_kib_by_mapping"] = m.rss_kib_by_mapping;
    std::ofstream out(path);
    out << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return static_cast<bool>(out);
}
