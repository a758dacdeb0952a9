// tessaro view: the page's own script. Everything from the project is shown with textContent, never as markup.
"use strict";
(function () {
  const SVG = "http://www.w3.org/2000/svg";
  const GAP_X = 14, GAP_Y = 40, PAD = 10, HEAD = 40, LARGE = 150, BUNDLES = 1500;
  const $ = (id) => document.getElementById(id);
  const svg = $("graph"), panel = $("panel");
  const S = {
    data: null, expanded: new Set(), focus: null, hide: [], search: [], changed: [],
    selected: null, view: { x: 0, y: 0, k: 1 }, drawn: false, generation: 0,
  };
  let G = null; // the indexed data and its elements

  function el(tag, attrs, parent, text) {
    const node = document.createElementNS(SVG, tag);
    for (const key in attrs) node.setAttribute(key, attrs[key]);
    if (text !== undefined) node.textContent = text;
    if (parent) parent.appendChild(node);
    return node;
  }
  function html(tag, parent, text, cls) {
    const node = document.createElement(tag);
    if (text !== undefined && text !== null) node.textContent = String(text);
    if (cls) node.className = cls;
    if (parent) parent.appendChild(node);
    return node;
  }
  const json = (value) => (typeof value === "string" ? value : JSON.stringify(value));
  const plural = (n, one, many) => n + " " + (n === 1 ? one : many || one + "s");

  // -- patterns: a glob (* ? [..]) matches the whole text, anything else is a substring; case does not matter
  function matcher(pattern) {
    const p = pattern.trim().toLowerCase();
    if (!/[*?[]/.test(p)) return (text) => text.toLowerCase().includes(p);
    let re = "";
    for (let i = 0; i < p.length; i++) {
      const c = p[i];
      if (c === "*") re += ".*";
      else if (c === "?") re += ".";
      else if (c === "[") {
        const end = p.indexOf("]", i + 2);
        if (end < 0) { re += "\\["; continue; }
        let body = p.slice(i + 1, end).replace(/\\/g, "\\\\");
        if (body[0] === "!") body = "^" + body.slice(1);
        re += "[" + body + "]";
        i = end;
      } else re += c.replace(/[.+^${}()|\\\/]/g, "\\$&");
    }
    const compiled = new RegExp("^" + re + "$");
    return (text) => compiled.test(text.toLowerCase());
  }
  const words = (text) => text.split(/[\s,]+/).filter(Boolean);

  // -- the data, indexed ------------------------------------------------------------------------------------
  function index(data) {
    const F = data.factories, n = F.length;
    const byName = new Map(F.map((f, i) => [f.name, i]));
    const uses = F.map(() => []), usedBy = F.map(() => []);
    for (const [a, b] of data.edges) { uses[a].push(b); usedBy[b].push(a); }
    const members = data.files.map(() => []);
    F.forEach((f, i) => members[f.file].push(i));
    const importedBy = new Map();
    for (const [file, imported] of Object.entries(data.imports || {})) {
      for (const other of imported) (importedBy.get(other) || importedBy.set(other, []).get(other)).push(file);
    }
    return { F, n, byName, uses, usedBy, members, importedBy, files: data.files, nodes: [], groups: [], edges: [], bundles: [] };
  }

  function size(f) {
    return { w: Math.min(340, Math.max(64, 7 * f.name.length + 18)), h: f.status === "SUCCESS" ? 24 : 36 };
  }

  // -- the drawing's elements, made once per data ---------------------------------------------------------------
  function build() {
    svg.textContent = "";
    const defs = el("defs", {}, svg);
    const marker = el("marker", { id: "arrow", viewBox: "0 0 8 8", refX: 8, refY: 4, markerWidth: 7,
      markerHeight: 7, orient: "auto-start-reverse" }, defs);
    el("path", { d: "M0,0 L8,4 L0,8 z", fill: "#8795a3" }, marker);
    G.viewport = el("g", { id: "viewport" }, svg);
    // Links between collapsed files pass under the files' boxes; factory edges over them, to be seen and clicked.
    G.bundleLayer = el("g", { id: "bundles" }, G.viewport);
    const groupLayer = el("g", { id: "groups" }, G.viewport);
    G.edgeLayer = el("g", { id: "edges" }, G.viewport);
    // Edges not drawn wait outside the rendering (each one drawn would cost even without a path).
    G.undrawn = el("g", { style: "display:none" }, G.viewport);
    G.files.forEach((file, k) => {
      const g = el("g", { class: "group", "data-group": file.path, tabindex: 0, role: "button" }, groupLayer);
      el("title", {}, g, file.path);
      const rect = el("rect", { rx: 6 }, g);
      const title = el("text", { class: "title", x: 8, y: 17 }, g, file.path);
      const failed = G.members[k].filter((i) => G.F[i].status !== "SUCCESS").length;
      const sub = el("text", { class: "sub" + (failed ? " bad" : ""), x: 8, y: 33 }, g,
        plural(G.members[k].length, "factory", "factories") + (failed ? ", " + failed + " FAILED" : ""));
      const inner = el("g", { class: "members" }, g);
      g.setAttribute("aria-label", "file " + file.path + ", " + sub.textContent);
      G.groups.push({ g, rect, title, sub, inner, k, failed });
      g.addEventListener("click", (e) => { e.stopPropagation(); activateGroup(k); });
    });
    // A factory's element is made now (every factory is in the page); what it draws, when first shown.
    G.F.forEach((f, i) => {
      const g = el("g", { class: "node " + f.status, "data-factory": f.name, tabindex: 0, role: "button",
        "aria-label": "factory " + f.name + ", " + f.status }, G.groups[f.file].inner);
      G.nodes.push({ g, box: size(f), x: 0, y: 0, shown: true, order: null });
      g.addEventListener("click", (e) => { e.stopPropagation(); select({ kind: "factory", i }); });
    });
    G.edgeIndex = new Map();
    S.data.edges.forEach(([a, b, cells], e) => {
      const key = G.F[a].name + "->" + G.F[b].name;
      const path = el("path", { class: "edge" + (G.F[a].stale ? " stale" : ""), "data-edge": key }, G.undrawn);
      G.edges.push({ path, a, b, key, cells, shown: false });
      G.edgeIndex.set(key, e);
      path.addEventListener("click", (ev) => { ev.stopPropagation(); select({ kind: "edge", e }); });
    });
  }

  function furnish(i) {
    const node = G.nodes[i], f = G.F[i], g = node.g, box = node.box;
    if (node.order) return;
    el("title", {}, g, f.name + "\n" + where(f) + "\n" + f.status + (f.message ? ": " + f.message : ""));
    el("rect", { width: box.w, height: box.h }, g);
    el("text", { x: 9, y: 16 }, g, f.name);
    if (f.status !== "SUCCESS") el("text", { class: "flag", x: 9, y: 30 }, g, f.status);
    node.order = el("text", { class: "order", x: box.w - 4, y: 11, "text-anchor": "end" }, g);
  }
  function display(item, element, on) {
    if (item.shown === on) return;
    item.shown = on;
    element.style.display = on ? "" : "none";
  }

  function where(f) {
    const file = G.files[f.file].path;
    return f.line ? file + ":" + f.line : file;
  }

  // -- what is shown -------------------------------------------------------------------------------------------
  function reach(start, step, depth) {
    const seen = new Map(start.map((i) => [i, 0]));
    let frontier = start.slice(), level = 0;
    while (frontier.length && (depth === null || level < depth)) {
      level++;
      const next = [];
      for (const i of frontier) for (const j of step[i]) if (!seen.has(j)) { seen.set(j, level); next.push(j); }
      frontier = next;
    }
    return seen;
  }

  function focusSet() {
    if (!S.focus) return null;
    const up = $("up").checked, down = $("down").checked, both = up === down;
    const text = $("depth").value.trim(), depth = text === "" ? null : Math.max(0, parseInt(text, 10) || 0);
    const keep = new Set(S.focus);
    if (up || both) for (const i of reach(S.focus, G.usedBy, depth).keys()) keep.add(i);
    if (down || both) for (const i of reach(S.focus, G.uses, depth).keys()) keep.add(i);
    return keep;
  }

  function hiddenSet() {
    const hidden = new Set();
    if (!S.hide.length) return hidden;
    const tests = S.hide.map(matcher);
    G.F.forEach((f, i) => {
      const file = G.files[f.file].path;
      if (tests.some((t) => t(f.name) || t(file))) hidden.add(i);
    });
    return hidden;
  }

  // Layered packing: rows by layer, each in its layer's order, wrapped past `limit`, centred.
  function pack(items, limit) {
    const layers = new Map();
    for (const it of items) (layers.get(it.L) || layers.set(it.L, []).get(it.L)).push(it);
    const rows = [];
    for (const L of [...layers.keys()].sort((a, b) => a - b)) {
      let row = { items: [], w: 0, h: 0 };
      for (const it of layers.get(L).sort((a, b) => a.X - b.X)) {
        if (row.items.length && row.w + GAP_X + it.w > limit) { rows.push(row); row = { items: [], w: 0, h: 0 }; }
        row.w += (row.items.length ? GAP_X : 0) + it.w;
        row.h = Math.max(row.h, it.h);
        row.items.push(it);
      }
      if (row.items.length) rows.push(row);
    }
    const width = Math.max(0, ...rows.map((r) => r.w));
    let y = 0;
    for (const row of rows) {
      let x = (width - row.w) / 2;
      for (const it of row.items) { it.x = x; it.y = y + (row.h - it.h) / 2; x += it.w + GAP_X; }
      y += row.h + GAP_Y;
    }
    return { w: width, h: Math.max(0, y - GAP_Y) };
  }
  const limitFor = (items, least) => Math.max(least, 1.8 * Math.sqrt(items.reduce((s, it) => s + (it.w + GAP_X) * (it.h + GAP_Y), 0)));

  function render() {
    const hidden = hiddenSet(), focus = focusSet();
    const shown = (i) => !hidden.has(i) && (!focus || focus.has(i));
    const where = new Array(G.n); // each factory's end point: a node, or its collapsed group
    let count = 0;
    const flat = focus !== null;
    const groupItems = [];
    G.groups.forEach((grp, k) => {
      const members = G.members[k].filter(shown);
      grp.visible = members.length > 0;
      grp.g.style.display = grp.visible ? "" : "none";
      if (!grp.visible) return;
      const open = flat || S.expanded.has(k);
      grp.open = open;
      grp.g.classList.toggle("collapsed", !open);
      grp.g.classList.toggle("flat", flat);
      grp.inner.style.display = open ? "" : "none";
      for (const i of G.members[k]) {
        const on = shown(i);
        if (open) { if (on) furnish(i); display(G.nodes[i], G.nodes[i].g, on); } // else: the group hides them all
        if (on) { count++; where[i] = open ? { node: i } : { group: k }; }
      }
      if (!open) {
        grp.w = Math.max(170, 7 * G.files[k].path.length + 20); grp.h = 42;
      }
      groupItems.push({ grp, k, members, L: G.files[k].layer, X: G.files[k].x, w: 0, h: 0 });
    });
    let total;
    if (flat) {
      const items = [];
      for (const it of groupItems) {
        it.grp.rect.style.display = it.grp.title.style.display = it.grp.sub.style.display = "none";
        it.grp.g.setAttribute("transform", "translate(0,0)");
        it.grp.inner.setAttribute("transform", "translate(0,0)");
        for (const i of it.members) items.push({ i, L: G.F[i].layer, X: G.F[i].x, w: G.nodes[i].box.w, h: G.nodes[i].box.h });
      }
      total = pack(items, limitFor(items, 900));
      for (const it of items) place(G.nodes[it.i], it.x, it.y);
    } else {
      for (const it of groupItems) {
        const grp = it.grp;
        grp.rect.style.display = grp.title.style.display = grp.sub.style.display = "";
        if (grp.open) {
          const items = it.members.map((i) => ({ i, L: G.F[i].layer, X: G.F[i].x, w: G.nodes[i].box.w, h: G.nodes[i].box.h }));
          const inner = pack(items, limitFor(items, 500));
          for (const m of items) { G.nodes[m.i].lx = m.x; G.nodes[m.i].ly = m.y; }
          grp.w = Math.max(inner.w + 2 * PAD, 7 * G.files[it.k].path.length + 20);
          grp.h = inner.h + HEAD + PAD + 6;
          grp.ix = (grp.w - inner.w) / 2;
        }
        it.w = grp.w; it.h = grp.h;
      }
      total = pack(groupItems, limitFor(groupItems, 1200));
      for (const it of groupItems) {
        const grp = it.grp;
        grp.x = it.x; grp.y = it.y;
        grp.g.setAttribute("transform", `translate(${it.x},${it.y})`);
        grp.rect.setAttribute("width", grp.w); grp.rect.setAttribute("height", grp.h);
        if (grp.open) {
          grp.inner.setAttribute("transform", `translate(${grp.ix},${HEAD + 6})`);
          for (const i of it.members) place(G.nodes[i], it.x + grp.ix + G.nodes[i].lx, it.y + HEAD + 6 + G.nodes[i].ly, true);
        }
      }
    }
    drawEdges(where);
    G.total = total;
    G.shown = count;
    mark();
    status(focus, hidden);
  }

  function place(node, x, y, nested) {
    node.x = x; node.y = y;
    node.g.setAttribute("transform", nested ? `translate(${node.lx},${node.ly})` : `translate(${x},${y})`);
  }

  function box(end) {
    if (end.node !== undefined) { const n = G.nodes[end.node]; return { x: n.x, y: n.y, w: n.box.w, h: n.box.h }; }
    const grp = G.groups[end.group];
    return { x: grp.x, y: grp.y, w: grp.w, h: grp.h };
  }

  function curve(p, q, self) {
    if (self) {
      const r = p.x + p.w, t = p.y + 5, b = p.y + p.h - 5;
      return `M${r},${t} C${r + 28},${t - 14} ${r + 28},${b + 14} ${r},${b}`;
    }
    const x1 = p.x + p.w / 2, y1 = p.y + p.h, x2 = q.x + q.w / 2, y2 = q.y;
    if (y2 > y1 + 4) {
      const d = (y2 - y1) / 2;
      return `M${x1},${y1} C${x1},${y1 + d} ${x2},${y2 - d} ${x2},${y2}`;
    }
    // Upwards or sideways (a cycle, or a layer shared by users): around the right-hand sides.
    const a = p.x + p.w, b = q.x + q.w, ya = p.y + p.h / 2, yb = q.y + q.h / 2;
    const out = Math.max(a, b) + 30 + Math.abs(ya - yb) / 6;
    return `M${a},${ya} C${out},${ya} ${out},${yb} ${b},${yb}`;
  }

  function drawEdges(ends) {
    const bundles = new Map();
    G.edges.forEach((edge, e) => {
      const p = ends[edge.a], q = ends[edge.b];
      if (p && q && p.node !== undefined && q.node !== undefined) {
        edge.path.setAttribute("d", curve(box(p), box(q), edge.a === edge.b));
        if (!edge.shown) { G.edgeLayer.appendChild(edge.path); edge.shown = true; }
        return;
      }
      if (edge.shown) { G.undrawn.appendChild(edge.path); edge.shown = false; }
      if (!p || !q) return;
      const kp = p.node !== undefined ? "n" + p.node : "g" + p.group, kq = q.node !== undefined ? "n" + q.node : "g" + q.group;
      if (kp === kq) return; // inside one collapsed file
      const key = kp + ">" + kq;
      if (!bundles.has(key)) bundles.set(key, { p, q, edges: [] });
      bundles.get(key).edges.push(e);
    });
    G.bundleLayer.textContent = "";
    G.bundles = [];
    // Many links between collapsed files make a hairball and a slow page: then only those of a file
    // that is open or selected are drawn (the status line says so).
    let list = [...bundles.values()];
    const chosen = S.selected && S.selected.kind === "group" ? S.selected.k : -1;
    G.omitted = 0;
    if (list.length > BUNDLES) {
      const keep = list.filter((b) => b.p.node !== undefined || b.q.node !== undefined || b.p.group === chosen || b.q.group === chosen);
      G.omitted = list.length - keep.length;
      list = keep;
    }
    for (const bundle of list) {
      const label = (e) => (e.node !== undefined ? G.F[e.node].name : G.files[e.group].path);
      const path = el("path", { class: "bundle", d: curve(box(bundle.p), box(bundle.q), false),
        "data-bundle": label(bundle.p) + "->" + label(bundle.q) }, G.bundleLayer);
      el("title", {}, path, label(bundle.p) + " uses " + label(bundle.q) + ": " + plural(bundle.edges.length, "edge"));
      const b = G.bundles.push(Object.assign(bundle, { path })) - 1;
      path.addEventListener("click", (ev) => { ev.stopPropagation(); select({ kind: "bundle", b }); });
    }
  }

  // Classes that follow the state: search matches, what a change affects, the selection.
  function mark() {
    const tests = S.search.map(matcher);
    const affected = affectedNow();
    const hitGroups = new Set(), hotGroups = new Set();
    G.F.forEach((f, i) => {
      const node = G.nodes[i];
      const hit = tests.length > 0 && tests.some((t) => t(f.name));
      node.g.classList.toggle("match", hit);
      if (hit) hitGroups.add(f.file);
      const rank = affected ? affected.rank.get(i) : undefined;
      node.g.classList.toggle("affected", rank !== undefined);
      if (rank !== undefined) furnish(i);
      if (node.order) node.order.textContent = rank !== undefined ? "#" + (rank + 1) : "";
      if (rank !== undefined) hotGroups.add(f.file);
      node.g.classList.toggle("selected", !!S.selected && S.selected.kind === "factory" && S.selected.i === i);
    });
    G.groups.forEach((grp, k) => {
      grp.g.classList.toggle("match", hitGroups.has(k) && !grp.open);
      grp.g.classList.toggle("affected", hotGroups.has(k));
      grp.g.classList.toggle("selected", !!S.selected && S.selected.kind === "group" && S.selected.k === k);
    });
    G.edges.forEach((edge, e) => edge.path.classList.toggle("selected", !!S.selected && S.selected.kind === "edge" && S.selected.e === e));
  }

  function status(focus, hidden) {
    const parts = [plural(G.n, "factory", "factories") + ", " + plural(S.data.edges.length, "edge") + " in " + plural(G.files.length, "file")];
    if (G.shown !== G.n) parts.push(G.shown + " shown");
    if (focus) parts.push("focus: " + S.focus.map((i) => G.F[i].name).slice(0, 3).join(", ") + (S.focus.length > 3 ? ", …" : ""));
    if (hidden.size) parts.push(hidden.size + " hidden");
    if (G.omitted) parts.push(G.omitted + " links between collapsed files not drawn (select or expand a file for its own)");
    const failing = G.F.filter((f) => f.status !== "SUCCESS").length;
    if (failing) parts.push(failing + " FAILED");
    $("counts").textContent = parts.join(" · ");
    $("unfocus").disabled = !S.focus;
  }

  // -- what a change affects ---------------------------------------------------------------------------------------
  function affectedNow() {
    if (!S.changed.length) return null;
    // As tessaro affected: the factories the file and every file importing it (directly or not) touch
    // (define, or were read by their build), every factory for pyproject.toml; then everything that uses one.
    const start = new Set(), unknown = [];
    const known = Object.keys(S.data.imports || {}).concat(["pyproject.toml"]);
    const touches = S.data.touches || {};
    for (const file of S.changed) {
      const name = file.replace(/^\.\//, "");
      // A project-relative path, or the end of one when only one file ends so.
      const ends = known.filter((k) => k === name || k.endsWith("/" + name));
      const key = ends.includes(name) ? name : ends.length === 1 ? ends[0] : null;
      if (key === null) { unknown.push(file + (ends.length > 1 ? " (ambiguous)" : "")); continue; }
      if (key === "pyproject.toml") { G.F.forEach((_, i) => start.add(i)); continue; }
      const files = [key], seen = new Set(files);
      while (files.length) {
        const at = files.pop();
        (touches[at] || []).forEach((i) => start.add(i));
        for (const other of G.importedBy.get(at) || []) if (!seen.has(other)) { seen.add(other); files.push(other); }
      }
    }
    const all = [...reach([...start], G.usedBy, null).keys()].sort((a, b) => G.F[a].order - G.F[b].order);
    return { all, unknown, rank: new Map(all.map((i, r) => [i, r])) };
  }

  // -- the panel ----------------------------------------------------------------------------------------------------
  function link(parent, text, action) {
    const a = html("a", parent, text);
    a.href = "#";
    a.addEventListener("click", (e) => { e.preventDefault(); action(); });
    return a;
  }
  function factoryLinks(parent, list) {
    if (!list.length) { parent.textContent = "-"; return; }
    list.forEach((i, n) => {
      if (n) parent.appendChild(document.createTextNode(", "));
      link(parent, G.F[i].name, () => reveal(i));
    });
  }
  function field(dl, name, fill) {
    html("dt", dl, name);
    const dd = html("dd", dl);
    if (typeof fill === "function") fill(dd); else dd.textContent = fill === null || fill === undefined || fill === "" ? "-" : String(fill);
    return dd;
  }
  function badge(parent, status) {
    return html("span", parent, status, "badge " + (status === "SUCCESS" ? "SUCCESS" : status === "FAILED" ? "FAILED" : "other"));
  }

  function showPanel() {
    panel.textContent = "";
    const sel = S.selected;
    if (!sel) return showAffected();
    if (sel.kind === "factory") factoryPanel(sel.i);
    else if (sel.kind === "edge") edgePanel(sel.e);
    else if (sel.kind === "bundle") bundlePanel(sel.b);
    else if (sel.kind === "group") groupPanel(sel.k);
    showAffected();
  }

  function factoryPanel(i) {
    const f = G.F[i];
    html("h2", panel, f.name);
    const dl = html("dl", panel);
    field(dl, "status", (dd) => badge(dd, f.status));
    if (f.message) field(dl, "message", (dd) => html("pre", dd, f.message));
    if (f.where) field(dl, "raised at", f.where);
    field(dl, "source", (dd) => {
      const a = html("a", dd, where(f));
      a.href = "file://" + encodeURI(S.data.project + "/" + G.files[f.file].path);
    });
    field(dl, "updated", f.updated);
    field(dl, "settings", (dd) => html("pre", dd, JSON.stringify(f.settings, null, 1)));
    field(dl, "components", (dd) => {
      dd.appendChild(document.createTextNode(String(f.cells.length)));
      if (!f.cells.length) return;
      const list = html("ul", dd);
      f.cells.slice(0, 40).forEach((c) => html("li", list, S.data.cells[c][0]));
      if (f.cells.length > 40) html("li", list, "… and " + (f.cells.length - 40) + " more", "note");
    });
    field(dl, "model", (dd) => {
      if (!f.model) { dd.textContent = "-"; return; }
      badge(dd, f.model.status);
      dd.appendChild(document.createTextNode(" pdk " + f.model.pdk_type + ", settings " + json(f.model.settings)));
      if (f.model.message) html("pre", dd, f.model.message);
    });
    field(dl, "used by", (dd) => factoryLinks(dd, G.usedBy[i]));
    field(dl, "uses", (dd) => {
      if (!G.uses[i].length) { dd.textContent = "-"; return; }
      G.uses[i].forEach((j, n) => {
        if (n) dd.appendChild(document.createTextNode(", "));
        link(dd, G.F[j].name, () => reveal(j));
        dd.appendChild(document.createTextNode(" ("));
        link(dd, "why", () => select({ kind: "edge", e: G.edgeIndex.get(f.name + "->" + G.F[j].name) }));
        dd.appendChild(document.createTextNode(")"));
      });
    });
    if (f.stale) html("p", panel, "It fails now: its edges are those from the last good build, and what its failed build asked for before it raised.", "note");
    if (f.cycle !== null && f.cycle !== undefined) html("p", panel, "In a cycle with: " + S.data.cycles[f.cycle].join(", "), "note");
    const actions = html("p", panel);
    const focus = html("button", actions, "Focus here");
    focus.type = "button";
    focus.addEventListener("click", () => setFocus([i]));
  }

  function edgePanel(e) {
    const edge = G.edges[e], a = G.F[edge.a], b = G.F[edge.b];
    const h = html("h2", panel);
    link(h, a.name, () => reveal(edge.a));
    h.appendChild(document.createTextNode(" → "));
    link(h, b.name, () => reveal(edge.b));
    const cells = edge.cells, pairs = cells.length / 2;
    if (!pairs) {
      html("p", panel, a.stale
        ? a.name + " fails now: this edge is from its last good build, or its failed build asked for " + b.name + "."
        : "No cell of " + a.name + " that uses a cell of " + b.name + " is recorded.", "note");
      return;
    }
    html("p", panel, "Cells of " + a.name + " that placed or asked for cells of " + b.name + " (" + pairs + "):");
    const list = html("ul", panel), cell = (k) => S.data.cells[k];
    for (let p = 0; p < Math.min(pairs, 200); p++) {
      const li = html("li", list), user = cell(cells[2 * p]), used = cell(cells[2 * p + 1]);
      html("div", li, user[0]);
      html("pre", li, "settings " + json(user[1]));
      html("div", li, "→ " + used[0]);
      html("pre", li, "settings " + json(used[1]));
    }
    if (pairs > 200) html("li", list, "… and " + (pairs - 200) + " more", "note");
  }

  function bundlePanel(b) {
    const bundle = G.bundles[b];
    html("h2", panel, bundle.path.getAttribute("data-bundle"));
    html("p", panel, plural(bundle.edges.length, "edge") + " (a collapsed file; expand it to see them drawn):");
    const list = html("ul", panel);
    for (const e of bundle.edges) link(html("li", list), G.edges[e].key, () => select({ kind: "edge", e }));
  }

  function groupPanel(k) {
    const grp = G.groups[k];
    html("h2", panel, G.files[k].path);
    html("p", panel, grp.sub.textContent);
    const toggle = html("button", html("p", panel), S.expanded.has(k) ? "Collapse" : "Expand");
    toggle.type = "button";
    toggle.addEventListener("click", () => activateGroup(k));
    const list = html("ul", panel);
    for (const i of G.members[k]) {
      const li = html("li", list);
      link(li, G.F[i].name, () => reveal(i));
      if (G.F[i].status !== "SUCCESS") { li.appendChild(document.createTextNode(" ")); badge(li, G.F[i].status); }
    }
  }

  function showAffected() {
    const affected = affectedNow();
    if (!affected) return;
    const box = html("section", panel);
    html("h2", box, "A change to " + S.changed.join(", "));
    if (affected.unknown.length) html("p", box, "Not a file the registry knows: " + affected.unknown.join(", "), "note");
    html("p", box, plural(affected.all.length, "factory", "factories") + " to rebuild, in this order:");
    const list = html("ol", box);
    for (const i of affected.all) link(html("li", list), G.F[i].name, () => reveal(i));
    const inCycle = new Set(affected.all.map((i) => G.F[i].cycle).filter((c) => c !== null && c !== undefined));
    for (const c of inCycle) html("p", box, "cycle (rebuilt together): " + S.data.cycles[c].join(", "), "note");
  }

  // -- actions --------------------------------------------------------------------------------------------------------
  function select(sel) {
    if (sel && sel.kind === "edge" && sel.e === undefined) return;
    S.selected = sel;
    mark();
    showPanel();
  }

  function activateGroup(k) {
    if (S.focus) { select({ kind: "group", k }); return; }
    if (G.omitted && !S.expanded.has(k) && !(S.selected && S.selected.kind === "group" && S.selected.k === k)) {
      S.selected = { kind: "group", k }; // first click on a file of a large graph: its links; the second opens it
      render();
      showPanel();
      return;
    }
    if (S.expanded.has(k)) S.expanded.delete(k); else S.expanded.add(k);
    S.selected = { kind: "group", k };
    render();
    showPanel();
  }

  function reveal(i) {
    const focus = focusSet();
    if (focus && !focus.has(i)) S.focus = null;
    if (!S.expanded.has(G.F[i].file)) S.expanded.add(G.F[i].file);
    S.selected = { kind: "factory", i };
    render();
    showPanel();
    const node = G.nodes[i];
    if (node.shown) { centre(node.x + node.box.w / 2, node.y + node.box.h / 2); node.g.focus({ preventScroll: true }); }
  }

  function setFocus(list) {
    S.focus = list.length ? list : null;
    render();
    fit();
    showPanel();
  }

  // -- pan and zoom ---------------------------------------------------------------------------------------------------
  function apply() {
    const v = S.view;
    G.viewport.setAttribute("transform", `translate(${v.x},${v.y}) scale(${v.k})`);
  }
  function fit() {
    const r = svg.getBoundingClientRect(), t = G.total;
    const k = Math.min(1.5, (r.width - 40) / Math.max(t.w, 1), (r.height - 40) / Math.max(t.h, 1));
    S.view = { k: Math.max(k, 0.02), x: 0, y: 0 };
    S.view.x = (r.width - t.w * S.view.k) / 2;
    S.view.y = Math.max(20, (r.height - t.h * S.view.k) / 2);
    apply();
  }
  function centre(x, y) {
    const r = svg.getBoundingClientRect();
    S.view.x = r.width / 2 - x * S.view.k;
    S.view.y = r.height / 2 - y * S.view.k;
    apply();
  }
  function zoom(factor, cx, cy) {
    const v = S.view, k = Math.min(8, Math.max(0.02, v.k * factor));
    v.x = cx - (cx - v.x) * (k / v.k);
    v.y = cy - (cy - v.y) * (k / v.k);
    v.k = k;
    apply();
  }

  // A click beside a thin edge still takes it: the nearest drawn edge within a few pixels.
  function edgeNear(ev) {
    const r = svg.getBoundingClientRect();
    const point = svg.createSVGPoint();
    point.x = (ev.clientX - r.left - S.view.x) / S.view.k;
    point.y = (ev.clientY - r.top - S.view.y) / S.view.k;
    const width = Math.max(6, 8 / S.view.k);
    for (let e = 0; e < G.edges.length; e++) {
      const edge = G.edges[e];
      if (!edge.shown) continue;
      edge.path.style.strokeWidth = width;
      const hit = edge.path.isPointInStroke(point);
      edge.path.style.strokeWidth = "";
      if (hit) return e;
    }
    return -1;
  }

  function wire() {
    let drag = null;
    svg.addEventListener("pointerdown", (ev) => {
      if (ev.button !== 0) return;
      drag = { x: ev.clientX, y: ev.clientY, vx: S.view.x, vy: S.view.y, moved: false };
    });
    window.addEventListener("pointermove", (ev) => {
      if (!drag) return;
      const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
      if (!drag.moved && Math.abs(dx) + Math.abs(dy) < 4) return;
      drag.moved = true;
      svg.classList.add("panning");
      S.view.x = drag.vx + dx; S.view.y = drag.vy + dy;
      apply();
    });
    window.addEventListener("pointerup", () => { svg.classList.remove("panning"); setTimeout(() => { drag = null; }, 0); });
    svg.addEventListener("click", (ev) => {
      if (drag && drag.moved) return;
      const e = edgeNear(ev);
      select(e >= 0 ? { kind: "edge", e } : null);
    });
    svg.addEventListener("wheel", (ev) => {
      ev.preventDefault();
      const r = svg.getBoundingClientRect();
      zoom(Math.exp(-ev.deltaY * 0.0015), ev.clientX - r.left, ev.clientY - r.top);
    }, { passive: false });
    svg.addEventListener("keydown", (ev) => {
      const target = ev.target.closest && ev.target.closest("[data-factory],[data-group]");
      if (!target || (ev.key !== "Enter" && ev.key !== " ")) return;
      ev.preventDefault();
      target.dispatchEvent(new MouseEvent("click", { bubbles: true }));
    });
    document.addEventListener("keydown", (ev) => {
      const typing = /^(INPUT|TEXTAREA|SELECT)$/.test(document.activeElement && document.activeElement.tagName);
      if (ev.key === "Escape") {
        if (typing) document.activeElement.blur(); else select(null);
        return;
      }
      if (typing) return;
      const r = svg.getBoundingClientRect();
      const keys = { "+": () => zoom(1.25, r.width / 2, r.height / 2), "=": () => zoom(1.25, r.width / 2, r.height / 2),
        "-": () => zoom(0.8, r.width / 2, r.height / 2), "0": fit, "/": () => $("search").focus(),
        ArrowLeft: () => { S.view.x += 60; apply(); }, ArrowRight: () => { S.view.x -= 60; apply(); },
        ArrowUp: () => { S.view.y += 60; apply(); }, ArrowDown: () => { S.view.y -= 60; apply(); } };
      if (keys[ev.key]) { ev.preventDefault(); keys[ev.key](); }
    });
    const search = $("search");
    search.addEventListener("input", () => {
      S.search = words(search.value);
      mark();
    });
    search.addEventListener("keydown", (ev) => {
      if (ev.key !== "Enter") return;
      const tests = S.search.map(matcher);
      const hits = G.F.map((f, i) => i).filter((i) => tests.some((t) => t(G.F[i].name)));
      if (!hits.length) { $("counts").textContent = "no factory matches " + search.value; return; }
      S.selected = { kind: "factory", i: hits[0] };
      setFocus(hits);
    });
    $("hide").addEventListener("change", () => { S.hide = words($("hide").value); render(); });
    $("changed").addEventListener("change", () => { S.changed = words($("changed").value); mark(); showPanel(); });
    for (const id of ["up", "down", "depth"]) $(id).addEventListener("change", () => { if (S.focus) { render(); fit(); } });
    $("unfocus").addEventListener("click", () => setFocus([]));
    $("expand").addEventListener("click", () => { G.files.forEach((_, k) => S.expanded.add(k)); render(); fit(); });
    $("collapse").addEventListener("click", () => { S.expanded.clear(); render(); fit(); });
    $("fit").addEventListener("click", fit);
  }

  // -- loading and live updates -----------------------------------------------------------------------------------------
  function load(data) {
    const before = G;
    const keep = before ? {
      expanded: [...S.expanded].map((k) => before.files[k].path),
      focus: S.focus ? S.focus.map((i) => before.F[i].name) : null,
      selected: S.selected ? describe(before, S.selected) : null,
      failing: new Set(before.F.filter((f) => f.status !== "SUCCESS").map((f) => f.name)),
    } : null;
    S.data = data;
    G = index(data);
    build();
    const fileIndex = new Map(G.files.map((f, k) => [f.path, k]));
    const byName = (names) => names.map((name) => G.byName.get(name)).filter((i) => i !== undefined);
    if (keep) {
      S.expanded = new Set(keep.expanded.map((p) => fileIndex.get(p)).filter((k) => k !== undefined));
      S.focus = keep.focus ? byName(keep.focus) : null;
      if (S.focus && !S.focus.length) S.focus = null;
      S.selected = keep.selected ? resolve(keep.selected, fileIndex) : null;
    } else {
      const init = data.initial || {};
      S.expanded = G.n > LARGE ? new Set() : new Set(G.files.map((_, k) => k));
      if (init.exclude && init.exclude.length) { S.hide = init.exclude; $("hide").value = init.exclude.join(" "); }
      if (init.up || init.down) { $("up").checked = !!init.up; $("down").checked = !!init.down; }
      if (init.depth !== undefined && init.depth !== null) $("depth").value = init.depth;
      if (init.focus && init.focus.length) S.focus = byName(init.focus);
      if (init.changed && init.changed.length) { S.changed = init.changed; $("changed").value = init.changed.join(" "); }
    }
    render();
    summary(data, keep);
    if (!S.drawn) { fit(); S.drawn = true; } else apply();
    showPanel();
  }

  function describe(g, sel) {
    if (sel.kind === "factory") return { kind: "factory", name: g.F[sel.i].name };
    if (sel.kind === "edge") return { kind: "edge", key: g.edges[sel.e].key };
    if (sel.kind === "group") return { kind: "group", path: g.files[sel.k].path };
    return null;
  }
  function resolve(sel, fileIndex) {
    if (sel.kind === "factory" && G.byName.has(sel.name)) return { kind: "factory", i: G.byName.get(sel.name) };
    if (sel.kind === "edge" && G.edgeIndex.has(sel.key)) return { kind: "edge", e: G.edgeIndex.get(sel.key) };
    if (sel.kind === "group" && fileIndex.has(sel.path)) return { kind: "group", k: fileIndex.get(sel.path) };
    return null;
  }

  function summary(data, keep) {
    const out = $("summary");
    let text = data.summary || "";
    if (keep) {
      const now = new Set(G.F.filter((f) => f.status !== "SUCCESS").map((f) => f.name));
      const fixed = [...keep.failing].filter((n) => G.byName.has(n) && !now.has(n));
      const broke = [...now].filter((n) => !keep.failing.has(n));
      if (broke.length) text += " · newly FAILED: " + broke.join(", ");
      if (fixed.length) text += " · fixed: " + fixed.join(", ");
    }
    out.textContent = text;
    out.classList.toggle("failed", G.F.some((f) => f.status !== "SUCCESS"));
  }

  function start() {
    wire();
    load(JSON.parse($("data").textContent));
    document.body.dataset.ready = "1";
    if (/^https?:$/.test(location.protocol)) {
      const events = new EventSource("events");
      events.addEventListener("update", (ev) => {
        load(JSON.parse(ev.data));
        S.generation++;
        document.body.dataset.generation = String(S.generation);
      });
    }
  }

  start();
})();
