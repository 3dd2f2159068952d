// sim/phone_state.cpp - making a phone and powering it on.
#include "phone_state.h"

#include "env_store.h"
#include "layout.h"
#include "sys_error.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

std::string hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

// A recognisable, reproducible filling for a partition of a new phone:
// its name at the start of every block, then a counter pattern.
void fill_partition(std::vector<uint8_t>& chip, const mtd_range& r)
{
    const uint32_t from = r.start - phone::kChipBase, to = r.end - phone::kChipBase;
    for (uint32_t off = from; off < to; ++off) {
        const uint32_t rel = off - from;
        chip[off] = static_cast<uint8_t>((rel * 7U + static_cast<uint32_t>(r.index) * 31U) & 0xFF);
    }
    for (uint32_t blk = from; blk < to; blk += phone::kEraseBlock) {
        const std::string tag = "mtd" + std::to_string(r.index) + " block " +
                                std::to_string((blk - from) / phone::kEraseBlock);
        std::copy(tag.begin(), tag.end(), chip.begin() + blk);
    }
}

env_vars default_env(const phone_options& opt)
{
    env_vars env;
    for (const mtd_range& r : phone_default_layout())
        env.emplace_back("mtd" + std::to_string(r.index), hex(r.start) + "," + hex(r.end));
    env.emplace_back("Mtd2Version", "1.0.0.8");
    env.emplace_back("SW_OEM", "0");
    env.emplace_back("SW_protect", "0");
    env.emplace_back("MID_VERSION", "0");
    env.emplace_back("HWA_0", "00:15:65:00:00:01");
    for (const auto& [name, value] : opt.env) env_apply_line(env, name + " " + value);
    return env;
}

// The windows of this boot, as the device layer reads them.
std::string windows_text(const env_vars& env)
{
    std::string out;
    for (const mtd_range& w : phone_windows(env))
        out += std::to_string(w.index) + " " + hex(w.start) + " " + hex(w.end) + "\n";
    return out;
}

} // namespace

const std::vector<mtd_range>& phone_default_layout()
{
    static const std::vector<mtd_range> layout = {
        {2, 0x90000000, 0x90020000}, {3, 0x90020000, 0x90030000}, {1, 0x90030000, 0x90130000},
        {0, 0x90130000, 0x90330000}, {5, 0x90330000, 0x90430000}, {6, 0x90430000, 0x90730000},
        {4, 0x90730000, 0x907B0000}, {7, 0x907B0000, 0x907D0000}, {8, 0x907D0000, 0x907F0000},
        {9, 0x907F0000, 0x90800000}};
    return layout;
}

std::vector<mtd_range> phone_windows(const env_vars& env)
{
    std::vector<mtd_range> out;
    for (const mtd_range& def : phone_default_layout()) {
        mtd_range w = def;
        if (const std::string* v = env_find(env, "mtd" + std::to_string(def.index))) {
            unsigned s = 0, e = 0;
            if (sscanf(v->c_str(), "%x,%x", &s, &e) == 2 && s >= phone::kChipBase && e > s &&
                e - phone::kChipBase <= phone::kChipSize) {
                w.start = s;
                w.end = e;
            }
        }
        out.push_back(w);
    }
    return out;
}

std::string phone_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void phone_put_file(const std::string& path, const std::string& text, int mode)
{
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << text;
        if (!f) throw std::runtime_error("cannot write " + path);
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void phone_install_program(const std::string& dir, const std::string& program)
{
    const std::string to = dir + "/files/basic/bin/upgrader";
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(program, to, fs::copy_options::overwrite_existing);
    chmod(to.c_str(), 0755);
}

bool phone_exists(const std::string& dir)
{
    return fs::exists(dir + "/phone.json");
}

void phone_init(const std::string& dir, const phone_options& opt)
{
    for (const char* sub : {"flash", "platform", "files", "dev", "runs"})
        fs::remove_all(dir + "/" + sub);
    fs::create_directories(dir);

    nlohmann::json j = {{"hwver", opt.hwver},           {"software", opt.software},
                        {"relocation", opt.relocation}, {"erasesize", opt.erasesize},
                        {"nor_strict", opt.nor_strict}, {"killapps_exit", opt.killapps_exit}};
    phone_put_file(dir + "/phone.json", j.dump(2) + "\n");
    env_save(dir + "/env.txt", default_env(opt));

    std::vector<uint8_t> chip(phone::kChipSize, 0xFF);
    for (const mtd_range& r : phone_default_layout()) fill_partition(chip, r);
    phone_put_file(dir + "/flash/chip.bin", std::string(chip.begin(), chip.end()));
    phone_put_file(dir + "/flash/erase_counts.bin",
                   std::string(size_t{phone::kChipSize / phone::kEraseBlock} * 4, '\0'));

    phone_put_file(dir + "/platform/hwver", opt.hwver + "\n");
    phone_put_file(dir + "/platform/software", opt.software + "\n");

    const std::string files = dir + "/files";
    phone_put_file(files + "/app/version.conf",
                   "[Version]\nRomVersion = " + opt.rom_version + "\nMtd6Version = 2.0.0.14\n");
    phone_put_file(files + "/basic/version.conf", "[Version]\nMtd5Version = 2.0.0.14\n");
    phone_put_file(files + "/version.conf", "[Version]\nMtd0Version = 2.0.0.14\n");
    phone_put_file(files + "/app/scripts/killapps.sh",
                   "#!/bin/sh\n# Stops the phone applications.\nexit " +
                       std::to_string(opt.killapps_exit) + "\n",
                   0755);
    fs::create_directories(files + "/basic/bin");
    fs::create_directories(files + "/config");
    fs::create_directories(files + "/etc");
}

void phone_prepare_boot(const std::string& dir, const boot_settings& s)
{
    if (!phone_exists(dir)) phone_init(dir, phone_options{});
    const nlohmann::json j = nlohmann::json::parse(phone_file(dir + "/phone.json"), nullptr, false);
    if (j.is_discarded()) throw std::runtime_error("unreadable " + dir + "/phone.json");

    std::string conf;
    conf += "erasesize " + std::to_string(j.value("erasesize", 65536U)) + "\n";
    conf += std::string("relocation ") + (j.value("relocation", false) ? "1" : "0") + "\n";
    conf += std::string("nor_strict ") + (j.value("nor_strict", false) ? "1" : "0") + "\n";
    conf += "time_scale " + std::to_string(s.time_scale) + "\n";
    for (const std::string& f : s.faults) conf += f + "\n";
    phone_put_file(dir + "/devices.conf", conf);

    phone_put_file(dir + "/flash/windows.txt", windows_text(env_load(dir + "/env.txt")));
    // RAM and device registers do not survive a power cycle.
    fs::remove(dir + "/dev/fb0");
    phone_put_file(dir + "/dev/misc.state", "0 0 0\n");
    phone_put_file(dir + "/dev/flash_writes", std::string(4, '\0'));
    phone_put_file(dir + "/dev/fault_counts", std::string(size_t{64} * 4, '\0'));
}
