// sim/env_store.cpp - parsing, rendering and storing the boot environment.
#include "env_store.h"

#include "sys_error.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string strip_cr(std::string s)
{
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
}

} // namespace

env_vars env_parse(const std::string& text)
{
    env_vars vars;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = strip_cr(line);
        if (line.empty()) continue;
        const size_t sep = line.find_first_of(" \t");
        if (sep == std::string::npos)
            vars.emplace_back(line, "");
        else
            vars.emplace_back(line.substr(0, sep), line.substr(sep + 1));
    }
    return vars;
}

std::string env_render(const env_vars& vars)
{
    std::string out;
    for (const auto& [name, value] : vars) out += name + "\t" + value + "\n";
    return out;
}

void env_apply_line(env_vars& vars, const std::string& raw)
{
    const std::string line = strip_cr(raw);
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return;
    const size_t sep = line.find_first_of(" \t", start);
    const std::string name = line.substr(start, sep - start);
    if (sep == std::string::npos) {
        for (auto it = vars.begin(); it != vars.end(); ++it) {
            if (it->first == name) {
                vars.erase(it);
                return;
            }
        }
        return;
    }
    std::string value = line.substr(sep + 1);
    for (auto& [n, v] : vars) {
        if (n == name) {
            v = value;
            return;
        }
    }
    vars.emplace_back(name, value);
}

const std::string* env_find(const env_vars& vars, const std::string& name)
{
    for (const auto& [n, v] : vars)
        if (n == name) return &v;
    return nullptr;
}

env_vars env_load(const std::string& path)
{
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return env_parse(s.str());
}

void env_save(const std::string& path, const env_vars& vars)
{
    const std::string tmp = path + ".new";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << env_render(vars);
        if (!f) throw std::runtime_error("cannot write " + tmp);
    }
    if (rename(tmp.c_str(), path.c_str()) < 0) sim_throw("rename", tmp);
}
