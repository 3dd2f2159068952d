// fuzz/env_lines_fuzz.cpp - the boot environment's lines on arbitrary
// bytes.
//
// The input is the text of /proc/avalanche/env as read_env_info() reads
// it; its length is the bound. The text is taken once whole and once in
// pieces of 1 to 16 bytes (the first byte picks the size): both must fill
// the table alike, since a line may span the pieces of the real reads.
// Every filled entry must be a kept variable with a terminated name, the
// entries after the filled ones must stay zero, and AddressSanitizer
// reports any read outside the input or write outside the table.
#include "device_env.h"
#include "rl_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char* const kKept[] = {"MID_VERSION", "SW_OEM", "SW_protect", "mtd0",       "mtd1",
                             "mtd2",        "mtd3",   "mtd4",       "mtd5",       "mtd6",
                             "mtd7",        "mtd8",   "mtd9",       "Mtd2Version"};

bool kept(const char* name)
{
    for (const char* k : kKept)
        if (std::strcmp(name, k) == 0) return true;
    return false;
}

void check_table(const env_info* table, int count)
{
    if (count < 0 || count > ENV_TABLE_SIZE) std::abort();
    for (int i = 0; i < ENV_TABLE_SIZE; ++i) {
        const env_info& e = table[i];
        if (i >= count) {
            static const env_info zero = {};
            if (std::memcmp(&e, &zero, sizeof e) != 0) std::abort();
            continue;
        }
        if (strnlen(e.name, sizeof e.name) == sizeof e.name) std::abort();
        if (!kept(e.name)) std::abort();
        const bool range = std::strncmp(e.name, "mtd", 3) == 0;
        if (!range && strnlen(e.value, sizeof e.value) == sizeof e.value) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rl_log_set_level(-1); // every refused line would be logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The copy is allocated to the byte so that any overread shows.
    std::vector<char> text(data, data + size);
    const char* p = text.empty() ? nullptr : text.data();

    static env_info whole[ENV_TABLE_SIZE];
    static env_info pieces[ENV_TABLE_SIZE];
    std::memset(whole, 0, sizeof whole);
    std::memset(pieces, 0, sizeof pieces);

    env_lines a = env_lines_start(whole, 0);
    env_lines_take(&a, p, size);
    check_table(whole, a.count);
    if (a.length < 0 || a.length > ENV_LINE_SIZE) std::abort();

    const std::size_t step = size > 0 ? 1 + data[0] % 16 : 1;
    env_lines b = env_lines_start(pieces, 0);
    for (std::size_t at = 0; at < size; at += step) {
        const std::size_t n = size - at < step ? size - at : step;
        env_lines_take(&b, p + at, n);
    }
    if (b.count != a.count || b.length != a.length) std::abort();
    if (std::memcmp(whole, pieces, sizeof whole) != 0) std::abort();
    return 0;
}
