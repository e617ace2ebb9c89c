#!/usr/bin/python3
"""The command-line tool on JPEG, PNG and bitmap sources against what a
user would otherwise run, side by side in one run: every comparison's
commands interleaved, ROUNDS (default 11) rounds, the median of each, and
the ratios the formats page quotes. Targets are removed (untimed) before
every run, so no run pays for replacing a file.

  /usr/bin/python3 bench/formats_bench.py [BUILD_DIR] [ROUNDS]

Needs djpeg (libjpeg-turbo-progs), OpenCV's Python module (python3-opencv)
and GNU time (time); the images are made here, photo-like (smooth gradients
and noise), in a temporary folder.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
# python_bench (for OpenCV's exact edge map) imports the build's package.
sys.path.insert(0, os.path.join(os.path.abspath(BUILD), "python"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from python_bench import cv2_compositions  # noqa: E402

ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 11
TOOL = os.path.abspath(os.path.join(BUILD, "edgemap"))


def photo(height, width, start=7):
    rng = np.random.default_rng(start)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    a = np.sin(x / 37.0) * 70 + np.cos(y / 23.0 + x / 91.0) * 50 + 128
    a += rng.normal(0, 6, (height, width)).astype(np.float32)
    rgb = np.stack([a, a * 0.8 + 30 * np.sin(y / 11.0), 255 - a * 0.9], -1)
    return rgb.clip(0, 255).astype(np.uint8)


def run(argv):
    done = subprocess.run(argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.exit(f"{argv}: {done.stderr.decode()}")


def compare(title, entries):
    """entries: name -> (callable, targets to remove before each run)."""
    times = {name: [] for name in entries}
    for _ in range(ROUNDS):
        for name, (fn, targets) in entries.items():
            for t in targets:
                if os.path.isdir(t):
                    shutil.rmtree(t)
                elif os.path.exists(t):
                    os.remove(t)
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    print(f"\n{title}")
    medians = {name: statistics.median(v) * 1000 for name, v in times.items()}
    for name, ms in medians.items():
        low, high = min(times[name]) * 1000, max(times[name]) * 1000
        print(f"  {name:44s} {ms:8.1f} ms  ({low:.1f}-{high:.1f})")
    return medians


def peak_kib(argv):
    """Peak resident memory of a program, in KiB, as GNU time reports it
    (a child of this process would carry this process's peak over its
    exec)."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          check=True)
    return int(done.stderr.decode().split()[-1])


def main():
    import cv2
    cv2.setNumThreads(1)
    d = tempfile.mkdtemp(prefix="edgemap-formats-")
    try:
        p = lambda name: os.path.join(d, name)  # noqa: E731
        picture = photo(3000, 4000)
        Image.fromarray(picture).save(p("photo.jpg"), quality=90)
        Image.fromarray(picture).save(p("photo.png"))
        big = photo(6000, 8000)
        Image.fromarray(big).save(p("big.bmp"))
        print(f"machine: {os.cpu_count()} processors; {ROUNDS} rounds; "
              f"images in {d}")
        one_cpu = ["taskset", "-c", "0"]

        # JPEG 4000x3000 to a 1-bit PNG.
        ways = cv2_compositions(cv2, picture.shape)
        tuned = ways["cv2 16-bit Sobel"]
        plain = ways["cv2 magnitude, new arrays"]
        out = np.empty(picture.shape, np.uint8)
        bilevel = [cv2.IMWRITE_PNG_BILEVEL, 1]

        def cv2_tuned(source, target):
            # Buffers reused, and a 1-bit PNG as edgemap writes.
            image = cv2.imread(source)
            cv2.imwrite(target, tuned(image, out)[:, :, 0], bilevel)

        def cv2_plain(source, target):
            # The calls as a Python user writes them.
            image = cv2.imread(source)
            cv2.imwrite(target, plain(image, None))

        m = compare("JPEG 4000x3000 (quality 90) to a 1-bit PNG", {
            "djpeg -outfile /dev/null": (lambda: run(
                ["djpeg", "-outfile", "/dev/null", p("photo.jpg")]), []),
            "edgemap, one processor (taskset)": (lambda: run(
                one_cpu + [TOOL, p("photo.jpg"), p("a.png")]), [p("a.png")]),
            "edgemap, two processors": (lambda: run(
                [TOOL, p("photo.jpg"), p("b.png")]), [p("b.png")]),
            "cv2, tuned (in-process)": (
                lambda: cv2_tuned(p("photo.jpg"), p("c.png")), [p("c.png")]),
            "cv2, plain (in-process)": (
                lambda: cv2_plain(p("photo.jpg"), p("d.png")), [p("d.png")]),
        })
        print("  edgemap (one processor) / djpeg: %.2f" %
              (m["edgemap, one processor (taskset)"] /
               m["djpeg -outfile /dev/null"]))
        for way in ("tuned", "plain"):
            print("  cv2 %s / edgemap (one processor): %.2f" %
                  (way, m[f"cv2, {way} (in-process)"] /
                   m["edgemap, one processor (taskset)"]))

        m = compare("PNG 4000x3000 to a 1-bit PNG", {
            "cv2.imread alone (in-process)": (
                lambda: cv2.imread(p("photo.png")), []),
            "edgemap, one processor (taskset)": (lambda: run(
                one_cpu + [TOOL, p("photo.png"), p("a.png")]), [p("a.png")]),
            "edgemap, two processors": (lambda: run(
                [TOOL, p("photo.png"), p("b.png")]), [p("b.png")]),
        })
        print("  edgemap (one processor) / cv2.imread: %.2f" %
              (m["edgemap, one processor (taskset)"] /
               m["cv2.imread alone (in-process)"]))
        print("  edgemap (two processors) / cv2.imread: %.2f" %
              (m["edgemap, two processors"] /
               m["cv2.imread alone (in-process)"]))

        m = compare("BMP 8000x6000 to a 1-bit BMP", {
            "cp": (lambda: run(["cp", p("big.bmp"), p("copy.bmp")]),
                   [p("copy.bmp")]),
            "edgemap --bits 1": (lambda: run(
                [TOOL, "--bits", "1", p("big.bmp"), p("e.bmp")]),
                [p("e.bmp")]),
        })
        print("  edgemap / cp: %.2f" % (m["edgemap --bits 1"] / m["cp"]))

        # Peak memory, against the same program converting a tiny image.
        Image.fromarray(photo(8, 8)).save(p("tiny.png"))
        baseline = peak_kib([TOOL, p("tiny.png"), p("tiny-edges.png")])
        print(f"\nPeak resident memory above the program's {baseline} KiB "
              "converting a tiny PNG:")
        for height in (6000, 24000):
            tall = photo(height, 8000)
            Image.fromarray(tall).save(p("tall.png"))
            Image.fromarray(tall).save(p("tall.jpg"), quality=90)
            del tall
            for kind in ("png", "jpg"):
                kib = peak_kib([TOOL, p(f"tall.{kind}"), p("tall-edges.png")])
                print(f"  8000x{height} {kind} to a 1-bit PNG: "
                      f"{(kib - baseline) / 1024:.1f} MiB")
            os.remove(p("tall.png"))
            os.remove(p("tall.jpg"))

        os.mkdir(p("many"))
        for i in range(200):
            Image.fromarray(photo(480, 640, start=i)).save(
                p(f"many/{i:03d}.jpg"), quality=90)
        m = compare("A batch of 200 JPEGs of 640x480 to PNG", {
            "-j1": (lambda: run([TOOL, "-q", "-r", "-j1", "-o", p("out1"),
                                 p("many")]), [p("out1")]),
            "-j2": (lambda: run([TOOL, "-q", "-r", "-j2", "-o", p("out2"),
                                 p("many")]), [p("out2")]),
        })
        print("  -j1 / -j2: %.2f" % (m["-j1"] / m["-j2"]))
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
