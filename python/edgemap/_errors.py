"""The exception for each status code of the library.

For the statuses of files the library leaves the system's reason in errno
(a missing file, a permission, a full disk, a name too long), which becomes
the OSError's errno, so that a caller can catch FileNotFoundError or
PermissionError as with open(). Where it left none, the cause is found here,
after the failure, by asking the file system the same question the library
asked."""

from __future__ import annotations

import errno
import os
import stat

from . import _native

# typing is only for type checkers (which take any TYPE_CHECKING as true):
# importing it would double the package's import time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    _Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Statuses that mean the library refuses the image: as a source, or in the
# target format asked for (TARGET_TOO_LARGE).
_BITMAP_STATUSES = frozenset(
    (
        _native.ERROR_HEADER,
        _native.ERROR_BIT_COUNT,
        _native.ERROR_TOO_LARGE,
        _native.ERROR_TRUNCATED,
        _native.ERROR_UNSUPPORTED,
        _native.ERROR_PIXEL_LIMIT,
        _native.ERROR_CORRUPT,
        _native.ERROR_NOT_IMAGE,
        _native.ERROR_TARGET_TOO_LARGE,
    )
)


class BitmapError(ValueError):
    """An image the library refuses: a bitmap shorter than its header, with
    fewer than 24 bits per pixel, a pixel array too large, or shorter than
    its pixel array; a format, colour space or depth the library does not
    handle; none of BMP, PNG and JPEG at all (where the conversion is not
    edgemap 1.1's, which takes any source for a bitmap); more pixels than
    the pixel limit; corrupt or cut compressed data (a PNG or a JPEG); an
    edge map too large for the target format (a BMP of 4 GiB or more).
    ``status`` is the library's code (an ``edgemap.ERROR_`` constant),
    ``strerror`` its sentence, ``filename`` the source path when the image
    came from a file (else None)."""

    status: int
    strerror: str
    filename: _Path | None

    def __init__(
        self, status: int, strerror: str, filename: _Path | None = None
    ) -> None:
        message = strerror if filename is None else f"{strerror}: {filename!r}"
        super().__init__(message)
        self.status = status
        self.strerror = strerror
        self.filename = filename

    def __reduce__(self) -> tuple[type[BitmapError], tuple[int, str, _Path | None]]:
        # Whole across processes (multiprocessing, Dask): the default would
        # call the class with the message alone.
        return type(self), (self.status, self.strerror, self.filename)


# The name for every format the library reads. The class is the one 1.2
# raised and keeps its name, which tracebacks, type(e).__name__ and pickles
# show, so code that catches or prints BitmapError sees what it always saw.
ImageError = BitmapError


_NONBLOCK = getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)


def _open_errno(path: _Path, flags: int) -> int | None:
    """errno of opening path as the library did, or None if it opens now."""
    try:
        fd = os.open(path, flags | _NONBLOCK)
    except OSError as e:
        return e.errno
    os.close(fd)
    return None


def _source_errno(source: _Path) -> int | None:
    """Why the library could not open source: the system's reason, or
    ESPIPE for a FIFO, which the library refuses without one (a read from
    it could wait forever for a writer). ESPIPE ("Illegal seek") is what a
    pipe gives an operation that needs a file: the reason, in errno's
    words."""
    cause = _open_errno(source, os.O_RDONLY)
    if cause is not None:
        return cause
    try:
        fifo = stat.S_ISFIFO(os.stat(source).st_mode)
    except OSError as e:
        return e.errno
    return errno.ESPIPE if fifo else None


def _target_errno(target: _Path) -> int | None:
    """Why the library could not create target: the target is a folder or
    cannot be opened for writing, or its folder is missing or closed to us."""
    if os.path.isdir(target):
        return errno.EISDIR
    if os.path.lexists(target):
        cause = _open_errno(target, os.O_WRONLY)
        if cause is not None:
            return cause
    folder = os.path.dirname(target) or os.path.curdir
    try:
        mode = os.stat(folder).st_mode
    except OSError as e:
        return e.errno
    if not stat.S_ISDIR(mode):
        return errno.ENOTDIR
    effective = os.access in os.supports_effective_ids
    if not os.access(folder, os.W_OK | os.X_OK, effective_ids=effective):
        return errno.EACCES
    return None


def _os_error(cause: int | None, strerror: str, path: _Path) -> OSError:
    if cause is None:
        error = OSError(f"{strerror}: {path!r}")
        error.strerror = strerror
        error.filename = path
        return error
    # OSError(errno, ...) is FileNotFoundError, PermissionError, ... by errno.
    return OSError(cause, strerror, path)


def error_for(
    status: int,
    source: _Path | None = None,
    target: _Path | None = None,
    cause: int = 0,
) -> Exception:
    """The exception to raise for a failed status, with ``.status`` set.
    source and target are the paths of a file conversion, if any, and cause
    the errno the library left for it (0 for none)."""
    strerror = _native.strerror(status)
    src = None if source is None else os.fspath(source)
    dst = None if target is None else os.fspath(target)
    error: Exception
    if status in _BITMAP_STATUSES:
        if (status == _native.ERROR_HEADER and src is not None
                and os.path.isdir(src)):
            error = OSError(errno.EISDIR, strerror, src)
        else:
            error = BitmapError(status, strerror, src)
    elif status == _native.ERROR_OPEN_SOURCE and src is not None:
        error = _os_error(cause or _source_errno(src), strerror, src)
    elif status == _native.ERROR_OPEN_TARGET and dst is not None:
        error = _os_error(cause or _target_errno(dst), strerror, dst)
    elif status == _native.ERROR_WRITE and dst is not None:
        error = _os_error(cause or None, strerror, dst)
    elif status == _native.ERROR_NO_MEMORY:
        error = MemoryError(strerror)
    elif status == _native.ERROR_ARGUMENT:
        error = ValueError(strerror)
    else:
        error = RuntimeError(f"{strerror} (status {status})")
    error.status = status  # type: ignore[attr-defined]
    return error
