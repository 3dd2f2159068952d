// sim/demo.cpp - making a phone, making a ROM image with mkrom, running
// a whole upgrade in shared-memory mode, and telling a person what happened.
#include "demo.h"

#include "boot.h"
#include "env_store.h"
#include "html_report.h"
#include "layout.h"
#include "phone_state.h"
#include "run_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// A partition of the demo image: its MTD number, version and data.
struct demo_part {
    unsigned int mtd;
    const char* version;
    size_t size;
};
const demo_part kParts[] = {{0, "2.150.8.1", size_t{300} * 1024},
                            {5, "2.150.8.2", size_t{200} * 1024},
                            {6, "2.150.8.3", size_t{700} * 1024 + 100}};

std::string part_data(const demo_part& p)
{
    std::string d(p.size, '\0');
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<char>(p.mtd + i * 13 + i / 251);
    return d;
}

// Builds the image with mkrom: the partitions above and a configuration
// change, for this phone (model 59, match identifier 3), newer than what it
// has. Returns its path, or "" when mkrom failed.
std::string make_image(const std::string& dir, const std::string& mkrom)
{
    const std::string work = dir + "/demo-image";
    fs::create_directories(work);
    std::string cmd = mkrom + " -o " + work + "/demo.rom --device-id 59 --rom-version 2.150.8.0" +
                      " --match-id 3";
    for (const demo_part& p : kParts) {
        const std::string file = work + "/mtd" + std::to_string(p.mtd) + ".bin";
        std::ofstream(file, std::ios::binary) << part_data(p);
        cmd += " --part id=" + std::to_string(p.mtd) + ",version=" + p.version + ",file=" + file;
    }
    std::ofstream(work + "/config_modify.txt") << "[Phone]\nRingtone = Ring2.wav\n";
    cmd += " --part id=255,type=3,file=" + work + "/config_modify.txt";
    std::cout << "$ " << cmd << std::endl;
    if (std::system(cmd.c_str()) != 0) return "";
    return work + "/demo.rom";
}

// The milestones of a run, found in its syslog, in the order they happen.
void print_stages(const std::string& log)
{
    const struct {
        const char* line;
        const char* stage;
    } stages[] = {
        {"locked upgrader_process", "process lock taken, watchdog off"},
        {"Memory attached at", "shared upgrade record attached"},
        {"locked memory_semid", "memory lock taken"},
        {"shellcmd:/tmp/bin/cat /proc/ver/software", "boot environment and versions read"},
        {"rom_upgrade_check start", "ROM image well-formed, partitions to burn chosen"},
        {"RomVersion name:", "ROM accepted for this device"},
        {"locked burn_flash_semid", "applications stopped, burn lock taken"},
        {"last size:", "partitions erased and written"},
        {"config ok", "configuration fixes done"},
    };
    for (const auto& s : stages)
        std::cout << "  " << (log.find(s.line) != std::string::npos ? "[x] " : "[ ] ") << s.stage
                  << "\n";
}

// Whether the chip now holds the image's partitions in their windows and
// is unchanged everywhere else.
bool flash_is_exactly_the_image(const std::string& before, const std::string& after,
                                const env_vars& env)
{
    if (before.size() != after.size()) return false;
    std::string expected = before;
    for (const demo_part& p : kParts) {
        const std::string* range = env_find(env, "mtd" + std::to_string(p.mtd));
        unsigned int start = 0, end = 0;
        if (range == nullptr || std::sscanf(range->c_str(), "%x,%x", &start, &end) != 2)
            return false;
        const size_t at = start - phone::kChipBase;
        const size_t window = end - start;
        // The whole window is erased, then the data written at its start.
        expected.replace(at, window, std::string(window, '\xff'));
        expected.replace(at, p.size, part_data(p));
    }
    return expected == after;
}

} // namespace

int phonesim_demo(const std::string& dir, const std::string& upgrader, const std::string& build_dir)
{
    fs::remove_all(dir);
    phone_init(dir, phone_options{});
    phone_install_program(dir, upgrader);
    std::cout << "== a new simulated phone in " << dir << " (model 59, installed 2.0.0.14)\n";
    const std::string image = make_image(dir, build_dir + "/tools/mkrom");
    if (image.empty()) {
        std::cout << "mkrom failed\n";
        return 1;
    }
    const std::string chip_before = slurp(dir + "/flash/chip.bin");
    const env_vars env_before = env_load(dir + "/env.txt");

    std::cout << "== the loader puts it into the shared upgrade record and starts "
                 "/basic/bin/upgrader\n";
    boot_request req;
    req.state_dir = dir;
    req.argv = {"/basic/bin/upgrader"};
    req.host_binds = {build_dir};
    req.shm.enabled = true;
    const std::string bytes = slurp(image);
    req.shm.image.assign(bytes.begin(), bytes.end());
    req.time_limit_ms = 600000;
    req.time_scale = 20;
    const boot_result r = phonesim_boot(req);
    const std::string run_dir = phonesim_run_dir(dir, r.run);
    const nlohmann::json report = nlohmann::json::parse(slurp(run_dir + "/report.json"));
    const std::string log = slurp(run_dir + "/syslog.txt");

    std::cout << "== what happened\n";
    print_stages(log);
    std::cout << "  " << (r.rebooted ? "[x] " : "[ ] ") << "rebooted"
              << (r.rebooted ? " with \"" + r.reboot_command + "\"" : "") << "\n";
    std::cout << "== the run\n" << report_summary(report, run_dir);

    std::cout << "== broadcasts (what every receiver got)\n";
    for (const auto& m : report["ipc"]) {
        if (m["receiver"] != 1) continue;
        const int id = m["msg_id"], p1 = m["param1"];
        std::cout << "  msg_id " << id << " param1 " << p1
                  << (id == 4 && p1 == 2 ? "  (ROM accepted, applications about to stop)" : "")
                  << (id == 3 ? "  (upgrade failed)" : "") << "\n";
    }
    std::cout << "== settings changed in the boot environment\n";
    const env_vars env_after = env_load(dir + "/env.txt");
    int changed = 0;
    for (const auto& [name, value] : env_after) {
        const std::string* old = env_find(env_before, name);
        if (old != nullptr && *old == value) continue;
        std::cout << "  " << name << ": " << (old != nullptr ? *old : "(unset)") << " -> " << value
                  << "\n";
        ++changed;
    }
    if (changed == 0) std::cout << "  none (the device keeps its OEM and protection settings)\n";
    std::cout << "== files under /config\n";
    for (const auto& f : report["files"]["config"])
        std::cout << "  " << f["path"].get<std::string>() << " (" << f["size"] << " bytes)\n";

    const bool flash_ok =
        flash_is_exactly_the_image(chip_before, slurp(dir + "/flash/chip.bin"), env_before);
    std::cout << "== flash check: "
              << (flash_ok ? "the partitions hold exactly the image's data; the rest of the chip "
                             "is unchanged"
                           : "the chip does NOT hold what the image says")
              << "\n";

    // The screens: the first and last progress pictures and the last one.
    std::vector<std::string> frames;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(run_dir + "/frames", ec))
        frames.push_back(e.path().string());
    std::sort(frames.begin(), frames.end());
    std::cout << "== screens: " << frames.size() << " pictures in " << run_dir << "/frames/\n";
    if (frames.size() >= 2) {
        std::cout << "  first progress screen: " << frames[1] << "\n";
        std::cout << "  last screen:           " << frames.back() << "\n";
    }
    std::cout << "  full log: " << run_dir << "/syslog.txt\n";
    std::cout << "== the run report: " << write_run_page(run_dir) << "\n";
    return r.rebooted && flash_ok ? 0 : 1;
}
