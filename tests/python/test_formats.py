"""PNG and JPEG sources, made here, against the reference run on their
decoded pixels; every target format and depth; and the images the library
refuses. The PNGs come from a small encoder below, which writes what Pillow
cannot (2- and 4-bit gray, 16-bit colour, Adam7 interlacing) with every
row filter and ancillary chunks around split IDAT chunks; the JPEGs come
from Pillow, whose libjpeg-turbo decodes them as the library does
(integer DCT, smooth upsampling)."""
import io
import struct
import zlib

import numpy as np
import pytest
from PIL import Image

import edgemap

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}  # by PNG colour type
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4),
         (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]  # x, y, step x, step y


def chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body)))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def filtered(rows, bpp):
    """The rows, each behind a filter byte: None, Sub, Up, Average, Paeth
    in turn."""
    out, prior = bytearray(), bytes(len(rows[0]))
    for i, row in enumerate(rows):
        kind = i % 5
        out.append(kind)
        for x, value in enumerate(row):
            a = row[x - bpp] if x >= bpp else 0
            c = prior[x - bpp] if x >= bpp else 0
            guess = (0, a, prior[x], (a + prior[x]) // 2,
                     paeth(a, prior[x], c))[kind]
            out.append((value - guess) & 255)
        prior = row
    return bytes(out)


def packed(row, depth):
    """A row of samples (W, C) as PNG bytes: big-endian 16-bit, or packed
    high bits first below 8."""
    if depth == 16:
        return row.astype(">u2").tobytes()
    bits = np.unpackbits(row.astype(np.uint8).reshape(-1, 1), axis=1)
    return np.packbits(bits[:, 8 - depth:].ravel()).tobytes()


def png(samples, colour, depth, interlace=0, palette=None, width=None):
    h, w, c = samples.shape
    bpp = max(1, c * depth // 8)
    data = b""
    for x0, y0, dx, dy in ADAM7 if interlace else [(0, 0, 1, 1)]:
        part = samples[y0::dy, x0::dx]
        if part.size:
            data += filtered([packed(r, depth) for r in part], bpp)
    z = zlib.compress(data)
    header = struct.pack(">IIBBBBB", w if width is None else width, h, depth,
                         colour, 0, 0, interlace)
    chunks = [chunk(b"IHDR", header), chunk(b"tEXt", b"Comment\0edges")]
    if palette is not None:  # with alpha per entry, which must not matter
        chunks += [chunk(b"PLTE", palette.tobytes()),
                   chunk(b"tRNS", bytes(range(len(palette))))]
    chunks += [chunk(b"IDAT", z[:len(z) // 2]), chunk(b"IDAT", z[len(z) // 2:]),
               chunk(b"tIME", struct.pack(">HBBBBB", 2026, 1, 2, 3, 4, 5)),
               chunk(b"IEND", b"")]
    return SIGNATURE + b"".join(chunks)


def scene(h, w, c, top, start):
    """Flat blocks on the left (edges only at their seams), on the right
    noise of a third of the range, whose gradients straddle the threshold
    (so that a gray level off by one shows); samples 0 to top."""
    rng = np.random.default_rng(start)
    blocks = rng.integers(0, top + 1, (h // 4 + 1, w // 5 + 1, c))
    image = blocks.repeat(4, 0).repeat(5, 1)[:h, :w]
    image[:, w // 2:] = rng.integers(top // 3, top - top // 3 + 1,
                                     (h, w - w // 2, c))
    return image


def expected(rgb, threshold=90.0):
    """The target of an 8-bit gray PNG: the reference on the pixels."""
    return np.where(edgemap.mask(np.ascontiguousarray(rgb), threshold), 0,
                    255).astype(np.uint8)


def png_case(colour, depth, interlace, h, w, start=1):
    """A PNG and the RGB its pixels decode to by the library's gray rule."""
    c = CHANNELS[colour]
    rng = np.random.default_rng(start)
    samples = scene(h, w, c, (1 << min(depth, 8)) - 1, start)
    palette = None
    if depth == 16:  # the low byte must not matter
        samples = samples << 8 | rng.integers(0, 256, samples.shape)
        colours = samples >> 8
    elif colour == 3:
        palette = rng.integers(0, 256, (1 << depth, 3), dtype=np.uint8)
        colours = palette[samples[..., 0]]
    else:
        colours = samples * 255 // ((1 << depth) - 1)
    if colours.shape[2] < 3:  # gray, maybe with alpha
        colours = colours[..., :1].repeat(3, 2)
    rgb = colours[..., :3]
    return png(samples, colour, depth, interlace, palette), rgb.astype(np.uint8)


def decoded(data):
    return np.asarray(Image.open(io.BytesIO(data)).convert("L"))


def compare(got, want, what):
    wrong = np.argwhere(got != want)
    assert not len(wrong), f"{what}: {len(wrong)} pixels differ, first " \
        f"(row, column) {wrong[:8].tolist()}"


SIZES = [(1, 1), (6, 9), (21, 37)]


@pytest.mark.parametrize("h, w", SIZES)
@pytest.mark.parametrize("interlace", [0, 1])
@pytest.mark.parametrize("colour, depth", [
    (0, 1), (0, 2), (0, 4), (0, 8), (0, 16), (2, 8), (2, 16),
    (3, 1), (3, 2), (3, 4), (3, 8), (4, 8), (4, 16), (6, 8), (6, 16)])
def test_png_exact(colour, depth, interlace, h, w):
    data, rgb = png_case(colour, depth, interlace, h, w)
    if depth <= 8:  # the encoder itself, checked by another decoder
        pillow = np.asarray(Image.open(io.BytesIO(data)).convert("RGBA"))
        assert np.array_equal(pillow[..., :3], rgb)
    out = edgemap.convert_bytes(data, format="png", bits=8)
    assert Image.open(io.BytesIO(out)).mode == "L"
    compare(decoded(out), expected(rgb), f"type {colour} {depth}-bit")


@pytest.mark.parametrize("h, w", [(1, 1), (13, 17), (33, 41), (48, 64)])
@pytest.mark.parametrize("progressive", [False, True])
@pytest.mark.parametrize("mode, subsampling", [
    ("L", 0), ("RGB", 0), ("RGB", 1), ("RGB", 2)])  # 4:4:4, 4:2:2, 4:2:0
def test_jpeg_exact(mode, subsampling, progressive, h, w):
    image = Image.fromarray(scene(h, w, 3, 255, h * w).astype(np.uint8))
    file = io.BytesIO()
    image.convert(mode).save(file, "JPEG", quality=90, progressive=progressive,
                             subsampling=subsampling)
    rgb = np.asarray(Image.open(io.BytesIO(file.getvalue())).convert("RGB"))
    out = edgemap.convert_bytes(file.getvalue(), format="png", bits=8)
    compare(decoded(out), expected(rgb), f"{mode} {subsampling}")


def bitmap(rgb):
    file = io.BytesIO()
    Image.fromarray(rgb).save(file, "BMP")
    return file.getvalue()


@pytest.mark.parametrize("source", ["png", "bmp"])
@pytest.mark.parametrize("format, bits, magic, mode", [
    (None, None, None, None),  # a PNG source: 1-bit PNG; a bitmap: legacy
    ("png", 1, SIGNATURE, "1"),
    ("bmp", 1, b"BM", None),
    ("bmp", 8, b"BM", None),
    ("bmp", 24, b"BM", "RGB")])
def test_every_target(source, format, bits, magic, mode):
    data, rgb = png_case(2, 8, 0, 21, 37)  # odd rows: padding in BMP rows
    if source == "bmp":
        data = bitmap(rgb)
    out = edgemap.convert_bytes(data, 70.0, format=format, bits=bits)
    if format is None:
        magic, mode = (SIGNATURE, "1") if source == "png" else (b"BM", "RGB")
    assert out.startswith(magic)
    if mode:
        assert Image.open(io.BytesIO(out)).mode == mode
    if source == "png" and magic == b"BM" and bits == 24:
        assert int.from_bytes(out[10:14], "little") == 54
    compare(decoded(out), expected(rgb, 70.0), f"{source} to {format} {bits}")


@pytest.mark.parametrize("name, magic", [
    ("edges.png", SIGNATURE), ("edges.PNG", SIGNATURE), ("edges.Bmp", b"BM"),
    ("edges", SIGNATURE)])  # no extension: PNG for a PNG source
def test_format_from_target_name(tmp_path, name, magic):
    data, _ = png_case(0, 8, 0, 6, 9)
    (tmp_path / "source").write_bytes(data)
    edgemap.convert(tmp_path / "source", tmp_path / name)
    assert (tmp_path / name).read_bytes() == edgemap.convert_bytes(
        data, format="png" if magic == SIGNATURE else "bmp")


def jpeg(mode="RGB", size=(16, 16)):
    file = io.BytesIO()
    Image.new(mode, size, "red").save(file, "JPEG")
    return file.getvalue()


def huge_jpeg():
    data = bytearray(jpeg())
    sof = data.index(b"\xff\xc0")
    data[sof + 5:sof + 9] = struct.pack(">HH", 65000, 65000)
    return bytes(data)


def twelve_bit_jpeg():
    data = bytearray(jpeg())
    data[data.index(b"\xff\xc0") + 4] = 12  # the frame's sample precision
    return bytes(data)


def damaged_jpeg():
    """A baseline JPEG with 40 bytes amid its entropy-coded data zeroed: no
    marker made, but the rows run out before the data does."""
    file = io.BytesIO()
    Image.fromarray(scene(48, 64, 3, 255, 1).astype(np.uint8)).save(
        file, "JPEG", quality=90)
    data = bytearray(file.getvalue())
    sos = data.index(b"\xff\xda")
    start = sos + 2 + int.from_bytes(data[sos + 2:sos + 4], "big")
    middle = (start + len(data) - 2) // 2  # the data ends at EOI
    data[middle:middle + 40] = bytes(40)
    return bytes(data)


TINY = png_case(2, 8, 0, 6, 9)[0]


def chunk_spans(data):
    """A PNG's chunks as (type, start, end) in the file."""
    at, out = len(SIGNATURE), []
    while at < len(data):
        end = at + 12 + int.from_bytes(data[at:at + 4], "big")
        out.append((data[at + 4:at + 8], at, end))
        at = end
    return out


def bad_crc(kind):
    """TINY with a bit of its last `kind` chunk's CRC flipped."""
    data = bytearray(TINY)
    data[[end for k, _, end in chunk_spans(data) if k == kind][-1] - 1] ^= 1
    return bytes(data)


def without(kind):
    """TINY without its `kind` chunks."""
    kept = [TINY[at:end] for k, at, end in chunk_spans(TINY) if k != kind]
    return SIGNATURE + b"".join(kept)


def ihdr_only(w, h, idat):
    header = struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0)
    return SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", idat) \
        + chunk(b"IEND", b"")


SMALL = png_case(2, 8, 0, 21, 37)[0]
BAD = {
    "truncated PNG": (SMALL[:len(SMALL) // 2], edgemap.ERROR_CORRUPT),
    "truncated JPEG": (jpeg()[:300], edgemap.ERROR_CORRUPT),
    "IHDR's CRC": (bad_crc(b"IHDR"), edgemap.ERROR_CORRUPT),
    "the last IDAT's CRC": (bad_crc(b"IDAT"), edgemap.ERROR_CORRUPT),
    "IEND's CRC": (bad_crc(b"IEND"), edgemap.ERROR_CORRUPT),
    "corrupt JPEG data": (damaged_jpeg(), edgemap.ERROR_CORRUPT),
    "zero width": (ihdr_only(0, 5, zlib.compress(b"")), edgemap.ERROR_CORRUPT),
    "huge PNG": (ihdr_only(100000, 100000, b""), edgemap.ERROR_PIXEL_LIMIT),
    "huge JPEG": (huge_jpeg(), edgemap.ERROR_PIXEL_LIMIT),
    "CMYK JPEG": (jpeg("CMYK"), edgemap.ERROR_UNSUPPORTED),
    "12-bit JPEG": (twelve_bit_jpeg(), edgemap.ERROR_UNSUPPORTED),
    "garbage IDAT": (ihdr_only(8, 8, bytes(range(7, 250, 3))),
                     edgemap.ERROR_CORRUPT),
}


# As docs/c-api.md words them: written out, so that a wrong sentence fails.
SENTENCES = {
    edgemap.ERROR_CORRUPT:
        "the image's compressed data is corrupt or cut short",
    edgemap.ERROR_PIXEL_LIMIT:
        "the image has more pixels than the limit allows",
    edgemap.ERROR_UNSUPPORTED:
        "the image's format or colour space is not supported",
}


@pytest.mark.parametrize("what", BAD)
def test_refused(tmp_path, what):
    data, status = BAD[what]
    with pytest.raises(edgemap.BitmapError) as raised:
        edgemap.convert_bytes(data)
    assert raised.value.status == status, what
    assert str(raised.value) == SENTENCES[status]
    source = str(tmp_path / "source")
    (tmp_path / "source").write_bytes(data)
    with pytest.raises(edgemap.BitmapError) as raised:
        edgemap.convert(source, tmp_path / "edges.bmp")
    assert raised.value.status == status, what
    assert raised.value.filename == source
    assert str(raised.value) == f"{SENTENCES[status]}: {source!r}"
    assert list(tmp_path.iterdir()) == [tmp_path / "source"]


def test_image_error_is_bitmap_error():
    # One class under both names: 1.2's callers catch BitmapError.
    assert edgemap.ImageError is edgemap.BitmapError
    with pytest.raises(edgemap.ImageError) as raised:
        edgemap.convert_bytes(BAD["truncated PNG"][0])
    assert raised.value.status == edgemap.ERROR_CORRUPT
    assert isinstance(raised.value, ValueError)


@pytest.mark.parametrize("data", [b"\x89PNG\r\n\x1a\0" + SMALL[8:],
                                  b"\0\0\1\0\1\0" + bytes(60)],
                         ids=["damaged PNG signature", "icon"])
def test_no_known_format(tmp_path, data):
    # Where the conversion is not 1.1's, which takes any source for a bitmap.
    (tmp_path / "source").write_bytes(data)
    for call in (lambda: edgemap.convert_bytes(data, bits=1),
                 lambda: edgemap.convert(tmp_path / "source",
                                         tmp_path / "edges.png")):
        with pytest.raises(edgemap.BitmapError) as raised:
            call()
        assert raised.value.status == edgemap.ERROR_NOT_IMAGE
        assert raised.value.strerror == \
            "the source is not a BMP, PNG, JPEG, TIFF or WebP image"


@pytest.mark.parametrize("kind", [b"tEXt", b"tIME"])  # before, after IDAT
def test_damaged_ancillary_chunk_is_left_out(kind):
    # As libpng decodes by default: the pixels never depend on one.
    assert edgemap.convert_bytes(bad_crc(kind), format="png", bits=8) == \
        edgemap.convert_bytes(without(kind), format="png", bits=8)


@pytest.mark.parametrize("data", [SMALL, jpeg(size=(37, 21)), bitmap(
    png_case(2, 8, 0, 21, 37)[1])], ids=["png", "jpeg", "bmp"])
def test_pixel_limit_is_inclusive(data):
    edgemap.convert_bytes(data, max_pixels=37 * 21)
    with pytest.raises(edgemap.BitmapError) as raised:
        edgemap.convert_bytes(data, max_pixels=37 * 21 - 1)
    assert raised.value.status == edgemap.ERROR_PIXEL_LIMIT
    edgemap.convert_bytes(data, max_pixels=0)  # no limit


def test_too_large_for_a_bmp_target():
    # 65000 x 65000 pixels fit a PNG, but at 24 bits not a BMP's 32-bit size
    # field: refused before a row is decoded.
    with pytest.raises(edgemap.BitmapError) as raised:
        edgemap.convert_bytes(huge_jpeg(), format="bmp", max_pixels=0)
    assert raised.value.status == edgemap.ERROR_TARGET_TOO_LARGE
    assert str(raised.value) == \
        "the edge map is too large for the target format"


@pytest.mark.parametrize("options, error", [
    ({"format": "jpeg"}, ValueError), ({"format": "PNG "}, ValueError),
    ({"format": 2}, TypeError), ({"bits": 2}, ValueError),
    ({"bits": -1}, ValueError), ({"bits": 2**70}, ValueError),
    ({"bits": 1.0}, TypeError), ({"format": "png", "bits": 24}, ValueError),
    ({"max_pixels": -1}, ValueError), ({"max_pixels": 2**64}, ValueError),
    ({"max_pixels": "many"}, TypeError)])
def test_bad_options(tmp_path, options, error):
    for call in (lambda: edgemap.convert_bytes(SMALL, **options),
                 lambda: edgemap.convert("no-such-file", tmp_path / "e.png",
                                         **options)):
        with pytest.raises(error):  # judged before any file is opened
            call()


@pytest.mark.parametrize("format", [None, "auto", "png"])
def test_24_bits_for_a_png_target_however_chosen(tmp_path, format):
    (tmp_path / "png").write_bytes(SMALL)
    (tmp_path / "bmp").write_bytes(bitmap(png_case(2, 8, 0, 6, 9)[1]))
    options = {"format": format, "bits": 24, "max_pixels": 0}
    calls = {
        "from memory": lambda: edgemap.convert_bytes(SMALL, **options),
        "by the source": lambda: edgemap.convert(
            tmp_path / "png", tmp_path / "edges", **options),
        "by the name": lambda: edgemap.convert(
            tmp_path / "bmp", tmp_path / "edges.png", **options),
    }
    for how, call in calls.items():
        with pytest.raises(ValueError) as raised:
            call()
        assert type(raised.value) is ValueError, how
        assert str(raised.value) == \
            "bits: expected None, 1 or 8 for a PNG target, got 24", how
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bmp", "png"]
