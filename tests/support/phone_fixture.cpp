// A fixture that boots simulated phones from the host.
#include "phone_fixture.h"

#include "layout.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string fixture_upgrader()
{
    const char* other = std::getenv("UPG_TEST_UPGRADER");
    return other != nullptr && *other != '\0' ? other : UPGRADER;
}

void PhoneFixture::SetUp()
{
    char tmpl[] = "/tmp/phonesim-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    make_phone();
    desc_ = fixture_image();
    desc_.partitions.push_back(fixture_partition(5, "2.150.8.2", fixture_data(70000, 5)));
}

void PhoneFixture::TearDown()
{
    if (dir_.empty()) return;
    if (!HasFailure())
        fs::remove_all(dir_);
    else
        fprintf(stderr, "phone kept in %s\n", dir_.c_str());
}

void PhoneFixture::make_phone(const phone_options& o)
{
    phone_init(dir_, o);
    phone_install_program(dir_, fixture_upgrader());
}

boot_result PhoneFixture::boot(boot_request req)
{
    req.state_dir = dir_;
    req.host_binds.push_back(PHONESIM_BUILD_DIR);
    if (req.time_limit_ms == 0) req.time_limit_ms = 60000;
    if (req.time_scale == 1.0) req.time_scale = time_scale_;
    result_ = phonesim_boot(req);
    run_dir_ = phonesim_run_dir(dir_, result_.run);
    report_ = nlohmann::json::parse(phone_file(run_dir_ + "/report.json"));
    log_ = phone_file(run_dir_ + "/syslog.txt");
    return result_;
}

boot_request PhoneFixture::request(std::vector<std::string> argv, std::vector<std::string> faults,
                                   const std::string& screen)
{
    boot_request req;
    req.argv = std::move(argv);
    req.faults = std::move(faults);
    if (!screen.empty()) req.keys = {parse_key_press("35@log:" + screen)};
    return req;
}

boot_request PhoneFixture::shm_request(const std::vector<unsigned char>& image,
                                       std::vector<std::string> faults, const std::string& screen)
{
    boot_request req = request({"/basic/bin/upgrader"}, std::move(faults), screen);
    req.shm.enabled = true;
    req.shm.image.assign(image.begin(), image.end());
    return req;
}

void PhoneFixture::put_rom_file(const std::vector<unsigned char>& image) const
{
    phone_put_file(dir_ + "/files/config/rom.bin", std::string(image.begin(), image.end()));
}

bool PhoneFixture::logged(const std::string& text) const
{
    return log_.find(text) != std::string::npos;
}

std::vector<syslog_record> PhoneFixture::records(const std::string& text) const
{
    std::vector<syslog_record> out;
    std::istringstream in(phone_file(run_dir_ + "/syslog.jsonl"));
    for (std::string l; std::getline(in, l);) {
        syslog_record r = syslog_from_json(nlohmann::json::parse(l));
        if (r.msg.find(text) != std::string::npos) out.push_back(r);
    }
    return out;
}

std::string PhoneFixture::chip(uint32_t addr, size_t n) const
{
    const std::string c = phone_file(dir_ + "/flash/chip.bin");
    const size_t at = addr - phone::kChipBase;
    return at <= c.size() ? c.substr(at, n) : std::string();
}

bool PhoneFixture::flash_holds(const rom_image_desc& desc) const
{
    const std::string c = phone_file(dir_ + "/flash/chip.bin");
    for (const rom_partition_desc& p : desc.partitions) {
        if (p.partition_type != 0) continue;
        const mtd_range* place = nullptr;
        for (const mtd_range& r : phone_default_layout())
            if (static_cast<unsigned int>(r.index) == p.partition_id) place = &r;
        if (place == nullptr) return false;
        const size_t at = place->start - phone::kChipBase;
        if (c.size() < at + p.data.size() ||
            c.compare(at, p.data.size(), reinterpret_cast<const char*>(p.data.data()),
                      p.data.size()) != 0)
            return false;
    }
    return true;
}

PhoneFixture::steps PhoneFixture::broadcasts() const
{
    steps out;
    for (const auto& m : report_["ipc"]) {
        if (m["receiver"] != 6) continue; // the own id gets every broadcast too
        out.emplace_back(m["msg_id"].get<int>(), m["param1"].get<int>());
    }
    return out;
}

std::vector<std::string> PhoneFixture::run_lines(const std::string& name) const
{
    std::vector<std::string> out;
    std::ifstream f(run_dir_ + "/" + name);
    for (std::string l; std::getline(f, l);) out.push_back(l);
    return out;
}
