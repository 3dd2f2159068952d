// The simulated phone itself, booted from the host: devices, platform
// files, keypad, IPC, time, reboot and what survives a power cycle.
#include "boot.h"
#include "env_store.h"
#include "frames.h"
#include "layout.h"
#include "phone_state.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

class Phone : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/phonesim-simtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        make_phone(phone_options{});
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir_);
        else
            fprintf(stderr, "phone kept in %s\n", dir_.c_str());
    }

    void make_phone(const phone_options& o) { phone_init(dir_, o); }

    // Runs a shell command in the phone; its output is kept in out_.
    nlohmann::json run(const std::string& cmd, boot_request req = {})
    {
        req.state_dir = dir_;
        req.argv = {"/bin/sh", "-c", "( " + cmd + " ) >/.sim/out.txt 2>&1"};
        req.host_binds.push_back(PHONESIM_BUILD_DIR);
        if (req.time_limit_ms == 0) req.time_limit_ms = 60000;
        last_ = phonesim_boot(req);
        out_ = phone_file(dir_ + "/out.txt");
        std::ifstream f(phonesim_run_dir(dir_, last_.run) + "/report.json");
        return nlohmann::json::parse(f);
    }

    static std::string probe(const std::string& args) { return std::string(PROBE) + " " + args; }
    // The probe once for each of `runs`, one after the other.
    static std::string probes(std::initializer_list<const char*> runs)
    {
        std::string cmd;
        for (const char* args : runs) cmd += (cmd.empty() ? "" : "; ") + probe(args);
        return cmd;
    }
    // How often `text` occurs in the last run's output.
    size_t in_out(const std::string& text) const
    {
        size_t n = 0;
        for (size_t at = 0; (at = out_.find(text, at)) != std::string::npos; ++at) ++n;
        return n;
    }
    std::string chip(uint32_t addr, size_t n) const
    {
        return phone_file(dir_ + "/flash/chip.bin").substr(addr - phone::kChipBase, n);
    }

    std::string dir_;
    std::string out_;
    boot_result last_;
};

// mtd4 is 0x90730000..0x907B0000 on a new phone.
constexpr uint32_t kMtd4 = 0x90730000U;

TEST_F(Phone, MtdInfoEraseRulesNorWritesViolationsAndStrictNor)
{
    const nlohmann::json erased =
        run(probes({"info 4", "erase 4 0x10000 0x10000", "erase 4 0x100 0x10000",
                    "erase 4 0 0x1000", "erase 4 0x70000 0x20000", "erase 4 0 0"}));
    EXPECT_NE(out_.find("type 3 size 0x80000 erasesize 0x10000"), std::string::npos) << out_;
    EXPECT_NE(out_.find("erase: 0\n"), std::string::npos) << out_;
    // Unaligned start, partial block, beyond the window, empty: refused like the kernel does.
    EXPECT_EQ(in_out("erase: -1 Invalid argument"), 4U) << out_;
    EXPECT_EQ(erased["flash"]["partitions"]["mtd4"]["refused_erases"], 4);
    EXPECT_EQ(chip(kMtd4 + 0x10000, 0x10000), std::string(0x10000, '\xff'));
    EXPECT_NE(chip(kMtd4, 16), std::string(16, '\xff')); // the block before is untouched
    const uint32_t counts_at = (kMtd4 + 0x10000 - phone::kChipBase) / phone::kEraseBlock * 4;
    EXPECT_EQ(static_cast<uint8_t>(phone_file(dir_ + "/flash/erase_counts.bin")[counts_at]), 1);

    const nlohmann::json r =
        run(probes({"erase 4 0 0x10000", "write 4 0x10 f00f", "write 4 0x10 3cff",
                    "write 4 0x7ffff aabb", "write 4 0x80000 aa", "read 4 0x10 2"}));
    // Programming only clears bits: f0 & 3c = 30, 0f & ff = 0f.
    EXPECT_EQ(chip(kMtd4 + 0x10, 2), "\x30\x0f");
    EXPECT_NE(out_.find("data 300f"), std::string::npos) << out_;
    // The last byte of the window takes one byte of two; beyond it: ENOSPC.
    EXPECT_NE(out_.find("write: 1\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("write: -1 No space left on device"), std::string::npos) << out_;
    const auto& p = r["flash"]["partitions"]["mtd4"];
    EXPECT_EQ(p["erase_requests"], 1);
    // The second write hit programmed bytes, the third a byte never erased.
    EXPECT_EQ(r["flash"]["violations"], 2);
    EXPECT_EQ(p["violations"], 2);
    // Without the chip's timing the chip is never busy.
    EXPECT_EQ(r["flash"]["busy_us"]["erase"], 0);
    EXPECT_EQ(r["flash"]["busy_us"]["write"], 0);

    // A strict chip fails a write that would need a 0 bit back at 1,
    // instead of counting it as a violation.
    phone_options o;
    o.nor_strict = true;
    make_phone(o);
    // Programming only clears bits: 0x5a over an erased byte, then 0x50
    // over it (bits cleared only) are fine; 0xff there needs 1s back.
    run(probes({"erase 4 0 0x10000", "write 4 0 5a", "write 4 0 50", "write 4 0 ff"}));
    EXPECT_NE(out_.find("write: 1\nwrite: 1\nwrite: -1 Input/output error"), std::string::npos)
        << out_;
}

TEST_F(Phone, RelocationOnlyWithDriverSupport)
{
    run(probes({"reloc-query 0", "relocate 3 0x7F0000 0x10000"}));
    EXPECT_NE(out_.find("reloc-query: -1"), std::string::npos) << out_;
    EXPECT_NE(out_.find("relocate: -1"), std::string::npos) << out_;

    phone_options o;
    o.relocation = true;
    make_phone(o);
    // Move mtd3 onto mtd9's place: reading mtd3 then shows what the chip
    // holds there, "mtd9" at the start of mtd9's first block.
    const std::string moved = "data 6d746439";
    run(probes({"reloc-query 0", "relocate 3 0x7F0000 0x10000", "read 3 0 4",
                "relocate 3 0x7F0000 0x20000"}));
    EXPECT_NE(out_.find("reloc-query: 0"), std::string::npos) << out_;
    EXPECT_NE(out_.find("relocate: 0"), std::string::npos) << out_;
    EXPECT_NE(out_.find(moved), std::string::npos) << out_;
    EXPECT_NE(out_.find("relocate: -1 Invalid argument"), std::string::npos)
        << out_; // beyond the chip

    // A move that cannot be recorded for the phone's other processes fails.
    make_phone(o);
    fs::create_directories(dir_ + "/flash/windows.txt.new");
    run(probes({"relocate 3 0x7F0000 0x10000", "read 3 0 4"}));
    EXPECT_NE(out_.find("relocate: -1 Input/output error"), std::string::npos) << out_;
    EXPECT_EQ(out_.find(moved), std::string::npos) << "mtd3 did not move";
}

TEST_F(Phone, EnvironmentIsSetAndClearedByShellWrites)
{
    const nlohmann::json r = run(
        "echo \"SW_OEM 7\" >/proc/avalanche/env ; echo \"NEWVAR a b  c\" >/proc/avalanche/env ; "
        "echo \"HWA_0\" >/proc/avalanche/env ; /bin/cat /proc/avalanche/env");
    const env_vars env = env_load(dir_ + "/env.txt");
    ASSERT_NE(env_find(env, "SW_OEM"), nullptr);
    EXPECT_EQ(*env_find(env, "SW_OEM"), "7");
    ASSERT_NE(env_find(env, "NEWVAR"), nullptr);
    EXPECT_EQ(*env_find(env, "NEWVAR"), "a b  c");
    EXPECT_EQ(env_find(env, "HWA_0"), nullptr);
    // What cat read right after the writes is the new environment.
    EXPECT_EQ(out_, env_render(env));
    EXPECT_NE(r["env_before"], r["env_after"]);
    EXPECT_EQ(r["ended_by"], "no process left");
}

TEST_F(Phone, FramesInBothPanelKinds)
{
    for (const char* hwver : {"59.0.0.1.3.0.0.1", "59.0.0.2.3.0.0.0"}) {
        phone_options o;
        o.hwver = hwver;
        make_phone(o);
        const nlohmann::json r = run(probes({"fb-pattern", "fb-pattern", "fb-info"}));
        const bool g = phone::hwver_is_gtype(hwver);
        EXPECT_EQ(in_out(g ? "bpp 16 smem_len 261120" : "bpp 4 smem_len 65280"), 3U) << out_;
        EXPECT_EQ(r["frames"]["refreshes"], 2);
        EXPECT_EQ(r["frames"]["stored"], 1); // the same picture twice is kept once
        screen s;
        ASSERT_TRUE(read_png(phonesim_run_dir(dir_, last_.run) + "/frames/0001.png", &s));
        ASSERT_EQ(s.width, 480);
        ASSERT_EQ(s.height, 272);
        int wrong = 0;
        for (int y = 0; y < 272; ++y)
            for (int x = 0; x < 480; ++x)
                wrong += s.grey[static_cast<size_t>(y * 480 + x)] !=
                         ((((x / 8 + y / 8) & 1) != 0) ? 0 : 255);
        EXPECT_EQ(wrong, 0) << hwver;
    }
}

// Processes that open a panel not yet sized, all at the same moment, each
// see the whole panel: none reads the size while another is setting it.
TEST_F(Phone, PanelsOpenedTogetherAllHaveTheirSize)
{
    // A hundred rounds of eight at once.
    const std::string eight = "for i in 1 2 3 4 5 6 7 8; do " + probe("fb-info") + " & done; wait";
    run("r=0; while [ $r -lt 100 ]; do r=$((r + 1)); rm -f /.sim/dev/fb0; " + eight + "; done");
    EXPECT_EQ(in_out("smem_len 261120"), 800U) << out_;
}

TEST_F(Phone, KeyScriptDeliversPressesByTimeLogLineAndFrame)
{
    boot_request req;
    req.keys = {parse_key_press("35@100"), parse_key_press("17@log:ready to read"),
                parse_key_press("5@frame:1"), parse_key_press("9@log:never logged")};
    req.time_limit_ms = 5000;
    const nlohmann::json r = run(probes({"keys 2", "log 'ready to read'", "keys 2",
                                         "fb-pattern >/dev/null", "keys 2", "keys 1"}),
                                 req);
    EXPECT_EQ(out_, "event type 1 code 35 value 1\nevent type 1 code 35 value 0\n"
                    "event type 1 code 17 value 1\nevent type 1 code 17 value 0\n"
                    "event type 1 code 5 value 1\nevent type 1 code 5 value 0\n");
    // The last press waits for a line that never comes; the time limit ends the run.
    EXPECT_EQ(r["ended_by"], "time limit");
    EXPECT_EQ(r["keys"].size(), 3U);
}

TEST_F(Phone, IpcMessagesAreRecordedPerReceiver)
{
    const nlohmann::json r = run(probes({"ipc-send 2 4 3 0 0", "ipc-send 12 3 0 0 5"}));
    ASSERT_EQ(r["ipc"].size(), 2U) << out_;
    EXPECT_EQ(r["ipc"][0]["receiver"], 2);
    EXPECT_EQ(r["ipc"][0]["msg_len"], 20);
    EXPECT_EQ(r["ipc"][0]["msg_id"], 4);
    EXPECT_EQ(r["ipc"][0]["sender_id"], 6);
    EXPECT_EQ(r["ipc"][0]["param1"], 3);
    EXPECT_EQ(r["ipc"][1]["receiver"], 12);
    EXPECT_EQ(r["ipc"][1]["data_len"], 5);
}

// A minute's sleep 100 times shorter ends well within the time limit; a
// reboot powers the phone off at once.
TEST_F(Phone, TimeScaleShortensSleepsAndARebootPowersOff)
{
    boot_request req;
    req.time_scale = 100;
    req.time_limit_ms = 20000;
    const nlohmann::json r = run(
        "sleep 60; echo slept; cp /sbin/reboot /tmp/ && /tmp/reboot; sleep 100; echo not reached",
        req);
    EXPECT_EQ(out_, "slept\n") << "nothing after the reboot runs";
    EXPECT_EQ(r["ended_by"], "reboot");
    EXPECT_TRUE(last_.rebooted);
    EXPECT_EQ(last_.reboot_command, "/tmp/reboot");
    run("reboot");
    EXPECT_EQ(last_.reboot_command, "reboot");
}

// The report lists the files of /config and /tmp as the program started
// and as it ended, each with a hash of its contents, and leaves out a host
// folder shown in the phone below /tmp; a program still running at the
// reboot has its memory recorded.
TEST_F(Phone, TheReportTellsChangedFilesAndTheMemoryOfTheProgram)
{
    char host[] = "/tmp/phonesim-hostdir.XXXXXX";
    ASSERT_NE(mkdtemp(host), nullptr);
    std::ofstream(std::string(host) + "/host_file") << "host\n";
    boot_request req;
    req.host_binds = {host};
    run("echo same >/config/same; echo old >/config/changed; echo gone >/config/gone");
    const nlohmann::json r = run("cat " + std::string(host) +
                                     "/host_file; echo x >/tmp/own; echo changed >/config/changed; "
                                     "rm /config/gone; echo new >/config/new; reboot; sleep 100",
                                 req);
    fs::remove_all(host);
    EXPECT_NE(out_.find("host"), std::string::npos) << "the folder is shown in the phone";
    std::vector<std::string> tmp;
    for (const auto& f : r["files"]["tmp"]) tmp.push_back(f["path"]);
    EXPECT_NE(std::find(tmp.begin(), tmp.end(), "/tmp/own"), tmp.end());
    for (const std::string& p : tmp) EXPECT_EQ(p.find("host_file"), std::string::npos) << p;
    auto hashes = [](const nlohmann::json& list) {
        std::map<std::string, std::string> out;
        for (const auto& f : list) out[f["path"]] = f["hash"];
        return out;
    };
    const auto before = hashes(r["files_before"]["config"]);
    const auto after = hashes(r["files"]["config"]);
    ASSERT_EQ(before.count("/config/gone"), 1U);
    EXPECT_EQ(after.count("/config/gone"), 0U);
    EXPECT_EQ(before.count("/config/new"), 0U);
    EXPECT_EQ(after.count("/config/new"), 1U);
    EXPECT_EQ(before.at("/config/same"), after.at("/config/same"));
    EXPECT_NE(before.at("/config/changed"), after.at("/config/changed"));
    EXPECT_EQ(after.at("/config/same").size(), 16U);

    std::ifstream f(phonesim_run_dir(dir_, last_.run) + "/memory.json");
    ASSERT_TRUE(f) << "the shell still ran at the reboot";
    const nlohmann::json m = nlohmann::json::parse(f);
    EXPECT_GT(m["vm_hwm_kib"].get<long>(), 0);
    EXPECT_GE(m["vm_hwm_kib"].get<long>(), m["vm_rss_kib"].get<long>());
    EXPECT_GT(m["rss_kib_by_mapping"]["[stack]"].get<long>(), 0);
}

TEST_F(Phone, StateSurvivesAPowerCycleButRamDoesNot)
{
    run("echo kept >/config/x; echo lost >/tmp/y; " +
        probes({"sem-make 0xA130", "sem-exists 0xA130"}));
    EXPECT_NE(out_.find("sem-exists: 0"), std::string::npos) << out_;
    const nlohmann::json r = run("cat /config/x; cat /tmp/y; " + probe("sem-exists 0xA130"));
    EXPECT_NE(out_.find("kept"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("lost"), std::string::npos) << out_;
    EXPECT_NE(out_.find("sem-exists: -1"), std::string::npos) << out_;
    EXPECT_EQ(r["files"]["config"][0]["path"], "/config/x");
}

TEST_F(Phone, FaultsMakeDevicesAndCommandsFail)
{
    boot_request req;
    // The probe sends the phone's encoding of MEMERASE; a rule for mtd5
    // names the host's, which must catch it too.
    req.faults = {"fault ioctl /dev/mtd4 0x80084D02 2 5", "fault missing /dev/misc0",
                  "fault command 3 cp /sbin/reboot", "fault ioctl /dev/mtd5 0x40084D02 1 5"};
    run(probes(
            {"erase 4 0 0x10000", "erase 4 0 0x10000", "erase 4 0 0x10000", "erase 5 0 0x10000"}) +
            "; cat /dev/misc0; cp /sbin/reboot /tmp/; echo cp=$?",
        req);
    EXPECT_NE(out_.find("erase: 0\nerase: -1 Input/output error\nerase: 0\n"
                        "erase: -1 Input/output error\n"),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("No such file or directory"), std::string::npos) << out_;
    EXPECT_NE(out_.find("cp=3"), std::string::npos) << out_;
}

TEST_F(Phone, PowerCutKeepsWhatWasWritten)
{
    boot_request req;
    req.faults = {"power_cut_after_writes 2"};
    const nlohmann::json r =
        run(probes({"erase 4 0 0x10000", "write 4 0 00", "write 4 1 00", "write 4 2 00"}) +
                "; echo after",
            req);
    // The second write completes, then the power goes: nothing after it runs.
    EXPECT_EQ(chip(kMtd4, 3), std::string("\0\0\xff", 3));
    EXPECT_EQ(out_.find("after"), std::string::npos) << out_;
    EXPECT_EQ(r["ended_by"], "power cut");
    EXPECT_TRUE(r["flash"]["power_cut"].get<bool>());

    // A torn write: the cut comes while the chip programs the second write,
    // and only its first two bytes reach it.
    make_phone({});
    req.faults = {"power_cut_after_writes 2", "power_cut_torn_bytes 2"};
    run(probes({"erase 4 0 0x10000", "write 4 0 00", "write 4 1 000000"}) + "; echo after", req);
    EXPECT_EQ(chip(kMtd4, 5), std::string("\0\0\0\xff\xff", 5));
    EXPECT_EQ(out_.find("after"), std::string::npos) << out_;
}

TEST_F(Phone, SharedMemoryModeLoadsTheRecordBeforeTheProgramStarts)
{
    boot_request req;
    req.shm.enabled = true;
    req.shm.image = std::string("ROM\x01\xff", 5) + std::string(1000, 'i');
    req.shm.state = -3;
    run(probes({"shm 0xA130 6", "shm 0x1079B 6"}), req);
    EXPECT_EQ(out_, "size 8388608 state -3 data 524f4d01ff69 sem 1\n"
                    "shm: -1 No such file or directory\n")
        << "the record is complete and the memory semaphore given back";

    req.shm.primary = true;
    req.shm.state = 2;
    run(probes({"shm 0x1079B 3", "shm 0xA130 3"}), req);
    EXPECT_EQ(out_, "size 8388608 state 2 data 524f4d sem 1\n"
                    "size 8388608 state 2 data 524f4d sem 1\n");

    // A reboot ends the segments: the next boot without a load has none.
    run(probe("shm 0xA130 1"));
    EXPECT_EQ(out_, "shm: -1 No such file or directory\n");

    req.shm.image.assign(8388608 - 7, 'x');
    EXPECT_THROW(run("true", req), std::runtime_error) << "an image larger than the record";
}

TEST_F(Phone, FlashcpProgramsAPartitionThroughTheDeviceLayer)
{
    std::string data(150000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    phone_put_file(dir_ + "/data.bin", data);
    run("/usr/sbin/flashcp -v /.sim/data.bin /dev/mtd4; echo status=$?");
    EXPECT_NE(out_.find("status=0"), std::string::npos) << out_;
    EXPECT_TRUE(chip(kMtd4, data.size()) == data);
    // flashcp erases only the blocks the file needs; the next one keeps its old content.
    EXPECT_EQ(chip(kMtd4 + 0x30000, 12), "mtd4 block 3");
}

// With the chip's timing, every erase and write keeps the chip busy for the
// modelled time (0.8 s per 64 KiB block, 10 us per 16-bit word, odd bytes
// rounded up to a word), logged per operation and summed in the report.
TEST_F(Phone, TheFlashTimingModelKeepsTheChipBusyPerBlockAndWord)
{
    boot_request req;
    req.time_scale = 200;
    req.faults.push_back("flash_timing typical");
    const nlohmann::json timed =
        run(probes({"erase 4 0 0x20000", "write 4 0x10 f00f", "write 4 0x21 aabbcc"}), req);
    EXPECT_EQ(timed["flash"]["busy_us"]["erase"], 1600000);
    EXPECT_EQ(timed["flash"]["busy_us"]["write"], 10 + 20);
    const std::string log = phone_file(phonesim_run_dir(dir_, last_.run) + "/flash.log");
    EXPECT_NE(log.find("busy mtd4 erase 1600000"), std::string::npos) << log;
    EXPECT_NE(log.find("busy mtd4 write 20"), std::string::npos) << log;
    // The model changes the time only, never what the chip holds.
    EXPECT_EQ(chip(kMtd4 + 0x10, 2), "\xf0\x0f");
}

} // namespace
