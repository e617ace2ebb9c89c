"""Black-and-white Sobel edge maps of images and image files.

    >>> import numpy as np, edgemap
    >>> image = np.zeros((4, 4, 3), np.uint8); image[1:3, 1:3] = 255
    >>> edgemap.mask(image).sum()
    16

- detect(image) gives the edge map of a uint8 (H, W, 3|4) array, mask(image)
  the same as a bool (H, W) array;
- convert(source, target) converts an image file (a bitmap, a PNG, a
  JPEG, a TIFF or a WebP) to a bitmap, a PNG or a TIFF, convert_bytes(data)
  an image in memory; format=, bits= and max_pixels= choose the target and
  the pixel limit, orient=True turns the map upright by the photo's EXIF
  orientation.

A pixel is an edge (0 in detect's result, True in mask's) where the Sobel
gradient magnitude of the gray levels (the truncated mean of the first
three channels; 0 outside the image) reaches the threshold, 90 by default.
The work runs in the compiled library with the GIL released.

Failures raise ImageError (a ValueError; BitmapError is the same class,
its name before PNG and JPEG) for an image the library refuses, OSError
for a file it cannot read or write, TypeError or ValueError for an
argument; those that come from the library carry its status code as
.status, one of the ERROR_ constants here.
"""

from ._native import (
    ERROR_ARGUMENT,
    ERROR_BIT_COUNT,
    ERROR_CORRUPT,
    ERROR_HEADER,
    ERROR_NO_MEMORY,
    ERROR_NOT_IMAGE,
    ERROR_OPEN_SOURCE,
    ERROR_OPEN_TARGET,
    ERROR_PIXEL_LIMIT,
    ERROR_TARGET_TOO_LARGE,
    ERROR_TOO_LARGE,
    ERROR_TRUNCATED,
    ERROR_UNSUPPORTED,
    ERROR_WRITE,
    OK,
    convert,
    convert_bytes,
    detect,
    mask,
    version as _version,
)
from ._errors import BitmapError, ImageError

__version__: str = _version()

__all__ = [
    "BitmapError",
    "ERROR_ARGUMENT",
    "ERROR_BIT_COUNT",
    "ERROR_CORRUPT",
    "ERROR_HEADER",
    "ERROR_NO_MEMORY",
    "ERROR_NOT_IMAGE",
    "ERROR_OPEN_SOURCE",
    "ERROR_OPEN_TARGET",
    "ERROR_PIXEL_LIMIT",
    "ERROR_TARGET_TOO_LARGE",
    "ERROR_TOO_LARGE",
    "ERROR_TRUNCATED",
    "ERROR_UNSUPPORTED",
    "ERROR_WRITE",
    "ImageError",
    "OK",
    "convert",
    "convert_bytes",
    "detect",
    "mask",
]
