// bench/callgrind_count.cpp - instructions per call of one function, from a
// callgrind output file of a run collected with --toggle-collect on it.
//
//   callgrind_count FILE FUNCTION [EXCLUDED_OBJECT]
//
// prints one line: "calls N total T excluded E inclusive I per_call P",
// where N is the number of calls into FUNCTION (its exact demangled name),
// T the instructions collected, E those spent in calls from other objects
// into an object whose path contains EXCLUDED_OBJECT (the simulated
// phone's device layer, which stands in for the kernel), I the inclusive
// instructions of the calls into FUNCTION, and P = (T - E) / N.
// Exit status 1 when the file cannot be read or holds no such call.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

// A name as callgrind writes it: "(id) name" defines a compressed id,
// "(id)" refers back to one, anything else is the name itself.
std::string resolve(std::map<std::string, std::string>& names, const std::string& v)
{
    if (v.empty() || v[0] != '(') return v;
    const std::size_t close = v.find(')');
    if (close == std::string::npos) return v;
    const std::string id = v.substr(0, close + 1);
    if (close + 1 < v.size()) {
        std::size_t at = close + 1;
        while (at < v.size() && v[at] == ' ') ++at;
        names[id] = v.substr(at);
    }
    return names[id];
}

bool starts(const std::string& s, const char* prefix, std::string* rest)
{
    const std::size_t n = std::char_traits<char>::length(prefix);
    if (s.compare(0, n, prefix) != 0) return false;
    *rest = s.substr(n);
    return true;
}

// The last number of a cost line ("position cost"): with one event, the
// instruction count.
unsigned long long last_number(const std::string& line)
{
    const std::size_t at = line.find_last_of(' ');
    return std::strtoull(line.c_str() + (at == std::string::npos ? 0 : at + 1), nullptr, 10);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: callgrind_count FILE FUNCTION [EXCLUDED_OBJECT]\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "callgrind_count: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string function = argv[2];
    const std::string excluded = argc > 3 ? argv[3] : "";
    std::map<std::string, std::string> obs, fns;
    std::string ob, cob, cfn, line, rest;
    unsigned long long total = 0, excluded_ir = 0, calls = 0, inclusive = 0;
    bool have_total = false, call_pending = false, into_excluded = false, into_function = false;
    while (std::getline(in, line)) {
        if (call_pending) {
            // The line after "calls=" holds the call's inclusive cost.
            if (into_excluded) excluded_ir += last_number(line);
            if (into_function) inclusive += last_number(line);
            call_pending = false;
            cob.clear();
            continue;
        }
        if (starts(line, "ob=", &rest)) {
            ob = resolve(obs, rest);
        } else if (starts(line, "cob=", &rest)) {
            cob = resolve(obs, rest);
        } else if (starts(line, "fn=", &rest)) {
            resolve(fns, rest);
        } else if (starts(line, "cfn=", &rest)) {
            cfn = resolve(fns, rest);
        } else if (starts(line, "calls=", &rest)) {
            const std::string callee_ob = cob.empty() ? ob : cob;
            into_excluded = !excluded.empty() && callee_ob.find(excluded) != std::string::npos &&
                            ob.find(excluded) == std::string::npos;
            into_function = cfn == function;
            if (into_function) calls += std::strtoull(rest.c_str(), nullptr, 10);
            call_pending = true;
        } else if (starts(line, "totals:", &rest) || starts(line, "summary:", &rest)) {
            std::istringstream(rest) >> total;
            have_total = true;
        }
    }
    if (!have_total || calls == 0) {
        std::fprintf(stderr, "callgrind_count: no call of %s in %s\n", function.c_str(), argv[1]);
        return 1;
    }
    std::printf("calls %llu total %llu excluded %llu inclusive %llu per_call %llu\n", calls, total,
                excluded_ir, inclusive, (total - excluded_ir) / calls);
    return 0;
}
