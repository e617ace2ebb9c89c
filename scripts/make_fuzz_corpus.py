#!/usr/bin/env python3
"""Writes the fuzz harnesses' starting inputs under fuzz/corpus/.

Run from anywhere; the output is deterministic, so running it again gives
the committed files byte for byte.
"""
import io
import os
import random
import struct
import zlib

from PIL import Image

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

    def raw(t):
        return struct.pack("<d", t)

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


def bitmap(width, height, bits, pixels, palette=b"", info=40, compression=0,
           masks=(), colors=0):
    """A bitmap of any kind: an info header of `info` bytes (12: OS/2 1.x)
    with its masks in it or after it, the palette's entries as stored, then
    the pixel rows or RLE codes as given."""
    if info == 12:
        header = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        header = bytearray(struct.pack("<IiiHHIIiiII", 40, width, height, 1,
                                       bits, compression, 0, 0, 0, colors, 0))
        header += bytes(info - 40)
        header[0:4] = struct.pack("<I", info)
        packed = b"".join(struct.pack("<I", m) for m in masks)
        if info == 40:
            header += packed
        else:
            header[40:40 + len(packed)] = packed
    offset = 14 + len(header) + len(palette)
    return (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
            + bytes(header) + palette + pixels)


def packed_rows(width, height, bits):
    """Rows of `bits` a pixel, padded to 4 bytes, of a pattern with edges."""
    out = bytearray()
    for r in range(height):
        values = [(r // 2 * 5 + c // 3 * 11) * 2654435761 >> 20
                  & ((1 << bits) - 1) for c in range(width)]
        if bits >= 8:
            row = b"".join(v.to_bytes(bits // 8, "little") for v in values)
        else:
            row = bytearray((width * bits + 7) // 8)
            for c, v in enumerate(values):
                row[c * bits // 8] |= v << (8 - bits - c * bits % 8)
        out += row + bytes(-len(row) % 4)
    return bytes(out)


def colours(n, size=4):
    return b"".join(bytes([i * 40 % 256, 255 - i * 17 % 256, i * 7 % 256])
                    + bytes(size - 3) for i in range(n))


def bitmap_kinds():
    """One bitmap of each kind the legacy rules leave out, and two that are
    refused for what they are rather than for their depth."""
    rle8 = bytes([3, 9, 0, 4, 1, 2, 3, 4, 2, 7, 0, 0,      # runs, absolute
                  0, 3, 5, 6, 7, 0, 6, 1, 0, 0,            # absolute, padded
                  0, 2, 0, 0, 4, 0, 0, 0, 0, 1])           # a delta, the end
    rle4 = bytes([5, 0x12, 0, 4, 0x34, 0x56, 4, 0xab, 0, 0,
                  0, 6, 0x78, 0x9a, 0xbc, 0, 7, 0xde, 0, 0, 0, 1])
    return {
        "palette_1bit": bitmap(19, 7, 1, packed_rows(19, 7, 1), colours(2)),
        "palette_2bit": bitmap(13, 6, 2, packed_rows(13, 6, 2), colours(4)),
        "palette_4bit_top_down": bitmap(11, -5, 4, packed_rows(11, 5, 4),
                                        colours(16)),
        "gray_8bit": bitmap(10, 8, 8, packed_rows(10, 8, 8),
                            b"".join(bytes([i] * 3 + [0]) for i in range(256))),
        "rgb555_16bit": bitmap(9, 6, 16, packed_rows(9, 6, 16)),
        "rgb565_masks": bitmap(9, 6, 16, packed_rows(9, 6, 16), compression=3,
                               masks=(0xF800, 0x7E0, 0x1F)),
        "xbgr_32bit_v4": bitmap(7, 5, 32, packed_rows(7, 5, 32), info=108,
                                compression=3,
                                masks=(0xFF000000, 0xFF0000, 0xFF00, 0)),
        "os2_8bit": bitmap(8, 4, 8, packed_rows(8, 4, 8),
                           colours(256, 3), info=12),
        "os2_v2_4bit": bitmap(9, 4, 4, packed_rows(9, 4, 4), colours(16),
                              info=64),
        "rle8": bitmap(6, 4, 8, rle8, colours(256), compression=1),
        "rle4": bitmap(7, 3, 4, rle4, colours(16), compression=2),
        "rle8_past_its_rows": bitmap(4, 1, 8, bytes([0, 5, 1, 2, 3, 4, 5, 0]),
                                     colours(256), compression=1),
        "rgb444_masks": bitmap(4, 2, 16, packed_rows(4, 2, 16), compression=3,
                               masks=(0xF00, 0xF0, 0xF)),
    }


def stream_inputs():
    """An option byte (fuzz/stream_fuzz.cpp: bit 0 two threads, bits 1-2 a
    BMP target of 24, 1 or 8 bits or a PNG one), then a bitmap."""
    return {name + ".bin": bytes([index % 8]) + data
            for index, (name, data) in enumerate(sorted(
                bitmap_kinds().items()))}


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
        **{name + ".bin": bytes([index % 5]) + data for index, (name, data)
           in enumerate(sorted(bitmap_kinds().items()))},
    }


def options(fmt=0, bits=0, threads=1, limit=0, threshold=None):
    """The decoder harnesses' two option bytes (fuzz/image_fuzz.h): format
    0 AUTO, 1 BMP, 2 PNG; bits the index of the format's depth; limit the
    index of the pixel limit; threshold a byte, or None for 90."""
    first = fmt | bits << 2 | (threads == 2) << 4 | limit << 5
    if threshold is not None:
        first |= 0x80
    return bytes([first, threshold or 0])


def scene(width, height, channels, maximum=255):
    """Samples of a small picture with edges: a gradient, a square and a
    diagonal, the channels shifted against each other."""
    rows = []
    for r in range(height):
        row = []
        for c in range(width):
            inside = 3 <= r < height - 3 and 4 <= c < width - 4
            for k in range(channels):
                v = (c * 11 + r * 5 + k * 70) % 256
                if inside:
                    v = 255 - v // 4
                if r == c:
                    v = 0
                row.append(v * maximum // 255)
        rows.append(row)
    return rows


def chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body)))


ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4),
         (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def png(width, height, colour_type, depth, interlace=False, palette=None,
        extra=b""):
    """A PNG written here rather than by Pillow, which writes neither
    interlaced files nor every depth; filter type 0 on every row."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    maximum = (1 << depth) - 1 if colour_type != 3 else len(palette) // 3 - 1
    samples = scene(width, height, channels, maximum)

    def packed(rows, w):
        out = bytearray()
        for row in rows:
            out.append(0)
            if depth >= 8:
                for v in row[:w * channels]:
                    out += v.to_bytes(depth // 8, "big")
            else:
                bits = 0
                count = 0
                for v in row[:w * channels]:
                    bits = bits << depth | v
                    count += depth
                    if count == 8:
                        out.append(bits)
                        bits = count = 0
                if count:
                    out.append(bits << (8 - count))
        return out

    if interlace:
        raw = bytearray()
        for x0, y0, dx, dy in ADAM7:
            cols = range(x0, width, dx)
            rows = [sum((samples[r][c * channels:(c + 1) * channels]
                         for c in cols), [])
                    for r in range(y0, height, dy)]
            if cols and rows:
                raw += packed(rows, len(cols))
    else:
        raw = packed(samples, width)
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0,
                       int(interlace))
    plte = chunk(b"PLTE", bytes(palette)) if palette else b""
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + plte
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def png_inputs():
    """A flag byte (1: the harness rewrites the chunks' CRCs), two option
    bytes, then a PNG of each colour type."""
    palette = [v for i in range(16) for v in (i * 17, 255 - i * 17, i * 8)]
    text = (chunk(b"tEXt", b"Comment\x00corpus")
            + chunk(b"gAMA", struct.pack(">I", 45455)))
    inputs = {
        "gray_1bit.bin": options() + png(19, 11, 0, 1),
        "gray_4bit_bmp_1bit.bin": options(1, 1) + png(13, 9, 0, 4),
        "gray_8bit_text_chunks.bin": options(2, 2)
        + png(16, 12, 0, 8, extra=text),
        "gray_16bit_two_threads.bin": options(threads=2) + png(12, 40, 0, 16),
        "rgb_8bit_bmp_24bit.bin": options(1, 3) + png(17, 10, 2, 8),
        "rgb_16bit.bin": options(threshold=40) + png(9, 7, 2, 16),
        "palette_4bit_bmp_8bit.bin": options(1, 2)
        + png(15, 9, 3, 4, palette=palette),
        "gray_alpha_8bit.bin": options(2, 1) + png(10, 8, 4, 8),
        "rgba_8bit_bmp_default.bin": options(1) + png(14, 10, 6, 8),
        "interlaced_rgb.bin": options() + png(21, 13, 2, 8, interlace=True),
        "interlaced_palette_bmp_1bit.bin": options(1, 1, threads=2)
        + png(11, 9, 3, 2, interlace=True, palette=palette[:12]),
        "above_pixel_limit.bin": options(limit=2) + png(20, 20, 0, 8),
    }
    inputs = {name: b"\x01" + data for name, data in inputs.items()}
    inputs["idat_crc_wrong.bin"] = (b"\x00" + options()
                                    + idat_crc_wrong(png(8, 8, 0, 8)))
    return inputs


def idat_crc_wrong(data):
    at = data.index(b"IDAT")
    end = at + 4 + struct.unpack(">I", data[at - 4:at])[0]
    return data[:end] + bytes(b ^ 0xFF for b in data[end:end + 4]) \
        + data[end + 4:]


def jpeg(width, height, mode, **settings):
    channels = {"L": 1, "RGB": 3}[mode]
    samples = scene(width, height, channels)
    picture = Image.frombytes(mode, (width, height),
                              bytes(v for row in samples for v in row))
    out = io.BytesIO()
    picture.save(out, "JPEG", quality=75, **settings)
    return out.getvalue()


def jpeg_inputs():
    """Two option bytes, then a JPEG made by Pillow's libjpeg."""
    return {
        "baseline_gray.bin": options() + jpeg(24, 16, "L"),
        "baseline_420_bmp_1bit.bin": options(1, 1) + jpeg(32, 16, "RGB",
                                                          subsampling=2),
        "baseline_444_png_8bit.bin": options(2, 2) + jpeg(16, 16, "RGB",
                                                          subsampling=0),
        "baseline_422_two_threads.bin": options(threads=2)
        + jpeg(24, 48, "RGB", subsampling=1),
        "progressive_420.bin": options(threshold=50)
        + jpeg(30, 20, "RGB", subsampling=2, progressive=True),
        "progressive_gray_bmp_24bit.bin": options(1, 3)
        + jpeg(17, 13, "L", progressive=True),
        "above_pixel_limit.bin": options(limit=2) + jpeg(24, 24, "L"),
        "cut_short.bin": options() + jpeg(24, 16, "RGB")[:300],
    }


def webp(width, height, mode, frames=1, **settings):
    """A WebP made by Pillow's libwebp; frames > 1 an animation."""
    channels = {"RGB": 3, "RGBA": 4}[mode]
    pictures = []
    for k in range(frames):
        samples = scene(width, height, channels)
        pictures.append(Image.frombytes(
            mode, (width, height),
            bytes((v + 40 * k) % 256 for row in samples for v in row)))
    out = io.BytesIO()
    pictures[0].save(out, "WEBP", save_all=frames > 1,
                     append_images=pictures[1:], **settings)
    return out.getvalue()


def webp_inputs():
    """A flag byte (1: the harness sets the RIFF size to the bytes there
    are), two option bytes, then a WebP of each kind."""
    exif = Image.Exif()
    exif[0x0112] = 6
    inputs = {
        "lossy.bin": options() + webp(24, 16, "RGB", quality=60),
        "lossless_bmp_1bit.bin": options(1, 1)
        + webp(20, 14, "RGB", lossless=True),
        "lossy_alpha_png_8bit.bin": options(2, 2)
        + webp(18, 12, "RGBA", quality=60),
        "lossless_alpha_two_threads.bin": options(threads=2)
        + webp(16, 30, "RGBA", lossless=True),
        "exif_and_icc.bin": options(threshold=50)
        + webp(16, 12, "RGB", quality=60, exif=exif.tobytes(),
               icc_profile=b"\x00" * 40),
        "animated.bin": options() + webp(12, 10, "RGB", frames=2, quality=60),
        "above_pixel_limit.bin": options(limit=2) + webp(24, 24, "RGB"),
    }
    inputs = {name: b"\x01" + data for name, data in inputs.items()}
    inputs["cut_short.bin"] = (b"\x00" + options()
                               + webp(24, 16, "RGB", quality=60)[:200])
    return inputs


def tiff_file(pages, order="<", big=False):
    """A TIFF of the given pages, each a list of (tag, type, values) and
    the bytes of its strips or tiles, whose offsets and lengths are added
    here (in the tags given, strips or tiles, by their first entry's
    tag)."""
    offset_type = 16 if big else 4
    width = {3: "H", 4: "I", 16: "Q"}
    out = bytearray(b"II" if order == "<" else b"MM")
    out += (struct.pack(order + "HHHQ", 43, 8, 0, 0) if big
            else struct.pack(order + "HI", 42, 0))
    link = 8 if big else 4
    for entries, segments, (offsets_tag, counts_tag) in pages:
        offsets = []
        for segment in segments:
            offsets.append(len(out))
            out += segment
            out += b"\x00" * (len(out) % 2)
        entries = sorted(entries + [
            (offsets_tag, offset_type, offsets),
            (counts_tag, offset_type, [len(s) for s in segments])])
        directory = len(out)
        struct.pack_into(order + ("Q" if big else "I"), out, link, directory)
        head = "Q" if big else "H"
        field = 8 if big else 4
        size = len(struct.pack(order + head, 0)) + len(entries) * (
            12 if not big else 20) + field
        extra = bytearray()
        table = bytearray(struct.pack(order + head, len(entries)))
        for tag, kind, values in entries:
            data = b"".join(struct.pack(order + width[kind], v)
                            for v in values)
            table += struct.pack(order + "HH" + ("Q" if big else "I"), tag,
                                 kind, len(values))
            if len(data) <= field:
                table += data + b"\x00" * (field - len(data))
            else:
                table += struct.pack(order + ("Q" if big else "I"),
                                     directory + size + len(extra))
                extra += data + b"\x00" * (len(data) % 2)
        link = directory + len(table)
        table += b"\x00" * field
        out += table + extra
    return bytes(out)


def packbits(data):
    """PackBits of literal runs only: what every decoder must take."""
    out = bytearray()
    for at in range(0, len(data), 128):
        part = data[at:at + 128]
        out += bytes([len(part) - 1]) + part
    return bytes(out)


def tiff(width, height, photometric, bits, spp=None, extra=(),
         compression=1, planar=1, tile=0, rows=5, order="<", big=False,
         colormap=None, tags=(), pages=1):
    """A TIFF written here, as Pillow writes few of its kinds: the scene's
    samples in strips of `rows` rows or square tiles, contiguous or in
    planes, compressed with none (1), Deflate (8), PackBits (32773) or, for
    YCbCr (6), JPEG (7) strips made by Pillow's libjpeg."""
    colours = 3 if photometric in (2, 6) else 1
    spp = spp or colours + len(extra)
    samples = scene(width, height, spp, (1 << bits) - 1)
    planes = spp if planar == 2 else 1

    def pack(values):
        if bits >= 8:
            return b"".join(v.to_bytes(bits // 8,
                                       "little" if order == "<" else "big")
                            for v in values)
        out = bytearray((len(values) * bits + 7) // 8)
        for i, v in enumerate(values):
            out[i * bits // 8] |= v << (8 - bits - i * bits % 8)
        return bytes(out)

    def region(plane, x0, y0, w, h):
        """Rows [y0, y0 + h) and columns [x0, x0 + w), zero past the
        image, of one plane (or all the samples when contiguous)."""
        per = 1 if planes > 1 else spp
        rows_out = []
        for r in range(y0, y0 + h):
            values = []
            for c in range(x0, x0 + w):
                for k in range(per):
                    inside = r < height and c < width
                    values.append(samples[r][c * spp + (plane if per == 1
                                                        and planes > 1
                                                        else k)]
                                  if inside else 0)
            rows_out.append(values)
        return rows_out

    def encode(rows_out, w, h):
        if compression == 7:
            picture = Image.frombytes("RGB", (w, h), bytes(
                v for row in rows_out for v in row))
            out = io.BytesIO()
            picture.save(out, "JPEG", quality=75, subsampling=2)
            return out.getvalue()
        if compression == 32773:  # row by row, as TIFF packs them
            return b"".join(packbits(pack(row)) for row in rows_out)
        raw = b"".join(pack(row) for row in rows_out)
        return zlib.compress(raw, 9) if compression == 8 else raw

    segments = []
    for plane in range(planes):
        if tile:
            for y in range(0, height, tile):
                for x in range(0, width, tile):
                    segments.append(encode(region(plane, x, y, tile, tile),
                                           tile, tile))
        else:
            for y in range(0, height, rows):
                h = min(rows, height - y)
                segments.append(encode(region(plane, 0, y, width, h),
                                       width, h))
    entries = [(256, 4, [width]), (257, 4, [height]),
               (258, 3, [bits] * spp), (259, 3, [compression]),
               (262, 3, [photometric]), (277, 3, [spp]),
               (284, 3, [planar])] + list(tags)
    if extra:
        entries.append((338, 3, list(extra)))
    if colormap:
        entries.append((320, 3, colormap))
    if photometric == 6:
        entries.append((530, 3, [2, 2]))
    if tile:
        entries += [(322, 4, [tile]), (323, 4, [tile])]
        where = (324, 325)
    else:
        entries.append((278, 4, [rows]))
        where = (273, 279)
    page = (entries, segments, where)
    return tiff_file([page] * pages, order, big)


def pillow_tiff(width, height, mode, compression):
    """A TIFF made by Pillow through libtiff (LZW, G3, G4, JPEG)."""
    channels = {"1": 1, "L": 1, "RGB": 3}[mode]
    samples = scene(width, height, channels)
    picture = Image.frombytes("L" if mode == "1" else mode, (width, height),
                              bytes(v for row in samples for v in row))
    out = io.BytesIO()
    picture.convert(mode).save(out, "TIFF", compression=compression)
    return out.getvalue()


def tiff_inputs():
    """Two option bytes (format AUTO gives a TIFF target), then a TIFF of
    each kind."""
    colormap = [(i * 4111 + k * 20000) % 65536 for k in range(3)
                for i in range(16)]
    return {
        "gray_1bit_g4.bin": options() + pillow_tiff(27, 14, "1", "group4"),
        "gray_1bit_g3_png_8bit.bin": options(2, 2)
        + pillow_tiff(19, 9, "1", "group3"),
        "gray_2bit_packbits_bmp_1bit.bin": options(1, 1)
        + tiff(13, 9, 1, 2, compression=32773),
        "white_4bit_deflate.bin": options(0, 2)
        + tiff(15, 11, 0, 4, compression=8),
        "gray_8bit_lzw_two_threads.bin": options(threads=2)
        + pillow_tiff(16, 30, "L", "tiff_lzw"),
        "gray_16bit_big_endian.bin": options(0, 2)
        + tiff(12, 10, 1, 16, order=">"),
        "rgb_8bit_jpeg.bin": options() + pillow_tiff(24, 16, "RGB", "jpeg"),
        "ycbcr_jpeg.bin": options(1, 3)
        + tiff(32, 20, 6, 8, compression=7, rows=16),
        "rgb_16bit_separate.bin": options(threshold=40)
        + tiff(9, 7, 2, 16, planar=2, compression=8),
        "palette_4bit_tiles.bin": options(2, 1)
        + tiff(21, 19, 3, 4, tile=16, colormap=colormap),
        "rgba_premultiplied.bin": options(1, 2)
        + tiff(10, 8, 2, 8, extra=(1,), compression=32773),
        "bigtiff_rgb_tiles.bin": options()
        + tiff(18, 17, 2, 8, tile=16, big=True),
        "orientation_two_pages.bin": options(0, 1)
        + tiff(11, 9, 1, 8, tags=[(274, 3, [6])], pages=2),
        "above_pixel_limit.bin": options(limit=2) + tiff(20, 20, 1, 8),
        "cut_short.bin": options() + tiff(16, 12, 2, 8, compression=8)[:200],
    }


def main():
    for harness, inputs in (("pipeline", pipeline_inputs()),
                            ("state", state_inputs()),
                            ("kernels", kernels_inputs()),
                            ("memory", memory_inputs()),
                            ("stream", stream_inputs()),
                            ("png", png_inputs()),
                            ("jpeg", jpeg_inputs()),
                            ("webp", webp_inputs()),
                            ("tiff", tiff_inputs())):
        for name, data in inputs.items():
            write(harness, name, data)


if __name__ == "__main__":
    main()
