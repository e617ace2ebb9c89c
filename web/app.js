// The page's main thread: files in, pictures and the download out. The
// library runs in worker.js, so a large photo never freezes the page.
const $ = (id) => document.getElementById(id);
const file_input = $("file");
const drop = $("drop");
const slider = $("threshold");
const slider_value = $("threshold-value");
const download = $("download");
const status = $("status");
const photo = $("photo");
const edges = $("edges");

const worker = new Worker(new URL("./worker.js", import.meta.url), {
  type: "module",
});

let name = "image";
// The worker draws one map at a time; a slider moved meanwhile asks again
// for its last value only, once the map in hand is drawn.
let busy = false;
let wanted = null;

function say(text, error = false) {
  status.textContent = text;
  status.classList.toggle("error", error);
  status.setAttribute("role", error ? "alert" : "status");
}

function clear(canvas) {
  canvas.width = 0;
  canvas.height = 0;
}

function threshold() {
  return Number(slider.value);
}

async function open(file) {
  if (!file) return;
  name = file.name.replace(/\.[^.]*$/, "") || "image";
  say(`Reading ${file.name}…`);
  download.disabled = true;
  busy = true;
  wanted = null;
  const bytes = await file.arrayBuffer();
  worker.postMessage({ type: "open", bytes, threshold: threshold() }, [bytes]);
}

function ask_map() {
  if (busy) {
    wanted = threshold();
    return;
  }
  busy = true;
  worker.postMessage({ type: "threshold", threshold: threshold() });
}

function paint(canvas, width, height, buffer) {
  canvas.width = width;
  canvas.height = height;
  if (width === 0 || height === 0) return;
  const pixels = new ImageData(new Uint8ClampedArray(buffer), width, height);
  canvas.getContext("2d").putImageData(pixels, 0, 0);
}

worker.onmessage = ({ data: message }) => {
  switch (message.type) {
    case "decoded":
      paint(photo, message.width, message.height, message.photo);
      photo.setAttribute("aria-label", `${name}, ${message.width} by ` +
                         `${message.height} pixels`);
      break;
    case "map":
      paint(edges, photo.width, photo.height, message.data.buffer);
      edges.setAttribute("aria-label", `Edge map of ${name} at threshold ` +
                         `${message.threshold}`);
      edges.dataset.threshold = String(message.threshold);
      download.disabled = false;
      say(`${name}: ${photo.width} × ${photo.height} pixels, threshold ` +
          `${message.threshold}`);
      busy = false;
      if (wanted !== null && wanted !== message.threshold) {
        wanted = null;
        ask_map();
      }
      wanted = null;
      break;
    case "png": {
      const blob = new Blob([message.png], { type: "image/png" });
      const link = document.createElement("a");
      link.href = URL.createObjectURL(blob);
      link.download = `${name}-edges.png`;
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 60000);
      say(`Saved ${link.download} (threshold ${message.threshold})`);
      break;
    }
    case "error":
      // The library's sentence, on one line; a refused file leaves no map.
      busy = false;
      wanted = null;
      if (message.request === "open") {
        clear(photo);
        clear(edges);
        photo.setAttribute("aria-label", "Photo: none");
        edges.setAttribute("aria-label", "Edge map: none");
        delete edges.dataset.threshold;
        download.disabled = true;
      }
      say(message.message, true);
      break;
  }
};

file_input.addEventListener("change", () => open(file_input.files[0]));
slider.addEventListener("input", () => {
  slider_value.value = slider.value;
  slider.setAttribute("aria-valuetext", `threshold ${slider.value}`);
  if (edges.width > 0) ask_map();
});
download.addEventListener("click", () => {
  worker.postMessage({ type: "download", threshold: threshold() });
});

for (const type of ["dragenter", "dragover"]) {
  drop.addEventListener(type, (e) => {
    e.preventDefault();
    drop.classList.add("over");
  });
}
for (const type of ["dragleave", "drop"]) {
  drop.addEventListener(type, () => drop.classList.remove("over"));
}
drop.addEventListener("drop", (e) => {
  e.preventDefault();
  open(e.dataTransfer.files[0]);
});
