// sim/demo.cpp - making a phone, running the upgrader on it, showing the run.
#include "demo.h"

#include "boot.h"
#include "phone_state.h"
#include "rom_builder.h"
#include "run_report.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::vector<unsigned char> pattern(size_t size, unsigned char seed)
{
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(seed + i * 13 + i / 251);
    return data;
}

// A ROM image for the demo phone (model 59, match identifier 3): a
// kernel, the basic and application file systems, and a configuration
// change, newer than what the phone has.
std::vector<unsigned char> demo_image()
{
    rom_image_spec spec;
    spec.device_id = 59;
    spec.rom_version = rom_version_from_text("2.150.8.0");
    spec.match_id[0] = 3;
    const struct {
        unsigned int id;
        const char* version;
        size_t size;
    } parts[] = {{0, "2.150.8.1", size_t{300} * 1024},
                 {5, "2.150.8.2", size_t{200} * 1024},
                 {6, "2.150.8.3", size_t{700} * 1024 + 100}};
    for (const auto& p : parts) {
        rom_partition_spec part;
        part.partition_id = p.id;
        part.version = rom_version_from_text(p.version);
        part.data = pattern(p.size, static_cast<unsigned char>(p.id));
        spec.partitions.push_back(part);
    }
    rom_partition_spec change;
    change.partition_id = 255;
    change.partition_type = 3;
    const std::string text = "[Phone]\nRingtone = Ring2.wav\n";
    change.data.assign(text.begin(), text.end());
    spec.partitions.push_back(change);
    return rom_build(spec);
}

} // namespace

int phonesim_demo(const std::string& dir, const std::string& upgrader, const std::string& build_dir)
{
    phone_init(dir, phone_options{});
    phone_install_program(dir, upgrader);
    std::cout << "== a new simulated phone in " << dir << "\n";

    const std::vector<unsigned char> image = demo_image();
    std::cout << "== a ROM image of " << image.size()
              << " bytes (kernel, basic and application partitions, a configuration change),\n"
                 "   loaded into the shared upgrade record as the phone's loader does;\n"
                 "   the upgrader starts without arguments\n";

    boot_request req;
    req.state_dir = dir;
    req.argv = {"/basic/bin/upgrader"};
    req.host_binds = {build_dir};
    req.shm.enabled = true;
    req.shm.image.assign(image.begin(), image.end());
    req.shm.state = 0;
    req.time_limit_ms = 600000;
    req.time_scale = 20;
    const boot_result r = phonesim_boot(req);
    const std::string run_dir = phonesim_run_dir(dir, r.run);

    // The debug lines are many (one per erase and screen); they stay in the
    // full log.
    std::cout << "== syslog of the run (info and above; everything in " << run_dir
              << "/syslog.txt)\n";
    std::ifstream log(run_dir + "/syslog.txt");
    std::string line;
    int debug = 0;
    bool skipping = false;
    while (std::getline(log, line)) {
        const bool starts_record = line.size() > 9 && line[8] == ' ';
        if (starts_record) skipping = line.find(".debug : ") != std::string::npos;
        if (skipping) {
            debug += starts_record ? 1 : 0;
            continue;
        }
        std::cout << line << "\n";
    }
    std::cout << "   (" << debug << " debug lines left out)\n";
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
