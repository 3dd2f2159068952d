// display/text_entry.cpp - the character lists and the multi-tap rule.
#include "text_entry.h"

#include <cstring>

namespace {

// The symbols of the star key: 25 characters, the double quote 18th.
#define SYMBOLS "*.!@$^-_+{}[]():;\"/,'<>~#"
static_assert(sizeof(SYMBOLS) - 1 == 25, "the symbol list has 25 characters");

constexpr int kStar = 10;
constexpr int kHash = 11;

int key_index(char key)
{
    if (key >= '0' && key <= '9') return key - '0';
    if (key == '*') return kStar;
    if (key == '#') return kHash;
    return -1;
}

// Takes back the character before the cursor without committing it: the
// multi-tap character it replaces is still being chosen.
void remove_before_cursor(Control* c)
{
    const std::size_t len = std::strlen(c->text);
    if (c->cursor == 0 || c->cursor > len) return;
    std::memmove(c->text + c->cursor - 1, c->text + c->cursor, len - c->cursor + 1);
    --c->cursor;
    c->dirty = 1;
}

} // namespace

const char* const g_input_text[INPUT_MODE_COUNT] = {"ABC", "abc", "123", "1Ab"};

const char* const g_input_char_list[INPUT_MODE_COUNT][12] = {
    {" 0", "1", "ABC", "DEF", "GHI", "JKL", "MNO", "PQRS", "TUV", "WXYZ", SYMBOLS, "#"},
    {" 0", "1", "abc", "def", "ghi", "jkl", "mno", "pqrs", "tuv", "wxyz", SYMBOLS, "#"},
    {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "*.:@-/", "#"},
    {"0 ", "1", "2abcABC", "3defDEF", "4ghiGHI", "5jklJKL", "6mnoMNO", "7pqrsPQRS", "8tuvTUV",
     "9wxyzWXYZ", SYMBOLS, "#"},
};

int ctrl_add_char(Control* c, char key)
{
    if (c == nullptr || (c->type != 1 && c->type != 2)) return -1;
    const int k = key_index(key);
    if (k < 0) return -1;
    const char* list = g_input_char_list[c->input_mode % INPUT_MODE_COUNT][k];
    const std::size_t n = std::strlen(list);
    int inserted = 0;
    if (static_cast<unsigned char>(key) == c->last_key && c->ticks < 2) {
        if (n < 2) {
            c->tap_index = 0;
            inserted = ctrl_insert_char(c, list[0]);
        } else {
            c->tap_index = static_cast<unsigned char>((c->tap_index + 1) % n);
            remove_before_cursor(c);
            inserted = ctrl_insert_char(c, list[c->tap_index]);
        }
    } else {
        c->tap_index = 0;
        inserted = ctrl_insert_char(c, list[0]);
    }
    // Set whatever the insertion did: a quick second press of the same key
    // then still replaces the character before the cursor.
    c->pending = n >= 2 ? 1 : 0;
    c->last_key = static_cast<unsigned char>(key);
    c->ticks = 0;
    return inserted == 0 ? 0 : -1; // a full text takes nothing
}

void ctrl_switch_input(Control* c)
{
    c->input_mode = static_cast<unsigned char>((c->input_mode + 1) % INPUT_MODE_COUNT);
    c->dirty = 1;
}

const char* ctrl_get_input_text(unsigned char mode)
{
    return mode < INPUT_MODE_COUNT ? g_input_text[mode] : g_input_text[1];
}
