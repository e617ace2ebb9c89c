"""orient=True against the turned image: the map of a photo carrying an
EXIF orientation, turned by the library, must be the map of the photo
turned first by Pillow (ImageOps.exif_transpose) and stored upright. The
image is neither square nor symmetric, so a turn taken for another shows."""
import io

import numpy as np
import pytest
from PIL import Image, ImageOps

import edgemap

ORIENTATION = 0x0112


def scene():
    rng = np.random.default_rng(7)
    rgb = rng.integers(0, 256, (17, 23, 3), dtype=np.uint8)
    rgb[4:9, 3:15] = (250, 240, 230)  # an off-centre block, strong edges
    return Image.fromarray(rgb)


def encoded(image, kind, orientation):
    exif = Image.Exif()
    if orientation is not None:
        exif[ORIENTATION] = orientation
    out = io.BytesIO()
    if kind == "png":
        image.save(out, "PNG", exif=exif)
    else:
        image.save(out, kind.upper(), exif=exif.tobytes(), quality=95)
    return out.getvalue()


def upright_png(data):
    """The source as viewers show it, as a PNG without EXIF."""
    out = io.BytesIO()
    ImageOps.exif_transpose(Image.open(io.BytesIO(data))).convert(
        "RGB").save(out, "PNG")
    return out.getvalue()


@pytest.mark.parametrize("orientation", [None, 1, 2, 3, 4, 5, 6, 7, 8])
@pytest.mark.parametrize("kind", ["png", "jpeg"])
@pytest.mark.parametrize("bits", [1, 8])
def test_turned_map_is_map_of_turned_image(kind, orientation, bits):
    data = encoded(scene(), kind, orientation)
    want = edgemap.convert_bytes(upright_png(data), format="png", bits=bits)
    got = edgemap.convert_bytes(data, format="png", bits=bits, orient=True)
    assert got == want
    # Without orient the map is as the pixels are stored.
    stored = io.BytesIO()
    Image.open(io.BytesIO(data)).convert("RGB").save(stored, "PNG")
    assert edgemap.convert_bytes(data, format="png", bits=bits) == \
        edgemap.convert_bytes(stored.getvalue(), format="png", bits=bits)


@pytest.mark.parametrize("format", ["bmp", "png"])
def test_turned_map_in_every_target(format):
    data = encoded(scene(), "png", 6)
    want = edgemap.convert_bytes(upright_png(data), format=format, bits=1)
    assert edgemap.convert_bytes(data, format=format, bits=1,
                                 orient=True) == want
