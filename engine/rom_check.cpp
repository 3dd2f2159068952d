// engine/rom_check.cpp - magics, header descrambling, checksums, partition walk.
//
// Every range is computed in 64 bits from 32-bit fields, so no sum of
// offsets and sizes can wrap before it is compared with the image length.
#include "rom_check.h"

#include "rl_log.h"

#include <cstdint>
#include <cstring>

namespace {

using u64 = unsigned long long;

const unsigned char* bytes(const void* image)
{
    return static_cast<const unsigned char*>(image);
}

// The image must hold the whole header record, which is copied from it
// whatever rom_header_size says.
bool holds_record(std::size_t image_len)
{
    if (image_len >= ROM_IMAGE_MIN_SIZE) return true;
    rl_log_err("rom image too short: 0x%llx bytes, a rom header needs 0x%x\n",
               static_cast<u64>(image_len), ROM_HEADER_RECORD_SIZE);
    return false;
}

// rom_header_size must keep the descrambled region inside the record and
// the header inside the image.
bool header_fits(const rom_header* header, std::size_t image_len)
{
    const unsigned int size = header->rom_header_size;
    if (size > ROM_HEADER_SIZE_MAX) {
        rl_log_err("rom_header_size 0x%x above 0x%x\n", size, ROM_HEADER_SIZE_MAX);
        return false;
    }
    const u64 end = 12ULL + size;
    if (end > image_len) {
        rl_log_err("rom header 0x0..0x%llx leaves the image of 0x%llx bytes\n", end,
                   static_cast<u64>(image_len));
        return false;
    }
    return true;
}

void descramble(rom_header* h)
{
    const unsigned int plain_partition_num = h->partition_num;
    const unsigned int plain_rom_size = h->rom_size;
    const unsigned int plain_rom_checksum = h->rom_checksum;
    h->partition_num = h->scrambled_partition_num;
    h->rom_size = h->scrambled_rom_size;
    h->rom_checksum = h->scrambled_rom_checksum;
    // The key is the record's byte 124 itself. A region long enough to
    // reach it (rom_header_size 149 and up) substitutes it before
    // aes_decrypt reads it, so such a header rotates by decrypt[stored key].
    unsigned char* region = reinterpret_cast<unsigned char*>(h) + ROM_SCRAMBLE_START;
    aes_decrypt(&h->key, region, static_cast<int>(h->rom_header_size - ROM_SCRAMBLE_SHORTFALL),
                region);
    h->scrambled_rom_checksum = h->rom_checksum;
    h->scrambled_partition_num = h->partition_num;
    h->scrambled_rom_size = h->rom_size;
    h->partition_num = plain_partition_num;
    h->rom_size = plain_rom_size;
    h->rom_checksum = plain_rom_checksum;
}

void log_rom_header(const rom_header* h)
{
    rl_log_debug("\nmagic_num: %x\n", h->magic_num);
    rl_log_debug("rom_header_size: %x\n", h->rom_header_size);
    rl_log_debug("rom_header_checksum: %x\n", h->rom_header_checksum);
    rl_log_debug("rom_type: %x\n", h->rom_type);
    rl_log_debug("process_type: %x\n", h->process_type);
    rl_log_debug("partition_num: %x\n", h->partition_num);
    rl_log_debug("device_id: %x\n", h->device_id);
    rl_log_debug("oem_id: %x\n", h->oem_id);
    rl_log_debug("rom_version: %x\n", h->rom_version);
    rl_log_debug("mid_version: %x\n", h->mid_version);
    rl_log_debug("sw_protect: %x\n", h->sw_protect);
    rl_log_debug("rom_size: %x\n", h->rom_size);
    rl_log_debug("rom_checksum: %x\n\n", h->rom_checksum);
}

void log_partition_header(const partition_header* p)
{
    rl_log_debug("\nmagic_num: %x\n", p->magic_num);
    rl_log_debug("partition_header_size: %x\n", p->partition_header_size);
    rl_log_debug("partition_header_checksum: %x\n", p->partition_header_checksum);
    rl_log_debug("partition_type: %x\n", p->partition_type);
    rl_log_debug("process_type: %x\n", p->process_type);
    rl_log_debug("partition_data_type: %x\n", p->partition_data_type);
    rl_log_debug("partition_id: %x\n", p->partition_id);
    rl_log_debug("partition_version: %x\n", p->partition_version);
    rl_log_debug("partition_size: %x\n", p->partition_size);
    rl_log_debug("partition_checksum: %x\n", p->partition_checksum);
    rl_log_debug("partition_offset: %x\n\n\n", p->partition_offset);
}

int check_header_checksum(const unsigned char* image, const rom_header* h)
{
    const unsigned int words = h->rom_header_size / 4 + 1;
    rl_log_debug("\npaddr:%x pdat:%x\n", rom_address(image), rom_address(image));
    rl_log_debug("len:%x\n", words);
    if (rom_xor_words(image + 8, words) != 0)
        return upd_msg_refuse(UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
    return 0;
}

int check_rom_checksum(const unsigned char* image, std::size_t image_len, const rom_header* h)
{
    const u64 start = 12ULL + h->rom_header_size;
    const u64 end = start + h->rom_size;
    if (end > image_len) {
        rl_log_err("rom data 0x%llx..0x%llx leaves the image of 0x%llx bytes\n", start, end,
                   static_cast<u64>(image_len));
        return upd_msg_refuse(UPD_MSG_ROM_CHECKSUM_ERR);
    }
    const unsigned char* data = image + static_cast<std::size_t>(start);
    const unsigned int words = h->rom_size / 4;
    rl_log_debug("\npdat:%x len:%x\n", rom_address(data), words);
    const unsigned int sum = rom_xor_words(data, words);
    // The last word read and the one before it; with fewer than two words
    // these fall back into the header, which always lies before `data`.
    const u64 last = start + 4ULL * words - 4;
    rl_log_debug("last dat:%x %x\n", rom_load_word(image + static_cast<std::size_t>(last)),
                 rom_load_word(image + static_cast<std::size_t>(last - 4)));
    if (sum != h->rom_checksum) return upd_msg_refuse(UPD_MSG_ROM_CHECKSUM_ERR);
    return 0;
}

// The format checks of the partition header at image offset `p`, copied
// into `part`.
int check_partition(const unsigned char* image, std::size_t image_len, int index, u64 p,
                    partition_header* part)
{
    if (p + PARTITION_HEADER_RECORD_SIZE > image_len) {
        rl_log_err("partition header %d at 0x%llx..0x%llx leaves the image of 0x%llx bytes\n",
                   index, p, p + PARTITION_HEADER_RECORD_SIZE, static_cast<u64>(image_len));
        return upd_msg_refuse(UPD_MSG_PART_HEADER_RPAT_ERR);
    }
    const unsigned char* at = image + static_cast<std::size_t>(p);
    std::memcpy(part, at, sizeof *part);
    log_partition_header(part);
    const unsigned int data_address = rom_address(image) + part->partition_offset;
    rl_log_debug("ppartition_addr:%x ppart_data_addr:%x\n", rom_address(at), data_address);

    if (rom_load_word(at) != PARTITION_MAGIC) return upd_msg_refuse(UPD_MSG_PART_HEADER_RPAT_ERR);

    const u64 header_end = p + 12 + part->partition_header_size;
    if (header_end > image_len) {
        rl_log_err("partition header %d at 0x%llx..0x%llx leaves the image of 0x%llx bytes\n",
                   index, p, header_end, static_cast<u64>(image_len));
        return upd_msg_refuse(UPD_MSG_PART_HEADER_CHECKSUM_ERR);
    }
    if (rom_xor_words(at + 8, part->partition_header_size / 4 + 1) != 0)
        return upd_msg_refuse(UPD_MSG_PART_HEADER_CHECKSUM_ERR);

    const u64 data_start = part->partition_offset;
    const u64 data_end = data_start + part->partition_size;
    if (data_end > image_len) {
        rl_log_err("partition %d data 0x%llx..0x%llx leaves the image of 0x%llx bytes\n", index,
                   data_start, data_end, static_cast<u64>(image_len));
        return upd_msg_refuse(UPD_MSG_PART_CHECKSUM_ERR);
    }
    const unsigned char* data = image + static_cast<std::size_t>(data_start);
    // The first data word as the log shows it; a partition of fewer than
    // four bytes at the very end of the image has none.
    const unsigned int first = data_start + 4 <= image_len ? rom_load_word(data) : 0;
    rl_log_debug("ppart_dat:%x :%x\n", data_address, first);
    const unsigned int sum = rom_xor_words(data, part->partition_size / 4);
    if (sum != part->partition_checksum) {
        rl_log_err("partition_checksum_cal:%x checksum:%x\n", sum, part->partition_checksum);
        return upd_msg_refuse(UPD_MSG_PART_CHECKSUM_ERR);
    }
    return 0;
}

} // namespace

int rom_check_magic(const void* image, std::size_t image_len)
{
    if (image == nullptr) return -1;
    if (image_len < 4) {
        holds_record(image_len);
        return upd_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    }
    const unsigned int magic = rom_load_word(bytes(image));
    rl_log_debug("rom--------:0x%x\n", magic);
    if (magic != ROM_MAGIC) return upd_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    if (!holds_record(image_len)) return upd_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    return 0;
}

int rom_load_header(const void* image, std::size_t image_len, rom_header* header)
{
    if (image == nullptr || header == nullptr) return -1;
    if (!holds_record(image_len)) return upd_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    std::memset(header, 0, sizeof *header);
    std::memcpy(header, image, sizeof *header);
    if (!header_fits(header, image_len)) return upd_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    if (header->rom_header_size >= ROM_HEADER_SCRAMBLED_SIZE) {
        descramble(header);
    } else {
        rl_log_warn("ignore aes decrypt, invalid rom header size %d.\n",
                    static_cast<int>(header->rom_header_size));
    }
    log_rom_header(header);
    return 0;
}

int rom_check_header(const void* image, std::size_t image_len, const rom_header* header)
{
    if (image == nullptr || header == nullptr) return -1;
    // The record may not come from rom_load_header: bound it again.
    if (!holds_record(image_len) || !header_fits(header, image_len))
        return upd_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    if (header->rom_header_size >= ROM_HEADER_SCRAMBLED_SIZE && header->second_magic != ROM_MAGIC)
        return upd_msg_refuse(UPD_MSG_ROM_HEADER_RROM_ERR);
    if (header->partition_num > ROM_PARTITIONS_MAX) return upd_msg_refuse(UPD_MSG_PART_NUM_ERR);
    const int r = check_header_checksum(bytes(image), header);
    if (r != 0) return r;
    return check_rom_checksum(bytes(image), image_len, header);
}

int rom_walk_partitions(const void* image, std::size_t image_len, const rom_header* header,
                        partition_header* headers, rom_partition_rule rule, void* context)
{
    if (image == nullptr || header == nullptr || headers == nullptr) return -1;
    if (header->partition_num > ROM_PARTITIONS_MAX) return upd_msg_refuse(UPD_MSG_PART_NUM_ERR);
    const int count = static_cast<int>(header->partition_num);
    rl_log_debug("headers size:0x%x\n",
                 header->partition_num * static_cast<unsigned int>(PARTITION_HEADER_RECORD_SIZE) +
                     static_cast<unsigned int>(ROM_HEADER_RECORD_SIZE));
    std::memset(headers, 0, static_cast<std::size_t>(count) * sizeof *headers);
    u64 p = 12ULL + header->rom_header_size;
    for (int k = 0; k < count; ++k) {
        partition_header* part = &headers[k];
        int r = check_partition(bytes(image), image_len, k, p, part);
        if (r != 0) return r;
        if (rule != nullptr) {
            r = rule(context, k, part, bytes(image) + part->partition_offset);
            if (r != 0) return r;
        }
        p += 12ULL + part->partition_header_size;
    }
    return 0;
}

int rom_check_format(const void* image, std::size_t image_len, rom_header* header,
                     partition_header* headers)
{
    if (image == nullptr || header == nullptr || headers == nullptr) return -1;
    int r = rom_check_magic(image, image_len);
    if (r == 0) r = rom_load_header(image, image_len, header);
    if (r == 0) r = rom_check_header(image, image_len, header);
    if (r == 0) r = rom_walk_partitions(image, image_len, header, headers, nullptr, nullptr);
    return r;
}
