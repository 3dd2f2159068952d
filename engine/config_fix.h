// engine/config_fix.h - configuration fixes after a successful burn.
//
// Both depend on the software version installed before the upgrade
// (RomVersion of the environment table) and change files under /config
// through shell commands; the contents of the collected /tmp files are
// copied by this process itself, through descriptors it checked, so that
// no file name reaches a shell. Neither can fail the upgrade.
//   config_autop           for versions a.b.c.d with c below 4: collects
//                          the .cfg and .conf files of /tmp into
//                          /config/autop_retry_save.cfg (once), blanks its
//                          URL lines and enables the reboot after
//                          auto-provisioning
//   config_deleteLineKey8  for 59.b.c.d with c below 4: disables line key 8
//                          in /config/Phone/Key/ProgramableKey.conf
#pragma once

#include "device_env.h"

void config_autop(const env_info* table);
void config_deleteLineKey8(const env_info* table);
