// The upgrade check on the simulated phone: images made by the image
// builder, the phone's boot environment, version files, hardware version,
// MTD devices and the real /tmp/bin tools.
#include "fixture_image.h"
#include "phone.h"
#include "rom_accept.h"

#include "rl_log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

rom_partition_desc flash(unsigned int id, const char* ver = "3.0.0.1", size_t size = 64)
{
    return fixture_partition(id, ver, fixture_data(size, static_cast<unsigned char>(id)));
}

// The value of a boot environment variable as the phone now holds it.
std::string env_var(const std::string& name)
{
    std::istringstream env(phone_read_file("/proc/avalanche/env"));
    for (std::string l; std::getline(env, l);) {
        const size_t sep = l.find_first_of(" \t");
        if (l.substr(0, sep) == name) return sep == std::string::npos ? "" : l.substr(sep + 1);
    }
    return "<unset>";
}

// SW_OEM, SW_protect and MID_VERSION as the phone now holds them.
std::string settings()
{
    return env_var("SW_OEM") + "," + env_var("SW_protect") + "," + env_var("MID_VERSION");
}

void set_env(const std::string& name, const std::string& value)
{
    const std::string cmd =
        "echo \"" + name + (value.empty() ? "" : " " + value) + "\" >/proc/avalanche/env";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

class RomAccept : public ::testing::Test {
protected:
    void SetUp() override
    {
        rl_log_init("upgrader", 7);
        ASSERT_EQ(system("mkdir -p /tmp/bin && cp /bin/cat /bin/touch /bin/chmod /tmp/bin/"), 0);
        // A device of model 59, revision 1, match identifier 3.
        hwver("59.0.0.1.3.0.0.1");
        desc.device_id = 59;
        desc.rom_version = rom_version_from_text("2.150.7.0");
        desc.match_id[5] = 3;
        desc.partitions = {flash(4)};
        std::fill(std::begin(burn), std::end(burn), -7);
    }

    static void hwver(const std::string& text)
    {
        phone_write_file(phone_state_path("platform/hwver"), text + "\n");
    }

    int check()
    {
        image = rom_build(desc);
        // Words, as the phone maps them: a copy with 4-byte alignment.
        words.assign((image.size() + 3) / 4, 0);
        std::memcpy(words.data(), image.data(), image.size());
        return rom_upgrade_check(words.data(), image.size(), env, &header, headers, burn);
    }

    rom_image_desc desc;
    std::vector<unsigned char> image;
    std::vector<unsigned int> words;
    env_info env[ENV_TABLE_SIZE];
    rom_header header;
    partition_header headers[ROM_PARTITIONS_MAX];
    int burn[ROM_PARTITIONS_MAX];
};

TEST_F(RomAccept, BurnFlagsFollowTheInstalledVersions)
{
    // Mtd0Version, Mtd5Version and Mtd6Version are 2.0.0.14 in the version
    // files, Mtd2Version 1.0.0.8 in the boot environment; mtd3 has no
    // version. A version above or below the installed one is burned.
    desc.partitions = {flash(5, "2.0.0.14"), flash(6, "2.0.0.15"),
                       flash(2, "1.0.0.8"),  flash(3),
                       flash(0, "1.0.0.0"),  flash(9)};
    ASSERT_EQ(check(), 0);
    EXPECT_EQ(std::vector<int>(burn, burn + 7), (std::vector<int>{0, 1, 0, 1, 1, 1, -7}));
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_PART_VERSION_SAME\n"), 2);
}

TEST_F(RomAccept, TheInstalledRomVersionAndForcedUpgrades)
{
    // The installed ROM version is accepted as -86 and still takes the
    // settings its rules decided; a forced partition is burned although
    // its version is installed.
    phone_write_file("/app/version.conf",
                     "[Version]\nRomVersion = 2.150.7.0\nMtd6Version = 2.0.0.14\n");
    desc.oem_id = 5;
    desc.partitions = {flash(5, "2.0.0.14"), flash(6, "2.0.0.14")};
    desc.partitions[1].process_type = 1;
    EXPECT_EQ(check(), UPD_MSG_ROM_VERSION_SAME);
    EXPECT_EQ(std::vector<int>(burn, burn + 2), (std::vector<int>{0, 1}));
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_ROM_VERSION_SAME\n"), 1);
    EXPECT_EQ(env_var("SW_OEM"), "5");

    // A forced ROM burns everything and skips the ROM version; the device
    // rules still apply.
    desc.process_type = 1;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(std::vector<int>(burn, burn + 2), (std::vector<int>{1, 1}));
    desc.device_id = 60;
    EXPECT_EQ(check(), UPD_MSG_MACHINE_ID_ERR);

    // Without an installed RomVersion there is nothing to compare.
    desc.device_id = 59;
    desc.process_type = 0;
    phone_write_file("/app/version.conf", "[Version]\n");
    EXPECT_EQ(check(), 0);
}

TEST_F(RomAccept, FlashPartitionIdsTypesRangesAndDevices)
{
    for (unsigned int id : {10U, 254U}) {
        desc.partitions = {flash(id)};
        EXPECT_EQ(check(), UPD_MSG_PARTITION_ID_ERROR) << id;
    }
    desc.partitions = {flash(3)};
    desc.partitions[0].partition_type = 1;
    EXPECT_EQ(check(), UPD_MSG_PARTITION_TYPE_ERROR);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_PARTITION_ID_ERROR\n"), 2);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_PARTITION_TYPE_ERROR\n"), 1);
    // Special partitions of no known type are passed over.
    desc.partitions = {fixture_special(0, "x"), flash(0)};
    desc.partitions[0].partition_id = 4000;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(burn[0], 0);
    EXPECT_EQ(burn[1], 1);

    // mtd4 spans 0x80000 bytes.
    desc.partitions = {flash(4, "3.0.0.1", 0x80000)};
    EXPECT_EQ(check(), 0);
    desc.partitions = {flash(4, "3.0.0.1", 0x80004)};
    desc.partitions[0].size = 0x80001;
    EXPECT_EQ(check(), UPD_MSG_MTD_ADDR_ERR);

    set_env("mtd7", "90010000,90010000");
    desc.partitions = {flash(7, "3.0.0.1", 0)};
    EXPECT_EQ(check(), UPD_MSG_MTD_ADDR_ERR) << "an empty range";
    set_env("mtd7", "");
    EXPECT_EQ(check(), UPD_MSG_MTD_ENV_LOSED);
    EXPECT_EQ(phone_logged(LOG_ERR, "mtd7 isnot exist!\n"), 1);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_MTD_ENV_LOSED\n"), 1);

    phone_add_fault("fault missing /dev/mtd3");
    desc.partitions = {flash(3)};
    EXPECT_EQ(check(), UPD_MSG_MTD_OPEN_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "/dev/mtd3 open failed!\n"), 1);
    // -84 and -83 log the same text.
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_MTD_ADDR_ERR\n"), 3);
}

// Mostly in pairs: the highest version refused, then the lowest accepted.
// The last two have no minimum: revision 0 with hw_version[3] low bits
// not 1, and other models.
TEST_F(RomAccept, MinimumVersionsByHardwareRevision)
{
    const int low = UPD_MSG_ROM_VERSION_LOW;
    const struct {
        const char *hw, *rom;
        int result;
    } rows[] = {{"59.0.0.1.3.0.0.0", "1.143.6.199", low}, {"59.0.0.1.3.0.0.0", "1.143.6.200", 0},
                {"59.0.0.1.3.0.0.0", "1.150.5.255", low}, {"59.0.0.1.3.0.0.0", "1.150.6.0", 0},
                {"59.0.0.1.3.0.0.1", "1.143.7.255", low}, {"59.0.0.1.3.0.0.1", "1.164.8.0", 0},
                {"59.0.0.1.3.0.0.1", "1.150.5.199", low}, {"59.0.0.1.3.0.0.1", "1.150.5.200", 0},
                {"52.0.0.1.3.0.0.1", "1.150.4.255", low}, {"59.0.0.1.3.0.0.1", "1.150.6.0", 0},
                {"55.0.0.1.3.0.0.1", "1.145.5.255", low}, {"55.0.0.1.3.0.0.1", "1.145.6.0", 0},
                {"55.0.0.1.3.0.0.1", "1.150.6.99", low},  {"55.0.0.1.3.0.0.1", "1.150.6.100", 0},
                {"59.0.0.2.3.0.0.0", "1.143.0.0", 0},     {"60.0.0.1.3.0.0.1", "1.150.0.0", 0}};
    for (const auto& r : rows) {
        hwver(r.hw);
        desc.device_id = static_cast<unsigned int>(atoi(r.hw));
        desc.rom_version = rom_version_from_text(r.rom);
        EXPECT_EQ(check(), r.result) << r.hw << " with " << r.rom;
    }
}

TEST_F(RomAccept, DeviceIdentityAndItsSpecialPairs)
{
    const struct {
        const char* hw;
        unsigned int device_id;
        int result;
        const char* text;
    } pairs[] = {
        {"1.0.0.1.3.0.0.2", 53, 0, "hardware_version is 1\n"},
        {"53.0.0.1.3.0.0.2", 1, 0, "hardware_version is 1\n"},
        {"52.0.0.1.3.0.0.2", 55, 0, "Upgrade M40 rom on M20 device."},
        {"55.0.0.1.3.0.0.2", 52, UPD_MSG_MACHINE_ID_ERR,
         "hardware_version:37 prom_header->device_id:34\n"},
        {"59.0.0.1.3.0.0.2", 0x13B, UPD_MSG_MACHINE_ID_ERR,
         "hardware_version:3b prom_header->device_id:13b\n"},
    };
    for (const auto& p : pairs) {
        hwver(p.hw);
        desc.device_id = p.device_id;
        const int before = phone_logged(LOG_ERR, p.text);
        EXPECT_EQ(check(), p.result) << p.hw;
        EXPECT_EQ(phone_logged(LOG_ERR, p.text), before + 1) << p.hw;
    }
}

TEST_F(RomAccept, TheMatchIdentifierTheHardwareAndTheEnvironment)
{
    desc.match_id = rom_image_desc::kNoMatch;
    EXPECT_EQ(check(), UPD_MSG_MATCH_ID_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "match_id:3\n"), 1);
    desc.match_id[15] = 3;
    EXPECT_EQ(check(), 0);
    // Low four bits only: 16 is identifier 0, which a 0 byte matches.
    hwver("59.0.0.1.16.0.0.1");
    desc.match_id = rom_image_desc::kNoMatch;
    desc.match_id[0] = 0;
    EXPECT_EQ(check(), 0);

    hwver("59.0.0.1.3.0.0");
    EXPECT_EQ(check(), UPD_MSG_READ_HWVERSION_FAILED);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_READ_HWVERSION_FAILED\n"), 1);
    hwver("59.0.0.1.3.0.0.1");
    phone_write_file(phone_state_path("platform/software"), "no comma here\n");
    EXPECT_EQ(check(), UPD_MSG_READ_ENV_FAILED);
    EXPECT_EQ(phone_logged(LOG_ERR, "UPD_MSG_READ_ENV_FAILED\n"), 1);

    EXPECT_EQ(rom_upgrade_check(nullptr, 0, env, &header, headers, burn), -1);
    EXPECT_EQ(rom_upgrade_check(words.data(), image.size(), nullptr, &header, headers, burn), -1);
    EXPECT_EQ(rom_upgrade_check(words.data(), image.size(), env, &header, headers, nullptr), -1);
    // A format fault is reported before anything of the device is read.
    desc.bad_rom_checksum = true;
    EXPECT_EQ(check(), UPD_MSG_ROM_CHECKSUM_ERR);
}

// The OEM, MID and protection rules: S, M, P from the device, oem, mid,
// prot from the image; what the device holds afterwards.
TEST_F(RomAccept, OemRulesDecideAndWriteOnlyWhenAccepted)
{
    const struct {
        const char* what;
        bool scrambled;
        int S, M, P;
        unsigned int oem, mid, prot;
        int result;
        const char* settings; // SW_OEM, SW_protect, MID_VERSION
    } rows[] = {
        {"plain header, protected", false, 7, 0, 1, 7, 0, 0, UPD_MSG_PROTECT_HEADER_ERR, "7,1,0"},
        {"plain header, unprotected", false, 7, 0, 0, 9, 0, 0, 0, "7,0,0"},
        {"both MID, same OEM", true, 7, 1, 0, 7, 1, 0, 0, "7,0,1"},
        {"both MID, other OEM", true, 7, 1, 0, 9, 1, 0, UPD_MSG_MID_OEM_ERR, "7,0,1"},
        {"MID image on an open device", true, 7, 0, 0, 7, 1, 0, 0, "7,1,1"},
        {"MID image on a device without OEM", true, 0, 0, 0, 9, 1, 0, 0, "9,1,1"},
        {"device takes the image's OEM", true, 7, 0, 0, 9, 0, 0, 0, "9,0,0"},
        {"OEM change of a protected image", true, 7, 0, 0, 9, 0, 1, UPD_MSG_OEM_CHANGE_ERR,
         "7,0,0"},
        {"MID device, plain image, other OEM", true, 7, 1, 0, 9, 0, 0, 0, "9,0,0"},
        {"protected device, MID image, same OEM", true, 7, 0, 1, 7, 1, 0, 0, "7,0,1"},
        {"protected device, MID image, other OEM", true, 7, 0, 1, 9, 1, 0, UPD_MSG_PROTECT_OEM_ERR,
         "7,1,0"},
        {"protected device, protected image", true, 7, 0, 1, 7, 0, 1, 0, "7,1,0"},
        {"protected device, open image", true, 7, 0, 1, 7, 0, 0, UPD_MSG_PROTECT_OEM_ERR, "7,1,0"},
    };
    for (const auto& r : rows) {
        set_env("SW_OEM", std::to_string(r.S));
        set_env("MID_VERSION", std::to_string(r.M));
        set_env("SW_protect", std::to_string(r.P));
        desc.scrambled = r.scrambled;
        desc.oem_id = r.oem;
        desc.mid_version = r.mid;
        desc.sw_protect = r.prot;
        EXPECT_EQ(check(), r.result) << r.what;
        EXPECT_EQ(settings(), r.settings) << r.what;
    }
}

TEST_F(RomAccept, ARefusedImageLeavesTheSettingsAsTheyWere)
{
    // The rules decide SW_protect 1, SW_OEM 9 and MID_VERSION 1, then the
    // match identifier refuses the image. (What a refused image extracted
    // goes too: ExtractedFilesReplaceWhateverStoodThere.)
    set_env("SW_OEM", "0");
    desc.oem_id = 9;
    desc.mid_version = 1;
    desc.match_id = rom_image_desc::kNoMatch;
    EXPECT_EQ(check(), UPD_MSG_MATCH_ID_ERR);
    EXPECT_EQ(settings(), "0,0,0");
    for (const auto& r : phone_syslog()) EXPECT_EQ(r.msg.find("shellcmd:echo"), std::string::npos);

    // The same image, accepted: the settings are written.
    desc.match_id[2] = 3;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(settings(), "9,1,1");
}

// The head of a program this phone runs: this test's own, built like the
// program under test, followed by `rest`.
std::string own_program(const std::string& rest)
{
    return phone_read_file("/proc/self/exe").substr(0, 64) + rest;
}

// An upgrader program in the image is written to /tmp/upgrader_tool only
// when it is a program for this phone; then the walk ends there.
TEST_F(RomAccept, AnUpgraderProgramForThisPhoneIsExtractedAndEndsTheWalk)
{
    std::string other_machine = own_program("");
    std::string other_class = other_machine;
    other_machine[18] = 2; // EM_SPARC
    other_machine[19] = 0;
    other_class[4] ^= 3; // ELFCLASS32 and ELFCLASS64 swapped
    for (const std::string& data : {std::string("#!/bin/sh\necho newer upgrader\n"),
                                    std::string("\x7f"
                                                "ELF"),
                                    other_machine, other_class}) {
        desc.partitions = {fixture_special(1, data), flash(4)};
        EXPECT_EQ(check(), UPD_MSG_PARTITION_TYPE_ERROR);
        EXPECT_EQ(access("/tmp/upgrader_tool", F_OK), -1) << "nothing written";
    }
    EXPECT_EQ(
        phone_logged(LOG_ERR,
                     "/tmp/upgrader_tool: the image's upgrader is not a program for this phone\n"),
        4);

    const std::string program = own_program("newer upgrader");
    desc.partitions = {flash(4), flash(5, "2.0.0.14"), fixture_special(1, program), flash(6),
                       flash(10)};
    EXPECT_EQ(check(), ROM_CHECK_UPGRADER_EXTRACTED);
    EXPECT_EQ(std::vector<int>(burn, burn + 5), (std::vector<int>{1, 0, 0, -7, -7}));
    EXPECT_EQ(phone_read_file("/tmp/upgrader_tool"), program);
    struct stat st = {};
    ASSERT_EQ(lstat("/tmp/upgrader_tool", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777U);
    EXPECT_EQ(phone_logged(LOG_DEBUG, "rom_upgrade_check start\n"), 0)
        << "no checks after the walk";

    // The extracted copy checks the same image to its end and writes no
    // upgrader again.
    std::fill(std::begin(burn), std::end(burn), -7);
    EXPECT_EQ(check(), UPD_MSG_PARTITION_ID_ERROR);
    EXPECT_EQ(burn[2], 0);
    EXPECT_EQ(burn[3], 1);
    EXPECT_EQ(phone_logged(LOG_INFO, "shellcmd:/tmp/bin/touch /tmp/upgrader_tool\n"), 1);
}

TEST_F(RomAccept, ExtractedFilesReplaceWhateverStoodThere)
{
    // An older, longer file is replaced whole; a planted link is removed,
    // not written through.
    phone_write_file("/tmp/mtd.conf", std::string(500, '#'));
    phone_write_file("/config/victim", "keep");
    ASSERT_EQ(symlink("/config/victim", "/config/config_modify"), 0);
    desc.partitions = {fixture_special(2, "[mtd]\nmtd3 = 1\n"), fixture_special(3, "[x]\ny=1\n"),
                       flash(4)};
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(phone_read_file("/tmp/mtd.conf"), "[mtd]\nmtd3 = 1\n");
    EXPECT_EQ(phone_read_file("/config/config_modify"), "[x]\ny=1\n");
    EXPECT_EQ(phone_read_file("/config/victim"), "keep");
    struct stat st = {};
    ASSERT_EQ(lstat("/config/config_modify", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(g_mtd_config, 1);

    // A refused image takes back what it extracted.
    desc.match_id = rom_image_desc::kNoMatch; // refused after the walk
    EXPECT_EQ(check(), UPD_MSG_MATCH_ID_ERR);
    EXPECT_EQ(access("/tmp/mtd.conf", F_OK), -1);
    EXPECT_EQ(access("/config/config_modify", F_OK), -1);
    EXPECT_EQ(g_mtd_config, 0);
}

TEST_F(RomAccept, AFileThatCannotBeWrittenWholeRefusesTheImage)
{
    // Files may grow to 1000 bytes: the write of the layout stops there.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit small = {1000, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    desc.partitions = {fixture_special(3, "[x]\ny=1\n"), fixture_special(2, std::string(3000, 'u')),
                       flash(4)};
    const int r = check();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_EQ(r, UPD_MSG_FLASH_WRITE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "/tmp/mtd.conf write failed: File too large\n"), 1);
    EXPECT_EQ(access("/tmp/mtd.conf", F_OK), -1);
    EXPECT_EQ(access("/config/config_modify", F_OK), -1) << "what was extracted before goes too";
    EXPECT_EQ(g_mtd_config, 0);

    // A directory where the file goes cannot be replaced.
    ASSERT_EQ(mkdir("/tmp/mtd.conf", 0755), 0);
    desc.partitions = {fixture_special(2, "[mtd]\n"), flash(4)};
    EXPECT_EQ(check(), UPD_MSG_FLASH_WRITE_ERR);
    EXPECT_EQ(phone_logged(LOG_ERR, "/tmp/mtd.conf cannot be replaced: Is a directory\n"), 1);

    // Without touch, it is tried three times, but the file is the program's own.
    ASSERT_EQ(rmdir("/tmp/mtd.conf"), 0);
    ASSERT_EQ(unlink("/tmp/bin/touch"), 0);
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(phone_logged(LOG_INFO, "shellcmd:/tmp/bin/touch /tmp/mtd.conf\n"), 3);
    EXPECT_EQ(phone_read_file("/tmp/mtd.conf"), "[mtd]\n");
    EXPECT_EQ(burn[0], 0);
}

} // namespace
