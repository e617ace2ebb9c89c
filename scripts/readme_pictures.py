#!/usr/bin/env python3
"""Draws the README's opening picture from the command-line tool's own
output: the sample bitmap and its edge map side by side, enlarged, as
docs/shapes-and-edges.png.

usage: scripts/readme_pictures.py [EDGEMAP]   (default build/edgemap)
"""
import os
import subprocess
import sys
import tempfile

from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SAMPLE = os.path.join(ROOT, "samples", "shapes.bmp")
OUT = os.path.join(ROOT, "docs", "shapes-and-edges.png")
SCALE = 3   # pixels drawn as 3x3 blocks, so single-pixel edges show
GAP = 12    # between the two pictures, in enlarged pixels


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build",
                                                              "edgemap")
    with tempfile.TemporaryDirectory() as tmp:
        edges_path = os.path.join(tmp, "edges.bmp")
        subprocess.run([tool, SAMPLE, edges_path], check=True,
                       stdout=subprocess.DEVNULL)
        sample = Image.open(SAMPLE).convert("RGB")
        edges = Image.open(edges_path).convert("RGB")
    w, h = sample.size
    big = (w * SCALE, h * SCALE)
    sheet = Image.new("RGB", (2 * big[0] + GAP, big[1]), (255, 255, 255))
    sheet.paste(sample.resize(big, Image.NEAREST), (0, 0))
    sheet.paste(edges.resize(big, Image.NEAREST), (big[0] + GAP, 0))
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    # No time stamps or other metadata: the same tool output gives the same
    # file, so a regenerated picture only shows in git when it changed.
    sheet.save(OUT, optimize=True)
    print(f"wrote {os.path.relpath(OUT, ROOT)}")


if __name__ == "__main__":
    main()
