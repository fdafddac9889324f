#!/usr/bin/env python3
"""Icon group 128 of the Windows program, from the program's own PNG icons: one .ico holding
each size given in 16 colours, 256 colours and 24-bit colour, as BMP images with an AND mask.
   make_icon.py OUT.ico ICON-48.png ICON-32.png ICON-16.png"""
import struct
import sys
import zlib


def read_png(path):
    """8-bit RGBA or RGB, non-interlaced: (width, height, rows of (r, g, b, a))."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG")
    pos, idat, width, height, ctype = 8, b"", 0, 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or ctype not in (2, 6) or interlace:
                raise SystemExit(f"{path}: only 8-bit RGB(A), non-interlaced")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    bpp = 4 if ctype == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
        rows.append([tuple(line[x * bpp:x * bpp + 3]) + ((line[x * bpp + 3],) if bpp == 4 else (255,))
                     for x in range(width)])
    return width, height, rows


# The 16 standard colours, and 256: a 6x6x6 cube, then greys.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
PALETTE256 = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE256 += [(v, v, v) for v in range(8, 248, 6)][:256 - len(PALETTE256)]


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))


def bmp_image(width, height, rows, bits):
    """The icon image: header, palette, colour bits and AND mask, rows bottom-up."""
    palette = {4: VGA16, 8: PALETTE256}.get(bits, [])
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0, 0, 0, 0,
                         len(palette), 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    cache = {}
    xor = b""
    for row in reversed(rows):
        line = bytearray()
        if bits == 24:
            for r, g, b, a in row:
                line += bytes((b, g, r)) if a >= 128 else b"\0\0\0"
        else:
            idx = []
            for r, g, b, a in row:
                key = (r, g, b) if a >= 128 else (0, 0, 0)
                if key not in cache:
                    cache[key] = nearest(palette, key)
                idx.append(cache[key])
            if bits == 8:
                line += bytes(idx)
            else:
                idx += [0] * (len(idx) % 2)
                line += bytes((idx[i] << 4) | idx[i + 1] for i in range(0, len(idx), 2))
        line += b"\0" * (-len(line) % 4)
        xor += line
    mask = b""
    for row in reversed(rows):
        bits_row = [1 if a < 128 else 0 for _, _, _, a in row]
        bits_row += [0] * (-len(bits_row) % 8)
        line = bytes(sum(bit << (7 - k) for k, bit in enumerate(bits_row[i:i + 8]))
                     for i in range(0, len(bits_row), 8))
        mask += line + b"\0" * (-len(line) % 4)
    return header + colours + xor + mask


def main():
    out, pngs = sys.argv[1], sys.argv[2:]
    images = []
    for path in pngs:
        width, height, rows = read_png(path)
        for bits in (4, 8, 24):
            images.append((width, height, bits, bmp_image(width, height, rows, bits)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for width, height, bits, blob in images:
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 16 if bits == 4 else 0,
                               0, 1, bits, len(blob), offset + len(blobs))
        blobs += blob
    with open(out, "wb") as f:
        f.write(directory + entries + blobs)


if __name__ == "__main__":
    main()
