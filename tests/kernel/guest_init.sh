#!/bin/busybox sh
# The virtual machine's init: mounts the kernel's file systems, then runs
# the commands the host sends over the first serial port, each answered by
# its output and a line "@@ <status>". The user's terminals are the second
# and third serial ports; pelupdate runs there as the user "pel", who is in
# the group dialout and nothing more.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
chown -R 0:0 /bin /usr /lib /lib64 /etc /fw
dmesg -n 1
exec </dev/ttyS0 >/dev/ttyS0 2>&1
stty -echo

DRIVER=/sys/bus/usb-serial/drivers/ftdi_sio

# Loads the USB stack and the FTDI driver, in dependency order.
load_driver() {
  for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    insmod /lib/modules/$m.ko || return 1
  done
}

# The adapter's entry with the lowest number, as udev would leave its node:
# root:dialout 0660. Waits for the driver to bind it.
adapter() {
  i=0
  while [ $i -lt 200 ]; do
    name=$(ls "$DRIVER" 2>/dev/null | sed -n 's/^ttyUSB\([0-9][0-9]*\)$/\1/p' | sort -n | head -n 1)
    name=${name:+ttyUSB$name}
    if [ -n "$name" ] && [ -c "/dev/$name" ]; then
      chown root:dialout "/dev/$name" && chmod 0660 "/dev/$name"
      echo "adapter $name $(stat -c '%U:%G %a' /dev/$name)"
      return 0
    fi
    sleep 0.05
    i=$((i + 1))
  done
  return 1
}

# Waits until the driver holds no adapter.
gone() {
  i=0
  while ls "$DRIVER" 2>/dev/null | grep -q '^ttyUSB'; do
    [ $i -lt 200 ] || return 1
    sleep 0.05
    i=$((i + 1))
  done
}

latency() { cat /sys/bus/usb-serial/devices/$1/latency_timer; }

# A program that keeps the adapter's node open (a terminal program, a modem
# prober), and its end.
hold() { sleep 3600 <"/dev/$1" & echo $! >/tmp/holder; }
release() { kill "$(cat /tmp/holder)"; }

# A folder of the user's with the update file in it.
prepare() {
  rm -rf "$1" && mkdir -p "$1" && cp /fw/PelBoot_VQ.fwu "$1/" && chown -R pel:pel "$1"
}

# pelupdate in folder $2, as the user, with /dev/$1 as its controlling
# terminal (its keyboard and screen); standard input is empty.
run() {
  setsid -c sh -c "exec su -s /bin/sh pel -c 'cd $2 && exec /usr/bin/pelupdate' \
    </dev/null >/dev/$1 2>&1" </dev/$1
  echo "status $1 $?"
}

# Two instances started together, on two terminals.
two() {
  run ttyS1 "$1" &
  run ttyS2 "$2" &
  wait
}

echo "@@ready"
while read -r line; do
  eval "$line"
  echo "@@ $?"
done
