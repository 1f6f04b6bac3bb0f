#!/usr/bin/env python3
"""Re-encode an 8-bit RGBA PNG as small as Debian's tools allow while keeping
it 8-bit RGBA with only IHDR, one IDAT and IEND.

General PNG optimisers are not used for the final file because they switch
to palette or grey colour types and keep or add ancillary chunks, which the
icon builder and the byte-for-byte reproducibility both rule out.

Usage: pack_png.py IN.png OUT.png [ZOPFLI_ITERATIONS]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
BPP = 4  # bytes per pixel for 8-bit RGBA


def read_rgba(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != SIGNATURE:
        sys.exit(f"{path}: not a PNG")
    pos, idat, ihdr = 8, [], None
    while pos < len(data):
        length, ctype = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if ctype == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif ctype == b"IDAT":
            idat.append(body)
        elif ctype == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = ihdr
    if (depth, colour, interlace) != (8, 6, 0):
        sys.exit(f"{path}: expected 8-bit RGBA, not interlaced; "
                 f"got depth {depth}, colour type {colour}, interlace {interlace}")
    raw = zlib.decompress(b"".join(idat))
    stride = width * BPP
    rows, prev = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        ftype = raw[start]
        row = bytearray(raw[start + 1:start + 1 + stride])
        unfilter(ftype, row, prev)
        rows.append(row)
        prev = row
    return width, height, rows


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def unfilter(ftype, row, prev):
    n = len(row)
    if ftype == 0:
        return
    if ftype == 1:
        for i in range(BPP, n):
            row[i] = (row[i] + row[i - BPP]) & 255
    elif ftype == 2:
        for i in range(n):
            row[i] = (row[i] + prev[i]) & 255
    elif ftype == 3:
        for i in range(n):
            left = row[i - BPP] if i >= BPP else 0
            row[i] = (row[i] + ((left + prev[i]) >> 1)) & 255
    elif ftype == 4:
        for i in range(n):
            left = row[i - BPP] if i >= BPP else 0
            upleft = prev[i - BPP] if i >= BPP else 0
            row[i] = (row[i] + paeth(left, prev[i], upleft)) & 255
    else:
        sys.exit(f"bad filter type {ftype}")


def filter_row(ftype, row, prev):
    n = len(row)
    out = bytearray(n)
    for i in range(n):
        left = row[i - BPP] if i >= BPP else 0
        upleft = prev[i - BPP] if i >= BPP else 0
        if ftype == 0:
            pred = 0
        elif ftype == 1:
            pred = left
        elif ftype == 2:
            pred = prev[i]
        elif ftype == 3:
            pred = (left + prev[i]) >> 1
        else:
            pred = paeth(left, prev[i], upleft)
        out[i] = (row[i] - pred) & 255
    return bytes([ftype]) + bytes(out)


def clear_hidden_colour(rows):
    # Fully transparent pixels carry no visible colour, but the renderer's
    # leftovers there break up runs that deflate could otherwise match.
    for row in rows:
        for i in range(0, len(row), BPP):
            if row[i + 3] == 0:
                row[i:i + 3] = b"\0\0\0"


def snap_edge_colour(rows):
    # The renderer stores colour divided by alpha, so along the soft outer
    # edge the same gold comes out as dozens of slightly different values.
    # Each such pixel gets the most common opaque colour that gives the
    # identical premultiplied value; a compositor therefore draws exactly
    # the same result, while deflate sees far fewer distinct pixels.
    counts = {}
    for row in rows:
        for i in range(0, len(row), BPP):
            if row[i + 3] == 255:
                key = bytes(row[i:i + 3])
                counts[key] = counts.get(key, 0) + 1
    palette = sorted(counts, key=lambda c: (-counts[c], c))

    def premultiplied(colour, alpha):
        return tuple((v * alpha + 127) // 255 for v in colour)

    for row in rows:
        for i in range(0, len(row), BPP):
            alpha = row[i + 3]
            if 0 < alpha < 255:
                target = premultiplied(row[i:i + 3], alpha)
                for colour in palette:
                    if premultiplied(colour, alpha) == target:
                        row[i:i + 3] = colour
                        break


def all_filtered(rows):
    """Every row filtered every way: table[y][f] is the filtered scanline."""
    table, prev = [], bytearray(len(rows[0]))
    for row in rows:
        table.append([filter_row(f, row, prev) for f in range(5)])
        prev = row
    return table


def pick_min_sum(table):
    # The usual libpng heuristic: smallest sum of residuals read as signed.
    def cost(line):
        return sum(b if b < 128 else 256 - b for b in line[1:])
    return [min(range(5), key=lambda f: (cost(cands[f]), f)) for cands in table]


def pick_greedy(table, window=32768):
    # Pick each row's filter by what actually deflates best after the rows
    # already chosen, which suits flat artwork better than residual sums.
    chosen, history = [], b""
    for cands in table:
        tail = history[-window:]
        sizes = [len(zlib.compress(tail + cands[f], 9)) for f in range(5)]
        best = min(range(5), key=lambda f: (sizes[f], f))
        chosen.append(best)
        history += cands[best]
    return chosen


def assemble(table, choice):
    return b"".join(table[y][f] for y, f in enumerate(choice))


def zlib_best(data):
    best = None
    for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED):
        for mem in (8, 9):
            c = zlib.compressobj(9, zlib.DEFLATED, 15, mem, strategy)
            out = c.compress(data) + c.flush()
            if best is None or len(out) < len(best):
                best = out
    return best


def zopfli(data, iterations, workdir):
    if shutil.which("zopfli") is None:
        return None
    src = os.path.join(workdir, "scanlines")
    with open(src, "wb") as f:
        f.write(data)
    out = subprocess.run(["zopfli", "--zlib", "-c", f"--i{iterations}", src],
                         check=True, stdout=subprocess.PIPE).stdout
    # Decoding it back guards against shipping a stream that is not what
    # was meant, whatever zopfli build is installed.
    if zlib.decompress(out) != data:
        sys.exit("zopfli output does not round-trip")
    return out


def chunk(ctype, body):
    return (struct.pack(">I", len(body)) + ctype + body
            + struct.pack(">I", zlib.crc32(ctype + body) & 0xFFFFFFFF))


def main():
    src, dst = sys.argv[1], sys.argv[2]
    iterations = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    width, height, rows = read_rgba(src)
    clear_hidden_colour(rows)
    snap_edge_colour(rows)
    table = all_filtered(rows)

    plans = {f"all-{f}": [f] * height for f in range(5)}
    plans["min-sum"] = pick_min_sum(table)
    plans["greedy"] = pick_greedy(table)

    with tempfile.TemporaryDirectory() as tmp:
        # A cheap zopfli pass ranks the filter plans; only the two best get
        # the expensive run, which keeps the script to minutes, not hours.
        ranked = []
        for name in sorted(plans):
            data = assemble(table, plans[name])
            quick = zopfli(data, 15, tmp) or zlib_best(data)
            ranked.append((len(quick), name, data))
        ranked.sort()
        for size, name, _ in ranked:
            print(f"  {name}: {size} bytes at 15 iterations", file=sys.stderr)
        best_name, best = None, None
        for _, name, data in ranked[:2]:
            for stream in (zlib_best(data), zopfli(data, iterations, tmp)):
                if stream is not None and (best is None or len(stream) < len(best)):
                    best_name, best = name, stream

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    png = SIGNATURE + chunk(b"IHDR", ihdr) + chunk(b"IDAT", best) + chunk(b"IEND", b"")
    with open(dst, "wb") as f:
        f.write(png)
    print(f"{dst}: {len(png)} bytes (filters: {best_name})")


if __name__ == "__main__":
    main()
