#!/bin/sh
# sim/board/reboot.sh - the board's /sbin/reboot: records that the phone
# asked for a reboot and how, then ends the run (qemu runs with -no-reboot).
echo "$0 $*" >> /out/reboot
exec /board/finish reboot
