// edgemap for browsers, workers and Node: the library compiled to
// WebAssembly. The pixel functions come in a module with 128-bit SIMD and
// one without, the first chosen wherever the engine validates SIMD; the
// files' functions (convert, decode) in a codecs module both share.
// Everything runs on the calling thread; the page in this folder calls it
// from a worker.

// The smallest module with a SIMD instruction: one function returning
// i8x16.popcnt(i8x16.splat(0)). Engines without SIMD refuse it.
const simd_probe = new Uint8Array([
  0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1,
  8, 0, 65, 0, 253, 15, 253, 98, 11,
]);

const formats = { auto: 0, bmp: 1, png: 2, tiff: 3 };
const default_threshold = 90;
const default_max_pixels = 2 ** 28;
const no_memory = -5;

let wasm = null; // the pixel module's exports and memory once loaded
let codecs = null; // the codecs module's, unless load() was told not to
let loading = null;
let loaded_key = null;
let loaded_variant = null;

const is_node =
  typeof process === "object" && typeof process.versions?.node === "string";

/** A status code from the library and its sentence. */
export class EdgemapError extends Error {
  constructor(status, message) {
    super(message);
    this.name = "EdgemapError";
    this.status = status;
  }
}

/** Whether this engine runs WebAssembly SIMD. */
export function simdSupported() {
  return WebAssembly.validate(simd_probe);
}

/**
 * Loads the library: the pixel module with SIMD where the engine has SIMD,
 * else the scalar one (options.simd: false forces it), and the codecs
 * module for convert and decode unless options.codecs is false. Resolves
 * once the library can be called; calling it again with the same options
 * returns the same promise.
 */
export function load(options = {}) {
  const variant =
    (options.simd ?? true) && simdSupported() ? "simd" : "scalar";
  const with_codecs = options.codecs ?? true;
  const key = `${variant} ${with_codecs}`;
  if (loading && loaded_key === key) return loading;
  loaded_key = key;
  wasm = null;
  codecs = null;
  loading = Promise.all([
    instantiate(`edgemap-${variant}`),
    with_codecs ? instantiate("edgemap-codecs") : null,
  ]).then(
    ([pixels, files]) => {
      // A later load() with other options wins.
      if (loaded_key !== key) return;
      wasm = pixels;
      codecs = files;
      loaded_variant = variant;
    },
    (e) => {
      if (loaded_key === key) loading = null;
      throw e;
    },
  );
  return loading;
}

async function instantiate(name) {
  const { default: create } = await import(`./dist/${name}.js`);
  const wasm_url = new URL(`./dist/${name}.wasm`, import.meta.url);
  const module_options = {
    print: () => {},
    printErr: () => {},
    locateFile: () => wasm_url.href,
  };
  if (is_node) {
    // Node's fetch cannot read file: URLs; the bytes are handed over.
    const { readFile } = await import("node:fs/promises");
    module_options.wasmBinary = await readFile(wasm_url);
  }
  return create(module_options);
}

function library() {
  if (wasm === null) {
    throw new Error("edgemap: call `await load()` first");
  }
  return wasm;
}

function files() {
  library();
  if (codecs === null) {
    throw new Error("edgemap: convert and decode need `load()` without " +
                    "{codecs: false}");
  }
  return codecs;
}

// A NUL-terminated string at ptr in the module's memory.
function string_at(m, ptr) {
  const heap = m.HEAPU8;
  let end = ptr;
  while (heap[end] !== 0) ++end;
  return new TextDecoder().decode(heap.subarray(ptr, end));
}

function fail(m, status) {
  throw new EdgemapError(status, string_at(m, m._edgemap_strerror(status)));
}

// Calls into the module. The build has no C++ exception handling: an
// exception that leaves the module (a std::bad_alloc past the memory's
// limit, thrown as the number of its exception object) would leave the
// module's stack pointer where the throw was, so it is put back, and the
// call reported as out of memory.
function call(m, fn) {
  const stack = m.stackSave();
  try {
    return fn();
  } catch (e) {
    m.stackRestore(stack);
    if (typeof e === "number") fail(m, no_memory);
    throw e;
  }
}

// Buffers in each module's memory kept between calls, so that a slider's
// redraws do not allocate: one for the pixels in, one for the map out.
const buffers = new WeakMap();

function buffer(m, which, size) {
  if (!buffers.has(m)) {
    buffers.set(m, { in: { ptr: 0, size: 0 }, out: { ptr: 0, size: 0 } });
  }
  const b = buffers.get(m)[which];
  if (b.size < size) {
    if (b.ptr !== 0) m._free(b.ptr);
    b.ptr = m._malloc(Math.max(size, 1));
    b.size = b.ptr === 0 ? 0 : size;
    if (b.ptr === 0) fail(m, no_memory);
  }
  return b.ptr;
}

function check_image(image) {
  if (image === null || typeof image !== "object") {
    throw new TypeError("edgemap: expected an image, got " + typeof image);
  }
  const { data, width, height } = image;
  const channels = image.channels ?? 4;
  if (!(data instanceof Uint8Array || data instanceof Uint8ClampedArray)) {
    throw new TypeError(
      "edgemap: expected image.data to be a Uint8Array or Uint8ClampedArray",
    );
  }
  if (!Number.isInteger(width) || width < 0) {
    throw new TypeError("edgemap: expected a whole width, got " + width);
  }
  if (!Number.isInteger(height) || height < 0) {
    throw new TypeError("edgemap: expected a whole height, got " + height);
  }
  if (channels !== 3 && channels !== 4) {
    throw new TypeError("edgemap: expected 3 or 4 channels, got " + channels);
  }
  if (data.length < width * height * channels) {
    throw new TypeError(
      `edgemap: ${width} x ${height} x ${channels} bytes expected, ` +
        `image.data has ${data.length}`,
    );
  }
  return { data, width, height, channels };
}

function threshold_of(options) {
  const t = options?.threshold ?? default_threshold;
  if (typeof t !== "number") {
    throw new TypeError("edgemap: expected a number threshold, got " + t);
  }
  return t;
}

// The pixels in the module's memory: where they are already (an image
// from createImage, or an earlier result viewed in place), or copied there
// once. An earlier result still in the buffer this call writes its own
// into is copied out of the way first.
function pixels_in(m, image) {
  const bytes = image.width * image.height * image.channels;
  if (image.data.buffer === m.HEAPU8.buffer) {
    const at = image.data.byteOffset;
    const out = buffers.get(m)?.out;
    if (!out || at + bytes <= out.ptr || at >= out.ptr + out.size) return at;
    const ptr = buffer(m, "in", bytes);
    m.HEAPU8.copyWithin(ptr, at, at + bytes);
    return ptr;
  }
  const ptr = buffer(m, "in", bytes);
  // Between arrays of one type, set is a memory copy; from a
  // Uint8ClampedArray to a Uint8Array it goes element by element.
  const { buffer: b, byteOffset } = image.data;
  m.HEAPU8.set(new Uint8Array(b, byteOffset, bytes), ptr);
  return ptr;
}

function result(m, ptr, bytes, type, view) {
  const data = new type(m.HEAPU8.buffer, ptr, bytes);
  return view ? data : data.slice();
}

/**
 * An image whose pixels live in the module's memory, for callers that
 * make many maps of one image (a slider) or fill the pixels themselves:
 * detect and mask then read them where they are, without a copy. data is
 * looked up at every use (a memory that grows replaces the views on it);
 * free() gives the memory back, after which the image must not be used.
 */
export function createImage(width, height, channels = 4) {
  const m = library();
  check_image({ data: new Uint8Array(0), width: 0, height: 0, channels });
  if (!Number.isInteger(width) || width < 0) {
    throw new TypeError("edgemap: expected a whole width, got " + width);
  }
  if (!Number.isInteger(height) || height < 0) {
    throw new TypeError("edgemap: expected a whole height, got " + height);
  }
  const bytes = width * height * channels;
  let ptr = m._malloc(Math.max(bytes, 1));
  if (ptr === 0) fail(m, no_memory);
  return {
    width,
    height,
    channels,
    get data() {
      if (ptr === 0) throw new Error("edgemap: the image was freed");
      return new Uint8ClampedArray(m.HEAPU8.buffer, ptr, bytes);
    },
    free() {
      if (ptr !== 0 && wasm === m) m._free(ptr);
      ptr = 0;
    },
  };
}

/**
 * The edge map of an ImageData or {data, width, height, channels: 3|4}:
 * RGBA, black (0) where the gradient reaches the threshold (default 90),
 * white elsewhere, alpha the source's (255 for 3 channels). An ImageData
 * where the environment has one, else an object shaped like one. With
 * {view: true}, data is a view of the module's memory, valid until the
 * next call into the library.
 */
export function detect(image, options = {}) {
  const m = library();
  const img = check_image(image);
  const threshold = threshold_of(options);
  return call(m, () => {
    const out_bytes = img.width * img.height * 4;
    const src = pixels_in(m, img);
    const dst = buffer(m, "out", out_bytes);
    const status = m._edgemap_web_detect(
      src,
      img.width * img.channels,
      img.channels,
      dst,
      img.width,
      img.height,
      threshold,
    );
    if (status !== 0) fail(m, status);
    const data = result(m, dst, out_bytes, Uint8ClampedArray, options.view);
    if (!options.view && typeof ImageData === "function" && out_bytes > 0) {
      return new ImageData(data, img.width, img.height);
    }
    return { data, width: img.width, height: img.height };
  });
}

/**
 * The same decision as one byte per pixel: 255 for an edge, 0 elsewhere,
 * as {data: Uint8Array, width, height}. {view: true} as for detect.
 */
export function mask(image, options = {}) {
  const m = library();
  const img = check_image(image);
  const threshold = threshold_of(options);
  return call(m, () => {
    const out_bytes = img.width * img.height;
    const src = pixels_in(m, img);
    const dst = buffer(m, "out", out_bytes);
    const status = m._edgemap_web_mask(
      src,
      img.width * img.channels,
      img.channels,
      dst,
      img.width,
      img.height,
      threshold,
    );
    if (status !== 0) fail(m, status);
    const data = result(m, dst, out_bytes, Uint8Array, options.view);
    return { data, width: img.width, height: img.height };
  });
}

function bytes_of(bytes) {
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  if (ArrayBuffer.isView(bytes)) {
    return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  }
  throw new TypeError(
    "edgemap: expected the file's bytes as a Uint8Array or ArrayBuffer",
  );
}

function max_pixels_of(options) {
  const n = options?.maxPixels ?? default_max_pixels;
  if (!Number.isSafeInteger(n) || n < 0) {
    throw new TypeError("edgemap: expected a whole maxPixels >= 0, got " + n);
  }
  return n;
}

// Sets the fields of an edgemap_options that edgemap_options_init filled,
// at the offsets the module reports.
function write_options(m, ptr, options) {
  const at = new Uint32Array(
    m.HEAPU8.buffer,
    m._edgemap_web_options_layout(),
    7,
  );
  const [, threshold, threads, format, bits, max_pixels, orient] = at;
  const format_code = formats[options.format ?? "auto"];
  if (format_code === undefined) {
    throw new TypeError(
      "edgemap: expected format 'auto', 'bmp', 'png' or 'tiff', got " +
        options.format,
    );
  }
  const bits_value = options.bits ?? 0;
  if (!Number.isInteger(bits_value) || bits_value < 0) {
    throw new TypeError("edgemap: expected whole bits, got " + bits_value);
  }
  const view = new DataView(m.HEAPU8.buffer);
  view.setFloat64(ptr + threshold, threshold_of(options), true);
  view.setUint32(ptr + threads, 1, true);
  view.setInt32(ptr + format, format_code, true);
  view.setUint32(ptr + bits, bits_value, true);
  view.setBigUint64(ptr + max_pixels, BigInt(max_pixels_of(options)), true);
  view.setInt32(ptr + orient, options.orient ? 1 : 0, true);
}

/**
 * A BMP, PNG, JPEG, TIFF or WebP file's bytes to an edge map file's
 * bytes, the same bytes the command line writes for the same file and
 * options: {format: 'auto'|'bmp'|'png'|'tiff', bits, threshold, maxPixels,
 * orient}. 'auto' is BMP for a bitmap, TIFF for a TIFF, PNG otherwise.
 */
export function convert(bytes, options = {}) {
  const m = files();
  const source = bytes_of(bytes);
  return call(m, () => {
    const src = buffer(m, "in", source.length);
    m.HEAPU8.set(source, src);
    const size = new Uint32Array(m.HEAPU8.buffer, m._edgemap_web_options_layout(), 1)[0];
    const opts = buffer(m, "out", size + 8);
    m._edgemap_options_init(opts);
    write_options(m, opts, options);
    const out = opts + size; // two pointer-sized results after the options
    const status = m._edgemap_convert_memory_ex(
      src,
      source.length,
      out,
      out + 4,
      opts,
    );
    if (status !== 0) fail(m, status);
    const [ptr, length] = new Uint32Array(m.HEAPU8.buffer, out, 2);
    const copy = m.HEAPU8.slice(ptr, ptr + length);
    m._edgemap_free(ptr);
    return copy;
  });
}

/**
 * The pixels the library decodes from a file's bytes, the ones its edge
 * maps are made from, as {data: Uint8ClampedArray RGBA, width, height}
 * (an ImageData where there is one), rows as stored (no EXIF turn).
 * {maxPixels} as for convert.
 */
export function decode(bytes, options = {}) {
  const m = files();
  const source = bytes_of(bytes);
  const max_pixels = max_pixels_of(options);
  return call(m, () => {
    const src = buffer(m, "in", source.length);
    m.HEAPU8.set(source, src);
    const out = buffer(m, "out", 12);
    const status = m._edgemap_web_decode(
      src,
      source.length,
      max_pixels,
      out,
      out + 4,
      out + 8,
    );
    if (status !== 0) fail(m, status);
    const [ptr, width, height] = new Uint32Array(m.HEAPU8.buffer, out, 3);
    const data = new Uint8ClampedArray(
      m.HEAPU8.buffer.slice(ptr, ptr + width * height * 4),
    );
    m._edgemap_free(ptr);
    if (typeof ImageData === "function" && data.length > 0) {
      return new ImageData(data, width, height);
    }
    return { data, width, height };
  });
}

/** The library's version, as the command line's --version prints it. */
export function version() {
  const m = library();
  return string_at(m, m._edgemap_version());
}

/** The library's sentence for a status code. */
export function strerror(status) {
  const m = library();
  return string_at(m, m._edgemap_strerror(status));
}

/** Which pixel module load() chose: "simd" or "scalar" (null before). */
export function variant() {
  return wasm === null ? null : loaded_variant;
}
