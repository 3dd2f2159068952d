// tests/support/phone_fixture.h - a fixture for tests that boot simulated
// phones from the host and run the whole upgrader in them.
//
// Each test gets an image this phone accepts (desc_) and a fresh phone
// state directory under /tmp with the upgrader installed as
// /basic/bin/upgrader. The directory is removed after a passing test and
// kept, with its path printed, after a failing one. boot()
// completes a request with this phone's defaults and keeps what the run
// recorded: its report, its syslog and its folder.
#pragma once

#include "boot.h"
#include "fixture_image.h"
#include "phone_state.h"
#include "syslog_record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The program under test: this build's, or the one UPG_TEST_UPGRADER
// names (a build for the phone, which the phone runs under emulation).
std::string fixture_upgrader();

class PhoneFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the phone afresh with `o` and the upgrader installed.
    void make_phone(const phone_options& o = {});
    // Boots once. The state directory, the build directory (shown in the
    // phone), a 60 s limit and time_scale_ are filled in where the request
    // leaves them at their defaults.
    boot_result boot(boot_request req);
    // A request that runs `argv` with the device layer's `faults`; with a
    // `screen`, soft key 4 (Reboot) is pressed once a syslog line contains
    // that text, as a person leaves the failure screen that shows it.
    static boot_request request(std::vector<std::string> argv, std::vector<std::string> faults = {},
                                const std::string& screen = "");
    // The same with the simulator as the loading process holding `image`
    // in shared memory, and the upgrader started without arguments.
    static boot_request shm_request(const std::vector<unsigned char>& image,
                                    std::vector<std::string> faults = {},
                                    const std::string& screen = "");
    // Puts `image` in the phone as /config/rom.bin.
    void put_rom_file(const std::vector<unsigned char>& image) const;

    // Whether the last run's syslog text contains `text`.
    bool logged(const std::string& text) const;
    // The last run's syslog records whose message contains `text`.
    std::vector<syslog_record> records(const std::string& text) const;
    // `n` bytes of the flash chip from address `addr`.
    std::string chip(uint32_t addr, size_t n) const;
    // Whether every flash partition of `desc` is in the chip at its place
    // in the default layout.
    bool flash_holds(const rom_image_desc& desc) const;
    // The lines of one of the last run's records ("flash.log", "misc.log", ...).
    std::vector<std::string> run_lines(const std::string& name) const;
    // The last run's broadcasts (msg_id, param1), as every receiver got them.
    using steps = std::vector<std::pair<int, int>>;
    steps broadcasts() const;

    // An image this phone accepts, with one partition for mtd5.
    rom_image_desc desc_;
    std::string dir_, run_dir_, log_;
    double time_scale_ = 50; // sleeps in the phone are this many times shorter
    boot_result result_;
    nlohmann::json report_;
};
