// fuzz/hwver_fuzz.cpp - the hardware version's text on arbitrary bytes.
//
// The input is what the read of /proc/misc/hwver returned; its length is
// the bound (and no more than the first 99 bytes count). The parse must
// succeed exactly when that text, up to its first NUL, has seven dots,
// i.e. eight numbers, and must never write past the eight bytes.
// AddressSanitizer reports any read outside the input.
#include "device_env.h"
#include "rl_log.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rl_log_set_level(-1); // the parse logs the text and its failures
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The copy is allocated to the byte so that any overread shows.
    std::vector<char> text(data, data + size);
    std::vector<unsigned char> hw(8, 0);
    const int rc = parse_hw_version(text.empty() ? nullptr : text.data(), size, hw.data());

    int dots = 0;
    for (std::size_t i = 0; i < size && i < 99 && text[i] != '\0'; ++i)
        if (text[i] == '.') ++dots;
    if ((rc == 0) != (dots == 7)) std::abort();
    if (rc != 0 && rc != -1) std::abort();
    return 0;
}
