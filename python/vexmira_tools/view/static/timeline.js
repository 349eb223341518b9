// The timeline: one bar per frame, its height the frame's size in bits, its colour the
// picture type; key frames marked above, damaged ones below; the mean QP as a line over it.
// Where frames outnumber pixels, each pixel column shows the largest of its frames.
export const TYPE_COLOURS = { I: "#e04040", P: "#40b040", B: "#4080e0" };
const OTHER_COLOUR = "#a0a0a0", QP_COLOUR = "#ffd000", MARK = 6;

export function drawTimeline(canvas, view, current) {
  const ctx = canvas.getContext("2d"), { width, height } = canvas;
  const rows = view.stats, frames = view.info.frames, done = rows.frame.length;
  ctx.clearRect(0, 0, width, height);
  ctx.fillStyle = "#202020";
  ctx.fillRect(0, 0, width, height);
  const perPixel = frames / width, barTop = MARK + 2, barHeight = height - 2 * MARK - 4;
  const most = Math.max(1, ...rows.pkt_size);
  const x = (frame) => Math.floor(frame / perPixel);
  const barWidth = Math.max(1, Math.floor(1 / perPixel) - (perPixel < 0.25 ? 1 : 0));
  for (let i = 0; i < done; i++) {
    const h = Math.max(1, Math.round((rows.pkt_size[i] / most) * barHeight));
    ctx.fillStyle = TYPE_COLOURS[rows.pict_type[i]] ?? OTHER_COLOUR;
    ctx.fillRect(x(i), barTop + barHeight - h, barWidth, h);
    ctx.fillStyle = rows.damaged[i] ? "#ff2020" : "#ffffff";
    if (rows.key_frame[i]) ctx.fillRect(x(i), 0, Math.max(barWidth, 2), MARK);
    if (rows.damaged[i]) ctx.fillRect(x(i), height - MARK, Math.max(barWidth, 2), MARK);
  }
  drawQpLine(ctx, rows, view.qpRange(), (i) => x(i) + barWidth / 2, barTop, barHeight);
  if (done < frames) {
    ctx.fillStyle = "rgba(255,255,255,0.08)";
    ctx.fillRect(x(done), 0, width - x(done), height);
  }
  // The frame shown: its bar lit, a line through its middle.
  ctx.fillStyle = "rgba(255,255,255,0.35)";
  ctx.fillRect(x(current), 0, barWidth, height);
  ctx.fillStyle = "#ffffff";
  ctx.fillRect(x(current) + Math.floor(barWidth / 2), 0, 1, height);
}

function drawQpLine(ctx, rows, [low, high], xOf, top, height) {
  ctx.strokeStyle = QP_COLOUR;
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  let drawing = false;
  rows.qp_mean.forEach((qp, i) => {
    if (qp === null) { drawing = false; return; }
    const y = top + height - ((qp - low) / Math.max(1, high - low)) * height;
    drawing ? ctx.lineTo(xOf(i), y) : ctx.moveTo(xOf(i), y);
    drawing = true;
  });
  ctx.stroke();
}

// Per-frame differences of the second file from the first, at the first's frames: size in
// bits as bars about the middle line, mean QP as a line.
export function drawDifferences(canvas, first, second, alignedFrame, current) {
  const ctx = canvas.getContext("2d"), { width, height } = canvas;
  ctx.fillStyle = "#202020";
  ctx.fillRect(0, 0, width, height);
  const frames = first.info.frames, middle = height / 2, sizes = [], qps = [];
  for (let i = 0; i < frames; i++) {
    const j = alignedFrame(i);
    const known = i < first.stats.frame.length && j < second.stats.frame.length;
    sizes.push(known ? 8 * (second.stats.pkt_size[j] - first.stats.pkt_size[i]) : null);
    const a = known ? first.stats.qp_mean[i] : null, b = known ? second.stats.qp_mean[j] : null;
    qps.push(a === null || b === null ? null : b - a);
  }
  const most = Math.max(1, ...sizes.map((d) => Math.abs(d ?? 0)));
  const mostQp = Math.max(1, ...qps.map((d) => Math.abs(d ?? 0)));
  const perPixel = frames / width;
  sizes.forEach((d, i) => {
    if (d === null) return;
    ctx.fillStyle = d > 0 ? "#e08040" : "#40a0e0";
    const h = (d / most) * (middle - 2);
    ctx.fillRect(Math.floor(i / perPixel), Math.min(middle, middle - h), Math.max(1, Math.floor(1 / perPixel)), Math.abs(h));
  });
  drawQpLine(ctx, { qp_mean: qps }, [-mostQp, mostQp], (i) => i / perPixel, 2, height - 4);
  ctx.fillStyle = "#808080";
  ctx.fillRect(0, middle, width, 1);
  ctx.fillStyle = "#ffffff";
  ctx.fillRect(Math.floor(current / perPixel), 0, 1, height);
  ctx.font = "11px sans-serif";
  ctx.fillText(`size B−A: ±${most} bits   mean QP B−A (yellow): ±${mostQp.toFixed(2)}`, 4, 12);
}
