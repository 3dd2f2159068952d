// sim/demo.h - the main job: a new phone, the upgrader run on it, and
// what happened, printed for a person.
#pragma once

#include <string>

// Returns the process exit status for the command line.
int phonesim_demo(const std::string& dir, const std::string& upgrader,
                  const std::string& build_dir);
