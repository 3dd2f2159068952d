// engine/rom_format.h - the ROM image format: the header records, the
// UPD_MSG result codes, the header descrambling and the XOR checksums.
//
// An image is a ROM header (12 + rom_header_size bytes), partition_num
// partition headers back to back (12 + partition_header_size bytes each)
// and the data of every partition at its partition_offset. Every word is
// an unsigned 32-bit little-endian integer. The records below are byte
// copies of the image, so they hold the image's byte order; the phone and
// every host this builds for are little-endian.
//
// Words are read from the image with rom_load_word(), which copies the
// bytes and therefore never makes a misaligned access: sizes and offsets
// that are not multiples of 4 are read unaligned, not refused.
#pragma once

#include <cstddef>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the header records are byte copies of a little-endian image");

// "RROM" from the most significant byte down; in the file 4D 4F 52 52.
constexpr unsigned int ROM_MAGIC = 0x52524F4DU;
// "RPAT" from the most significant byte down; in the file 54 41 50 52.
constexpr unsigned int PARTITION_MAGIC = 0x52504154U;

// The rom_header record: the first 140 bytes of an image.
constexpr int ROM_HEADER_RECORD_SIZE = 140;
// The smallest image the check accepts to look at: the record is copied
// from it whatever rom_header_size says.
constexpr std::size_t ROM_IMAGE_MIN_SIZE = ROM_HEADER_RECORD_SIZE;
// rom_header_size of the two header forms: 124 plain, 128 scrambled. Any
// size from ROM_HEADER_SCRAMBLED_SIZE up marks a scrambled header.
constexpr unsigned int ROM_HEADER_PLAIN_SIZE = 124;
constexpr unsigned int ROM_HEADER_SCRAMBLED_SIZE = 128;
// The scrambled region runs from ROM_SCRAMBLE_START for rom_header_size -
// ROM_SCRAMBLE_SHORTFALL bytes; at most 164 keeps it inside the record.
constexpr int ROM_SCRAMBLE_START = 12;
constexpr unsigned int ROM_SCRAMBLE_SHORTFALL = 36;
constexpr unsigned int ROM_HEADER_SIZE_MAX =
    ROM_HEADER_RECORD_SIZE - ROM_SCRAMBLE_START + ROM_SCRAMBLE_SHORTFALL;
// The partition_header record and the size field of the current format.
constexpr int PARTITION_HEADER_RECORD_SIZE = 44;
constexpr unsigned int PARTITION_HEADER_SIZE = 32;
// Room in the caller's partition header array and burn flags.
constexpr int ROM_PARTITIONS_MAX = 16;

struct rom_header {
    unsigned int magic_num;           // 0: ROM_MAGIC
    unsigned int rom_header_size;     // 4: header bytes after the first 12
    unsigned int rom_header_checksum; // 8: XOR of the header words from 8 is 0
    unsigned int rom_type;            // 12: logged only
    unsigned int process_type;        // 16: 1 = force upgrade of the whole ROM
    unsigned int partition_num;       // 20: always stored plain
    unsigned int device_id;           // 24
    unsigned int oem_id;              // 28
    unsigned int rom_version;         // 32: a.b.c.d, a in the top byte
    unsigned int rom_size;            // 36: bytes after the header; plain
    unsigned int rom_checksum;        // 40: XOR of rom_size / 4 words; plain
    unsigned char match_id[16];       // 44
    unsigned int mid_version;         // 60
    unsigned int sw_protect;          // 64
    unsigned char reserved0[36];      // 68
    unsigned int second_magic;        // 104: ROM_MAGIC in a scrambled header
    // In the image the scrambled counterparts of the plain words at 20, 40
    // and 36; in the record, once descrambled, the values they came out as.
    unsigned int scrambled_partition_num; // 108
    unsigned int scrambled_rom_checksum;  // 112
    unsigned int scrambled_rom_size;      // 116
    unsigned char reserved1[4];           // 120
    unsigned char key;                    // 124: rotation count of the descrambling
    unsigned char reserved2[15];          // 125
};

struct partition_header {
    unsigned int magic_num;                 // 0: PARTITION_MAGIC
    unsigned int partition_header_size;     // 4: header bytes after the first 12
    unsigned int partition_header_checksum; // 8: XOR of the header words from 8 is 0
    unsigned int partition_type;            // 12: 0 flash, 1-3 special
    unsigned int process_type;              // 16: 1 = force upgrade
    unsigned int partition_data_type;       // 20: logged only
    unsigned int partition_id;              // 24: MTD number, or 255 and up
    unsigned int partition_version;         // 28: a.b.c.d
    unsigned int partition_size;            // 32: data length in bytes
    unsigned int partition_checksum;        // 36: XOR of partition_size / 4 words
    unsigned int partition_offset;          // 40: data position in the image
};

static_assert(sizeof(rom_header) == ROM_HEADER_RECORD_SIZE, "rom_header is 140 bytes");
static_assert(
    offsetof(rom_header, rom_header_size) == 4 && offsetof(rom_header, rom_header_checksum) == 8 &&
        offsetof(rom_header, rom_type) == 12 && offsetof(rom_header, process_type) == 16 &&
        offsetof(rom_header, partition_num) == 20 && offsetof(rom_header, device_id) == 24 &&
        offsetof(rom_header, oem_id) == 28 && offsetof(rom_header, rom_version) == 32 &&
        offsetof(rom_header, rom_size) == 36 && offsetof(rom_header, rom_checksum) == 40 &&
        offsetof(rom_header, match_id) == 44 && offsetof(rom_header, mid_version) == 60 &&
        offsetof(rom_header, sw_protect) == 64 && offsetof(rom_header, second_magic) == 104 &&
        offsetof(rom_header, scrambled_partition_num) == 108 &&
        offsetof(rom_header, scrambled_rom_checksum) == 112 &&
        offsetof(rom_header, scrambled_rom_size) == 116 && offsetof(rom_header, key) == 124,
    "rom_header field offsets");
static_assert(sizeof(partition_header) == PARTITION_HEADER_RECORD_SIZE,
              "partition_header is 44 bytes");
static_assert(offsetof(partition_header, partition_header_size) == 4 &&
                  offsetof(partition_header, partition_header_checksum) == 8 &&
                  offsetof(partition_header, partition_type) == 12 &&
                  offsetof(partition_header, process_type) == 16 &&
                  offsetof(partition_header, partition_data_type) == 20 &&
                  offsetof(partition_header, partition_id) == 24 &&
                  offsetof(partition_header, partition_version) == 28 &&
                  offsetof(partition_header, partition_size) == 32 &&
                  offsetof(partition_header, partition_checksum) == 36 &&
                  offsetof(partition_header, partition_offset) == 40,
              "partition_header field offsets");

// Result codes of the upgrade engine.
constexpr int UPD_MSG_ARG_ADDR_ERR = -100;
constexpr int UPD_MSG_ROM_HEADER_RROM_ERR = -99;
constexpr int UPD_MSG_ROM_HEADER_CHECKSUM_ERR = -98;
constexpr int UPD_MSG_ROM_CHECKSUM_ERR = -97;
constexpr int UPD_MSG_OEM_VERSION_ERR = -96;
constexpr int UPD_MSG_MACHINE_ID_ERR = -95;
constexpr int UPD_MSG_MATCH_ID_ERR = -94;
constexpr int UPD_MSG_PART_HEADER_RPAT_ERR = -93;
constexpr int UPD_MSG_PART_HEADER_CHECKSUM_ERR = -92;
constexpr int UPD_MSG_PART_CHECKSUM_ERR = -91;
constexpr int UPD_MSG_PARTITION_ID_ERROR = -90;
constexpr int UPD_MSG_PARTITION_TYPE_ERROR = -89;
constexpr int UPD_MSG_READ_ENV_FAILED = -88;
constexpr int UPD_MSG_READ_HWVERSION_FAILED = -87;
constexpr int UPD_MSG_ROM_VERSION_SAME = -86;
constexpr int UPD_MSG_MTD_ENV_LOSED = -85;
constexpr int UPD_MSG_MTD_ADDR_ERR = -84;
constexpr int UPD_MSG_MTD_OPEN_ERR = -83;
constexpr int UPD_MSG_FLASH_ERASE_ERR = -82;
constexpr int UPD_MSG_FLASH_WRITE_ERR = -81;
constexpr int UPD_MSG_SET_ENV_FAILED = -80;
constexpr int UPD_MSG_PART_NUM_ERR = -79;
constexpr int UPD_MSG_MID_OEM_ERR = -78;
constexpr int UPD_MSG_PROTECT_HEADER_ERR = -77;
constexpr int UPD_MSG_PROTECT_OEM_ERR = -76;
constexpr int UPD_MSG_OEM_CHANGE_ERR = -75;
constexpr int UPD_MSG_ROM_VERSION_LOW = -74;
constexpr int UPD_MSG_PART_VERSION_SAME = 1;

// The substitution table of the header descrambling (defined in
// rom_format.cpp, where its choice is explained).
extern const unsigned char decrypt[256];

// Descrambles `len` bytes (above 0) from `in` to `out`, which may be the
// same buffer: every byte goes through `decrypt`, then the bytes rotate
// left by key[0] modulo len. Only key[0] is read, after the substitution.
// Returns 0; -1 for a null pointer or a len below 1.
int aes_decrypt(unsigned char* key, unsigned char* out, int len, unsigned char* in);

// Logs the text of `code` at error level: its name and a newline, except
// that -83 logs "UPD_MSG_MTD_ADDR_ERR\n"; codes without a text (-78 to
// -74, and anything not tabled) log nothing.
void upd_msg_log(int code);
// Logs `code` as upd_msg_log() does and returns it: how a check refuses.
int upd_msg_refuse(int code);
// The name of a tabled code (with or without a log text), or null.
const char* upd_msg_name(int code);

// The little-endian word at `p`, read byte-wise (any alignment).
unsigned int rom_load_word(const unsigned char* p);
// XOR of `count` consecutive words from `p` (0 for none).
unsigned int rom_xor_words(const unsigned char* p, std::size_t count);
// The low 32 bits of an address, as the phone prints it with "%x".
unsigned int rom_address(const void* p);
