// tools/rom_manifest.cpp - JSON manifests and partition option strings.
#include "rom_manifest.h"

#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace {

using nlohmann::json;

unsigned int number(const json& v, const std::string& where)
{
    if (v.is_number_unsigned()) {
        const auto n = v.get<unsigned long long>();
        if (n <= 0xFFFFFFFFULL) return static_cast<unsigned int>(n);
    } else if (v.is_string()) {
        try {
            return rom_number_from_text(v.get<std::string>());
        } catch (const std::invalid_argument&) {
        }
    }
    throw std::invalid_argument(where + ": expected a number from 0 to 0xFFFFFFFF, got " +
                                v.dump());
}

unsigned char byte(const json& v, const std::string& where)
{
    const unsigned int n = number(v, where);
    if (n > 255) throw std::invalid_argument(where + ": expected 0 to 255, got " + v.dump());
    return static_cast<unsigned char>(n);
}

unsigned int version(const json& v, const std::string& where)
{
    if (!v.is_string()) return number(v, where);
    try {
        return rom_version_from_text(v.get<std::string>());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(where + ": " + e.what());
    }
}

void only_keys(const json& object, const std::set<std::string>& known, const std::string& where)
{
    if (!object.is_object()) throw std::invalid_argument(where + ": expected an object");
    for (const auto& item : object.items())
        if (known.count(item.key()) == 0)
            throw std::invalid_argument(where + ": unknown key \"" + item.key() + "\"");
}

void read_header(const json& h, rom_image_desc& desc)
{
    only_keys(h,
              {"rom_type", "process_type", "device_id", "oem_id", "rom_version", "match_id",
               "mid_version", "sw_protect", "scrambled", "key"},
              "header");
    if (h.contains("rom_type")) desc.rom_type = number(h["rom_type"], "header.rom_type");
    if (h.contains("process_type"))
        desc.process_type = number(h["process_type"], "header.process_type");
    if (h.contains("device_id")) desc.device_id = number(h["device_id"], "header.device_id");
    if (h.contains("oem_id")) desc.oem_id = number(h["oem_id"], "header.oem_id");
    if (h.contains("rom_version"))
        desc.rom_version = version(h["rom_version"], "header.rom_version");
    if (h.contains("mid_version"))
        desc.mid_version = number(h["mid_version"], "header.mid_version");
    if (h.contains("sw_protect")) desc.sw_protect = number(h["sw_protect"], "header.sw_protect");
    if (h.contains("scrambled")) {
        if (!h["scrambled"].is_boolean())
            throw std::invalid_argument("header.scrambled: expected true or false");
        desc.scrambled = h["scrambled"].get<bool>();
    }
    if (h.contains("key")) desc.key = byte(h["key"], "header.key");
    if (h.contains("match_id")) {
        const json& m = h["match_id"];
        if (!m.is_array() || m.size() > desc.match_id.size())
            throw std::invalid_argument("header.match_id: expected a list of at most 16 bytes");
        desc.match_id = rom_image_desc::kNoMatch;
        for (std::size_t i = 0; i < m.size(); ++i)
            desc.match_id[i] = byte(m[i], "header.match_id[" + std::to_string(i) + "]");
    }
}

rom_partition_desc read_partition(const json& p, const std::string& where,
                                  const std::string& base_dir)
{
    only_keys(p, {"id", "type", "version", "process_type", "data_type", "file", "text"}, where);
    rom_partition_desc part;
    if (p.contains("id")) part.partition_id = number(p["id"], where + ".id");
    if (p.contains("type")) part.partition_type = number(p["type"], where + ".type");
    if (p.contains("version")) part.version = version(p["version"], where + ".version");
    if (p.contains("process_type"))
        part.process_type = number(p["process_type"], where + ".process_type");
    if (p.contains("data_type")) part.data_type = number(p["data_type"], where + ".data_type");
    if (p.contains("file") && p.contains("text"))
        throw std::invalid_argument(where + ": give \"file\" or \"text\", not both");
    if (p.contains("file")) {
        if (!p["file"].is_string()) throw std::invalid_argument(where + ".file: expected a path");
        std::string path = p["file"].get<std::string>();
        if (!path.empty() && path[0] != '/' && !base_dir.empty()) path = base_dir + "/" + path;
        part.data = rom_read_file(path);
    }
    if (p.contains("text")) {
        if (!p["text"].is_string()) throw std::invalid_argument(where + ".text: expected text");
        const std::string text = p["text"].get<std::string>();
        part.data.assign(text.begin(), text.end());
    }
    return part;
}

} // namespace

rom_image_desc rom_desc_from_json(const json& manifest, const std::string& base_dir)
{
    only_keys(manifest, {"header", "partitions", "break"}, "manifest");
    rom_image_desc desc;
    if (manifest.contains("header")) read_header(manifest["header"], desc);
    if (manifest.contains("partitions")) {
        const json& parts = manifest["partitions"];
        if (!parts.is_array()) throw std::invalid_argument("partitions: expected a list");
        for (std::size_t k = 0; k < parts.size(); ++k)
            desc.partitions.push_back(
                read_partition(parts[k], "partitions[" + std::to_string(k) + "]", base_dir));
    }
    if (manifest.contains("break")) {
        const json& faults = manifest["break"];
        if (!faults.is_array()) throw std::invalid_argument("break: expected a list of faults");
        for (const json& f : faults) {
            if (!f.is_string()) throw std::invalid_argument("break: expected fault names");
            rom_apply_fault(desc, f.get<std::string>());
        }
    }
    return desc;
}

rom_image_desc rom_desc_from_file(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    const json manifest = json::parse(in, nullptr, false);
    if (manifest.is_discarded()) throw std::invalid_argument(path + ": not valid JSON");
    const std::size_t slash = path.rfind('/');
    const std::string base_dir = slash == std::string::npos ? "." : path.substr(0, slash);
    try {
        return rom_desc_from_json(manifest, base_dir.empty() ? "/" : base_dir);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
}

rom_partition_desc rom_partition_from_text(const std::string& text)
{
    json p = json::object();
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t eq = text.find('=', start);
        if (eq == std::string::npos)
            throw std::invalid_argument("partition \"" + text + "\": expected key=value");
        const std::string key = text.substr(start, eq - start);
        if (key == "file" || key == "text") {
            p[key] = text.substr(eq + 1);
            break;
        }
        std::size_t comma = text.find(',', eq);
        if (comma == std::string::npos) comma = text.size();
        p[key] = text.substr(eq + 1, comma - eq - 1);
        start = comma + 1;
    }
    return read_partition(p, "partition \"" + text + "\"", "");
}

std::vector<unsigned char> rom_read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void rom_write_file(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}
