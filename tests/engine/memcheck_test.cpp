// A whole file-mode upgrade of the program under valgrind's memcheck, on
// a simulated phone: no error is reported from the start to the reboot.
#include "boot.h"
#include "phone_state.h"
#include "rom_builder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(Memcheck, AFileModeUpgradeReportsNoError)
{
    char tmpl[] = "/tmp/phonesim-memcheck.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    phone_init(dir, phone_options{});
    phone_install_program(dir, UPGRADER);

    rom_image_desc desc;
    desc.device_id = 59;
    desc.rom_version = rom_version_from_text("2.150.8.0");
    desc.match_id[0] = 3;
    for (unsigned int mtd : {5U, 6U}) {
        rom_partition_desc p;
        p.partition_id = mtd;
        p.version = rom_version_from_text("2.150.8." + std::to_string(mtd));
        p.data.resize(200000 + mtd * 1000);
        for (size_t i = 0; i < p.data.size(); ++i) p.data[i] = static_cast<unsigned char>(i * mtd);
        desc.partitions.push_back(p);
    }
    const std::vector<unsigned char> image = rom_build(desc);
    fs::create_directories(dir + "/files/config");
    std::ofstream(dir + "/files/config/rom.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));

    boot_request req;
    req.state_dir = dir;
    // The reboot powers the phone off under the program: memcheck writes
    // each error as it finds it, so the log is complete up to that moment.
    req.argv = {VALGRIND,           "--tool=memcheck",     "--log-file=/config/memcheck.log",
                "--error-limit=no", "--track-origins=yes", "/basic/bin/upgrader",
                "/config/rom.bin"};
    req.host_binds = {PHONESIM_BUILD_DIR};
    req.time_scale = 50;
    req.time_limit_ms = 240000;
    const boot_result r = phonesim_boot(req);
    const std::string run = phonesim_run_dir(dir, r.run);
    EXPECT_TRUE(r.rebooted) << phone_file(run + "/syslog.txt");
    const nlohmann::json report = nlohmann::json::parse(phone_file(run + "/report.json"));
    EXPECT_EQ(report["flash"]["partitions"].size(), 2U) << "the whole upgrade ran";

    const std::string log = phone_file(dir + "/files/config/memcheck.log");
    EXPECT_NE(log.find("Memcheck, a memory error detector"), std::string::npos) << log;
    EXPECT_NE(log.find("/basic/bin/upgrader /config/rom.bin"), std::string::npos) << log;
    // An error is reported with its stack: "at 0x..." and "by 0x..." lines.
    EXPECT_EQ(log.find(" at 0x"), std::string::npos) << log;
    EXPECT_EQ(log.find(" by 0x"), std::string::npos) << log;
    if (!HasFailure())
        fs::remove_all(dir);
    else
        fprintf(stderr, "phone kept in %s\n", dir.c_str());
}

} // namespace
