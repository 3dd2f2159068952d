// engine/rom_format.cpp - descrambling table, result code texts, word reads.
#include "rom_format.h"

#include "rl_log.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// The descrambling substitution: a stored header byte s stands for the
// plain byte decrypt[s]. The values are a fixed shuffle of 0 to 255 (every
// value exactly once, so the table is invertible); an image producer
// scrambles with the inverse table. The table is part of the image format:
// changing a single entry makes every scrambled image ever produced
// unreadable.
const unsigned char decrypt[256] = {
    0x5C, 0xAE, 0x5A, 0x21, 0x4C, 0x9A, 0x65, 0x23, 0x27, 0x64, 0x8F, 0x4A, 0x68, 0x59, 0xBC, 0x05,
    0xAB, 0xF8, 0xF4, 0x0D, 0xCC, 0xDA, 0x6E, 0x4F, 0x39, 0x0A, 0x8B, 0x2F, 0x66, 0xDF, 0x67, 0x94,
    0x53, 0x46, 0xFB, 0xC1, 0x89, 0x55, 0x93, 0xEC, 0xC7, 0xAC, 0xB0, 0x28, 0x1A, 0xEA, 0xD8, 0x08,
    0x54, 0xF9, 0x69, 0x6D, 0x75, 0xEE, 0x0F, 0x47, 0xD0, 0x95, 0xEF, 0xD9, 0x8E, 0x16, 0xB6, 0xF7,
    0xA7, 0x91, 0x6F, 0xF1, 0x33, 0x52, 0xBB, 0x7A, 0xF6, 0xD1, 0x6C, 0x24, 0x49, 0xC0, 0xA2, 0x85,
    0x29, 0xC5, 0x15, 0xC2, 0x25, 0x19, 0xD6, 0xB7, 0x1B, 0x38, 0xAA, 0x1F, 0x84, 0x00, 0x6B, 0x11,
    0xCE, 0x8A, 0x90, 0xCA, 0x0E, 0x44, 0x9D, 0x32, 0x82, 0xD4, 0xA4, 0x17, 0x50, 0x5F, 0x12, 0xB2,
    0x96, 0x1C, 0x14, 0x5B, 0xDB, 0xC3, 0xCD, 0xB8, 0x5D, 0x2A, 0xC8, 0x45, 0x31, 0x01, 0xB9, 0xD5,
    0x43, 0xF2, 0xF0, 0x04, 0xE7, 0x7C, 0xAF, 0x7E, 0xFE, 0x2E, 0x03, 0x36, 0xA8, 0xE9, 0xBE, 0x5E,
    0x9E, 0xFF, 0xA3, 0xC4, 0x41, 0x78, 0x2B, 0xDC, 0xFA, 0x61, 0xA0, 0xE1, 0x0C, 0x3C, 0xD3, 0xFD,
    0xD7, 0xEB, 0x63, 0xB1, 0x34, 0x07, 0x58, 0x10, 0x13, 0x30, 0x76, 0x02, 0xBF, 0xF3, 0xE4, 0xB3,
    0xE6, 0x7B, 0x62, 0x60, 0xC9, 0x79, 0x3E, 0x3D, 0xCF, 0x87, 0x73, 0x72, 0x81, 0xA5, 0xED, 0xC6,
    0x51, 0x99, 0x56, 0x35, 0x74, 0x77, 0xAD, 0x9F, 0x83, 0x9C, 0xE5, 0x71, 0xD2, 0xE3, 0x22, 0xB4,
    0x4B, 0x1D, 0xFC, 0x40, 0x80, 0x4E, 0xA1, 0xE0, 0x42, 0x26, 0x6A, 0x09, 0xF5, 0x3A, 0x18, 0x2C,
    0x37, 0x8D, 0x88, 0x4D, 0x0B, 0xDE, 0x7F, 0x98, 0xB5, 0x70, 0xA6, 0xE2, 0x97, 0xA9, 0xE8, 0x06,
    0x48, 0xBA, 0x20, 0x57, 0xBD, 0x2D, 0x3B, 0xCB, 0x92, 0x3F, 0x9B, 0x1E, 0x7D, 0x86, 0x8C, 0xDD,
};

int aes_decrypt(unsigned char* key, unsigned char* out, int len, unsigned char* in)
{
    if (key == nullptr || out == nullptr || in == nullptr || len < 1) return -1;
    for (int i = 0; i < len; ++i) out[i] = decrypt[in[i]];
    const int r = key[0] % len;
    // Rotating left by r moves out[r] to the front; r = 0 leaves it as is.
    std::rotate(out, out + r, out + len);
    return 0;
}

namespace {

struct upd_msg_entry {
    int code;
    const char* name;
    const char* text; // null: the code logs nothing
};

constexpr upd_msg_entry kUpdMessages[] = {
    {-100, "UPD_MSG_ARG_ADDR_ERR", "UPD_MSG_ARG_ADDR_ERR\n"},
    {-99, "UPD_MSG_ROM_HEADER_RROM_ERR", "UPD_MSG_ROM_HEADER_RROM_ERR\n"},
    {-98, "UPD_MSG_ROM_HEADER_CHECKSUM_ERR", "UPD_MSG_ROM_HEADER_CHECKSUM_ERR\n"},
    {-97, "UPD_MSG_ROM_CHECKSUM_ERR", "UPD_MSG_ROM_CHECKSUM_ERR\n"},
    {-96, "UPD_MSG_OEM_VERSION_ERR", "UPD_MSG_OEM_VERSION_ERR\n"},
    {-95, "UPD_MSG_MACHINE_ID_ERR", "UPD_MSG_MACHINE_ID_ERR\n"},
    {-94, "UPD_MSG_MATCH_ID_ERR", "UPD_MSG_MATCH_ID_ERR\n"},
    {-93, "UPD_MSG_PART_HEADER_RPAT_ERR", "UPD_MSG_PART_HEADER_RPAT_ERR\n"},
    {-92, "UPD_MSG_PART_HEADER_CHECKSUM_ERR", "UPD_MSG_PART_HEADER_CHECKSUM_ERR\n"},
    {-91, "UPD_MSG_PART_CHECKSUM_ERR", "UPD_MSG_PART_CHECKSUM_ERR\n"},
    {-90, "UPD_MSG_PARTITION_ID_ERROR", "UPD_MSG_PARTITION_ID_ERROR\n"},
    {-89, "UPD_MSG_PARTITION_TYPE_ERROR", "UPD_MSG_PARTITION_TYPE_ERROR\n"},
    {-88, "UPD_MSG_READ_ENV_FAILED", "UPD_MSG_READ_ENV_FAILED\n"},
    {-87, "UPD_MSG_READ_HWVERSION_FAILED", "UPD_MSG_READ_HWVERSION_FAILED\n"},
    {-86, "UPD_MSG_ROM_VERSION_SAME", "UPD_MSG_ROM_VERSION_SAME\n"},
    {-85, "UPD_MSG_MTD_ENV_LOSED", "UPD_MSG_MTD_ENV_LOSED\n"},
    {-84, "UPD_MSG_MTD_ADDR_ERR", "UPD_MSG_MTD_ADDR_ERR\n"},
    // The open failure has always been logged with the address error's text.
    {-83, "UPD_MSG_MTD_OPEN_ERR", "UPD_MSG_MTD_ADDR_ERR\n"},
    {-82, "UPD_MSG_FLASH_ERASE_ERR", "UPD_MSG_FLASH_ERASE_ERR\n"},
    {-81, "UPD_MSG_FLASH_WRITE_ERR", "UPD_MSG_FLASH_WRITE_ERR\n"},
    {-80, "UPD_MSG_SET_ENV_FAILED", "UPD_MSG_SET_ENV_FAILED\n"},
    {-79, "UPD_MSG_PART_NUM_ERR", "UPD_MSG_PART_NUM_ERR\n"},
    {-78, "UPD_MSG_MID_OEM_ERR", nullptr},
    {-77, "UPD_MSG_PROTECT_HEADER_ERR", nullptr},
    {-76, "UPD_MSG_PROTECT_OEM_ERR", nullptr},
    {-75, "UPD_MSG_OEM_CHANGE_ERR", nullptr},
    {-74, "UPD_MSG_ROM_VERSION_LOW", nullptr},
    {1, "UPD_MSG_PART_VERSION_SAME", "UPD_MSG_PART_VERSION_SAME\n"},
};

const upd_msg_entry* find_upd_msg(int code)
{
    for (const upd_msg_entry& e : kUpdMessages)
        if (e.code == code) return &e;
    return nullptr;
}

} // namespace

void upd_msg_log(int code)
{
    const upd_msg_entry* e = find_upd_msg(code);
    if (e != nullptr && e->text != nullptr) rl_log_err("%s", e->text);
}

int upd_msg_refuse(int code)
{
    upd_msg_log(code);
    return code;
}

const char* upd_msg_name(int code)
{
    const upd_msg_entry* e = find_upd_msg(code);
    return e != nullptr ? e->name : nullptr;
}

unsigned int rom_load_word(const unsigned char* p)
{
    // A byte copy compiles to whatever load the processor can do at any
    // alignment; the byte order is the image's (see rom_format.h).
    std::uint32_t w = 0;
    std::memcpy(&w, p, sizeof w);
    return w;
}

unsigned int rom_xor_words(const unsigned char* p, std::size_t count)
{
    // The words are copied here rather than through rom_load_word(): an
    // exported function may be replaced at load time in a shared build, so
    // the compiler would call it once per word instead of turning the loop
    // into wide loads. This loop reads every byte of an image twice.
    std::uint32_t x = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t w = 0;
        std::memcpy(&w, p + 4 * i, sizeof w);
        x ^= w;
    }
    return x;
}

unsigned int rom_address(const void* p)
{
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p));
}
