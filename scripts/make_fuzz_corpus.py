#!/usr/bin/env python3
"""Writes the fuzz harnesses' starting inputs under fuzz/corpus/.

Run from anywhere; the output is deterministic, so running it again gives
the committed files byte for byte.
"""
import os
import random
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz",
                    "corpus")


def bmp(width, height, bit_count=24, data_offset=54, pixels=None, cut=0,
        pad=0xEE):
    """A bitmap file; pixels(r, c, b) gives each byte (default a pattern)."""
    bpp = (bit_count & 0xFF) >> 3
    rows = abs(height)
    row_bytes = bpp * width
    stride = (row_bytes + 3) & ~3
    header = bytearray(max(data_offset, 54))
    header[0:2] = b"BM"
    size = len(header) + stride * rows
    struct.pack_into("<IHHI", header, 2, size, 0, 0, data_offset)
    struct.pack_into("<IiiHH", header, 14, 40, width, height, 1, bit_count)
    header = header[:max(data_offset, 30)] if data_offset < 54 else header
    body = bytearray()
    for r in range(rows):
        for c in range(width):
            for b in range(bpp):
                body.append(pixels(r, c, b) if pixels else
                            (r * 37 + c * 101 + b * 59) * 2654435761 >> 24 & 255)
        body.extend([pad] * (stride - row_bytes))
    data = bytes(header) + bytes(body)
    return data[:len(data) - cut] if cut else data


def squares(r, c, b):
    return 255 if (r // 3 + c // 3) % 2 else 0


def write(harness, name, data):
    folder = os.path.join(ROOT, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def pipeline_inputs():
    return {
        "aligned_24bit.bmp": bmp(4, 3),
        "padded_24bit.bmp": bmp(5, 3),
        "checkerboard.bmp": bmp(9, 7, pixels=squares),
        "single_pixel.bmp": bmp(1, 1),
        "top_down.bmp": bmp(6, -4),
        "bgra_v5_header.bmp": bmp(5, 4, bit_count=32, data_offset=138),
        "wide_pixels_48bit.bmp": bmp(3, 2, bit_count=48),
        "bit_count_high_byte.bmp": bmp(4, 2, bit_count=0x1218),
        "small_data_offset.bmp": bmp(4, 2, data_offset=30),
        "zero_width.bmp": bmp(0, 5),
        "last_pad_missing.bmp": bmp(5, 2, cut=1),
        "pixels_cut_short.bmp": bmp(4, 3, cut=4),
        "bit_count_8.bmp": bmp(4, 3)[:28] + b"\x08\x00" + bmp(4, 3)[30:],
        "header_only.bmp": bmp(4, 3)[:30],
        "huge_dimensions.bmp": bmp(2, 2)[:18] + struct.pack("<ii", 70000, 70000)
        + bmp(2, 2)[26:],
    }


def state_step(control, content=b""):
    if control & 3 in (0, 1):
        return bytes([control])
    return bytes([control]) + struct.pack("<H", len(content)) + content


def state_inputs():
    good = bmp(5, 3)
    other = bmp(3, 4, bit_count=32)
    bad = bmp(4, 3, cut=4)
    return {
        "load_then_vanish.bin": state_step(2, good) + state_step(0),
        "target_fails_then_vanish.bin":
            state_step(2 | 4, good) + state_step(0),
        "bad_then_vanish.bin": state_step(2, good) + state_step(2, bad)
        + state_step(0),
        "directory_source.bin": state_step(2, good) + state_step(1)
        + state_step(0),
        "same_file.bin": state_step(2 | 8, good) + state_step(2 | 8, other)
        + state_step(0),
        "replace_and_shrink.bin": state_step(2, good) + state_step(3, other)
        + state_step(2, good[:60]) + state_step(0),
    }


def kernel_input(width, height, bpp_byte, threshold_mode, threshold, pixels,
                 fill=0, base=0, amplitude=0, layout=0):
    head = struct.pack("<HBBB", width - 1, height - 1, bpp_byte,
                       threshold_mode)
    return head + threshold + bytes([fill, base, amplitude, layout]) + pixels


def kernels_inputs():
    rng = random.Random(4)
    noise = bytes(rng.randrange(256) for _ in range(997))
    raw = lambda t: struct.pack("<d", t)
    return {
        "noise_threshold_90.bin": kernel_input(37, 9, 0, 0, raw(90.0), noise),
        "wide_rows_bgra.bin": kernel_input(260, 3, 200, 0, raw(90.0), noise),
        "nan_threshold.bin": kernel_input(17, 4, 0, 0, raw(float("nan")),
                                          noise),
        "negative_infinity.bin": kernel_input(33, 5, 0, 0, raw(float("-inf")),
                                              noise),
        "sqrt_boundary.bin": kernel_input(40, 6, 0, 1,
                                          struct.pack("<I", 8101)[:3] + b"\x03",
                                          noise),
        "edges_of_squares.bin": kernel_input(
            64, 12, 0, 2, struct.pack("<h", 90),
            bytes(squares(i // 64, i % 64, 0) for i in range(64 * 12))),
        "six_byte_pixels.bin": kernel_input(11, 7, 229, 0, raw(45.5), noise),
        "single_pixel.bin": kernel_input(1, 1, 0, 0, raw(-1.0), b"\x80"),
        "gentle_noise_at_a_pixel.bin": kernel_input(
            97, 10, 0, 3, struct.pack("<HB", 300, 4), b"corpus", fill=1,
            base=100, amplitude=40),
        "steep_noise_bgra_at_a_pixel.bin": kernel_input(
            150, 7, 150, 3, struct.pack("<HB", 77, 5), b"x", fill=1, base=0,
            amplitude=255),
        # Mask, both row orders reversed, packed source rows, rows 1 to 5
        # of 7.
        "mask_bottom_up_middle_rows.bin": kernel_input(
            131, 7, 0, 0, raw(90.0), noise, layout=0b0101_1111),
        # Picture of 4-byte pixels, packed source rows, target bottom-up,
        # the last of 4 rows only.
        "bgra_bottom_up_last_row.bin": kernel_input(
            70, 4, 150, 0, raw(20.0), noise, layout=0b1100_1100),
    }


def memory_inputs():
    """A thread count, then a bitmap."""
    bitmaps = pipeline_inputs()
    return {
        "one_thread_padded.bin": b"\x01" + bitmaps["padded_24bit.bmp"],
        "automatic_checkerboard.bin": b"\x00" + bitmaps["checkerboard.bmp"],
        "four_threads_tall.bin": b"\x04" + bmp(3, 40, pixels=squares),
        "two_threads_bgra.bin": b"\x02" + bitmaps["bgra_v5_header.bmp"],
        "three_threads_top_down.bin": b"\x03" + bmp(7, -9),
        "pixels_cut_short.bin": b"\x02" + bitmaps["pixels_cut_short.bmp"],
        "huge_dimensions.bin": b"\x01" + bitmaps["huge_dimensions.bmp"],
    }


def main():
    for harness, inputs in (("pipeline", pipeline_inputs()),
                            ("state", state_inputs()),
                            ("kernels", kernels_inputs()),
                            ("memory", memory_inputs())):
        for name, data in inputs.items():
            write(harness, name, data)


if __name__ == "__main__":
    main()
