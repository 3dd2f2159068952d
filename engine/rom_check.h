// engine/rom_check.h - the format checks of a ROM image, in the order the
// upgrade check runs them.
//
//   rom_check_magic      the first magic, and room for the header record
//   rom_load_header      header copy, descrambling, its debug lines
//   rom_check_header     second magic, partition_num, both ROM checksums
//   rom_walk_partitions  every partition header and its data, calling the
//                        caller's rule for each partition that passed
//
// Every function takes the image with its length (the file size, or the
// size of the shared segment) and refuses any range the headers name that
// leaves it; nothing read from the image is trusted before it is bounded.
// A failing check logs its lines and its code (upd_msg_log) and returns the
// code at once; nothing filled in before is cleared. A null argument
// returns -1 and logs nothing. The acceptance rules (device, OEM,
// versions, special partitions) are not here: they are the rule that the
// caller hands to rom_walk_partitions, and the steps it runs between
// rom_check_header and the walk.
#pragma once

#include "rom_format.h"

#include <cstddef>

// Logs the first word and checks it is ROM_MAGIC (wrong byte order
// included: -100). An image too short to hold the first word or the
// 140-byte header record also gives -100, with a line that says so.
int rom_check_magic(const void* image, std::size_t image_len);

// Zeroes `header`, copies the first 140 bytes of the image into it and,
// when rom_header_size is 128 or more, descrambles it in place; below 128
// it warns and keeps the plain copy. Then logs the header fields. A
// rom_header_size above ROM_HEADER_SIZE_MAX, or a header longer than the
// image, gives -100 before anything is descrambled. Returns 0 or -100.
int rom_load_header(const void* image, std::size_t image_len, rom_header* header);

// The header checks on a record filled by rom_load_header: second magic
// (-99), partition_num above 16 (-79), the ROM header checksum over the
// stored bytes (-98), and the ROM checksum over the rom_size bytes after
// the header (-97, also when they leave the image). Returns 0 or the code.
int rom_check_header(const void* image, std::size_t image_len, const rom_header* header);

// Applied to partition `index` once its format checks passed; `part` is
// its filled record, `data` its first byte (partition_size bytes, inside
// the image). 0 goes on with the next partition; any other value ends the
// walk, which returns it unchanged (the rule logs its own codes).
using rom_partition_rule = int (*)(void* context, int index, const partition_header* part,
                                   const unsigned char* data);

// Zeroes partition_num records of `headers` (room for 16) and walks the
// partition headers from 12 + rom_header_size: copies header k into
// record k, logs it, checks its magic (-93), header checksum (-92) and
// data checksum (-91), then applies `rule` (null: format checks only).
// A header or its data outside the image gives -93, -92 or -91 with a
// line naming the range. Returns 0, a check's code, or the rule's value.
int rom_walk_partitions(const void* image, std::size_t image_len, const rom_header* header,
                        partition_header* headers, rom_partition_rule rule, void* context);

// All of the above in order, with no acceptance rules: whether the image
// is well-formed. Returns 0 or the code of the first failing check.
int rom_check_format(const void* image, std::size_t image_len, rom_header* header,
                     partition_header* headers);
