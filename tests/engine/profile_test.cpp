// INI reader: sections, keys, blanks, comments, line ends, limits.
#include "phone.h"
#include "profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr const char* kFile = "/tmp/test.ini";

// Writes `text` to the test file and reads `key` of `section` from it.
std::string lookup(const std::string& text, const char* section, const char* key, int size = 100)
{
    phone_write_file(kFile, text);
    char value[256];
    std::memset(value, '#', sizeof value);
    value[sizeof value - 1] = '\0';
    const int r = read_profile_string(section, key, value, size, nullptr, kFile);
    return r == 1 ? std::string(value) : std::string("<not found>");
}

TEST(Profile, FindsTheFirstTrimmedValueOfExactlyTheNames)
{
    const std::string text = "[Version]\nRomVersion = 2.0.0.14\n";
    EXPECT_EQ(lookup(text, "Version", "RomVersion"), "2.0.0.14");
    EXPECT_EQ(lookup(text, "Version", "romversion"), "<not found>");
    EXPECT_EQ(lookup(text, "version", "RomVersion"), "<not found>");
    EXPECT_EQ(lookup("[  Version \t]\nA=1\n", "Version", "A"), "1");
    EXPECT_EQ(lookup("[Version]\n   A = 1\n", "Version", "A"), "1");
    EXPECT_EQ(lookup("  [Version]\nA=1\n", "Version", "A"), "<not found>");
    EXPECT_EQ(lookup("[Version]\nA = v \t \t\n", "Version", "A"), "v");
    EXPECT_EQ(lookup("[Version]\nA = \n", "Version", "A"), "");
    EXPECT_EQ(lookup("[Version]\nkey=a=b\n", "Version", "key"), "a=b");
    EXPECT_EQ(lookup("[Version]\nno equals here\nA=2", "Version", "A"), "2");
    // The first match wins, across repeated sections too.
    EXPECT_EQ(lookup("[S]\nA=1\nA=2\n", "S", "A"), "1");
    EXPECT_EQ(lookup("[S]\nB=1\n[T]\nA=9\n[S]\nA=3\n", "S", "A"), "3");
    EXPECT_EQ(lookup("[T]\nA=9\n[S]\nB=1\n", "S", "A"), "<not found>");
    // A key of another section is not found in this one.
    EXPECT_EQ(lookup("[S]\n[T]\nA=9\n", "S", "A"), "<not found>");
}

TEST(Profile, CommentsLineEndsAndHeaderLines)
{
    // Comments only in the first column.
    EXPECT_EQ(lookup("[V]\nX=0\n;RomVersion=1\nRomVersion=2\n", "V", "RomVersion"), "2");
    // A semicolon after blanks is part of the key, which then does not match.
    EXPECT_EQ(lookup("[V]\nX=0\n  ;A=1\nA=2\n", "V", "A"), "2");
    EXPECT_EQ(lookup("[V]\nX=0\n  ;A=1\n", "V", ";A"), "1");
    // The first body line has its leading white space skipped, so it can be a comment.
    EXPECT_EQ(lookup("[V]\n\n  ;A=1\nA=2\n", "V", "A"), "2");
    // CR LF and a lone CR end a line too.
    EXPECT_EQ(lookup("[V]\r\nA=1\r\nB=2\r\n", "V", "A"), "1");
    EXPECT_EQ(lookup("[V]\r\nA=1\r\nB=2\r\n", "V", "B"), "2");
    EXPECT_EQ(lookup("[V]\rA=1\rB=2", "V", "B"), "2");
    // Text after "]" is the section's first line.
    EXPECT_EQ(lookup("[V] A=5\nB=6\n", "V", "A"), "5");
    // A "[" not in the first column is ordinary text.
    EXPECT_EQ(lookup("[V]\nA=x[y]\nB=[z]\n", "V", "B"), "[z]");
    // A header without "]" matches nothing.
    EXPECT_EQ(lookup("[V\nA=1\n", "V", "A"), "<not found>");
}

TEST(Profile, ValueIsCutBeforeTrimming)
{
    const std::string long_value(150, 'x');
    EXPECT_EQ(lookup("[V]\nA=" + long_value + "\n", "V", "A", 100), std::string(99, 'x'));
    // Leading blanks count against the limit: 4 blanks + "abcdef" cut to 7.
    EXPECT_EQ(lookup("[V]\nA=    abcdef\n", "V", "A", 8), "abc");
    EXPECT_EQ(lookup("[V]\nA=abc\n", "V", "A", 1), "");
    // The helpers: a trim of both ends, a copy of the left part.
    char s[] = " \t a b \t ";
    EXPECT_STREQ(str_trim(s), "a b");
    char blank[] = " \t ";
    EXPECT_STREQ(str_trim(blank), "");
    EXPECT_EQ(str_trim(nullptr), nullptr);
    char dst[8];
    EXPECT_STREQ(str_left(dst, "abcdef", 3), "abc");
    EXPECT_STREQ(str_left(dst, "ab", 5), "ab");
}

TEST(Profile, NotFoundLeavesValueOrCopiesDefault)
{
    char value[8] = "keep";
    EXPECT_EQ(read_profile_string("V", "A", value, 8, nullptr, "/tmp/none.ini"), 0);
    EXPECT_STREQ(value, "keep");
    phone_write_file(kFile, "");
    EXPECT_EQ(read_profile_string("V", "A", value, 8, nullptr, kFile), 0);
    EXPECT_STREQ(value, "keep");
    phone_write_file(kFile, "[V]\nB=1\n");
    EXPECT_EQ(read_profile_string("V", "A", value, 8, "defaultvalue", kFile), 0);
    EXPECT_STREQ(value, "default"); // cut to size - 1
    EXPECT_EQ(read_profile_string("W", "B", value, 8, "d", kFile), 0);
    EXPECT_STREQ(value, "d");
    EXPECT_EQ(read_profile_string(nullptr, "B", value, 8, "z", kFile), 0);
    EXPECT_EQ(read_profile_string("V", "B", value, 8, "z", nullptr), 0);
    EXPECT_STREQ(value, "d"); // null arguments touch nothing

    // The file's text already loaded gives what the file gives (the tests
    // above read through it); its own limits are the size and a null text.
    const char* text = "[Version]\nRomVersion = 2.0.0.14\n";
    char loaded[16] = "keep";
    EXPECT_EQ(text_profile_string("Version", "RomVersion", loaded, 0, "d", text), 0);
    EXPECT_EQ(text_profile_string("Version", "RomVersion", loaded, sizeof loaded, "d", nullptr), 0);
    EXPECT_STREQ(loaded, "keep");
    EXPECT_EQ(text_profile_string("Version", "RomVersion", loaded, sizeof loaded, "d", text), 1);
    EXPECT_STREQ(loaded, "2.0.0.14");
}

TEST(Profile, LoadsAtMostTheBufferAndStopsAtNul)
{
    std::string big(INI_TEXT_SIZE + 100, 'a');
    const std::string tail = "\n[V]\nA=late\n";
    phone_write_file(kFile, "[V]\nA=1\n" + big + tail);
    std::vector<char> text(INI_TEXT_SIZE);
    int length = -5;
    ASSERT_EQ(load_ini_file(kFile, text.data(), &length), 1);
    EXPECT_EQ(length, INI_TEXT_SIZE - 1);
    EXPECT_EQ(text[static_cast<size_t>(INI_TEXT_SIZE - 1)], '\0');
    EXPECT_EQ(lookup("[V]\nB=1\n" + big + tail, "V", "A"), "<not found>"); // beyond the buffer
    EXPECT_EQ(lookup(std::string("[V]\nB=1\0A=2\n", 12), "V", "A"), "<not found>");

    EXPECT_EQ(load_ini_file("/tmp/none.ini", text.data(), &length), 0);
    EXPECT_EQ(length, 0);
}

TEST(Profile, ParserReportsBytePositions)
{
    const char* text = "[ S ]\n\nkey = v1\n";
    int p[6] = {7, 7, 7, 7, 7, 7};
    ASSERT_EQ(parse_ini_text("S", "key", text, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5]), 1);
    EXPECT_EQ(p[0], 1);  // after "["
    EXPECT_EQ(p[1], 7);  // after the white space following "]"
    EXPECT_EQ(p[2], 7);  // line start
    EXPECT_EQ(p[3], 10); // last character before "="
    EXPECT_EQ(p[4], 12); // after "="
    EXPECT_EQ(p[5], 15); // the newline
    ASSERT_EQ(parse_ini_text("S", "nokey", text, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5]), 0);
    EXPECT_EQ(p[2], -1);
    EXPECT_EQ(p[5], -1);
}

} // namespace
