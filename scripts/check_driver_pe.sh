#!/bin/bash
# usage: check_driver_pe.sh <image.sys> [allowed import DLL]...
#
# Passes only if the image is PE32+, built for the NT native subsystem, imports from no DLL
# outside the allowed list (compared exactly as objdump prints the names: ntoskrnl.exe, HAL.dll,
# USBD.SYS) and carries no global constructors, which nothing would run in a driver. Every problem found is reported, each line naming the file.
# OBJDUMP overrides the objdump used (default x86_64-w64-mingw32-objdump).

set -u

prog=check_driver_pe
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

if (($# < 1)); then
  echo "usage: $0 <image.sys> [allowed import DLL]..." >&2
  exit 2
fi
file=$1
shift
allowed=("$@")

failed=0
problem() {
  echo "$prog: $file: $*" >&2
  failed=1
}

if [[ ! -f $file ]]; then
  problem "no such file"
  exit 1
fi
if ! command -v "$objdump" >/dev/null; then
  echo "$prog: $objdump not found (install binutils-mingw-w64-x86-64)" >&2
  exit 2
fi

if ! headers=$(LC_ALL=C "$objdump" -p "$file" 2>&1); then
  problem "not an image objdump can read: ${headers##*$'\n'}"
  exit 1
fi

format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n 1)
if [[ $format != pei-x86-64 ]]; then
  problem "file format is '${format:-unknown}', expected pei-x86-64"
  exit 1
fi

magic=$(grep -E '^Magic[[:space:]]' <<<"$headers" | head -n 1)
if ! grep -Eq '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)$' <<<"$magic"; then
  problem "optional header is not PE32+ ('${magic:-no Magic line}')"
fi

subsystem=$(grep -E '^Subsystem[[:space:]]' <<<"$headers" | head -n 1)
if ! grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)$' <<<"$subsystem"; then
  problem "subsystem is not 00000001 (NT native): '${subsystem:-no Subsystem line}'"
fi


is_allowed() {
  local dll
  for dll in "${allowed[@]}"; do
    [[ $1 == "$dll" ]] && return 0
  done
  return 1
}

# "DLL<TAB>function" for every import: a "DLL Name:" line opens a block whose entries follow the
# "vma:  Hint/Ord Member-Name" line and end at the first blank line.
imports=$(awk '
  /^[[:space:]]*DLL Name: / { sub(/^[[:space:]]*DLL Name: /, ""); dll = $0; members = 0; next }
  dll != "" && /Hint\/Ord Member-Name/ { members = 1; next }
  dll != "" && /^[[:space:]]*$/ { dll = ""; members = 0; next }
  members { print dll "\t" $NF }
' <<<"$headers")

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
while IFS= read -r dll; do
  [[ -z $dll ]] && continue
  if ! is_allowed "$dll"; then
    functions=$(awk -F'\t' -v d="$dll" '$1 == d && $2 != "" { printf "%s%s", sep, $2; sep = ", " }' \
      <<<"$imports")
    problem "imports from '$dll' (${functions:-no names listed}), which is not in the allowed" \
      "list: ${allowed[*]:-(none)}"
  fi
done <<<"$dlls"

# The link script brackets the constructor table with __CTOR_LIST__ and __DTOR_LIST__: a -1
# marker, the entries, a 0 terminator. Anything longer than the two markers is a constructor.
symbols=$(LC_ALL=C "$objdump" -t "$file" 2>/dev/null)
ctor=$(awk '$NF == "__CTOR_LIST__" { print $(NF-1); exit }' <<<"$symbols")
dtor=$(awk '$NF == "__DTOR_LIST__" { print $(NF-1); exit }' <<<"$symbols")
if [[ -z $ctor || -z $dtor ]]; then
  problem "no __CTOR_LIST__/__DTOR_LIST__ symbols, cannot check for global constructors" \
    "(was the image stripped?)"
else
  count=$(((dtor - ctor) / 8 - 2))
  if ((count > 0)); then
    names=$(awk '$NF ~ /^_GLOBAL__sub_I_/ { printf "%s%s", sep, $NF; sep = ", " }' <<<"$symbols")
    problem "has $count global constructor(s) (${names:-unnamed}); nothing runs them in a driver"
  fi
fi

if ((failed)); then
  exit 1
fi
echo "$prog: $file: PE32+, NT native, imports: $(paste -sd " " <<<"$dlls")"
