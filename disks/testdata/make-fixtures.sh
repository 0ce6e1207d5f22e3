#!/bin/bash
# Rebuilds the fixture sysfs trees: the attribute files and links discovery reads, laid out
# as the kernel lays them out on each machine. Run it after changing a machine here.
set -euo pipefail
T=$(cd "$(dirname "$0")" && pwd)
rm -rf "$T"/laptop "$T"/cardreader "$T"/usbstick
attr() { mkdir -p "$(dirname "$1")"; printf '%s\n' "$2" > "$1"; }
lnk() { mkdir -p "$(dirname "$2")"; ln -sfn "$1" "$2"; }

# disk ROOT NAME DEVDIR(relative to sys, ending in /block/NAME parent) DEV SIZE REMOVABLE
disk() {
  local root=$1 name=$2 devdir=$3 dev=$4 size=$5 rem=$6
  local b="$root/sys/$devdir/$name"
  local ups
  ups=$(echo "$devdir/$name" | awk -F/ '{for(i=1;i<=NF;i++) printf "../"}')
  lnk "../$devdir/$name" "$root/sys/block/$name"
  attr "$b/dev" "$dev"; attr "$b/size" "$size"; attr "$b/removable" "$rem"
  attr "$b/ro" 0; attr "$b/hidden" 0; attr "$b/alignment_offset" 0; attr "$b/discard_alignment" 0
  attr "$b/ext_range" 256; attr "$b/range" 16; attr "$b/capability" 0; attr "$b/events" ""
  attr "$b/events_async" ""; attr "$b/events_poll_msecs" -1
  local major=${dev%%:*} minor=${dev##*:}
  printf 'MAJOR=%s\nMINOR=%s\nDEVNAME=%s\nDEVTYPE=disk\n' "$major" "$minor" "$name" > "$b/uevent"
  mkdir -p "$b/holders" "$b/slaves" "$b/power" "$b/queue" "$b/trace"
  attr "$b/queue/logical_block_size" 512; attr "$b/queue/rotational" 0
  lnk "${ups}class/block" "$b/subsystem"
}
part() {
  local b=$1 name=$2 dev=$3 num=$4 start=$5 size=$6
  local p="$b/$name"
  attr "$p/dev" "$dev"; attr "$p/partition" "$num"; attr "$p/start" "$start"; attr "$p/size" "$size"
  attr "$p/ro" 0; attr "$p/alignment_offset" 0; attr "$p/discard_alignment" 0
  printf 'MAJOR=%s\nMINOR=%s\nDEVNAME=%s\nDEVTYPE=partition\nPARTN=%s\n' "${dev%%:*}" "${dev##*:}" "$name" "$num" > "$p/uevent"
  mkdir -p "$p/holders" "$p/power" "$p/trace"
}
scsi() {  # DEVICEDIR vendor model rev
  attr "$1/vendor" "$2"; attr "$1/model" "$3"; attr "$1/rev" "$4"; attr "$1/type" 0
  attr "$1/scsi_level" 7; attr "$1/state" running; attr "$1/queue_depth" 1
}
virt() {  # ROOT NAME DEV SIZE
  disk "$1" "$2" "devices/virtual/block" "$3" "$4" 0
}

# ---- laptop: NVMe system disk, internal SD slot (Realtek PCIe reader), loop devices, zram
R=$T/laptop
NV=devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0
disk $R nvme0n1 $NV 259:0 976773168 0
B=$R/sys/$NV/nvme0n1
lnk ../../nvme0 $B/device
attr $R/sys/$NV/model "Samsung SSD 970 EVO Plus 500GB          "
attr $R/sys/$NV/serial "S4EVNF0M912345K     "
attr $R/sys/$NV/firmware_rev "2B2QEXM7"
attr $R/sys/$NV/transport pcie; attr $R/sys/$NV/address 0000:3d:00.0; attr $R/sys/$NV/state live
attr $B/wwid "eui.0025385891b12345"; attr $B/nsid 1
part $B nvme0n1p1 259:1 1 2048 1048576
part $B nvme0n1p2 259:2 2 1050624 975720448
MMC=devices/pci0000:00/0000:00:1c.0/0000:02:00.0/rtsx_pci_sdmmc.0/mmc_host/mmc0/mmc0:aaaa
disk $R mmcblk0 $MMC/block 179:0 62333952 0
B=$R/sys/$MMC/block/mmcblk0
lnk ../../../mmc0:aaaa $B/device
attr $R/sys/$MMC/name SC32G; attr $R/sys/$MMC/type SD; attr $R/sys/$MMC/manfid 0x000003
attr $R/sys/$MMC/oemid 0x5344; attr $R/sys/$MMC/serial 0x8e1d2c3b; attr $R/sys/$MMC/date 08/2021
part $B mmcblk0p1 179:1 1 8192 62325760
virt $R loop0 7:0 2097152
B=$R/sys/devices/virtual/block/loop0
attr $B/loop/backing_file /home/anna/images/sdcard.img; attr $B/loop/offset 0
attr $B/loop/sizelimit 0; attr $B/loop/autoclear 1; attr $B/loop/partscan 0; attr $B/loop/dio 0
virt $R loop1 7:1 0
virt $R loop2 7:2 151112
B=$R/sys/devices/virtual/block/loop2
attr $B/loop/backing_file /var/lib/snapd/snaps/core22_1122.snap; attr $B/loop/offset 0
attr $B/loop/sizelimit 0; attr $B/loop/autoclear 0; attr $B/loop/partscan 0; attr $B/loop/dio 1
attr $B/ro 1
virt $R zram0 252:0 16777216
cat > $R/mountinfo <<'M'
22 28 0:21 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw
23 28 0:22 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw
24 28 0:5 / /dev rw,nosuid,relatime shared:2 - devtmpfs udev rw,size=8035532k,nr_inodes=2008883,mode=755,inode64
27 28 0:25 / /run rw,nosuid,nodev,noexec,relatime shared:5 - tmpfs tmpfs rw,size=1612804k,mode=755,inode64
28 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw,errors=remount-ro
62 28 259:1 / /boot/efi rw,relatime shared:31 - vfat /dev/nvme0n1p1 rw,fmask=0077,dmask=0077,codepage=437,iocharset=ascii,shortname=mixed,utf8,errors=remount-ro
66 28 7:2 / /snap/core22/1122 ro,nodev,relatime shared:33 - squashfs /dev/loop2 ro,errors=continue,threads=single
71 28 259:2 /home/anna/src /srv/src rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw,errors=remount-ro
412 27 179:1 / /media/anna/SD\040CARD rw,nosuid,nodev,relatime shared:246 - vfat /dev/mmcblk0p1 rw,uid=1000,gid=1000,fmask=0022,dmask=0022,codepage=437,iocharset=ascii,shortname=mixed,showexec,utf8,flush,errors=remount-ro
M

# ---- cardreader: SATA system disk, USB multi-card reader (SD slot with a card, CF slot empty), DVD
R=$T/cardreader
ATA=devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0
disk $R sda $ATA/block 8:0 1953525168 0
lnk ../../../0:0:0:0 $R/sys/$ATA/block/sda/device
scsi $R/sys/$ATA "ATA     " "WDC WD10EZEX-08W" "1A01"
part $R/sys/$ATA/block/sda sda1 8:1 1 2048 1048576
part $R/sys/$ATA/block/sda sda2 8:2 2 1050624 1952473088
USB=devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host6/target6:0:0
disk $R sdb $USB/6:0:0:0/block 8:16 15523840 1
lnk ../../../6:0:0:0 $R/sys/$USB/6:0:0:0/block/sdb/device
scsi $R/sys/$USB/6:0:0:0 "Generic-" "SD/MMC          " "1.00"
part $R/sys/$USB/6:0:0:0/block/sdb sdb1 8:17 1 8192 15515648
disk $R sdc $USB/6:0:0:1/block 8:32 0 1
lnk ../../../6:0:0:1 $R/sys/$USB/6:0:0:1/block/sdc/device
scsi $R/sys/$USB/6:0:0:1 "Generic-" "Compact Flash   " "1.00"
attr $R/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/manufacturer "Generic"
attr $R/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/product "USB3.0 Card Reader"
attr $R/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/idVendor 05e3
attr $R/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/idProduct 0743
DVD=devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0
disk $R sr0 $DVD/block 11:0 2097151 1
lnk ../../../1:0:0:0 $R/sys/$DVD/block/sr0/device
scsi $R/sys/$DVD "HL-DT-ST" "DVDRAM GH24NSD1 " "LG00"
cat > $R/mountinfo <<'M'
21 26 0:20 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw
22 26 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw
23 26 0:5 / /dev rw,nosuid,relatime shared:2 - devtmpfs udev rw,size=16336720k,nr_inodes=4084180,mode=755,inode64
26 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro
59 26 8:1 / /boot/efi rw,relatime shared:30 - vfat /dev/sda1 rw,fmask=0077,dmask=0077,codepage=437,iocharset=ascii,shortname=mixed,utf8,errors=remount-ro
M

# ---- usbstick: SATA disk with an encrypted root, USB stick (sdb was unplugged earlier: sdc)
R=$T/usbstick
ATA=devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0
disk $R sda $ATA/block 8:0 488397168 0
lnk ../../../2:0:0:0 $R/sys/$ATA/block/sda/device
scsi $R/sys/$ATA "ATA     " "Samsung SSD 860 " "4B6Q"
part $R/sys/$ATA/block/sda sda1 8:1 1 2048 999424
part $R/sys/$ATA/block/sda sda2 8:2 2 1001472 487393280
USB=devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host4/target4:0:0/4:0:0:0
disk $R sdc $USB/block 8:32 30031872 1
lnk ../../../4:0:0:0 $R/sys/$USB/block/sdc/device
scsi $R/sys/$USB "SanDisk " "Cruzer Blade    " "1.00"
part $R/sys/$USB/block/sdc sdc1 8:33 1 8192 524288
part $R/sys/$USB/block/sdc sdc2 8:34 2 532480 29499392
virt $R dm-0 254:0 487389184
mkdir -p $R/sys/devices/virtual/block/dm-0/dm; attr $R/sys/devices/virtual/block/dm-0/dm/name sda2_crypt
cat > $R/mountinfo <<'M'
21 26 0:20 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw
22 26 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw
26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/mapper/sda2_crypt rw,errors=remount-ro
58 26 8:1 / /boot rw,relatime shared:30 - ext4 /dev/sda1 rw
301 26 8:33 / /media/pi/bootfs rw,nosuid,nodev,relatime shared:170 - vfat /dev/sdc1 rw,uid=1000,gid=1000,fmask=0022,dmask=0022,codepage=437,iocharset=ascii,shortname=mixed,showexec,utf8,flush,errors=remount-ro
305 26 0:46 /@ /media/pi/rootfs rw,nosuid,nodev,relatime shared:174 - btrfs /dev/sdc2 rw,space_cache=v2,subvolid=256,subvol=/@
309 26 0:46 /@home /media/pi/home rw,nosuid,nodev,relatime shared:178 - btrfs /dev/sdc2 rw,space_cache=v2,subvolid=257,subvol=/@home
M
