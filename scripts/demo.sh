#!/usr/bin/env bash
# The demo: installs what is missing, builds every preset and shows what was built (the
# launchers with their sizes, and of the Windows launchers the subsystem, the imported DLLs and
# the resources); then builds the sample installer for Windows and Linux and runs both.
set -euo pipefail
cd "$(dirname "$0")/.."
exec </dev/null

scripts/deps.sh
for preset in native native-release win64 win32; do
  echo "== building $preset"
  cmake --preset "$preset" --log-level=WARNING >/dev/null
  cmake --build --preset "$preset" -j2 >/dev/null
done

echo
echo "== the launchers"
for file in build/native/launcher build/native-release/launcher build/win64/launcher.exe \
            build/win32/launcher.exe; do
  printf '%-32s %9d bytes   %s\n' "$file" "$(stat -c %s "$file")" "$(file -b "$file" | cut -d, -f1-2)"
done

for file in build/win32/launcher.exe build/win64/launcher.exe; do
  echo
  echo "== $file"
  objdump=x86_64-w64-mingw32-objdump
  [ "${file#build/win32}" != "$file" ] && objdump=i686-w64-mingw32-objdump
  "$objdump" -p "$file" | awk '
    /^Magic/                { print "  format     " $3 }
    /^Subsystem/            { print "  subsystem  " $2 " " $3 " " $4 }
    /DLL Name:/             { dlls = dlls " " $3 }
    END                     { print "  imports   " dlls }'
  echo "  resources"
  wrestool -l "$file" | sed 's/^/    /'
done

echo
echo "== the sample installer, run on Windows (Wine) and Linux"
python3 -B scripts/sample/demo.py
