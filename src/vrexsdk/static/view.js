// The live view's page: takes the server's update messages and draws them on canvases. No libraries, no build.
"use strict";

const $ = (id) => document.getElementById(id);

// Viridis at nine points, interpolated to 256 colours (the same table the PNG writer uses).
const ANCHORS = [[68, 1, 84], [71, 44, 122], [59, 81, 139], [44, 113, 142], [33, 144, 141],
                 [39, 173, 129], [92, 200, 99], [170, 220, 50], [253, 231, 37]];
const LUT = new Uint8Array(256 * 3);
for (let i = 0; i < 256; i++) {
  const x = i / 255 * (ANCHORS.length - 1), k = Math.min(Math.floor(x), ANCHORS.length - 2), f = x - k;
  for (let c = 0; c < 3; c++) LUT[i * 3 + c] = Math.round(ANCHORS[k][c] * (1 - f) + ANCHORS[k + 1][c] * f);
}

const view = { updates: 0, header: null, image: null, spectrum: null, toa: null, clusterSizes: null, state: null,
               drawn: 0 };
window.vrexView = view;  // read (and sent through) by the browser test
let socket = null, pending = false;

function send(request) {
  if (!socket || socket.readyState !== WebSocket.OPEN) { showError("not connected to the server"); return; }
  socket.send(JSON.stringify(request));
}

view.send = send;

function showError(message) {
  const box = $("error");
  box.textContent = message;
  box.style.display = message ? "block" : "none";
}

function fmt(v) {
  if (v === null || v === undefined || !isFinite(v)) return "–";
  const a = Math.abs(v);
  if (a >= 1e9) return (v / 1e9).toFixed(2) + " G";
  if (a >= 1e6) return (v / 1e6).toFixed(2) + " M";
  if (a >= 1e4) return (v / 1e3).toFixed(1) + " k";
  return Number.isInteger(v) ? String(v) : v.toFixed(1);
}

// ---- messages -------------------------------------------------------------------------------------------------------

function onState(s) {
  view.state = s;
  const select = $("mode"), chosen = select.value;
  if (select.options.length !== s.modes.length) {
    select.replaceChildren(...s.modes.map((m) => new Option(m, m)));
    select.value = s.modes.includes(chosen) ? chosen : (s.mode || s.modes[0] || "");
  }
  $("start").disabled = s.running || !s.open;
  $("stop").disabled = !s.running;
  let text = s.open ? (s.running ? `running ${s.mode} on ${s.channel}` + (s.seconds ? ` for ${s.seconds} s` : "")
                                 : "idle" + (s.ended ? ` (last run ${s.ended})` : ""))
                    : "device not open";
  $("status").textContent = text;
}

function onUpdate(buffer) {
  const length = new DataView(buffer).getUint32(0, true);
  const header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  const arrays = {};
  const types = { u1: Uint8Array, u2: Uint16Array, u4: Uint32Array };  // each array in the narrowest that fits
  for (const [name, a] of Object.entries(header.arrays)) arrays[name] = { ...a, data: new types[a.type](buffer, a.offset, a.length) };
  view.header = header;
  view.image = arrays.image || null;
  view.spectrum = arrays.spectrum || null;
  view.toa = arrays.toa || null;
  view.clusterSizes = arrays.clusterSizes || null;
  view.updates++;
  if (!pending) { pending = true; requestAnimationFrame(draw); }  // draw at most once per screen refresh
}

function connect() {
  socket = new WebSocket(`${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`);
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { showError(""); };
  socket.onmessage = (event) => {
    if (typeof event.data !== "string") { onUpdate(event.data); return; }
    const message = JSON.parse(event.data);
    if (message.type === "state") onState(message);
    else if (message.type === "error") showError(message.message);
    else if (message.type === "saved") $("notice").textContent = `saved ${message.path}`;
  };
  socket.onclose = () => {
    $("status").textContent = "disconnected: retrying…";
    $("start").disabled = $("stop").disabled = true;
    setTimeout(connect, 1000);
  };
}

// ---- drawing --------------------------------------------------------------------------------------------------------

const IMG = { left: 44, top: 8, size: 512, bar: 16, gap: 10 };

function scaleOf(max, log) {
  // Maps a count to 0..255: log(1 + v) spreads the few hot pixels from the many faint ones.
  const top = log ? Math.log1p(max) : max;
  return (v) => top > 0 ? Math.min(255, Math.round((log ? Math.log1p(v) : v) / top * 255)) : 0;
}

function drawImage() {
  const canvas = $("image"), ctx = canvas.getContext("2d"), img = view.image, log = $("log").checked;
  ctx.fillStyle = "#fff";
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  if (!img) { ctx.fillStyle = "#888"; ctx.fillText("no image yet", IMG.left + 200, IMG.top + 256); return; }
  const { width, height, data } = img;
  let max = 0;
  for (let i = 0; i < data.length; i++) if (data[i] > max) max = data[i];
  const level = scaleOf(max, log), pixels = new ImageData(width, height);
  for (let i = 0; i < data.length; i++) {
    const l = level(data[i]) * 3, o = i * 4;
    pixels.data[o] = LUT[l]; pixels.data[o + 1] = LUT[l + 1]; pixels.data[o + 2] = LUT[l + 2]; pixels.data[o + 3] = 255;
  }
  const off = new OffscreenCanvas(width, height);
  off.getContext("2d").putImageData(pixels, 0, 0);
  const zoom = IMG.size / Math.max(width, height), w = width * zoom, h = height * zoom;
  img.zoom = zoom;
  ctx.imageSmoothingEnabled = false;  // pixels stay square
  ctx.drawImage(off, IMG.left, IMG.top, w, h);
  // Axes in pixels: x along the bottom, y down the left, as the array is indexed [y, x].
  ctx.fillStyle = "#222"; ctx.strokeStyle = "#222"; ctx.font = "11px system-ui";
  const ticks = (n) => { const step = n > 64 ? 64 : n > 16 ? 8 : 1; const t = []; for (let v = 0; v <= n; v += step) t.push(v); return t; };
  ctx.textAlign = "center"; ctx.textBaseline = "top";
  for (const v of ticks(width)) { const x = IMG.left + v * zoom; ctx.fillRect(x, IMG.top + h, 1, 4); ctx.fillText(v, x, IMG.top + h + 6); }
  ctx.fillText("x (pixels)", IMG.left + w / 2, IMG.top + h + 20);
  ctx.textAlign = "right"; ctx.textBaseline = "middle";
  for (const v of ticks(height)) { const y = IMG.top + v * zoom; ctx.fillRect(IMG.left - 4, y, 4, 1); ctx.fillText(v, IMG.left - 6, y); }
  // The colour bar, labelled in counts whichever the scale.
  const bx = IMG.left + w + IMG.gap;
  for (let y = 0; y < h; y++) {
    const l = Math.round((1 - y / (h - 1)) * 255) * 3;
    ctx.fillStyle = `rgb(${LUT[l]},${LUT[l + 1]},${LUT[l + 2]})`;
    ctx.fillRect(bx, IMG.top + y, IMG.bar, 1);
  }
  ctx.fillStyle = "#222"; ctx.textAlign = "left";
  const inverse = (f) => log ? Math.expm1(f * Math.log1p(max)) : f * max;
  for (const f of [1, 0.5, 0]) ctx.fillText(fmt(Math.round(inverse(f))), bx + IMG.bar + 3, IMG.top + (1 - f) * (h - 1));
}

function drawHistogram(id, hist, label) {
  const canvas = $(id), ctx = canvas.getContext("2d"), W = canvas.width, H = canvas.height;
  const L = 50, B = 30, T = 8, R = 10, pw = W - L - R, ph = H - B - T;
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, W, H);
  ctx.strokeStyle = "#222"; ctx.strokeRect(L, T, pw, ph);
  ctx.fillStyle = "#222"; ctx.font = "11px system-ui";
  if (!hist) { ctx.fillStyle = "#888"; ctx.fillText("no data yet", L + pw / 2 - 30, T + ph / 2); return; }
  const d = hist.data;
  let last = 0, max = 0;
  for (let i = 0; i < d.length; i++) if (d[i] > 0) { last = i; if (d[i] > max) max = d[i]; }
  const shown = Math.max(16, Math.min(d.length, Math.ceil((last + 1) * 1.05)));  // zoom to the filled range
  const log = $("log").checked, top = log ? Math.log10(1 + max) : max;
  ctx.fillStyle = "#3b518b";
  for (let i = 0; i < shown; i++) {
    if (!d[i]) continue;
    const v = log ? Math.log10(1 + d[i]) : d[i], bh = top > 0 ? v / top * ph : 0;
    ctx.fillRect(L + i / shown * pw, T + ph - bh, Math.max(1, pw / shown), bh);
  }
  ctx.fillStyle = "#222"; ctx.textAlign = "center"; ctx.textBaseline = "top";
  for (let k = 0; k <= 4; k++) {
    // the last label ends at the canvas's edge rather than being centred past it (its unit was cut off)
    ctx.textAlign = k < 4 ? "center" : "right";
    ctx.fillText(fmt(hist.origin + k / 4 * shown * hist.binWidth), k < 4 ? L + k / 4 * pw : W - 1, T + ph + 4);
  }
  ctx.textAlign = "center";
  ctx.fillText(hist.unit ? `${label} (${hist.unit})` : label, L + pw / 2, T + ph + 17);
  ctx.textAlign = "right"; ctx.textBaseline = "middle";
  ctx.fillText(fmt(max), L - 4, T + 4);
  ctx.fillText(log ? "log" : "0", L - 4, T + ph);
}

function draw() {
  pending = false;
  const h = view.header;
  if (!h) return;
  $("image-title").textContent = { frames: "Summed frames", binned: "Binned sums", raw: "Raw data (no image)" }[h.kind] || "Hit map";
  drawImage();
  const label = view.spectrum ? view.spectrum.label : "ToT";
  $("spectrum-title").textContent = `${label} spectrum`;
  drawHistogram("spectrum", view.spectrum, label);
  drawHistogram("toa", view.toa, "ToA");
  $("eventsPerSecond").textContent = fmt(h.eventsPerSecond);
  $("eventsPerSecond").previousElementSibling.textContent = `${h.unit}/s`;
  $("blocksPerSecond").textContent = fmt(h.blocksPerSecond);
  $("events").textContent = `${fmt(h.events)} ${h.unit}`;
  $("blocks").textContent = fmt(h.blocks);
  $("dropped").textContent = fmt(h.dropped);
  // Clusters only when the server was asked for them (and the mode has ToA/ToT hits).
  const clustered = h.clusters !== null && h.clusters !== undefined;
  for (const row of document.querySelectorAll(".cluster-row")) row.hidden = !clustered;
  $("cluster-panel").hidden = !clustered;
  if (clustered) {
    $("clustersPerSecond").textContent = fmt(h.clustersPerSecond);
    $("clusters").textContent = fmt(h.clusters);
    drawHistogram("cluster-sizes", view.clusterSizes, "Cluster size");
  }
  const unit = (u) => ({ DegreeCelsius: "°C", degC: "°C", C: "°C" })[u] || u;
  $("temperature").textContent = h.temperatures.length ? h.temperatures.map((t) => t.error ? `${t.id}: ${t.error}` :
      `${t.id} ${t.actual.toFixed(1)}` + (t.desired === undefined ? "" : ` (set ${t.desired.toFixed(1)})`) + ` ${unit(t.unit)}`).join(", ") : "–";
  $("bias").textContent = h.bias.length ? h.bias.map((b) => `${b.id} ${b.voltage.toFixed(1)} V, ${b.current.toFixed(2)} µA` +
      (b.tripped ? " (tripped)" : b.on ? "" : " (off)")).join(", ") : "not reported by the device";
  view.drawn++;
}

$("image").addEventListener("mousemove", (event) => {
  const img = view.image;
  if (!img || !img.zoom) return;
  const r = event.target.getBoundingClientRect();
  const x = Math.floor((event.clientX - r.left - IMG.left) / img.zoom), y = Math.floor((event.clientY - r.top - IMG.top) / img.zoom);
  $("cursor").textContent = (x >= 0 && y >= 0 && x < img.width && y < img.height)
      ? `x ${x}, y ${y}: ${img.data[y * img.width + x]} counts` : "\u00a0";
});

$("log").addEventListener("change", draw);
$("start").addEventListener("click", () => {
  const text = $("seconds").value.trim(), seconds = text === "" || Number(text) === 0 ? null : Number(text);
  showError(""); $("notice").textContent = "";
  send({ cmd: "start", mode: $("mode").value, seconds });
});
$("stop").addEventListener("click", () => send({ cmd: "stop" }));
$("save").addEventListener("click", () => send({ cmd: "save", format: "npz" }));
$("reset").addEventListener("click", () => send({ cmd: "reset" }));
connect();
