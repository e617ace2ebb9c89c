#!/usr/bin/env python3
"""Instructions per pixel of the NEON kernel's inner loops, from objdump -d.

    scripts/arm_loops.py ARMHF_BUILD AARCH64_BUILD [--list]

Takes two Release builds made with cmake/toolchains/armhf.cmake and
cmake/toolchains/aarch64.cmake and counts, for 3-byte pixels, the two
loops of the `neon` kernel (vector_rows.h over neon::vec):
- the vertical loop: gray levels of the row below, and per column the
  vertical parts of both operators; it loads pixels with ld3 (vld3.8) and
  takes thirds with sqdmulh (vqdmulh);
- the edge loop: gx, gy, the verdicts and the target pixels; it narrows
  the verdicts with subhn (vsubhn) and stores pixels with st3 (vst3.8).

Loops the compiler vectorised on its own from the plain loops (row tails,
other pixel sizes) may move pixels with ld3 too; they take neither
sqdmulh nor subhn and are left out.

A loop is a branch back to an address at or before it in the same function,
with every instruction from that address to the branch, loop control and
register moves included; an innermost loop holds no other. The compiler
makes a copy of each loop per instantiation of the driver (mask and
picture targets share the vertical loop's code); the copies must be the
same size. The pixels one pass of a loop handles are those its ld3/st3
instructions move: 16 for a {.16b} register list, 8 for {.8b} or for
armhf's vld3.8/vst3.8 of three d registers. --list prints every loop
counted, instruction by instruction.
"""
import argparse
import pathlib
import re
import subprocess
import sys

FUNCTION = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
TARGET = re.compile(r"\b([0-9a-f]+) <")
# Branches to an address: b, b.ne, bne, bne.n, bne.w, cbz, cbnz, tbz, tbnz;
# not bl or blx (calls) nor bx.
BRANCH = re.compile(
    r"^(b|b\.[a-z]{2}|b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)"
    r"(\.[nw])?|b\.[nw]|cbn?z(\.[nw])?|tbn?z)$")
INTERLEAVED = re.compile(r"^v?(ld3|st3)(\.8)?$")
OBJECTS = "CMakeFiles/edgemap_core.dir/src/edges/arm"


def functions(text):
    name, body = None, []
    for line in text.splitlines():
        m = FUNCTION.match(line)
        if m:
            if name is not None:
                yield name, body
            name, body = m.group(2), []
            continue
        m = INSTRUCTION.match(line)
        if m and name is not None:
            body.append((int(m.group(1), 16), m.group(2), m.group(3)))
    if name is not None:
        yield name, body


def innermost_loops(body):
    found = []
    for end, (address, mnemonic, operands) in enumerate(body):
        m = TARGET.search(operands)
        if not BRANCH.match(mnemonic) or not m:
            continue
        target = int(m.group(1), 16)
        start = next((i for i, ins in enumerate(body) if ins[0] == target),
                     None)
        if target <= address and start is not None:
            found.append((start, end))
    return [body[s:e + 1] for s, e in found
            if not any((s2, e2) != (s, e) and s <= s2 and e2 <= e
                       for s2, e2 in found)]


def pixels_moved(loop, kind):
    """Pixels the loop's 3-byte loads (kind ld3) or stores (st3) move."""
    pixels = 0
    for _, mnemonic, operands in loop:
        m = INTERLEAVED.match(mnemonic)
        if m and m.group(1) == kind:
            pixels += 16 if ".16b" in operands else 8
    return pixels


def disassemble(objdump, path):
    return subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn",
                           str(path)],
                          check=True, capture_output=True, text=True).stdout


# What tells the kernel's loops from the plain loops that the compiler
# vectorised on its own: the vertical loop takes thirds with sqdmulh, the
# edge loop its verdicts with subhn.
MARKS = {"ld3": re.compile(r"^v?(sq|q)dmulh"), "st3": re.compile(r"subhn")}


def count(text, kind):
    """Innermost loops of the kernel that move 3-byte pixels by kind (ld3
    or st3)."""
    return [loop for _, body in functions(text)
            for loop in innermost_loops(body)
            if pixels_moved(loop, kind)
            and any(MARKS[kind].search(m) for _, m, _ in loop)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("armhf_build", type=pathlib.Path)
    parser.add_argument("aarch64_build", type=pathlib.Path)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()

    builds = {
        "armhf": ("arm-linux-gnueabihf-objdump", args.armhf_build.resolve()),
        "aarch64": ("aarch64-linux-gnu-objdump",
                    args.aarch64_build.resolve()),
    }
    rows = []
    for target, (objdump, build) in builds.items():
        text = disassemble(objdump, build / OBJECTS / "kernel_neon.cpp.o")
        for loop_name, kind in (("vertical", "ld3"), ("edges", "st3")):
            loops = count(text, kind)
            if not loops:
                sys.exit(f"{target}: no {loop_name} loop found")
            sizes = sorted({(len(lp), pixels_moved(lp, kind)) for lp in loops})
            if len(sizes) != 1:
                sys.exit(f"{target} {loop_name}: loops differ: {sizes}")
            rows.append((target, loop_name, *sizes[0]))
            if args.list:
                loop = loops[0]
                copies = "copy" if len(loops) == 1 else "copies"
                print(f"{target}, {loop_name} loop ({len(loops)} {copies}), "
                      f"{len(loop)} instructions, {sizes[0][1]} pixels:")
                for address, mnemonic, operands in loop:
                    print(f"    {address:6x}  {mnemonic:12} {operands}")
    print(f"{'target':8} {'loop':9} {'instructions':>12} {'pixels':>6} "
          f"{'per pixel':>9}")
    totals = {}
    for target, loop_name, n, pixels in rows:
        print(f"{target:8} {loop_name:9} {n:12} {pixels:6} {n / pixels:9.2f}")
        totals[target] = totals.get(target, 0) + n / pixels
    for target, per_pixel in totals.items():
        print(f"{target:8} {'both':9} {'':12} {'':6} {per_pixel:9.2f}")


if __name__ == "__main__":
    main()
