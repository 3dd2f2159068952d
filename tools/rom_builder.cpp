// tools/rom_builder.cpp - ROM image layout, checksums, scrambling, faults.
#include "rom_builder.h"

#include "rom_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

using u64 = unsigned long long;

void put_word(std::vector<unsigned char>& img, u64 at, unsigned int w)
{
    for (int i = 0; i < 4; ++i)
        if (at + static_cast<u64>(i) < img.size())
            img[static_cast<std::size_t>(at) + static_cast<std::size_t>(i)] =
                static_cast<unsigned char>(w >> (8 * i));
}

unsigned int get_word(const std::vector<unsigned char>& img, u64 at)
{
    unsigned int w = 0;
    for (int i = 0; i < 4; ++i)
        if (at + static_cast<u64>(i) < img.size())
            w |= static_cast<unsigned int>(img[static_cast<std::size_t>(at + static_cast<u64>(i))])
                 << (8 * i);
    return w;
}

// XOR of `count` words from `at`; bytes outside the image count as zero.
unsigned int xor_words(const std::vector<unsigned char>& img, u64 at, u64 count)
{
    unsigned int x = 0;
    for (u64 i = 0; i < count && at + 4 * i < img.size(); ++i) x ^= get_word(img, at + 4 * i);
    return x;
}

u64 align4(u64 n)
{
    return (n + 3) & ~3ULL;
}

struct placed_partition {
    u64 header_at;
    unsigned int header_size;
    unsigned int size;
    unsigned int offset;
};

} // namespace

void rom_scramble(unsigned char* region, int len, unsigned char key)
{
    if (region == nullptr || len < 1) return;
    unsigned char inverse[256];
    for (int s = 0; s < 256; ++s) inverse[decrypt[s]] = static_cast<unsigned char>(s);
    for (int i = 0; i < len; ++i) region[i] = inverse[region[i]];
    const int r = key % len;
    std::rotate(region, region + (len - r), region + len);
}

std::vector<unsigned char> rom_build(const rom_image_desc& desc)
{
    const unsigned int form_size =
        desc.scrambled ? ROM_HEADER_SCRAMBLED_SIZE : ROM_HEADER_PLAIN_SIZE;
    const unsigned int header_size = desc.header_size.value_or(form_size);
    const unsigned int layout_size = header_size <= ROM_HEADER_SIZE_MAX ? header_size : form_size;
    const u64 header_end = 12ULL + layout_size;

    // Layout: partition headers after the ROM header, then the data.
    std::vector<placed_partition> placed;
    u64 at = header_end + PARTITION_HEADER_RECORD_SIZE * static_cast<u64>(desc.partitions.size());
    at = align4(at);
    for (std::size_t k = 0; k < desc.partitions.size(); ++k) {
        const rom_partition_desc& p = desc.partitions[k];
        placed_partition pp{};
        pp.header_at = header_end + PARTITION_HEADER_RECORD_SIZE * static_cast<u64>(k);
        pp.header_size = p.header_size.value_or(PARTITION_HEADER_SIZE);
        pp.size = p.size.value_or(static_cast<unsigned int>(p.data.size()));
        pp.offset = p.offset.value_or(static_cast<unsigned int>(at));
        placed.push_back(pp);
        at = align4(at + p.data.size());
    }
    const u64 total = std::max<u64>(at, ROM_IMAGE_MIN_SIZE);
    std::vector<unsigned char> img(static_cast<std::size_t>(total), 0);

    // ROM header fields, plain.
    put_word(img, 0, desc.magic.value_or(ROM_MAGIC));
    put_word(img, 4, header_size);
    put_word(img, 12, desc.rom_type);
    put_word(img, 16, desc.process_type);
    const unsigned int partition_num =
        desc.partition_num.value_or(static_cast<unsigned int>(desc.partitions.size()));
    put_word(img, 20, partition_num);
    put_word(img, 24, desc.device_id);
    put_word(img, 28, desc.oem_id);
    put_word(img, 32, desc.rom_version);
    const unsigned int rom_size =
        desc.rom_size.value_or(static_cast<unsigned int>(total - std::min(total, header_end)));
    put_word(img, 36, rom_size);
    std::copy(desc.match_id.begin(), desc.match_id.end(), img.begin() + 44);
    put_word(img, 60, desc.mid_version);
    put_word(img, 64, desc.sw_protect);
    std::copy(desc.reserved.begin(), desc.reserved.end(), img.begin() + 68);
    const bool scramble = desc.scrambled && header_size >= ROM_HEADER_SCRAMBLED_SIZE;
    if (desc.scrambled)
        put_word(img, 104, desc.second_magic.value_or(ROM_MAGIC));
    else if (desc.second_magic)
        put_word(img, 104, *desc.second_magic);
    if (desc.scrambled) img[124] = desc.key;

    // Partition headers and data.
    for (std::size_t k = 0; k < placed.size(); ++k) {
        const rom_partition_desc& p = desc.partitions[k];
        const placed_partition& pp = placed[k];
        const u64 h = pp.header_at;
        put_word(img, h, p.magic.value_or(PARTITION_MAGIC));
        put_word(img, h + 4, pp.header_size);
        put_word(img, h + 12, p.partition_type);
        put_word(img, h + 16, p.process_type);
        put_word(img, h + 20, p.data_type);
        put_word(img, h + 24, p.partition_id);
        put_word(img, h + 28, p.version);
        put_word(img, h + 32, pp.size);
        put_word(img, h + 40, pp.offset);
    }
    at = align4(header_end + PARTITION_HEADER_RECORD_SIZE * static_cast<u64>(placed.size()));
    for (const rom_partition_desc& p : desc.partitions) {
        std::copy(p.data.begin(), p.data.end(), img.begin() + static_cast<std::ptrdiff_t>(at));
        at = align4(at + p.data.size());
    }

    // Checksums, innermost first: data, partition headers (from the last,
    // in case a header's range reaches into the next), the ROM data.
    for (std::size_t k = 0; k < placed.size(); ++k) {
        const placed_partition& pp = placed[k];
        unsigned int sum = xor_words(img, pp.offset, pp.size / 4);
        if (desc.partitions[k].bad_checksum) sum ^= 1;
        put_word(img, pp.header_at + 36, sum);
    }
    for (std::size_t k = placed.size(); k-- > 0;) {
        const placed_partition& pp = placed[k];
        put_word(img, pp.header_at + 8, 0);
        unsigned int sum = xor_words(img, pp.header_at + 8, pp.header_size / 4 + 1ULL);
        if (desc.partitions[k].bad_header_checksum) sum ^= 1;
        put_word(img, pp.header_at + 8, sum);
    }
    unsigned int rom_sum = xor_words(img, header_end, rom_size / 4);
    if (desc.bad_rom_checksum) rom_sum ^= 1;
    put_word(img, 40, rom_sum);

    // Scrambling: the plain words at 20, 36 and 40 stay, their scrambled
    // forms go to 108, 116 and 112.
    if (scramble) {
        const int len = static_cast<int>(layout_size - ROM_SCRAMBLE_SHORTFALL);
        unsigned char region[ROM_HEADER_RECORD_SIZE];
        std::memcpy(region, img.data() + ROM_SCRAMBLE_START, static_cast<std::size_t>(len));
        rom_scramble(region, len, desc.key);
        std::memcpy(img.data() + ROM_SCRAMBLE_START, region, static_cast<std::size_t>(len));
        const unsigned int s20 = get_word(img, 20);
        const unsigned int s36 = get_word(img, 36);
        const unsigned int s40 = get_word(img, 40);
        put_word(img, 108, s20);
        put_word(img, 116, s36);
        put_word(img, 112, s40);
        put_word(img, 20, partition_num);
        put_word(img, 36, rom_size);
        put_word(img, 40, rom_sum);
    }

    put_word(img, 8, 0);
    unsigned int header_sum = xor_words(img, 8, header_size / 4 + 1ULL);
    if (desc.bad_header_checksum) header_sum ^= 1;
    put_word(img, 8, header_sum);

    if (desc.truncate && *desc.truncate < img.size()) img.resize(*desc.truncate);
    return img;
}

namespace {

unsigned int number_or(const std::string& value, bool has_value, unsigned int fallback,
                       const std::string& fault)
{
    if (!has_value) return fallback;
    try {
        return rom_number_from_text(value);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("fault " + fault + ": bad number \"" + value + "\"");
    }
}

unsigned int required_number(const std::string& value, bool has_value, const std::string& fault)
{
    if (!has_value) throw std::invalid_argument("fault " + fault + " needs =N");
    return number_or(value, true, 0, fault);
}

} // namespace

void rom_apply_fault(rom_image_desc& desc, const std::string& fault)
{
    // NAME[:K][=VALUE]
    std::string name = fault;
    std::string value;
    const std::size_t eq = name.find('=');
    const bool has_value = eq != std::string::npos;
    if (has_value) {
        value = name.substr(eq + 1);
        name.resize(eq);
    }
    const std::size_t colon = name.find(':');
    if (colon != std::string::npos) {
        const std::string index_text = name.substr(colon + 1);
        name.resize(colon);
        unsigned int k = 0;
        try {
            k = rom_number_from_text(index_text);
        } catch (const std::invalid_argument&) {
            throw std::invalid_argument("fault " + fault + ": bad partition index");
        }
        if (k >= desc.partitions.size())
            throw std::invalid_argument("fault " + fault + ": no partition " + index_text);
        rom_partition_desc& p = desc.partitions[k];
        if (name == "part-magic")
            p.magic = number_or(value, has_value, 0x54415052U, fault);
        else if (name == "part-header-checksum")
            p.bad_header_checksum = true;
        else if (name == "part-checksum")
            p.bad_checksum = true;
        else if (name == "part-header-size")
            p.header_size = required_number(value, has_value, fault);
        else if (name == "part-size")
            p.size = required_number(value, has_value, fault);
        else if (name == "part-offset")
            p.offset = required_number(value, has_value, fault);
        else
            throw std::invalid_argument("unknown fault " + fault);
        return;
    }
    if (name == "magic")
        desc.magic = number_or(value, has_value, 0x4D4F5252U, fault);
    else if (name == "second-magic")
        desc.second_magic = number_or(value, has_value, 0, fault);
    else if (name == "header-checksum")
        desc.bad_header_checksum = true;
    else if (name == "rom-checksum")
        desc.bad_rom_checksum = true;
    else if (name == "header-size")
        desc.header_size = required_number(value, has_value, fault);
    else if (name == "partition-num")
        desc.partition_num = required_number(value, has_value, fault);
    else if (name == "rom-size")
        desc.rom_size = required_number(value, has_value, fault);
    else if (name == "truncate")
        desc.truncate = required_number(value, has_value, fault);
    else
        throw std::invalid_argument("unknown fault " + fault);
}

const char* rom_fault_help()
{
    return "  magic[=N]              first magic N; alone: the magic in the wrong byte order\n"
           "                         (bytes 52 52 4F 4D)\n"
           "  second-magic[=N]       the magic at byte 104 (default 0)\n"
           "  header-checksum        spoil rom_header_checksum\n"
           "  rom-checksum           spoil rom_checksum\n"
           "  header-size=N          rom_header_size N (laid out with it when N <= 164)\n"
           "  partition-num=N        partition_num N, whatever the partitions given\n"
           "  rom-size=N             rom_size N\n"
           "  truncate=N             keep only the first N bytes of the image\n"
           "  part-magic:K[=N]       magic of partition header K (default: wrong byte order)\n"
           "  part-header-checksum:K spoil partition_header_checksum of partition K\n"
           "  part-checksum:K        spoil partition_checksum of partition K\n"
           "  part-header-size:K=N   partition_header_size N (the layout keeps 32)\n"
           "  part-size:K=N          partition_size N (the data stays as given)\n"
           "  part-offset:K=N        partition_offset N (the data stays where it was put)\n";
}

unsigned int rom_number_from_text(const std::string& text)
{
    if (text.empty()) throw std::invalid_argument("empty number");
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    u64 v = 0;
    for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const char c = text[i];
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0) throw std::invalid_argument("not a number: " + text);
        v = v * (hex ? 16U : 10U) + static_cast<u64>(digit);
        if (v > 0xFFFFFFFFULL) throw std::invalid_argument("number too large: " + text);
    }
    return static_cast<unsigned int>(v);
}

unsigned int rom_version_from_text(const std::string& text)
{
    unsigned int parts[4] = {};
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.', start);
        const bool last = i == 3;
        if (last != (dot == std::string::npos))
            throw std::invalid_argument("version is not a.b.c.d: " + text);
        const std::string piece = text.substr(start, last ? std::string::npos : dot - start);
        if (piece.empty() || piece.size() > 3 ||
            piece.find_first_not_of("0123456789") != std::string::npos)
            throw std::invalid_argument("version is not a.b.c.d: " + text);
        parts[i] = rom_number_from_text(piece);
        if (parts[i] > 255) throw std::invalid_argument("version part above 255: " + text);
        start = dot + 1;
    }
    return parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
}

std::string rom_version_text(unsigned int version)
{
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", version >> 24, (version >> 16) & 0xFF,
                  (version >> 8) & 0xFF, version & 0xFF);
    return text;
}
