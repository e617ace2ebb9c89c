"""examples/dask_folder.py on a local cluster of two worker processes:
forty bitmaps, two of them broken."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

import edgemap

pytest.importorskip("dask.distributed")
EXAMPLE = (pathlib.Path(os.environ["EDGEMAP_SOURCE_DIR"]) / "examples" /
           "dask_folder.py")


def test_a_folder_across_two_workers(tmp_path):
    source, target = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    rng = np.random.default_rng(40)
    for i in range(38):
        mode = "RGBA" if i % 5 == 0 else "RGB"
        size = (int(rng.integers(1, 90)), int(rng.integers(1, 60)))
        pixels = rng.integers(0, 256, size[::-1] + (len(mode),), np.uint8)
        Image.fromarray(pixels, mode).save(source / f"image{i:02}.bmp")
    whole = (source / "image01.bmp").read_bytes()
    (source / "cut.bmp").write_bytes(whole[:-7])
    gray = bytearray(whole)
    gray[28] = 7  # bits per pixel no bitmap has
    (source / "gray.bmp").write_bytes(gray)
    (source / "notes.txt").write_text("not a bitmap, not converted")

    run = subprocess.run([sys.executable, str(EXAMPLE), str(source),
                          str(target), "--workers", "2"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 1, run.stderr
    assert run.stdout.splitlines() == [
        f"converted 38 of 40 bitmaps into {target}",
        "failed: cut.bmp: BitmapError: the source is shorter than its pixel "
        f"array: '{source / 'cut.bmp'}'",
        "failed: gray.bmp: BitmapError: the source has fewer than 24 bits "
        f"per pixel: '{source / 'gray.bmp'}'",
    ]
    assert sorted(p.name for p in target.iterdir()) == [
        f"image{i:02}.bmp" for i in range(38)]
    for i in range(38):
        name = f"image{i:02}.bmp"
        assert ((target / name).read_bytes() ==
                edgemap.convert_bytes((source / name).read_bytes())), name
