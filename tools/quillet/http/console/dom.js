// Building the page: elements, the view on show, form fields, pickers,
// times and pages.
import { LABELS, STATUS } from "./labels.js";
import { PAGE, api, outcome } from "./api.js";
import { foldFilters } from "./layout.js";
import { loadingDone } from "./progress.js";

const view = document.getElementById("view");

// Elements from a tag, attributes and children (strings become text).
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v === true ? "" : v);
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// A back-end text, its direction isolated from what surrounds it.
function bt(value) {
  return el("bdi", {}, value === null || value === undefined ? "" : String(value));
}

// Renders a view unless the sign-in has taken the page meanwhile, or the
// agent has gone on to another view (a late answer never replaces it):
// each view takes its `show` from showing() when it starts.
let routeGen = 0;
// A new view starts: the answers for the views before it are not shown.
function nextRoute() {
  ++routeGen;
}
function showing() {
  const gen = routeGen;
  return (title, ...nodes) => (gen === routeGen ? show(title, ...nodes) : undefined);
}
function show(title, ...nodes) {
  if (location.hash.startsWith("#/signin")) return;
  const heading = el("h2", { tabindex: "-1", id: "view-title" }, title);
  view.replaceChildren(heading, ...nodes.flat(2).filter((n) => n !== null && n !== undefined));
  loadingDone();
  foldFilters(view);
  heading.focus({ preventScroll: true });
}

function statusText(code) {
  const n = Number(code || 0);
  return n + " " + (STATUS[n] || "Unknown");
}

// Times in the agent's zone, with the zone named.
const ZONE = Intl.DateTimeFormat().resolvedOptions().timeZone || "local time";
const TIME = new Intl.DateTimeFormat(undefined, { year: "numeric", month: "short", day: "numeric",
  hour: "2-digit", minute: "2-digit", second: "2-digit", timeZoneName: "short" });
function localTime(date) {
  return Number.isNaN(date.getTime()) ? "" : TIME.format(date);
}
// A last transaction time: seconds since 2000-01-01 UTC.
function stampTime(stamp) {
  return stamp ? localTime(new Date((Number(stamp) + 946684800) * 1000)) : "";
}
function firstLine(text) {
  return String(text || "").split(/\r?\n/)[0];
}

// A form field labelled from the table; raw key names appear when the
// details toggle is on.
function field(name, id, value) {
  const spec = LABELS[name] || { label: name };
  const attrs = { id, name, dir: "auto", "aria-required": spec.required ? "true" : null,
    required: spec.required || null, "aria-describedby": spec.help ? id + "-help" : null };
  const input = spec.kind === "text" ? el("textarea", attrs)
    : el("input", Object.assign(attrs, spec.kind === "number"
      ? { type: "text", inputmode: "numeric" } : { type: "text" }));
  if (value) input.value = value;
  return el("label", { for: id, class: spec.kind === "text" ? "wide" : null },
    el("span", {}, spec.label, spec.required ? el("span", { class: "req", "aria-hidden": "true" }, " *") : null,
      el("code", { class: "raw" }, name)),
    input,
    spec.help ? el("small", { id: id + "-help" }, spec.help) : null);
}

function values(form, names) {
  const out = {};
  for (const name of names) {
    const value = form.elements[name].value;
    if (value === "") continue;
    out[name] = (LABELS[name] || {}).kind === "number" && /^-?\d+$/.test(value.trim()) ? Number(value) : value;
  }
  return out;
}

// Pickers: an input that searches master data as the agent types, and
// the chosen entry's name beside it.
const partnerNames = new Map();
async function partnerName(numbers) {
  const missing = [...new Set(numbers)].filter((n) => n && !partnerNames.has(n)).slice(0, 100);
  if (missing.length) {
    const q = new URLSearchParams();
    for (const n of missing) q.append("number", n);
    const answer = await api("GET", "/partners?" + q.toString());
    for (const n of missing) partnerNames.set(n, "");
    if (answer.status === 200 && Array.isArray(answer.data))
      for (const p of answer.data) partnerNames.set(p.number, p.name || "");
  }
}
function picker(input, kind) {
  const list = el("datalist", { id: input.id + "-list" });
  const note = el("small", { class: "picked", "aria-live": "polite" });
  input.setAttribute("list", list.id);
  input.setAttribute("autocomplete", "off");
  let timer = 0;
  const lookup = async () => {
    const answer = await api("GET", (kind === "partner" ? "/partners" : "/service-objects") +
      "?limit=20&search=" + encodeURIComponent(input.value));
    if (answer.status !== 200 || !Array.isArray(answer.data)) return;
    list.replaceChildren(...answer.data.map((e) => kind === "partner"
      ? el("option", { value: e.number }, e.name)
      : el("option", { value: e.object }, [e.contract, e.warrantyDescription].filter(Boolean).join(", "))));
    const hit = answer.data.find((e) => (kind === "partner" ? e.number : e.object) === input.value);
    note.replaceChildren(hit ? bt(kind === "partner" ? hit.name : [hit.contract, hit.warrantyDescription].filter(Boolean).join(", ")) : "");
  };
  input.addEventListener("input", () => { clearTimeout(timer); timer = setTimeout(lookup, 200); });
  input.addEventListener("focus", lookup, { once: true });
  input.parentNode.append(list, note);
  // A form made empty again (after a create) keeps no hint of the last one.
  if (input.form) input.form.addEventListener("reset", () => { list.replaceChildren(); note.replaceChildren(); });
}

// The address of a view: the hash and its parameters.
function link(path, params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params || {})) if (v !== "" && v !== undefined && v !== null) q.set(k, v);
  const s = q.toString();
  return "#" + path + (s ? "?" + s : "");
}

// Pages: `after` is where the page starts; `back` the starts of the pages
// before it, so that "Previous" and the back button both work.
function pager(path, params, rows, keyOf, total) {
  const back = (params.back || "").split(",").filter(Boolean);
  const first = back.length * PAGE + 1;
  const nav = [];
  if (params.after) {
    nav.push(el("a", { href: link(path, Object.assign({}, params, { after: "", back: "" })), id: "first" }, "First"));
    const prev = back.slice(0, -1);
    nav.push(el("a", { href: link(path, Object.assign({}, params, { after: back[back.length - 1] === "-" ? "" : back[back.length - 1], back: prev.join(",") })), rel: "prev", id: "prev" }, "Previous"));
  }
  if (rows.length > PAGE) {
    nav.push(el("a", { href: link(path, Object.assign({}, params, { after: keyOf(rows[PAGE - 1]), back: back.concat(params.after || "-").slice(-200).join(",") })), rel: "next", id: "next" }, "Next"));
  }
  const shown = Math.min(rows.length, PAGE);
  const count = shown ? first + "–" + (first + shown - 1) : "none";
  return el("nav", { class: "pager", "aria-label": "Pages" },
    el("span", { id: "count", role: "status" }, count + (total === undefined ? "" : " of " + total)), nav);
}

function problem(show, title, answer) {
  show(title, outcome(answer, ""));
}

export { view, el, bt, nextRoute, showing, show, statusText, ZONE, localTime, stampTime, firstLine, field, values, partnerNames, partnerName, picker, link, pager, problem };
