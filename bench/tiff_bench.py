#!/usr/bin/env python3
"""TIFFs larger than memory should need, and G4 against PNG:

  bench/tiff_bench.py [BUILD_DIR]

Makes, in a temporary folder, an 8000 x 24000 RGB TIFF in strips and a
20000 x 20000 one in 512 x 512 tiles (BUILD_DIR/bench/edgemap_make_tiff:
LZW, smooth gradients), converts each with the command-line tool to a
1-bit TIFF (CCITT G4) and prints its peak resident memory above the
tool's own converting an 8 x 8 TIFF (GNU time, Debian's `time`, measures
it). Then the sizes of one edge map as a
1-bit TIFF and as a 1-bit PNG, for a 4000 x 3000 picture with hard edges
and noise (edgemap_make_bmp's) and a photo-like one (edgemap_make_tiff's).
"""
import os
import shutil
import subprocess
import sys
import tempfile

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
TOOL = os.path.abspath(os.path.join(BUILD, "edgemap"))
MAKE_TIFF = os.path.abspath(os.path.join(BUILD, "bench", "edgemap_make_tiff"))
MAKE_BMP = os.path.abspath(os.path.join(BUILD, "bench", "edgemap_make_bmp"))
LIMIT_MIB = 64


def peak_kib(argv):
    """Peak resident memory of a program, in KiB, as GNU time reports it
    (a child of this process would carry this process's peak over its
    exec)."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          check=True)
    return int(done.stderr.decode().split()[-1])


def main():
    d = tempfile.mkdtemp(prefix="edgemap-tiff-")
    try:
        p = lambda name: os.path.join(d, name)  # noqa: E731
        subprocess.run([MAKE_TIFF, "8", "8", p("tiny.tif")], check=True)
        baseline = peak_kib([TOOL, p("tiny.tif"), p("tiny-edges.tif")])
        print(f"Peak resident memory above the tool's {baseline} KiB "
              f"converting an 8x8 TIFF (at most {LIMIT_MIB} MiB):")
        for width, height, tile in ((8000, 24000, None), (20000, 20000, 512)):
            source = p("big.tif")
            subprocess.run([MAKE_TIFF, str(width), str(height), source]
                           + ([str(tile)] if tile else []), check=True)
            # 20000 x 20000 is past the default pixel limit.
            kib = peak_kib([TOOL, "--max-pixels", "0", source,
                            p("big-edges.tif")])
            what = f"tiles of {tile}x{tile}" if tile else "strips"
            over = (kib - baseline) / 1024
            print(f"  {width}x{height} in {what} to a 1-bit TIFF: "
                  f"{over:.1f} MiB{'' if over <= LIMIT_MIB else '  (over)'}")
            os.remove(source)

        subprocess.run([MAKE_BMP, "4000", "3000", p("edges.bmp")], check=True)
        subprocess.run([MAKE_TIFF, "4000", "3000", p("photo.tif")],
                       check=True)
        print("\nOne edge map of 4000x3000, 1 bit a pixel (1500000 bytes):")
        for name, what in (("edges.bmp", "hard edges and noise"),
                           ("photo.tif", "photo-like")):
            sizes = {}
            for fmt in ("tiff", "png"):
                target = p(f"map.{fmt}")
                subprocess.run([TOOL, "--format", fmt, "--bits", "1",
                                p(name), target], check=True,
                               stdout=subprocess.DEVNULL)
                sizes[fmt] = os.path.getsize(target)
            print(f"  {what:22s} G4 TIFF {sizes['tiff']:8d} bytes, "
                  f"PNG {sizes['png']:8d} bytes, "
                  f"TIFF / PNG {sizes['tiff'] / sizes['png']:.2f}")
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
