#!/usr/bin/env bash
# The regstore tool as a user runs it: exit status 2 for a bad command line, 1 for bad input with
# file:line:column, 0 for work done; and an import, query, set, export, delete round.
set -u
regstore=$1
dir=$(mktemp -d)
trap 'chmod -R u+w "$dir"; rm -rf "$dir"' EXIT
store="$dir/registry.db"
failures=0
passed=0

expect() {  # expect STATUS DESCRIPTION -- COMMAND...
  local want=$1 what=$2
  shift 3
  "$@" >"$dir/out" 2>"$dir/err"
  local got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL: $what: exit $got, expected $want"; cat "$dir/err"; failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}
contains() {  # contains FILE TEXT DESCRIPTION
  if grep -qF -- "$2" "$1"; then passed=$((passed + 1)); else
    echo "FAIL: $3: no '$2' in:"; cat "$1"; failures=$((failures + 1)); fi
}
rs() { "$regstore" --store "$store" "$@"; }

expect 2 "no command" -- "$regstore" --store "$store"
contains "$dir/err" "Try 'regstore --help'" "usage hint"
expect 2 "unknown command" -- rs frobnicate
expect 2 "unknown option" -- rs query HKLM --colour
expect 2 "bad key name" -- rs query 'HKXX\Software'
expect 2 "set without --type" -- rs set 'HKCU\A' --value v --data 1
expect 2 "bad dword data" -- rs set 'HKCU\A' --value v --type REG_DWORD --data twelve
expect 2 "import without files" -- rs import
expect 0 "help" -- "$regstore" --help
contains "$dir/out" "import FILE..." "help lists the commands"

printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Good]\r\n"a"="1"\r\n' >"$dir/good.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Bad]\r\n"x"=hex:00,1\r\n' >"$dir/bad.reg"
expect 1 "bad file" -- rs import "$dir/good.reg" "$dir/bad.reg"
contains "$dir/err" "bad.reg:4:12:" "file:line:column of the fault"
expect 1 "nothing imported from a failed run" -- rs query 'HKCU\Good'
expect 1 "missing file" -- rs import "$dir/none.reg"

expect 0 "import" -- rs import "$dir/good.reg"
expect 0 "set REG_DWORD" -- rs set 'HKCU\Good\Sub' --value n --type REG_DWORD --data 0x10
expect 0 "set REG_MULTI_SZ" -- rs set 'hkcu\good' --value m --type reg_multi_sz --data 'x\0y'
expect 0 "query one value" -- rs query 'HKCU\GOOD\sub' --value N
contains "$dir/out" "REG_DWORD    0x10" "query shows the dword"
expect 0 "query key" -- rs query 'HKCU\Good'
contains "$dir/out" 'm    REG_MULTI_SZ    x\0y' "query shows the multi-string"
contains "$dir/out" 'HKEY_CURRENT_USER\Good\Sub' "query lists subkeys"
expect 1 "query missing value" -- rs query 'HKCU\Good' --value nope

expect 0 "export to a file" -- rs export 'HKCU\Good' "$dir/out.reg"
expect 0 "export to stdout" -- rs export 'HKCU\Good'
cmp -s "$dir/out" "$dir/out.reg" && passed=$((passed + 1)) || { echo "FAIL: stdout and file exports differ"; failures=$((failures + 1)); }
expect 0 "delete value" -- rs delete 'HKCU\Good' --value a
expect 1 "delete missing value" -- rs delete 'HKCU\Good' --value a
expect 1 "delete root" -- rs delete HKCU
expect 0 "delete key" -- rs delete 'HKCU\Good'
expect 1 "export deleted key" -- rs export 'HKCU\Good'
expect 0 "import the export" -- rs import "$dir/out.reg"
expect 0 "query re-imported" -- rs query 'HKCU\Good' --value a
contains "$dir/out" "REG_SZ    1" "re-imported value"

# Faults named for what they are, each refused with nothing written.
refused() {  # refused STATUS TEXT DESCRIPTION -- COMMAND...
  local want=$1 text=$2 what=$3
  shift 4
  expect "$want" "$what" -- "$@"
  contains "$dir/err" "$text" "$what"
}
# The command line's rules, each refused with status 2 and a message that names the rule; nothing runs.
# Rows: TEXT|ARGUMENTS (one a line, after the pipe, split at tabs).
usage_faults=(
  "query takes one KEY|query"
  "query takes one KEY; HKLM is one too many|query	HKCU	HKLM"
  "query takes one KEY; x is one too many|query	--	HKCU	x"
  "version takes no arguments; HKLM is one too many|version	HKLM"
  "export takes one KEY and an optional FILE|export"
  "import takes one or more FILEs|import	--key	HKCU"
  "import-windows takes one SOURCE; $dir/b is one too many|import-windows	$dir/a	$dir/b"
  "set needs --type|set	HKCU\\A	--value	v	--data	1"
  "set needs --value, --type and --data|set	HKCU\\A"
  "export takes --hive or --regedit4, not both|export	HKCU	$dir/x.hive	--hive	--regedit4"
  "import --key takes one FILE|import	$dir/a.hive	$dir/b.hive	--key	HKCU"
  "export --hive needs FILE|export	HKCU	--hive"
  "--type: REG_FOO not in {REG_NONE,REG_SZ,|set	HKCU\\A	--value	v	--type	REG_FOO	--data	1"
  "--installation: installations are numbered from 1|import-windows	$dir	--installation	0"
  "--installation: x is not a number|import-windows	$dir	--installation	x"
  "--value: 1 required NAME missing|query	HKCU	--value"
  "not a registry key: -x|query	--	-x"
  "unknown command frobnicate|frobnicate"
)
for row in "${usage_faults[@]}"; do
  IFS=$'\t' read -r -a line <<<"${row#*|}"
  refused 2 "${row%%|*}" "usage fault: ${row#*|}" -- rs "${line[@]}"
  hint="regstore ${line[0]} --help"
  [ "${line[0]}" = frobnicate ] && hint="regstore --help"
  contains "$dir/err" "Try '$hint'" "usage fault: the hint names the command: ${row#*|}"
done
# `--value=` names the default value, as `--value ""` does, wherever it stands.
expect 0 "set the default value with --value=" -- rs set 'HKCU\Empty' --value= --type REG_SZ --data=dflt
expect 0 "query it with --value= before KEY" -- rs query --value= 'HKCU\Empty'
contains "$dir/out" "(Default)    REG_SZ    dflt" "--value= is the default value"
expect 0 "query it with --value \"\"" -- rs query 'HKCU\Empty' --value ''
contains "$dir/out" "(Default)    REG_SZ    dflt" "--value \"\" is the default value"
# --help-all: regstore's help, then each command's usage.
expect 0 "help-all" -- "$regstore" --help-all
for command in import import-windows export query set delete version; do
  grep -qE "^Usage: regstore \[--store PATH\] $command( |\$)" "$dir/out" && passed=$((passed + 1)) ||
    { echo "FAIL: help-all does not show $command"; failures=$((failures + 1)); }
done
contains "$dir/out" "Usage: regstore list-windows SOURCE" "help-all shows list-windows"

v5() { printf '\xff\xfe'; printf "Windows Registry Editor Version 5.00\r\n\r\n$1" | iconv -f UTF-8 -t UTF-16LE; }
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Misread]\r\n[HKCU\\Software\\Foo] ; see [docs]\r\n' >"$dir/comment.reg"
v5 '[HKEY_CURRENT_USER\\Misread]\r\n"a\0b"="x"\r\n' >"$dir/nul.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Misread]\r\n[HKCU\\\\Lead]\r\n' >"$dir/doubled.reg"
refused 1 "comment.reg:4:21: a comment after a key holds ']'" "comment after a key line" -- rs import "$dir/comment.reg"
refused 1 "nul.reg:4:3: a NUL inside a name" "NUL in a version 5 name" -- rs import "$dir/nul.reg"
refused 1 "doubled.reg:4:2: a key path with an empty part" "doubled backslash" -- rs import "$dir/doubled.reg"
expect 1 "nothing imported from misread files" -- rs query 'HKCU\Misread'

expect 0 "set a name with a line break" -- rs set 'HKCU\Lines' --value $'two\nlines' --type REG_DWORD --data 1
refused 1 'key HKEY_CURRENT_USER\Lines, value "two\nlines": a line break' "export of a name with a line break" \
  -- rs export 'HKCU\Lines' "$dir/lines.reg"
[ ! -e "$dir/lines.reg" ] && passed=$((passed + 1)) || { echo "FAIL: a refused export wrote a file"; failures=$((failures + 1)); }
# The export streams into a file beside FILE: a refusal leaves a FILE that was there as it was, and no
# file of its own behind.
printf 'before' > "$dir/kept.reg"
refused 1 'value "two\nlines": a line break' "export over a file of a name with a line break" \
  -- rs export 'HKCU\Lines' "$dir/kept.reg"
[ "$(cat "$dir/kept.reg")" = before ] && [ -z "$(find "$dir" -name '*.tmp')" ] && passed=$((passed + 1)) ||
  { echo "FAIL: a refused export changed the file or left one behind"; failures=$((failures + 1)); }

# An export ended by a signal while its file is under way leaves FILE as it was and nothing beside it.
# The store is held locked, so the export waits with its new file made until the signal comes.
interrupted() {  # interrupted SIGNAL [--hive]
  python3 - "$regstore" "$store" "$dir/kept.reg" "$@" <<'PY'
import glob, os, signal, sqlite3, subprocess, sys, time
regstore, store, target, sig, *extra = sys.argv[1:]
holder = sqlite3.connect(store, isolation_level=None)
holder.execute("PRAGMA locking_mode=EXCLUSIVE")
holder.execute("BEGIN EXCLUSIVE")
export = subprocess.Popen([regstore, "--store", store, "export", "HKCU\\Good", target, *extra],
                          stderr=subprocess.DEVNULL)
pattern = os.path.join(os.path.dirname(target), "." + os.path.basename(target) + ".*.tmp")
while not glob.glob(pattern) and export.poll() is None:
    time.sleep(0.01)
export.send_signal(getattr(signal, sig))
status = export.wait()
holder.close()
sys.exit(0 if status == -getattr(signal, sig) else f"ended with {status}, not by {sig}")
PY
}
for sig in SIGINT SIGTERM SIGHUP; do
  for form in "" --hive; do
    if interrupted $sig $form && [ "$(cat "$dir/kept.reg")" = before ] && [ -z "$(find "$dir" -name '*.tmp')" ]; then
      passed=$((passed + 1))
    else
      echo "FAIL: an export $form ended by $sig changed the file or left one behind"; failures=$((failures + 1))
    fi
  done
done

# A hive import into a store that has no file yet builds it in a new file beside it; one ended by a
# signal leaves neither. The hive comes through a pipe that stays silent until the signal.
interrupted_build() {  # interrupted_build SIGNAL
  python3 - "$regstore" "$dir/built/new.db" "$dir/built/hive.pipe" "$1" <<'PY'
import glob, os, signal, subprocess, sys, time
regstore, store, pipe, sig = sys.argv[1:]
os.makedirs(os.path.dirname(store), exist_ok=True)
if not os.path.exists(pipe):
    os.mkfifo(pipe)
build = subprocess.Popen([regstore, "--store", store, "import", pipe, "--key", "HKLM\\Hive"],
                         stderr=subprocess.DEVNULL)
writer = os.open(pipe, os.O_WRONLY)  # once regstore reads the hive, its new file is made
pattern = os.path.join(os.path.dirname(store), "." + os.path.basename(store) + ".*.new")
while not glob.glob(pattern) and build.poll() is None:
    time.sleep(0.01)
build.send_signal(getattr(signal, sig))
status = build.wait()
os.close(writer)
sys.exit(0 if status == -getattr(signal, sig) else f"ended with {status}, not by {sig}")
PY
}
for sig in SIGINT SIGTERM SIGHUP; do
  if interrupted_build $sig && [ "$(ls -A "$dir/built")" = hive.pipe ]; then
    passed=$((passed + 1))
  else
    echo "FAIL: a store build ended by $sig left:" "$(ls -A "$dir/built")"; failures=$((failures + 1))
  fi
done

refused 1 "/dev/zero: larger than 64 MiB" "unbounded input" -- rs import /dev/zero
# Text beyond Windows-1252 is kept whole, through a version 5.00 file and back; a REGEDIT4 export
# refuses it by key and value.
expect 0 "set text outside Windows-1252" -- rs set 'HKCU\Era\😀😁😂' --value 明 --type REG_SZ --data '明治_明_Meiji_M'
expect 0 "export it" -- rs export 'HKCU\Era' "$dir/era.reg"
expect 0 "delete it" -- rs delete 'HKCU\Era'
expect 0 "import it back" -- rs import "$dir/era.reg"
expect 0 "query it" -- rs query 'HKCU\Era\😀😁😂' --value 明
contains "$dir/out" "明    REG_SZ    明治_明_Meiji_M" "the text came back whole"
refused 1 'key HKEY_CURRENT_USER\Era\😀😁😂: a name with characters that Windows-1252 lacks' \
  "REGEDIT4 export of a name outside Windows-1252" -- rs export 'HKCU\Era' "$dir/era4.reg" --regedit4
[ ! -e "$dir/era4.reg" ] && passed=$((passed + 1)) || { echo "FAIL: a refused export wrote a file"; failures=$((failures + 1)); }
expect 0 "set text outside Windows-1252 under an ANSI name" -- rs set 'HKCU\Era4' --value v --type REG_SZ --data 'Ωmega €'
refused 1 'key HKEY_CURRENT_USER\Era4, value "v": text with characters that Windows-1252 lacks' \
  "REGEDIT4 export of text outside Windows-1252" -- rs export 'HKCU\Era4' "$dir/era4.reg" --regedit4

refused 1 "$dir: a folder, not a .reg file" "a folder as the file" -- rs import "$dir"
refused 1 "a key name of 300 characters; the registry takes at most 255" "key name over 255 characters" \
  -- rs query "HKCU\\$(printf 'k%.0s' {1..300})"
long="HKCU\\Long\\$(printf 'a%.0s' {1..200})\\$(printf 'b%.0s' {1..200})"
expect 0 "set below a path over 260 characters" -- rs set "$long" --value v --type REG_DWORD --data 1
expect 0 "export a path over 260 characters" -- rs export 'HKCU\Long' "$dir/long.reg"
expect 0 "delete a path over 260 characters" -- rs delete 'HKCU\Long'
expect 0 "import a path over 260 characters" -- rs import "$dir/long.reg"
expect 0 "query a path over 260 characters" -- rs query "$long" --value v
for command in "import $dir/good.reg" "set HKCU\\A --value v --type REG_SZ --data x" "delete HKCU\\A" "query HKCU"; do
  # shellcheck disable=SC2086
  refused 1 "no such folder $dir/none for the store" "missing store folder: ${command%% *}" \
    -- "$regstore" --store "$dir/none/registry.db" $command
done
refused 1 "the store $dir is a folder" "a folder as the store" -- "$regstore" --store "$dir" query HKCU
expect 2 "export to a terminal" -- script -qec "$(printf '%q ' "$regstore" --store "$store" export HKCU)" /dev/null
contains "$dir/out" "a terminal cannot show" "export to a terminal says why"
expect 0 "version" -- "$regstore" --version
contains "$dir/out" "regstore (versioninfo) " "version line"
for command in import import-windows export query set delete version; do
  expect 0 "$command --help" -- "$regstore" "$command" --help
  contains "$dir/out" "Usage: regstore [--store PATH] $command" "help of $command"
done

# Hives: a hive import replaces what the key held, all or nothing; each refusal names the file.
expect 0 "export a hive" -- rs export 'HKCU\Good' "$dir/good.hive" --hive
expect 0 "a key to replace" -- rs set 'HKCU\Other\Old' --value stale --type REG_DWORD --data 1
expect 0 "import a hive" -- rs import "$dir/good.hive" --key 'HKCU\Other'
expect 0 "the hive's value is there" -- rs query 'HKCU\Other' --value a
expect 1 "what the key held is gone" -- rs query 'HKCU\Other\Old'
head -c 4200 "$dir/good.hive" >"$dir/cut.hive"
mkdir -p "$dir/blank" "$dir/win98/WINDOWS" "$dir/nosystem/Windows/System32/config"
: >"$dir/win98/WINDOWS/SYSTEM.DAT"
: >"$dir/win98/WINDOWS/USER.DAT"
cp "$dir/good.hive" "$dir/nosystem/Windows/System32/config/SOFTWARE"
refused 1 "good.hive: a registry hive: name the key it becomes with --key" "hive without --key" \
  -- rs import "$dir/good.hive"
refused 1 "good.reg: not a registry hive" ".reg file with --key" -- rs import "$dir/good.reg" --key 'HKCU\Other'
refused 1 "cut.hive" "a cut-off hive" -- rs import "$dir/cut.hive" --key 'HKCU\Other'
expect 0 "a refused hive leaves the key as it was" -- rs query 'HKCU\Other' --value a
refused 1 "none.hive: No such file" "missing hive" -- rs import "$dir/none.hive" --key 'HKCU\Other'
# A key 512 levels deep, written as a hive of 511 levels below its root: it fits one level down, not two.
deep=$(printf 'k\\%.0s' $(seq 511))k
expect 0 "a key 512 levels deep" -- rs set "HKCU\\$deep" --value v --type REG_SZ --data x
expect 0 "export it as a hive" -- rs export 'HKCU\k' "$dir/deep.hive" --hive
expect 0 "import it one level down" -- rs import "$dir/deep.hive" --key 'HKCU\D'
refused 1 "nested deeper than 512 levels" "import it two levels down" -- rs import "$dir/deep.hive" --key 'HKCU\D\E'
contains "$dir/err" "deep.hive: key HKEY_CURRENT_USER\D\E\k\k" "the refusal names the hive and the key"
[ "$(wc -l <"$dir/err")" -eq 1 ] && [ "$(wc -c <"$dir/err")" -lt 400 ] && passed=$((passed + 1)) ||
  { echo "FAIL: a refusal while writing a hive is one short line:"; cat "$dir/err"; failures=$((failures + 1)); }
refused 1 "keys nest at most 512 levels" "a key 513 levels deep" -- rs set "HKCU\\$deep\\k" --value v --type REG_SZ --data x
{ printf '\xff\xfe'; printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\%s\\k]\r\n' "$deep" |
  iconv -f UTF-8 -t UTF-16LE; } >"$dir/deep.reg"
refused 1 "deep.reg:3:2: a key 513 levels below its root; keys nest at most 512 levels" "a .reg key 513 levels deep" \
  -- rs import "$dir/deep.reg"
expect 2 "two files with --key" -- rs import "$dir/good.hive" "$dir/good.hive" --key 'HKCU\Other'
expect 2 "--hive on import" -- rs import "$dir/good.reg" --hive
expect 2 "--key on export" -- rs export 'HKCU\Good' "$dir/x.hive" --key 'HKCU\Good'
expect 2 "export --hive without a file" -- rs export 'HKCU\Good' --hive
# Each command takes only its own options: another command's is a usage error that names it, and
# nothing is written.
for option in --hive "--key HKLM" --regedit4; do
  # shellcheck disable=SC2086
  refused 2 "set takes no ${option%% *}" "set with ${option%% *}" \
    -- rs set 'HKCU\Taken' --value v --type REG_SZ --data x $option
done
expect 1 "a refused set writes nothing" -- rs query 'HKCU\Taken'
refused 1 "HKEY_CURRENT_USER\Missing: not found" "export --hive of a missing key" \
  -- rs export 'HKCU\Missing' "$dir/missing.hive" --hive
refused 1 "not a Windows volume" "import-windows of a folder without Windows" -- rs import-windows "$dir/blank"
refused 1 "WINDOWS/SYSTEM.DAT: empty, not a Windows 95, 98 or Me registry file; nothing was imported" \
  "import-windows of a Windows 98 volume with an empty SYSTEM.DAT" -- rs import-windows "$dir/win98"
refused 2 "--codepage: 437 is not a code page of Windows 95, 98 or Me" "import-windows --codepage of DOS" \
  -- rs import-windows "$dir/win98" --codepage 437
refused 2 "--codepage is for Windows 95, 98 and Me" "import-windows --codepage of an NT volume" \
  -- rs import-windows "$dir/nosystem/Windows/System32/config" --codepage 932
refused 2 "import takes no --codepage" "import --codepage" -- rs import "$dir/good.reg" --codepage 1252
# What stands where a hive should is named for what it is; a hive may come from a pipe.
expect 0 "a hive from a pipe" -- rs import <(cat "$dir/good.hive") --key 'HKCU\Piped'
expect 0 "the piped hive's value is there" -- rs query 'HKCU\Piped' --value a
expect 0 "a hive piped to /dev/stdin" -- bash -c 'cat "$3" | "$1" --store "$2" import /dev/stdin --key "HKCU\Stdin"' _ "$regstore" "$store" "$dir/good.hive"
refused 1 "a registry hive: name the key it becomes with --key" "a piped hive without --key" -- rs import <(cat "$dir/good.hive")
expect 0 "a .reg file from a pipe, whose first bytes nothing took away" -- rs import <(cat "$dir/good.reg")
config="$dir/odd/Windows/System32/config"
mkdir -p "$config/SOFTWARE"
cp "$dir/good.hive" "$config/SYSTEM"
refused 1 "config/SOFTWARE: a folder, not a file" "import-windows, a folder for SOFTWARE" -- rs import-windows "$dir/odd"
rmdir "$config/SOFTWARE" && ln -s "$config/gone" "$config/SOFTWARE"
refused 1 "config/SOFTWARE: a dangling link" "import-windows, a dangling link for SOFTWARE" -- rs import-windows "$dir/odd"
rm "$config/SOFTWARE" && ln -s "$config/SOFTWARE" "$config/SOFTWARE"
refused 1 "config/SOFTWARE: a link loop" "import-windows, a link loop for SOFTWARE" -- rs import-windows "$dir/odd"
rm "$config/SOFTWARE" && cp "$dir/good.hive" "$config/SOFTWARE" && cp "$dir/good.hive" "$config/software"
expect 0 "import-windows with SOFTWARE and software" -- rs import-windows "$dir/odd"
contains "$dir/err" "config: SOFTWARE and software differ only in case; SOFTWARE is read" "the one of two hives named in case read"
if [ "$(id -u)" -ne 0 ]; then  # root reads whatever the mode says
  chmod 000 "$config/SOFTWARE"
  refused 1 "config/SOFTWARE: permission denied" "import-windows, an unreadable SOFTWARE" -- rs import-windows "$dir/odd"
  chmod 644 "$config/SOFTWARE"
fi
# Keys that differ only in case: the first is read, the other named.
expect 0 "keys Dup and DUQ" -- rs set 'HKCU\Cased\Dup' --value v --type REG_DWORD --data 1
expect 0 "keys Dup and DUQ" -- rs set 'HKCU\Cased\DUQ' --value v --type REG_DWORD --data 2
expect 0 "export them as a hive" -- rs export 'HKCU\Cased' "$dir/cased.hive" --hive
perl -0777 -pi -e 's/DUQ/DUP/' "$dir/cased.hive"
expect 0 "import a hive with Dup and DUP" -- rs import "$dir/cased.hive" --key 'HKCU\Cased2'
contains "$dir/err" 'subkeys "Dup" and "DUP"' "the two names in the warning"
contains "$dir/err" '"Dup" was read, "DUP" and all below it left out' "the one read in the warning"
expect 0 "query Dup" -- rs query 'HKCU\Cased2\dup' --value v
contains "$dir/out" "0x1" "the first key's value is the one read"
refused 1 "not a Windows volume" "import-windows of a volume with one hive" -- rs import-windows "$dir/nosystem"
refused 1 "config: no SYSTEM hive in System32/config" "import-windows without SYSTEM" \
  -- rs import-windows "$dir/nosystem/Windows/System32/config"
refused 1 "good.reg: the volume (offset 0): an unknown or encrypted volume" "import-windows of a file that is no disk" \
  -- rs import-windows "$dir/good.reg"
expect 2 "import-windows of two sources" -- rs import-windows "$dir/blank" "$dir/win98"
for n in 0 x -1; do
  expect 2 "import-windows --installation $n" -- rs import-windows "$dir/win98" --installation "$n"
done
expect 2 "version with an argument" -- rs version HKLM
# No Windows in the store's HKLM: what the window shows for an empty store.
expect 0 "version" -- rs version
if [ "$(cat "$dir/out")" = "$(printf 'Caption\t1\nMajorVersion\t0\nMinorVersion\t0\nCSDVersion\t (0)\nProductType\t0\nProductName\tUnknow')" ]; then
  passed=$((passed + 1)); else echo "FAIL: version of an empty HKLM:"; cat "$dir/out"; failures=$((failures + 1)); fi

# A store this user may not write: a write is refused with status 1, reading still works.
chmod 755 "$dir"
chmod 644 "$store"
if [ "$(id -u)" -eq 0 ]; then
  as_reader() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }  # root writes anything
else
  chmod 444 "$store"; chmod 555 "$dir"
  as_reader() { "$@"; }
fi
expect 1 "set in a read-only store" -- as_reader "$regstore" --store "$store" set 'HKCU\Good' --value b --type REG_SZ --data x
contains "$dir/err" "access denied" "a refused set says why"
expect 1 "raw set in a read-only store" -- as_reader "$regstore" --store "$store" set 'HKCU\Good' --value c --type REG_BINARY --data 01
expect 0 "query a read-only store" -- as_reader "$regstore" --store "$store" query 'HKCU\Good' --value a
expect 1 "the refused value is not there" -- rs query 'HKCU\Good' --value b

# Without --store, HKCU is the user's own store under $XDG_DATA_HOME, private to them. Its missing
# folders are made inside the user's home (from the password database), here a folder made for the test.
home_dir=$(mktemp -d "$(getent passwd "$(id -u)" | cut -d: -f6)/.versioninfo-cli-XXXXXX")
trap 'chmod -R u+w "$dir"; rm -rf "$dir" "$home_dir"' EXIT
own() { env XDG_DATA_HOME="$home_dir/data" "$regstore" "$@"; }
expect 0 "set in the user's own store" -- own set 'HKCU\Own' --value v --type REG_DWORD --data 7
expect 0 "query the user's own store" -- own query 'HKCU\Own' --value v
contains "$dir/out" "7" "the user's own value"
modes=$(stat -c %a "$home_dir/data/versioninfo/registry.db" "$home_dir/data/versioninfo" "$home_dir/data" | tr '\n' ' ')
if [ "$modes" = "600 700 700 " ]; then passed=$((passed + 1)); else
  echo "FAIL: the user's store and its folders have modes $modes, expected 600 700 700"; failures=$((failures + 1)); fi
expect 1 "HKCU\Own is not in the --store file" -- rs query 'HKCU\Own'

# A user's store below a folder others may write (the temporary folder) is refused, and the message
# names that store, not the system store, and says why.
user_store="$dir/data/versioninfo/registry.db"
for command in "set HKCU\Own --value v --type REG_DWORD --data 1" "set HKCU\Own --value v --type REG_BINARY --data 01" \
               "import $dir/good.reg" "query HKCU\Own" "delete HKCU\Own"; do
  # shellcheck disable=SC2086
  refused 1 "the store $user_store" "a user's store below a shared folder: ${command%% *}" \
    -- env XDG_DATA_HOME="$dir/data" "$regstore" $command
  contains "$dir/err" "may be written by others than its owner" "why the store is refused: ${command%% *}"
  named=$(grep -o "the store /[^ :]*" "$dir/err" | sort -u)
  if [ "$named" = "the store $user_store" ]; then passed=$((passed + 1)); else
    echo "FAIL: ${command%% *}: the refusal names another store: $named"; failures=$((failures + 1)); fi
done
[ ! -e "$dir/data" ] && passed=$((passed + 1)) || { echo "FAIL: a refused store's folder was made"; failures=$((failures + 1)); }

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
