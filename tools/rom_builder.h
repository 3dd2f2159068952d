// tools/rom_builder.h - builds ROM images, well-formed or deliberately broken.
//
// rom_build() lays an image out as the phone expects it: the ROM header
// (124 bytes after the first 12 plain, or 128 scrambled with a key byte),
// the partition headers back to back, then every partition's data at a
// 4-byte aligned offset, padded with zero bytes to a multiple of 4 and the
// whole image to at least 140 bytes. It computes all three checksums.
//
// Faults, for tests: the optional fields of the descriptions overwrite the field
// they name after the layout is made; the checksums are then computed over
// the ranges the fields name (bytes outside the image count as nothing),
// so each fault trips only its own check. The bad_* flags spoil one
// checksum; `truncate` cuts the finished image. Faults can also be given
// as text (rom_apply_fault), the form mkrom and its manifests use.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct rom_partition_desc {
    unsigned int partition_id = 0;
    unsigned int partition_type = 0;
    unsigned int version = 0;
    unsigned int process_type = 0;
    unsigned int data_type = 0;
    std::vector<unsigned char> data;

    std::optional<unsigned int> magic;       // instead of PARTITION_MAGIC
    std::optional<unsigned int> header_size; // instead of 32 (layout stays)
    std::optional<unsigned int> size;        // instead of data.size()
    std::optional<unsigned int> offset;      // instead of where the data is
    bool bad_header_checksum = false;
    bool bad_checksum = false;
};

struct rom_image_desc {
    unsigned int rom_type = 0;
    unsigned int process_type = 0;
    unsigned int device_id = 0;
    unsigned int oem_id = 0;
    unsigned int rom_version = 0;
    // Entries not given are 0xFF, which no device's match identifier
    // (four bits) equals.
    std::array<unsigned char, 16> match_id = kNoMatch;
    unsigned int mid_version = 0;
    unsigned int sw_protect = 0;
    std::array<unsigned char, 36> reserved{}; // header bytes 68 to 103
    bool scrambled = true;                    // size 128 with key, or 124 plain
    unsigned char key = 37;
    std::vector<rom_partition_desc> partitions;

    std::optional<unsigned int> magic;        // instead of ROM_MAGIC
    std::optional<unsigned int> second_magic; // instead of ROM_MAGIC at 104
    // Lays out with it up to 164; from 149 the region covers the key byte,
    // which the builder does not solve for, so such images do not descramble.
    std::optional<unsigned int> header_size;
    std::optional<unsigned int> partition_num; // instead of the count
    std::optional<unsigned int> rom_size;      // instead of the bytes after the header
    bool bad_header_checksum = false;
    bool bad_rom_checksum = false;
    std::optional<std::size_t> truncate; // keep only this many bytes

    static constexpr std::array<unsigned char, 16> kNoMatch = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                               0xFF, 0xFF, 0xFF, 0xFF};
};

// The image described by `desc`.
std::vector<unsigned char> rom_build(const rom_image_desc& desc);

// Scrambles `len` bytes in place so that aes_decrypt() with `key` gives
// them back: substitution by the inverse of `decrypt`, then a rotation
// right by key modulo len.
void rom_scramble(unsigned char* region, int len, unsigned char key);

// Applies a fault given as text to `desc` (see rom_fault_help()). Throws
// std::invalid_argument for an unknown fault, a bad number or a partition
// index that `desc` does not have.
void rom_apply_fault(rom_image_desc& desc, const std::string& fault);
// One line per fault that rom_apply_fault() knows.
const char* rom_fault_help();

// "a.b.c.d" (each 0 to 255) as a version word, a in the top byte; throws
// std::invalid_argument for anything else.
unsigned int rom_version_from_text(const std::string& text);
// A version word as "a.b.c.d".
std::string rom_version_text(unsigned int version);
// A decimal or 0x-prefixed hexadecimal number that fits 32 bits; throws
// std::invalid_argument for anything else.
unsigned int rom_number_from_text(const std::string& text);
