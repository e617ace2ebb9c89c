"""edgemap.convert and edgemap.convert_bytes against the command-line
tool's output for the same bitmaps, and the exception for every way a file
conversion fails."""
import errno
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import tempfile

import pytest

import edgemap

SOURCE_DIR = pathlib.Path(os.environ["EDGEMAP_SOURCE_DIR"])
CLI = os.environ.get("EDGEMAP_CLI")
BITMAPS = sorted((SOURCE_DIR / "fuzz" / "corpus" / "pipeline").glob("*.bmp"))
BITMAPS.append(SOURCE_DIR / "samples" / "shapes.bmp")
SHAPES = SOURCE_DIR / "samples" / "shapes.bmp"

# The line the command-line tool prints for each failed status.
LINES = {
    "fopen fp_s error": edgemap.ERROR_OPEN_SOURCE,
    "fread fp_s error": edgemap.ERROR_HEADER,
    "check bit_count error": edgemap.ERROR_BIT_COUNT,
    "malloc images_s error": edgemap.ERROR_TOO_LARGE,
    "malloc image_t error": edgemap.ERROR_NO_MEMORY,
    "fread images_s error": edgemap.ERROR_TRUNCATED,
}

# The library's sentence for each status these tests meet, as docs/c-api.md
# words them: written out, so that a wrong sentence fails.
SENTENCES = {
    edgemap.ERROR_OPEN_SOURCE: "the source cannot be opened",
    edgemap.ERROR_HEADER: "the source is too short to be a bitmap",
    edgemap.ERROR_BIT_COUNT: "the source has fewer than 24 bits per pixel",
    edgemap.ERROR_TOO_LARGE: "the source's pixel array is too large",
    edgemap.ERROR_TRUNCATED: "the source is shorter than its pixel array",
    edgemap.ERROR_OPEN_TARGET: "the target cannot be created",
    edgemap.ERROR_WRITE: "the target cannot be written completely",
}


def cli_result(source, target, threshold=90.0):
    """The tool's target bytes, or the status its failure line names."""
    run = subprocess.run([CLI, "--threshold", repr(threshold), str(source),
                          str(target)], capture_output=True, text=True)
    if run.returncode == 0:
        return pathlib.Path(target).read_bytes()
    assert run.returncode == 1, run.stderr
    if not run.stdout:  # refused outside the legacy job: one line, its own
        why = run.stderr.rstrip("\n").rsplit(": ", 1)[1]
        return next(k for k, v in SENTENCES.items() if v == why)
    first = run.stdout.splitlines()[0]
    assert first in LINES, run.stdout
    return LINES[first]


@pytest.fixture
def bitmaps(tmp_path):
    """The corpus and sample, two files too short to be bitmaps, and one
    of a depth no bitmap has (one of fewer than 24 bits that is a real
    bitmap is converted by the new reader, by the tool as by Python)."""
    (tmp_path / "empty.bmp").write_bytes(b"")
    (tmp_path / "short.bmp").write_bytes(SHAPES.read_bytes()[:29])
    seven = bytearray(SHAPES.read_bytes())
    seven[28] = 7
    (tmp_path / "seven.bmp").write_bytes(seven)
    return BITMAPS + [tmp_path / "empty.bmp", tmp_path / "short.bmp",
                      tmp_path / "seven.bmp"]


@pytest.mark.skipif(CLI is None, reason="EDGEMAP_CLI names no tool")
@pytest.mark.parametrize("threshold", [90.0, 200.0, float("nan")])
def test_same_bytes_as_the_tool(bitmaps, tmp_path, threshold):
    statuses = set()
    for source in bitmaps:
        want = cli_result(source, tmp_path / "cli.bmp", threshold)
        target = tmp_path / "target.bmp"
        target.write_bytes(b"earlier")
        if isinstance(want, bytes):
            edgemap.convert(source, target, threshold)
            assert target.read_bytes() == want, source.name
            assert edgemap.convert_bytes(source.read_bytes(),
                                         threshold) == want, source.name
            continue
        statuses.add(want)
        with pytest.raises(edgemap.BitmapError) as from_file:
            edgemap.convert(source, target, threshold)
        with pytest.raises(edgemap.BitmapError) as from_bytes:
            edgemap.convert_bytes(source.read_bytes(), threshold)
        for raised in (from_file.value, from_bytes.value):
            assert raised.status == want, source.name
        assert str(from_bytes.value) == SENTENCES[want]
        assert str(from_file.value) == f"{SENTENCES[want]}: {str(source)!r}"
        assert from_file.value.filename == os.fspath(source)
        assert target.read_bytes() == b"earlier", "a failure left the target"
    assert statuses == {edgemap.ERROR_HEADER, edgemap.ERROR_BIT_COUNT,
                        edgemap.ERROR_TOO_LARGE, edgemap.ERROR_TRUNCATED}


@pytest.mark.parametrize("path", [str, os.fsencode, pathlib.Path])
def test_paths_of_every_kind(tmp_path, path):
    target = tmp_path / "edges.bmp"
    edgemap.convert(path(SHAPES), path(target), threads=1)
    assert target.read_bytes() == edgemap.convert_bytes(SHAPES.read_bytes())


def test_any_bytes_like_object():
    import numpy as np

    data = SHAPES.read_bytes()
    want = edgemap.convert_bytes(data)
    doubled = bytes(b for pair in zip(data, data) for b in pair)
    for like in (bytearray(data), memoryview(data),
                 np.frombuffer(data, np.uint8),
                 memoryview(doubled)[::2]):  # not contiguous: copied
        assert edgemap.convert_bytes(like) == want


def test_version_is_the_project_version():
    want = (SOURCE_DIR / "VERSION").read_text().strip()
    assert edgemap.__version__ == want and re.fullmatch(r"\d+\.\d+\.\d+", want)


@pytest.fixture
def shared_dir():
    """A folder another user may enter, for the unprivileged cases."""
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o755)
    yield pathlib.Path(folder)
    shutil.rmtree(folder)


def as_user(call):
    """Runs call in a child process that, when this one is root, has become
    nobody; returns what it raised as (type name, status)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        outcome = "none none"
        try:
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            call()
        except Exception as e:  # noqa: BLE001 - reported to the parent
            outcome = f"{type(e).__name__} {getattr(e, 'status', None)}"
        finally:
            os.write(write_end, outcome.encode())
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        name, status = pipe.read().split()
    os.waitpid(pid, 0)
    return name, None if status == "None" else int(status)


def test_file_errors(shared_dir):
    d = shared_dir
    shutil.copy(SHAPES, d / "source.bmp")
    shutil.copy(SHAPES, d / "unreadable.bmp")
    os.chmod(d / "unreadable.bmp", 0)
    (d / "folder").mkdir()
    (d / "closed").mkdir()
    os.chmod(d / "closed", 0o555)
    os.mkfifo(d / "fifo", 0o644)
    src, out = d / "source.bmp", d / "out.bmp"
    E = errno
    cases = [
        ("missing source", lambda: edgemap.convert(d / "none.bmp", out),
         FileNotFoundError, edgemap.ERROR_OPEN_SOURCE, E.ENOENT),
        ("folder as source", lambda: edgemap.convert(d / "folder", out),
         IsADirectoryError, edgemap.ERROR_HEADER, E.EISDIR),
        ("FIFO as source", lambda: edgemap.convert(d / "fifo", out),
         OSError, edgemap.ERROR_OPEN_SOURCE, E.ESPIPE),
        ("target in a missing folder",
         lambda: edgemap.convert(src, d / "none" / "out.bmp"),
         FileNotFoundError, edgemap.ERROR_OPEN_TARGET, E.ENOENT),
        ("folder as target", lambda: edgemap.convert(src, d / "folder"),
         IsADirectoryError, edgemap.ERROR_OPEN_TARGET, E.EISDIR),
        ("target under a file", lambda: edgemap.convert(src, src / "x.bmp"),
         NotADirectoryError, edgemap.ERROR_OPEN_TARGET, E.ENOTDIR),
        ("name too long", lambda: edgemap.convert(src, d / ("x" * 300)),
         OSError, edgemap.ERROR_OPEN_TARGET, E.ENAMETOOLONG),
        ("unreadable source",
         lambda: edgemap.convert(d / "unreadable.bmp", out),
         PermissionError, edgemap.ERROR_OPEN_SOURCE, E.EACCES),
        ("target in a closed folder",
         lambda: edgemap.convert(src, d / "closed" / "out.bmp"),
         PermissionError, edgemap.ERROR_OPEN_TARGET, E.EACCES),
    ]
    if os.path.exists("/dev/full"):
        cases.append(("full disk", lambda: edgemap.convert(src, "/dev/full"),
                      OSError, edgemap.ERROR_WRITE, E.ENOSPC))
    for what, call, error, status, cause in cases:
        assert as_user(call) == (error.__name__, status), what
        if error is PermissionError:  # root may read and write anything
            continue
        with pytest.raises(error) as raised:
            call()
        assert raised.value.status == status, what
        assert raised.value.strerror == SENTENCES[status], what
        assert raised.value.errno == cause, what


@pytest.mark.parametrize("call, error", [
    (lambda: edgemap.convert("a\0b.bmp", "out.bmp"), ValueError),
    (lambda: edgemap.convert(3, "out.bmp"), TypeError),
    (lambda: edgemap.convert(SHAPES, None), TypeError),
    (lambda: edgemap.convert(SHAPES, "out.bmp", threads=-2), ValueError),
    (lambda: edgemap.convert(SHAPES, "out.bmp", threads=2**63), ValueError),
    (lambda: edgemap.convert_bytes(b"", threads=2**64 + 1), ValueError),
    (lambda: edgemap.convert_bytes("BM"), TypeError),
    (lambda: edgemap.convert_bytes(None), TypeError),
])
def test_argument_errors(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("status, source, error, message", [
    (edgemap.ERROR_NO_MEMORY, None, MemoryError, "out of memory"),
    (edgemap.ERROR_ARGUMENT, None, ValueError, "invalid argument"),
    (-100, None, RuntimeError, "unknown status code (status -100)"),
    (edgemap.ERROR_TRUNCATED, None, edgemap.BitmapError,
     "the source is shorter than its pixel array"),
    (edgemap.ERROR_BIT_COUNT, "a.bmp", edgemap.BitmapError,
     "the source has fewer than 24 bits per pixel: 'a.bmp'"),
    (edgemap.ERROR_OPEN_SOURCE, "/no/such.bmp", FileNotFoundError,
     "[Errno 2] the source cannot be opened: '/no/such.bmp'"),
])
def test_exceptions_survive_pickling(status, source, error, message):
    # As they must to come back from another process (Dask, multiprocessing).
    from edgemap._errors import error_for

    for raised in (error_for(status, source),
                   pickle.loads(pickle.dumps(error_for(status, source)))):
        assert type(raised) is error and raised.status == status
        assert str(raised) == message
