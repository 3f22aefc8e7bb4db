#!/bin/busybox sh
# The init of the machine that runs the 32-bit pelupdate.exe under Wine's
# 32-bit side: a kernel whose IA-32 emulation is on, with 32-bit Wine and
# its C library shared read-only from the host (tag "wine") and a writable
# folder of the host's (tag "work") holding the runs. It runs the commands
# the host sends over the first serial port, each answered by its output and
# a line "@@ <status>". The second serial port is the user's terminal.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
dmesg -n 1
for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
         9pnet 9pnet_virtio netfs fscache 9p; do
  insmod /modules/$m.ko || echo "insmod $m failed"
done
mkdir -p /w /work /usr /lib
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 wine /w
mount -t 9p -o trans=virtio,version=9p2000.L,cache=mmap,msize=262144 work /work
mount --bind /w/usr /usr
mount --bind /w/lib /lib
exec </dev/ttyS0 >/dev/ttyS0 2>&1
stty -echo

export HOME=/tmp/home WINEPREFIX=/tmp/home/wine WINEARCH=win32 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$HOME"

# A new Wine prefix.
prefix() {
  /usr/lib/wine/wine wineboot --init 2>/work/wineboot.err
}

# pelupdate.exe and what is beside it, copied from /work/$1/app to the
# machine's own memory (Wine loaded the simulated DLL, whose sections are not
# page-aligned, with pages of zeros from a 9p folder), run in the folder
# /work/$1 with the update file, with the second serial port as its
# controlling terminal (keyboard) and standard output to a file there.
run() {
  rm -rf "/tmp/$1" && cp -r "/work/$1/app" "/tmp/$1" || return 1
  setsid -c sh -c "cd /work/$1 && PELSIM_SCENARIO=scenario.txt \
    exec /usr/lib/wine/wine /tmp/$1/pelupdate.exe >stdout.txt 2>/dev/ttyS1" </dev/ttyS1
  echo "status $?"
}

echo "@@ready"
while read -r line; do
  eval "$line"
  echo "@@ $?"
done
