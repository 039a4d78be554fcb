#!/usr/bin/env python3
"""Writes the program's Windows icon file from its source picture.

    make_icon.py CONVERT SOURCE.png OUT.ico

Nine images, in this order: 48, 32 and 16 pixels in 16 colours (4 bits per pixel), the same
three in 256 colours (8 bits), the same three in 24-bit colour. ImageMagick (CONVERT) scales
the picture and picks each palette; this script writes the icon's bitmaps (colour bits bottom
up, then the 1-bit transparency mask) and its directory.
"""
import struct
import subprocess
import sys

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 24)


def pixels(convert, source, size, colours):
    """RGBA bytes of the picture at size x size, reduced to at most `colours` colours."""
    command = [convert, source, "-resize", f"{size}x{size}", "-background", "none", "-gravity", "center",
               "-extent", f"{size}x{size}"]
    if colours:
        command += ["+dither", "-colors", str(colours)]
    command += ["-depth", "8", "rgba:-"]
    data = subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout
    if len(data) != size * size * 4:
        raise SystemExit(f"make_icon: {convert} gave {len(data)} bytes for {size}x{size}")
    return [tuple(data[i:i + 4]) for i in range(0, len(data), 4)]


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) * (a - b) for a, b in zip(palette[i], rgb)))


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4  # rows of a bitmap end on a 4-byte boundary


def bitmap(rgba, size, depth):
    opaque = [p[3] >= 128 for p in rgba]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, 0, 0, 0, 0, 0)
    palette_bytes = b""
    rows = []
    if depth == 24:
        for y in range(size - 1, -1, -1):
            row = bytearray()
            for x in range(size):
                r, g, b, _ = rgba[y * size + x]
                row += bytes((b, g, r)) if opaque[y * size + x] else b"\0\0\0"
            rows.append(bytes(row).ljust(row_bytes(size * 24), b"\0"))
    else:
        count = 1 << depth
        # The palette: the picture's colours (transparent pixels show black), most frequent first.
        frequency = {}
        for p, o in zip(rgba, opaque):
            rgb = p[:3] if o else (0, 0, 0)
            frequency[rgb] = frequency.get(rgb, 0) + 1
        palette = sorted(frequency, key=lambda c: -frequency[c])[:count]
        index = {}
        for y in range(size - 1, -1, -1):
            values = []
            for x in range(size):
                rgb = rgba[y * size + x][:3] if opaque[y * size + x] else (0, 0, 0)
                if rgb not in index:
                    index[rgb] = nearest(palette, rgb)
                values.append(index[rgb])
            row = bytearray()
            if depth == 8:
                row += bytes(values)
            else:
                for x in range(0, size, 2):
                    row.append(values[x] << 4 | (values[x + 1] if x + 1 < size else 0))
            rows.append(bytes(row).ljust(row_bytes(size * depth), b"\0"))
        palette += [(0, 0, 0)] * (count - len(palette))
        palette_bytes = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    mask_rows = []
    for y in range(size - 1, -1, -1):
        row = bytearray(row_bytes(size))
        for x in range(size):
            if not opaque[y * size + x]:
                row[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(row))
    return header + palette_bytes + b"".join(rows) + b"".join(mask_rows)


def main():
    if len(sys.argv) != 4:
        raise SystemExit("usage: make_icon.py CONVERT SOURCE.png OUT.ico")
    convert, source, out = sys.argv[1:]
    images = []
    for depth in DEPTHS:
        for size in SIZES:
            colours = {4: 16, 8: 256, 24: 0}[depth]
            images.append((size, depth, bitmap(pixels(convert, source, size, colours), size, depth)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, depth, data in images:
        colours = 1 << depth if depth < 8 else 0  # 0: 256 colours or more
        directory += struct.pack("<BBBBHHII", size, size, colours, 0, 1, depth, len(data), offset + len(body))
        body += data
    with open(out, "wb") as f:
        f.write(directory + body)


if __name__ == "__main__":
    main()
