// engine/profile.cpp - INI profile reader.
#include "profile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_line_end(char c)
{
    return c == '\n' || c == '\r' || c == '\0';
}

// A "[" opens a header only in the first column.
bool at_line_start(const char* text, int i)
{
    return i == 0 || text[i - 1] == '\n' || text[i - 1] == '\r';
}

// Copies text[from, to) into a scratch string, trims it and compares.
bool trimmed_equals(const char* text, int from, int to, const char* wanted)
{
    std::string scratch(text + from, static_cast<size_t>(to - from));
    str_trim(scratch.data());
    return std::strcmp(scratch.c_str(), wanted) == 0;
}

// Reads the body of a matching section from `pos` up to the next header or
// the end of the text. Returns the position where the body ended, or -1
// with the key's positions set when the key was found.
int search_section_body(const char* key, const char* text, int pos, int* key_start, int* key_end,
                        int* value_start, int* value_end)
{
    while (text[pos] != '\0' && !(text[pos] == '[' && at_line_start(text, pos))) {
        const int line = pos;
        int end = line;
        while (!is_line_end(text[end])) ++end;
        if (text[line] != ';') {
            int eq = line;
            while (eq < end && text[eq] != '=') ++eq;
            if (eq < end && eq != line && trimmed_equals(text, line, eq, key)) {
                *key_start = line;
                *key_end = eq - 1;
                *value_start = eq + 1;
                *value_end = end;
                return -1;
            }
        }
        pos = end;
        if (text[pos] != '\0') ++pos;
    }
    return pos;
}

} // namespace

char* str_trim(char* s)
{
    if (s == nullptr) return nullptr;
    const char* begin = s;
    while (is_blank(*begin)) ++begin;
    size_t len = std::strlen(begin);
    while (len > 0 && is_blank(begin[len - 1])) --len;
    std::memmove(s, begin, len);
    s[len] = '\0';
    return s;
}

char* str_left(char* dst, const char* src, int n)
{
    size_t len = std::strlen(src);
    if (n < 0) n = 0;
    if (len > static_cast<size_t>(n)) len = static_cast<size_t>(n);
    std::memcpy(dst, src, len);
    dst[len] = '\0';
    return dst;
}

int load_ini_file(const char* file, char* text, int* length)
{
    if (length != nullptr) *length = 0;
    if (file == nullptr || text == nullptr) return 0;
    FILE* f = std::fopen(file, "r");
    if (f == nullptr) return 0;
    int n = 0;
    for (int c; n < INI_TEXT_SIZE - 1 && (c = std::fgetc(f)) != EOF;) {
        text[n++] = static_cast<char>(c);
    }
    text[n] = '\0';
    if (length != nullptr) *length = n;
    std::fclose(f);
    return 1;
}

int parse_ini_text(const char* section, const char* key, const char* text, int* section_start,
                   int* section_end, int* key_start, int* key_end, int* value_start, int* value_end)
{
    if (text == nullptr || section == nullptr || key == nullptr) return 0;
    int unused[6];
    int* pos[6] = {section_start, section_end, key_start, key_end, value_start, value_end};
    for (int k = 0; k < 6; ++k) {
        if (pos[k] == nullptr) pos[k] = &unused[k];
        *pos[k] = -1;
    }

    int i = 0;
    while (text[i] != '\0') {
        if (text[i] != '[' || !at_line_start(text, i)) {
            ++i;
            continue;
        }
        int close = i + 1;
        while (text[close] != '\0' && text[close] != ']') ++close;
        if (text[close] == '\0') return 0; // a header running to the end matches nothing
        if (!trimmed_equals(text, i + 1, close, section)) {
            i = close;
            continue;
        }
        int body = close + 1;
        while (text[body] != '\0' && std::isspace(static_cast<unsigned char>(text[body]))) ++body;
        *pos[0] = i + 1;
        *pos[1] = body;
        const int ended = search_section_body(key, text, body, pos[2], pos[3], pos[4], pos[5]);
        if (ended < 0) return 1;
        i = ended; // the next header, or the end of the text
    }
    return 0;
}

int text_profile_string(const char* section, const char* key, char* value, int size,
                        const char* default_value, const char* text)
{
    if (section == nullptr || key == nullptr || value == nullptr || text == nullptr) return 0;
    if (size < 1) return 0;
    int sec_start, sec_end, key_start, key_end, val_start, val_end;
    if (parse_ini_text(section, key, text, &sec_start, &sec_end, &key_start, &key_end, &val_start,
                       &val_end) == 1) {
        int len = val_end - val_start;
        if (len > size - 1) len = size - 1;
        std::memset(value, 0, static_cast<size_t>(size));
        std::memcpy(value, text + val_start, static_cast<size_t>(len));
        value[len] = '\0';
        str_trim(value);
        return 1;
    }
    if (default_value != nullptr) str_left(value, default_value, size - 1);
    return 0;
}

int read_profile_string(const char* section, const char* key, char* value, int size,
                        const char* default_value, const char* file)
{
    if (section == nullptr || key == nullptr || value == nullptr || file == nullptr) return 0;
    if (size < 1) return 0;

    char* text = static_cast<char*>(std::calloc(INI_TEXT_SIZE, 1));
    int length = 0;
    const bool loaded = text != nullptr && load_ini_file(file, text, &length) == 1;
    // A file that cannot be read holds no key: the default is copied.
    const int found =
        text_profile_string(section, key, value, size, default_value, loaded ? text : "");
    std::free(text);
    return found;
}
