#!/usr/bin/env bash
# Makes a disk laid out as Windows setup makes one, its system volume filled as years of use leave
# it (real_volume.py), without root: a sparse GPT disk with an EFI system partition (FAT32), the
# Microsoft reserved partition, the NTFS system volume and a recovery partition.
#   make_real_disk.sh OUT NTFS_PUT FILES SOFTWARE SYSTEM [real_volume.py options]
# writes OUT/disk.raw and OUT/volume.ntfs (the system volume alone, for an ntfs-3g mount). The
# system volume is 60 GiB, as the disk this stands for; only what is written takes room.
set -euo pipefail
out=$1 ntfs_put=$(realpath "$2") files=$3 software=$(realpath "$4") system=$(realpath "$5")
shift 5
here=$(dirname "$(realpath "$0")")
mkdir -p "$out" && cd "$out"
rm -rf disk.raw volume.ntfs esp.vfat recovery.ntfs pieces
quiet() { "$@" >/dev/null 2>&1 || { echo "make_real_disk: failed: $*" >&2; "$@"; exit 1; }; }

esp_mib=100 msr_mib=16 system_gib=60 recovery_mib=512
truncate -s "${system_gib}G" volume.ntfs
quiet mkntfs -F -Q -q -L System volume.ntfs
python3 "$here/real_volume.py" "$files" "$software" "$system" --work pieces "$@" | "$ntfs_put" volume.ntfs batch
rm -rf pieces
truncate -s "${esp_mib}M" esp.vfat && quiet mkfs.fat -F 32 -n SYSTEM esp.vfat
mmd -i esp.vfat ::/EFI ::/EFI/Microsoft ::/EFI/Microsoft/Boot
truncate -s "${recovery_mib}M" recovery.ntfs && quiet mkntfs -F -Q -q -L Recovery recovery.ntfs
printf 'wim' > winre.wim && "$ntfs_put" recovery.ntfs put Recovery/WindowsRE/Winre.wim winre.wim && rm winre.wim

truncate -s $(( (esp_mib + msr_mib + recovery_mib + 2) * 1048576 + system_gib * 1073741824 )) disk.raw
quiet sgdisk -n 1:2048:+${esp_mib}M -t 1:ef00 -n 2:0:+${msr_mib}M -t 2:0c01 -n 3:0:+${system_gib}G -t 3:0700 \
  -n 4:0:+${recovery_mib}M -t 4:2700 disk.raw
# Each volume where its partition starts, the disk staying sparse.
for part in 1:esp.vfat 3:volume.ntfs 4:recovery.ntfs; do
  start=$(sgdisk -i "${part%%:*}" disk.raw | awk '/First sector:/ {print $3}')
  python3 "$here/place_sparse.py" "${part#*:}" disk.raw $((start * 512))
done
rm -f esp.vfat recovery.ntfs
