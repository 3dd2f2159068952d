// fuzz/ini_fuzz.cpp - the INI parser on arbitrary text, section and key.
//
// The input is "section NUL key NUL text": the section and the key are
// the bytes up to the first and the second NUL (empty when missing), the
// text is the rest, cut to what load_ini_file() would load. Each is a
// terminated heap copy of exactly its length, so that AddressSanitizer
// reports a read past any of them. A match must name positions inside the
// text, in order, with "[" before the section name and "=" after the key;
// the value copied out must fit a buffer of the size the input chose.
#include "profile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The bytes [from, to) of the input as a terminated copy of that length.
std::vector<char> piece(const std::uint8_t* data, std::size_t from, std::size_t to)
{
    std::vector<char> out(data + from, data + to);
    out.push_back('\0');
    return out;
}

std::size_t next_nul(const std::uint8_t* data, std::size_t from, std::size_t size)
{
    const void* nul = from < size ? std::memchr(data + from, 0, size - from) : nullptr;
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data)
                          : size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t s_end = next_nul(data, 0, size);
    const std::size_t k_from = s_end < size ? s_end + 1 : size;
    const std::size_t k_end = next_nul(data, k_from, size);
    std::size_t t_from = k_end < size ? k_end + 1 : size;
    std::size_t t_end = size;
    if (t_end - t_from > static_cast<std::size_t>(INI_TEXT_SIZE - 1))
        t_end = t_from + INI_TEXT_SIZE - 1;

    const std::vector<char> section = piece(data, 0, s_end);
    const std::vector<char> key = piece(data, k_from, k_end);
    const std::vector<char> text = piece(data, t_from, t_end);
    const int len = static_cast<int>(std::strlen(text.data()));

    int pos[6];
    const int rc = parse_ini_text(section.data(), key.data(), text.data(), &pos[0], &pos[1],
                                  &pos[2], &pos[3], &pos[4], &pos[5]);
    if (rc != 0 && rc != 1) std::abort();
    if (rc == 1) {
        const int sec_start = pos[0], sec_end = pos[1], key_start = pos[2], key_end = pos[3],
                  val_start = pos[4], val_end = pos[5];
        if (sec_start < 1 || text[sec_start - 1] != '[') std::abort();
        if (sec_end < sec_start || sec_end > len) std::abort();
        if (key_start < sec_end || key_end < key_start) std::abort();
        if (text[key_end + 1] != '=' || val_start != key_end + 2) std::abort();
        if (val_end < val_start || val_end > len) std::abort();
        std::string found(text.data() + key_start,
                          static_cast<std::size_t>(key_end + 1 - key_start));
        str_trim(found.data());
        if (std::strcmp(found.c_str(), key.data()) != 0) std::abort();
    }

    // The value as read_profile_string() hands it out, into a buffer of
    // 1 to 256 bytes (the section's first byte picks the size).
    const int value_size = 1 + (s_end > 0 ? data[0] : 99);
    std::vector<char> value(static_cast<std::size_t>(value_size), 'x');
    const int got =
        text_profile_string(section.data(), key.data(), value.data(), value_size, "-", text.data());
    if (got != rc) std::abort();
    if (strnlen(value.data(), value.size()) == value.size()) std::abort();
    return 0;
}
