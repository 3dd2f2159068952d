// sim/report_verdict.cpp - the headline of a run report.
#include "report_verdict.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// The texts of the failure screens, each logged at level err as it is shown.
const char* const kFailureTexts[] = {
    "Load Rom Failed!",   "Get shm Failed!", "Rom check Failed!",        "Killapps Failed!",
    "Burn Flash Failed!", "Upgrade Failed!", "Pleace check ROM version!"};

// Failure IDs that follow from the screen text alone.
struct fixed_id {
    const char* text;
    int id;
};
const fixed_id kFixedIds[] = {{"Load Rom Failed!", -199},
                              {"Get shm Failed!", -198},
                              {"Killapps Failed!", -192},
                              {"Pleace check ROM version!", -74}};

// Lines the program logs (at debug) before an "Upgrade Failed!" or "Burn
// Flash Failed!" screen, with the failure ID each one leads to.
const fixed_id kCauseIds[] = {{"mtd_config failed!", -188},
                              {"config unmount failed!", -187},
                              {"config mtd_write failed!", -191},
                              {"env mtd_write failed!", -191}};

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

// The number after the first "ID:" that is followed by one (an optional
// minus, then digits).
bool failure_id_in(const std::string& text, int* id)
{
    for (size_t at = text.find("ID:"); at != std::string::npos; at = text.find("ID:", at + 1)) {
        size_t p = at + 3;
        if (p < text.size() && text[p] == '-') ++p;
        if (p < text.size() && digit(text[p])) {
            *id = static_cast<int>(std::strtol(text.c_str() + at + 3, nullptr, 10));
            return true;
        }
    }
    return false;
}

// Skips "digits" from `p`; returns where they end, or npos when none.
size_t skip_digits(const std::string& s, size_t p)
{
    const size_t start = p;
    while (p < s.size() && digit(s[p])) ++p;
    return p > start ? p : std::string::npos;
}

// The length of the program's "NAME pidN,tidN,lN: " prefix, 0 without one.
size_t prefix_length(const std::string& msg)
{
    const size_t space = msg.find(' ');
    if (space == 0 || space == std::string::npos) return 0;
    for (size_t i = 0; i < space; ++i)
        if (msg[i] == '\t' || msg[i] == '\n' || msg[i] == '\r') return 0;
    size_t p = space + 1;
    for (const char* field : {"pid", ",tid", ",l"}) {
        const size_t n = std::strlen(field);
        if (msg.compare(p, n, field) != 0) return 0;
        p = skip_digits(msg, p + n);
        if (p == std::string::npos) return 0;
    }
    if (msg.compare(p, 2, ": ") != 0) return 0;
    return p + 2;
}

bool is_failure_text(const std::string& t)
{
    for (const char* f : kFailureTexts)
        if (t == f) return true;
    return false;
}

std::string quoted(const std::string& t)
{
    constexpr size_t kMax = 160;
    return "\"" + (t.size() > kMax ? t.substr(0, kMax) + "..." : t) + "\"";
}

// "mtd0", "mtd0 and mtd5", "mtd0, mtd5 and mtd6".
std::string name_list(const std::vector<std::string>& names)
{
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
        out += names[i];
    }
    return out;
}

// What the program was doing when the run stopped: the step after the
// furthest milestone whose line was logged.
std::string stopped_stage(const nlohmann::json& syslog)
{
    const auto& ms = run_milestones();
    int reached = -1;
    for (const auto& r : syslog) {
        const std::string msg = r.value("msg", std::string());
        for (size_t i = 0; i < ms.size(); ++i)
            if (static_cast<int>(i) > reached && msg.find(ms[i].line) != std::string::npos)
                reached = static_cast<int>(i);
    }
    const size_t next = reached < 0 ? 0 : static_cast<size_t>(reached) + 1;
    if (next < ms.size()) return ms[next].doing;
    return "rebooting after the configuration fixes";
}

void find_failure(const nlohmann::json& syslog, run_verdict& v)
{
    int cause_id = 0;
    bool has_cause = false;
    bool countdown = false;
    for (const auto& r : syslog) {
        const std::string text = syslog_text(r.value("msg", std::string()));
        const int level = r.value("level_code", 7);
        if (level <= 3) {
            v.last_error = text;
            if (is_failure_text(text)) v.failure_text = text;
            int id = 0;
            if (failure_id_in(text, &id)) {
                v.has_failure_id = true;
                v.failure_id = id;
            }
        }
        for (const fixed_id& c : kCauseIds)
            if (text == c.text) {
                has_cause = true;
                cause_id = c.id;
            }
        if (text.find("ShowUpgradingAutop2FailedInfoWithID") != std::string::npos) countdown = true;
    }
    for (const fixed_id& f : kFixedIds)
        if (v.failure_text == f.text) {
            v.has_failure_id = true;
            v.failure_id = f.id;
        }
    if (!v.has_failure_id && has_cause) {
        v.has_failure_id = true;
        v.failure_id = cause_id;
    }
    if (v.failure_text.empty() && countdown) v.failure_text = "Autoprovision failed,";
}

bool broadcast_failed(const nlohmann::json& ipc)
{
    for (const auto& m : ipc)
        if (m.value("msg_id", 0U) == 3U) return true;
    return false;
}

std::string success_sentence(const nlohmann::json& r)
{
    std::vector<std::string> burned;
    const nlohmann::json& parts = r["flash"]["partitions"];
    if (parts.is_object())
        for (auto it = parts.begin(); it != parts.end(); ++it)
            if (it.value().value("written_bytes", 0UL) > 0) burned.push_back(it.key());
    std::ostringstream o;
    o << "The upgrade succeeded: ";
    if (burned.empty())
        o << "no partition needed burning";
    else
        o << name_list(burned) << (burned.size() == 1 ? " was" : " were") << " burned";
    o << " and the phone rebooted with " << quoted(r.value("reboot_command", std::string()))
      << " after " << r.value("reboot_t_ms", int64_t{0}) << " ms.";
    return o.str();
}

} // namespace

const std::vector<run_milestone>& run_milestones()
{
    static const std::vector<run_milestone> ms = {
        {"locked upgrader_process", "process lock taken, watchdog off",
         "starting up (display, watchdog, process lock)"},
        {"Memory attached at", "shared upgrade record attached",
         "attaching the shared upgrade record"},
        {"locked memory_semid", "memory lock taken", "taking the memory lock"},
        {"shellcmd:/tmp/bin/cat /proc/ver/software", "boot environment and versions read",
         "reading the boot environment and versions"},
        {"rom_upgrade_check start", "ROM image well-formed, partitions to burn chosen",
         "checking the ROM image's format"},
        {"RomVersion name:", "ROM accepted for this device",
         "checking the ROM against this device"},
        {"locked burn_flash_semid", "applications stopped, burn lock taken",
         "stopping the applications and taking the burn lock"},
        {"last size:", "partitions erased and written", "erasing and writing the partitions"},
        {"config ok", "configuration fixes done", "fixing the configuration"},
    };
    return ms;
}

std::string syslog_text(const std::string& msg)
{
    std::string t = msg.substr(prefix_length(msg));
    const size_t a = t.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    const size_t b = t.find_last_not_of(" \t\r\n");
    return t.substr(a, b - a + 1);
}

run_verdict judge_run(const nlohmann::json& r)
{
    run_verdict v;
    const nlohmann::json empty = nlohmann::json::array();
    const nlohmann::json& syslog = r.contains("syslog") ? r["syslog"] : empty;
    find_failure(syslog, v);
    const bool rebooted = r.value("rebooted", false);
    const bool failed = !v.failure_text.empty() || broadcast_failed(r.value("ipc", empty));
    if (rebooted && !failed) {
        v.success = true;
        v.last_error.clear();
        v.sentence = success_sentence(r);
        return v;
    }
    v.stage = stopped_stage(syslog);
    std::ostringstream o;
    const std::string ended_by = r.value("ended_by", std::string());
    if (r.value("flash", nlohmann::json::object()).value("power_cut", false))
        o << "The run stopped when the power was cut while " << v.stage;
    else if (!v.failure_text.empty() || rebooted)
        o << "The upgrade failed while " << v.stage;
    else if (ended_by == "time limit")
        o << "The run was still " << v.stage << " when the time limit powered the phone off";
    else
        o << "The upgrader exited with status " << r.value("exit_status", -1) << " while "
          << v.stage << ", without a failure screen or a reboot";
    if (!v.failure_text.empty()) {
        o << ": the screen showed " << quoted(v.failure_text);
        if (v.has_failure_id) o << " with failure ID " << v.failure_id;
    }
    if (!v.last_error.empty() && v.last_error != v.failure_text)
        o << (v.failure_text.empty() ? ": " : ", and ") << "the last error-level line was "
          << quoted(v.last_error);
    o << ".";
    v.sentence = o.str();
    return v;
}
