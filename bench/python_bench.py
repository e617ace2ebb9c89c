#!/usr/bin/env python3
"""The Python package side by side with what a Python user has instead, in
one run: edgemap.detect and edgemap.mask, the exact result composed of cv2
calls (when python3-opencv is installed; each composition is checked byte
for byte against edgemap.detect before it is timed) and
skimage.filters.sobel with a threshold (when python3-skimage is installed;
a different, floating-point answer, timed for context). Then what the
binding costs: the overhead of a call on a 64 x 64 image beyond the C call
itself, against a ctypes binding of the same library, and the time of
`import edgemap` after `import numpy`.

    python_bench.py [--rounds N] [--sizes 1920x1080,4000x3000]

Every measurement is taken in interleaved rounds (each candidate once per
round, in turn) and reported as the median over the rounds with the range;
ratios are medians over medians of the same run. One thread everywhere
unless a row says otherwise (cv2.setNumThreads(1)).
"""
import argparse
import ctypes
import gc
import math
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import edgemap

THRESHOLD = 90.0


def synthetic_image(width, height):
    """Shaded discs and bars with hard edges over a gradient, plus noise:
    the picture bench/synthetic_image.h draws, with NumPy's noise."""
    r = np.arange(height, dtype=np.int64)[:, None]
    c = np.arange(width, dtype=np.int64)[None, :]
    base = 40 + 120 * c // (width + 1) + 40 * r // (height + 1)
    cw, ch = width // 8 + 1, height // 6 + 1
    dx, dy = c % cw - cw // 2, r % ch - ch // 2
    radius = min(cw, ch) // 3
    base = base + 70 * (dx * dx + dy * dy < radius * radius)
    base = base - 35 * ((c // (width // 16 + 1)) % 5 == 2)
    noise = np.random.default_rng(0x2545F491).integers(
        -12, 13, (height, width, 3))
    image = base[..., None] + noise + np.array([0, 10, 20])
    return np.clip(image, 0, 255).astype(np.uint8)


def least_black_sum(threshold):
    """The least gradient sum the reference turns black, as the library
    finds it: sqrt(s) - threshold >= 0 in doubles."""
    lo, hi = 0, 2 * 1020 * 1020 + 1
    while lo < hi:
        mid = (lo + hi) // 2
        if math.sqrt(mid) - threshold >= 0.0:
            hi = mid
        else:
            lo = mid + 1
    return lo


def cv2_compositions(cv2, shape):
    """The exact edge map from cv2 calls, three ways, as bench/edges_bench.cpp
    composes it: gray as the truncated mean (weights of 1/3 less 1/3,
    rounded), two 3x3 Sobel filters with a zero border, then the squares'
    sum compared with the least black sum (16-bit responses squared into
    float, or float responses), or cv2.magnitude compared with its root,
    and the mask spread to three channels. Every buffer is allocated once,
    as in the C++ benchmark, but for the last way."""
    h, w = shape[:2]
    third = np.float32(1.0 / 3.0)
    weights = np.array([[third, third, third, -third]], np.float32)
    black = np.float32(least_black_sum(THRESHOLD))
    root = np.float32(math.sqrt(black))
    gray = np.empty((h, w), np.uint8)
    gx, gy = np.empty((h, w), np.int16), np.empty((h, w), np.int16)
    fx, fy = np.empty((h, w), np.float32), np.empty((h, w), np.float32)
    mask = np.empty((h, w), np.uint8)
    zero = cv2.BORDER_CONSTANT

    def sobel_16s(src, dst):
        cv2.transform(src, weights, dst=gray)
        cv2.Sobel(gray, cv2.CV_16S, 1, 0, dst=gx, ksize=3, borderType=zero)
        cv2.Sobel(gray, cv2.CV_16S, 0, 1, dst=gy, ksize=3, borderType=zero)
        cv2.multiply(gx, gx, dst=fx, dtype=cv2.CV_32F)
        cv2.multiply(gy, gy, dst=fy, dtype=cv2.CV_32F)
        cv2.add(fx, fy, dst=fx)
        cv2.compare(fx, float(black), cv2.CMP_LT, dst=mask)  # 255: white
        return cv2.cvtColor(mask, cv2.COLOR_GRAY2BGR, dst=dst)

    def sobel_32f(src, dst):
        cv2.transform(src, weights, dst=gray)
        cv2.Sobel(gray, cv2.CV_32F, 1, 0, dst=fx, ksize=3, borderType=zero)
        cv2.Sobel(gray, cv2.CV_32F, 0, 1, dst=fy, ksize=3, borderType=zero)
        cv2.multiply(fx, fx, dst=fx)
        cv2.multiply(fy, fy, dst=fy)
        cv2.add(fx, fy, dst=fx)
        cv2.compare(fx, float(black), cv2.CMP_LT, dst=mask)
        return cv2.cvtColor(mask, cv2.COLOR_GRAY2BGR, dst=dst)

    def magnitude(src, dst):
        cv2.transform(src, weights, dst=gray)
        cv2.Sobel(gray, cv2.CV_32F, 1, 0, dst=fx, ksize=3, borderType=zero)
        cv2.Sobel(gray, cv2.CV_32F, 0, 1, dst=fy, ksize=3, borderType=zero)
        cv2.magnitude(fx, fy, magnitude=fx)
        cv2.compare(fx, float(root), cv2.CMP_LT, dst=mask)
        return cv2.cvtColor(mask, cv2.COLOR_GRAY2BGR, dst=dst)

    def magnitude_new_arrays(src, dst):
        # The same calls as a Python user writes them, each result a new
        # array: what edgemap.detect without out= compares with.
        gray = cv2.transform(src, weights)
        fx = cv2.Sobel(gray, cv2.CV_32F, 1, 0, ksize=3, borderType=zero)
        fy = cv2.Sobel(gray, cv2.CV_32F, 0, 1, ksize=3, borderType=zero)
        mask = cv2.compare(cv2.magnitude(fx, fy), float(root), cv2.CMP_LT)
        return cv2.cvtColor(mask, cv2.COLOR_GRAY2BGR)

    return {"cv2 16-bit Sobel": sobel_16s, "cv2 float Sobel": sobel_32f,
            "cv2 magnitude": magnitude,
            "cv2 magnitude, new arrays": magnitude_new_arrays}


def skimage_sobel(filters):
    """skimage's Sobel on the mean gray, thresholded at the same magnitude
    (skimage divides its responses by 4 and the root of 2)."""
    scaled = THRESHOLD / (4.0 * math.sqrt(2.0))

    def run(image):
        return filters.sobel(image.mean(axis=2)) >= scaled

    return run


def calls_for(run, budget=0.05):
    """How many calls make one timed sample of about budget seconds."""
    start = time.perf_counter()
    run()
    once = max(time.perf_counter() - start, 1e-7)
    return max(1, min(100000, round(budget / once)))


def interleaved(candidates, rounds, self_timed=()):
    """{name: [seconds per call, one per round]}, the candidates taking
    turns within every round. Those named in self_timed time themselves
    and return seconds per call."""
    counts = {name: 1 if name in self_timed else calls_for(run)
              for name, run in candidates.items()}
    times = {name: [] for name in candidates}
    gc.disable()
    try:
        for _ in range(rounds):
            for name, run in candidates.items():
                n = counts[name]
                start = time.perf_counter()
                for _ in range(n):
                    result = run()
                elapsed = (time.perf_counter() - start) / n
                times[name].append(result if name in self_timed else elapsed)
    finally:
        gc.enable()
    return times


def spread(samples):
    return statistics.median(samples), min(samples), max(samples)


def large_images(sizes, rounds, cv2, filters):
    print("| size | what | ms per call (median, range) | Mpixel/s | "
          "x fastest exact cv2 |")
    print("|---|---|---|---|---|")
    for width, height in sizes:
        image = synthetic_image(width, height)
        out, mask_out = np.empty_like(image), np.empty((height, width), bool)
        want = edgemap.detect(image)
        candidates = {
            "edgemap.detect": lambda: edgemap.detect(image, threads=1),
            "edgemap.detect, out=": lambda: edgemap.detect(
                image, out=out, threads=1),
            "edgemap.mask": lambda: edgemap.mask(image, threads=1),
            "edgemap.mask, out=": lambda: edgemap.mask(
                image, out=mask_out, threads=1),
            f"edgemap.detect, threads=0 ({os.cpu_count()} processors)":
                lambda: edgemap.detect(image, out=out),
        }
        exact = []
        if cv2 is not None:
            dst = np.empty_like(image)
            for name, compose in cv2_compositions(cv2, image.shape).items():
                dst.fill(0x55)
                if not np.array_equal(compose(image, dst), want):
                    print(f"| {width}x{height} | {name} | differs from "
                          "edgemap, not timed | | |")
                    continue
                candidates[name] = lambda c=compose: c(image, dst)
                exact.append(name)
        if filters is not None:
            candidates["skimage sobel + threshold (not exact)"] = (
                lambda run=skimage_sobel(filters): run(image))
        times = {name: spread(t)
                 for name, t in interleaved(candidates, rounds).items()}
        fastest = min((times[n][0] for n in exact), default=None)
        for name, (median, low, high) in sorted(times.items(),
                                                key=lambda kv: kv[1][0]):
            ratio = f"{fastest / median:.1f}" if fastest else "-"
            print(f"| {width}x{height} | {name} | {median * 1e3:.2f} "
                  f"({low * 1e3:.2f}-{high * 1e3:.2f}) | "
                  f"{width * height / median / 1e6:.0f} | {ratio} |")


def ctypes_detect():
    """detect as a ctypes binding of the same library would do it, with the
    same checks and copies, for the overhead comparison."""
    library = ctypes.CDLL(os.path.join(os.path.dirname(edgemap.__file__),
                                       "libedgemap.so.1"))
    c_detect = library.edgemap_detect
    c_detect.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p,
                         ctypes.c_ssize_t, ctypes.c_uint32, ctypes.c_uint32,
                         ctypes.c_uint32, ctypes.c_double, ctypes.c_uint]
    c_detect.restype = ctypes.c_int

    def detect(image, threshold=THRESHOLD, *, out=None, threads=0):
        if not isinstance(image, np.ndarray) or image.dtype != np.uint8:
            raise TypeError("expected a uint8 array")
        if image.ndim != 3 or image.shape[2] not in (3, 4):
            raise ValueError("expected shape (H, W, 3) or (H, W, 4)")
        h, w, c = image.shape
        if image.strides[1:] != (c, 1):
            image = np.ascontiguousarray(image)
        if out is None:
            out = np.empty_like(image)
        status = c_detect(image.ctypes.data, image.strides[0], out.ctypes.data,
                          out.strides[0], w, h, c, threshold, threads)
        if status != 0:
            raise ValueError(edgemap._native.strerror(status))
        return out

    return detect


def c_call_loop():
    """Seconds per edgemap_detect call in a C loop (bench/c_call_loop.cpp,
    built beside the benchmarks), or None where that library is missing.
    EDGEMAP_C_CALL_LOOP names it; else the build folder's is taken."""
    path = os.environ.get("EDGEMAP_C_CALL_LOOP") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench",
        "libedgemap_c_call_loop.so")
    if not os.path.exists(path):
        return None
    seconds = ctypes.CDLL(path).edgemap_bench_c_call_seconds
    seconds.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p,
                        ctypes.c_ssize_t, ctypes.c_uint32, ctypes.c_uint32,
                        ctypes.c_uint32, ctypes.c_double, ctypes.c_uint,
                        ctypes.c_uint]
    seconds.restype = ctypes.c_double

    def run(image, out, threshold, threads, repeats):
        h, w, c = image.shape
        return seconds(image.ctypes.data, image.strides[0], out.ctypes.data,
                       out.strides[0], w, h, c, threshold, threads, repeats)

    return run


def overhead(rounds):
    image = synthetic_image(64, 64)
    out, mask_out = np.empty_like(image), np.empty((64, 64), bool)
    via_ctypes = ctypes_detect()
    assert np.array_equal(via_ctypes(image), edgemap.detect(image))
    c_call_seconds = c_call_loop()
    if c_call_seconds is None:
        print("\n(the C loop, build/bench/libedgemap_c_call_loop.so, is not "
              "built: the binding's overhead is left out)")
        return
    repeats = calls_for(lambda: c_call_seconds(
        image, out, THRESHOLD, 1, 1000), 0.05) * 1000
    candidates = {
        "C call alone (edgemap_detect in a C loop)":
            lambda: c_call_seconds(image, out, THRESHOLD, 1, repeats),
        "edgemap.detect(image, out=out, threads=1)":
            lambda: edgemap.detect(image, out=out, threads=1),
        "edgemap.detect(image, threads=1)":
            lambda: edgemap.detect(image, threads=1),
        "edgemap.mask(image, out=out, threads=1)":
            lambda: edgemap.mask(image, out=mask_out, threads=1),
        "ctypes binding, out=out":
            lambda: via_ctypes(image, out=out, threads=1),
    }
    c_name = next(iter(candidates))
    times = interleaved(candidates, rounds, self_timed={c_name})
    c_call = statistics.median(times[c_name])
    print("\n| 64x64, one thread | us per call (median, range) | "
          "beyond the C call |")
    print("|---|---|---|")
    for name, samples in times.items():
        median, low, high = spread(samples)
        print(f"| {name} | {median * 1e6:.2f} ({low * 1e6:.2f}-"
              f"{high * 1e6:.2f}) | {(median - c_call) * 1e6:+.2f} |")


def import_time(rounds):
    code = ("import time, numpy; t = time.perf_counter(); import edgemap; "
            "print(time.perf_counter() - t)")
    samples = [float(subprocess.run([sys.executable, "-c", code], check=True,
                                    capture_output=True, text=True).stdout)
               for _ in range(rounds)]
    median, low, high = spread(samples)
    print(f"\n`import edgemap` after `import numpy`: {median * 1e3:.1f} ms "
          f"(median of {rounds} fresh interpreters, {low * 1e3:.1f}-"
          f"{high * 1e3:.1f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="1920x1080,4000x3000")
    args = parser.parse_args()
    sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    try:
        import cv2

        cv2.setNumThreads(1)
        cv2_version = cv2.__version__
    except ImportError:
        cv2, cv2_version = None, "not installed"
    try:
        from skimage import __version__ as skimage_version, filters
    except ImportError:
        filters, skimage_version = None, "not installed"
    print(f"edgemap {edgemap.__version__} ({os.path.dirname(edgemap.__file__)}),"
          f" numpy {np.__version__}, cv2 {cv2_version}, "
          f"skimage {skimage_version}, Python {sys.version.split()[0]}\n")
    large_images(sizes, args.rounds, cv2, filters)
    overhead(args.rounds)
    import_time(args.rounds)


if __name__ == "__main__":
    main()
