"""The wheel, as `python3 -m build --no-isolation --wheel` makes it from
the repository, installed without network into a fresh virtual
environment that borrows the system's numpy, and used there with no help
from the environment (no PYTHONPATH, no LD_LIBRARY_PATH). The wheel takes
the module and the library this build tree made (EDGEMAP_BUILT_PACKAGE)
rather than building them a second time."""
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np

import edgemap

SOURCE_DIR = pathlib.Path(os.environ["EDGEMAP_SOURCE_DIR"])
SHAPES = SOURCE_DIR / "samples" / "shapes.bmp"

IN_THE_VENV = f"""
import numpy as np, edgemap, sys
assert edgemap.__file__.startswith(sys.prefix), edgemap.__file__
maps = open("/proc/self/maps").read().split()
loaded = {{p for p in maps if p.endswith("/libedgemap.so.1")}}
assert loaded == {{edgemap.__file__.rsplit("/", 1)[0] + "/libedgemap.so.1"}}, loaded
image = np.zeros((5, 6, 3), np.uint8); image[2:, 3:] = 200
print(edgemap.__version__, int(edgemap.mask(image).sum()))
sys.stdout.flush()
sys.stdout.buffer.write(edgemap.convert_bytes(open({str(SHAPES)!r}, "rb").read()))
"""


def test_wheel_in_a_fresh_virtual_environment(tmp_path):
    def run(*command, **kw):
        return subprocess.run(command, check=True, capture_output=True, **kw)

    # What the wheel is built from at the repository's root, copied: the
    # build starts from nothing (an earlier build's files would go into the
    # wheel) and leaves the repository as it was.
    repository = tmp_path / "repository"
    shutil.copytree(SOURCE_DIR / "python" / "edgemap",
                    repository / "python" / "edgemap",
                    ignore=shutil.ignore_patterns("__pycache__"))
    for name in ("pyproject.toml", "setup.py", "VERSION", "python/README.md"):
        shutil.copy(SOURCE_DIR / name, repository / name)
    built = os.path.dirname(edgemap.__file__)
    run(sys.executable, "-m", "build", "--no-isolation", "--wheel",
        "--outdir", str(tmp_path / "dist"), str(repository),
        env={**os.environ, "EDGEMAP_BUILT_PACKAGE": built})
    wheels = list((tmp_path / "dist").glob("edgemap-*.whl"))
    assert len(wheels) == 1, wheels
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", str(venv))
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "--no-index", str(wheels[0]))

    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    out = run(python, "-c", IN_THE_VENV, cwd=tmp_path, env=env).stdout
    first, _, bitmap = out.partition(b"\n")
    image = np.zeros((5, 6, 3), np.uint8)
    image[2:, 3:] = 200
    assert first.decode() == (
        f"{edgemap.__version__} {int(edgemap.mask(image).sum())}")
    assert bitmap == edgemap.convert_bytes(SHAPES.read_bytes())
