// The page's work, off its main thread: the file decoded once, its pixels
// kept in the library's memory, a map drawn from them at every threshold
// the slider asks for, and the library's PNG made when it is downloaded.
import * as edgemap from "./index.js";

let file = null; // the file's bytes, for the download
let pixels = null; // its decoded pixels, in the library's memory

const ready = edgemap.load();
// A module that cannot load is reported at the first request.
ready.catch(() => {});

function drop_image() {
  pixels?.free();
  pixels = null;
  file = null;
}

async function open(bytes) {
  drop_image();
  const decoded = edgemap.decode(bytes);
  file = bytes;
  pixels = edgemap.createImage(decoded.width, decoded.height, 4);
  pixels.data.set(decoded.data);
  const photo = decoded.data.buffer;
  postMessage(
    { type: "decoded", width: decoded.width, height: decoded.height, photo },
    [photo],
  );
}

function map(threshold) {
  const edges = edgemap.detect(pixels, { threshold, view: true });
  // One copy out, handed over whole to the page.
  const data = edges.data.slice();
  postMessage({ type: "map", threshold, data }, [data.buffer]);
}

function download(threshold) {
  const png = edgemap.convert(file, { format: "png", threshold });
  postMessage({ type: "png", threshold, png }, [png.buffer]);
}

onmessage = async ({ data: message }) => {
  try {
    await ready;
    if (message.type === "open") {
      await open(new Uint8Array(message.bytes));
      map(message.threshold);
    } else if (message.type === "threshold" && pixels !== null) {
      map(message.threshold);
    } else if (message.type === "download" && file !== null) {
      download(message.threshold);
    }
  } catch (e) {
    if (message.type === "open") drop_image();
    postMessage({
      type: "error",
      request: message.type,
      message: e instanceof edgemap.EdgemapError ? e.message : String(e),
    });
  }
};
