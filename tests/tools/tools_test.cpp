// mkrom and rominfo as their users run them: build an image, read it back.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct result {
    int status;
    std::string out;
};

result run(const std::string& cmd)
{
    result r{-1, ""};
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Each field of the JSON object `want` has its value in `got`.
void expect_fields(const nlohmann::json& got, const char* want)
{
    const nlohmann::json fields = nlohmann::json::parse(want);
    for (auto it = fields.begin(); it != fields.end(); ++it)
        EXPECT_EQ(got.value(it.key(), nlohmann::json()), it.value()) << it.key();
}

class Tools : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/romtools-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/kernel.bin", std::ios::binary) << std::string(1000, 'k');
    }
    void TearDown() override { fs::remove_all(dir_); }
    nlohmann::json info(const std::string& image, int want_status = 0)
    {
        const result r = run(std::string(ROMINFO) + " --json " + image);
        EXPECT_EQ(r.status, want_status) << r.out;
        return nlohmann::json::parse(r.out, nullptr, false);
    }
    std::string dir_;
};

TEST_F(Tools, RoundTripOfBothHeaderForms)
{
    for (const char* form : {"", " --plain"}) {
        const std::string image = dir_ + "/a.rom";
        const result made =
            run(std::string(MKROM) + " -o " + image + form +
                " --device-id 59 --oem-id 7 --rom-version 2.150.8.1 --match-id 3 --match-id 9"
                " --mid-version 1 --sw-protect 1 --process-type 1 --rom-type 4 --key 93"
                " --part id=5,type=0,version=1.2.3.4,process_type=1,data_type=2,file=" +
                dir_ + "/kernel.bin --part id=255,type=2,text=[mtd]");
        ASSERT_EQ(made.status, 0) << made.out;
        const nlohmann::json j = info(image);
        ASSERT_TRUE(j.is_object());
        EXPECT_TRUE(j["valid"].get<bool>());
        expect_fields(j["header"], R"({"device_id": 59, "oem_id": 7, "rom_version": "2.150.8.1",
            "mid_version": 1, "sw_protect": 1, "process_type": 1, "rom_type": 4,
            "partition_num": 2})");
        EXPECT_EQ(j["header"]["rom_header_size"], std::string(form).empty() ? 128 : 124);
        EXPECT_EQ(j["header"]["match_id"][0], 3);
        EXPECT_EQ(j["header"]["match_id"][1], 9);
        ASSERT_EQ(j["partitions"].size(), 2U);
        const auto& p = j["partitions"][0];
        expect_fields(p, R"({"id": 5, "version": "1.2.3.4", "process_type": 1, "data_type": 2,
            "size": 1000})");
        EXPECT_EQ(p["offset"].get<int>() % 4, 0) << "data aligned to 4 bytes";
        expect_fields(j["partitions"][1], R"({"type": 2, "size": 5})");
    }
}

TEST_F(Tools, ManifestsAndBrokenImages)
{
    const std::string manifest = dir_ + "/m.json";
    std::ofstream(manifest) << R"({"header": {"device_id": 55, "rom_version": "1.145.6.100",
        "match_id": [0, 3], "key": 0},
      "partitions": [{"id": 1, "version": "2.0.0.1", "file": "kernel.bin"}],
      "break": ["part-checksum:0"]})";
    const std::string image = dir_ + "/m.rom";
    ASSERT_EQ(run(std::string(MKROM) + " -o " + image + " " + manifest).status, 0);
    const nlohmann::json j = info(image, 1);
    EXPECT_FALSE(j["valid"].get<bool>());
    EXPECT_EQ(j["error"]["code"], -91);
    EXPECT_EQ(j["error"]["name"], "UPD_MSG_PART_CHECKSUM_ERR");
    EXPECT_NE(j["error"]["text"].get<std::string>().find("partition 0 (header at byte 140)"),
              std::string::npos);
    EXPECT_EQ(j["header"]["device_id"], 55);

    // The words in plain text say what is wrong and where.
    ASSERT_EQ(run(std::string(MKROM) + " -o " + image + " --break magic").status, 0);
    const result plain = run(std::string(ROMINFO) + " " + image);
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.out.find("MALFORMED (-100 UPD_MSG_ARG_ADDR_ERR): byte 0"), std::string::npos)
        << plain.out;
    // Unknown keys and faults are refused; a missing file is a usage error.
    std::ofstream(manifest) << R"({"header": {"devcie_id": 55}})";
    const result typo = run(std::string(MKROM) + " -o " + image + " " + manifest);
    EXPECT_NE(typo.status, 0);
    EXPECT_NE(typo.out.find("devcie_id"), std::string::npos) << typo.out;
    EXPECT_EQ(run(std::string(MKROM) + " -o " + image + " --break no-such-fault").status, 2);
    EXPECT_EQ(run(std::string(ROMINFO) + " " + dir_ + "/none.rom").status, 2);
    EXPECT_EQ(run(std::string(ROMINFO)).status, 2) << "no image given";
    EXPECT_EQ(run(std::string(ROMINFO) + " --help").status, 0);
}

} // namespace
