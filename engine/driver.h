// engine/driver.h - the upgrader program: one firmware upgrade from start
// to reboot.
//
//   upgrader                    shared-memory mode: the image is the
//                               shared upgrade record's rom_data
//   upgrader ROM_FILE           file mode
//   upgrader ROM_FILE ANY       direct mode: check and burn, no locks,
//                               no broadcasts, no failure screen
//
// Shared-memory and file mode run as /basic/bin/upgrader or as the copy
// /tmp/upgrader_tool, each under its own process lock; they take the
// locks in the order process lock, memory_semid, cfg_semid, burn lock.
// Every successful run ends with the reboot; a failure ends on the failure
// screen (or the auto-provisioning countdown) of failure_end.h.
#pragma once

// main() of the program. Returns the exit value (or never returns: the
// reboot ends the process).
int upgrader_main(int argc, char** argv);
