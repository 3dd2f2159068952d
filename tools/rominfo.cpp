// tools/rominfo.cpp - shows a ROM image's headers and judges it the way the
// phone does, with the upgrader's own format checks.
//
//   rominfo IMAGE          headers, checksums and the verdict, in words
//   rominfo --json IMAGE   the same for scripts
// Exit status: 0 well-formed, 1 malformed, 2 usage or unreadable file.
#include "rl_log.h"
#include "rom_check.h"
#include "rom_format.h"
#include "rom_manifest.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

std::string version_text(unsigned int v)
{
    char b[32];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    return b;
}

std::string hex(unsigned long long v)
{
    char b[32];
    std::snprintf(b, sizeof b, "0x%llx", v);
    return b;
}

// Where partition header k starts, from the headers before it.
unsigned long long header_offset(const rom_header& h, const std::vector<partition_header>& p, int k)
{
    unsigned long long at = 12ULL + h.rom_header_size;
    for (int i = 0; i < k; ++i) at += 12ULL + p[static_cast<size_t>(i)].partition_header_size;
    return at;
}

// What is wrong, in words, for the code of the first failing check.
std::string explain(int code, const std::vector<unsigned char>& img, const rom_header& h,
                    const std::vector<partition_header>& parts, int failed_partition)
{
    const unsigned long long size = img.size();
    switch (code) {
    case UPD_MSG_ARG_ADDR_ERR:
        if (size < ROM_IMAGE_MIN_SIZE)
            return "the image has " + std::to_string(size) + " bytes; a header needs 140";
        if (rom_load_word(img.data()) != ROM_MAGIC)
            return "byte 0: the first word is " + hex(rom_load_word(img.data())) +
                   ", not the magic 0x52524f4d (\"MORR\" in the file)";
        return "byte 4: rom_header_size " + std::to_string(h.rom_header_size) +
               " does not fit the record (at most 164) or the image";
    case UPD_MSG_ROM_HEADER_RROM_ERR:
        return "byte 104: the second magic is " + hex(h.second_magic) + " after descrambling";
    case UPD_MSG_PART_NUM_ERR:
        return "byte 20: partition_num " + std::to_string(h.partition_num) + " is above 16";
    case UPD_MSG_ROM_HEADER_CHECKSUM_ERR:
        return "byte 8: the header words from byte 8 do not XOR to 0";
    case UPD_MSG_ROM_CHECKSUM_ERR:
        return "byte 40: the rom_size (" + std::to_string(h.rom_size) +
               ") bytes after the header do not XOR to rom_checksum, or leave the image";
    case UPD_MSG_PART_HEADER_RPAT_ERR:
    case UPD_MSG_PART_HEADER_CHECKSUM_ERR:
    case UPD_MSG_PART_CHECKSUM_ERR: {
        const unsigned long long at = header_offset(h, parts, failed_partition);
        const std::string where = "partition " + std::to_string(failed_partition) +
                                  " (header at byte " + std::to_string(at) + ")";
        if (code == UPD_MSG_PART_HEADER_RPAT_ERR)
            return where + ": no partition magic, or the header leaves the image";
        if (code == UPD_MSG_PART_HEADER_CHECKSUM_ERR)
            return where + ": the header words from byte " + std::to_string(at + 8) +
                   " do not XOR to 0, or the header leaves the image";
        const partition_header& p = parts[static_cast<size_t>(failed_partition)];
        return where + ": data at byte " + std::to_string(p.partition_offset) + ", " +
               std::to_string(p.partition_size) +
               " bytes, does not match partition_checksum or leaves the image";
    }
    default: return "check result " + std::to_string(code);
    }
}

json header_json(const rom_header& h)
{
    json match = json::array();
    for (unsigned char m : h.match_id) match.push_back(m);
    return {{"magic_num", hex(h.magic_num)},
            {"rom_header_size", h.rom_header_size},
            {"scrambled", h.rom_header_size >= ROM_HEADER_SCRAMBLED_SIZE},
            {"key", h.key},
            {"rom_type", h.rom_type},
            {"process_type", h.process_type},
            {"partition_num", h.partition_num},
            {"device_id", h.device_id},
            {"oem_id", h.oem_id},
            {"rom_version", version_text(h.rom_version)},
            {"rom_size", h.rom_size},
            {"rom_checksum", hex(h.rom_checksum)},
            {"match_id", match},
            {"mid_version", h.mid_version},
            {"sw_protect", h.sw_protect}};
}

json partition_json(const partition_header& p)
{
    return {{"id", p.partition_id},
            {"type", p.partition_type},
            {"process_type", p.process_type},
            {"data_type", p.partition_data_type},
            {"version", version_text(p.partition_version)},
            {"size", p.partition_size},
            {"offset", p.partition_offset},
            {"checksum", hex(p.partition_checksum)}};
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Shows a ROM image's headers (descrambled) and checks it as the phone does."};
    std::string path;
    bool as_json = false;
    app.add_option("image", path, "the ROM image")->required();
    app.add_flag("--json", as_json, "print JSON");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help prints and succeeds; any other parse error is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }

    std::vector<unsigned char> img;
    try {
        img = rom_read_file(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rominfo: %s\n", e.what());
        return 2;
    }
    // The checks' log lines are the phone's; here the verdict is printed.
    rl_log_set_level(-1);
    // Words are read from aligned memory, as on the phone.
    std::vector<unsigned int> words((img.size() + 3) / 4 + 1, 0);
    std::memcpy(words.data(), img.data(), img.size());
    rom_header h = {};
    std::vector<partition_header> parts(ROM_PARTITIONS_MAX);
    int code = rom_check_magic(words.data(), img.size());
    if (code == 0) code = rom_load_header(words.data(), img.size(), &h);
    if (code == 0) code = rom_check_header(words.data(), img.size(), &h);
    int failed = -1;
    struct walk {
        int seen = 0;
    } w;
    if (code == 0) {
        code = rom_walk_partitions(
            words.data(), img.size(), &h, parts.data(),
            [](void* ctx, int, const partition_header*, const unsigned char*) {
                ++static_cast<walk*>(ctx)->seen;
                return 0;
            },
            &w);
        if (code != 0) failed = w.seen;
    }
    const int shown = code == 0 ? static_cast<int>(h.partition_num) : w.seen;
    const std::string problem = code == 0 ? "" : explain(code, img, h, parts, failed);

    if (as_json) {
        json j = {{"file", path}, {"size", img.size()}, {"valid", code == 0}};
        if (h.magic_num != 0) j["header"] = header_json(h);
        j["partitions"] = json::array();
        for (int k = 0; k < shown; ++k)
            j["partitions"].push_back(partition_json(parts[static_cast<size_t>(k)]));
        if (code != 0) {
            const char* name = upd_msg_name(code);
            j["error"] = {{"code", code}, {"name", name != nullptr ? name : ""}, {"text", problem}};
        }
        std::printf("%s\n", j.dump(2).c_str());
    } else {
        std::printf("%s: %zu bytes\n", path.c_str(), img.size());
        if (h.magic_num != 0) {
            std::printf("  header: size %u (%s), key %u, rom_type %u, process_type %u\n",
                        h.rom_header_size,
                        h.rom_header_size >= ROM_HEADER_SCRAMBLED_SIZE ? "scrambled" : "plain",
                        h.key, h.rom_type, h.process_type);
            std::printf(
                "  device_id %u, oem_id %u, rom_version %s, mid_version %u, sw_protect %u\n",
                h.device_id, h.oem_id, version_text(h.rom_version).c_str(), h.mid_version,
                h.sw_protect);
            std::printf("  rom_size %u, partition_num %u, match_id", h.rom_size, h.partition_num);
            for (unsigned char m : h.match_id) std::printf(" %u", m);
            std::printf("\n");
        }
        for (int k = 0; k < shown; ++k) {
            const partition_header& p = parts[static_cast<size_t>(k)];
            std::printf("  partition %d: id %u, type %u, version %s, %u bytes at %u, process %u\n",
                        k, p.partition_id, p.partition_type,
                        version_text(p.partition_version).c_str(), p.partition_size,
                        p.partition_offset, p.process_type);
        }
        if (code == 0) {
            std::printf("well-formed: magics, checksums and bounds are right\n");
        } else {
            const char* name = upd_msg_name(code);
            std::printf("MALFORMED (%d %s): %s\n", code, name != nullptr ? name : "",
                        problem.c_str());
        }
    }
    return code == 0 ? 0 : 1;
}
