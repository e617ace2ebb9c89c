// The package as npm publishes it: `npm pack`, installed into a fresh
// project, imported by its name. Both modules against a reference written
// here from the definition of the map, and convert against the command
// line (EDGEMAP_CLI) for the same file and options.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync }
  from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";
import { fileURLToPath, pathToFileURL } from "node:url";

const web = fileURLToPath(new URL("..", import.meta.url));
const root = join(web, "..");
const work = mkdtempSync(join(tmpdir(), "edgemap-package-"));
let edgemap;
let packed;

before(() => {
  packed = JSON.parse(
    execFileSync("npm", ["pack", "--json", "--pack-destination", work], {
      cwd: web,
      encoding: "utf8",
    }),
  )[0];
  const project = join(work, "project");
  execFileSync("mkdir", ["-p", project]);
  writeFileSync(
    join(project, "package.json"),
    JSON.stringify({ name: "consumer", private: true, type: "module" }),
  );
  execFileSync(
    "npm",
    ["install", "--no-audit", "--no-fund", join(work, packed.filename)],
    { cwd: project, stdio: "ignore" },
  );
  // Resolved by name, through the package's exports, from the project.
  writeFileSync(join(project, "probe.mjs"), 'export * from "edgemap";\n');
});

after(() => rmSync(work, { recursive: true, force: true }));

async function package_api() {
  edgemap ??= await import(pathToFileURL(join(work, "project", "probe.mjs")));
  return edgemap;
}

// The map by its definition: gray is the truncated mean of the first three
// bytes, pixels outside the image are 0, and a pixel is an edge when
// sqrt(gx^2 + gy^2) - threshold >= 0 in doubles.
function reference(data, width, height, channels, threshold) {
  const gray = (r, c) => {
    if (r < 0 || c < 0 || r >= height || c >= width) return 0;
    const p = (r * width + c) * channels;
    return Math.floor((data[p] + data[p + 1] + data[p + 2]) / 3);
  };
  const edge = new Uint8Array(width * height);
  for (let r = 0; r < height; ++r) {
    for (let c = 0; c < width; ++c) {
      const gx =
        gray(r - 1, c + 1) + 2 * gray(r, c + 1) + gray(r + 1, c + 1) -
        gray(r - 1, c - 1) - 2 * gray(r, c - 1) - gray(r + 1, c - 1);
      const gy =
        gray(r + 1, c - 1) + 2 * gray(r + 1, c) + gray(r + 1, c + 1) -
        gray(r - 1, c - 1) - 2 * gray(r - 1, c) - gray(r - 1, c + 1);
      edge[r * width + c] = Math.sqrt(gx * gx + gy * gy) - threshold >= 0;
    }
  }
  return edge;
}

function noise_image(width, height, channels, start) {
  const data = new Uint8ClampedArray(width * height * channels);
  let x = start >>> 0 || 1;
  for (let i = 0; i < data.length; ++i) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    // Mostly the extremes, so that every threshold meets edges and flats.
    const r = x >>> 0;
    data[i] = r % 3 === 0 ? r >>> 8 : r % 3 === 1 ? 0 : 255;
  }
  return { data, width, height, channels };
}

const thresholds = [90, 0, 1, 200, 1442.5, -1, NaN, Infinity];
// Widths around the vector steps (8, 16) and past a strip of rows.
const sizes = [
  [1, 1], [2, 3], [7, 2], [8, 4], [15, 3], [16, 5], [17, 1], [31, 6],
  [33, 3], [64, 2], [67, 7],
];

for (const simd of [true, false]) {
  describe(simd ? "the SIMD module" : "the scalar module", () => {
    test("loads the module it is asked for", async () => {
      const e = await package_api();
      await e.load({ simd });
      assert.equal(e.variant(), simd ? "simd" : "scalar");
    });

    test("detect and mask match the definition", async () => {
      const e = await package_api();
      await e.load({ simd });
      let start = 7;
      for (const [width, height] of sizes) {
        for (const channels of [3, 4]) {
          const img = noise_image(width, height, channels, ++start);
          for (const threshold of thresholds) {
            const want = reference(img.data, width, height, channels,
                                   threshold);
            const where = `${width}x${height}x${channels} at ${threshold}`;
            const m = e.mask(img, { threshold });
            assert.deepEqual(m.data, want.map((b) => b * 255), where);
            const d = e.detect(img, { threshold });
            const rgba = new Uint8ClampedArray(width * height * 4);
            for (let i = 0; i < width * height; ++i) {
              rgba.fill(want[i] ? 0 : 255, 4 * i, 4 * i + 3);
              rgba[4 * i + 3] = channels === 4 ? img.data[4 * i + 3] : 255;
            }
            assert.deepEqual(d.data, rgba, where);
            assert.equal(d.width, width);
            assert.equal(d.height, height);
          }
        }
      }
    });
  });
}

test("createImage and view read and hand out the module's memory", async () => {
  const e = await package_api();
  await e.load();
  const src = noise_image(40, 9, 4, 99);
  const img = e.createImage(40, 9, 4);
  img.data.set(src.data);
  const copied = e.mask(src);
  const viewed = e.mask(img, { view: true });
  assert.deepEqual(viewed.data, copied.data);
  assert.ok(!(copied.data.buffer === viewed.data.buffer));
  // A view is of the module's memory: the next call writes over it.
  const before_next = viewed.data.slice();
  e.mask(noise_image(40, 9, 4, 5), { view: true });
  assert.notDeepEqual(viewed.data, before_next);
  // A result viewed in place is a valid source, though the next result
  // is written where it lies.
  const map = e.detect(img, { view: true });
  assert.deepEqual(e.mask(map, { view: true }).data, e.mask(e.detect(img)).data);
  img.free();
  assert.throws(() => img.data, /freed/);
});

test("arguments the library cannot take are refused", async () => {
  const e = await package_api();
  await e.load();
  const bad = [
    [null, TypeError],
    [{ data: [0, 0, 0], width: 1, height: 1, channels: 3 }, TypeError],
    [{ data: new Uint8Array(3), width: 1, height: 1 }, TypeError],
    [{ data: new Uint8Array(8), width: 1, height: 2, channels: 2 }, TypeError],
    [{ data: new Uint8Array(4), width: 1.5, height: 1 }, TypeError],
  ];
  for (const [image, type] of bad) {
    assert.throws(() => e.mask(image), type, JSON.stringify(image));
    assert.throws(() => e.detect(image), type, JSON.stringify(image));
  }
  const ok = { data: new Uint8Array(4), width: 1, height: 1 };
  assert.throws(() => e.mask(ok, { threshold: "90" }), TypeError);
  assert.throws(() => e.convert("image"), TypeError);
  assert.throws(() => e.convert(new Uint8Array(60), { format: "gif" }),
                TypeError);
  assert.throws(() => e.convert(new Uint8Array(60), { maxPixels: -1 }),
                TypeError);
});

test("the library's refusals are EdgemapErrors with its sentences",
     async () => {
  const e = await package_api();
  await e.load();
  const shapes = readFileSync(join(root, "samples", "shapes.bmp"));
  const refusals = [
    [new Uint8Array([66, 77, 0]), {}, -2],
    [shapes, { maxPixels: 10 }, -11],
    [shapes, { format: "bmp", bits: 4 }, -9],
    [shapes.subarray(0, 200), {}, -6],
  ];
  for (const [bytes, options, status] of refusals) {
    const where = JSON.stringify(options);
    assert.throws(() => e.convert(bytes, options), (err) => {
      assert.ok(err instanceof e.EdgemapError, where);
      assert.equal(err.status, status, where);
      assert.equal(err.message, e.strerror(status), where);
      return true;
    });
  }
  assert.throws(() => e.decode(shapes, { maxPixels: 10 }),
                (err) => err.status === -11);
});

test("version, package and published files agree", async () => {
  const e = await package_api();
  await e.load();
  const version = readFileSync(join(root, "VERSION"), "utf8").trim();
  assert.equal(e.version(), version);
  assert.equal(packed.version, version);
  assert.deepEqual(packed.files.map((f) => f.path).sort(), [
    "dist/edgemap-codecs.js", "dist/edgemap-codecs.wasm",
    "dist/edgemap-scalar.js", "dist/edgemap-scalar.wasm",
    "dist/edgemap-simd.js", "dist/edgemap-simd.wasm",
    "index.d.ts", "index.js", "package.json",
  ]);
});

const cli = process.env.EDGEMAP_CLI;

// Sources for convert and decode: the repository's sample bitmap and
// photo, and, made from the photo by the command line, a gray PNG, TIFFs
// in Deflate and CCITT G4, and bitmaps with palettes.
function sources() {
  const list = [join(root, "samples", "shapes.bmp"),
                join(root, "examples", "photo.jpg")];
  if (!cli) return list;
  for (const [format, bits, name] of [["png", 8, "gray.png"],
                                      ["tiff", 8, "deflate.tif"],
                                      ["tiff", 1, "g4.tif"],
                                      ["bmp", 8, "palette8.bmp"],
                                      ["bmp", 1, "palette1.bmp"]]) {
    const file = join(work, name);
    if (!existsSync(file)) {
      execFileSync(cli, ["--format", format, "--bits", String(bits),
                         "--threshold", "60", list[1], file]);
    }
    list.push(file);
  }
  return list;
}

const conversions = [
  {},
  { threshold: 40 },
  { format: "png" },
  { format: "png", bits: 8, threshold: 120 },
  { format: "bmp", bits: 1 },
  { format: "bmp", bits: 8 },
  { format: "bmp", bits: 24, threshold: 0 },
  { format: "tiff" },
  { format: "tiff", bits: 8 },
  { maxPixels: 0, orient: true },
];

function cli_args(options, source) {
  const args = [];
  if (options.threshold !== undefined) {
    args.push("--threshold", String(options.threshold));
  }
  if (options.bits !== undefined) args.push("--bits", String(options.bits));
  if (options.maxPixels !== undefined) {
    args.push("--max-pixels", String(options.maxPixels));
  }
  if (options.orient) args.push("--orient");
  // The library's automatic choice, which a target of - cannot tell the
  // command line.
  const bitmap = readFileSync(source).subarray(0, 2).toString() === "BM";
  const tiff = /\.tiff?$/.test(source);
  args.push("--format",
            options.format ?? (bitmap ? "bmp" : tiff ? "tiff" : "png"));
  return [...args, source, "-"];
}

test("convert writes the command line's bytes", { skip: !cli }, async () => {
  const e = await package_api();
  await e.load();
  for (const source of sources()) {
    for (const options of conversions) {
      const where = `${source} ${JSON.stringify(options)}`;
      const want = execFileSync(cli, cli_args(options, source),
                                { maxBuffer: 1 << 28 });
      const got = e.convert(readFileSync(source), options);
      assert.ok(Buffer.from(got).equals(want), where);
    }
  }
});

test("decode gives the pixels convert maps", async () => {
  const e = await package_api();
  await e.load();
  // A 24-bit bitmap's pixels as stored: bottom-up rows of blue, green, red.
  const shapes = readFileSync(join(root, "samples", "shapes.bmp"));
  const decoded = e.decode(shapes);
  const [w, h] = [shapes.readInt32LE(18), shapes.readInt32LE(22)];
  const stride = (w * 3 + 3) & ~3;
  for (let r = 0; r < h; ++r) {
    for (let c = 0; c < w; ++c) {
      const p = shapes.readUInt32LE(10) + (h - 1 - r) * stride + 3 * c;
      const q = 4 * (r * w + c);
      assert.deepEqual(
        [...decoded.data.subarray(q, q + 4)],
        [shapes[p + 2], shapes[p + 1], shapes[p], 255],
        `pixel ${r}, ${c}`,
      );
    }
  }
  for (const source of sources()) {
    const bytes = readFileSync(source);
    const pixels = e.decode(bytes);
    const map = e.convert(bytes, { format: "bmp", bits: 8, threshold: 70 });
    // An 8-bit BMP: the rows of gray levels bottom up, each padded to 4.
    const offset = Buffer.from(map).readUInt32LE(10);
    const stride = (pixels.width + 3) & ~3;
    const want = e.mask(pixels, { threshold: 70 }).data;
    for (let r = 0; r < pixels.height; ++r) {
      const row = map.subarray(offset + (pixels.height - 1 - r) * stride);
      for (let c = 0; c < pixels.width; ++c) {
        assert.equal(row[c], 255 - want[r * pixels.width + c],
                     `${source} pixel ${r}, ${c}`);
      }
    }
  }
});

test("load can leave the codecs out", async () => {
  const e = await package_api();
  await e.load({ codecs: false });
  assert.equal(e.mask({ data: new Uint8Array(4), width: 1, height: 1 })
    .data[0], 0);
  assert.throws(() => e.convert(new Uint8Array(60)), /codecs: false/);
  await e.load();
  assert.ok(e.decode(readFileSync(join(root, "samples", "shapes.bmp"))));
});
