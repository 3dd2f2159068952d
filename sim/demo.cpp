// sim/demo.cpp - making a phone, running the upgrader on it, showing the run.
#include "demo.h"

#include "boot.h"
#include "phone_state.h"
#include "run_report.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace fs = std::filesystem;

int phonesim_demo(const std::string& dir, const std::string& upgrader, const std::string& build_dir)
{
    phone_init(dir, phone_options{});
    phone_install_program(dir, upgrader);
    std::cout << "== a new simulated phone in " << dir << "\n";

    boot_request req;
    req.state_dir = dir;
    req.argv = {"/basic/bin/upgrader"};
    req.host_binds = {build_dir};
    req.time_limit_ms = 600000;
    req.time_scale = 20;
    const boot_result r = phonesim_boot(req);
    const std::string run_dir = phonesim_run_dir(dir, r.run);

    std::cout << "== syslog of the run\n";
    std::ifstream log(run_dir + "/syslog.txt");
    std::cout << log.rdbuf();
    std::cout << "== summary\n";
    std::ifstream f(run_dir + "/report.json");
    const nlohmann::json report = nlohmann::json::parse(f, nullptr, false);
    if (!report.is_discarded()) std::cout << report_summary(report, run_dir);
    std::error_code ec;
    int frames = 0;
    for (const auto& e : fs::directory_iterator(run_dir + "/frames", ec)) {
        (void)e;
        ++frames;
    }
    std::cout << "== screens: " << (frames > 0 ? run_dir + "/frames/*.png" : "none drawn yet")
              << "\n";
    return r.exit_status < 0 && !r.rebooted ? 1 : 0;
}
