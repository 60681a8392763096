#!/usr/bin/python3
"""Draws a corpus of scoreboard zones set in the DSEG seven-segment typeface (Debian package
fonts-dseg), one class per way real boards and real video trouble the reader, and writes a
manifest (file, class, reader, expected reading; '-' where no value is right) for measure_corpus.

    draw_corpus.py OUT_DIR [--seed N] [--h264]

Needs python3-pil and python3-numpy; --h264 needs ffmpeg. Not used by the tests."""

import argparse
import os
import random
import subprocess
import tempfile

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dseg"
WEIGHTS = ["Light", "LightItalic", "Regular", "Italic", "Bold", "BoldItalic"]
FONTS = [f"DSEG7{cut}-{w}.ttf" for cut in ("Classic", "ClassicMini", "Modern", "ModernMini") for w in WEIGHTS]
COLOURS = [(255, 60, 30), (255, 190, 40), (60, 255, 90), (240, 240, 240)]


def two(v):
    return f"{v // 10}{v % 10}"


def sample(reader, rng, must=None, lead=None):
    """A board text (DSEG: '!' is a blank digit) and the reading expected of it."""
    for _ in range(1000):
        if reader == "clock":
            m, s = rng.randint(10, 59), rng.randint(0, 59)
            if lead is not None:
                m = lead * 10 + rng.randint(0, 9)
                if m > 59:
                    m = lead * 10 + rng.randint(0, 5)
            board, expected = f"{two(m)}:{two(s)}", f"{two(m)}:{two(s)}"
        elif reader == "clock1":
            m, s = rng.randint(1, 9), rng.randint(0, 59)
            board, expected = f"!{m}:{two(s)}", f"{m}:{two(s)}"
            reader_name = "clock"
        elif reader == "tenths":
            s, t = rng.randint(10, 59), rng.randint(0, 9)
            if lead is not None:
                s = lead * 10 + rng.randint(0, 9)
            board, expected = f"{two(s)}.{t}", f"{two(s)}.{t}"
        elif reader == "number":
            v = rng.randint(10, 99)
            if lead is not None:
                v = lead * 10 + rng.randint(0, 9)
            board, expected = two(v), str(v)
        elif reader == "number1":
            v = rng.randint(0, 9)
            board, expected = f"!{v}", str(v)
        elif reader == "period":
            v = rng.randint(0, 9)
            board, expected = str(v), str(v)
        else:  # shot clock
            v = rng.randint(0, 30)
            board, expected = two(v), str(v)
        if must is None or must in board:
            return board, expected
    return board, expected


def reader_of(kind):
    return {"clock1": "clock", "tenths": "clock", "number1": "number"}.get(kind, kind)


def draw_board(board, font_file, height, colour, ghosts, rng, background=(18, 18, 22), ghost_level=38,
               margin=0.25):
    font = ImageFont.truetype(os.path.join(FONT_DIR, font_file), height)
    ghost_text = "".join("8" if c.isdigit() or c == "!" else c for c in board)
    width = int(font.getlength(ghost_text)) + 1
    mx, my = int(margin * height) + 2, int(margin * height) + 2
    img = Image.new("RGB", (width + 2 * mx, height + 2 * my), background)
    d = ImageDraw.Draw(img)
    if ghosts:
        g = tuple(min(255, int(b + ghost_level)) for b in background)
        d.text((mx, my), ghost_text, font=font, fill=g)
    d.text((mx, my), board, font=font, fill=colour)
    return img


def degrade(img, rng, noise=0.0, blur=0.0):
    if blur > 0:
        img = img.filter(ImageFilter.GaussianBlur(blur))
    a = np.asarray(img).astype(np.float32)
    if noise > 0:
        a += np.random.default_rng(rng.randint(0, 1 << 30)).normal(0, noise, a.shape)
    return Image.fromarray(np.clip(a, 0, 255).astype(np.uint8))


def led_matrix(img, rng, cells, dots):
    """The picture as a coarse LED matrix: `cells` LEDs over the digit height, square or round."""
    w, h = img.size
    pitch = max(2, h // cells)
    small = img.resize((max(1, w // pitch), max(1, h // pitch)), Image.BOX)
    out = Image.new("RGB", (small.size[0] * pitch, small.size[1] * pitch), (12, 12, 14))
    d = ImageDraw.Draw(out)
    px = small.load()
    for y in range(small.size[1]):
        for x in range(small.size[0]):
            c = px[x, y]
            if max(c) < 120:  # less than about half the LED lit
                continue
            box = (x * pitch + 1, y * pitch + 1, x * pitch + pitch - 2, y * pitch + pitch - 2)
            (d.ellipse if dots else d.rectangle)(box, fill=c)
    return out


def h264_round_trip(images, rate, workdir):
    """Each picture through libx264 at the bit rate and back, in one clip of equal frames."""
    w = max(i.size[0] for i in images)
    h = max(i.size[1] for i in images)
    w += w % 2
    h += h % 2
    for n, img in enumerate(images):
        canvas = Image.new("RGB", (w, h), (18, 18, 22))
        canvas.paste(img, (0, 0))
        canvas.save(os.path.join(workdir, f"in{n:05d}.png"))
    clip = os.path.join(workdir, "clip.mp4")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-framerate", "25", "-i",
                    os.path.join(workdir, "in%05d.png"), "-c:v", "libx264", "-b:v", rate, "-pix_fmt", "yuv420p",
                    "-g", "50", clip], check=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", clip, os.path.join(workdir, "out%05d.png")],
                   check=True)
    out = []
    for n, img in enumerate(images):
        back = Image.open(os.path.join(workdir, f"out{n + 1:05d}.png")).convert("RGB")
        out.append(back.crop((0, 0, img.size[0], img.size[1])))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=33)
    ap.add_argument("--h264", action="store_true")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.out, exist_ok=True)
    rows = []

    def add(cls, img, kind, expected, processing="dark"):
        name = f"{cls}_{len(rows):05d}.png"
        img.save(os.path.join(args.out, name))
        rows.append((name, cls, reader_of(kind), expected, processing))

    kinds = ["clock", "clock1", "tenths", "number", "number1", "period", "shot"]
    # Every cut and weight, a 7 on every board.
    for font in FONTS:
        for height in (28, 48, 80):
            for kind in kinds:
                board, expected = sample(kind, rng, must="7")
                add("seven", draw_board(board, font, height, rng.choice(COLOURS), rng.random() < 0.5, rng), kind,
                    expected)
    # Every cut and weight, any value.
    for font in FONTS:
        for height in (28, 48, 80):
            for kind in kinds:
                board, expected = sample(kind, rng)
                add("typeface", draw_board(board, font, height, rng.choice(COLOURS), rng.random() < 0.5, rng),
                    kind, expected)
    # A 1 first: this typeface draws it at the right side of its cell.
    for font in FONTS:
        for height in (28, 48, 80):
            for kind in ("clock", "tenths", "number"):
                board, expected = sample(kind, rng, lead=1)
                add("one_first", draw_board(board, font, height, rng.choice(COLOURS), rng.random() < 0.5, rng),
                    kind, expected)
    # Thin faces, close digits.
    for font in [f for f in FONTS if "Light" in f]:
        for height in (32, 56, 96):
            for kind in ("clock", "number", "tenths"):
                for _ in range(2):
                    board, expected = sample(kind, rng)
                    add("thin", draw_board(board, font, height, rng.choice(COLOURS), rng.random() < 0.5, rng),
                        kind, expected)
    # Solid ink: a light board read with a dark board's threshold, and LCD glass dimmed by the
    # camera: no value is right.
    for font in FONTS[::2]:
        for kind in ("clock", "number", "period", "tenths"):
            board, _ = sample(kind, rng)
            light = draw_board(board, font, 48, (30, 30, 30), True, rng, background=(225, 225, 215),
                               ghost_level=-25)
            add("solid_ink", degrade(light, rng, noise=4), kind, "-")
            glass = draw_board(board, font, 48, (150, 160, 150), True, rng, background=(165, 175, 165),
                               ghost_level=-8)
            add("solid_ink", degrade(glass, rng, noise=6, blur=0.8), kind, "-")
    # Coarse LED matrices, square and round LEDs.
    for font in FONTS[2::6] + FONTS[4::6]:
        for cells in (12, 16, 22):
            for kind in ("clock", "number", "shot"):
                for dots in (False, True):
                    board, expected = sample(kind, rng)
                    big = draw_board(board, font, 120, rng.choice(COLOURS), False, rng)
                    add("led", led_matrix(big, rng, cells, dots), kind, expected)
    # Heavy noise.
    for font in FONTS:
        for kind in kinds:
            board, expected = sample(kind, rng)
            img = draw_board(board, font, 56, rng.choice(COLOURS), rng.random() < 0.5, rng)
            add("noise25", degrade(img, rng, noise=25), kind, expected)
    if args.h264:
        with tempfile.TemporaryDirectory() as work:
            plain = []
            for font in FONTS:
                for kind in kinds:
                    board, expected = sample(kind, rng)
                    img = draw_board(board, font, rng.choice((32, 48, 64)), rng.choice(COLOURS),
                                     rng.random() < 0.5, rng)
                    plain.append((img, kind, expected))
            # A zone is a small part of a 1-8 Mb/s frame: tens of kb/s of its own. Drawn at 720p
            # and shown at 1080p first.
            shown = [(p[0].resize((p[0].size[0] * 2 // 3, p[0].size[1] * 2 // 3), Image.BILINEAR)
                      .resize(p[0].size, Image.BICUBIC)) for p in plain]
            for rate in ("60k", "150k"):
                back = h264_round_trip(shown, rate, work)
                for img, (_, kind, expected) in zip(back, plain):
                    add("h264_" + rate, img, kind, expected)
    with open(os.path.join(args.out, "manifest.tsv"), "w") as f:
        for row in rows:
            f.write("\t".join(row) + "\n")
    print(len(rows), "zones")


if __name__ == "__main__":
    main()
