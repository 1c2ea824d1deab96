#!/usr/bin/env python3
"""Redraws the artwork into a temporary directory and checks it: every file is a
well-formed RGBA PNG of the size the window and the icon theme expect, the committed
copies hold the same pixels (so nobody edits a PNG by hand and loses it on the next
redraw), and the resource file lists exactly what exists.

Usage: check_artwork.py MAKE_ARTWORK_SCRIPT RESOURCES_DIR
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

SCRIPT = RESOURCES = None

ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
EXPECTED = {"icons/korvana-%d.png" % n: (n, n) for n in ICON_SIZES}
EXPECTED.update({"icons/%s.png" % b: (32, 32) for b in ("open", "update", "settings", "close")})
EXPECTED["banner.png"] = None  # checked by its own rule


class PngError(Exception):
    pass


def read_png(path):
    """Returns (width, height, pixel rows without filter bytes) or raises PngError."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise PngError("no PNG signature")
    pos, chunks = 8, []
    while pos < len(data):
        if pos + 8 > len(data):
            raise PngError("chunk header cut at %d" % pos)
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        end = pos + 12 + length
        if end > len(data):
            raise PngError("chunk %r runs past the end" % kind)
        body = data[pos + 8 : pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length : end])
        if zlib.crc32(kind + body) != crc:
            raise PngError("bad CRC in chunk %r" % kind)
        chunks.append((kind, body))
        pos = end
    if not chunks or chunks[0][0] != b"IHDR" or len(chunks[0][1]) != 13:
        raise PngError("first chunk is not a 13-byte IHDR")
    if chunks[-1][0] != b"IEND":
        raise PngError("last chunk is not IEND")
    width, height, depth, colour, comp, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (depth, colour, comp, filt, interlace) != (8, 6, 0, 0, 0):
        raise PngError("not 8-bit RGBA, non-interlaced")
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride = width * 4 + 1
    if len(raw) != stride * height:
        raise PngError("image data is %d bytes, expected %d" % (len(raw), stride * height))
    rows = []
    for y in range(height):
        if raw[y * stride] > 4:
            raise PngError("row %d has filter type %d" % (y, raw[y * stride]))
        rows.append(raw[y * stride : (y + 1) * stride])
    return width, height, rows


class Artwork(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="korvana-art-")
        cls.out = os.path.join(cls.tmp.name, "out")
        subprocess.run([sys.executable, SCRIPT, cls.out], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_output_is_an_rgba_png_of_its_size(self):
        made = set()
        for root, _, files in os.walk(self.out):
            for name in files:
                made.add(os.path.relpath(os.path.join(root, name), self.out))
        self.assertEqual(made, set(EXPECTED), "the script wrote other files than expected")
        for name, size in EXPECTED.items():
            with self.subTest(name=name):
                width, height, rows = read_png(os.path.join(self.out, name))
                if size is not None:
                    self.assertEqual((width, height), size)
                # Something is drawn.
                self.assertTrue(any(any(row[4::4]) for row in rows), "image is empty")

    def test_banner_is_twice_its_dialog_units(self):
        width, height, _ = read_png(os.path.join(self.out, "banner.png"))
        # 282 x 134 dialog units, ~1.75 / ~1.875 px per unit at 1x, drawn at 2x.
        self.assertTrue(980 <= width <= 995 and 495 <= height <= 510, (width, height))
        self.assertAlmostEqual(width / height, 282 * 1.75 / (134 * 1.875), delta=0.02)

    def test_icon_corners_are_transparent_and_centre_opaque(self):
        for n in ICON_SIZES:
            with self.subTest(size=n):
                _, _, rows = read_png(os.path.join(self.out, "icons/korvana-%d.png" % n))
                self.assertEqual(rows[0][4], 0, "top-left corner is not transparent")
                mid = rows[n // 2]
                self.assertEqual(mid[(n // 2) * 4 + 4], 255, "centre is not opaque")

    def test_committed_artwork_matches_the_script(self):
        for name in EXPECTED:
            with self.subTest(name=name):
                committed = os.path.join(RESOURCES, name)
                self.assertTrue(os.path.isfile(committed), "%s is not committed" % name)
                # Pixels, not file bytes: another zlib may compress differently.
                self.assertEqual(
                    read_png(committed),
                    read_png(os.path.join(self.out, name)),
                    "%s differs from what scripts/make-artwork.py draws; rerun it" % name,
                )

    def test_resource_file_lists_the_window_artwork(self):
        tree = ET.parse(os.path.join(RESOURCES, "korvana.qrc"))
        resources = tree.getroot().findall("qresource")
        self.assertEqual([r.get("prefix") for r in resources], ["/"])
        listed = [f.text for f in resources[0].findall("file")]
        self.assertEqual(len(listed), len(set(listed)), "a file is listed twice")
        self.assertEqual(set(listed), set(EXPECTED))

    def test_scalable_icon_is_a_square_svg(self):
        root = ET.parse(os.path.join(RESOURCES, "icons/korvana.svg")).getroot()
        self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
        self.assertEqual(root.get("viewBox").split(), ["0", "0", "256", "256"])

    def test_damaged_png_is_rejected(self):
        # The checker itself must see damage, or the tests above prove nothing.
        with open(os.path.join(self.out, "icons/close.png"), "rb") as f:
            good = f.read()
        cases = {
            "signature": b"\x00" + good[1:],
            "crc": good[:20] + bytes([good[20] ^ 1]) + good[21:],
            "truncated": good[: len(good) // 2],
        }
        for label, data in cases.items():
            with self.subTest(damage=label):
                path = os.path.join(self.tmp.name, label + ".png")
                with open(path, "wb") as f:
                    f.write(data)
                with self.assertRaises(PngError):
                    read_png(path)

    def test_bad_usage_fails(self):
        result = subprocess.run(
            [sys.executable, SCRIPT, "a", "b"], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"usage", result.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.stderr.write("usage: check_artwork.py MAKE_ARTWORK_SCRIPT RESOURCES_DIR\n")
        sys.exit(2)
    SCRIPT, RESOURCES = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
