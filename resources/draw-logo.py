#!/usr/bin/env python3
"""Draws the maker's logo for the About box: quenlid-logo.xpm, next to this script.

    python3 resources/draw-logo.py

The About box shows the picture at its own size, 91 x 120 pixels, in blue on the light grey of its
picture box. The file carries the 16 colours of the classic VGA palette, as the maker's artwork
does, but only those two are painted.

The emblem is a ring with a tail, a Q, struck through by a lightning flash; under it stand the
word mark and the line "INSTRUMENTS". Curves are sampled 4 x 4 times per pixel and a pixel is blue
when at least half of it is covered; the letters are drawn pixel by pixel, since outlines at this
size turn ragged.
"""

import math
import pathlib

WIDTH, HEIGHT = 91, 120

# The 16 colours of the classic palette, each with the character that stands for it in the file.
PALETTE = [
    ("k", "#000000"), ("m", "#800000"), ("g", "#008000"), ("o", "#808000"),
    ("n", "#000080"), ("p", "#800080"), ("t", "#008080"), (".", "#C0C0C0"),
    ("a", "#808080"), ("r", "#FF0000"), ("l", "#00FF00"), ("y", "#FFFF00"),
    ("#", "#0000FF"), ("f", "#FF00FF"), ("c", "#00FFFF"), ("w", "#FFFFFF"),
]
GROUND, INK = ".", "#"

# The emblem's geometry, in pixels with (0, 0) the top-left corner of the image.
CENTRE = (45.5, 43.0)
RING_OUTER, RING_INNER = 38.0, 30.5
TAIL = ((62.0, 66.0), (82.0, 86.0), 7.5)  # from, to, thickness
# The flash, clockwise from its top tip; it reaches over the ring at both ends.
FLASH = [(56.0, 1.5), (31.0, 48.0), (46.5, 48.0), (30.0, 87.0), (64.0, 35.5), (49.0, 35.5),
         (69.0, 1.5)]
# The flash is set off from the ring by a grey margin this wide.
FLASH_MARGIN = 2.2

# Word mark letters, 11 rows high with two-pixel strokes; the Q's tail hangs one row lower.
LETTERS = {
    "Q": [
        "..#####..",
        ".#######.",
        "##.....##",
        "##.....##",
        "##.....##",
        "##.....##",
        "##..##.##",
        "##...####",
        ".#######.",
        "..#######",
        "........#",
    ],
    "U": [
        "##.....##",
        "##.....##",
        "##.....##",
        "##.....##",
        "##.....##",
        "##.....##",
        "##.....##",
        "##.....##",
        "###...###",
        ".#######.",
        "..#####..",
    ],
    "E": [
        "#######",
        "#######",
        "##.....",
        "##.....",
        "##.....",
        "######.",
        "######.",
        "##.....",
        "##.....",
        "#######",
        "#######",
    ],
    "N": [
        "##.....##",
        "###....##",
        "####...##",
        "####...##",
        "##.##..##",
        "##..##.##",
        "##...####",
        "##...####",
        "##....###",
        "##.....##",
        "##.....##",
    ],
    "L": [
        "##.....",
        "##.....",
        "##.....",
        "##.....",
        "##.....",
        "##.....",
        "##.....",
        "##.....",
        "##.....",
        "#######",
        "#######",
    ],
    "I": ["##"] * 11,
    "D": [
        "######..",
        "#######.",
        "##...###",
        "##....##",
        "##....##",
        "##....##",
        "##....##",
        "##....##",
        "##...###",
        "#######.",
        "######..",
    ],
}
WORD, WORD_TOP, WORD_GAP = "QUENLID", 92, 2

# Capitals five pixels high for the line under the word mark.
SMALL = {
    "I": ["###", ".#.", ".#.", ".#.", "###"],
    "N": ["#..#", "##.#", "#.##", "#..#", "#..#"],
    "S": ["###", "#..", "###", "..#", "###"],
    "T": ["###", ".#.", ".#.", ".#.", ".#."],
    "R": ["##.", "#.#", "##.", "#.#", "#.#"],
    "U": ["#.#", "#.#", "#.#", "#.#", "###"],
    "M": ["#...#", "##.##", "#.#.#", "#...#", "#...#"],
    "E": ["###", "#..", "##.", "#..", "###"],
}
SMALL_WORD, SMALL_TOP, SMALL_GAP = "INSTRUMENTS", 109, 2
RULE_Y = 106  # a hairline between the word mark and the small line, clear of the Q's tail


def segment_distance(p, a, b):
    (px, py), (ax, ay), (bx, by) = p, a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def inside_polygon(p, polygon):
    x, y = p
    inside = False
    for (x1, y1), (x2, y2) in zip(polygon, polygon[1:] + polygon[:1]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def polygon_distance(p, polygon):
    return min(segment_distance(p, a, b) for a, b in zip(polygon, polygon[1:] + polygon[:1]))


def emblem_covers(p):
    if inside_polygon(p, FLASH):
        return True
    if polygon_distance(p, FLASH) < FLASH_MARGIN:
        return False
    r = math.hypot(p[0] - CENTRE[0], p[1] - CENTRE[1])
    if RING_INNER <= r <= RING_OUTER:
        return True
    (a, b, thickness) = TAIL
    return segment_distance(p, a, b) <= thickness / 2 and r >= RING_INNER


def draw():
    image = [[GROUND] * WIDTH for _ in range(HEIGHT)]
    samples = 4
    for y in range(0, 90):
        for x in range(WIDTH):
            hits = sum(
                emblem_covers((x + (i + 0.5) / samples, y + (j + 0.5) / samples))
                for i in range(samples)
                for j in range(samples)
            )
            if hits * 2 >= samples * samples:
                image[y][x] = INK

    def stamp(glyphs, word, top, gap):
        width = sum(len(glyphs[ch][0]) for ch in word) + gap * (len(word) - 1)
        left = (WIDTH - width) // 2
        for ch in word:
            for dy, row in enumerate(glyphs[ch]):
                for dx, cell in enumerate(row):
                    if cell == "#":
                        image[top + dy][left + dx] = INK
            left += len(glyphs[ch][0]) + gap
        return width

    word_width = stamp(LETTERS, WORD, WORD_TOP, WORD_GAP)
    small_width = stamp(SMALL, SMALL_WORD, SMALL_TOP, SMALL_GAP)
    rule = max(word_width, small_width)
    for x in range((WIDTH - rule) // 2, (WIDTH + rule) // 2):
        image[RULE_Y][x] = INK
    return image


def write_xpm(image, path):
    lines = [
        "/* XPM */",
        "static const char* const quenlid_logo[] = {",
        f'"{WIDTH} {HEIGHT} {len(PALETTE)} 1",',
    ]
    lines += [f'"{ch} c {colour}",' for ch, colour in PALETTE]
    lines += [f'"{"".join(row)}",' for row in image]
    lines[-1] = lines[-1].rstrip(",")
    lines.append("};")
    path.write_text("\n".join(lines) + "\n", encoding="ascii")


if __name__ == "__main__":
    write_xpm(draw(), pathlib.Path(__file__).with_name("quenlid-logo.xpm"))
