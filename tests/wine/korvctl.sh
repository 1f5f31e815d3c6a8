#!/bin/bash
# One check of korvctl.exe under Wine:
#   korvctl.sh <korvctl.exe> <messages.mc> <wine prefix> <case>
# Expected texts come from the catalogue source, so the check is that Wine's
# FormatMessageW finds them in the program's message table. Exits 77 (skipped)
# when wine64 is not installed.
set -uo pipefail

exe=$1 mc=$2 prefix=$3 case=$4
wine=/usr/lib/wine/wine64
if [[ ! -x $wine ]]; then
  echo "wine64 is not installed: skipped"
  exit 77
fi
export WINEPREFIX=$prefix WINEDEBUG=-all

# A fresh prefix takes 10-12 s: made once per build directory, by whichever
# test gets the lock first.
(
  flock 9
  if [[ ! -f $prefix/system.reg ]]; then
    rm -rf "$prefix"
    timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
  fi
) 9>"$prefix.lock" || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run <args>...: korvctl's exit code in $status, its streams without CRs.
run() {
  timeout 30 "$wine" "$exe" "$@" >"$work/out.raw" 2>"$work/err.raw"
  status=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
}

# message <id> [<insert 1> [<insert 2>]]: the catalogue text with its inserts.
message() {
  awk -v id="MessageId=$1" '$0 == id { getline; found = 1; next }
    found && $0 == "." { exit }
    found { print }' "$mc" | sed -e "s/%1\(![^!]*!\)\?/${2:-}/g" -e "s/%2\(![^!]*!\)\?/${3:-}/g"
}

fail() {
  echo "FAILED: $*"
  echo "--- exit code $status; stdout:"
  cat "$work/out"
  echo "--- stderr:"
  cat "$work/err"
  exit 1
}

# expect <status> <file> <expected text>
expect() {
  ((status == $1)) || fail "exit code $status, expected $1"
  diff <(printf '%s\n' "$3") "$work/$2" || fail "$2 differs from the expected text"
}

listed=(classfilter classes disable driverfiles drivernodes enable find findall help hwids
  install listclass reboot remove rescan resources restart sethwid stack status update updateni
  dp_add dp_delete dp_enum)

case $case in
  help)
    run help
    ((status == 0)) || fail "exit code $status"
    [[ ! -s $work/err ]] || fail "help wrote to stderr"
    header=$(message 60100 korvctl.exe)
    lines=$(wc -l <<<"$header")
    diff <(printf '%s\n' "$header") <(head -n "$lines" "$work/out") || fail "header"
    mapfile -t rows < <(tail -n +"$((lines + 1))" "$work/out")
    ((${#rows[@]} == ${#listed[@]})) || fail "${#rows[@]} rows, expected ${#listed[@]}"
    for i in "${!listed[@]}"; do
      name=$(printf '%-12s ' "${listed[$i]}")
      [[ ${rows[$i]} == "$name"?* ]] || fail "row $i is not ${listed[$i]}: ${rows[$i]}"
    done
    ;;
  command-help)
    run help REMOVE
    expect 0 out "$(message 61200 korvctl.exe remove)"
    ;;
  unknown-command)
    run bogus
    expect 3 err "$(message 60000 korvctl.exe)"
    [[ ! -s $work/out ]] || fail "stdout is not empty"
    ;;
  machine-refused)
    run '-m:\\far' reboot
    expect 3 err "$(message 60002 korvctl.exe reboot)"
    [[ ! -s $work/out ]] || fail "stdout is not empty"
    ;;
  classes)
    run classes
    ((status == 0)) || fail "exit code $status"
    mapfile -t rows <"$work/out"
    header=$(message 60203 "$((${#rows[@]} - 1))")
    [[ ${rows[0]} == "$header" ]] || fail "header is not: $header"
    ((${#rows[@]} > 1)) || fail "no class listed"
    for row in "${rows[@]:1}"; do
      [[ $row =~ ^.{20}:\ . ]] || fail "row is not \"%-20s: %s\": $row"
    done
    ;;
  remove-nothing)
    # The result texts are loaded before any device is looked at: a missing
    # string table would end the command with 2.
    run remove 'USB\Vid_2e6b&Pid_7a31&*'
    expect 0 out "$(message 61202)"
    ;;
  enable-usage)
    run enable
    expect 3 err "$(message 60002 korvctl.exe enable)"
    [[ ! -s $work/out ]] || fail "stdout is not empty"
    ;;
  driver-packages)
    # A private copy of the prefix: the store's contents must not leak into
    # the other cases.
    private=$work/prefix
    cp -a "$prefix" "$private"
    export WINEPREFIX=$private
    run dp_enum
    expect 0 out "$(message 61120)"
    run dp_enum extra
    ((status == 3)) || fail "dp_enum with an argument: exit code $status"
    run dp_add 'C:\Package\none.inf'
    expect 2 out "$(message 61114)"
    mkdir -p "$private/drive_c/Package"
    printf '%s\r\n' '[Version]' 'Signature="$Windows NT$"' 'Class=Ports' \
      'ClassGUID={4D36E978-E325-11CE-BFC1-08002BE10318}' 'Provider=Kestrova' \
      'DriverVer=12/01/2026,1.2.3.4' >"$private/drive_c/Package/korvusb.inf"
    run dp_add 'C:\Package\korvusb.inf'
    ((status == 0)) || fail "dp_add: exit code $status"
    # Wine 8.0 keeps the INF's own name in the store (a known gap: Windows
    # names it oemN.inf); whatever name it reports must be the stored file.
    name=$(sed -n 's/^.* \([^ ]*\.inf\)\.$/\1/p' "$work/out")
    [[ -n $name && -f $private/drive_c/windows/inf/$name ]] || fail "dp_add: no stored INF named"
    expect 0 out "$(message 61115 "$name")"
    # An OEM INF as Windows would have stored it. Wine has no signature check
    # to bind: the lines that need it are left out.
    cp "$private/drive_c/Package/korvusb.inf" "$private/drive_c/windows/inf/oem9.inf"
    run dp_enum
    expect 0 out "$(message 61121)
$(message 61122 oem9.inf)
$(message 61123 Kestrova)
$(message 61125 'Ports (COM \& LPT)')"
    run dp_delete 'C:\Package\'
    expect 2 out "$(message 61113)"
    run -f dp_delete 'C:\elsewhere\oem9.inf'
    expect 0 out "$(message 61119 oem9.inf)"
    [[ ! -e $private/drive_c/windows/inf/oem9.inf ]] || fail "dp_delete -f left oem9.inf"
    "$(dirname "$wine")/wineserver" -k 2>/dev/null
    ;;
  *)
    echo "unknown case $case"
    exit 2
    ;;
esac
echo "ok: $case"
