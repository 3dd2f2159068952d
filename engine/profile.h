// engine/profile.h - reader for INI-style text files.
//
// One question per call: the value of one key in one section of one file.
// Sections are "[name]" in the first column, keys are "key = value" lines,
// a ";" in the first column starts a comment, a line ends at a newline or
// carriage return. Names compare exactly (case and inner blanks count);
// the first match in file order wins, repeated sections included. Every
// call loads the file afresh (at most INI_TEXT_SIZE - 1 bytes); nothing is
// cached and nothing is logged. Reentrant: no state between calls.
#pragma once

// Size of the text buffer that holds a whole file, terminator included.
constexpr int INI_TEXT_SIZE = 163840;

// Stores the trimmed value of `key` in `section` of `file` into `value`
// (`size` bytes, at least 1; the value is cut to size - 1 characters before
// trimming) and returns 1. Returns 0 when the key is not found; `value` then
// receives `default_value` if that is not null, and stays untouched
// otherwise. A null section, key, value or file returns 0 at once.
int read_profile_string(const char* section, const char* key, char* value, int size,
                        const char* default_value, const char* file);

// read_profile_string() on a text already loaded (terminated, any
// length): the same value, default and result. A null section, key, value
// or text returns 0 at once.
int text_profile_string(const char* section, const char* key, char* value, int size,
                        const char* default_value, const char* text);

// Loads `file` into `text` (INI_TEXT_SIZE bytes) and terminates it;
// *length receives the number of bytes loaded (0 first in every case).
// Returns 1, or 0 for a null argument or a file that cannot be opened.
int load_ini_file(const char* file, char* text, int* length);

// Searches `text` for `key` in `section`. Returns 1 with the six byte
// positions set (section name start, first character of the section's
// body, key start, key end, value start, value end = the line end), or 0.
// With text, section and key present, all positions are first set to -1.
int parse_ini_text(const char* section, const char* key, const char* text, int* section_start,
                   int* section_end, int* key_start, int* key_end, int* value_start,
                   int* value_end);

// Removes leading and trailing blanks and tabs of `s` in place; returns s
// (null for a null s).
char* str_trim(char* s);
// Copies the first n characters of src (all of it if shorter) into dst,
// terminates it and returns dst.
char* str_left(char* dst, const char* src, int n);
