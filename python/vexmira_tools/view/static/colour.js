// Y'CbCr to RGB as the page shows pictures: ITU-R BT.601's matrix, limited range (Y' 16-235,
// Cb and Cr 16-240) unless the pixel format says full range (yuvj*); each chroma sample
// covers the luma samples it was subsampled from (nearest, no interpolation). Values are
// computed in floating point and stored in a Uint8ClampedArray, which clamps to 0-255 and
// rounds to the nearest integer, halves to even.
const LIMITED = { y: 255 / 219, cr_r: 1.596027, cb_g: 0.391762, cr_g: 0.812968, cb_b: 2.017232, black: 16 };
const FULL = { y: 1, cr_r: 1.402, cb_g: 0.344136, cr_g: 0.714136, cb_b: 1.772, black: 0 };

export function planesToRgba(bytes, layout, rgba) {
  const { width, height, chroma_width: cw, chroma_height: ch } = layout;
  const k = layout.full_range ? FULL : LIMITED;
  const luma = width * height;
  if (!cw) {
    for (let i = 0; i < luma; i++) {
      const v = k.y * (bytes[i] - k.black);
      rgba[4 * i] = rgba[4 * i + 1] = rgba[4 * i + 2] = v;
      rgba[4 * i + 3] = 255;
    }
    return;
  }
  const across = Math.round(width / cw), down = Math.round(height / ch);
  const cb = luma, cr = luma + cw * ch;
  for (let y = 0; y < height; y++) {
    const chromaRow = Math.floor(y / down) * cw;
    for (let x = 0; x < width; x++) {
      const i = y * width + x, c = chromaRow + Math.floor(x / across);
      const l = k.y * (bytes[i] - k.black), u = bytes[cb + c] - 128, v = bytes[cr + c] - 128;
      rgba[4 * i] = l + k.cr_r * v;
      rgba[4 * i + 1] = l - k.cb_g * u - k.cr_g * v;
      rgba[4 * i + 2] = l + k.cb_b * u;
      rgba[4 * i + 3] = 255;
    }
  }
}
