// sim/env_store.h - the boot loader's environment of the simulated phone.
//
// Variables keep the order in which they were first set. The store lives
// in DIR/env.txt as "name\tvalue" lines, which is also what reading
// /proc/avalanche/env gives. A written line "name value" sets a variable
// (the value is everything after the first blank or tab), a line "name"
// alone clears it.
#pragma once

#include <string>
#include <utility>
#include <vector>

using env_vars = std::vector<std::pair<std::string, std::string>>;

env_vars env_parse(const std::string& text);
std::string env_render(const env_vars& vars);
// Applies one written line (without its newline) to `vars`.
void env_apply_line(env_vars& vars, const std::string& line);
// Value of `name`, or nullptr.
const std::string* env_find(const env_vars& vars, const std::string& name);

env_vars env_load(const std::string& path);
void env_save(const std::string& path, const env_vars& vars); // atomic replace
