#!/bin/busybox sh
# /init of the kernel test's VM: mounts what the programs need (devtmpfs for /dev/snd, which
# no one else would mount here), loads the USB MIDI modules in order, runs the cases, and
# powers the VM off whatever happened.
/bin/busybox --install -s /bin
export PATH=/fen:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for ko in $(cat /modules.txt); do
  case $ko in
    # Two controllers: two gadgets, for the case with two devices.
    dummy_hcd.ko) insmod /lib/modules/$ko num=2 ;;
    *) insmod /lib/modules/$ko ;;
  esac || echo "INFO insmod $ko failed"
done
mount -t configfs none /sys/kernel/config
echo "INFO kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) CPUs"
cd /tmp && sh /fen/vm_cases.sh $(cat /fen/cases.txt)
echo "FEN-KERNEL-DONE"
sync
poweroff -f
