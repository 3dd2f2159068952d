// The run page: its text helpers, its headline, and the page of a real
// successful and a real failed upgrade as headless Chromium shows it.
#include "html_report.h"
#include "phone_fixture.h"
#include "report_verdict.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>

namespace fs = std::filesystem;

namespace {

TEST(HtmlReport, EscapingBase64AndTheSyslogTextWithoutItsPrefix)
{
    EXPECT_EQ(html_escape("<script>alert('x') & \"y\"</script>"),
              "&lt;script&gt;alert(&#39;x&#39;) &amp; &quot;y&quot;&lt;/script&gt;");
    EXPECT_EQ(html_escape(std::string("a\x01\tb\n", 5)), "a\xEF\xBF\xBD\tb\n");
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [in, out] : vectors) EXPECT_EQ(base64_encode(in), out) << in;
    EXPECT_EQ(base64_encode(std::string("\xff\xfe\x00", 3)), "//4A");
    // A program's "NAME pidN,tidN,lN: " prefix goes, and nothing else.
    EXPECT_EQ(syslog_text("upgrader pid3,tid12,l7: \n\nInit upgrader\n"), "Init upgrader");
    EXPECT_EQ(syslog_text("sem_holder pid40,tid40,l6: took 0xB012"), "took 0xB012");
    EXPECT_EQ(syslog_text("upgrader pid3,tidx,l7: text"), "upgrader pid3,tidx,l7: text");
    EXPECT_EQ(syslog_text("no prefix: at all"), "no prefix: at all");
    EXPECT_EQ(syslog_text(" pid3,tid3,l7: x"), "pid3,tid3,l7: x");
}

TEST(HtmlReport, TheHeadlineOfAFailureSaysWhereAndWhy)
{
    const nlohmann::json r = {
        {"rebooted", true},
        {"ended_by", "reboot"},
        {"syslog",
         {{{"level_code", 7}, {"msg", "upgrader pid3,tid3,l7: rom_upgrade_check start\n"}},
          {{"level_code", 3}, {"msg", "upgrader pid3,tid3,l3: ID: none yet\n"}},
          {{"level_code", 3}, {"msg", "upgrader pid3,tid3,l3: rom pack check failed! ID:-94\n"}},
          {{"level_code", 3}, {"msg", "upgrader pid3,tid3,l3: Rom check Failed!\n"}}}},
        {"ipc", nlohmann::json::array()},
        {"flash", {{"partitions", nlohmann::json::object()}}}};
    const run_verdict v = judge_run(r);
    EXPECT_FALSE(v.success);
    EXPECT_EQ(v.failure_text, "Rom check Failed!");
    EXPECT_EQ(v.failure_id, -94);
    EXPECT_EQ(v.sentence, "The upgrade failed while checking the ROM against this device: the "
                          "screen showed \"Rom check Failed!\" with failure ID -94.");
}

// Runs Chromium headless on `page` with a fresh profile; returns its
// standard output (the DOM with `--dump-dom`).
std::string chromium(const std::string& page, const std::string& args)
{
    char profile[] = "/tmp/phonesim-chromium.XXXXXX";
    if (mkdtemp(profile) == nullptr) return "";
    const std::string cmd = std::string(CHROMIUM) +
                            " --headless --no-sandbox --disable-gpu --user-data-dir=" + profile +
                            " " + args + " file://" + page + " 2>/dev/null";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    fs::remove_all(profile);
    return out;
}

// Text as a browser serialises it inside an element: only & < > escaped.
std::string dom_text(const std::string& text)
{
    std::string out;
    for (const char c : text)
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return out;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class RunPage : public PhoneFixture {
protected:
    // An upgrade from the loading process (leaving the failure screen that
    // shows `screen`, if any); returns the run's folder.
    std::string upgrade(const std::string& screen = "")
    {
        boot(shm_request(rom_build(desc_), {}, screen));
        return run_dir_;
    }
    // Checks the page as the browser has it, and that it can be shot.
    void check_page(const std::string& run_dir, bool success)
    {
        const nlohmann::json r = nlohmann::json::parse(phone_file(run_dir + "/report.json"));
        const std::string page = write_run_page(run_dir);
        const std::string dom = chromium(page, "--dump-dom");
        EXPECT_NE(dom.find("</html>"), std::string::npos) << "Chromium gave no page";
        const run_verdict v = judge_run(r);
        EXPECT_EQ(v.success, success);
        EXPECT_NE(dom.find(dom_text(v.sentence)), std::string::npos) << v.sentence;
        EXPECT_NE(dom.find(success ? "class=\"verdict ok\"" : "class=\"verdict failed\""),
                  std::string::npos);
        EXPECT_EQ(count_of(dom, "<figure class=\"frame\""),
                  static_cast<size_t>(r["frames"]["stored"].get<int>()));
        EXPECT_GT(r["frames"]["stored"].get<int>(), 0);
        // One row per broadcast sent, however many received it.
        std::set<std::tuple<long long, int, int>> sent;
        for (const auto& m : r["ipc"])
            sent.emplace(m["t_ms"].get<long long>(), m["msg_id"].get<int>(),
                         m["param1"].get<int>());
        EXPECT_EQ(count_of(dom, "<tr class=\"broadcast\">"), sent.size());
        EXPECT_FALSE(sent.empty());
        const std::string shot = run_dir + "/page.png";
        chromium(page, "--window-size=1100,1400 --hide-scrollbars --screenshot=" + shot);
        const std::string png = phone_file(shot);
        EXPECT_GT(png.size(), 10000U) << shot;
        EXPECT_EQ(png.substr(1, 3), "PNG");
    }
};

TEST_F(RunPage, ASuccessfulUpgrade)
{
    const std::string run = upgrade();
    check_page(run, true);
    EXPECT_NE(phone_file(run + "/report.html").find("mtd5 was burned"), std::string::npos);
}

TEST_F(RunPage, ARefusedImage)
{
    desc_.match_id[0] = 9; // another phone's image
    const std::string run = upgrade("Rom check Failed!");
    check_page(run, false);
    const std::string page = phone_file(run + "/report.html");
    EXPECT_NE(page.find("&quot;Rom check Failed!&quot; with failure ID -94"), std::string::npos);
}

} // namespace
