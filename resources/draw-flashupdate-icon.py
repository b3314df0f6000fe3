#!/usr/bin/env python3
"""Draws the main window's icon, resources/flashupdate-icon.xpm: a blue disc carrying a yellow
lightning flash, on the light grey of the window, 32 x 32 pixels in at most 16 colours and with no
transparent pixel, so that it looks the same on every task bar and title bar.

Run it from the repository's top directory after changing the drawing; commit its output.
"""

import math
import sys

SIZE = 32
SUBSAMPLES = 4  # per pixel and axis: smooth edges, then snapped to the palette

PALETTE = [
    (" ", (0xC0, 0xC0, 0xC0)),  # ground: the window's light grey
    (".", (0x80, 0x80, 0x80)),  # the disc's shadow
    ("g", (0x90, 0x90, 0xB0)),  # where rim and ground meet
    ("n", (0x00, 0x00, 0x80)),  # rim and the flash's outline
    ("b", (0x00, 0x20, 0xB0)),  # disc, shaded side
    ("B", (0x20, 0x50, 0xE0)),  # disc
    ("l", (0x60, 0x90, 0xFF)),  # disc, lit side
    ("w", (0xFF, 0xFF, 0xFF)),  # glint
    ("y", (0xFF, 0xFF, 0x00)),  # flash
    ("o", (0xC0, 0xA0, 0x00)),  # flash, shaded edge
]

CENTRE = (15.5, 15.0)
RADIUS = 14.0
RIM = 1.6
SHADOW_OFFSET = (1.2, 1.2)

# The flash, clockwise, in pixel coordinates.
FLASH = [(19.0, 4.5), (8.0, 18.0), (14.5, 18.0), (11.0, 27.0), (24.0, 12.0), (17.5, 12.0),
         (22.0, 4.5)]


def inside_polygon(x, y, polygon):
    crossings = False
    for (x1, y1), (x2, y2) in zip(polygon, polygon[1:] + polygon[:1]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            crossings = not crossings
    return crossings


def distance_to_polygon_edge(x, y, polygon):
    best = math.inf
    for (x1, y1), (x2, y2) in zip(polygon, polygon[1:] + polygon[:1]):
        dx, dy = x2 - x1, y2 - y1
        t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy)))
        best = min(best, math.hypot(x - x1 - t * dx, y - y1 - t * dy))
    return best


def mix(a, b, share):
    return tuple(round(p + (q - p) * share) for p, q in zip(a, b))


def colour_at(x, y):
    colours = dict(PALETTE)
    cx, cy = CENTRE
    r = math.hypot(x - cx, y - cy)
    if r > RADIUS:
        shadow = math.hypot(x - cx - SHADOW_OFFSET[0], y - cy - SHADOW_OFFSET[1])
        return colours["."] if shadow <= RADIUS else colours[" "]
    if r > RADIUS - RIM:
        return colours["n"]
    if inside_polygon(x, y, FLASH):
        edge = distance_to_polygon_edge(x, y, FLASH)
        if edge < 0.8:
            return colours["n"]
        return colours["o"] if edge < 1.6 and x > 16.0 else colours["y"]
    if math.hypot(x - 9.5, y - 8.0) < 1.6:
        return colours["w"]
    # Lit from the top left.
    light = ((x - cx) * -0.6 + (y - cy) * -0.8) / RADIUS
    if light > 0.35:
        return mix(colours["B"], colours["l"], min(1.0, (light - 0.35) * 3))
    if light < -0.35:
        return mix(colours["B"], colours["b"], min(1.0, (-light - 0.35) * 3))
    return colours["B"]


def nearest_key(rgb):
    return min(PALETTE, key=lambda entry: sum((p - q) ** 2 for p, q in zip(entry[1], rgb)))[0]


def render():
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            total = [0, 0, 0]
            for sy in range(SUBSAMPLES):
                for sx in range(SUBSAMPLES):
                    colour = colour_at(px + (sx + 0.5) / SUBSAMPLES, py + (sy + 0.5) / SUBSAMPLES)
                    total = [t + c for t, c in zip(total, colour)]
            row.append(nearest_key(tuple(t / SUBSAMPLES**2 for t in total)))
        rows.append("".join(row))
    return rows


def xpm(rows):
    lines = ["/* XPM */", "static const char* const flashupdate_icon[] = {",
             f'"{SIZE} {SIZE} {len(PALETTE)} 1",']
    lines += [f'"{key} c #{r:02X}{g:02X}{b:02X}",' for key, (r, g, b) in PALETTE]
    lines += [f'"{row}",' for row in rows]
    lines[-1] = lines[-1].rstrip(",")
    lines.append("};")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else "resources/flashupdate-icon.xpm"
    with open(target, "w", encoding="ascii") as out:
        out.write(xpm(render()))
