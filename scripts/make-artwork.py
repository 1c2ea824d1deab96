#!/usr/bin/env python3
"""Draws the tool's artwork: the app icon in every hicolor size, the four button
icons and the window banner, as RGBA PNGs.

Usage: make-artwork.py [OUT_DIR]   (default: resources/ beside this script's parent)

Standard library only, so a fresh checkout can redraw everything. Shapes are signed
distance functions; a pixel's coverage comes from its distance to the edge, which
gives anti-aliased edges without supersampling. The output is deterministic: the
same script gives the same pixels, so the committed PNGs can be checked against it.
"""

import math
import os
import struct
import sys
import zlib

ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
BUTTON_SIZE = 32
# The banner is 282 x 134 dialog units; ~1.75 px x / ~1.875 px y per unit at 1x, drawn at 2x.
BANNER_SIZE = (round(282 * 1.75 * 2), round(134 * 1.875 * 2))


# --- PNG -------------------------------------------------------------------------------


def png_bytes(width, height, rgba):
    """Encodes 8-bit RGBA rows (bytes, width*4 per row, top first) as a PNG file."""

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = bytearray()
    stride = width * 4
    for y in range(height):
        raw.append(0)  # filter: none; keeps the decoded data trivially comparable
        raw += rgba[y * stride : (y + 1) * stride]
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", ihdr)
        + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + chunk(b"IEND", b"")
    )


def write_file(path, data):
    # Written beside the target and renamed, so an interrupted run leaves no half file.
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


# --- colours ---------------------------------------------------------------------------


def hex_rgb(h):
    h = h.lstrip("#")
    return tuple(int(h[i : i + 2], 16) / 255.0 for i in (0, 2, 4))


def mix(a, b, t):
    t = 0.0 if t < 0 else 1.0 if t > 1 else t
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vertical(top, bottom, y0, y1):
    """A paint that runs from colour top at y0 to bottom at y1 (design units)."""
    top, bottom = hex_rgb(top), hex_rgb(bottom)
    span = float(y1 - y0) or 1.0
    return lambda x, y: mix(top, bottom, (y - y0) / span)


def solid(colour):
    rgb = hex_rgb(colour)
    return lambda x, y: rgb


# --- signed distance shapes (negative inside), in design units -------------------------


class Shape:
    def __init__(self, sdf, bbox):
        self.sdf = sdf
        self.bbox = bbox  # x0, y0, x1, y1

    def __or__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: min(a(x, y), b(x, y)), union_box(self.bbox, other.bbox))

    def __sub__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: max(a(x, y), -b(x, y)), self.bbox)

    def __and__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: max(a(x, y), b(x, y)), self.bbox)

    def grow(self, r):
        a = self.sdf
        x0, y0, x1, y1 = self.bbox
        return Shape(lambda x, y: a(x, y) - r, (x0 - r, y0 - r, x1 + r, y1 + r))

    def moved(self, dx, dy):
        a = self.sdf
        x0, y0, x1, y1 = self.bbox
        return Shape(lambda x, y: a(x - dx, y - dy), (x0 + dx, y0 + dy, x1 + dx, y1 + dy))


def union_box(a, b):
    return (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3]))


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r, (cx - r, cy - r, cx + r, cy + r))


def round_rect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hw, hh = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hw, abs(y - cy) - hh
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r

    return Shape(sdf, (x0, y0, x1, y1))


def seg_dist(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else ((x - ax) * dx + (y - ay) * dy) / length2
    t = 0.0 if t < 0 else 1.0 if t > 1 else t
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def line(ax, ay, bx, by, width):
    """A stroke with round caps."""
    h = width / 2
    return Shape(
        lambda x, y: seg_dist(x, y, ax, ay, bx, by) - h,
        (min(ax, bx) - h, min(ay, by) - h, max(ax, bx) + h, max(ay, by) + h),
    )


def polygon(points):
    n = len(points)

    def sdf(x, y):
        d = min(seg_dist(x, y, *points[i], *points[(i + 1) % n]) for i in range(n))
        inside = False
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
        return -d if inside else d

    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def arc(cx, cy, r, width, a0, a1):
    """A stroked arc from angle a0 to a1 (degrees, counter-clockwise on screen), round caps."""
    h = width / 2
    t0, t1 = math.radians(a0), math.radians(a1)
    e0 = (cx + r * math.cos(t0), cy - r * math.sin(t0))
    e1 = (cx + r * math.cos(t1), cy - r * math.sin(t1))

    span = t1 - t0

    def sdf(x, y):
        # Angle measured from a0, so a range across 180 degrees needs no special case.
        t = (math.atan2(cy - y, x - cx) - t0) % (2 * math.pi)
        if t <= span:
            return abs(math.hypot(x - cx, y - cy) - r) - h
        return min(math.hypot(x - e0[0], y - e0[1]), math.hypot(x - e1[0], y - e1[1])) - h

    return Shape(sdf, (cx - r - h, cy - r - h, cx + r + h, cy + r + h))


# --- canvas ----------------------------------------------------------------------------


class Canvas:
    """Premultiplied RGBA floats; drawing coordinates are design units scaled to pixels."""

    def __init__(self, width, height, scale_x, scale_y=None):
        self.w, self.h = width, height
        self.sx = scale_x
        self.sy = scale_x if scale_y is None else scale_y
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, shape, paint, alpha=1.0, soft=0.0):
        """Paints shape with paint(x, y) -> rgb; soft widens the edge (design units)."""
        x0, y0, x1, y1 = shape.bbox
        pad = soft + 1.0
        px0 = max(0, int(math.floor((x0 - pad) * self.sx)))
        py0 = max(0, int(math.floor((y0 - pad) * self.sy)))
        px1 = min(self.w, int(math.ceil((x1 + pad) * self.sx)) + 1)
        py1 = min(self.h, int(math.ceil((y1 + pad) * self.sy)) + 1)
        # Edge width in design units: one pixel, or the soft width when wider.
        edge = max(1.0 / min(self.sx, self.sy), soft)
        sdf = shape.sdf
        for py in range(py0, py1):
            y = (py + 0.5) / self.sy
            row = py * self.w
            for px in range(px0, px1):
                x = (px + 0.5) / self.sx
                d = sdf(x, y)
                cover = 0.5 - d / edge
                if cover <= 0.0:
                    continue
                a = alpha * (1.0 if cover >= 1.0 else cover)
                r, g, b = paint(x, y)
                p = self.px[row + px]
                k = 1.0 - a
                p[0] = r * a + p[0] * k
                p[1] = g * a + p[1] * k
                p[2] = b * a + p[2] * k
                p[3] = a + p[3] * k

    def rgba(self):
        out = bytearray(self.w * self.h * 4)
        for i, (r, g, b, a) in enumerate(self.px):
            if a > 0.0:
                out[i * 4 + 0] = min(255, int(r / a * 255.0 + 0.5))
                out[i * 4 + 1] = min(255, int(g / a * 255.0 + 0.5))
                out[i * 4 + 2] = min(255, int(b / a * 255.0 + 0.5))
                out[i * 4 + 3] = min(255, int(a * 255.0 + 0.5))
        return out

    def png(self):
        return png_bytes(self.w, self.h, self.rgba())


# --- the app icon (design units: 256 x 256) -------------------------------------------

NAVY_TOP, NAVY_BOTTOM = "#2b6cb8", "#0f2a52"
AMBER, AMBER_DARK = "#ffc02e", "#f08c00"
RED = "#e53935"


def draw_app_icon(size):
    c = Canvas(size, size, size / 256.0)
    small = size <= 24
    # Tile with a soft drop shadow.
    tile = round_rect(16, 16, 240, 240, 44)
    c.fill(tile.moved(0, 6), solid("#000000"), alpha=0.35, soft=8.0)
    c.fill(tile, vertical(NAVY_TOP, NAVY_BOTTOM, 16, 240))
    c.fill(tile - round_rect(22, 22, 234, 234, 38), solid("#ffffff"), alpha=0.12)

    # Radar waves from the warner, up and to the right.
    ox, oy = 84, 180
    width = 26 if small else 18
    radii = (62, 118) if small else (56, 92, 128)
    for r in radii:
        c.fill(arc(ox, oy, r, width, 8, 82), vertical(AMBER, AMBER_DARK, oy - r, oy))

    # The warner: a small dashboard box with a red alert lamp.
    body = round_rect(40, 154, 128, 206, 14)
    c.fill(body.moved(0, 4), solid("#000000"), alpha=0.3, soft=6.0)
    c.fill(body, vertical("#f4f7fb", "#c9d3df", 154, 206))
    lamp_r = 16 if small else 13
    c.fill(circle(ox, 180, lamp_r + 4), solid("#7f1d1d"), alpha=0.35)
    c.fill(circle(ox, 180, lamp_r), solid(RED))
    if not small:
        c.fill(circle(ox - 4, 176, 4), solid("#ffffff"), alpha=0.7)
        c.fill(line(54, 196, 66, 196, 5), solid("#5d6b7c"))
        c.fill(line(102, 196, 114, 196, 5), solid("#5d6b7c"))
    return c.png()


# --- button icons (design units: 32 x 32) ----------------------------------------------


def draw_open():
    c = Canvas(BUTTON_SIZE, BUTTON_SIZE, BUTTON_SIZE / 32.0)
    back = round_rect(3, 7, 27, 26, 2.5) | round_rect(3, 5, 13, 10, 2)
    c.fill(back, vertical("#e0a526", "#b7791f", 5, 26))
    front = polygon([(7, 12), (30, 12), (26, 26), (3, 26)])
    c.fill(front, vertical("#ffd866", "#f0b429", 12, 26))
    c.fill(line(8, 14.5, 27.5, 14.5, 1), solid("#ffffff"), alpha=0.6)
    return c.png()


def draw_update():
    # A package going down into the device.
    c = Canvas(BUTTON_SIZE, BUTTON_SIZE, BUTTON_SIZE / 32.0)
    tray = round_rect(3, 20, 29, 29, 3)
    c.fill(tray, vertical("#6b7b8f", "#3b4756", 20, 29))
    c.fill(circle(24, 24.5, 1.8), solid("#7cfc8a"))
    arrow = polygon([(12, 3), (20, 3), (20, 11), (25, 11), (16, 20), (7, 11), (12, 11)])
    c.fill(arrow.grow(0.8), solid("#0b5e1c"), alpha=0.5)
    c.fill(arrow, vertical("#5ad06a", "#1f9d3a", 3, 20))
    return c.png()


def draw_settings():
    c = Canvas(BUTTON_SIZE, BUTTON_SIZE, BUTTON_SIZE / 32.0)
    cx = cy = 16.0
    teeth = 8

    def gear_sdf(x, y):
        r = math.hypot(x - cx, y - cy)
        t = math.atan2(y - cy, x - cx)
        # Teeth as a flattened wave on the rim.
        wave = math.cos(t * teeth)
        wave = max(-1.0, min(1.0, wave * 2.5))
        outer = 11.0 + 2.5 * (wave + 1) / 2
        return r - outer

    gear = Shape(gear_sdf, (2, 2, 30, 30)) - circle(cx, cy, 4.5)
    c.fill(gear.moved(0, 0.8), solid("#000000"), alpha=0.3, soft=1.5)
    c.fill(gear, vertical("#b8c4d2", "#5c6b7d", 2, 30))
    c.fill(circle(cx, cy, 7.5) - circle(cx, cy, 4.5), solid("#ffffff"), alpha=0.35)
    return c.png()


def draw_close():
    c = Canvas(BUTTON_SIZE, BUTTON_SIZE, BUTTON_SIZE / 32.0)
    disc = circle(16, 16, 13.5)
    c.fill(disc, vertical("#f26b5b", "#b71c1c", 2, 30))
    cross = line(11, 11, 21, 21, 3.6) | line(21, 11, 11, 21, 3.6)
    c.fill(cross, solid("#ffffff"))
    return c.png()


# --- banner (design units: dialog units, 282 x 134) ------------------------------------


def draw_banner():
    w, h = BANNER_SIZE
    c = Canvas(w, h, w / 282.0, h / 134.0)
    horizon = 78.0
    vx = 150.0  # vanishing point

    # Night-to-dusk sky and dark fields.
    c.fill(round_rect(0, 0, 282, horizon + 1, 0), vertical("#0b1e3f", "#3a78b8", 0, horizon))
    glow = circle(vx, horizon, 60)
    c.fill(glow, solid("#ffd58a"), alpha=0.25, soft=60.0)
    c.fill(round_rect(0, horizon, 282, 134, 0), vertical("#1d3b2a", "#0b1a12", horizon, 134))

    # A few satellites' dots for the GPS side of the device.
    for sx, sy, r in ((30, 14, 0.9), (62, 30, 0.7), (104, 10, 0.8), (196, 20, 0.7), (258, 34, 0.9)):
        c.fill(circle(sx, sy, r), solid("#ffffff"), alpha=0.8)

    # The road in perspective, its edges and the dashed centre line.
    road = polygon([(vx - 3, horizon), (vx + 3, horizon), (282, 134), (18, 134)])
    c.fill(road, vertical("#4a525c", "#262b31", horizon, 134))
    c.fill(line(vx - 2.6, horizon, 24, 134, 1.0), solid("#e8e8e8"), alpha=0.8)
    c.fill(line(vx + 2.6, horizon, 276, 134, 1.0), solid("#e8e8e8"), alpha=0.8)
    depth = 134.0 - horizon
    t = 0.04
    while t < 1.0:
        t1 = min(1.0, t * 1.45)
        ya, yb = horizon + depth * t, horizon + depth * ((t + t1) / 2)
        half_a, half_b = 0.25 + 1.5 * t, 0.25 + 1.5 * ((t + t1) / 2)
        dash = polygon([(vx - half_a, ya), (vx + half_a, ya), (vx + half_b, yb), (vx - half_b, yb)])
        c.fill(dash, solid("#ffd34d"), alpha=0.9)
        t = t1 * 1.12

    # The speed camera on its pole at the roadside, sending radar waves over the road.
    pole_x = 252.0
    c.fill(line(pole_x, 54, pole_x, 112, 2.4), vertical("#9aa7b6", "#56616e", 54, 112))
    cam = round_rect(pole_x - 16, 44, pole_x + 4, 58, 2.5)
    c.fill(cam.moved(0.8, 1.2), solid("#000000"), alpha=0.35, soft=2.0)
    c.fill(cam, vertical("#eef2f6", "#aab6c4", 44, 58))
    c.fill(circle(pole_x - 16, 51, 4.2), solid("#263238"))
    c.fill(circle(pole_x - 16, 51, 2.4), solid("#4fc3f7"))
    c.fill(circle(pole_x - 1, 47.5, 1.2), solid(RED))
    for i, r in enumerate((12, 22, 32, 42)):
        c.fill(
            arc(pole_x - 16, 51, r, 2.2, 150, 215),
            solid(AMBER),
            alpha=0.95 - 0.18 * i,
        )

    # The car's dashboard warner on the left, answering with its own waves.
    box = round_rect(34, 92, 78, 114, 4)
    c.fill(box.moved(1, 2), solid("#000000"), alpha=0.4, soft=3.0)
    c.fill(box, vertical("#f4f7fb", "#c4cfdb", 92, 114))
    screen = round_rect(39, 96, 65, 110, 2)
    c.fill(screen, vertical("#0d2d52", "#081a30", 96, 110))
    c.fill(line(43, 103, 61, 103, 2.0), solid(AMBER), alpha=0.9)
    c.fill(circle(71.5, 103, 3.2), solid(RED))
    for i, r in enumerate((9, 16, 23)):
        c.fill(arc(56, 92, r, 2.0, 40, 110), solid("#7fd3ff"), alpha=0.85 - 0.2 * i)

    # Slight darkening at the left and right edges to frame the picture.
    frame = round_rect(0, 0, 282, 134, 0) - round_rect(8, 8, 274, 126, 18)
    c.fill(frame, solid("#000000"), alpha=0.25, soft=14.0)
    return c.png()


# --- main ------------------------------------------------------------------------------


def main(argv):
    if len(argv) > 2:
        sys.stderr.write("usage: make-artwork.py [OUT_DIR]\n")
        return 2
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) == 2 else os.path.join(here, os.pardir, "resources")
    out = os.path.abspath(out)
    icons = os.path.join(out, "icons")
    for size in ICON_SIZES:
        write_file(os.path.join(icons, "korvana-%d.png" % size), draw_app_icon(size))
    write_file(os.path.join(icons, "open.png"), draw_open())
    write_file(os.path.join(icons, "update.png"), draw_update())
    write_file(os.path.join(icons, "settings.png"), draw_settings())
    write_file(os.path.join(icons, "close.png"), draw_close())
    write_file(os.path.join(out, "banner.png"), draw_banner())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
