// tests/support/phone_boot.h - running one test program in a fresh phone.
#pragma once

#include <string>
#include <vector>

// Boots a simulated phone with a new state directory, runs `argv` in it
// (with PHONESIM_INSIDE=1 and the caller's GTEST_FILTER and sanitizer
// options) and powers off when it ends. `binds` are host directories the
// phone shows read-only. Returns the program's exit status (1 when the
// phone could not be started). The state directory is removed after a
// passing run and kept, with its path printed, after a failing one.
int phone_run_program(const std::vector<std::string>& argv, const std::vector<std::string>& binds);
