#!/usr/bin/env python3
"""Makes the small test posters: one per picture type the wizard shows.

BMP, ICO and JPEG come from ImageMagick; the WMF and EMF are written record by
record (a placeable WMF and an EMF with a few filled shapes), 400 x 150 pixels
at 96 dpi.
"""
import os
import struct
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def magick(*args):
    subprocess.run(["convert", *args], check=True, cwd=HERE)


def rgb(r, g, b):
    return r | g << 8 | b << 16


def wmf_record(function, *params):
    return struct.pack("<IH", 3 + len(params), function) + struct.pack("<%dh" % len(params), *params)


def record_offsets(recs):
    i = 0
    while i < len(recs):
        yield i
        i += struct.unpack_from("<I", recs, i)[0] * 2


def make_wmf(path):
    width_twips, height_twips = 6000, 2250  # 400 x 150 px at 1440 twips per inch, 96 dpi
    recs = b""
    recs += wmf_record(0x020B, 0, 0)                        # SETWINDOWORG y, x
    recs += wmf_record(0x020C, height_twips, width_twips)   # SETWINDOWEXT height, width
    # CREATEBRUSHINDIRECT: style 0 (solid), colour, hatch -> object 0
    def brush(colour):
        body = struct.pack("<HIH", 0, colour, 0)
        return struct.pack("<IH", 3 + len(body) // 2, 0x02FC) + body
    def pen(colour, width):
        body = struct.pack("<HhhI", 0, width, 0, colour)
        return struct.pack("<IH", 3 + len(body) // 2, 0x02FA) + body
    recs += brush(rgb(0, 60, 120))                          # object 0
    recs += wmf_record(0x012D, 0)                           # SELECTOBJECT 0
    recs += pen(rgb(0, 0, 0), 30)                           # object 1
    recs += wmf_record(0x012D, 1)
    recs += wmf_record(0x041B, height_twips, width_twips, 0, 0)  # RECTANGLE bottom, right, top, left
    recs += wmf_record(0x01F0, 0)                           # DELETEOBJECT 0 (slot free again)
    recs += brush(rgb(255, 200, 0))                         # object 0
    recs += wmf_record(0x012D, 0)
    recs += wmf_record(0x0418, 2000, 2200, 250, 300)         # ELLIPSE bottom, right, top, left
    recs += wmf_record(0x01F0, 0)
    recs += brush(rgb(230, 40, 40))
    recs += wmf_record(0x012D, 0)
    pts = [(3000, 250), (5700, 1125), (3000, 2000)]
    recs += wmf_record(0x0324, len(pts), *[c for p in pts for c in p])  # POLYGON
    # A 2 x 2 bitmap (top row red, green; bottom row blue, white), stored
    # bottom-up as DIBs are, stretched over 500 x 500 twips.
    dib = struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 24, 0, 0, 0, 0, 0, 0)
    dib += bytes([255, 0, 0, 255, 255, 255, 0, 0])          # bottom row: blue, white (BGR) + padding
    dib += bytes([0, 0, 255, 0, 255, 0, 0, 0])              # top row: red, green
    body = struct.pack("<IH", 0x00CC0020, 0) + struct.pack("<8h", 2, 2, 0, 0, 500, 500, 1500, 5400) + dib
    recs += struct.pack("<IH", 3 + len(body) // 2, 0x0F43) + body  # STRETCHDIB
    # Text in white Arial, 300 twips high.
    face = b"Arial".ljust(32, b"\0")
    body = struct.pack("<hhhhhBBBBBBBB", -300, 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0) + face
    recs += struct.pack("<IH", 3 + len(body) // 2, 0x02FB) + body  # CREATEFONTINDIRECT -> object 2
    recs += wmf_record(0x012D, 2)
    recs += struct.pack("<IHI", 5, 0x0209, rgb(255, 255, 255))      # SETTEXTCOLOR
    recs += wmf_record(0x0102, 1)                                   # SETBKMODE transparent
    text = b"WMF"
    body = struct.pack("<h", len(text)) + text.ljust((len(text) + 1) // 2 * 2, b"\0") + struct.pack("<hh", 1700, 3150)
    recs += struct.pack("<IH", 3 + len(body) // 2, 0x0521) + body  # TEXTOUT y, x
    recs += wmf_record(0x0000)                              # EOF
    header_words = 9
    max_record = max(struct.unpack_from("<I", recs, i)[0] for i in record_offsets(recs))
    size_words = header_words + len(recs) // 2
    meta = struct.pack("<HHHIHIH", 1, header_words, 0x0300, size_words, 3, max_record, 0)
    place = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, 0, 0, width_twips, height_twips, 1440, 0)
    checksum = 0
    for (w,) in struct.iter_unpack("<H", place):
        checksum ^= w
    place += struct.pack("<H", checksum)
    with open(path, "wb") as f:
        f.write(place + meta + recs)


def emf_record(rtype, body):
    return struct.pack("<II", rtype, 8 + len(body)) + body


def make_emf(path):
    w, h = 400, 150
    frame = (0, 0, round(w * 2540 / 96), round(h * 2540 / 96))  # 0.01 mm
    recs = []
    recs.append(emf_record(17, struct.pack("<I", 1)))                           # SETMAPMODE MM_TEXT
    recs.append(emf_record(39, struct.pack("<IIII", 1, 0, rgb(20, 110, 40), 0))) # CREATEBRUSHINDIRECT #1
    recs.append(emf_record(37, struct.pack("<I", 1)))                           # SELECTOBJECT
    recs.append(emf_record(38, struct.pack("<IIiiI", 2, 0, 2, 0, rgb(0, 0, 0))))  # CREATEPEN #2
    recs.append(emf_record(37, struct.pack("<I", 2)))
    recs.append(emf_record(43, struct.pack("<iiii", 0, 0, w - 1, h - 1)))        # RECTANGLE
    recs.append(emf_record(39, struct.pack("<IIII", 3, 0, rgb(255, 255, 255), 0)))
    recs.append(emf_record(37, struct.pack("<I", 3)))
    recs.append(emf_record(42, struct.pack("<iiii", 30, 20, 150, 130)))          # ELLIPSE
    recs.append(emf_record(39, struct.pack("<IIII", 4, 0, rgb(255, 200, 0), 0)))
    recs.append(emf_record(37, struct.pack("<I", 4)))
    pts = [(200, 20), (380, 75), (200, 130)]
    recs.append(emf_record(86, struct.pack("<iiiiI", 200, 20, 380, 130, len(pts)) +
                           b"".join(struct.pack("<hh", *p) for p in pts)))        # POLYGON16
    recs.append(emf_record(14, struct.pack("<III", 0, 16, 20)))                  # EOF
    body_len = sum(len(r) for r in recs)
    header_size = 108
    total = header_size + body_len
    header = struct.pack("<II", 1, header_size)
    header += struct.pack("<iiii", 0, 0, w - 1, h - 1)            # rclBounds
    header += struct.pack("<iiii", *frame)                         # rclFrame
    header += struct.pack("<IIII", 0x464D4520, 0x10000, total, len(recs) + 1)
    header += struct.pack("<HHIII", 5, 0, 0, 0, 0)                 # handles, reserved, description, palette
    header += struct.pack("<ii", 1000, 1000)                       # szlDevice (pixels)
    header += struct.pack("<ii", 265, 265)                         # szlMillimeters (96 dpi)
    header += struct.pack("<III", 0, 0, 0)                         # pixel format, OpenGL
    header += struct.pack("<ii", 264583, 264583)                   # szlMicrometers
    assert len(header) == header_size
    with open(path, "wb") as f:
        f.write(header + b"".join(recs))


def main():
    font = ["-font", "DejaVu-Sans-Bold"]
    magick("-size", "300x100", "gradient:#ffe0a0-#c04000", *font, "-fill", "white", "-pointsize", "30",
           "-gravity", "center", "-annotate", "+0+0", "JPEG poster", "-quality", "90", "poster-300x100.jpg")
    magick("-size", "300x100", "xc:#2060a0", *font, "-fill", "white", "-pointsize", "30", "-gravity", "center",
           "-annotate", "+0+0", "BMP poster", "-type", "TrueColor", "BMP3:poster-300x100.bmp")
    magick("-size", "64x64", "xc:none", "-fill", "#c02020", "-draw", "circle 32,32 32,4", "-fill", "white",
           "-draw", "rectangle 16,28 48,36", "poster-64x64.ico")
    make_wmf(os.path.join(HERE, "poster-400x150.wmf"))
    make_emf(os.path.join(HERE, "poster-400x150.emf"))


if __name__ == "__main__":
    main()
