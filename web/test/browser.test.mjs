// The page in headless Chromium (the machine's, driven by puppeteer-core),
// served from this folder as any static server would: a photo set through
// the file input must give the command line's map on the canvas and the
// command line's PNG as the download, at the first threshold and after the
// slider moved; a corrupt file must show the library's sentence and no
// map; and nothing may be logged as an error. The page is photographed
// for the README (EDGEMAP_SCREENSHOT, default test/output/page.png).
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync,
         rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";

import { serve } from "./serve.mjs";

const web = fileURLToPath(new URL("..", import.meta.url));
const root = join(web, "..");
const cli = process.env.EDGEMAP_CLI;
const chromium = process.env.EDGEMAP_CHROMIUM ?? "/usr/bin/chromium";
const work = mkdtempSync(join(tmpdir(), "edgemap-page-"));
const screenshot =
  process.env.EDGEMAP_SCREENSHOT ?? join(web, "test", "output", "page.png");

let server;
let browser;
let page;
const errors = [];

before(async () => {
  server = await serve(web);
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ["--headless=new", "--no-sandbox"],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 860 });
  page.on("console", (m) => {
    if (m.type() === "error") errors.push(m.text());
  });
  page.on("pageerror", (e) => errors.push(String(e)));
  const cdp = await page.createCDPSession();
  await cdp.send("Browser.setDownloadBehavior",
                 { behavior: "allow", downloadPath: work });
  await page.goto(`${server.origin}/index.html`, { waitUntil: "load" });
});

after(async () => {
  await browser?.close();
  server?.close();
  rmSync(work, { recursive: true, force: true });
});

// The command line's map of a file at a threshold, as an 8-bit bitmap's
// gray levels, top row first.
function cli_levels(source, threshold) {
  const bmp = execFileSync(cli, ["--format", "bmp", "--bits", "8",
                                 "--threshold", String(threshold), source,
                                 "-"], { maxBuffer: 1 << 28 });
  const width = bmp.readInt32LE(18);
  const height = bmp.readInt32LE(22);
  const stride = (width + 3) & ~3;
  const levels = new Uint8Array(width * height);
  for (let r = 0; r < height; ++r) {
    const row = bmp.readUInt32LE(10) + (height - 1 - r) * stride;
    levels.set(bmp.subarray(row, row + width), r * width);
  }
  return { width, height, levels };
}

// What the page shows: the map canvas's first byte of each pixel, whether
// every pixel is gray and opaque, and the status line.
async function shown() {
  return page.evaluate(() => {
    const canvas = document.getElementById("edges");
    const { width, height } = canvas;
    const status = document.getElementById("status");
    const result = { width, height, status: status.textContent,
                     error: status.classList.contains("error") };
    if (width === 0 || height === 0) return result;
    const data = canvas.getContext("2d").getImageData(0, 0, width, height)
      .data;
    const levels = new Array(width * height);
    let gray = true;
    for (let i = 0; i < width * height; ++i) {
      levels[i] = data[4 * i];
      gray &&= data[4 * i + 1] === data[4 * i] &&
               data[4 * i + 2] === data[4 * i] && data[4 * i + 3] === 255;
    }
    return { ...result, levels, gray };
  });
}

async function map_at(threshold) {
  await page.waitForFunction(
    (t) => document.getElementById("edges").dataset.threshold === t,
    { timeout: 30000 }, String(threshold));
  return shown();
}

async function downloaded(name) {
  const file = join(work, name);
  for (let waited = 0; waited < 30000; waited += 100) {
    if (existsSync(file) && !readdirSync(work).some((f) =>
      f.endsWith(".crdownload"))) {
      return readFileSync(file);
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`${name} was not downloaded`);
}

test("the page maps a photo as the command line does", { skip: !cli },
     async () => {
  const photo = join(root, "examples", "photo.jpg");
  const input = await page.$("#file");
  await input.uploadFile(photo);
  const first = await map_at(90);
  const want = cli_levels(photo, 90);
  assert.equal(first.width, want.width);
  assert.equal(first.height, want.height);
  assert.ok(first.gray);
  assert.deepEqual(first.levels, [...want.levels]);

  // By keyboard: ten steps up.
  await page.focus("#threshold");
  for (let i = 0; i < 10; ++i) await page.keyboard.press("ArrowRight");
  const moved = await map_at(100);
  assert.deepEqual(moved.levels, [...cli_levels(photo, 100).levels]);
  assert.notDeepEqual(moved.levels, first.levels);
  assert.match(moved.status, /threshold 100/);

  // What a screen reader is told: every control by its label, the map by
  // what it shows.
  const names = [];
  (function walk(node) {
    if (!node) return;
    names.push(`${node.role}: ${node.name}`);
    for (const child of node.children ?? []) walk(child);
  })(await page.accessibility.snapshot());
  for (const want of ["slider: Threshold", "button: Download PNG",
                      "image: Edge map of photo at threshold 100",
                      "image: photo, 161 by 120 pixels"]) {
    assert.ok(names.includes(want), `${want} in ${names.join("; ")}`);
  }
  assert.ok(names.some((n) => n.startsWith("button: Image (BMP, PNG, JPEG")),
            names.join("; "));

  await page.click("#download");
  const png = await downloaded("photo-edges.png");
  const want_png = execFileSync(cli, ["--format", "png", "--threshold",
                                      "100", photo, "-"]);
  assert.ok(png.equals(want_png), "the download is the command line's PNG");

  mkdirSync(join(screenshot, ".."), { recursive: true });
  await page.screenshot({ path: screenshot });
});

test("a corrupt file shows the library's sentence and no map",
     { skip: !cli }, async () => {
  // A PNG cut short inside its image data.
  const png = execFileSync(cli, ["--format", "png", "--bits", "8",
                                 join(root, "examples", "photo.jpg"), "-"]);
  const corrupt = join(work, "corrupt.png");
  writeFileSync(corrupt, png.subarray(0, png.length - 40));
  const run = spawnSync(cli, [corrupt, join(work, "out.png")],
                        { encoding: "utf8" });
  assert.notEqual(run.status, 0);
  const sentence = run.stderr.trim().split(": ").pop();
  const input = await page.$("#file");
  await input.uploadFile(corrupt);
  await page.waitForFunction(
    () => document.getElementById("status").classList.contains("error"),
    { timeout: 30000 });
  const page_now = await shown();
  assert.equal(page_now.status, sentence);
  assert.equal(page_now.width, 0);
  assert.ok(await page.$eval("#download", (b) => b.disabled));
});

test("nothing was logged as an error", { skip: !cli }, () => {
  assert.deepEqual(errors, []);
});
