#!/bin/busybox sh
# sim/board/init.sh - the emulated MIPS board's first process. It makes
# the board a phone: the flash chip's disk (/dev/vda) cut into the MTD
# partitions of /board/layout by loop windows and block2mtd, a 480 x 272
# framebuffer, the keyboard as /dev/input/event0, the misc device and the
# boot environment (CUSE servers), syslog, the platform's /proc files, the phone's files with /config and /etc as
# mounts, and /sbin/reboot. Then it runs /board/scenario and hands the
# results (everything in /out) to the host on /dev/vdb.
/bin/busybox mkdir -p /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t devtmpfs dev /dev
mkdir -p /.proc /proc /sys /tmp /var/log /out
mount -t proc proc /.proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
ln -s /.proc/self/fd /dev/fd 2>/dev/null

say() { echo "board: $*"; }
die() { say "set-up failed: $*"; echo "$*" > /out/setup-failed; /board/finish; }
module() { # name, parameters
  m=$1
  shift
  insmod "/board/modules/$m.ko" "$@" || die "insmod $m"
}

for m in $(cat /board/modules.list); do
  case $m in
    loop) module loop max_loop=10 ;;
    vfb) module vfb vfb_enable=1 mode_option=480x272-16 ;;
    block2mtd) ;; # after the loop windows
    *) module "$m" ;;
  esac
done

# The flash: mtdN is the loop window of its range; block2mtd numbers its
# devices in the order it is given them.
sort -n /board/layout > /tmp/layout
params=""
while read -r index offset size; do
  /board/bin/loop_window /dev/vda "/dev/loop$index" "$offset" "$size" || die "loop window $index"
  params="$params block2mtd=/dev/loop$index,65536"
done < /tmp/layout
# shellcheck disable=SC2086
module block2mtd $params
[ "$(grep -c '^mtd' /.proc/mtd)" = "$(grep -c . /board/layout)" ] || die "MTD partitions: $(cat /.proc/mtd)"
cp /.proc/mtd /out/mtd.txt
mkdir -p /dev/mtdblock
for n in 3 4; do ln -s "../mtdblock$n" "/dev/mtdblock/$n"; done

[ -c /dev/fb0 ] || die "no framebuffer"
# The panel is the program's alone: no kernel console (and its cursor) on it.
for v in /sys/class/vtconsole/vtcon*; do
  grep -q "frame buffer" "$v/name" && echo 0 > "$v/bind"
done
[ -c /dev/input/event0 ] || die "no keyboard events"
cp /board/platform/env /out/env
/board/bin/cuse_device misc /out/misc.log &
/board/bin/cuse_device env /out/env &
for i in 1 2 3 4 5 6 7 8 9 10; do
  [ -c /dev/misc0 ] && [ -c /dev/avalanche_env ] && break
  sleep 0.2
done
[ -c /dev/misc0 ] || die "no misc device"
[ -c /dev/avalanche_env ] || die "no boot environment device"

syslogd -O /out/syslog.txt || die "syslogd"
for i in 1 2 3 4 5 6 7 8 9 10; do [ -S /dev/log ] && break; sleep 0.1; done
[ -S /dev/log ] || die "no /dev/log"
# The syslog on the console too: the host keeps it when a run hangs.
tail -f /out/syslog.txt 2>/dev/null &

# /proc: the kernel's entries, and the platform's files beside them.
mount -t tmpfs proc-files /proc || die "tmpfs on /proc"
for e in /.proc/*; do
  case ${e#/.proc/} in avalanche|glcd|ver|misc) ;; *) ln -s "$e" /proc/ ;; esac
done
mkdir -p /proc/avalanche /proc/glcd /proc/ver /proc/misc
ln -s /dev/avalanche_env /proc/avalanche/env
cp /board/platform/software /proc/ver/software
cp /board/platform/hwver /proc/misc/hwver
: > /proc/glcd/refresh

# The phone's files; /config and /etc are mounts the program may unmount.
for d in /board/root/*; do
  case ${d#/board/root/} in
    config|etc) mkdir -p "/${d#/board/root/}"
                mount -t tmpfs "${d#/board/root/}" "/${d#/board/root/}"
                cp -a "$d/." "/${d#/board/root/}/" ;;
    *) cp -a "$d" / ;;
  esac
done
rm -f /sbin/reboot # busybox's link: copying over it would replace busybox itself
cp /board/reboot /sbin/reboot
chmod 0755 /sbin/reboot

say "ready"
sh /board/scenario > /out/scenario.txt 2>&1
echo "$?" > /out/scenario.status
/board/finish
