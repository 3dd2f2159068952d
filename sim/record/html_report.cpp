// sim/html_report.cpp - the run report as one HTML page.
#include "html_report.h"

#include "layout.h"
#include "report_verdict.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

using json = nlohmann::json;

constexpr size_t kMaxReport = size_t{256} << 20; // report.json
constexpr size_t kMaxFrame = size_t{4} << 20;    // one PNG
constexpr size_t kMaxFramesLog = size_t{64} << 20;

const char* const kStyle = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em auto; max-width: 72em; padding: 0 1em; color: #111; }
h1 { font-size: 1.5em; margin: 0 0 .2em; }
h2 { font-size: 1.15em; margin: 1.6em 0 .5em; border-bottom: 1px solid #ccc; }
.verdict { font-size: 1.15em; padding: .6em .8em; border-left: .4em solid; margin: .6em 0; }
.verdict.ok { border-color: #2a7d2a; background: #eef7ee; }
.verdict.failed { border-color: #b22; background: #fbeeee; }
.facts { color: #444; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .15em .5em; vertical-align: top; border-bottom: 1px solid #eee; }
td.t { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; color: #555; }
td.msg { font-family: ui-monospace, monospace; white-space: pre-wrap; word-break: break-all; }
tr.emerg td, tr.alert td, tr.crit td, tr.err td { background: #fde8e8; }
tr.warning td { background: #fff6dd; }
tr.debug td.msg { color: #666; }
tr.broadcast td, tr.misc td, tr.key td, tr.reboot td, tr.flash td { background: #e8f0fd; }
.kind { white-space: nowrap; }
.film { display: flex; flex-wrap: wrap; gap: .6em; }
.film figure { margin: 0; }
.film img { width: 160px; height: 91px; border: 1px solid #999; display: block; }
.film figcaption { font-size: .85em; color: #444; }
.film figure:target { position: fixed; inset: 0; background: rgba(0,0,0,.85); display: flex;
  flex-direction: column; align-items: center; justify-content: center; z-index: 1; }
.film figure:target img { width: min(960px, 95vw); height: auto; image-rendering: pixelated; }
.film figure:target figcaption { color: #fff; font-size: 1.1em; }
.close { display: none; }
.film figure:target .close { display: inline; color: #fff; }
.chip { display: flex; height: 2.2em; border: 1px solid #999; margin: .3em 0 1em; }
.chip div { border-right: 1px solid #999; font-size: .75em; overflow: hidden; padding: 0 .2em;
  background: #f4f4f4; }
.chip div.written { background: #9cd19c; }
.chip div.erased { background: #f0d080; }
.chip div.violation { background: #e07070; }
.changed td { background: #fff6dd; }
.added td { background: #eef7ee; }
.removed td { background: #fbeeee; text-decoration: line-through; }
@media print {
  body { max-width: none; margin: 0; font-size: 10pt; }
  .film img { width: 120px; height: 68px; }
  .film figure:target { position: static; background: none; }
  .close { display: none !important; }
  tr, figure { break-inside: avoid; }
  h2 { break-after: avoid; }
}
)";

std::string hex32(unsigned long v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%08lx", v);
    return b;
}

std::string seconds(long long ms)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", static_cast<double>(ms) / 1000.0);
    return b;
}

// One row of the timeline.
struct event {
    long long t_ms;
    int order; // keeps the order of equal times
    std::string kind;
    std::string css;
    std::string text;
};

// Broadcasts arrive once per receiver: one row per message sent.
void add_ipc(const json& ipc, std::vector<event>* out)
{
    struct sent {
        long long t;
        unsigned long sender, id, p1, p2;
        std::vector<int> receivers;
    };
    std::vector<sent> list;
    for (const auto& m : ipc) {
        const long long t = m.value("t_ms", 0LL);
        const unsigned long sender = m.value("sender_id", 0UL), id = m.value("msg_id", 0UL),
                            p1 = m.value("param1", 0UL), p2 = m.value("param2", 0UL);
        auto same = [&](const sent& s) {
            return s.t == t && s.sender == sender && s.id == id && s.p1 == p1 && s.p2 == p2;
        };
        auto it = std::find_if(list.begin(), list.end(), same);
        if (it == list.end()) {
            list.push_back(sent{t, sender, id, p1, p2, {}});
            it = list.end() - 1;
        }
        it->receivers.push_back(m.value("receiver", 0));
    }
    for (const sent& s : list) {
        std::ostringstream o;
        o << "msg_id " << s.id << " param1 " << s.p1 << " param2 " << s.p2 << " from " << s.sender
          << " to " << s.receivers.size()
          << (s.receivers.size() == 1 ? " receiver (" : " receivers (");
        for (size_t i = 0; i < s.receivers.size(); ++i) o << (i ? " " : "") << s.receivers[i];
        o << ")";
        out->push_back(
            {s.t, 0, s.receivers.size() > 1 ? "broadcast" : "message", "broadcast", o.str()});
    }
}

std::vector<event> timeline(const json& r)
{
    std::vector<event> ev;
    for (const auto& l : r.value("syslog", json::array())) {
        const std::string level = l.value("level", std::string("?"));
        std::string tag = l.value("tag", std::string());
        // The program starts some lines with blank lines: left out here.
        std::istringstream lines(l.value("msg", std::string()));
        std::string msg;
        for (std::string part; std::getline(lines, part);) {
            if (part.find_first_not_of(" \t\r") == std::string::npos) continue;
            msg += (msg.empty() ? "" : "\n") + part;
        }
        ev.push_back({l.value("t_ms", 0LL), 0, "syslog " + level, level,
                      (tag.empty() ? "" : tag + ": ") + msg});
    }
    add_ipc(r.value("ipc", json::array()), &ev);
    for (const auto& m : r.value("misc", json::array()))
        ev.push_back(
            {m.value("t_ms", 0LL), 0, "misc device", "misc", m.value("what", std::string())});
    for (const auto& k : r.value("keys", json::array())) {
        const std::string text = k.is_string()
                                     ? k.get<std::string>()
                                     : k.dump(-1, ' ', false, json::error_handler_t::replace);
        const long long t = std::strtoll(text.c_str(), nullptr, 10);
        const size_t sp = text.find(' ');
        ev.push_back({t, 0, "keypad", "key", sp == std::string::npos ? text : text.substr(sp + 1)});
    }
    for (const auto& rel : r["flash"].value("relocations", json::array()))
        ev.push_back({r.value("duration_ms", 0LL), 0, "flash", "flash",
                      "relocated " + rel.value("partition", std::string()) + " to offset " +
                          rel.value("offset", std::string()) + ", size " +
                          rel.value("size", std::string())});
    if (r.value("rebooted", false))
        ev.push_back({r.value("reboot_t_ms", 0LL), 1, "reboot", "reboot",
                      "reboot with \"" + r.value("reboot_command", std::string()) + "\""});
    else
        ev.push_back({r.value("duration_ms", 0LL), 1, "end", "reboot",
                      "the phone powered off: " + r.value("ended_by", std::string())});
    for (size_t i = 0; i < ev.size(); ++i)
        ev[i].order = ev[i].order * 1000000 + static_cast<int>(i);
    std::stable_sort(ev.begin(), ev.end(), [](const event& a, const event& b) {
        return a.t_ms != b.t_ms ? a.t_ms < b.t_ms : a.order < b.order;
    });
    return ev;
}

void section_timeline(const json& r, std::ostream& o)
{
    const std::vector<event> ev = timeline(r);
    o << "<h2 id=\"timeline\">Timeline</h2>\n<table class=\"timeline\">\n"
      << "<thead><tr><th>time (s)</th><th>what</th><th>text</th></tr></thead>\n<tbody>\n";
    for (const event& e : ev)
        o << "<tr class=\"" << html_escape(e.css) << "\"><td class=\"t\">" << seconds(e.t_ms)
          << "</td><td class=\"kind\">" << html_escape(e.kind) << "</td><td class=\"msg\">"
          << html_escape(e.text) << "</td></tr>\n";
    o << "</tbody></table>\n";
}

void section_film(const std::string& run_dir, const json& r, std::ostream& o)
{
    struct shown {
        int frame;
        long long first_ms;
        int refreshes;
    };
    std::vector<shown> frames;
    std::istringstream log(report_read_file(run_dir + "/frames.jsonl", kMaxFramesLog));
    for (std::string line; std::getline(log, line);) {
        json j = json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) continue;
        const int n = j.value("frame", 0);
        if (n <= 0) continue;
        if (j.value("new", false) || frames.empty() || frames.back().frame != n)
            frames.push_back({n, j.value("t_ms", 0LL), 1});
        else
            ++frames.back().refreshes;
    }
    o << "<h2 id=\"film\">Screens</h2>\n<p class=\"facts\">" << frames.size()
      << " distinct screens over " << r["frames"].value("refreshes", 0)
      << " refreshes. Select a screen to enlarge it.</p>\n<div class=\"film\">\n";
    for (const shown& f : frames) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", f.frame);
        const std::string png = report_read_file(run_dir + "/frames/" + name, kMaxFrame);
        o << "<figure class=\"frame\" id=\"frame-" << f.frame << "\"><a href=\"#frame-" << f.frame
          << "\"><img alt=\"screen " << f.frame << "\" src=\"data:image/png;base64,"
          << base64_encode(png) << "\"></a><figcaption>" << f.frame << " · " << seconds(f.first_ms)
          << " s" << (f.refreshes > 1 ? " · " + std::to_string(f.refreshes) + " refreshes" : "")
          << " <a class=\"close\" href=\"#film\">close</a></figcaption></figure>\n";
    }
    o << "</div>\n";
}

// mtdN -> (start, end) from an environment listing.
std::map<int, std::pair<unsigned long, unsigned long>> windows(const json& env)
{
    std::map<int, std::pair<unsigned long, unsigned long>> out;
    for (const auto& p : env) {
        if (!p.is_array() || p.size() != 2) continue;
        const std::string name = p[0].get<std::string>();
        unsigned int n = 0;
        unsigned long s = 0, e = 0;
        if (std::sscanf(name.c_str(), "mtd%u", &n) == 1 && n < 10 &&
            std::sscanf(p[1].get<std::string>().c_str(), "%lx,%lx", &s, &e) == 2 && e > s)
            out[static_cast<int>(n)] = {s, e};
    }
    return out;
}

void chip_bar(const std::map<int, std::pair<unsigned long, unsigned long>>& w, const json& parts,
              std::ostream& o)
{
    // In the order of the addresses, as the partitions lie on the chip.
    std::vector<std::pair<int, std::pair<unsigned long, unsigned long>>> by_address(w.begin(),
                                                                                    w.end());
    std::sort(by_address.begin(), by_address.end(),
              [](const auto& a, const auto& b) { return a.second.first < b.second.first; });
    o << "<div class=\"chip\">";
    for (const auto& [n, range] : by_address) {
        const std::string name = "mtd" + std::to_string(n);
        const json p = parts.value(name, json::object());
        const double width = 100.0 * static_cast<double>(range.second - range.first) /
                             static_cast<double>(phone::kChipSize);
        std::string css = p.value("violations", 0) > 0        ? "violation"
                          : p.value("written_bytes", 0UL) > 0 ? "written"
                          : p.value("erased_bytes", 0UL) > 0  ? "erased"
                                                              : "";
        char style[64];
        std::snprintf(style, sizeof style, "width:%.2f%%", width);
        o << "<div class=\"" << css << "\" style=\"" << style << "\" title=\"" << name << " "
          << hex32(range.first) << ".." << hex32(range.second) << "\">" << name << "</div>";
    }
    o << "</div>\n";
}

void section_flash(const json& r, std::ostream& o)
{
    const json& flash = r["flash"];
    const json parts = flash.value("partitions", json::object());
    const auto before = windows(r.value("env_before", json::array()));
    const auto after = windows(r.value("env_after", json::array()));
    o << "<h2 id=\"flash\">Flash</h2>\n<p class=\"facts\">NOR violations: "
      << flash.value("violations", 0)
      << ". Power cut: " << (flash.value("power_cut", false) ? "yes" : "no")
      << ". Green: written, yellow: erased only, red: a byte programmed that was not erased.</p>\n";
    o << "<p>Layout before the run</p>\n";
    chip_bar(before, parts, o);
    if (after != before) {
        o << "<p>Layout after the run</p>\n";
        chip_bar(after, parts, o);
    }
    o << "<table><thead><tr><th>partition</th><th>range before</th><th>range after</th>"
         "<th>erased</th><th>written</th><th>writes</th><th>violations</th></tr></thead><tbody>\n";
    for (int n = 0; n < 10; ++n) {
        const std::string name = "mtd" + std::to_string(n);
        const json p = parts.value(name, json::object());
        auto range = [&](const std::map<int, std::pair<unsigned long, unsigned long>>& w) {
            const auto it = w.find(n);
            return it == w.end() ? std::string("?")
                                 : hex32(it->second.first) + ".." + hex32(it->second.second);
        };
        const std::string rb = range(before), ra = range(after);
        o << "<tr" << (rb != ra ? " class=\"changed\"" : "") << "><td>" << name << "</td><td>" << rb
          << "</td><td>" << ra << "</td><td>" << p.value("erased_bytes", 0UL) << "</td><td>"
          << p.value("written_bytes", 0UL) << "</td><td>" << p.value("writes", 0) << "</td><td>"
          << p.value("violations", 0) << "</td></tr>\n";
    }
    o << "</tbody></table>\n";
}

void section_env(const json& r, std::ostream& o)
{
    std::map<std::string, std::string> before, after;
    std::vector<std::string> names;
    auto load = [&](const json& env, std::map<std::string, std::string>* m) {
        for (const auto& p : env) {
            if (!p.is_array() || p.size() != 2) continue;
            const std::string n = p[0].get<std::string>();
            if (before.count(n) == 0 && after.count(n) == 0) names.push_back(n);
            (*m)[n] = p[1].get<std::string>();
        }
    };
    load(r.value("env_before", json::array()), &before);
    load(r.value("env_after", json::array()), &after);
    int changes = 0;
    std::ostringstream rows;
    for (const std::string& n : names) {
        const auto b = before.find(n), a = after.find(n);
        const char* css = b == before.end()        ? "added"
                          : a == after.end()       ? "removed"
                          : b->second != a->second ? "changed"
                                                   : "";
        if (*css != '\0') ++changes;
        rows << "<tr class=\"" << css << "\"><td>" << html_escape(n) << "</td><td>"
             << (b == before.end() ? "" : html_escape(b->second)) << "</td><td>"
             << (a == after.end() ? "" : html_escape(a->second)) << "</td><td>" << css
             << "</td></tr>\n";
    }
    o << "<h2 id=\"environment\">Boot environment</h2>\n<p class=\"facts\">" << changes
      << (changes == 1 ? " variable" : " variables") << " set, changed or removed.</p>\n"
      << "<table><thead><tr><th>name</th><th>before</th><th>after</th><th></th></tr></thead>"
         "<tbody>\n"
      << rows.str() << "</tbody></table>\n";
}

void section_files(const json& r, std::ostream& o)
{
    o << "<h2 id=\"files\">Files</h2>\n";
    const json before_all = r.value("files_before", json::object());
    const json after_all = r.value("files", json::object());
    for (const char* folder : {"config", "tmp"}) {
        std::map<std::string, json> before, after;
        for (const auto& f : before_all.value(folder, json::array())) before[f["path"]] = f;
        for (const auto& f : after_all.value(folder, json::array())) after[f["path"]] = f;
        std::ostringstream rows;
        int unchanged = 0;
        auto row = [&](const std::string& path, const char* what, const json& f) {
            rows << "<tr class=\"" << what << "\"><td>" << html_escape(path) << "</td><td>"
                 << f.value("size", 0UL) << "</td><td>" << what << "</td></tr>\n";
        };
        for (const auto& [path, f] : after) {
            const auto b = before.find(path);
            if (b == before.end())
                row(path, "added", f);
            else if (b->second.value("hash", std::string()) != f.value("hash", std::string()))
                row(path, "changed", f);
            else
                ++unchanged;
        }
        for (const auto& [path, f] : before)
            if (after.count(path) == 0) row(path, "removed", f);
        o << "<p>/" << folder << ": " << unchanged << " unchanged.</p>\n";
        const std::string body = rows.str();
        if (!body.empty())
            o << "<table><thead><tr><th>path</th><th>bytes</th><th></th></tr></thead><tbody>\n"
              << body << "</tbody></table>\n";
    }
}

} // namespace

std::string html_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            // Control characters other than tab and line end would make
            // the page invalid: shown as U+FFFD.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
                out += "\xEF\xBF\xBD";
            else
                out += c;
        }
    }
    return out;
}

std::string base64_encode(const std::string& bytes)
{
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string report_read_file(const std::string& path, size_t limit)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return "";
    std::string out;
    char buf[65536];
    while (out.size() < limit && f.read(buf, sizeof buf).gcount() > 0)
        out.append(buf, std::min(static_cast<size_t>(f.gcount()), limit - out.size()));
    return out;
}

std::string run_page_html(const std::string& run_dir)
{
    const std::string text = report_read_file(run_dir + "/report.json", kMaxReport);
    const json r = json::parse(text, nullptr, false);
    if (text.empty() || r.is_discarded() || !r.is_object())
        throw std::runtime_error(run_dir + "/report.json: missing or not a run report");
    const run_verdict v = judge_run(r);
    std::ostringstream o;
    const int run = r.value("run", 0);
    o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>Run " << run << ": " << (v.success ? "upgrade succeeded" : "upgrade failed")
      << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
      << "<h1>Run " << run << " of the simulated phone</h1>\n"
      << "<p class=\"verdict " << (v.success ? "ok" : "failed") << "\" id=\"verdict\">"
      << html_escape(v.sentence) << "</p>\n"
      << "<p class=\"facts\">Ended by " << html_escape(r.value("ended_by", std::string("?")))
      << " after " << seconds(r.value("duration_ms", 0LL)) << " s; program exit status "
      << r.value("exit_status", -1) << " (-1: still running at power-off); " << r["syslog"].size()
      << " syslog lines, " << r["ipc"].size() << " IPC deliveries, "
      << r["frames"].value("stored", 0) << " screens.</p>\n"
      << "<p class=\"facts\">Sections: <a href=\"#film\">screens</a> · <a "
         "href=\"#timeline\">timeline</a> · <a href=\"#flash\">flash</a> · <a "
         "href=\"#environment\">boot environment</a> · <a href=\"#files\">files</a></p>\n";
    section_film(run_dir, r, o);
    section_timeline(r, o);
    section_flash(r, o);
    section_env(r, o);
    section_files(r, o);
    o << "</body>\n</html>\n";
    return o.str();
}

std::string write_run_page(const std::string& run_dir)
{
    const std::string page = run_page_html(run_dir);
    std::string path = run_dir + "/report.html";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << page;
    out.close();
    if (!out) throw std::runtime_error(path + ": " + std::strerror(errno));
    return path;
}
