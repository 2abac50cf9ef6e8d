#!/bin/busybox sh
# The first process of a kernel guest, packed as /init by tests/kernel/run:
# loads the modules of the guest that the kernel command line names
# (qvguest=), sets up its drives, runs its runs (/qv/runs.GUEST, one line
# each: NAME COMMAND) and prints each run's transcript on the console
# between "=== run NAME" and "=== end NAME"; then it writes its folder /out
# as one cpio archive onto its virtio disk for the host, and powers off.
/bin/busybox --install -s /bin
export PATH=/qv:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
guest=$(sed -n 's/.*qvguest=\([a-z0-9]*\).*/\1/p' /proc/cmdline)
# What the host takes out of the guest: files/ holds what the recorded runs
# read and write, beside the images.
mkdir -p /out/files
cp /img/* /out/files/

say() { echo "guest: $*"; }
bye() {
  say "$*"
  poweroff -f
}

sg_count() { ls /sys/class/scsi_generic 2>/dev/null | wc -l; }

# Waits up to 20 s for the SCSI generic driver to know N devices.
wait_sg() {
  i=0
  while [ "$(sg_count)" -lt "$1" ]; do
    i=$((i + 1))
    [ $i -le 100 ] || bye "only $(sg_count) of $1 SCSI devices came"
    sleep 0.2
  done
}

# Waits up to 20 s for the SCSI generic driver to know fewer than N devices.
wait_sg_gone() {
  i=0
  while [ "$(sg_count)" -ge "$1" ]; do
    i=$((i + 1))
    [ $i -le 100 ] || bye "still $(sg_count) SCSI devices after 20 s"
    sleep 0.2
  done
}

# names WHEN: each SCSI generic node with its kernel address (H:C:T:L).
names() {
  for n in /sys/class/scsi_generic/*; do
    echo "$1: ${n##*/} $(readlink $n/device | sed 's,.*/,,')"
  done
}

load() {
  for m in "$@"; do modprobe $m || bye "cannot load $m"; done
}

# QEMU's own drives: virtio-scsi (adapter 0) before the USB bridge (1).
qemu_drives() {
  load sg sr_mod sd_mod virtio_scsi
  wait_sg 3
  load xhci-pci "usb-storage delay_use=0"
  wait_sg 4
}

# usb_restart: the drive behind the USB bridge gone from its port and back,
# as a drive that restarts there: the kernel removes its SCSI host and makes
# a new one when the port finds it again. A node still held open keeps its
# name, and the host its number, so that the drive comes back under new ones.
usb_restart() {
  port=$(readlink -f /sys/bus/usb/drivers/usb-storage/*:*/../port)
  [ -e "$port/disable" ] || { echo "no USB port of the bridge"; return 1; }
  n=$(sg_count)
  echo 1 > $port/disable
  wait_sg_gone $n
  echo 0 > $port/disable
  wait_sg $n
}

# The drives of /qv/tcmu.bus served by simtarget through the user backstore
# and the loopback fabric: drive T of the description is target T of one
# loopback adapter. Each handler runs before its logical unit is made, or
# the kernel's first scan of it would wait for one.
cfg=/sys/kernel/config/target
fabric=$cfg/loopback/naa.5001405000000001
tcmu_drives() {
  load sg sr_mod target_core_user tcm_loop
  mount -t configfs configfs /sys/kernel/config
  mkdir -p $fabric
  n=0
  for t in $(sed -n 's/^device 0 \([0-9]*\) .*/\1/p' /qv/tcmu.bus); do
    store=$cfg/core/user_1/drive$t
    mkdir -p $store
    echo -n "dev_size=1048576,dev_config=simtarget/0:$t" > $store/control
    echo 5 > $store/attrib/cmd_time_out
    echo 1 > $store/enable
    uio=$(grep -l "/drive$t/" /sys/class/uio/uio*/name | cut -d/ -f5)
    [ -n "$uio" ] || bye "no uio device for drive $t"
    simtarget /dev/$uio /qv/tcmu.bus 0:$t --log /tmp/target-$t.log --flash /tmp/flash-$t &
    tpg=$fabric/tpgt_$t
    mkdir -p $tpg/lun/lun_0
    echo naa.5001405000000002 > $tpg/nexus
    ln -s $store $tpg/lun/lun_0/drive$t
    n=$((n + 1))
  done
  wait_sg $n
}

# lun_restart T: the TCMU drive T restarts: its logical unit unlinked from
# the loopback target and linked again, the backstore and its handler kept.
# As with usb_restart, a node held open keeps its name.
lun_restart() {
  lun=$fabric/tpgt_$1/lun/lun_0
  n=$(sg_count)
  rm $lun/drive$1
  wait_sg_gone $n
  ln -s $cfg/core/user_1/drive$1 $lun/drive$1
  wait_sg $n
}

# The drive 0:1 of /qv/usb.bus as a USB drive: simusb's FunctionFS function
# in a gadget on dummy_hcd's device controller, whose host side is this
# kernel's. The gadget binds once the function has its descriptors.
gadget=/sys/kernel/config/usb_gadget/qv
usb_drives() {
  load sg sr_mod libcomposite usb_f_fs dummy_hcd "usb-storage delay_use=0"
  mount -t configfs configfs /sys/kernel/config
  mkdir -p $gadget/configs/c.1 $gadget/functions/ffs.drive /dev/ffs
  echo 0x1d6b > $gadget/idVendor  # the Linux Foundation's composite gadget
  echo 0x0104 > $gadget/idProduct
  ln -s $gadget/functions/ffs.drive $gadget/configs/c.1/
  mount -t functionfs drive /dev/ffs
  simusb /dev/ffs /qv/usb.bus 0:1 --log /tmp/usb-1.log --flash /tmp/flash-1 &
  for i in $(seq 50); do [ -e /dev/ffs/ep1 ] && break || sleep 0.2; done
  echo dummy_udc.0 > $gadget/UDC || bye "simusb did not set up its function"
  wait_sg 1
}

# usb_replug: the gadget unbound (a disconnect) and bound again (a new
# enumeration, a new SCSI host), simusb and its drive kept.
usb_replug() {
  n=$(sg_count)
  echo > $gadget/UDC
  wait_sg_gone $n
  echo dummy_udc.0 > $gadget/UDC
  wait_sg $n
}

# qv ARGS...: qvupdate with a fresh command log; then its status and what
# written says of the log.
qv() {
  log=$(mktemp /tmp/aspi.XXXXXX)
  ASPILINUX_LOG=$log qvupdate "$@" 2>&1
  echo "status $?"
  written $log "$@"
}

# rec ARGS...: qv's run in /out/files, recorded (--record) into
# /out/GUEST-RUN.rec, with what the host needs to replay it beside that:
# the names of the files there before (.files), the arguments one a line
# (.args), standard input (.in), output (.out) and error (.err), and the
# status (.status). The run's transcript shows its output, then its error.
rec() (
  r=/out/$guest-$name
  cd /out/files || exit
  ls > $r.files
  printf '%s\n' "$@" > $r.args
  cat > $r.in
  log=$(mktemp /tmp/aspi.XXXXXX)
  ASPILINUX_LOG=$log qvupdate --record $r.rec "$@" < $r.in > $r.out 2> $r.err
  echo $? > $r.status
  cat $r.out $r.err
  echo "status $(cat $r.status)"
  written $log "$@"
)

# written LOG ARGS...: of the commands in the command log LOG, those that
# wrote to a drive (WRITE BUFFER, flash erase and write) and how many pieces
# carried the image's bytes, the image being the first of ARGS that is not
# an option.
written() {
  log=$1
  shift
  image=
  for a in "$@"; do
    case $a in -* | *=*) ;; *) image=${image:-$a} ;; esac
  done
  writes=0 pieces=0 same=0 last=none
  grep -E ' cdb=(3B|E1|E2)' $log > $log.writes
  while read -r _ _ _ _ _ len cdb crc; do
    writes=$((writes + 1))
    last=${cdb#cdb=}
    [ -n "$crc" ] || continue
    len=${len#len=}
    case $last in
      3B*) at=$((0x$(echo $last | cut -c7-12))) ;;
      *) at=$((0x$(echo $last | cut -c5-12))) ;;
    esac
    pieces=$((pieces + 1))
    want=$(dd if="$image" bs=$len skip=$((at / len)) count=1 2>/dev/null | crc32 | tr a-f A-F)
    [ "crc32=$want" = "$crc" ] && same=$((same + 1))
  done < $log.writes
  echo "writes: $writes, the last $last"
  echo "pieces with the image's bytes: $same of $pieces"
}

# await TEXT FILE: until FILE holds TEXT, at most 30 s.
await() {
  i=0
  until grep -q "$1" "$2" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 150 ] || { echo "no '$1' in $2 after 30 s"; return 1; }
    sleep 0.2
  done
}

load virtio_pci virtio_blk
case $guest in
  qemu) qemu_drives ;;
  tcmu*) tcmu_drives ;;
  usb) usb_drives ;;
  *) bye "no guest named '$guest'" ;;
esac
say "$guest drives up at $(cut -d' ' -f1 /proc/uptime) s"
while read -r name command; do
  say "$name at $(cut -d" " -f1 /proc/uptime) s"
  echo "=== run $name"
  (eval "$command") < /dev/null 2>&1
  echo "=== end $name"
done < /qv/runs.$guest
(cd /out && find . | cpio -o -H newc) > /dev/vda || bye "cannot write /out onto /dev/vda"
sync
bye "$guest runs done at $(cut -d' ' -f1 /proc/uptime) s"
