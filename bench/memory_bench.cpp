// bench/memory_bench.cpp - peak resident memory of a file-mode upgrade of
// an 8 MiB image on the simulated phone.
//
// Makes a phone with this build's upgrader, an image whose ten partitions
// fill the ten MTD partitions (8 MiB, the whole chip) as /config/rom.bin,
// and runs "/basic/bin/upgrader /config/rom.bin" to its reboot. The
// simulator records the upgrader's memory at power-off (memory.json):
// VmHWM, and the resident size per mapping. The simulated devices live in
// the process too (the device layer's library, the chip file it maps, the
// framebuffer file); on the phone they are the kernel's. They are never
// unmapped, so their resident size at power-off is what they add to the
// peak. The goal: the upgrader's own peak (VmHWM less what they add) is at
// most the image plus 2 MiB. Exit status 2 when it is missed.
#include "boot.h"
#include "phone_state.h"
#include "rom_builder.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr double kAllowanceMib = 2.0;

std::vector<unsigned char> make_image()
{
    rom_image_desc rom;
    rom.device_id = 59;
    rom.rom_version = rom_version_from_text("2.150.8.0");
    rom.match_id[0] = 3;
    std::uint32_t x = 99;
    for (const mtd_range& r : phone_default_layout()) {
        rom_partition_desc p;
        p.partition_id = static_cast<unsigned int>(r.index);
        p.version = rom_version_from_text("2.150.8." + std::to_string(r.index + 1));
        p.data.resize(r.end - r.start);
        for (auto& b : p.data) {
            x = x * 1103515245U + 12345U;
            b = static_cast<unsigned char>(x >> 16);
        }
        rom.partitions.push_back(std::move(p));
    }
    return rom_build(rom);
}

double mib(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}

int measure(const std::string& dir)
{
    phone_init(dir, phone_options{});
    phone_install_program(dir, UPGRADER);
    const std::vector<unsigned char> image = make_image();
    fs::create_directories(dir + "/files/config");
    std::ofstream(dir + "/files/config/rom.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));

    boot_request req;
    req.state_dir = dir;
    req.argv = {"/basic/bin/upgrader", "/config/rom.bin"};
    req.host_binds = {PHONESIM_BUILD_DIR};
    req.time_scale = 50;
    req.time_limit_ms = 120000;
    const boot_result r = phonesim_boot(req);
    const std::string run = phonesim_run_dir(dir, r.run);
    if (!r.rebooted) {
        std::fprintf(stderr, "memory_bench: the upgrade did not end in a reboot; see %s\n",
                     run.c_str());
        return 1;
    }
    const nlohmann::json report = nlohmann::json::parse(phone_file(run + "/report.json"));
    if (report["flash"]["partitions"].size() != phone_default_layout().size()) {
        std::fprintf(stderr, "memory_bench: not every partition was burned; see %s\n", run.c_str());
        return 1;
    }
    const std::string text = phone_file(run + "/memory.json");
    if (text.empty()) {
        std::fprintf(stderr, "memory_bench: no memory.json in %s\n", run.c_str());
        return 1;
    }
    const nlohmann::json m = nlohmann::json::parse(text);
    const long hwm = m["vm_hwm_kib"].get<long>();
    long chip = 0, devlayer = 0, fb = 0, other_sim = 0, image_rss = 0, libraries = 0;
    for (const auto& [path, kib] : m["rss_kib_by_mapping"].items()) {
        const long v = kib.get<long>();
        if (path == "/.sim/flash/chip.bin")
            chip += v;
        else if (path == "/.sim/dev/fb0")
            fb += v;
        else if (path.rfind("/.sim/", 0) == 0)
            other_sim += v;
        else if (path.find("phonesim_devices") != std::string::npos)
            devlayer += v;
        else if (path == "/config/rom.bin")
            image_rss += v;
        else if (path.find(".so") != std::string::npos && path.rfind("/usr/lib/", 0) == 0)
            libraries += v;
    }
    const long devices = chip + devlayer + fb + other_sim;
    const long own = hwm - devices;
    const double image_mib = static_cast<double>(image.size()) / (1 << 20);
    const double over = mib(own) - image_mib;
    const bool met = over <= kAllowanceMib;
    // The C and C++ libraries' resident pages count in the peak; they are
    // the libraries' code and data shared with the phone's other
    // processes, shown apart so that the program's private share is seen.
    std::printf("memory: file-mode upgrade of a %.1f MiB image  peak RSS (VmHWM) %.1f MiB  "
                "simulated devices %.1f MiB (chip file %.1f, device layer library %.1f, "
                "framebuffer file %.2f, counters %.2f)  upgrader's own %.1f MiB "
                "(image mapping %.1f resident, shared libraries %.1f, the rest %.2f) "
                "= image + %.2f MiB (target <= image + %.0f MiB)%s\n",
                image_mib, mib(hwm), mib(devices), mib(chip), mib(devlayer), mib(fb),
                mib(other_sim), mib(own), mib(image_rss), mib(libraries),
                mib(own - image_rss - libraries), over, kAllowanceMib, met ? "" : "  MISSED");
    return met ? 0 : 2;
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/phonesim-memory.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("memory_bench: mkdtemp /tmp/phonesim-memory.XXXXXX");
        return 1;
    }
    int status = 1;
    try {
        status = measure(tmpl);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "memory_bench: %s\n", e.what());
    }
    std::error_code ec;
    if (status != 1 && std::getenv("MEMORY_BENCH_KEEP") == nullptr) fs::remove_all(tmpl, ec);
    return status;
}
