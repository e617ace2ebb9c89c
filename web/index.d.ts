// edgemap: black-and-white Sobel edge maps, byte for byte the edgemap
// library's, as WebAssembly.

/** Pixels as an ImageData holds them (RGBA) or as RGB / RGBA bytes. */
export interface ImageLike {
  readonly data: Uint8Array | Uint8ClampedArray;
  readonly width: number;
  readonly height: number;
  /** Bytes per pixel: 3 (RGB) or 4 (RGBA, the default, as ImageData). */
  readonly channels?: 3 | 4;
}

/** An ImageData, or an object of the same shape where there is none. */
export interface EdgeMap {
  readonly data: Uint8ClampedArray;
  readonly width: number;
  readonly height: number;
}

/** One byte per pixel: 255 for an edge, 0 elsewhere. */
export interface EdgeMask {
  readonly data: Uint8Array;
  readonly width: number;
  readonly height: number;
}

/** An image whose pixels live in the library's memory. */
export interface WasmImage extends ImageLike {
  /** A fresh view at every use; invalid after free(). */
  readonly data: Uint8ClampedArray;
  readonly channels: 3 | 4;
  free(): void;
}

export interface DetectOptions {
  /** Gradient magnitude that makes an edge. Default 90; NaN never does. */
  threshold?: number;
  /**
   * Return a view of the library's memory instead of a copy: valid until
   * the next call into the library.
   */
  view?: boolean;
}

export interface ConvertOptions {
  /** 'auto' (default): BMP for a bitmap, TIFF for a TIFF, else PNG. */
  format?: "auto" | "bmp" | "png" | "tiff";
  /** Bits per target pixel; 0 (default) is the format's default. */
  bits?: number;
  /** Default 90. */
  threshold?: number;
  /** Sources of more pixels are refused; 0 is no limit. Default 2^28. */
  maxPixels?: number;
  /** Turn the map upright by the source's EXIF orientation. */
  orient?: boolean;
}

export interface DecodeOptions {
  /** As for convert. */
  maxPixels?: number;
}

export interface LoadOptions {
  /** false forces the scalar module; the SIMD one needs engine support. */
  simd?: boolean;
  /** false leaves out the codecs module: no convert or decode. */
  codecs?: boolean;
}

/** A status code of the library (edgemap.h) and its sentence. */
export class EdgemapError extends Error {
  readonly name: "EdgemapError";
  readonly status: number;
}

/** Loads the modules (SIMD where the engine has it). Call once first. */
export function load(options?: LoadOptions): Promise<void>;
/** Whether this engine runs WebAssembly SIMD. */
export function simdSupported(): boolean;
/** "simd" or "scalar" once loaded, else null. */
export function variant(): "simd" | "scalar" | null;

/** The edge map as RGBA: 0 where an edge is, 255 elsewhere. */
export function detect(image: ImageLike, options?: DetectOptions): EdgeMap;
/** The edge decision, 255 for an edge and 0 elsewhere. */
export function mask(image: ImageLike, options?: DetectOptions): EdgeMask;
/** Pixels in the library's memory, read by detect and mask in place. */
export function createImage(
  width: number,
  height: number,
  channels?: 3 | 4,
): WasmImage;

/** A file's bytes to the bytes the command line writes for it. */
export function convert(
  bytes: Uint8Array | ArrayBuffer | ArrayBufferView,
  options?: ConvertOptions,
): Uint8Array;
/** The pixels the library decodes from a file, RGBA, rows as stored. */
export function decode(
  bytes: Uint8Array | ArrayBuffer | ArrayBufferView,
  options?: DecodeOptions,
): EdgeMap;

/** The library's version, e.g. "1.3.0". */
export function version(): string;
/** The library's sentence for a status code. */
export function strerror(status: number): string;
