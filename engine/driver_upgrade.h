// engine/driver_upgrade.h - shared-memory and file mode after the common
// opening of the driver: the record, the check, the layout, stopping the
// applications, the burn lock, the write-backs, burning, and the run's
// ending.
#pragma once

#include "driver_run.h"

// Shared-memory mode (`shared` true) or file mode, up to the reboot or the
// ending. Returns the exit value.
int upgrade_shared_or_file(upgrade_run* run, bool shared);
