"""The man page renders with man(1) and lists every option --help shows.

usage: man_page_test.py CLI MAN_PAGE"""
import os
import re
import subprocess
import sys

cli, page = sys.argv[1:3]
usage = subprocess.run([cli, "--help"], capture_output=True, text=True,
                       check=True).stdout
options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", usage))
rendered = subprocess.run(
    ["man", "-l", page], capture_output=True, text=True, check=True,
    env={**os.environ, "LC_ALL": "C", "MANWIDTH": "200"}).stdout
words = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", rendered))
missing = sorted(options - words)
if not rendered.startswith("EDGEMAP(1)") or missing or len(options) < 8:
    sys.exit(f"man page: renders {rendered[:20]!r}, lacks {missing} "
             f"of --help's {sorted(options)}")
print(f"man page lists all {len(options)} options of --help")
