#!/bin/sh
# sim/board/finish.sh - the end of every board run: whatever the phone
# wrote, flushed to the flash disk; the results in /out written to the
# host's disk /dev/vdb as a tar archive; then the power goes off.
#   finish [reboot]
sleep 0.3 # let syslogd write what it has
dmesg > /out/dmesg.txt 2>/dev/null
sync
tar -cf /dev/vdb -C /out .
sync
echo "board: results written"
if [ "$1" = reboot ]; then busybox reboot -f; fi
busybox poweroff -f
