#!/usr/bin/env bash
# Makes the disk_bench image: a sparse GPT disk of DISK_GIB GiB whose NTFS partition holds a Windows
# folder with a SOFTWARE hive of MEGABYTES MB (hive_generate) and a small SYSTEM, as a VHDX; the
# volume is kept as a file of its own for the ntfs-3g mount reference.
#   make_disk_image.sh OUT HIVE_GENERATE NTFS_PUT MEGABYTES [DISK_GIB]   (writes OUT/disk.vhdx, OUT/volume.ntfs)
set -euo pipefail
out=$1 hive_generate=$(realpath "$2") ntfs_put=$(realpath "$3") megabytes=$4 gib=${5:-4}
here=$(dirname "$(realpath "$0")")
mkdir -p "$out" && cd "$out"
rm -f disk.raw disk.vhdx volume.ntfs SOFTWARE SYSTEM
"$hive_generate" SOFTWARE --shape software --megabytes "$megabytes" >/dev/null
"$hive_generate" SYSTEM --shape system --keys 300 >/dev/null
volume_mib=$((gib * 1024 - 2))
truncate -s "${volume_mib}M" volume.ntfs
mkntfs -F -Q -q -L Windows volume.ntfs >/dev/null 2>&1
"$ntfs_put" volume.ntfs put Windows/System32/config/SOFTWARE SOFTWARE
"$ntfs_put" volume.ntfs put Windows/System32/config/SYSTEM SYSTEM
truncate -s "${gib}G" disk.raw
sgdisk -n "1:2048:+${volume_mib}M" -t 1:0700 disk.raw >/dev/null
# Only the volume's data extents are copied, so the 4 GiB stay sparse.
python3 "$here/../tests/disk/place_sparse.py" volume.ntfs disk.raw 1048576
qemu-img convert -O vhdx disk.raw disk.vhdx
rm -f disk.raw SOFTWARE SYSTEM
