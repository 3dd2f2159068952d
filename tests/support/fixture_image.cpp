// Images, partitions and layouts that the simulated phone accepts.
#include "fixture_image.h"

rom_image_desc fixture_image()
{
    rom_image_desc desc;
    desc.device_id = 59;
    desc.rom_version = rom_version_from_text("2.150.8.0");
    desc.match_id[0] = 3;
    return desc;
}

std::vector<unsigned char> fixture_data(size_t n, unsigned char seed)
{
    std::vector<unsigned char> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(seed + i * 7);
    return d;
}

rom_partition_desc fixture_special(unsigned int type, const std::string& text)
{
    rom_partition_desc p;
    p.partition_id = 255;
    p.partition_type = type;
    p.data.assign(text.begin(), text.end());
    return p;
}

std::string fixture_layout(const std::map<int, std::string>& changes, int keys)
{
    const char* ranges[] = {"90130000,90330000", "90030000,90130000", "90000000,90020000",
                            "90020000,90030000", "90730000,907b0000", "90330000,90430000",
                            "90430000,90730000", "907b0000,907d0000", "907d0000,907f0000",
                            "907f0000,90800000"};
    std::string text = "[mtd]\n";
    for (int n = 0; n < keys && n < 10; ++n) {
        const auto c = changes.find(n);
        text +=
            "mtd" + std::to_string(n) + " = " + (c != changes.end() ? c->second : ranges[n]) + "\n";
    }
    return text;
}

std::string fixture_moving_layout()
{
    return fixture_layout(
        {{3, "90700000,90710000"}, {4, "90710000,90790000"}, {6, "90430000,90700000"}});
}

rom_partition_desc fixture_partition(unsigned int id, const std::string& version,
                                     std::vector<unsigned char> data)
{
    rom_partition_desc p;
    p.partition_id = id;
    p.version = rom_version_from_text(version);
    p.data = std::move(data);
    return p;
}
