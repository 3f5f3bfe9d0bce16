#!/usr/bin/env bash
# Fails when PROGRAM.exe imports a function that is not in the committed list of what Windows XP
# SP3 exports, or when a listed function is no longer imported (LIST_DIR: one file per DLL), or when
# its header lacks the protections later releases give it: ASLR (with relocations to move it, and
# high-entropy addresses for x64) and DEP.
#   tests/windows/import_check.sh OBJDUMP PROGRAM.exe x86|x64 LIST_DIR
set -euo pipefail
objdump=$1 exe=$2 arch=$3 lists=$4

# "dll name" per import, from the import tables that objdump -p prints.
imports=$("$objdump" -p "$exe" | awk '
  /DLL Name:/ { dll = tolower($3); sub(/\.dll$/, "", dll); next }
  dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }
' | sort -u)
[ -n "$imports" ] || { echo "FAIL: no imports found in $exe" >&2; exit 1; }

# "dll name" per entry that applies to this build: untagged, or tagged with this architecture.
allowed=$(for list in "$lists"/*.txt; do
  dll=$(basename "$list" .txt)
  awk -v dll="$dll" -v arch="$arch" '!/^#/ && NF && (NF == 1 || $2 == arch) { print dll, $1 }' "$list"
done | sort -u)

failures=0
while read -r dll name; do
  echo "FAIL: $exe imports $name from $dll.dll, which is not in $lists/$dll.txt (not known to be in Windows XP SP3)" >&2
  failures=$((failures + 1))
done < <(comm -23 <(echo "$imports") <(echo "$allowed"))
while read -r dll name; do
  echo "FAIL: $lists/$dll.txt lists $name, which the $arch program no longer imports: remove it or tag it" >&2
  failures=$((failures + 1))
done < <(comm -13 <(echo "$imports") <(echo "$allowed"))

# The header's flag names, as objdump -p prints them under Characteristics and DllCharacteristics.
header_flags() {  # field
  "$objdump" -p "$exe" | awk -v field="$1" '$1 == field { on = 1; next } on && /^\t+[a-zA-Z_ ]+$/ { sub(/^\t+/, ""); print; next } { on = 0 }'
}
wanted="DYNAMIC_BASE NX_COMPAT"
[ "$arch" = x64 ] && wanted="$wanted HIGH_ENTROPY_VA"
dll_flags=$(header_flags DllCharacteristics)
for flag in $wanted; do
  grep -qx "$flag" <<<"$dll_flags" || { echo "FAIL: $exe lacks $flag in DllCharacteristics" >&2; failures=$((failures + 1)); }
done
if header_flags Characteristics | grep -qx "relocations stripped"; then
  echo "FAIL: $exe has no relocations, so ASLR cannot move it" >&2
  failures=$((failures + 1))
fi
[ $failures -eq 0 ] || exit 1
echo "PASS: $wanted set; all $(echo "$imports" | wc -l) imports of $exe are in the Windows XP SP3 lists"
