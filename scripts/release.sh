#!/usr/bin/env bash
# Builds the release bundle from this checkout and writes it to dist/:
#   sfxpack-<version>-windows.zip          sfxpack.exe (32-bit), stubs/launcher-windows.exe,
#                                          stubs/launcher-windows-x64.exe, stubs/launcher-linux,
#                                          README.md, LICENSE, THIRD-PARTY-NOTICES, CHANGELOG.md,
#                                          helpers/, cmake/ (the CMake package)
#   sfxpack-<version>-linux-x86_64.tar.gz  sfxpack, stubs/launcher-linux and both Windows stubs,
#                                          and the same documents, helpers/ and cmake/
# Each archive holds one folder, sfxpack-<version>-<platform>/. Release builds (presets
# release-linux, release-win32, release-win64), stripped, with no build paths or time stamps in
# the programs; the archives list their files sorted, with fixed times, owners and modes, so the
# same commit gives the same bytes. Needs what scripts/deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
exec </dev/null

# Time stamps that tools still write come from the commit, not from the clock.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}"
export TZ=UTC LC_ALL=C

for preset in release-linux release-win32 release-win64; do
  echo "== release build: $preset"
  cmake --preset "$preset" --log-level=WARNING >/dev/null
  cmake --build --preset "$preset" -j2 --target sfxpack sfxpack_stub
done

version=$(build/release-linux/tools/sfxpack --version | sed -n 's/^sfxpack //p')
[ -n "$version" ] || { echo "release.sh: sfxpack --version printed no version" >&2; exit 1; }

stage=build/release-stage
rm -rf "$stage"
windows="$stage/sfxpack-$version-windows"
linux="$stage/sfxpack-$version-linux-x86_64"
quiet() { "$@" >/dev/null; }
quiet cmake --install build/release-win32 --prefix "$windows"
quiet cmake --install build/release-win64 --prefix "$windows" --component stub
# An author on Windows can make the Linux installer of the same tree too.
quiet cmake --install build/release-linux --prefix "$windows" --component stub
quiet cmake --install build/release-linux --prefix "$linux"
for build in release-win32 release-win64; do
  quiet cmake --install "build/$build" --prefix "$linux" --component stub
done

mkdir -p dist
python3 -B - "$stage" dist "$SOURCE_DATE_EPOCH" "$(basename "$windows")" "$(basename "$linux")" <<'EOF'
import gzip, io, os, sys, tarfile, time, zipfile
from pathlib import Path

stage, dist, epoch, windows, linux = Path(sys.argv[1]), Path(sys.argv[2]), int(sys.argv[3]), \
    sys.argv[4], sys.argv[5]


def entries(top):
    """(archive name, path, mode) of the folder top and everything below it, sorted by name;
    programs 0755, folders 0755, other files 0644."""
    out = []
    for path in sorted((stage / top).rglob("*")) + [stage / top]:
        name = path.relative_to(stage).as_posix()
        executable = path.is_dir() or os.access(path, os.X_OK)
        out.append((name + ("/" if path.is_dir() else ""), path, 0o755 if executable else 0o644))
    return sorted(out)


def write_zip(top, target):
    # Zip times are local times from 1980 on: the commit's date, as UTC.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, path, mode in entries(top):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3  # Unix: the modes below are kept by unzip
            info.external_attr = ((0o040000 if path.is_dir() else 0o100000) | mode) << 16
            if path.is_dir():
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, path.read_bytes())


def write_tar_gz(top, target):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, path, mode in entries(top):
            info = tarfile.TarInfo(name.rstrip("/"))
            info.mtime, info.mode, info.uid, info.gid, info.uname, info.gname = \
                epoch, mode, 0, 0, "root", "root"
            if path.is_dir():
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                data = path.read_bytes()
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    with open(target, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=epoch, compresslevel=9) as gz:
            gz.write(buffer.getvalue())


write_zip(windows, dist / (windows + ".zip"))
write_tar_gz(linux, dist / (linux + ".tar.gz"))
EOF

for archive in "dist/$(basename "$windows").zip" "dist/$(basename "$linux").tar.gz"; do
  echo "$archive: $(stat -c %s "$archive") bytes, sha256 $(sha256sum "$archive" | cut -d' ' -f1)"
done
