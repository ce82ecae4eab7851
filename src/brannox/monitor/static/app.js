// The monitor page. Every value from the server is put in the page with
// textContent or as an attribute value, never as markup.
"use strict";

const $ = (id) => document.getElementById(id);
const SVG = "http://www.w3.org/2000/svg";
const KNOWN = new Set(["idle", "running", "success", "failure", "skipped"]);
const BOX_W = 150, BOX_H = 40, GAP_X = 20, GAP_Y = 40;

const trees = new Map();   // key -> {summary, li}
let socket = null;
let cur = null;            // the selected tree
let selectedNode = 0;
let paused = false;        // the view stays at `pos` while events arrive
let replayMode = false;    // a recording: nothing arrives, there is no live end
let pos = 0;               // timeline position: events before it are applied
let playTimer = null;
let changedKeys = new Map(); // blackboard key -> time it was last highlighted

function statusClass(name) {
  const s = String(name || "idle").toLowerCase();
  return "st-" + (KNOWN.has(s) ? s : "other");
}

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

// ---------------------------------------------------------------- connection
function token() {
  const m = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  return m ? decodeURIComponent(m[1]) : sessionStorage.getItem("monitor-token");
}

function connect() {
  const proto = location.protocol === "https:" ? "wss:" : "ws:";
  socket = new WebSocket(proto + "//" + location.host + "/live");
  socket.onopen = () => { $("conn").textContent = "connected"; $("conn").className = "conn ok"; };
  socket.onmessage = (e) => {
    const data = JSON.parse(e.data);
    if (!Array.isArray(data)) { if (data.type === "auth") sendToken(); return; }
    for (const msg of data) handle(msg);
  };
  socket.onclose = (e) => {
    $("conn").textContent = "disconnected"; $("conn").className = "conn bad";
    if (e.code === 4401) { askToken("token refused"); return; }
    setTimeout(connect, 1000);
  };
}

function sendToken() {
  const t = token();
  if (t) socket.send(JSON.stringify({token: t})); else askToken("this monitor needs a token");
}

function askToken(message) {
  sessionStorage.removeItem("monitor-token");
  $("auth").hidden = false;
  $("auth-msg").textContent = message;
  $("token").focus();
}

$("auth").addEventListener("submit", (e) => {
  e.preventDefault();
  sessionStorage.setItem("monitor-token", $("token").value);
  history.replaceState(null, "", location.pathname);
  $("auth").hidden = true;
  connect();
});

function handle(msg) {
  switch (msg.type) {
    case "hello":
      replayMode = msg.mode === "replay";
      $("mode").textContent = replayMode ? "recording" : "live";
      break;
    case "trees": updateTrees(msg.trees, msg.full); break;
    case "tree": showTree(msg); break;
    case "events": if (cur && cur.key === msg.key) addEvents(msg.events); break;
    case "counters": if (cur && cur.key === msg.key) { cur.counters = msg.counters; if (isLive()) render(); } break;
    case "gap": if (cur) select(cur.key); break;  // we fell behind: start again from a full picture
  }
}

// ---------------------------------------------------------------- tree list
function updateTrees(list, full) {
  const ul = $("trees");
  const frag = document.createDocumentFragment();
  const needle = $("filter").value.trim().toLowerCase();
  for (const s of list) {
    let t = trees.get(s.key);
    if (!t) {
      const li = el("li");
      li.dataset.key = s.key;
      li.append(el("span", "dot"), el("span", "label", s.label));
      li.title = s.label + " (" + s.tree_id + ")";
      li.addEventListener("click", () => select(s.key));
      li.hidden = needle !== "" && !s.label.toLowerCase().includes(needle);
      t = {li};
      trees.set(s.key, t);
      frag.append(li);
    }
    t.summary = s;
    t.li.firstChild.className = "dot " + statusClass(s.status);
    t.li.classList.toggle("stopped", !s.alive);
    t.li.dataset.status = s.status;
    t.li.dataset.alive = s.alive;
  }
  ul.append(frag);
  countTrees();
  if (full && !cur && list.length) select(list[0].key);
  if (cur && trees.has(cur.key)) {
    const s = trees.get(cur.key).summary;
    cur.alive = s.alive;
    renderTitle();
    if (s.checkpoint !== cur.checkpoint && cur.boxes) render();
  }
}

function countTrees() {
  let shown = 0, live = 0;
  for (const t of trees.values()) { if (!t.li.hidden) shown++; if (t.summary.alive) live++; }
  $("count").textContent = shown + " shown of " + trees.size + " trees (" + live + " live)";
}

$("filter").addEventListener("input", () => {
  const needle = $("filter").value.trim().toLowerCase();
  for (const t of trees.values()) t.li.hidden = needle !== "" && !t.summary.label.toLowerCase().includes(needle);
  countTrees();
});

function select(key) {
  for (const t of trees.values()) t.li.classList.toggle("selected", t.summary.key === key);
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({select: key}));
}

// ---------------------------------------------------------------- one tree
function showTree(msg) {
  const keep = cur && cur.key === msg.key;
  cur = {
    key: msg.key, label: msg.label, tree_id: msg.tree_id, alive: msg.alive, nodes: msg.nodes,
    counters: msg.counters, base: msg.timeline.base_statuses, baseBB: entries(msg.timeline.base_blackboard),
    events: msg.timeline.events, statuses: msg.statuses, bb: entries(msg.blackboard),
  };
  if (!keep) { selectedNode = 0; paused = false; changedKeys = new Map(); stopPlay(); }
  pos = cur.events.length;
  layout();
  renderTitle();
  render();
}

// Blackboard keys are any strings, "__proto__" included: kept in Maps, never as object properties.
function entries(obj) { return new Map(Object.entries(obj || {})); }

function addEvents(events) {
  for (const ev of events) {
    cur.events.push(ev);
    if (ev.type === "transition") cur.statuses[ev.node] = ev.to;
    else if (ev.type === "blackboard") { cur.bb.set(ev.key, [ev.value.repr, ev.value.type, ev.t]); if (!paused) changedKeys.set(ev.key, Date.now()); }
  }
  const drop = cur.events.length - 5000;  // the page keeps a bounded window too
  if (drop > 0) { foldEvents(drop); if (paused) pos = Math.max(0, pos - drop); }
  if (!paused) pos = cur.events.length;
  render();
}

function foldEvents(n) {
  for (const ev of cur.events.splice(0, n)) {
    if (ev.type === "transition") cur.base[ev.node] = ev.to;
    else if (ev.type === "blackboard") cur.baseBB.set(ev.key, [ev.value.repr, ev.value.type]);
  }
}

// The statuses and blackboard after the first `upto` events of the window.
function stateAt(upto) {
  const st = cur.base.slice();
  const bb = new Map();
  for (const [k, v] of cur.baseBB) bb.set(k, [v[0], v[1], 0]);
  for (let i = 0; i < upto; i++) {
    const ev = cur.events[i];
    if (ev.type === "transition") st[ev.node] = ev.to;
    else if (ev.type === "blackboard") bb.set(ev.key, [ev.value.repr, ev.value.type, ev.t]);
  }
  return {st, bb};
}

function layout() {
  const svg = $("graph");
  svg.replaceChildren();
  const kids = cur.nodes.map(() => []);
  for (const n of cur.nodes) if (n.parent >= 0) kids[n.parent].push(n.id);
  const x = new Array(cur.nodes.length), depth = new Array(cur.nodes.length);
  let leaf = 0, maxDepth = 0;
  // Iterative post-order: trees may be deep. Leaves take the next slot; a parent sits over its children.
  const stack = cur.nodes.length ? [[0, 0, false]] : [];
  while (stack.length) {
    const [id, d, done] = stack.pop();
    depth[id] = d; maxDepth = Math.max(maxDepth, d);
    if (done || !kids[id].length) {
      x[id] = kids[id].length ? (x[kids[id][0]] + x[kids[id][kids[id].length - 1]]) / 2 : leaf++;
      continue;
    }
    stack.push([id, d, true]);
    for (let i = kids[id].length - 1; i >= 0; i--) stack.push([kids[id][i], d + 1, false]);
  }
  const px = (id) => 10 + x[id] * (BOX_W + GAP_X);
  const py = (id) => 10 + depth[id] * (BOX_H + GAP_Y);
  svg.setAttribute("width", 20 + Math.max(leaf, 1) * (BOX_W + GAP_X));
  svg.setAttribute("height", 20 + (maxDepth + 1) * (BOX_H + GAP_Y));
  cur.boxes = [];
  for (const n of cur.nodes) {
    if (n.parent >= 0) {
      const p = document.createElementNS(SVG, "path");
      const x1 = px(n.parent) + BOX_W / 2, y1 = py(n.parent) + BOX_H, x2 = px(n.id) + BOX_W / 2, y2 = py(n.id);
      p.setAttribute("d", `M${x1},${y1} C${x1},${(y1 + y2) / 2} ${x2},${(y1 + y2) / 2} ${x2},${y2}`);
      p.setAttribute("class", "edge");
      svg.append(p);
    }
  }
  for (const n of cur.nodes) {
    const g = document.createElementNS(SVG, "g");
    g.setAttribute("class", "node");
    g.dataset.id = n.id;
    g.setAttribute("transform", `translate(${px(n.id)},${py(n.id)})`);
    const r = document.createElementNS(SVG, "rect");
    r.setAttribute("width", BOX_W); r.setAttribute("height", BOX_H);
    const title = document.createElementNS(SVG, "title");
    g.setAttribute("aria-label", n.name !== n.type ? n.type + " " + n.name : n.type);
    const t1 = document.createElementNS(SVG, "text");
    t1.setAttribute("class", "type"); t1.setAttribute("x", BOX_W / 2); t1.setAttribute("y", n.name !== n.type ? 16 : 25);
    g.append(title, r, t1);
    svg.append(g);  // in the document, so the labels can be measured
    fit(t1, n.type);
    if (n.name !== n.type) {
      const t2 = document.createElementNS(SVG, "text");
      t2.setAttribute("x", BOX_W / 2); t2.setAttribute("y", 32);
      g.append(t2);
      fit(t2, n.name);
    }
    g.addEventListener("click", () => { selectedNode = n.id; render(); });
    cur.boxes.push({g, title});
  }
}

// A label as long as fits the box, measured (wide CJK characters take two
// Latin widths) and cut between code points; the full text is in the node's
// tooltip and panel.
function fit(textEl, s) {
  textEl.textContent = s;
  const room = BOX_W - 10;
  if (textEl.getComputedTextLength() <= room) return;
  const cps = Array.from(s);
  let lo = 0, hi = cps.length;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    textEl.textContent = cps.slice(0, mid).join("") + "…";
    if (textEl.getComputedTextLength() <= room) lo = mid; else hi = mid - 1;
  }
  textEl.textContent = cps.slice(0, lo).join("") + "…";
}

// The view follows the tree as it runs (not paused, at the newest event).
function isLive() { return !paused && cur !== null && pos === cur.events.length; }

// Each node's result in the latest tick that ended before event `upto`
// (null where it did not run). Controls clear their children to IDLE when
// they finish, so the statuses alone show little more than the root.
function ranInLatestTick(upto) {
  const ran = new Array(cur.nodes.length).fill(null);
  const evs = cur.events;
  let end = upto - 1;
  while (end >= 0 && evs[end].type !== "tick") end--;
  if (end < 0) {
    // No tick markers (a recording made without them): walk back until a node ran twice.
    for (let i = upto - 1; i >= 0; i--) {
      const e = evs[i];
      if (e.type !== "transition" || e.to === "IDLE" || ran[e.node] === undefined) continue;
      if (ran[e.node] !== null) break;
      ran[e.node] = e.to;
    }
    return ran;
  }
  let start = end - 1;
  while (start >= 0 && evs[start].type !== "tick") start--;
  for (let i = start + 1; i < end; i++) {
    const e = evs[i];
    if (e.type === "transition" && e.to !== "IDLE" && ran[e.node] !== undefined) ran[e.node] = e.to;
  }
  return ran;
}

function counterText(id) {
  const c = cur.counters && cur.counters[id];
  if (!c) return "counters: not yet";
  return `ticks ${c[0]}, successes ${c[1]}, failures ${c[2]}, skips ${c[3]}, halts ${c[4]}, last ${c[5]}`;
}

function renderTitles() {
  if (!cur || !cur.boxes) return;
  const live = isLive();
  cur.nodes.forEach((n, i) => {
    const lines = [`${n.type} "${n.name}" ${n.path}`];
    if (n.description) lines.push(n.description);
    // Counters are today's figures: beside a past state they would mislead.
    lines.push(live ? counterText(i) : "counters: at the newest event only");
    cur.boxes[i].title.textContent = lines.join("\n");
  });
}

function renderTitle() {
  const parts = [iso(cur.label)];
  if (cur.label !== cur.tree_id) parts.push(" (", iso(cur.tree_id), ")");
  if (!cur.alive) parts.push(" — stopped");
  $("title").replaceChildren(...parts);
}

function render() {
  if (!cur) return;
  const live = isLive();
  const state = live ? {st: cur.statuses, bb: cur.bb} : stateAt(pos);
  const ran = ranInLatestTick(pos);
  cur.boxes.forEach((b, i) => {
    const s = state.st[i] || "IDLE";
    // A node idle now but run in the latest tick shows that result, faded.
    const faded = s === "IDLE" && ran[i] !== null;
    b.g.setAttribute("class", "node " + statusClass(faded ? ran[i] : s) + (faded ? " ran" : "") + (i === selectedNode ? " sel" : ""));
    b.g.dataset.status = s;
    if (ran[i] !== null) b.g.dataset.ran = ran[i]; else delete b.g.dataset.ran;
  });
  renderTitles();
  renderDetails(state.st, ran);
  renderBlackboard(state.bb, live);
  renderTimeline();
}

function renderDetails(st, ran) {
  if (!cur) return;
  const n = cur.nodes[selectedNode];
  if (!n) return;
  const dl = el("dl");
  const row = (k, v, cls) => dl.append(el("dt", "", k), el("dd", cls || "", v));
  row("type", n.type); row("name", n.name); row("path", n.path);
  if (n.description) row("description", n.description, "description");
  row("status", (st || cur.statuses)[n.id] || "IDLE");
  if (ran && ran[n.id] !== null) row("latest tick", ran[n.id]);
  const c = cur.counters && cur.counters[n.id];
  if (!isLive()) { if (c) row("counters", "at the newest event only", "counters"); }
  else if (c) { row("ticks", c[0]); row("successes", c[1]); row("failures", c[2]); row("skips", c[3]); row("halts", c[4]); }
  for (const [k, v] of Object.entries(n.ports || {})) row("port " + k, v);
  const listed = trees.get(cur.key);
  cur.checkpoint = listed ? listed.summary.checkpoint : undefined;
  if (typeof cur.checkpoint === "number") row("tree checkpoint", new Date(cur.checkpoint * 1000).toLocaleString(), "checkpoint");
  $("details").replaceChildren(dl);
}

function renderBlackboard(bb, live) {
  const body = $("bb").tBodies[0];
  const rows = [];
  const now = Date.now();
  let changedAt = null;
  if (!live && pos > 0) { const ev = cur.events[pos - 1]; if (ev.type === "blackboard") changedAt = ev.key; }
  for (const key of [...bb.keys()].sort()) {
    const [text, type] = bb.get(key);
    const tr = el("tr");
    tr.dataset.key = key;
    tr.append(el("td", "key", key), el("td", "type", type), el("td", "value", text));
    const hot = live ? now - (changedKeys.get(key) || 0) < 3000 : key === changedAt;
    if (hot) tr.className = "changed";
    rows.push(tr);
  }
  body.replaceChildren(...rows);
}

// Each name or value from the tree in its own <bdi>: right-to-left or
// direction-override characters in one cannot reorder the rest of the line.
function iso(text) { return el("bdi", "", String(text)); }

function describe(ev) {
  if (ev.type === "transition") {
    const n = cur.nodes[ev.node] || {type: "?", name: "?"};
    const who = n.name !== n.type ? [iso(n.type), " ", iso(n.name)] : [iso(n.type)];
    return [...who, `: ${ev.from} → ${ev.to}`];
  }
  if (ev.type === "blackboard") return [iso(ev.key), " = ", iso(ev.value.repr), " (", iso(ev.value.type), ")"];
  if (ev.type === "tick") return ["— tick ended"];
  // A distributed tree's recording may also note whole ticks left unrecorded.
  const parts = ev.dropped || ev.paused_ticks === undefined ? [`${ev.dropped} events dropped`] : [];
  if (ev.paused_ticks !== undefined) parts.push(ev.paused_ticks === null ? "ticks unrecorded" : `${ev.paused_ticks} ticks unrecorded`);
  return [`… ${parts.join(", ")}`];
}

function renderTimeline() {
  const s = $("scrub");
  s.max = cur.events.length; s.value = pos;
  const playing = playTimer !== null, n = cur.events.length;
  let state;
  if (replayMode) state = playing ? " playing" : pos === n ? " end of recording" : "";
  else state = playing ? " playing" : paused ? " paused" : " live";
  $("pos").textContent = pos + " / " + n + state;
  const pause = $("pause");
  pause.hidden = replayMode;
  pause.textContent = paused ? "Resume" : "Pause";
  pause.classList.toggle("on", paused);
  $("play").textContent = playing ? (replayMode ? "Pause" : "Stop") : (replayMode ? "Play" : "Replay");
  $("play").classList.toggle("on", playing);
  const ol = $("events");
  const from = Math.max(0, pos - 100);
  ol.start = from + 1;
  // Room for the widest number shown, in digits of the monospace font.
  ol.style.setProperty("--digits", String(Math.max(pos, 1)).length);
  const t0 = cur.events.length ? cur.events[0].t : 0;
  const items = [];
  // The highlighted line is the last change shown; a tick marker changes nothing.
  let last = pos - 1;
  while (last > from && cur.events[last].type === "tick") last--;
  for (let i = from; i < pos; i++) {
    const ev = cur.events[i];
    const li = el("li", ev.type === "gap" || ev.type === "tick" ? ev.type : "", `+${((ev.t - t0) / 1000).toFixed(3)} ms  `);
    li.append(...describe(ev));
    if (i === last) li.classList.add("cur");
    items.push(li);
  }
  ol.replaceChildren(...items);
  ol.scrollTop = ol.scrollHeight;
}

function stopPlay() { if (playTimer !== null) { clearInterval(playTimer); playTimer = null; } }

// Pause freezes the view; Resume returns to the newest event (a recording has no live end: no Pause).
$("pause").addEventListener("click", () => { if (!cur) return; stopPlay(); paused = !paused; if (!paused) pos = cur.events.length; render(); });
$("scrub").addEventListener("input", () => { if (!cur) return; stopPlay(); paused = true; pos = Number($("scrub").value); render(); });
$("play").addEventListener("click", () => {
  if (!cur) return;
  if (playTimer !== null) { stopPlay(); render(); return; }  // Stop / Pause: stays where it is
  paused = true;
  if (pos >= cur.events.length) pos = 0;  // at the end: replay from the start
  playTimer = setInterval(() => {
    if (pos >= cur.events.length) { stopPlay(); render(); return; }
    pos++;
    render();
  }, 120);
  render();
});

connect();
