#!/usr/bin/env python3
"""Instructions per pixel of the ARM kernels' inner loops, from objdump -d.

    scripts/arm_loops.py ARMHF_BUILD AARCH64_BUILD [--list]

Takes two Release builds made with cmake/toolchains/armhf.cmake and
cmake/toolchains/aarch64.cmake and compares, for 3-byte pixels, the grey
loop and the edge loop of
- the plain loops of fused_kernel.h compiled with NEON, as the `neon`
  kernel was before it had intrinsics (the driver for Rows types with
  grey3/edges3 hooks, 32-bit grey levels, hooks that do nothing),
  compiled with the build's own command for the `portable` kernel on
  aarch64 (NEON is baseline there) and for the `neon` kernel on armhf;
- the intrinsics: the `neon` kernel's neon_rows::grey3 and ::edges3.

A loop is a branch back to an address at or before it in the same function,
with every instruction from that address to the branch, loop control and
register moves included; an innermost loop holds no other. The plain loops
are the innermost loops of detect_edges_portable that load (grey) or store
(edges) 3-byte pixels with ld3/vld3 or st3/vst3; the compiler makes several
identical copies of each. The pixels one pass of a loop handles are those
its ld3/st3 instructions move: 16 for a {.16b} register list, 8 for {.8b}
or for armhf's vld3.8/vst3.8 of three d registers. --list prints every loop
counted, instruction by instruction.
"""
import argparse
import pathlib
import re
import shlex
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
OBJECTS = "CMakeFiles/edgemap_core.dir/src/edges"


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


# The plain loops as they were when neon had none of its own: the driver
# for Rows types with grey3/edges3 hooks, with hooks that do nothing and
# 32-bit grey levels, under the portable kernel's name.
EARLIER_PLAIN = """\
#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
namespace edgemap {
namespace {
struct earlier_plain_rows {
  using grey_type = std::int32_t;
  static std::uint32_t grey3(const std::uint8_t*, grey_type*, std::uint32_t) {
    return 0;
  }
  static std::uint32_t edges3(const grey_type*, const grey_type*,
                              const grey_type*, std::uint8_t*, std::uint32_t,
                              std::uint32_t) {
    return 0;
  }
};
}  // namespace
void detect_edges_portable(const pixel_view& view, double threshold) noexcept {
  fused::run<earlier_plain_rows>(view, least_black_sum(threshold));
}
}  // namespace edgemap
"""


def earlier_plain(build, kernel):
    """EARLIER_PLAIN built with the build's own command for kernel."""
    out = build / "arm_loops" / "earlier_plain.o"
    out.parent.mkdir(exist_ok=True)
    source = out.with_suffix(".cpp")
    source.write_text(EARLIER_PLAIN)
    command = subprocess.run(
        ["ninja", "-C", str(build), "-t", "commands",
         f"{OBJECTS}/kernel_{kernel}.cpp.o"],
        check=True, capture_output=True, text=True).stdout.splitlines()[-1]
    words, kept, skip = shlex.split(command), [], 0
    for w in words:
        if skip:
            skip -= 1
        elif w in ("-MT", "-MF", "-o", "-c"):
            skip = 1
        elif w != "-MD":
            kept.append(w)
    subprocess.run(kept + ["-c", str(source), "-o", str(out)], check=True,
                   cwd=build)
    return out


def count(text, function, kind):
    """Innermost loops of function that move 3-byte pixels by kind (ld3 or
    st3)."""
    return [loop for name, body in functions(text) if function in name
            for loop in innermost_loops(body) if pixels_moved(loop, kind)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("armhf_build", type=pathlib.Path)
    parser.add_argument("aarch64_build", type=pathlib.Path)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()

    armhf, aarch64 = args.armhf_build.resolve(), args.aarch64_build.resolve()
    objects = {
        "armhf": ("arm-linux-gnueabihf-objdump", earlier_plain(armhf, "neon"),
                  armhf / OBJECTS / "kernel_neon.cpp.o"),
        "aarch64": ("aarch64-linux-gnu-objdump",
                    earlier_plain(aarch64, "portable"),
                    aarch64 / OBJECTS / "kernel_neon.cpp.o"),
    }
    rows = []
    for target, (objdump, plain, intrinsics) in objects.items():
        plain_text = disassemble(objdump, plain)
        neon_text = disassemble(objdump, intrinsics)
        for loop_name, kind, function in (("grey", "ld3", "grey3"),
                                          ("edges", "st3", "edges3")):
            plain_loops = count(plain_text, "detect_edges_portable", kind)
            neon_loops = count(neon_text, f"neon_rows::{function}(", kind)
            for source, loops in (("plain loops", plain_loops),
                                  ("intrinsics", neon_loops)):
                if not loops:
                    sys.exit(f"{target} {source}: no {loop_name} loop found")
                sizes = sorted({(len(l), pixels_moved(l, kind)) for l in loops})
                if len(sizes) != 1:
                    sys.exit(f"{target} {source} {loop_name}: loops differ: "
                             f"{sizes}")
                rows.append((target, loop_name, source, *sizes[0]))
                if args.list:
                    loop = loops[0]
                    copies = "copy" if len(loops) == 1 else "copies"
                    print(f"{target}, {source}, {loop_name} loop "
                          f"({len(loops)} {copies}), {len(loop)} "
                          f"instructions, {sizes[0][1]} pixels:")
                    for address, mnemonic, operands in loop:
                        print(f"    {address:6x}  {mnemonic:12} {operands}")
    print(f"{'target':8} {'loop':6} {'build':12} {'instructions':>12} "
          f"{'pixels':>6} {'per pixel':>9}")
    for target, loop_name, source, n, pixels in rows:
        print(f"{target:8} {loop_name:6} {source:12} {n:12} {pixels:6} "
              f"{n / pixels:9.2f}")


if __name__ == "__main__":
    main()
