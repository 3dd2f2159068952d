// bench/in_phone.h - a benchmark that runs itself again inside a fresh
// simulated phone, where the phone's devices and paths exist.
//
// main() calls in_phone(): false on the host, where it then returns
// run_in_phone(argc, argv), which boots a phone in a temporary state
// directory, runs this same program there with the same arguments (the
// build directory is visible read-only), removes the phone and returns the
// program's exit status (1 when the phone cannot be booted).
#pragma once

bool in_phone();
int run_in_phone(int argc, char** argv);
