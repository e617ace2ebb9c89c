"""The command-line tool and the Python example, end to end, with bitmaps
written and read by Pillow as an independent reader and writer.

usage: cli_test.py CLI LIBRARY EXAMPLES_DIR"""
import os
import random
import subprocess
import sys
import tempfile
import unittest

from PIL import Image, ImageDraw

CLI, LIBRARY, EXAMPLES = sys.argv[1:4]


def run(*args, **kw):
    return subprocess.run([CLI, *args], capture_output=True, **kw)


def oracle(image, threshold=90.0):
    """Edge map of a Pillow RGB image, computed independently: black where
    the Sobel magnitude of the truncated mean grey reaches threshold, with
    zero grey outside the image. A vertical flip only changes the sign of
    the row response, so image order and file order agree."""
    w, h = image.size
    px = image.load()
    grey = [[sum(px[x, y]) // 3 for x in range(w)] for y in range(h)]

    def g(y, x):
        return grey[y][x] if 0 <= y < h and 0 <= x < w else 0

    out = []
    for y in range(h):
        for x in range(w):
            gx = (g(y - 1, x + 1) + 2 * g(y, x + 1) + g(y + 1, x + 1)
                  - g(y - 1, x - 1) - 2 * g(y, x - 1) - g(y + 1, x - 1))
            gy = (g(y + 1, x - 1) + 2 * g(y + 1, x) + g(y + 1, x + 1)
                  - g(y - 1, x - 1) - 2 * g(y - 1, x) - g(y - 1, x + 1))
            black = (gx * gx + gy * gy) ** 0.5 - threshold >= 0
            out.append((0, 0, 0) if black else (255, 255, 255))
    return out


def drawing(width, height):
    rng = random.Random(width * 1000 + height)
    image = Image.new("RGB", (width, height), (90, 120, 150))
    draw = ImageDraw.Draw(image)
    draw.ellipse((3, 2, width // 2, height - 3), fill=(200, 40, 40))
    draw.rectangle((width // 2, height // 3, width - 4, height - 5),
                   fill=(20, 220, 60))
    px = image.load()
    for _ in range(width * height // 8):
        x, y = rng.randrange(width), rng.randrange(height)
        px[x, y] = tuple(min(255, c + rng.randrange(40)) for c in px[x, y])
    return image


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = lambda name: os.path.join(self.dir.name, name)

    def tearDown(self):
        self.dir.cleanup()

    def test_usage_errors_exit_2_with_usage_on_stderr(self):
        for args in ([], ["a.bmp"], ["a", "b", "c"], ["--threshold"],
                     ["--threshold", "ninety", "a", "b"], ["--bogus", "a", "b"]):
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, b"")
                self.assertIn(b"usage: edgemap [--threshold T] SOURCE TARGET",
                              r.stderr)

    def test_help_and_version(self):
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout), (0, b"1.1.0\n"))
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(b"usage: edgemap"))

    def test_failed_stage_exits_1_with_the_library_lines(self):
        r = run(self.path("missing.bmp"), self.path("t.bmp"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout,
                         b"fopen fp_s error\nfile size = 0\nsize = 0.000000\n")
        with open(self.path("t.bmp"), "rb") as f:
            self.assertEqual(f.read(), b"")

    def test_pillow_bitmaps_round_trip(self):
        for width, height, threshold in ((37, 23, None), (64, 48, None),
                                         (5, 3, "40.5"), (1, 1, None)):
            with self.subTest(width=width, height=height):
                source = drawing(width, height)
                source.save(self.path("s.bmp"))
                args = ["--threshold", threshold] if threshold else []
                r = run(*args, self.path("s.bmp"), self.path("t.bmp"))
                stride = (3 * width + 3) & ~3
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stdout.decode(),
                                 f"file size = {54 + stride * height}\n"
                                 f"size = {stride * height}.000000\n")
                target = Image.open(self.path("t.bmp"))
                self.assertEqual((target.size, target.mode),
                                 (source.size, "RGB"))
                self.assertEqual(list(target.getdata()),
                                 oracle(source, float(threshold or 90)))

    def test_paths_are_bytes(self):
        drawing(9, 7).save(self.path("s.bmp"))
        name = os.path.join(os.fsencode(self.dir.name), b"\xff\xfe-not-utf8.bmp")
        r = run(self.path("s.bmp"), name)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(os.path.exists(name))

    def test_python_example_matches_the_cli(self):
        source = drawing(30, 20)
        source.save(self.path("s.bmp"))
        run(self.path("s.bmp"), self.path("cli.bmp"))
        target = self.path("\u00e4\U0001F600.bmp")
        r = subprocess.run(
            [sys.executable, os.path.join(EXAMPLES, "edgemap_demo.py"),
             self.path("s.bmp"), target, LIBRARY], capture_output=True)
        self.assertEqual(r.stdout.decode(),
                         "file size = 1894\nsize = 1840.000000\n"
                         "QTVSolbelP returned 999\n")
        with open(target, "rb") as a, open(self.path("cli.bmp"), "rb") as b:
            self.assertEqual(a.read(), b.read())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
