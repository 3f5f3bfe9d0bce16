#!/usr/bin/env bash
# Makes the disk images the disk tests read, without root, into OUT (under the build tree):
#   make_images.sh OUT REGSTORE NTFS_PUT EXAMPLES CREG_WRITE
# Volumes: vol.ntfs (Windows 10 in Windows/, Windows 7 in Windows.old/), xp.ntfs (WINNT/, lower
# case), fat.vfat (Windows 98 SE), vol4k.ntfs (4096-byte sectors). Disks: bare, MBR with a
# logical partition, GPT, both with 4096-byte sectors; then the containers and the refusals.
# Windows 9x: me-fat32.raw (Windows Me on FAT32, MBR type 0x0C), w95-fat16.vfat (Windows 95 OSR2,
# its SYSTEM.DAT cut short and SYSTEM.DA0 beside it).
set -euo pipefail
out=$1 regstore=$2 ntfs_put=$(realpath "$3") examples=$4 creg_write=$5
here=$(dirname "$(realpath "$0")")
rm -rf "$out" && mkdir -p "$out" && cd "$out"
quiet() { "$@" >/dev/null 2>&1 || { echo "make_images: failed: $*" >&2; "$@"; exit 1; }; }

# Hives from the examples, through our own writer.
hives() {  # hives EXAMPLE DIR
  mkdir -p "$2"
  "$regstore" --store "$2/store.db" import "$examples/$1"
  "$regstore" --store "$2/store.db" export --hive 'HKLM\SOFTWARE' "$2/SOFTWARE"
  "$regstore" --store "$2/store.db" export --hive 'HKLM\SYSTEM' "$2/SYSTEM"
}
hives windows-10-22h2.reg h10
hives windows-7-sp1.reg h7
hives windows-xp-sp3.reg hxp
# Windows 9x registries (SYSTEM.DAT, USER.DAT) from the examples, through the tests' CREG writer.
for release in 95:windows-95-osr2 98:windows-98-se me:windows-me; do
  mkdir -p "h${release%%:*}" && "$creg_write" "$examples/${release#*:}.reg" "h${release%%:*}"
done

ntfs() {  # ntfs FILE MIB LABEL [mkntfs options]
  truncate -s "$2M" "$1"
  quiet mkntfs -F -Q -q -L "$3" "${@:4}" "$1"
}
ntfs vol.ntfs 12 System
"$ntfs_put" vol.ntfs put Windows/System32/config/SOFTWARE h10/SOFTWARE
"$ntfs_put" vol.ntfs put Windows/System32/config/SYSTEM h10/SYSTEM
"$ntfs_put" vol.ntfs put Windows/System32/config/SYSTEM.LOG1 h10/SYSTEM
"$ntfs_put" vol.ntfs put Windows.old/System32/config/SOFTWARE h7/SOFTWARE
"$ntfs_put" vol.ntfs put Windows.old/System32/config/SYSTEM h7/SYSTEM
# A folder with only one hive is no installation.
"$ntfs_put" vol.ntfs put Backup/System32/config/SYSTEM h7/SYSTEM
ntfs xp.ntfs 12 ""
"$ntfs_put" xp.ntfs put WINNT/system32/config/software hxp/SOFTWARE
"$ntfs_put" xp.ntfs put WINNT/system32/config/system hxp/SYSTEM
ntfs vol4k.ntfs 12 Big -s 4096
"$ntfs_put" vol4k.ntfs put Windows/System32/config/SOFTWARE h10/SOFTWARE
"$ntfs_put" vol4k.ntfs put Windows/System32/config/SYSTEM h10/SYSTEM
quiet mkfs.fat -n WIN98 -C fat.vfat 8192
mmd -i fat.vfat ::/Windows
mcopy -i fat.vfat h98/SYSTEM.DAT ::/Windows/system.dat
mcopy -i fat.vfat h98/USER.DAT ::/Windows/USER.DAT
# A Windows 98 whose USER.DAT is gone (a partial copy, a damaged disk): SYSTEM.DAT alone tells the version.
quiet mkfs.fat -n WIN98 -C fat-system-only.vfat 8192
mmd -i fat-system-only.vfat ::/Windows
mcopy -i fat-system-only.vfat h98/SYSTEM.DAT ::/Windows/SYSTEM.DAT
truncate -s 40M fat32.vfat && quiet mkfs.fat -F 32 -n WINME fat32.vfat
mmd -i fat32.vfat ::/WINDOWS
mcopy -i fat32.vfat hme/SYSTEM.DAT hme/USER.DAT ::/WINDOWS/
quiet mkfs.fat -F 16 -n WIN95 -C w95-fat16.vfat 16384
mmd -i w95-fat16.vfat ::/WINDOWS
head -c -300 h95/SYSTEM.DAT > h95/cut.dat
mcopy -i w95-fat16.vfat h95/cut.dat ::/WINDOWS/SYSTEM.DAT
mcopy -i w95-fat16.vfat h95/SYSTEM.DAT ::/WINDOWS/SYSTEM.DA0
mcopy -i w95-fat16.vfat h95/USER.DAT ::/WINDOWS/USER.DAT

place() {  # place DISK SECTOR_BYTES START_SECTOR VOLUME
  dd if="$4" of="$1" bs="$2" seek="$3" conv=notrunc,sparse status=none
}

cp --sparse=always vol.ntfs bare.raw
truncate -s 36M mbr.raw
quiet sfdisk mbr.raw <<'T'
label: dos
start=2048, size=16384, type=6
start=18432, size=24576, type=7
start=43008, size=26624, type=5
start=45056, size=24576, type=7
T
place mbr.raw 512 2048 fat.vfat
truncate -s 42M me-fat32.raw
printf 'label: dos\nstart=2048, type=c\n' | quiet sfdisk me-fat32.raw
place me-fat32.raw 512 2048 fat32.vfat
place mbr.raw 512 18432 vol.ntfs
place mbr.raw 512 45056 xp.ntfs

truncate -s 24M gpt.raw
quiet sgdisk -n 1:2048:+4M -t 1:ef00 -n 2:0:+1M -t 2:0c01 -n 3:0:+12M -t 3:0700 gpt.raw
truncate -s 4M esp.vfat && quiet mkfs.fat -n ESP esp.vfat
place gpt.raw 512 2048 esp.vfat
place gpt.raw 512 12288 vol.ntfs

# sfdisk and sgdisk only write 512-byte sectors to a file: these two tables are written here.
python3 - <<'PY'
import struct, uuid, zlib
S, size = 4096, 16 << 20
def mbr(entries):
    b = bytearray(512)
    for i, (t, start, count) in enumerate(entries):
        b[446 + 16 * i + 4] = t
        b[446 + 16 * i + 8:446 + 16 * i + 16] = struct.pack('<II', start, count)
    b[510:512] = b'\x55\xaa'
    return b
def gpt(first, last):
    sectors = size // S
    entries = bytearray(128 * 128)
    entries[0:16] = uuid.UUID('EBD0A0A2-B9E5-4433-87C0-68B6B72699C7').bytes_le
    entries[16:32] = uuid.uuid4().bytes_le
    entries[32:48] = struct.pack('<QQ', first, last)
    def header(mine, other, table):
        h = bytearray(92)
        h[0:8] = b'EFI PART'
        h[8:16] = struct.pack('<II', 0x10000, 92)
        h[24:56] = struct.pack('<QQQQ', mine, other, 6, sectors - 6)
        h[56:72] = uuid.uuid4().bytes_le
        h[72:92] = struct.pack('<QIII', table, 128, 128, zlib.crc32(entries))
        h[16:20] = struct.pack('<I', zlib.crc32(h))
        return h
    with open('gpt4k.raw', 'r+b') as f:
        f.write(mbr([(0xEE, 1, sectors - 1)]))
        f.seek(S); f.write(header(1, sectors - 1, 2))
        f.seek(2 * S); f.write(entries)
        f.seek((sectors - 5) * S); f.write(entries)
        f.seek((sectors - 1) * S); f.write(header(sectors - 1, 1, sectors - 5))
for name in ('gpt4k.raw', 'mbr4k.raw'):
    open(name, 'wb').truncate(size)
gpt(256, 256 + 3071)
with open('mbr4k.raw', 'r+b') as f:
    f.write(mbr([(0x07, 256, 3072)]))
PY
place gpt4k.raw 4096 256 vol4k.ntfs
place mbr4k.raw 4096 256 vol4k.ntfs

# Containers, each of the MBR disk (its three volumes) or the GPT one.
quiet qemu-img convert -O vpc -o subformat=dynamic,force_size=on mbr.raw dynamic.vhd
quiet qemu-img convert -O vpc -o subformat=fixed,force_size=on mbr.raw fixed.vhd
quiet qemu-img convert -O vhdx gpt.raw disk.vhdx
quiet qemu-img convert -O vmdk -o subformat=monolithicSparse mbr.raw sparse.vmdk
quiet qemu-img convert -O vmdk -o subformat=streamOptimized gpt.raw stream.vmdk
cp --sparse=always sparse.vmdk renamed-sparse.vmdk
quiet qemu-img convert -O vmdk -o subformat=monolithicFlat gpt.raw flat.vmdk
mkdir -p split-vmdk && quiet qemu-img convert -O vmdk -o subformat=twoGbMaxExtentSparse mbr.raw split-vmdk/disk.vmdk
quiet qemu-img convert -O qcow2 gpt.raw base.qcow2
quiet qemu-img create -f qcow2 -b base.qcow2 -F qcow2 overlay.qcow2
split -b 10M -d -a 3 --numeric-suffixes=1 mbr.raw split.raw.
quiet ewfacquire -u -q -c none -S 4MiB -t evidence -C c -D d -e e -E e -N n gpt.raw
quiet ewfacquire -u -q -c none -t whole -C c -D d -e e -E e -N n mbr.raw

# A differencing VHD over dynamic.vhd: an empty dynamic disk of the same size, its type and
# parent's name and identifier set as Hyper-V writes them.
differencing() {  # differencing CHILD PARENT_NAME PARENT_FILE
  size=$(qemu-img info --output=json dynamic.vhd | python3 -c 'import json,sys; print(json.load(sys.stdin)["virtual-size"])')
  quiet qemu-img create -f vpc -o subformat=dynamic,force_size=on "$1" "$size"
  python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
child, name, parent = sys.argv[1], sys.argv[2], sys.argv[3]
def checksum(block, at):
    b = bytearray(block); b[at:at + 4] = b'\0\0\0\0'
    return struct.pack('>I', ~sum(b) & 0xFFFFFFFF)
data = bytearray(open(child, 'rb').read())
puid = open(parent, 'rb').read()[68:84]
footer = bytearray(data[-512:])
footer[60:64] = struct.pack('>I', 4)
footer[64:68] = checksum(footer, 64)
data[-512:] = footer; data[0:512] = footer
dyn = struct.unpack('>Q', footer[16:24])[0]
head = bytearray(data[dyn:dyn + 1024])
head[40:56] = puid
u = name.encode('utf-16-be')[:510]
head[64:576] = u + b'\0' * (512 - len(u))
head[36:40] = checksum(head, 36)
data[dyn:dyn + 1024] = head
open(child, 'wb').write(data)
PY
}
differencing child.vhd dynamic.vhd dynamic.vhd

# Refusals.
bootsector() {  # bootsector FILE OEM_AT_3: a volume whose first sector names what it is
  python3 - "$1" "$2" <<'PY'
import sys
f, oem = sys.argv[1], sys.argv[2].encode()
oem = oem.ljust(8, b'\0' if oem == b'ReFS' else b' ')
b = bytearray(4096); b[0:3] = b'\xeb\x52\x90'; b[3:11] = oem; b[510:512] = b'\x55\xaa'
with open(f, 'r+b') as o: o.write(b)
PY
}
mbrdisk() {  # mbrdisk FILE TYPE: a 4 MiB disk with one partition of TYPE at 1 MiB
  truncate -s 4M "$1"
  printf 'label: dos\nstart=2048, size=4096, type=%s\n' "$2" | quiet sfdisk "$1"
}
truncate -s 2M refs.raw && bootsector refs.raw ReFS
truncate -s 2M exfat.raw && bootsector exfat.raw EXFAT
mbrdisk bitlocker.raw 7 && { truncate -s 2M bl.vol; bootsector bl.vol -FVE-FS-; place bitlocker.raw 512 2048 bl.vol; }
mbrdisk unknown.raw 7 && head -c 65536 /dev/urandom | dd of=unknown.raw bs=512 seek=2048 conv=notrunc status=none
mbrdisk lvm.raw 8e
# A whole disk made an LVM physical volume: its label in the second sector, no table.
truncate -s 2M bare-lvm.raw && printf 'LABELONE' | dd of=bare-lvm.raw bs=1 seek=512 conv=notrunc status=none
mbrdisk ldm.raw 42
truncate -s 4M spaces.raw && quiet sgdisk -n 1:2048:0 -t 1:E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D spaces.raw
# Only the refusals on a disk that also holds a Windows: the Windows, with a warning.
cp --sparse=always mbr.raw mixed.raw
quiet sfdisk --part-type mixed.raw 1 7
place mixed.raw 512 2048 bl.vol
head -c $((30 * 1048576)) mbr.raw > truncated.raw
head -c 400000 base.qcow2 > cut.qcow2
head -c $(( $(stat -c %s dynamic.vhd) - 4096 )) dynamic.vhd > cut.vhd
quiet qemu-img create -f qcow2 -b gpt.raw -F raw rawback.qcow2
quiet qemu-img create -f qcow2 -u -b gone.qcow2 -F qcow2 orphan.qcow2 24M
differencing orphan.vhd parent-gone.vhd dynamic.vhd

# What Windows leaves: hibernation, an unclean shutdown, a compressed hive; and a hive claiming
# 4 GiB on a 12 MiB volume.
cp vol.ntfs dirty.ntfs && "$ntfs_put" dirty.ntfs dirty
cp vol.ntfs hiber.ntfs && printf 'HIBR%0508d' 0 > hiberfil && "$ntfs_put" hiber.ntfs put hiberfil.sys hiberfil
cp vol.ntfs wof.ntfs && "$ntfs_put" wof.ntfs wof Windows/System32/config/SOFTWARE h10/SOFTWARE
# SOFTWARE in three runs, with another file's clusters between them.
ntfs frag.ntfs 12 System
head -c 4096 h10/SOFTWARE > part1 && tail -c +4097 h10/SOFTWARE | head -c 2048 > part2 && tail -c +6145 h10/SOFTWARE > part3
head -c 65536 /dev/zero > filler
"$ntfs_put" frag.ntfs put Windows/System32/config/SOFTWARE part1
"$ntfs_put" frag.ntfs put Windows/System32/config/filler1 filler
"$ntfs_put" frag.ntfs append /Windows/System32/config/SOFTWARE part2
"$ntfs_put" frag.ntfs put Windows/System32/config/filler2 filler
"$ntfs_put" frag.ntfs append /Windows/System32/config/SOFTWARE part3
"$ntfs_put" frag.ntfs put Windows/System32/config/SYSTEM h10/SYSTEM
"$ntfs_put" frag.ntfs put Windows/System32/config/SYSTEM.LOG1 h10/SYSTEM
rm -f part1 part2 part3 filler
cp vol.ntfs huge.ntfs && "$ntfs_put" huge.ntfs grow /Windows/System32/config/SOFTWARE 4294967296
# A disk as Windows setup makes it, its system volume filled as years of use leave it (at a scale a
# test run affords: 20,000 files and 5,000 deleted, Windows 7 in Windows.old\WINDOWS), and one with
# twice the files: finding Windows reads about as much on both.
bash "$here/make_real_disk.sh" real "$ntfs_put" 20000 h10/SOFTWARE h10/SYSTEM --deleted 5000 \
  --old "$PWD/h7/SOFTWARE" "$PWD/h7/SYSTEM"
bash "$here/make_real_disk.sh" real2 "$ntfs_put" 40000 h10/SOFTWARE h10/SYSTEM --deleted 10000 \
  --old "$PWD/h7/SOFTWARE" "$PWD/h7/SYSTEM"
# What ntfs-3g lists in System32, a folder of thousands, for the lookups to be checked against.
ntfsls -f -F -p /Windows/System32 real/volume.ntfs > real/system32.ls
rm -f real/volume.ntfs real2/volume.ntfs

# Links on the way to a hive: config a junction to C:\Hives\config, whose SOFTWARE is a symbolic
# link to C:\Hives\real\SOFTWARE; config a relative symbolic link; config a junction to another
# volume; System32 a junction to itself.
links() {  # links FILE: batch lines on stdin
  ntfs "$1" 12 Links
  "$ntfs_put" "$1" batch
}
links junction.ntfs <<T
put	Hives/real/SOFTWARE	$PWD/h10/SOFTWARE
put	Hives/config/SYSTEM	$PWD/h10/SYSTEM
symlink	Hives/config/SOFTWARE	C:\Hives\real\SOFTWARE
junction	Windows/System32/config	C:\Hives\config
T
links relative.ntfs <<T
put	Hives/config/SOFTWARE	$PWD/h10/SOFTWARE
put	Hives/config/SYSTEM	$PWD/h10/SYSTEM
symlinkd	Windows/System32/config	..\..\Hives\config
T
links elsewhere.ntfs <<T
junction	Windows/System32/config	D:\Windows\System32\config
T
links loop.ntfs <<T
junction	Windows/System32	C:\Windows\System32
T
# The faults a hive may show, each on a volume and in a folder: an empty SYSTEM, a SOFTWARE cut short
# (its first 6 KiB), and a volume cut inside SOFTWARE's data.
head -c 6144 h10/SOFTWARE > cut-software
ntfs zero.ntfs 12 Zero
printf '' > empty-hive
"$ntfs_put" zero.ntfs put Windows/System32/config/SYSTEM empty-hive
"$ntfs_put" zero.ntfs put Windows/System32/config/SOFTWARE h10/SOFTWARE
ntfs short.ntfs 12 Short
"$ntfs_put" short.ntfs put Windows/System32/config/SYSTEM h10/SYSTEM
"$ntfs_put" short.ntfs put Windows/System32/config/SOFTWARE cut-software
mkdir -p folder-zero/Windows/System32/config folder-short/Windows/System32/config
cp empty-hive folder-zero/Windows/System32/config/SYSTEM && cp h10/SOFTWARE folder-zero/Windows/System32/config/
cp h10/SYSTEM folder-short/Windows/System32/config/ && cp cut-software folder-short/Windows/System32/config/SOFTWARE
python3 - h10/SOFTWARE <<'PY'
import sys
volume, hive = open("vol.ntfs", "rb").read(), open(sys.argv[1], "rb").read()
at = volume.find(hive[:4096])
assert at > 0 and at % 4096 == 0, "SOFTWARE's data not found in vol.ntfs"
open("cut-in-software.ntfs", "wb").write(volume[:at + 4096])
PY
rm -f empty-hive cut-software

# Folders: a volume's root (names in several cases) and a config folder alone.
mkdir -p folder-root/Windows/System32/config folder-root/Windows.old/system32/CONFIG folder-root/WIN98 folder-config \
  folder-root/Windows.old.000/WINDOWS/System32/config
cp h10/SOFTWARE h10/SYSTEM folder-root/Windows/System32/config/
cp h7/SOFTWARE folder-root/Windows.old/system32/CONFIG/software
cp h7/SYSTEM folder-root/Windows.old/system32/CONFIG/system
cp h98/SYSTEM.DAT folder-root/WIN98/SYSTEM.DAT && cp h98/USER.DAT folder-root/WIN98/user.dat
cp h10/SOFTWARE h10/SYSTEM folder-config/
mkdir -p folder-9x-system-only/WIN98 && cp h98/SYSTEM.DAT folder-9x-system-only/WIN98/
cp hxp/SOFTWARE hxp/SYSTEM folder-root/Windows.old.000/WINDOWS/System32/config/
# A mounted volume's links: config a relative link to Hives/config, and one to another volume that a
# mount shows as a path that is not there.
mkdir -p folder-relative/Hives/config folder-relative/Windows/System32 folder-link/Windows/System32
cp h10/SOFTWARE h10/SYSTEM folder-relative/Hives/config/
ln -s ../../Hives/config folder-relative/Windows/System32/config
ln -s /nonexistent-volume/config folder-link/Windows/System32/config
: > empty.raw
rm -rf h10/store.db* h7/store.db* hxp/store.db* hiberfil bl.vol
