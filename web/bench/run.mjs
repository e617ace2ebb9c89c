// Runs the benchmark page in headless Chromium and sets its numbers beside
// the native library's on this machine:
//
//   EDGEMAP_BUILD=../build node bench/run.mjs
//
// EDGEMAP_BUILD is a native Release build (its libedgemap.so and CLI).
// Prints the mask times (three runs of medians), the ratios the package
// is held to, a 12 MP JPEG through convert in the page against the CLI on
// one processor, and the sizes gzipped.
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createHash } from "node:crypto";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { gzipSync } from "node:zlib";
import puppeteer from "puppeteer-core";

import { serve } from "../test/serve.mjs";

const web = fileURLToPath(new URL("..", import.meta.url));
const root = join(web, "..");
const build = resolve(process.env.EDGEMAP_BUILD ?? join(root, "build"));
const cli = join(build, "edgemap");
const work = mkdtempSync(join(tmpdir(), "edgemap-bench-"));

// A 4000 x 3000 photo-like JPEG (quality 90): gradients, discs and noise.
function make_jpeg() {
  const width = 4000;
  const height = 3000;
  const header = Buffer.from(`P6\n${width} ${height}\n255\n`);
  const pixels = Buffer.alloc(width * height * 3);
  let x = 1;
  for (let r = 0; r < height; ++r) {
    for (let c = 0; c < width; ++c) {
      x = (Math.imul(x, 1103515245) + 12345) >>> 0;
      const noise = (x >>> 26) % 12;
      const disc = ((c % 700) - 350) ** 2 + ((r % 600) - 300) ** 2 < 250 ** 2;
      const i = 3 * (r * width + c);
      pixels[i] = ((c * 200) / width + (disc ? 40 : 0) + noise) & 255;
      pixels[i + 1] = ((r * 180) / height + noise) & 255;
      pixels[i + 2] = (disc ? 200 : 90) + noise;
    }
  }
  const ppm = join(work, "photo.ppm");
  writeFileSync(ppm, Buffer.concat([header, pixels]));
  const jpeg = join(work, "photo12.jpg");
  execFileSync("cjpeg", ["-quality", "90", "-outfile", jpeg, ppm]);
  return jpeg;
}

function median(times) {
  const sorted = [...times].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function gz(file) {
  return gzipSync(readFileSync(file), { level: 9 }).length;
}

const jpeg = make_jpeg();
const server = await serve(web, { "/photo12.jpg": jpeg });
const browser = await puppeteer.launch({
  executablePath: process.env.EDGEMAP_CHROMIUM ?? "/usr/bin/chromium",
  headless: true,
  args: ["--headless=new", "--no-sandbox"],
  protocolTimeout: 600000,
});
let page_results;
try {
  const page = await browser.newPage();
  page.on("console", (m) => console.error(m.text()));
  await page.goto(`${server.origin}/bench/index.html?jpeg=/photo12.jpg`);
  await page.waitForFunction(() => window.results !== undefined,
                             { timeout: 600000 });
  page_results = await page.evaluate(() => window.results);
  page_results.chromium = await browser.version();
} finally {
  await browser.close();
  server.close();
}
if (page_results.error) throw new Error(page_results.error);

// The native SSE4.1 kernel, one thread, the same image and timing.
const native = join(work, "native_mask");
execFileSync("cc", ["-O2", "-I", join(root, "include"),
                    join(web, "bench", "native_mask.c"), "-o", native,
                    "-L", build, "-ledgemap", `-Wl,-rpath,${build}`]);
const sse41 = [0, 1, 2].map(() => Number(execFileSync(native, {
  env: { ...process.env, EDGEMAP_KERNEL: "sse41" }, encoding: "utf8" })));

// The CLI on one processor, the same JPEG to a 1-bit PNG.
const cli_times = [];
let cli_png;
for (let i = 0; i < 5; ++i) {
  const t = performance.now();
  cli_png = execFileSync("taskset", ["-c", "0", cli, "--format", "png",
                                     jpeg, "-"], { maxBuffer: 1 << 28 });
  cli_times.push(performance.now() - t);
}
const same_png = createHash("sha256").update(cli_png).digest("hex") ===
                 page_results.convert.sha;

const dist = join(web, "dist");
const packed = JSON.parse(readFileSync(join(web, "package.json"))).files
  .reduce((n, f) => n + gz(join(web, f)), 0);
const detect_only = gz(join(dist, "edgemap-simd.js")) +
                    gz(join(dist, "edgemap-simd.wasm"));
const opencv = gz(join(web, "node_modules", "@techstark", "opencv-js",
                       "dist", "opencv.js"));

const runs = page_results.runs;
const simd = median(runs.map((r) => r.simd));
const report = {
  chromium: page_results.chromium,
  exact: { opencv: page_results.opencv_exact, js: page_results.js_exact },
  mask_ms: {
    simd128: runs.map((r) => r.simd),
    scalar: runs.map((r) => r.scalar),
    opencv: runs.map((r) => r.opencv),
    js: runs.map((r) => r.js),
    native_sse41: sse41,
  },
  ratios: {
    opencv_over_simd128: median(runs.map((r) => r.opencv)) / simd,
    js_over_simd128: median(runs.map((r) => r.js)) / simd,
    simd128_over_sse41: simd / median(sse41),
  },
  convert_12mp: {
    page_ms: page_results.convert.ms,
    cli_one_processor_ms: median(cli_times),
    ratio: page_results.convert.ms / median(cli_times),
    same_png,
  },
  gzip_bytes: {
    package: packed,
    detect_only_module: detect_only,
    opencv_js: opencv,
    package_share_of_opencv: packed / opencv,
  },
};
console.log(JSON.stringify(report, null, 2));
rmSync(work, { recursive: true, force: true });
