// fuzz/rom_check_fuzz.cpp - the ROM format checks on arbitrary bytes.
//
// The input is the whole image and its length is the bound: every range
// its headers name must be checked before it is read. AddressSanitizer
// reports any read outside the input.
#include "rl_log.h"
#include "rom_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rl_log_set_level(-1); // the checks' lines would only flood the log
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The phone hands the check a 4-byte aligned image of exactly this
    // length; the copy is allocated to the byte so that any overread shows.
    std::vector<std::uint8_t> image(data, data + size);
    rom_header header;
    partition_header headers[ROM_PARTITIONS_MAX];
    rom_check_format(image.empty() ? nullptr : image.data(), size, &header, headers);
    return 0;
}
