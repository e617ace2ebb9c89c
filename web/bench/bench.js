// Side by side in one page: edgemap's mask (SIMD and scalar modules),
// OpenCV.js's exact composition of the same map and a plain JavaScript
// loop, on one 1920 x 1080 RGBA image; each checked against edgemap's
// map first, then timed as the median of 15 calls after at least 500 ms
// of warm-up. Then a JPEG (?jpeg=URL) through convert to a 1-bit PNG.
// run.mjs drives it and reads window.results.
import * as edgemap from "../index.js";

const width = 1920;
const height = 1080;
const threshold = 90;
const params = new URLSearchParams(location.search);

// Smooth shapes and noise: edges of every strength, as photos have.
function test_image() {
  const data = new Uint8ClampedArray(width * height * 4);
  let x = 12345;
  for (let r = 0; r < height; ++r) {
    for (let c = 0; c < width; ++c) {
      x = (Math.imul(x, 1103515245) + 12345) >>> 0;
      const noise = (x >>> 24) % 24;
      const i = 4 * (r * width + c);
      const disc = (c - 900) ** 2 + (r - 500) ** 2 < 300 ** 2 ? 120 : 0;
      data[i] = ((c * 255) / width + disc + noise) & 255;
      data[i + 1] = ((r * 255) / height + noise) & 255;
      data[i + 2] = (((c ^ r) & 64) * 2 + disc / 2) & 255;
      data[i + 3] = 255;
    }
  }
  return data;
}

// The median of 15 samples after at least 500 ms of warm-up, in ms per
// call. A page's clock ticks in 0.1 ms steps (5 microseconds where the
// page is cross-origin isolated), so a sample is as many calls as take
// 20 ms or more.
function median_time(fn) {
  const start = performance.now();
  let calls = 0;
  while (performance.now() - start < 500) {
    fn();
    ++calls;
  }
  const per_sample = Math.max(1, Math.ceil(calls / 25));
  const times = [];
  for (let i = 0; i < 15; ++i) {
    const t = performance.now();
    for (let k = 0; k < per_sample; ++k) fn();
    times.push((performance.now() - t) / per_sample);
  }
  times.sort((a, b) => a - b);
  return times[7];
}

// The least gradient sum that is an edge, as the library works it out:
// sqrt(s) - threshold >= 0 in doubles.
function least_black_sum(t) {
  let s = 0;
  while (s <= 2 * 1020 * 1020 && !(Math.sqrt(s) - t >= 0)) ++s;
  return s;
}

// A plain loop: gray levels into a zero-bordered buffer, then the two
// 3 x 3 operators and the squared magnitude per pixel.
function js_mask(data, out) {
  const w2 = width + 2;
  const gray = js_mask.gray ??= new Int32Array(w2 * (height + 2));
  for (let r = 0; r < height; ++r) {
    for (let c = 0; c < width; ++c) {
      const i = 4 * (r * width + c);
      gray[(r + 1) * w2 + c + 1] = ((data[i] + data[i + 1] + data[i + 2]) / 3) | 0;
    }
  }
  const black = least_black_sum(threshold);
  for (let r = 0; r < height; ++r) {
    let above = r * w2;
    let at = above + w2;
    let below = at + w2;
    for (let c = 0; c < width; ++c, ++above, ++at, ++below) {
      const gx = gray[above + 2] + 2 * gray[at + 2] + gray[below + 2] -
                 gray[above] - 2 * gray[at] - gray[below];
      const gy = gray[below] + 2 * gray[below + 1] + gray[below + 2] -
                 gray[above] - 2 * gray[above + 1] - gray[above + 2];
      out[r * width + c] = gx * gx + gy * gy >= black ? 255 : 0;
    }
  }
  return out;
}

// OpenCV.js's global is a promise in some builds and, in others, the
// module itself with a then() that resolves to itself again, which await
// would follow for ever: that one is waited for by its own hook.
async function opencv() {
  let cv = window.cv;
  if (cv instanceof Promise) return cv;
  return new Promise((resolve) =>
    cv.then((module) => {
      delete module.then;
      resolve(module);
    }),
  );
}

// OpenCV.js, the same map exactly: the gray level as the truncated mean
// (the sum by cv.transform, then round((sum - 1) / 3) = floor(sum / 3) by
// convertTo), Sobel in CV_16S with a zero border, and the squared
// magnitude, exact in floats, against the least black sum.
function opencv_mask(cv, mats) {
  const { src, f32, sum, gray, gx, gy, fx, fy, mag, out, weights } = mats;
  src.convertTo(f32, cv.CV_32F);
  cv.transform(f32, sum, weights);
  sum.convertTo(gray, cv.CV_8U, 1 / 3, -1 / 3);
  cv.Sobel(gray, gx, cv.CV_16S, 1, 0, 3, 1, 0, cv.BORDER_CONSTANT);
  cv.Sobel(gray, gy, cv.CV_16S, 0, 1, 3, 1, 0, cv.BORDER_CONSTANT);
  gx.convertTo(fx, cv.CV_32F);
  gy.convertTo(fy, cv.CV_32F);
  cv.multiply(fx, fx, fx);
  cv.multiply(fy, fy, fy);
  cv.add(fx, fy, mag);
  cv.threshold(mag, mag, least_black_sum(threshold) - 0.5, 255,
               cv.THRESH_BINARY);
  mag.convertTo(out, cv.CV_8U);
  return out.data;
}

// Lets the page answer between measurements (run.mjs polls it).
const breathe = () => new Promise((r) => setTimeout(r, 0));

function step(what) {
  console.log(`bench: ${what} at ${Math.round(performance.now())} ms`);
  return breathe();
}

function same(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; ++i) if (a[i] !== b[i]) return false;
  return true;
}

async function run() {
  const results = { width, height, threshold, runs: [] };
  const pixels = test_image();

  await edgemap.load({ simd: true });
  await step("loaded");
  results.simd = edgemap.variant() === "simd";
  const want = edgemap.mask({ data: pixels, width, height }).data;

  const cv = await opencv();
  await step("OpenCV.js ready");
  const mats = {
    src: cv.matFromImageData(new ImageData(pixels, width, height)),
    f32: new cv.Mat(), sum: new cv.Mat(), gray: new cv.Mat(),
    gx: new cv.Mat(), gy: new cv.Mat(), fx: new cv.Mat(), fy: new cv.Mat(),
    mag: new cv.Mat(), out: new cv.Mat(),
    weights: cv.matFromArray(1, 4, cv.CV_32F, [1, 1, 1, 0]),
  };
  results.opencv_exact = same(opencv_mask(cv, mats), want);
  const js_out = new Uint8Array(width * height);
  results.js_exact = same(js_mask(pixels, js_out), want);
  await step("checked");

  for (let run = 0; run < 3; ++run) {
    const times = {};
    for (const simd of [true, false]) {
      await edgemap.load({ simd });
      const image = edgemap.createImage(width, height, 4);
      image.data.set(pixels);
      if (!same(edgemap.mask(image, { view: true }).data, want)) {
        throw new Error(`the ${edgemap.variant()} module's map differs`);
      }
      times[edgemap.variant()] =
        median_time(() => edgemap.mask(image, { threshold, view: true }));
      image.free();
      await step(`run ${run} ${edgemap.variant()}`);
    }
    times.opencv = median_time(() => opencv_mask(cv, mats));
    await step(`run ${run} OpenCV.js`);
    times.js = median_time(() => js_mask(pixels, js_out));
    await step(`run ${run} JavaScript`);
    results.runs.push(times);
  }

  const jpeg_url = params.get("jpeg");
  if (jpeg_url) {
    await edgemap.load({ simd: true });
    const jpeg = new Uint8Array(await (await fetch(jpeg_url)).arrayBuffer());
    const times = [];
    let png;
    for (let i = 0; i < 5; ++i) {
      const t = performance.now();
      png = edgemap.convert(jpeg, { format: "png" });
      times.push(performance.now() - t);
      await step(`convert ${i}`);
    }
    times.sort((a, b) => a - b);
    results.convert = { ms: times[2], bytes: png.length,
                        sha: await digest(png) };
  }
  return results;
}

async function digest(bytes) {
  const hash = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
  return [...hash].map((b) => b.toString(16).padStart(2, "0")).join("");
}

run().then(
  (r) => {
    window.results = r;
    document.getElementById("out").textContent = JSON.stringify(r, null, 1);
  },
  (e) => {
    window.results = { error: String(e.stack ?? e) };
    document.getElementById("out").textContent = String(e.stack ?? e);
  },
);
