// The device environment on the simulated phone: its /proc files copied
// with the real /tmp/bin/cat, its version files, its boot environment
// written through the shell.
#include "device_env.h"
#include "phone.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <syslog.h>
#include <unistd.h>

namespace {

const std::string kEnvCopy =
    "shellcmd:/tmp/bin/cat /proc/avalanche/env > /tmp/avalanche_env_file\n";

class DeviceEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        ASSERT_EQ(system("mkdir -p /tmp/bin && cp /bin/cat /tmp/bin/"), 0);
        software("2.0.0.14,Fri Dec 4 2026\n");
        for (const char* f : {"/app/version.conf", "/basic/version.conf", "/version.conf"})
            phone_write_file(f, "");
    }

    // What /proc/avalanche/env reads as, byte for byte.
    static void raw_env(const std::string& text)
    {
        phone_write_file(phone_state_path("platform/env.raw"), text);
    }
    static void software(const std::string& text)
    {
        phone_write_file(phone_state_path("platform/software"), text);
    }

    int read_table() { return read_env_info(table); }
    const env_info* find(const char* name) { return find_env_entry(table, name); }
    std::string text(const char* name)
    {
        const env_info* e = find(name);
        return e != nullptr ? e->value : "<absent>";
    }
    // A range entry as "start,end" in hex, or "<absent>".
    std::string range(const char* name)
    {
        const env_info* e = find(name);
        if (e == nullptr) return "<absent>";
        char text[32];
        snprintf(text, sizeof text, "%x,%x", e->range.start_addr, e->range.end_addr);
        return text;
    }
    int used() const
    {
        int n = 0;
        while (n < ENV_TABLE_SIZE && table[n].name[0] != '\0') ++n;
        return n;
    }

    env_info table[ENV_TABLE_SIZE] = {};
};

TEST_F(DeviceEnv, KeepsTheKnownVariablesInTheirForms)
{
    raw_env("mtd3\t0x90010000,0x90020000\n"
            "mtd4 90730000,907b0000\n"
            "SW_OEM  12\n"
            "SW_protect 1\r\n"
            "bootdelay 3\n"
            "RomVersion 9.9.9.9\n"
            "Mtd2Version 1.2.3.4 extra  words\n"
            "mtd5 \n"
            "mtd6 zz\n"
            "mtd7 0x100\n"
            "MID_VERSION 1");
    ASSERT_EQ(read_table(), 0);

    EXPECT_EQ(range("mtd3"), "90010000,90020000");
    EXPECT_EQ(range("mtd4"), "90730000,907b0000");
    for (size_t i = sizeof(env_range); i < sizeof table[0].value; ++i)
        ASSERT_EQ(find("mtd3")->value[i], 0) << "byte " << i << " of the range entry";
    // Nothing is trimmed: the second blank and the carriage return stay.
    EXPECT_EQ(text("SW_OEM"), " 12");
    EXPECT_EQ(text("SW_protect"), "1\r");
    EXPECT_EQ(text("Mtd2Version"), "1.2.3.4 extra  words");
    // Unkept names, an empty or unreadable range, and a last line without
    // its newline are dropped without a word.
    for (const char* dropped : {"bootdelay", "RomVersion", "mtd5", "mtd6", "MID_VERSION"})
        EXPECT_EQ(find(dropped), nullptr) << dropped;
    EXPECT_EQ(range("mtd7"), "100,0") << "one number: the range has no end";
    for (const auto& r : phone_syslog()) EXPECT_NE(r.level, LOG_ERR) << r.msg;
    EXPECT_EQ(phone_logged(LOG_INFO, kEnvCopy), 1) << "a copy that holds something is not repeated";
    // Entries in the order of the lines, then the software version.
    EXPECT_STREQ(table[0].name, "mtd3");
    EXPECT_STREQ(table[1].name, "mtd4");
    EXPECT_STREQ(table[used() - 1].name, "Mtd1Version");
}

TEST_F(DeviceEnv, BadLinesAreRefusedInTheirOrderWithTheirMessages)
{
    const std::string name49(49, 'N');
    const std::string name50(50, 'N');
    const std::string value99(99, 'v');
    const std::string value100(100, 'v');
    raw_env("mtd5\n" + name49 + " 1\n" + name50 + " 1\n" + "SW_OEM " + value99 + "\n" +
            "Mtd2Version " + value100 + "\n" + std::string(149, 'L') + "\n" + "SW_protect " +
            std::string(139, 'x') + "\n" + "MID_VERSION 0\n");
    ASSERT_EQ(read_table(), 0);
    EXPECT_EQ(phone_logged(LOG_ERR, "invalid env\n"), 2);
    EXPECT_EQ(phone_logged(LOG_ERR, "env name too long\n"), 1);
    EXPECT_EQ(phone_logged(LOG_ERR, "env value too long\n"), 1);
    // The 149-character line is short enough but has no blank; the
    // 150-character line is too long whatever it holds, and the line after
    // it is read as usual.
    EXPECT_EQ(phone_logged(LOG_ERR, "env data too long\n"), 1);
    EXPECT_EQ(text("SW_OEM"), value99);
    EXPECT_EQ(find("Mtd2Version"), nullptr);
    EXPECT_EQ(find("SW_protect"), nullptr);
    EXPECT_EQ(text("MID_VERSION"), "0");
}

TEST_F(DeviceEnv, AFullTableRefusesEveryFurtherLineAndVersion)
{
    std::string env;
    for (int i = 0; i < 31; ++i) env += "SW_OEM " + std::to_string(i) + "\n";
    env += "bootdelay 3\n";
    raw_env(env);
    phone_write_file("/app/version.conf", "[Version]\nRomVersion = 1.0.0.1\n");
    ASSERT_EQ(read_table(), 0);
    EXPECT_EQ(used(), ENV_TABLE_SIZE);
    EXPECT_STREQ(table[29].value, "29");
    EXPECT_EQ(phone_logged(LOG_ERR, "env data too many\n"), 2);
    EXPECT_EQ(find("RomVersion"), nullptr);
    EXPECT_EQ(find("Mtd1Version"), nullptr);
    // The first of equal names wins.
    EXPECT_EQ(text("SW_OEM"), "0");
}

TEST_F(DeviceEnv, VersionsComeFromTheirFilesInOrder)
{
    raw_env("");
    phone_write_file("/app/version.conf",
                     "[Version]\nMtd6Version = 6.0.0.1\nRomVersion = 3.1.0.7\n");
    phone_write_file("/basic/version.conf", "[Version]\nMtd5Version=5.0.0.2\n");
    phone_write_file("/version.conf", "[Other]\nMtd0Version = 0.0.0.9\n");
    software("2.0.0.14,some build text\nsecond line\n");
    ASSERT_EQ(read_table(), 0);
    ASSERT_EQ(used(), 4);
    EXPECT_STREQ(table[0].name, "RomVersion");
    EXPECT_STREQ(table[0].value, "3.1.0.7");
    EXPECT_STREQ(table[1].name, "Mtd6Version");
    EXPECT_STREQ(table[2].name, "Mtd5Version");
    EXPECT_STREQ(table[2].value, "5.0.0.2");
    EXPECT_STREQ(table[3].name, "Mtd1Version");
    EXPECT_STREQ(table[3].value, "2.0.0.14");
    // The copy of the empty environment is tried five times, the software's once.
    EXPECT_EQ(phone_logged(LOG_INFO, kEnvCopy), 5);
    EXPECT_EQ(
        phone_logged(LOG_INFO, "shellcmd:/tmp/bin/cat /proc/ver/software > /tmp/ver_software\n"),
        1);
    // Without the copy of cat nothing can be read.
    ASSERT_EQ(unlink("/tmp/bin/cat"), 0);
    EXPECT_EQ(read_table(), -1);
}

// A software line without a comma gives -88, which the RomAccept tests see
// as the check's refusal.
TEST_F(DeviceEnv, TheSoftwareVersionIsCutToFitAndItsCopyMustSucceed)
{
    // A first field longer than a value is cut, never overrun.
    software(std::string(140, '7') + ",x\n");
    ASSERT_EQ(read_table(), 0);
    EXPECT_EQ(text("Mtd1Version"), std::string(99, '7'));

    // A copy that fails ends the read at once.
    std::memset(table, 0, sizeof table);
    phone_add_fault("fault command 1 /tmp/bin/cat /proc/ver/software");
    EXPECT_EQ(read_table(), -1);
    EXPECT_EQ(read_env_info(nullptr), -1);
}

TEST_F(DeviceEnv, SetEnvValueWritesThroughTheShellWhatIsSafe)
{
    ASSERT_EQ(set_env_value("SW_protect", "1"), 0);
    ASSERT_EQ(set_env_value("SW_OEM", "42"), 0);
    ASSERT_EQ(read_table(), 0);
    EXPECT_EQ(text("SW_protect"), "1");
    EXPECT_EQ(text("SW_OEM"), "42");

    ASSERT_EQ(set_env_value("SW_OEM", ""), 0);
    EXPECT_EQ(phone_logged(LOG_INFO, "\nshellcmd:echo \"SW_OEM\" >/proc/avalanche/env \n"), 1);
    std::memset(table, 0, sizeof table);
    ASSERT_EQ(read_table(), 0);
    EXPECT_EQ(find("SW_OEM"), nullptr) << "the empty value clears the variable";

    // What cannot be written safely is refused.
    EXPECT_EQ(set_env_value(nullptr, "1"), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "penv_name NULL!\n"), 1);
    EXPECT_EQ(set_env_value("SW_OEM", nullptr), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "penv_value NULL!\n"), 1);
    // 27 characters of the command are fixed: name + value must stay below 229.
    EXPECT_EQ(set_env_value(std::string(100, 'n').c_str(), std::string(129, 'v').c_str()), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "env str too long!\n"), 1);
    // The command itself must fit too: its fixed text is 30 characters.
    EXPECT_EQ(set_env_value(std::string(100, 'n').c_str(), std::string(126, 'v').c_str()), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "env str too long!\n"), 2);
    const std::string longest = std::string(100, 'n') + " " + std::string(125, 'v');
    EXPECT_EQ(set_env_value(std::string(100, 'n').c_str(), std::string(125, 'v').c_str()), 0);
    EXPECT_EQ(phone_logged(LOG_INFO, "\nshellcmd:echo \"" + longest + "\" >/proc/avalanche/env \n"),
              1);
    // Text that would end the quoted word or expand in it never reaches a shell.
    EXPECT_EQ(set_env_value("SW_OEM", "1\" >/tmp/pwned; echo \""), -1);
    EXPECT_EQ(set_env_value("SW_OEM", "$(touch /tmp/pwned)"), -1);
    EXPECT_EQ(set_env_value("SW_OEM`touch /tmp/pwned`", "1"), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "env str unsafe!\n"), 3);
    EXPECT_EQ(access("/tmp/pwned", F_OK), -1);
    // A failing command is reported.
    phone_add_fault("fault command 1 echo \"SW_protect");
    EXPECT_EQ(set_env_value("SW_protect", "0"), -1);
    EXPECT_EQ(
        phone_logged(LOG_ERR, "echo \"SW_protect 0\" >/proc/avalanche/env  shellcmd failed!\n"), 1);
}

TEST_F(DeviceEnv, FindEnvByNameIsExactAndLooksAtThirtyEntries)
{
    env_info t[ENV_TABLE_SIZE + 1] = {};
    std::strcpy(t[3].name, "SW_OEM");
    std::strcpy(t[7].name, "SW_OEM");
    std::strcpy(t[ENV_TABLE_SIZE].name, "MID_VERSION");
    unsigned int index = 99;
    EXPECT_EQ(find_env_by_name(t, "SW_OEM", &index), 0);
    EXPECT_EQ(index, 3U);
    index = 99;
    EXPECT_EQ(find_env_by_name(t, "sw_oem", &index), -1);
    EXPECT_EQ(find_env_by_name(t, "SW_OE", &index), -1);
    EXPECT_EQ(find_env_by_name(t, "MID_VERSION", &index), -1) << "entry 30 is not in the table";
    EXPECT_EQ(index, 99U);
    EXPECT_EQ(find_env_by_name(nullptr, "SW_OEM", &index), -1);
    EXPECT_EQ(find_env_by_name(t, nullptr, &index), -1);
    EXPECT_EQ(find_env_by_name(t, "SW_OEM", nullptr), -1);
    // A name that fills the whole field without a terminator matches only
    // itself, not a longer text.
    std::memset(t[0].name, 'A', sizeof t[0].name);
    EXPECT_EQ(find_env_by_name(t, std::string(50, 'A').c_str(), &index), -1);
}

TEST_F(DeviceEnv, TheEnvironmentTextGivesOneTableInAnyPieces)
{
    const std::string text = "mtd3\t0x90020000,0x90030000\n" + std::string(400, 'L') +
                             "\nSW_OEM 12\nbootdelay 3\nMID_VERSION 1.0\nSW_protect 1";
    env_info whole[ENV_TABLE_SIZE] = {};
    env_lines a = env_lines_start(whole, 0);
    env_lines_take(&a, text.data(), text.size());
    EXPECT_EQ(a.count, 3);
    EXPECT_STREQ(whole[0].name, "mtd3");
    EXPECT_EQ(whole[0].range.start_addr, 0x90020000U);
    EXPECT_STREQ(whole[1].value, "12");
    EXPECT_STREQ(whole[2].value, "1.0");
    // The text after the last newline is not a line.
    EXPECT_EQ(whole[3].name[0], '\0');
    EXPECT_EQ(phone_logged(LOG_ERR, "env data too long\n"), 1);

    // Byte by byte, and in pieces that end inside the long line: the same.
    for (const size_t step : {size_t{1}, size_t{7}, size_t{150}, size_t{151}}) {
        env_info pieces[ENV_TABLE_SIZE] = {};
        env_lines b = env_lines_start(pieces, 0);
        for (size_t at = 0; at < text.size(); at += step)
            env_lines_take(&b, text.data() + at, std::min(step, text.size() - at));
        EXPECT_EQ(b.count, a.count) << step;
        EXPECT_EQ(std::memcmp(pieces, whole, sizeof whole), 0) << step;
    }
    // Entries already taken are kept; nothing at all is harmless.
    env_lines c = env_lines_start(whole, 3);
    env_lines_take(&c, nullptr, 0);
    env_lines_take(&c, "SW_OEM 4\n", 9);
    EXPECT_EQ(c.count, 4);
    EXPECT_STREQ(whole[3].value, "4");
}

// /proc/misc/hwver holds eight numbers; what is parsed are its first 99
// bytes, up to a NUL.
TEST_F(DeviceEnv, HardwareVersionIsEightNumbersInItsFirst99Bytes)
{
    unsigned char hw[8] = {};
    phone_write_file(phone_state_path("platform/hwver"), "59.0.0.1.3.0.0.1\n");
    ASSERT_EQ(read_hw_version(hw), 0);
    const unsigned char want[8] = {59, 0, 0, 1, 3, 0, 0, 1};
    EXPECT_EQ(std::memcmp(hw, want, 8), 0);
    EXPECT_EQ(read_hw_version(nullptr), -1);

    const auto parse = [&hw](const std::string& t) {
        return parse_hw_version(t.data(), t.size(), hw);
    };
    EXPECT_EQ(parse("59.0.0.1.3.0.0"), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "hwver read fail2\n"), 1);
    EXPECT_EQ(parse("59.0.0.1.3.0.0.1.7"), -1);
    EXPECT_EQ(phone_logged(LOG_ERR, "read hwver fail1\n"), 1);
    // Numbers are cut to their low byte.
    ASSERT_EQ(parse("256.257.4294967297.0.0.0.0.1"), 0);
    EXPECT_EQ(hw[0], 0);
    EXPECT_EQ(hw[1], 1);
    EXPECT_EQ(hw[2], 1);
    // The seventh dot is the 99th byte: the eighth number, after it, is
    // not read and counts as 0.
    const std::string padded = std::string(86, '0') + ".1.2.3.4.5.6." + "7";
    ASSERT_EQ(padded.size(), 100U);
    ASSERT_EQ(parse(padded), 0);
    EXPECT_EQ(hw[6], 6);
    EXPECT_EQ(hw[7], 0);
    // One byte more in front and the seventh dot is not read either.
    EXPECT_EQ(parse("0" + padded), -1);
    // A NUL ends the text.
    EXPECT_EQ(parse(std::string("1.2.3\0.4.5.6.7.8", 16)), -1);
    EXPECT_EQ(parse_hw_version(nullptr, 0, hw), -1);
    EXPECT_EQ(parse_hw_version(nullptr, 5, hw), -1);
    EXPECT_EQ(parse_hw_version(padded.data(), padded.size(), nullptr), -1);
}

} // namespace
