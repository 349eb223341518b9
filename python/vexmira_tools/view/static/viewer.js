// The page: one pane per file (timeline, frame view, legend), the controls above them, and,
// for two files, their differences under the timelines. The state tests and the benchmark
// read is on the root element: data-frames, data-frame (the frame shown, set once its
// picture and overlays are drawn), data-overlays; each pane has its own data-frame. Every
// frame shown leaves a performance measure named "frame:N".
import { planesToRgba } from "./colour.js";
import { OVERLAYS } from "./overlays.js";
import { fitView, zoomAndHover } from "./stage.js";
import { drawDifferences, drawTimeline } from "./timeline.js";

const root = document.getElementById("viewer");
const STATS_POLL_MS = 250;
const state = { frame: 0, wanted: 0, deblocking: "skip", overlays: new Set(), busy: false, again: false };

async function fetchOk(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  return response;
}

// Responses asked for ahead of need: once a frame is shown, the next one's picture and
// layers are requested, so that a step forward finds them on their way or arrived.
const ahead = new Map();
const AHEAD_KEPT = 16;

function buffer(url) {
  const early = ahead.get(url);
  ahead.delete(url);
  return early ?? fetchOk(url).then((response) => response.arrayBuffer());
}

function fetchAhead(url) {
  if (ahead.has(url)) return;
  const promise = fetchOk(url).then((response) => response.arrayBuffer());
  promise.catch(() => ahead.delete(url));
  ahead.set(url, promise);
  if (ahead.size > AHEAD_KEPT) ahead.delete(ahead.keys().next().value);
}

class Pane {
  constructor(index, info, element) {
    this.index = index;
    this.info = info;
    this.element = element;
    this.stats = { frame: [], time: [], pict_type: [], key_frame: [], pkt_size: [], qp_mean: [], qp_min: [], qp_max: [], damaged: [] };
    this.layers = {};
    this.shown = -1;
    element.dataset.statsTotal = info.frames;
    element.querySelector(".name").textContent = `${info.name} — ${info.width}×${info.height} ${info.pix_fmt}, ${info.frames} frames`;
    this.picture = element.querySelector("canvas.picture");
    this.picture.width = info.width;
    this.picture.height = info.height;
    this.context = this.picture.getContext("2d", { willReadFrequently: true });
    this.image = this.context.createImageData(info.width, info.height);
    this.timeline = element.querySelector("canvas.timeline");
  }

  // Where key-frame intervals start: from the server once it has found them, until then the
  // key frames of the table so far.
  keyFrameStarts() {
    return this.keyFrames ?? this.stats.frame.filter((_, i) => this.stats.key_frame[i]);
  }

  statsComplete() { return this.stats.frame.length === this.info.frames; }

  // The file's QP range, from the frames whose row is known; the codec's whole scale before any is.
  qpRange() {
    if (this.range?.rows === this.stats.frame.length) return this.range.value;
    let low = Infinity, high = -Infinity;
    this.stats.qp_min.forEach((qp) => { if (qp >= 0) low = Math.min(low, qp); });
    this.stats.qp_max.forEach((qp) => { if (qp >= 0) high = Math.max(high, qp); });
    const value = low <= high ? [low, high] : [0, this.info.qp_scale === "mpeg2" ? 112 : 51];
    this.range = { rows: this.stats.frame.length, value };
    return value;
  }

  async pollStats() {
    while (!this.statsComplete()) {
      const answer = await (await fetchOk(`/api/${this.index}/stats?since=${this.stats.frame.length}`)).json();
      for (const [column, values] of Object.entries(answer.rows)) this.stats[column].push(...values);
      this.keyFrames = answer.key_frames;
      const progress = this.element.querySelector(".progress");
      progress.textContent = answer.error ? `table stopped: ${answer.error}`
        : this.statsComplete() ? "" : `table: ${answer.done} of ${answer.total} frames`;
      this.element.dataset.statsDone = answer.done;
      if (this.shown >= 0) this.label();
      redrawCharts();
      if (answer.error) return;
      if (!this.statsComplete()) await new Promise((resolve) => setTimeout(resolve, STATS_POLL_MS));
    }
    if (state.overlays.has("qp")) show(true);
  }

  relativeTime(frame) {
    const times = this.stats.time;
    return frame < times.length ? times[frame] - times[0] : frame / this.info.fps;
  }

  // The frame shown at a time from the first frame: the nearest, the earlier of two as near.
  frameAt(time) {
    if (!this.statsComplete()) return Math.min(this.info.frames - 1, Math.max(0, Math.round(time * this.info.fps)));
    const times = this.stats.time, start = times[0];
    let low = 0, high = times.length - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (times[middle] - start <= time) low = middle; else high = middle - 1;
    }
    const next = Math.min(low + 1, times.length - 1);
    return times[next] - start - time < time - (times[low] - start) ? next : low;
  }

  urls(frame) {
    const query = `?deblocking=${state.deblocking}`, base = `/api/${this.index}/frame/${frame}`;
    const wanted = OVERLAYS.filter((o) => state.overlays.has(o.name) && this.info.layers.includes(o.layer));
    return { wanted, urls: [`${base}/picture${query}`, ...wanted.map((o) => `${base}/layer/${o.layer}${query}`)] };
  }

  prefetch(frame) {
    if (frame < this.info.frames) this.urls(frame).urls.forEach(fetchAhead);
  }

  async render(frame) {
    const { wanted, urls } = this.urls(frame);
    const [picture, ...layers] = await Promise.all(urls.map(buffer));
    planesToRgba(new Uint8Array(picture), this.info, this.image.data);
    this.context.putImageData(this.image, 0, 0);
    this.layers = {};
    wanted.forEach((overlay, i) => {
      const data = new overlay.type(layers[i]);
      this.layers[overlay.name] = data;
      overlay.draw(this.context, data, this);
    });
    this.element.querySelector(".legend").innerHTML = wanted.map((o) => `<div>${o.legend(this)}</div>`).join("");
    this.shown = frame;
    this.label();
    this.element.dataset.frame = frame;
  }

  // What the table says of the frame shown, once it has its row.
  label() {
    const frame = this.shown, known = frame < this.stats.frame.length;
    const kind = known ? `${this.stats.pict_type[frame]}${this.stats.key_frame[frame] ? ", key" : ""}` +
      `${this.stats.damaged[frame] ? ", damaged" : ""}` : "?";
    this.element.querySelector(".frame-label").textContent =
      `frame ${frame} (${kind}) at ${this.relativeTime(frame).toFixed(3)} s`;
  }

  describe(col, row) {
    const i = row * this.info.mb_cols + col;
    const parts = OVERLAYS.filter((o) => this.layers[o.name]).map((o) => o.describe(this.layers[o.name], i, this));
    return `MB (${col}, ${row})` + (parts.length ? ": " + parts.join(", ") : " — switch an overlay on for its numbers");
  }
}

let panes = [];

function frameFor(pane, frame) {
  return pane === panes[0] ? frame : pane.frameAt(panes[0].relativeTime(frame));
}

function redrawCharts() {
  for (const pane of panes) drawTimeline(pane.timeline, pane, frameFor(pane, state.frame));
  const differences = document.getElementById("differences");
  if (panes.length === 2) drawDifferences(differences, panes[0], panes[1], (i) => frameFor(panes[1], i), state.frame);
}

// Shows state.wanted; requests made while a frame is being drawn only move the target, so a
// held arrow key never queues up frames the user has already left behind.
async function show(again = false) {
  if (state.busy) { state.again ||= again; return; }
  state.busy = true;
  try {
    while (again || panes[0].shown !== state.wanted) {
      again = false;
      const frame = state.wanted;
      performance.mark(`frame-start:${frame}`);
      await Promise.all(panes.map((pane) => pane.render(frameFor(pane, frame))));
      state.frame = frame;
      root.dataset.frame = frame;
      root.dataset.overlays = OVERLAYS.filter((o) => state.overlays.has(o.name)).map((o) => o.name).join(",");
      performance.measure(`frame:${frame}`, `frame-start:${frame}`);
      panes.forEach((pane) => pane.prefetch(frameFor(pane, frame + 1)));
      redrawCharts();
      if (state.again) { state.again = false; again = true; }
    }
  } catch (error) {
    document.getElementById("status").textContent = String(error);
  } finally {
    state.busy = false;
  }
}

function go(frame) {
  state.wanted = Math.max(0, Math.min(panes[0].info.frames - 1, frame));
  show();
}

function keyInterval(direction) {
  const starts = panes[0].keyFrameStarts(), current = state.wanted;
  if (direction > 0) return starts.find((start) => start > current) ?? panes[0].info.frames - 1;
  return [...starts].reverse().find((start) => start < current) ?? 0;
}

const KEYS = {
  ArrowRight: () => state.wanted + 1, ArrowLeft: () => state.wanted - 1,
  PageDown: () => keyInterval(1), PageUp: () => keyInterval(-1),
  Home: () => 0, End: () => panes[0].info.frames - 1,
};

function onKey(event) {
  if (!KEYS[event.key] || event.target.tagName === "SELECT") return;
  event.preventDefault();
  go(KEYS[event.key]());
}

function scrubbing(canvas) {
  const frameAtPointer = (event) => {
    const rect = canvas.getBoundingClientRect();
    return Math.floor(((event.clientX - rect.left) / rect.width) * panes[0].info.frames);
  };
  canvas.addEventListener("pointerdown", (event) => {
    canvas.setPointerCapture(event.pointerId);
    go(frameAtPointer(event));
  });
  canvas.addEventListener("pointermove", (event) => { if (event.buttons) go(frameAtPointer(event)); });
}

function exportPng() {
  const out = document.createElement("canvas");
  out.width = panes.reduce((sum, pane) => sum + pane.info.width, 0);
  out.height = Math.max(...panes.map((pane) => pane.info.height));
  let x = 0;
  for (const pane of panes) { out.getContext("2d").drawImage(pane.picture, x, 0); x += pane.info.width; }
  const link = document.createElement("a");
  link.download = `${panes.map((pane) => `${pane.info.name}-${pane.shown}`).join("+")}.png`;
  link.href = out.toDataURL("image/png");
  link.click();
}

function controls() {
  const list = document.getElementById("overlays");
  const offered = new Set(panes.flatMap((pane) => pane.info.layers));
  for (const overlay of OVERLAYS.filter((o) => offered.has(o.layer))) {
    const label = document.createElement("label");
    label.innerHTML = `<input type="checkbox" name="${overlay.name}"> ${overlay.label}`;
    label.querySelector("input").addEventListener("change", (event) => {
      event.target.checked ? state.overlays.add(overlay.name) : state.overlays.delete(overlay.name);
      event.target.blur();
      show(true);
    });
    list.append(label);
  }
  document.getElementById("deblocking").addEventListener("change", (event) => {
    state.deblocking = event.target.value;
    event.target.blur();
    show(true);
  });
  document.getElementById("export-png").addEventListener("click", exportPng);
  const tables = document.getElementById("export-csv");
  tables.innerHTML = panes.map((pane) => `<a href="/api/${pane.index}/frames.csv" download>CSV: ${pane.info.name}</a>`).join(" ");
}

async function start() {
  const infos = await (await fetchOk("/api/files")).json();
  const template = document.getElementById("pane");
  const container = document.getElementById("panes");
  panes = infos.map((info, index) => {
    const element = template.content.firstElementChild.cloneNode(true);
    element.id = `pane-${index}`;
    container.append(element);
    return new Pane(index, info, element);
  });
  document.getElementById("differences").hidden = panes.length < 2;
  for (const canvas of document.querySelectorAll("canvas.timeline, #differences")) canvas.width = canvas.clientWidth || 800;
  root.dataset.frames = infos[0].frames;
  root.dataset.overlays = "";
  controls();
  const fit = () => fitView(panes[0].element.querySelector(".stage"), infos[0].width, infos[0].height);
  for (const pane of panes) {
    scrubbing(pane.timeline);
    zoomAndHover(pane.element.querySelector(".stage"), pane.picture, (col, row) => pane.describe(col, row), fit);
  }
  document.addEventListener("keydown", onKey);
  fit();
  redrawCharts();
  state.wanted = 0;
  await show();
  await Promise.all(panes.map((pane) => pane.pollStats()));
}

start().catch((error) => { document.getElementById("status").textContent = String(error); });
