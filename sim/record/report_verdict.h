// sim/report_verdict.h - how a run ended, in one sentence for a person.
//
// judge_run() reads a run's report.json (see run_report.h) and says whether
// the upgrade succeeded; when it did not, where it stopped (the last
// milestone of the upgrade seen in the syslog) and why: the failure text
// the program put on its screen, the failure ID, and the last line logged
// at level err or worse.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// A step of an upgrade as the syslog shows it: a line that is logged once
// the step is done, what is then done, and what the program does until
// that line appears.
struct run_milestone {
    const char* line;
    const char* done;
    const char* doing;
};
// The milestones in the order an upgrade reaches them.
const std::vector<run_milestone>& run_milestones();

struct run_verdict {
    bool success = false;
    std::string sentence;     // the headline
    std::string stage;        // what the program was doing when it stopped ("" on success)
    std::string failure_text; // the failure screen's text, "" when none was shown
    bool has_failure_id = false;
    int failure_id = 0;
    std::string last_error; // the last err-or-worse syslog text, "" when none
};

run_verdict judge_run(const nlohmann::json& report);

// A syslog message without the program's "name pidN,tidN,lN: " prefix and
// without surrounding blank lines.
std::string syslog_text(const std::string& msg);
