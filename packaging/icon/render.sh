#!/bin/bash
# Regenerates icon-16.png, icon-32.png, icon-48.png and icon-256.png from the
# SVG masters beside this script.  Same masters and same Debian tool versions
# give byte-identical PNGs, so a rerun shows up in git only if art changed.
#
# ZOPFLI_ITERATIONS (default 1000) trades run time for bytes; the default
# takes a few minutes, almost all of it on the 256 px image.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
iterations=${ZOPFLI_ITERATIONS:-1000}

# librsvg2-bin: rsvg-convert draws the SVGs.  zopfli: the strongest deflate
# Debian ships, used by pack_png.py for the final IDAT.  python3: pack_png.py
# and the check below.
missing=""
for pkg in librsvg2-bin zopfli python3; do
    if ! dpkg -s "$pkg" >/dev/null 2>&1; then
        missing="$missing $pkg"
    fi
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "render.sh: missing Debian packages:$missing (run as root to install)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086 # the package list is meant to split
    apt-get install -y $missing || { apt-get update && apt-get install -y $missing; }
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each size comes from the master drawn for it: 16 px is placed pixel by
# pixel, 32 px has its own bolder drawing, and 48 px still has room for the
# detail of the large master.
render() { # size master
    rsvg-convert --width "$1" --height "$1" --format png \
        --output "$work/raw-$1.png" "$here/$2"
    python3 "$here/pack_png.py" "$work/raw-$1.png" "$here/icon-$1.png" "$iterations"
}
render 16 larkspire-16.svg
render 32 larkspire-small.svg
render 48 larkspire.svg
render 256 larkspire.svg

# The icon builder and the size budget both depend on this exact layout;
# fail the run rather than ship a file an optimiser quietly changed.
python3 - "$here" <<'EOF'
import os
import struct
import sys
import zlib

here = sys.argv[1]
failed = False
for size in (16, 32, 48, 256):
    path = os.path.join(here, f"icon-{size}.png")
    with open(path, "rb") as f:
        data = f.read()
    problems = []
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        problems.append("bad signature")
    pos, chunks = 8, []
    while pos + 12 <= len(data):
        length, ctype = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(ctype + body) & 0xFFFFFFFF != crc:
            problems.append(f"bad CRC in {ctype!r}")
        chunks.append((ctype, body))
        pos += 12 + length
    if pos != len(data):
        problems.append("trailing bytes after the last chunk")
    names = [c for c, _ in chunks]
    if names != [b"IHDR", b"IDAT", b"IEND"]:
        problems.append(f"chunks are {[n.decode('latin-1') for n in names]}, "
                        "want exactly IHDR, IDAT, IEND")
    if names and names[0] == b"IHDR" and len(chunks[0][1]) == 13:
        w, h, depth, colour, comp, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
        if (w, h) != (size, size):
            problems.append(f"is {w}x{h}")
        if (depth, colour) != (8, 6):
            problems.append(f"bit depth {depth}, colour type {colour}; want 8-bit RGBA (6)")
        if (comp, filt, interlace) != (0, 0, 0):
            problems.append(f"compression {comp}, filter method {filt}, interlace {interlace}")
        if names.count(b"IDAT") == 1 and not problems:
            try:
                raw = zlib.decompress(chunks[1][1])
            except zlib.error as e:
                raw = b""
                problems.append(f"IDAT does not inflate: {e}")
            if raw and len(raw) != h * (w * 4 + 1):
                problems.append("IDAT holds the wrong amount of pixel data")
            elif raw and any(raw[y * (w * 4 + 1)] > 4 for y in range(h)):
                problems.append("unknown scanline filter")
    else:
        problems.append("no valid IHDR first")
    if problems:
        failed = True
        print(f"{path}: " + "; ".join(problems), file=sys.stderr)
    else:
        print(f"{path}: ok, {len(data)} bytes")
sys.exit(1 if failed else 0)
EOF
