// sim/run_report.cpp - composing report.json and its summary.
#include "run_report.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string read_text(const std::string& path)
{
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// "t pid what rest..." lines of the device layer's logs.
nlohmann::json log_lines(const std::string& text)
{
    nlohmann::json out = nlohmann::json::array();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        long long t = 0;
        int pid = 0;
        w >> t >> pid;
        std::string rest;
        std::getline(w, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        out.push_back({{"t_ms", t}, {"pid", pid}, {"what", rest}});
    }
    return out;
}

// FNV-1a over a file's bytes; "" when it cannot be read.
std::string content_hash(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return "";
    uint64_t h = 14695981039346656037ULL;
    char buf[65536];
    while (f.read(buf, sizeof buf) || f.gcount() > 0) {
        for (std::streamsize i = 0; i < f.gcount(); ++i) {
            h ^= static_cast<uint8_t>(buf[i]);
            h *= 1099511628211ULL;
        }
        if (!f) break;
    }
    char hex[20];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

nlohmann::json env_json(const std::vector<std::pair<std::string, std::string>>& v)
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [n, val] : v) out.push_back({n, val});
    return out;
}

} // namespace

nlohmann::json flash_summary(const std::string& text)
{
    nlohmann::json parts = nlohmann::json::object();
    nlohmann::json relocations = nlohmann::json::array();
    int violations = 0;
    bool power_cut = false;
    unsigned long long busy_erase_us = 0, busy_write_us = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        long long t = 0;
        int pid = 0;
        std::string what, mtd, off_text, len_text;
        w >> t >> pid >> what >> mtd >> off_text >> len_text;
        if (what == "power-cut") {
            power_cut = true;
            continue;
        }
        if (mtd.rfind("mtd", 0) != 0) continue;
        nlohmann::json& p = parts[mtd];
        if (p.is_null())
            p = {{"erase_requests", 0}, {"erased_bytes", 0}, {"written_bytes", 0},
                 {"writes", 0},         {"violations", 0},   {"refused_erases", 0}};
        const unsigned long len = std::strtoul(len_text.c_str(), nullptr, 0);
        if (what == "erase") {
            p["erase_requests"] = p["erase_requests"].get<int>() + 1;
            p["erased_bytes"] = p["erased_bytes"].get<unsigned long>() + len;
        } else if (what == "write") {
            p["writes"] = p["writes"].get<int>() + 1;
            p["written_bytes"] = p["written_bytes"].get<unsigned long>() + len;
        } else if (what == "violation") {
            p["violations"] = p["violations"].get<int>() + 1;
            ++violations;
        } else if (what == "erase-refused") {
            p["refused_erases"] = p["refused_erases"].get<int>() + 1;
        } else if (what == "relocate") {
            relocations.push_back({{"partition", mtd}, {"offset", off_text}, {"size", len_text}});
        } else if (what == "busy") {
            const unsigned long long us = std::strtoull(len_text.c_str(), nullptr, 10);
            (off_text == "erase" ? busy_erase_us : busy_write_us) += us;
        }
    }
    return {{"partitions", parts},
            {"violations", violations},
            {"relocations", relocations},
            {"power_cut", power_cut},
            {"busy_us", {{"erase", busy_erase_us}, {"write", busy_write_us}}}};
}

nlohmann::json list_files(const std::string& dir)
{
    nlohmann::json out = nlohmann::json::array();
    struct stat top;
    if (lstat(dir.c_str(), &top) != 0) return out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        // A folder of another file system (a host folder shown in the
        // phone) is not the phone's: neither listed nor read.
        struct stat st;
        if (lstat(it->path().c_str(), &st) != 0) continue;
        if (st.st_dev != top.st_dev) {
            if (S_ISDIR(st.st_mode)) it.disable_recursion_pending();
            continue;
        }
        if (S_ISREG(st.st_mode))
            out.push_back({{"path", it->path().string()},
                           {"size", static_cast<uint64_t>(st.st_size)},
                           {"hash", content_hash(it->path().string())}});
    }
    return out;
}

nlohmann::json list_run_files()
{
    return {{"tmp", list_files("/tmp")}, {"config", list_files("/config")}};
}

nlohmann::json build_report(const run_facts& f, const std::string& run_dir)
{
    nlohmann::json syslog = nlohmann::json::array();
    for (const auto& r : f.syslog) syslog.push_back(syslog_to_json(r));
    nlohmann::json ipc = nlohmann::json::array();
    for (const auto& m : f.ipc) ipc.push_back(ipc_to_json(m));
    return {{"run", f.run},
            {"exit_status", f.exit_status},
            {"ended_by", f.ended_by},
            {"rebooted", f.rebooted},
            {"reboot_command", f.reboot_command},
            {"reboot_t_ms", f.reboot_t_ms},
            {"timed_out", f.timed_out},
            {"duration_ms", f.duration_ms},
            {"syslog", syslog},
            {"ipc", ipc},
            {"misc", log_lines(read_text(run_dir + "/misc.log"))},
            {"keys", f.keys},
            {"frames", {{"refreshes", f.refreshes}, {"stored", f.frames}}},
            {"flash", flash_summary(read_text(run_dir + "/flash.log"))},
            {"faults", log_lines(read_text(run_dir + "/faults.log"))},
            {"env_before", env_json(f.env_before)},
            {"env_after", env_json(f.env_after)},
            {"files_before", f.files_before},
            {"files", list_run_files()}};
}

std::string report_summary(const nlohmann::json& r, const std::string& run_dir)
{
    std::ostringstream o;
    o << "run " << r.value("run", 0) << ": ended by " << r.value("ended_by", std::string("?"));
    if (r.value("rebooted", false))
        o << " (\"" << r.value("reboot_command", std::string()) << "\" at "
          << r.value("reboot_t_ms", int64_t{0}) << " ms)";
    o << ", program exit status " << r.value("exit_status", -1) << ", "
      << r.value("duration_ms", int64_t{0}) << " ms\n";
    int errors = 0;
    for (const auto& l : r["syslog"])
        if (l.value("level_code", 7) <= 3) ++errors;
    o << "  syslog: " << r["syslog"].size() << " lines (" << errors << " at err or worse)\n";
    o << "  screen: " << r["frames"].value("refreshes", 0) << " refreshes, "
      << r["frames"].value("stored", 0) << " distinct frames\n";
    o << "  ipc:    " << r["ipc"].size() << " messages; misc device: " << r["misc"].size()
      << " requests; keys: " << r["keys"].size() << "\n";
    o << "  flash:";
    bool any = false;
    for (auto it = r["flash"]["partitions"].begin(); it != r["flash"]["partitions"].end(); ++it) {
        o << " " << it.key() << " erased " << it.value().value("erased_bytes", 0UL) / 1024
          << "K written " << it.value().value("written_bytes", 0UL) / 1024 << "K;";
        any = true;
    }
    if (!any) o << " untouched;";
    o << " NOR violations " << r["flash"].value("violations", 0) << "\n";
    const nlohmann::json busy = r["flash"].value("busy_us", nlohmann::json::object());
    const double erase_s = static_cast<double>(busy.value("erase", 0ULL)) / 1e6;
    const double write_s = static_cast<double>(busy.value("write", 0ULL)) / 1e6;
    if (erase_s + write_s > 0) {
        char line[128];
        std::snprintf(line, sizeof line, "  chip busy: erasing %.2f s, programming %.2f s\n",
                      erase_s, write_s);
        o << line;
    }
    int changed = 0;
    if (r["env_before"] != r["env_after"]) {
        std::map<std::string, std::string> before;
        for (const auto& p : r["env_before"]) before[p[0]] = p[1];
        for (const auto& p : r["env_after"])
            if (before[p[0]] != p[1].get<std::string>()) ++changed;
    }
    o << "  boot environment: " << changed << " variables set or changed\n";
    o << "  files:  " << run_dir << "/{report.json,syslog.txt,frames/}\n";
    return o.str();
}
