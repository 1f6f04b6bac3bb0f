#!/usr/bin/env bash
# Builds both executables again from clean, in another folder, and compares
# them with dist/ byte for byte: no timestamps, no build-machine paths.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/larkspire-rebuild.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw.cmake" \
    -DLARKSPIRE_DIST_DIR="$work/dist" >/dev/null
cmake --build "$work/build" >/dev/null
status=0
for exe in $(PYTHONPATH=$root /usr/bin/python3 -c \
        'from release import product; print(*product.EXECUTABLES)'); do
    sha256sum "$root/dist/$exe" "$work/dist/$exe" | sed "s|$work|<rebuild>|; s|$root/||"
    cmp -s "$root/dist/$exe" "$work/dist/$exe" || { echo "$exe differs between builds"; status=1; }
done
exit $status
