#!/usr/bin/env python3
"""Writes the small sample pictures in samples/: gradients, shapes and a checkerboard in
each of the viewer's own formats (JPEG, BMP with an RLE8 one, PCX, PSD, WMF).

    tools/make-samples/make_samples.py [output folder]   (default: samples/ of the repo)

Everything is drawn and encoded here, except the JPEG compression, which is handed to
ImageMagick's `convert` (installed with the build dependencies) as a plain PPM.
"""
import math
import os
import struct
import subprocess
import sys
import tempfile

# --- Pictures: functions of (x, y, width, height) giving (r, g, b) ---------------------


def clamp(v):
    return max(0, min(255, int(round(v))))


def sunset(x, y, w, h):
    t = y / (h - 1)
    sky = (255 - 90 * t, 140 - 100 * t, 60 + 110 * t)
    sx, sy, r = w * 0.68, h * 0.52, h * 0.16
    if (x - sx) ** 2 + (y - sy) ** 2 <= r * r:
        sky = (255, 230, 120)
    hill = h * (0.70 + 0.08 * math.sin(x / w * 2 * math.pi * 1.5))
    if y >= hill:
        depth = (y - hill) / h
        return (clamp(40 - 60 * depth), clamp(70 - 50 * depth), clamp(60 - 40 * depth))
    return tuple(clamp(c) for c in sky)


def checker(x, y, w, h):
    dark = ((x // 8) + (y // 8)) % 2
    r = 60 + 150 * x / w
    b = 200 - 120 * y / h
    return (clamp(r * 0.4), clamp(90), clamp(b * 0.4)) if dark else (clamp(r), 220, clamp(b))


def shapes(x, y, w, h):
    if (x - w * 0.3) ** 2 + (y - h * 0.4) ** 2 < (h * 0.25) ** 2:
        return (220, 40, 40)
    if w * 0.55 <= x < w * 0.9 and h * 0.2 <= y < h * 0.55:
        return (40, 120, 220)
    if y > h * 0.6 and abs(x - w * 0.6) < (y - h * 0.6) * 1.2:
        return (40, 170, 60)
    return (245, 240, 225)


def rings(x, y, w, h):
    d = math.hypot(x - w / 2, y - h / 2)
    band = int(d / 6) % 6
    return [(250, 250, 250), (255, 200, 0), (255, 120, 0), (200, 30, 60), (90, 30, 140),
            (20, 60, 160)][band]


def render(picture, w, h):
    return [[picture(x, y, w, h) for x in range(w)] for y in range(h)]


def palettise(pixels):
    """Exact palette of a picture with at most 256 colours."""
    palette, index, rows = [], {}, []
    for row in pixels:
        out = []
        for p in row:
            if p not in index:
                index[p] = len(palette)
                palette.append(p)
            out.append(index[p])
        rows.append(out)
    assert len(palette) <= 256, len(palette)
    return palette, rows


# --- BMP -------------------------------------------------------------------------------


def bmp(path, pixels, rle8=False):
    h, w = len(pixels), len(pixels[0])
    colours = {p for row in pixels for p in row}
    palette, rows = palettise(pixels) if len(colours) <= 256 else (None, None)
    if palette is None:  # too many colours for a palette: 24 bits
        stride = (w * 3 + 3) & ~3
        data = b"".join(bytes(c for p in row for c in (p[2], p[1], p[0])).ljust(stride, b"\0")
                        for row in reversed(pixels))
        bpp, compression, table = 24, 0, b""
    else:
        table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
        bpp = 8
        if rle8:
            compression, data = 1, rle8_encode(list(reversed(rows)))
        else:
            stride = (w + 3) & ~3
            compression = 0
            data = b"".join(bytes(row).ljust(stride, b"\0") for row in reversed(rows))
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, compression, len(data), 2835, 2835,
                       len(table) // 4, 0)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    write(path, header + info + table + data)


def rle8_encode(rows):
    out = bytearray()
    for row in rows:
        x = 0
        while x < len(row):
            run = 1
            while x + run < len(row) and row[x + run] == row[x] and run < 255:
                run += 1
            out += bytes((run, row[x]))
            x += run
        out += b"\0\0"  # end of line
    out[-1] = 1  # the last end of line becomes end of bitmap
    return bytes(out)


# --- PCX (8 bits, one plane, run-length encoded, palette at the end) -------------------


def pcx(path, pixels):
    palette, rows = palettise(pixels)
    h, w = len(rows), len(rows[0])
    bpl = (w + 1) & ~1
    header = struct.pack("<BBBBhhhhhh48sBBhhhh54s", 10, 5, 1, 8, 0, 0, w - 1, h - 1, 96, 96,
                         b"", 0, 1, bpl, 1, w, h, b"")
    body = bytearray()
    for row in rows:
        line = row + [0] * (bpl - w)
        x = 0
        while x < len(line):
            run = 1
            while x + run < len(line) and line[x + run] == line[x] and run < 63:
                run += 1
            if run > 1 or line[x] >= 0xC0:
                body += bytes((0xC0 | run, line[x]))
            else:
                body.append(line[x])
            x += run
    pal = b"".join(bytes(p) for p in palette).ljust(768, b"\0")
    write(path, header + bytes(body) + b"\x0c" + pal)


# --- PSD (RGB, 8 bits, PackBits) ------------------------------------------------------


def packbits(data):
    out, i = bytearray(), 0
    while i < len(data):
        run = 1
        while i + run < len(data) and data[i + run] == data[i] and run < 128:
            run += 1
        if run > 1:
            out += bytes((257 - run, data[i]))
            i += run
            continue
        start = i
        while i < len(data) and i - start < 128 and not (
                i + 1 < len(data) and data[i + 1] == data[i]):
            i += 1
        if i == start:
            i += 1
        out.append(i - start - 1)
        out += data[start:i]
    return bytes(out)


def psd(path, pixels):
    h, w = len(pixels), len(pixels[0])
    header = struct.pack(">4sH6sHIIHH", b"8BPS", 1, b"", 3, h, w, 8, 3)
    counts, packed = [], []
    for channel in range(3):
        for row in pixels:
            line = packbits(bytes(p[channel] for p in row))
            counts.append(len(line))
            packed.append(line)
    image = struct.pack(">H", 1) + struct.pack(">%dH" % len(counts), *counts) + b"".join(packed)
    write(path, header + struct.pack(">III", 0, 0, 0) + image)


# --- WMF (placeable metafile) ----------------------------------------------------------


class Metafile:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.records, self.objects, self.free = [], 0, []

    def record(self, function, *words):
        self.records.append(struct.pack("<IH", 3 + len(words), function) +
                            struct.pack("<%dh" % len(words), *words))

    @staticmethod
    def colour(r, g, b):
        value = r | g << 8 | b << 16
        return (value & 0xFFFF) - (0x10000 if value & 0x8000 else 0), value >> 16

    def new_object(self):
        if self.free:
            return self.free.pop(0)
        self.objects += 1
        return self.objects - 1

    def brush(self, rgb):
        lo, hi = self.colour(*rgb)
        self.record(0x02FC, 0, lo, hi, 0)
        return self.new_object()

    def pen(self, rgb, width=1, style=0):
        lo, hi = self.colour(*rgb)
        self.record(0x02FA, style, width, 0, lo, hi)
        return self.new_object()

    def select(self, index):
        self.record(0x012D, index)

    def delete(self, index):
        self.record(0x01F0, index)
        self.free.append(index)
        self.free.sort()

    def rectangle(self, l, t, r, b):
        self.record(0x041B, b, r, t, l)

    def ellipse(self, l, t, r, b):
        self.record(0x0418, b, r, t, l)

    def polygon(self, points):
        self.record(0x0324, len(points), *[c for p in points for c in p])

    def bytes(self):
        body = b"".join(self.records) + struct.pack("<IH", 3, 0)
        words = (18 + len(body)) // 2
        max_record = max(len(r) for r in self.records) // 2
        header = struct.pack("<HHHIHIH", 1, 9, 0x0300, words, self.objects, max_record, 0)
        place = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, 0, 0, self.width, self.height, 96, 0)
        checksum = 0
        for (word,) in struct.iter_unpack("<H", place):
            checksum ^= word
        return place + struct.pack("<H", checksum) + header + body


def scene_wmf(path):
    m = Metafile(320, 240)
    m.record(0x020B, 0, 0)      # window origin (y, x)
    m.record(0x020C, 240, 320)  # window extent (y, x)
    outline = m.pen((30, 30, 30), 2)
    m.select(outline)
    for top, rgb in ((0, (110, 170, 235)), (60, (140, 190, 240)), (120, (175, 215, 245))):
        b = m.brush(rgb)
        m.select(b)
        m.rectangle(-2, top, 322, top + 62)
        m.delete(b)
    b = m.brush((255, 215, 60))
    m.select(b)
    m.ellipse(230, 25, 290, 85)
    m.delete(b)
    b = m.brush((70, 140, 70))
    m.select(b)
    m.polygon([(0, 240), (0, 170), (90, 120), (170, 175), (250, 140), (320, 180), (320, 240)])
    m.delete(b)
    b = m.brush((200, 80, 60))
    m.select(b)
    m.polygon([(60, 170), (100, 135), (140, 170)])
    m.delete(b)
    b = m.brush((240, 230, 200))
    m.select(b)
    m.rectangle(68, 170, 132, 215)
    m.delete(b)
    write(path, m.bytes())


def target_wmf(path):
    m = Metafile(200, 200)
    m.record(0x020B, 0, 0)
    m.record(0x020C, 200, 200)
    edge = m.pen((20, 20, 20), 1)
    m.select(edge)
    colours = [(250, 250, 250), (30, 30, 30), (60, 120, 220), (220, 50, 50), (250, 210, 40)]
    for k, rgb in enumerate(colours):
        b = m.brush(rgb)
        m.select(b)
        inset = 10 + k * 18
        m.ellipse(inset, inset, 200 - inset, 200 - inset)
        m.delete(b)
    write(path, m.bytes())


# --- JPEG through ImageMagick -----------------------------------------------------------


def jpeg(path, pixels, quality=85):
    h, w = len(pixels), len(pixels[0])
    with tempfile.NamedTemporaryFile(suffix=".ppm", delete=False) as ppm:
        ppm.write(b"P6\n%d %d\n255\n" % (w, h) + bytes(c for row in pixels for p in row for c in p))
    try:
        subprocess.run(["convert", ppm.name, "-strip", "-quality", str(quality), path], check=True)
    finally:
        os.unlink(ppm.name)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "samples")
    os.makedirs(out, exist_ok=True)
    p = lambda name: os.path.join(out, name)
    jpeg(p("sunset.jpg"), render(sunset, 320, 200))
    jpeg(p("rings.jpg"), render(rings, 160, 160))
    bmp(p("checkerboard.bmp"), render(checker, 64, 64))
    bmp(p("shapes-rle8.bmp"), render(shapes, 160, 120), rle8=True)
    pcx(p("rings.pcx"), render(rings, 160, 120))
    pcx(p("shapes.pcx"), render(shapes, 128, 96))
    psd(p("sunset.psd"), render(sunset, 160, 100))
    psd(p("checkerboard.psd"), render(checker, 64, 64))
    scene_wmf(p("landscape.wmf"))
    target_wmf(p("target.wmf"))


if __name__ == "__main__":
    main()
