"""The command-line tool and the Python example, end to end, with bitmaps
written and read by Pillow as an independent reader and writer.

usage: cli_test.py CLI LIBRARY EXAMPLES_DIR"""
import io
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

import numpy as np
from PIL import Image, ImageDraw

# The one reference implementation, shared with the package's tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "python"))
import edges_reference  # noqa: E402

CLI, LIBRARY, EXAMPLES = sys.argv[1:4]


def run(*args, **kw):
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.run([CLI, *args], **{**pipes, **kw})


# Root ignores permissions: the tests that need them run the CLI as nobody.
AS_USER = {"user": "nobody"} if os.geteuid() == 0 else {}


def oracle(image, threshold=90.0):
    """Edge map of a Pillow RGB image by the tests' reference, as a list of
    pixels: black where the Sobel magnitude of the truncated mean gray
    reaches threshold, with zero gray outside the image. A vertical flip
    only changes the sign of the row response, so image order and file
    order agree."""
    edges = edges_reference.mask(np.asarray(image), threshold)
    return [(0, 0, 0) if black else (255, 255, 255) for black in edges.flat]


def assert_same(test, got, want, what=""):
    """got == want for pixel lists or bytes, reported at the first
    difference: assertEqual would diff whole images for minutes."""
    got, want = list(got), list(want)
    if got == want:
        return
    at = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w),
              min(len(got), len(want)))
    test.fail(f"{what}: {len(got)} items, {len(want)} expected; first "
              f"difference at {at}: {got[at:at + 1]} != {want[at:at + 1]}")


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
                     ["--threshold", "ninety", "a", "b"], ["--bogus", "a", "b"],
                     ["--threshold", "90x", "a", "b"], ["-o"],
                     ["-j", "0", "-o", "out", "a"], ["-j", "2", "a", "b"],
                     ["-r", "a", "b"], ["-o", "out"], ["-o", "", "a.bmp"],
                     ["--threshold=", "a", "b"], ["--output-dir=", "a"],
                     ["--format=", "png", "a", "b"], ["--bits=", "8", "a", "b"],
                     ["--max-pixels=", "5", "a", "b"]):
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, b"")
                self.assertIn(b"\nusage: edgemap [--threshold T] ", r.stderr)

    def test_help_and_version(self):
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout), (0, b"1.3.0\n"))
        for flag in ("--help", "-h"):
            r = run(flag)
            self.assertEqual(r.returncode, 0)
            self.assertTrue(r.stdout.startswith(b"usage: edgemap"))

    def test_lines_lost_on_standard_output_fail_the_run(self):
        drawing(9, 7).save(self.path("s.bmp"))
        for args in (["--help"], ["--version"],
                     [self.path("s.bmp"), self.path("t.bmp")]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                r = run(*args, stdout=full)
                self.assertEqual((r.returncode, r.stderr),
                                 (1, b"edgemap: cannot write standard output\n"))

    def test_an_endless_standard_input_is_judged_by_its_header(self):
        with open("/dev/zero", "rb") as zero:
            r = run("-", self.path("t.bmp"), stdin=zero, timeout=20)
        self.assertEqual((r.returncode, r.stdout), (
            1, b"check bit_count error\nfile size = 0\nsize = 0.000000\n"))

    def test_a_closed_standard_stream_gets_no_file(self):
        """Descriptors 0-2 closed together, and 2 or 1 alone (a file would
        take the lowest free one): lines must not land in a file the
        program opened on one of them, nor be lost with the run called a
        success."""
        folder = os.path.join(self.dir.name, "in")
        os.mkdir(folder)
        want = {}
        for i in range(12):
            image = drawing(40 + i, 30)
            image.save(os.path.join(folder, f"{i}.bmp"))
            want[f"{i}.bmp"] = oracle(image)
            with open(os.path.join(folder, f"broken{i}.bmp"), "wb") as f:
                f.write(b"BM" + bytes(40))
        for closed in ((0, 1, 2), (2,), (1,)):
            with self.subTest(closed=closed):
                def close():
                    for fd in closed:
                        os.close(fd)
                out = self.path("out" + "".join(map(str, closed)))
                # Failure lines on standard error, the legacy job's on
                # standard output.
                r = subprocess.run([CLI, "-j8", "-r", "-o", out, folder],
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, preexec_fn=close)
                self.assertEqual(r.returncode, 1)
                legacy = os.path.join(out, "legacy.bmp")
                r = subprocess.run([CLI, os.path.join(folder, "0.bmp"), legacy],
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, preexec_fn=close)
                self.assertEqual(r.returncode, 0)
                for name, pixels in (*want.items(),
                                     ("legacy.bmp", want["0.bmp"])):
                    with open(os.path.join(out, name), "rb") as f:
                        bitmap = f.read()
                    self.assertNotIn(b"edgemap:", bitmap)
                    self.assertNotIn(b"size = ", bitmap)
                    assert_same(self, Image.open(os.path.join(out, name))
                                .getdata(), pixels, name)

    def test_targets_the_folder_refuses_to_replace_are_written_in_place(self):
        """A read-only folder, and a sticky one where the target is another
        user's: the file itself may be written, as tools always could."""
        if not AS_USER:
            self.skipTest("needs root to make files of another user")
        os.chmod(self.dir.name, 0o755)
        drawing(9, 7).save(self.path("s.bmp"))
        expected = run(self.path("s.bmp"), "-").stdout
        for folder, mode, owner in (("read-only", 0o555, "nobody"),
                                    ("sticky", 0o1777, "root")):
            with self.subTest(folder=folder):
                os.mkdir(self.path(folder))
                target = os.path.join(self.path(folder), "t.bmp")
                with open(target, "wb") as f:
                    f.write(b"old")
                os.chmod(target, 0o666)
                os.chown(target, *(0, 0) if owner == "root" else (65534, 65534))
                os.chmod(self.path(folder), mode)
                r = run(self.path("s.bmp"), target, **AS_USER)
                self.assertEqual(r.returncode, 0, r.stdout)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), expected)

    def test_a_folder_that_refuses_new_files_costs_the_user_nothing(self):
        """Targets written in place: one that is the source (by any name)
        is converted from the whole source, and a refused source leaves
        the user's old target as it was."""
        if not AS_USER:
            self.skipTest("needs root to run as nobody")
        os.chmod(self.dir.name, 0o755)
        big = drawing(300, 200)  # files larger than stdio's buffer
        files = {"a.png": encoded(big, "PNG"), "p.jpg": encoded(big, "JPEG"),
                 "s.bmp": encoded(big, "BMP"), "huge.png": huge_png(),
                 "bad.png": corrupt_png(big), "keep.png": b"the user's file",
                 "keep.bmp": b"the user's bitmap"}
        onto_itself = (([], "a.png", "a.png"), (["--format", "png"], "p.jpg",
                       "p.jpg"), (["--bits", "1"], "s.bmp", "s.bmp"),
                       ([], "s.bmp", "s.bmp"), ([], "s.bmp", "link.bmp"))
        refused = (([], "huge.png", "keep.png"), ([], "bad.png", "keep.png"),
                   (["--bits", "1"], "bad.png", "keep.bmp"),
                   (["--bits", "1"], "huge.png", "keep.bmp"))
        for options, source, target in onto_itself + refused:
            with self.subTest(args=[*options, source, target]):
                free = self.path("free")
                locked = self.path("locked")
                for folder in (free, locked):
                    shutil.rmtree(folder, ignore_errors=True)
                    os.mkdir(folder)
                    for name, data in files.items():
                        with open(os.path.join(folder, name), "wb") as f:
                            f.write(data)
                        os.chmod(os.path.join(folder, name), 0o666)
                    os.link(os.path.join(folder, "s.bmp"),
                            os.path.join(folder, "link.bmp"))
                # The same command where a temporary file may be made.
                want = run(*options, os.path.join(free, source),
                           os.path.join(free, target))
                os.chmod(locked, 0o555)
                r = run(*options, os.path.join(locked, source),
                        os.path.join(locked, target), **AS_USER)
                os.chmod(locked, 0o755)
                self.assertEqual((r.returncode, r.stdout),
                                 (want.returncode, want.stdout), r.stderr)
                with open(os.path.join(free, target), "rb") as f:
                    expected = f.read()
                with open(os.path.join(locked, target), "rb") as f:
                    self.assertEqual(f.read(), expected)
                if want.returncode != 0:
                    self.assertEqual(expected, files[target])

    def test_names_as_long_as_the_file_system_takes(self):
        drawing(9, 7).save(self.path("s.bmp"))
        expected = run(self.path("s.bmp"), "-").stdout
        name = "\u6f22" * 83 + ".bmp"  # 253 bytes
        for args in ([self.path("s.bmp"), self.path(name)],
                     ["-q", "-o", self.path("out"), self.path(name)]):
            with self.subTest(args=args[0]):
                r = run(*args)
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(self.path(name), "rb") as f:
                    self.assertEqual(f.read(), expected)

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
                assert_same(self, target.getdata(),
                            oracle(source, float(threshold or 90)))

    def test_options_and_paths_as_users_write_them(self):
        """--threshold=T, -- before a name that starts with a dash, and a
        lone - for standard input and output."""
        source = drawing(23, 17)
        source.save(self.path("-s.bmp"))
        with open(self.path("-s.bmp"), "rb") as f:
            bitmap = f.read()
        want = oracle(source, 40.0)
        r = run("--threshold=40", "--", self.path("-s.bmp"), self.path("t.bmp"))
        self.assertEqual(r.returncode, 0, r.stderr)
        assert_same(self, Image.open(self.path("t.bmp")).getdata(), want)
        # - - : the bitmap through the pipes, the lines on standard error.
        r = run("--threshold", "40", "-", "-", input=bitmap)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.path("t.bmp"), "rb") as f:
            self.assertEqual(r.stdout, f.read())
        self.assertEqual(r.stderr, b"file size = 1278\nsize = 1224.000000\n")
        r = run("-", self.path("u.bmp"), input=bitmap)
        self.assertEqual((r.returncode, r.stdout),
                         (0, b"file size = 1278\nsize = 1224.000000\n"))

    def test_a_target_that_cannot_be_written_fails(self):
        drawing(9, 7).save(self.path("s.bmp"))
        for target, line in ((self.path("no/such/t.bmp"), b"fopen fname_t error\n"),
                             ("/dev/full", b"fwrite fp_t error\n")):
            with self.subTest(target=target):
                r = run(self.path("s.bmp"), target)
                self.assertEqual(r.returncode, 1)
                self.assertTrue(r.stdout.endswith(line), r.stdout)

    def test_an_unreadable_photo_converted_in_place_is_kept(self):
        if not AS_USER:
            self.skipTest("root reads any file: needs root to run as nobody")
        os.chmod(self.dir.name, 0o777)
        drawing(9, 7).save(self.path("photo.bmp"))
        size = os.stat(self.path("photo.bmp")).st_size
        os.chmod(self.path("photo.bmp"), 0o222)  # writable, not readable
        os.chown(self.path("photo.bmp"), 65534, 65534)
        r = run(self.path("photo.bmp"), self.path("photo.bmp"), **AS_USER)
        self.assertEqual((r.returncode, r.stdout),
                         (1, b"fopen fp_s error\nfopen fname_t error\n"))
        self.assertEqual(os.stat(self.path("photo.bmp")).st_size, size)

    def test_a_refused_photo_converted_in_place_is_kept(self):
        drawing(9, 7).save(self.path("photo.bmp"))
        with open(self.path("photo.bmp"), "r+b") as f:
            f.seek(28)
            f.write(b"\x07")  # a 7-bit bitmap now, which is refused
            f.seek(0)
            photo = f.read()
        r = run(self.path("photo.bmp"), self.path("photo.bmp"))
        self.assertEqual((r.returncode, r.stdout),
                         (1, b"check bit_count error\nfopen fname_t error\n"))
        with open(self.path("photo.bmp"), "rb") as f:
            self.assertEqual(f.read(), photo)

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


def kind_of(data):
    """("png", bit depth) or ("bmp", bit count) from a target's header."""
    if data.startswith(b"\x89PNG\r\n\x1a\n") and data[12:16] == b"IHDR":
        return "png", data[24]
    if data.startswith(b"BM"):
        return "bmp", int.from_bytes(data[28:30], "little")
    if data[:4] in (b"II*\0", b"MM\0*"):
        return "tiff", Image.open(io.BytesIO(data)).tag_v2[258][0]
    return None, data[:8]


def encoded(image, format):
    buffer = io.BytesIO()
    image.save(buffer, format=format)
    return buffer.getvalue()


def huge_png():
    """A PNG whose header declares 100000 x 100000 pixels, its CRC right."""
    data = bytearray(encoded(drawing(4, 4), "PNG"))
    data[16:24] = (100000).to_bytes(4, "big") * 2
    data[29:33] = zlib.crc32(bytes(data[12:29])).to_bytes(4, "big")
    return bytes(data)


def corrupt_png(image):
    """A PNG whose header is sound and whose compressed data is not: the
    IDAT bytes scrambled, its CRC made to match."""
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    data = bytearray(buffer.getvalue())
    at = data.index(b"IDAT")
    length = int.from_bytes(data[at - 4:at], "big")
    data[at + 4:at + 4 + length] = bytes(i * 7 % 256 for i in range(length))
    crc = zlib.crc32(bytes(data[at:at + 4 + length]))
    data[at + 4 + length:at + 8 + length] = crc.to_bytes(4, "big")
    return bytes(data)


class Formats(unittest.TestCase):
    """PNG and JPEG sources, the target's format and depth as the
    extension and the options choose them, and what the new conversions
    print: nothing on success, one line on failure."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = lambda name: os.path.join(self.dir.name, name)
        self.image = drawing(23, 17)
        self.image.save(self.path("s.bmp"))
        self.image.save(self.path("s.png"))
        self.image.save(self.path("s.jpg"), quality=90)
        self.image.save(self.path("s.tif"))
        self.image.save(self.path("s.webp"), lossless=True)
        self.image.convert("L").save(self.path("g8.bmp"))

    def tearDown(self):
        self.dir.cleanup()

    def test_the_target_format_and_depth(self):
        legacy = b"file size = 1278\nsize = 1224.000000\n"
        for args, source, target, want, lines in (
                ([], "s.jpg", "t.png", ("png", 1), b""),
                (["--threshold", "40"], "s.png", "t.PNG", ("png", 1), b""),
                ([], "s.jpg", "t.bmp", ("bmp", 24), b""),
                ([], "s.png", "t.out", ("bmp", 24), b""),
                ([], "s.bmp", "t.bmp", ("bmp", 24), legacy),
                (["--max-pixels", "0"], "s.bmp", "t.bmp", ("bmp", 24), b""),
                (["--bits", "8"], "s.png", "t.png", ("png", 8), b""),
                (["--format", "png"], "s.bmp", "t.bmp", ("png", 1), b""),
                (["--format", "PNG"], "s.bmp", "t.bmp", ("png", 1), b""),
                (["--format", "Bmp"], "s.png", "t.png", ("bmp", 24), b""),
                (["--format=bmp", "--bits", "1"], "s.jpg", "t.png",
                 ("bmp", 1), b""),
                (["--bits", "1"], "s.bmp", "t.bmp", ("bmp", 1), b""),
                (["--bits", "8"], "s.jpg", "t.bmp", ("bmp", 8), b""),
                (["--bits", "24"], "s.png", "t.bmp", ("bmp", 24), b""),
                (["--format", "png"], "-", "-", ("png", 1), b""),
                ([], "s.png", "t.tif", ("tiff", 1), b""),
                (["--format", "TIFF", "--bits", "8"], "s.jpg", "t.png",
                 ("tiff", 8), b""),
                ([], "s.tif", "t.TIFF", ("tiff", 1), b""),
                (["--format", "tiff"], "-", "-", ("tiff", 1), b""),
                ([], "s.webp", "t.png", ("png", 1), b""),
                ([], "g8.bmp", "t.bmp", ("bmp", 24), b""),
                (["--orient"], "s.bmp", "t.bmp", ("bmp", 24), legacy)):
            with self.subTest(args=args, source=source, target=target):
                stdin = open(self.path("s.png"), "rb") if source == "-" else None
                with stdin or open(os.devnull, "rb") as f:
                    r = run(*args, self.path(source) if stdin is None else "-",
                            target if target == "-" else self.path(target),
                            stdin=f)
                self.assertEqual(r.returncode, 0, r.stderr)
                if target == "-":
                    data, printed = r.stdout, r.stderr
                else:
                    with open(self.path(target), "rb") as f:
                        data = f.read()
                    printed = r.stdout + r.stderr
                self.assertEqual(printed, lines)
                self.assertEqual(kind_of(data), want)
                decoded = Image.open(self.path(source if stdin is None
                                               else "s.png"))
                threshold = float(args[1]) if args[:1] == ["--threshold"] else 90
                assert_same(
                    self, Image.open(io.BytesIO(data)).convert("RGB").getdata(),
                    oracle(decoded.convert("RGB"), threshold))

    def test_images_taller_than_a_band(self):
        """Three bands and more: a PNG and a JPEG, decoded in order into
        windows that overlap at each seam, against the bitmap of the same
        decoded pixels, read band by band at its offsets; and a bitmap
        whose last row lacks its padding."""
        tall = drawing(64, 12000)
        tall.save(self.path("tall.png"))
        tall.save(self.path("tall.jpg"), quality=90)
        Image.open(self.path("tall.jpg")).convert("RGB").save(
            self.path("tall-jpeg.bmp"))
        tall.save(self.path("tall.bmp"))
        odd = drawing(7, 5)
        odd.save(self.path("odd.bmp"))
        with open(self.path("odd.bmp"), "rb") as f:
            cut = f.read()[:-3]  # 7 * 3 bytes, padded to 24
        with open(self.path("cut.bmp"), "wb") as f:
            f.write(cut)
        for source, same_as in (("tall.png", "tall.bmp"),
                                ("tall.jpg", "tall-jpeg.bmp"),
                                ("cut.bmp", "odd.bmp")):
            with self.subTest(source=source):
                maps = []
                for name in (source, same_as):
                    r = run("--bits", "1", self.path(name), self.path("t.bmp"))
                    self.assertEqual(r.returncode, 0, r.stderr)
                    with open(self.path("t.bmp"), "rb") as f:
                        maps.append(f.read())
                assert_same(self, maps[0], maps[1], source)

    def test_standard_input_is_judged_at_its_header(self):
        """Endless streams after an image's first bytes are refused without
        being read to their end; one that must be held whole and does not
        fit in memory is refused with a line that says so."""
        ihdr = b"IHDR" + (100000).to_bytes(4, "big") * 2 + bytes((8, 2, 0, 0, 0))
        huge = (b"\x89PNG\r\n\x1a\n" + (13).to_bytes(4, "big") + ihdr
                + zlib.crc32(ihdr).to_bytes(4, "big"))
        bmp = bytearray(encoded(drawing(2, 2), "BMP")[:54])
        bmp[18:26] = (30000).to_bytes(4, "little") * 2

        def small_memory():
            limit = 400 << 20
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for args, head, why in (
                ([], b"\x89PNG\r\n\x1a\n", "corrupt or cut short"),
                ([], b"\xff\xd8\xff", "corrupt or cut short"),
                ([], huge, "more pixels than the limit allows"),
                (["--bits", "1"], bytes(bmp), "more pixels than the limit"),
                (["--bits", "1", "--max-pixels", "0"], bytes(bmp),
                 "edgemap: -: out of memory\n")):
            with self.subTest(args=args, head=head[:12]):
                p = subprocess.Popen([CLI, *args, "-", self.path("t.bmp")],
                                     stdin=subprocess.PIPE,
                                     stderr=subprocess.PIPE,
                                     preexec_fn=small_memory)

                def feed():
                    try:
                        p.stdin.write(head)
                        while True:
                            p.stdin.write(bytes(1 << 16))
                    except (BrokenPipeError, ValueError):
                        pass

                import threading
                writer = threading.Thread(target=feed, daemon=True)
                writer.start()
                try:
                    err = p.stderr.read()
                    p.wait(timeout=60)
                finally:
                    p.kill()
                self.assertEqual(p.returncode, 1)
                self.assertIn(why.encode(), err)
                self.assertFalse(os.path.exists(self.path("t.bmp")))

    def test_failures_print_one_line_and_write_no_target(self):
        with open(self.path("s.jpg"), "rb") as f:
            jpeg = f.read()
        with open(self.path("cut.jpg"), "wb") as f:
            f.write(jpeg[:len(jpeg) // 2])
        with open(self.path("bad.png"), "wb") as f:
            f.write(corrupt_png(self.image))
        corrupt = "the image's compressed data is corrupt or cut short"
        for args, source, target, named, why in (
                ([], "bad.png", "t.png", "bad.png", corrupt),
                ([], "cut.jpg", "t.bmp", "cut.jpg", corrupt),
                ([], "-", "t.png", "-", corrupt),
                (["--max-pixels", "10"], "s.png", "t.png", "s.png",
                 "the image has more pixels than the limit allows"),
                (["--bits", "1"], "missing.bmp", "t.bmp", "missing.bmp",
                 "the source cannot be opened: No such file or directory"),
                ([], "missing.bmp", "t.png", "missing.bmp",
                 "the source cannot be opened: No such file or directory"),
                ([], "s.jpg", "no/t.png", "no/t.png",
                 "the target cannot be created: No such file or directory")):
            with self.subTest(args=args, source=source, target=target):
                with open(self.path("t.png"), "wb") as f:
                    f.write(b"old")
                with open(self.path("t.bmp"), "wb") as f:
                    f.write(b"old")
                r = run(*args, "-" if source == "-" else self.path(source),
                        self.path(target), input=jpeg[:len(jpeg) // 2])
                name = "-" if named == "-" else self.path(named)
                self.assertEqual((r.returncode, r.stdout, r.stderr.decode()),
                                 (1, b"", f"edgemap: {name}: {why}\n"))
                for old in ("t.png", "t.bmp"):
                    with open(self.path(old), "rb") as f:
                        self.assertEqual(f.read(), b"old")

    def test_depths_a_format_does_not_take_are_usage_errors(self):
        for args, line in (
                (["--bits", "24", "s.png", "t.png"],
                 "--bits 24 does not go with a .png target (PNG takes 1 or 8)"),
                (["--format", "png", "--bits", "24", "s.png", "-"],
                 "--bits 24 does not go with --format png (PNG takes 1 or 8)"),
                (["--format", "png", "--bits", "24", "-o", "out", "s.png"],
                 "--bits 24 does not go with --format png (PNG takes 1 or 8)"),
                (["--bits", "4", "s.png", "t.bmp"], "--bits takes 1, 8 or 24"),
                (["--format", "jpeg", "s.png", "t.jpg"],
                 "--format takes bmp, png or tiff"),
                (["--max-pixels", "-1", "s.png", "t.png"],
                 "--max-pixels takes a count of pixels (0: no limit)"),
                (["--max-pixels", "18446744073709551616", "s.png", "t.png"],
                 "--max-pixels takes a count of pixels (0: no limit)"),
                (["--max-pixels", "5x", "s.png", "t.png"],
                 "--max-pixels takes a count of pixels (0: no limit)"),
                (["--format", "PNG", "--bits", "24", "s.png", "t.bmp"],
                 "--bits 24 does not go with --format PNG (PNG takes 1 or 8)"),
                (["-q", "s.png", "t.png"], "-j, -r and -q go with -o DIR")):
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir.name)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stderr.decode().splitlines()[0],
                                 f"edgemap: {line}")
                self.assertEqual(sorted(os.listdir(self.dir.name)),
                                 ["g8.bmp", "s.bmp", "s.jpg", "s.png", "s.tif",
                                  "s.webp"])


class Batch(unittest.TestCase):
    """edgemap -o DIR SOURCE...: every file converted, failures reported
    one line each without stopping the others, a summary, exit 1 when any
    failed."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.sources = {}
        for rel, size in (("a.bmp", (12, 9)), ("b.BMP", (30, 20)),
                          ("sub/c.bmp", (7, 7)), ("sub/deeper/d.Bmp", (16, 5))):
            path = os.path.join(self.root, "in", rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            image = drawing(*size)
            image.save(path, format="BMP")
            self.sources[rel] = image
        with open(os.path.join(self.root, "in", "notes.txt"), "w") as f:
            f.write("not a bitmap")
        with open(os.path.join(self.root, "in", "sub", "broken.bmp"), "wb") as f:
            f.write(b"BM" + bytes(40))

    def tearDown(self):
        self.dir.cleanup()

    def check_outputs(self, out, rels):
        for rel in rels:
            with self.subTest(rel=rel):
                target = Image.open(os.path.join(out, rel))
                assert_same(self, target.getdata(), oracle(self.sources[rel]))

    def test_recursive_folder_keeps_its_layout(self):
        out = os.path.join(self.root, "out")
        r = run("-r", "-q", "-j", "2", "-o", out, os.path.join(self.root, "in"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"")
        broken = os.path.join(self.root, "in", "sub", "broken.bmp")
        lines = r.stderr.decode().splitlines()
        self.assertEqual(lines[0], f"edgemap: {broken}: "
                         "the source has fewer than 24 bits per pixel")
        self.assertRegex(lines[1], r"^4 converted, 1 failed in \d+\.\d\d s$")
        self.assertEqual(len(lines), 2)
        self.check_outputs(out, self.sources)
        self.assertFalse(os.path.exists(os.path.join(out, "notes.txt")))
        self.assertFalse(os.path.exists(os.path.join(out, "sub", "broken.bmp")))

    def test_files_go_to_the_folder_by_name(self):
        out = os.path.join(self.root, "flat")
        files = [os.path.join(self.root, "in", rel) for rel in ("a.bmp", "b.BMP")]
        r = run("--threshold", "90", "-o", out, *files)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stderr.decode(), r"^2 converted, 0 failed in ")
        self.check_outputs(out, ["a.bmp", "b.BMP"])

    def test_failures_do_not_stop_the_others(self):
        out = os.path.join(self.root, "out")
        folder = os.path.join(self.root, "in", "sub")
        missing = os.path.join(self.root, "missing.bmp")
        a = os.path.join(self.root, "in", "a.bmp")
        r = run("-j", "1", "-o", out, missing, folder, a)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode().splitlines(), [
            f"edgemap: {folder}: is a folder (-r converts the images in it)",
            f"edgemap: {missing}: the source cannot be opened: "
            "No such file or directory",
        ] + r.stderr.decode().splitlines()[2:])
        self.assertRegex(r.stderr.decode().splitlines()[-1],
                         r"^1 converted, 2 failed in ")
        self.check_outputs(out, ["a.bmp"])

    def test_sources_are_never_targets(self):
        """Runs whose targets would overwrite their own sources, or convert
        the same file twice: each target that is a source is refused by
        identity (whatever its spelling) and left as it is."""
        inside = os.path.join(self.root, "in")
        a = os.path.join(inside, "a.bmp")
        digest = {rel: open(os.path.join(inside, rel), "rb").read()
                  for rel in self.sources}
        other = os.path.join(self.root, "other")
        os.mkdir(other)
        self.sources["other/a.bmp"] = drawing(5, 5)
        self.sources["other/a.bmp"].save(os.path.join(other, "a.bmp"))
        for args, cwd, summary, refused in (
                (["-o", ".", "a.bmp"], inside, "0 converted, 1 failed",
                 ["a.bmp: the target ./a.bmp is a source of this run"]),
                (["-r", "-o", "in", "in"], self.root, "0 converted, 5 failed",
                 ["is a source of this run"] * 5),
                (["-o", "o", a, a, "in/../in/a.bmp", "in/./a.bmp"],
                 self.root, "1 converted, 0 failed", []),
                (["-r", "-o", "o", "in", "in", "./in/", "in/.", inside],
                 self.root, "4 converted, 1 failed",
                 ["fewer than 24 bits per pixel"]),
                (["-o", "o", a, "other/a.bmp"], self.root,
                 "1 converted, 1 failed",
                 ["other/a.bmp: another source has the same target"])):
            with self.subTest(args=args):
                r = run("-q", "-j", "2", *args, cwd=cwd)
                lines = r.stderr.decode().splitlines()
                self.assertEqual(r.returncode, int("0 failed" not in summary))
                self.assertTrue(lines[-1].startswith(summary), lines)
                self.assertEqual(len(lines) - 1, len(refused), lines)
                for why in refused:
                    self.assertEqual(sum(n.endswith(why) for n in lines),
                                     refused.count(why), lines)
                for rel, content in digest.items():
                    with open(os.path.join(inside, rel), "rb") as f:
                        self.assertEqual(f.read(), content, rel)

    def test_hard_links_are_each_converted(self):
        """A folder of hard links (cp -al, backups): each name is a source
        with a target of its own, but a target that is one of them (here
        out/linked.bmp) is still refused."""
        a = os.path.join(self.root, "in", "a.bmp")
        links = os.path.join(self.root, "links")
        out = os.path.join(self.root, "out")
        os.mkdir(links)
        os.mkdir(out)
        names = [f"{i}.bmp" for i in range(24)]
        for path in [os.path.join(links, n) for n in names + ["linked.bmp"]]:
            os.link(a, path)
        os.link(a, os.path.join(out, "linked.bmp"))
        self.sources.update({name: self.sources["a.bmp"] for name in names})
        for args, summary, made in (
                (["-r", links], "24 converted, 1 failed", names),
                ([a, os.path.join(links, "0.bmp")], "2 converted, 0 failed",
                 ["a.bmp", "0.bmp"])):
            with self.subTest(args=args):
                r = run("-q", "-o", out, *args)
                lines = r.stderr.decode().splitlines()
                self.assertTrue(lines[-1].startswith(summary), lines)
                self.check_outputs(out, made)
                for name in made:
                    os.unlink(os.path.join(out, name))
        self.assertEqual(os.listdir(out), ["linked.bmp"])

    def test_targets_take_the_extension_of_their_format(self):
        """-r collects PNGs and JPEGs too; each target is named for its
        format, and photo.png and photo.jpg meet on one target."""
        mixed = os.path.join(self.root, "mixed")
        os.makedirs(os.path.join(mixed, "sub"))
        image = drawing(12, 9)
        for rel, options in (("a.bmp", {}), ("photo.png", {}),
                             ("photo.jpg", {"quality": 90}),
                             ("sub/scan.PNG", {}), ("sub/c.JPEG", {}),
                             ("sub/notes.txt", {"format": "PNG"})):
            image.save(os.path.join(mixed, rel), **options)
        # Named, not collected: a PNG without an extension, and a bitmap
        # whose name says PNG.
        shutil.copy(os.path.join(mixed, "photo.png"),
                    os.path.join(self.root, "weird"))
        shutil.copy(os.path.join(mixed, "a.bmp"),
                    os.path.join(self.root, "old.png"))
        default = {"a.bmp": ("bmp", 24), "photo.png": ("png", 1),
                   "sub/scan.PNG": ("png", 1), "sub/c.png": ("png", 1)}
        for args, want in (
                ([], default),
                (["--format", "bmp"], {
                    "a.bmp": ("bmp", 24), "photo.bmp": ("bmp", 24),
                    "sub/scan.bmp": ("bmp", 24), "sub/c.bmp": ("bmp", 24)}),
                (["--bits", "24"], {
                    "a.bmp": ("bmp", 24), "photo.bmp": ("bmp", 24),
                    "sub/scan.bmp": ("bmp", 24), "sub/c.bmp": ("bmp", 24)}),
                (["--format", "png", "--bits", "8"], {
                    "a.png": ("png", 8), "photo.png": ("png", 8),
                    "sub/scan.PNG": ("png", 8), "sub/c.png": ("png", 8)}),
                (["--bits", "1"], {
                    "a.bmp": ("bmp", 1), "photo.png": ("png", 1),
                    "sub/scan.PNG": ("png", 1), "sub/c.png": ("png", 1)})):
            with self.subTest(args=args):
                out = os.path.join(self.root, "out")
                shutil.rmtree(out, ignore_errors=True)
                r = run("-q", "-r", *args, "-o", out, mixed)
                lines = r.stderr.decode().splitlines()
                self.assertEqual(r.returncode, 1)
                self.assertEqual(len(lines), 2, lines)
                self.assertRegex(lines[0], r"^edgemap: .*/mixed/photo\.(png|jpg): "
                                 "another source has the same target$")
                self.assertTrue(lines[1].startswith("4 converted, 1 failed"))
                made = {}
                for folder, _, names in os.walk(out):
                    for name in names:
                        with open(os.path.join(folder, name), "rb") as f:
                            made[os.path.relpath(f.name, out)] = kind_of(f.read())
                self.assertEqual(made, want)
        out = os.path.join(self.root, "named")
        r = run("-q", "-o", out, os.path.join(self.root, "weird"),
                os.path.join(self.root, "old.png"),
                os.path.join(mixed, "sub", "c.JPEG"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(out)),
                         ["c.png", "old.bmp", "weird.png"])
        r = run("-q", "-j1", "--max-pixels", "107", "-o", out,
                os.path.join(mixed, "a.bmp"), os.path.join(mixed, "photo.jpg"))
        self.assertEqual(r.stderr.decode().splitlines()[:2], [
            f"edgemap: {mixed}/{name}: the image has more pixels than the "
            "limit allows" for name in ("a.bmp", "photo.jpg")])

    def test_tiff_and_webp_sources_are_collected(self):
        """-r takes .tif, .tiff and .webp; a TIFF stays a TIFF under its
        own extension, a WebP becomes a PNG."""
        folder = os.path.join(self.root, "scans")
        os.makedirs(folder)
        image = drawing(12, 9)
        for name, options in (("a.tif", {}), ("b.TIFF", {}),
                              ("c.webp", {"lossless": True})):
            image.save(os.path.join(folder, name), **options)
        out = os.path.join(self.root, "out")
        r = run("-q", "-r", "-o", out, folder)
        self.assertEqual(r.returncode, 0, r.stderr)
        made = {}
        for name in os.listdir(out):
            with open(os.path.join(out, name), "rb") as f:
                made[name] = kind_of(f.read())
        self.assertEqual(made, {"a.tif": ("tiff", 1), "b.TIFF": ("tiff", 1),
                                "c.png": ("png", 1)})

    def test_the_output_folder_is_never_walked(self):
        inside = os.path.join(self.root, "in")
        out = os.path.join(inside, "edges")
        for _ in range(2):
            r = run("-q", "-r", "-o", out, inside)
            self.assertTrue(r.stderr.decode().splitlines()[-1]
                            .startswith("4 converted, 1 failed"))
        self.assertFalse(os.path.exists(os.path.join(out, "edges")))
        self.check_outputs(out, self.sources)

    def test_an_unreadable_folder_is_skipped_by_name(self):
        os.chmod(self.root, 0o777)
        closed = os.path.join(self.root, "in", "sub")
        os.chmod(closed, 0)
        try:
            r = run("-q", "-r", "-o", os.path.join(self.root, "out"),
                    os.path.join(self.root, "in"), **AS_USER)
        finally:
            os.chmod(closed, 0o755)
        lines = r.stderr.decode().splitlines()
        self.assertEqual(lines[0], f"edgemap: {closed}: "
                         "the folder cannot be read")
        self.assertTrue(lines[1].startswith("2 converted, 1 failed"), lines)
        self.check_outputs(os.path.join(self.root, "out"), ["a.bmp", "b.BMP"])

    def test_workers_fit_the_limit_on_open_files(self):
        """-j far above what the descriptors allow still converts every
        file; a limit too low for even one says why."""
        files = []
        image = drawing(300, 300)
        for i in range(24):
            files.append(os.path.join(self.root, f"{i}.bmp"))
            image.save(files[-1])
        for limit, summary, why in ((10, "24 converted, 0 failed", None),
                                    (4, "0 converted, 24 failed",
                                     "Too many open files")):
            def low_limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
            with self.subTest(limit=limit):
                r = run("-q", "-j", "600", "-o",
                        os.path.join(self.root, f"out{limit}"), *files,
                        preexec_fn=low_limit)
                lines = r.stderr.decode().splitlines()
                self.assertTrue(lines[-1].startswith(summary), lines)
                if why:
                    self.assertTrue(lines[0].endswith(why), lines[0])

    def test_no_progress_bar_unless_standard_error_is_a_terminal(self):
        """A run long enough to draw: its only target is a FIFO, written in
        place once the test starts reading it."""
        out = os.path.join(self.root, "out")
        os.mkdir(out)
        os.mkfifo(os.path.join(out, "a.bmp"))
        p = subprocess.Popen([CLI, "-o", out, os.path.join(self.root, "in",
                                                           "a.bmp")],
                             stderr=subprocess.PIPE)
        time.sleep(0.35)
        with open(os.path.join(out, "a.bmp"), "rb") as fifo:
            bitmap = fifo.read()
        self.assertEqual(p.wait(timeout=20), 0)
        self.assertTrue(bitmap.startswith(b"BM"))
        self.assertNotIn(b"\r", p.stderr.read())

    def test_a_stopped_run_leaves_no_temporary_file(self):
        """SIGTERM or Ctrl-C while targets are being written: the partial
        temporary files are removed and the run ends by that signal."""
        width, height = 4000, 3000
        stride = width * 3
        header = (b"BM" + (54 + stride * height).to_bytes(4, "little") +
                  bytes(4) + (54).to_bytes(4, "little") +
                  (40).to_bytes(4, "little") + width.to_bytes(4, "little") +
                  height.to_bytes(4, "little") + b"\x01\x00\x18\x00" +
                  bytes(24))
        sources = []
        for i in range(6):  # sparse: big, and cheap to make
            sources.append(os.path.join(self.root, f"big{i}.bmp"))
            with open(sources[-1], "wb") as f:
                f.write(header)
                f.truncate(54 + stride * height)
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                out = os.path.join(self.root, f"out{sig}")
                os.mkdir(out)
                p = subprocess.Popen([CLI, "-q", "-j", "1", "-o", out,
                                      *sources], stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline and p.poll() is None:
                    if any(".edgemap-" in n for n in os.listdir(out)):
                        p.send_signal(signal.SIGSTOP)
                        if any(".edgemap-" in n for n in os.listdir(out)):
                            break
                        p.send_signal(signal.SIGCONT)
                p.send_signal(sig)
                p.send_signal(signal.SIGCONT)
                self.assertEqual(p.wait(timeout=20), -sig)
                self.assertEqual([n for n in os.listdir(out)
                                  if n.startswith(".")], [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
