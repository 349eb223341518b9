// What can be drawn over a frame. Each entry names the server's layer it reads
// (layers.py), draws it on the picture's own pixel grid, gives its legend and describes one
// macroblock for the hover box. A new layer is one entry here and one in layers.py.
const MB = 16;
const QP_ALPHA = 0.5, TYPE_ALPHA = 0.5;
const LIST_COLOURS = ["#00e060", "#ff40d0"];

// The QP heatmap's colours: blue at the file's lowest QP to red at its highest, linearly.
export function qpColour(qp, [low, high]) {
  const t = high > low ? (qp - low) / (high - low) : 0.5;
  return [Math.round(255 * t), 64, Math.round(255 * (1 - t))];
}

const rgb = ([r, g, b], alpha = 1) => `rgba(${r},${g},${b},${alpha})`;

function eachMacroblock(view, visit) {
  for (let row = 0; row < view.info.mb_rows; row++)
    for (let col = 0; col < view.info.mb_cols; col++) visit(row * view.info.mb_cols + col, col * MB, row * MB);
}

function swatches(entries) {
  return entries.map(([colour, label]) => `<span class="swatch" style="background:${colour}"></span>${label}`).join(" ");
}

function vectorsIn(data, col, row) {
  const found = [];
  for (let i = 0; i < data.length; i += 7) {
    const [list, , , dx, dy, sx, sy] = data.subarray(i, i + 7);
    if (Math.floor(dx / MB) === col && Math.floor(dy / MB) === row) found.push(`L${list} (${sx - dx},${sy - dy})`);
  }
  return found;
}

function arrow(ctx, x0, y0, x1, y1) {
  const angle = Math.atan2(y1 - y0, x1 - x0), head = Math.min(3, Math.hypot(x1 - x0, y1 - y0) / 2);
  ctx.moveTo(x0, y0);
  ctx.lineTo(x1, y1);
  ctx.lineTo(x1 - head * Math.cos(angle - 0.5), y1 - head * Math.sin(angle - 0.5));
  ctx.moveTo(x1, y1);
  ctx.lineTo(x1 - head * Math.cos(angle + 0.5), y1 - head * Math.sin(angle + 0.5));
}

export const OVERLAYS = [
  {
    name: "qp", label: "QP", layer: "qp", type: Int8Array,
    draw(ctx, data, view) {
      const range = view.qpRange();
      eachMacroblock(view, (i, x, y) => {
        if (data[i] < 0) return;
        ctx.fillStyle = rgb(qpColour(data[i], range), QP_ALPHA);
        ctx.fillRect(x, y, MB, MB);
      });
    },
    legend(view) {
      const [low, high] = view.qpRange();
      return `QP <span class="ramp"></span> ${low} – ${high}${view.statsComplete() ? "" : " (so far)"}`;
    },
    describe: (data, i) => `QP ${data[i] < 0 ? "none" : data[i]}`,
  },
  {
    name: "mbtype", label: "MB types", layer: "mbtype", type: Uint8Array,
    draw(ctx, data, view) {
      const colours = view.info.mb_types;
      ctx.strokeStyle = "rgba(255,255,255,0.8)";
      ctx.lineWidth = 1;
      ctx.beginPath();
      eachMacroblock(view, (i, x, y) => {
        const kind = colours[data[2 * i]];
        if (!kind) return;
        ctx.fillStyle = rgb(kind.colour, TYPE_ALPHA);
        ctx.fillRect(x, y, MB, MB);
        const partition = view.info.partitions[data[2 * i + 1]];
        if (partition === "P8X16" || partition === "P8X8") { ctx.moveTo(x + 8.5, y); ctx.lineTo(x + 8.5, y + MB); }
        if (partition === "P16X8" || partition === "P8X8") { ctx.moveTo(x, y + 8.5); ctx.lineTo(x + MB, y + 8.5); }
      });
      ctx.stroke();
    },
    legend: (view) => swatches(Object.values(view.info.mb_types).map((k) => [rgb(k.colour), k.name])),
    describe: (data, i, view) =>
      `${view.info.mb_types[data[2 * i]]?.name ?? "UNKNOWN"} ${view.info.partitions[data[2 * i + 1]] ?? ""}`,
  },
  {
    name: "mv", label: "Motion vectors", layer: "mv", type: Int16Array,
    draw(ctx, data) {
      ctx.lineWidth = 1;
      for (const list of [0, 1]) {
        ctx.strokeStyle = LIST_COLOURS[list];
        ctx.beginPath();
        for (let i = 0; i < data.length; i += 7) {
          const [l, , , dx, dy, sx, sy] = data.subarray(i, i + 7);
          if (l === list && (dx !== sx || dy !== sy)) arrow(ctx, sx, sy, dx, dy);
        }
        ctx.stroke();
      }
    },
    legend: () => swatches([[LIST_COLOURS[0], "list 0 (past)"], [LIST_COLOURS[1], "list 1 (future)"]]),
    describe: (data, i, view) => {
      const found = vectorsIn(data, i % view.info.mb_cols, Math.floor(i / view.info.mb_cols));
      return found.length ? `vectors ${found.join(" ")}` : "no vectors";
    },
  },
  {
    name: "bits", label: "Bits per MB", layer: "bits", type: Float32Array,
    draw(ctx, data, view) {
      const most = Math.max(1, ...data);
      eachMacroblock(view, (i, x, y) => {
        if (data[i] < 0) return;
        ctx.fillStyle = `rgba(255,230,0,${(0.8 * data[i]) / most})`;
        ctx.fillRect(x, y, MB, MB);
      });
    },
    legend: () => swatches([["rgba(255,230,0,0.8)", "most bits in the frame"]]),
    describe: (data, i) => (data[i] < 0 ? "bits unknown" : `${data[i]} bits`),
  },
];
