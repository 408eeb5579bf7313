// The Quillet console: a service desk's view over the service's JSON API.
// Every text from the back end goes into the page as text, in an element
// that isolates its direction (<bdi> or dir="auto"), never as HTML.
"use strict";

// Every failure is shown: one that escaped a view is reported in the page.
function report(what) {
  const box = document.getElementById("page-error");
  const p = document.createElement("p");
  const text = document.createElement("bdi");
  text.textContent = String(what);
  p.append("Something went wrong: ", text, ". Reload the page to continue.");
  box.replaceChildren(p);
  box.hidden = false;
}
window.addEventListener("error", (e) => report(e.message || "an error"));
window.addEventListener("unhandledrejection", (e) => report((e.reason && e.reason.message) || String(e.reason)));

// ---------------------------------------------------------------------------
// Adapter: what the console asks of the service about who is calling and
// what was done to a call. Every path and answer shape it depends on for
// these is here and nowhere else.
//   GET /whoami                 -> {"name": "...", "scope": "read"|"write"|"admin"}
//   GET /calls/{number}/audit   -> [{"time", "token", "route", "status",
//                                    "key", "replayed"}, ...]
// A service that answers 404 has neither: the scope is unknown (actions are
// offered; a 403 is shown as such) and no history is recorded.
const ADAPTER = {
  async whoAmI() {
    const answer = await api("GET", "/whoami");
    const d = answer.data;
    if (answer.status !== 200 || !d || typeof d !== "object") return null;
    return { name: typeof d.name === "string" ? d.name : "",
      scope: typeof d.scope === "string" ? d.scope : "" };
  },
  async history(number) {
    const answer = await api("GET", "/calls/" + encodeURIComponent(number) + "/audit");
    if (answer.status === 404) return [];
    if (answer.status !== 200 || !Array.isArray(answer.data)) return answer;
    return answer.data.filter((e) => e && typeof e === "object").map((e) => ({
      time: e.time, token: e.token, route: e.route, status: e.status,
      key: e.key, replayed: e.replayed === true }));
  },
};
// ---------------------------------------------------------------------------

// Words for every property and detail key: one table, used by the call
// view, the forms, the filters and the queue. `help` says what a field
// needs; `required` marks what a form cannot do without.
const LABELS = {
  CallNumber: { label: "Call number" },
  Status: { label: "Status" },
  CallDescription: { label: "Description" },
  Problem: { label: "Problem code" },
  Priority: { label: "Priority" },
  CallGroup1: { label: "Call group 1" },
  CallGroup2: { label: "Call group 2" },
  LastTransactionTime: { label: "Last change" },
  ChangedFlag: { label: "Changed by the last update" },
  SoldToBusinessPartner: { label: "Sold-to partner" },
  BusinessPartnerNumber: { label: "Business partner" },
  Site: { label: "Site" },
  CallerName: { label: "Caller" },
  Contact: { label: "Contact" },
  ServiceObject: { label: "Service object" },
  ObjectNumber: { label: "Object number" },
  Contract: { label: "Contract" },
  WarrantyFlag: { label: "Under warranty" },
  Warranty: { label: "Warranty" },
  WarrantyDescription: { label: "Warranty terms" },
  WarrantyExpiryDate: { label: "Warranty ends" },
  Engineer: { label: "Engineer" },
  CreatedBy: { label: "Created by" },
  ActionDoneBy: { label: "Action done by" },
  ActionProblem: { label: "Problem found" },
  ActionSolution: { label: "Solution code" },
  ActionActivity: { label: "Activity" },
  TimeSpent: { label: "Time spent (hours and minutes)" },
  WaitingFlag: { label: "Waiting" },
  WaitingDescription: { label: "Waiting for" },
  OptionFlag: { label: "Option flag" },
  OriginCode: { label: "Origin code" },
  ServiceOrder: { label: "Service order" },
  HasServiceOrder: { label: "Has a service order" },
  Text: { label: "Call text" },
  SolutionText: { label: "Solution text" },
  COMPONENT: { label: "Back-end component", help: "Leave empty for the default." },
  SOLDTOBP: { label: "Sold-to partner", required: true, help: "The customer's partner number; type to search." },
  BPNUMBER: { label: "Business partner", help: "Type to search." },
  SITE: { label: "Site" },
  OBJECT: { label: "Service object", help: "Gives the contract and warranty; type to search." },
  OBJECTNR: { label: "Object number" },
  CALLDESC: { label: "Description", help: "One line the queue shows." },
  PROBLEM: { label: "Problem code" },
  PRIORITY: { label: "Priority", kind: "number", help: "0 to 255." },
  CALLGROUP1: { label: "Call group 1" },
  CALLGROUP2: { label: "Call group 2" },
  CALLERNAME: { label: "Caller" },
  CONTACT: { label: "Contact" },
  ENGINEER: { label: "Engineer" },
  CALLCREATER: { label: "Created by" },
  ACTIONDONEBY: { label: "Action done by" },
  Q_ID: { label: "Question", help: "Its recorded engineer time is added." },
  TIMESPENT: { label: "Time spent (minutes)", kind: "number" },
  LINK: { label: "Link", help: "Added to the call text on a line of its own." },
  Q_TEXT: { label: "Call text", kind: "text" },
  SOLUTION: { label: "Solution code" },
  ACTIVITY: { label: "Activity" },
  SOLUTIONTEXT: { label: "Solution text", kind: "text" },
  WAITINGDESC: { label: "Waiting for", help: "What the call waits for." },
  status: { label: "Status" },
  sold_to: { label: "Sold-to partner" },
  text: { label: "Text in the description" },
  changed_since: { label: "Changed since" },
};

function labelOf(name) {
  return (LABELS[name] && LABELS[name].label) || name;
}

// What each status code means in the embedded back end.
const STATUS = {
  0: "New",
  10: "Registered",
  15: "In progress",
  25: "Solved",
  30: "Completed",
};

// The UpdateCall options, the detail keys each one reads, and when the back
// end accepts it (null: in every state it accepts changes).
const OPTIONS = [
  { option: 1, name: "Record problem", fields: ["PROBLEM"] },
  { option: 2, name: "Solve with time", fields: ["PROBLEM", "SOLUTION", "ACTIVITY", "Q_ID", "TIMESPENT", "SOLUTIONTEXT"] },
  { option: 3, name: "End waiting", fields: [],
    refused: (c) => (Number(c.WaitingFlag) === 1 ? null : "the call is not waiting") },
  { option: 4, name: "Mark solved", fields: ["PROBLEM", "SOLUTION", "ACTIVITY", "SOLUTIONTEXT", "Q_ID", "TIMESPENT"] },
  { option: 5, name: "Wait", fields: ["WAITINGDESC"] },
  { option: 6, name: "Complete", fields: ["PROBLEM", "SOLUTION", "ACTIVITY", "SOLUTIONTEXT", "Q_ID"], confirm: true },
  { option: 7, name: "Add call text", fields: ["Q_TEXT"] },
  { option: 8, name: "Register", fields: ["Q_ID"] },
  { option: 9, name: "Set option flag", fields: [],
    refused: (c) => (Number(c.OptionFlag) === 1 ? "the option flag is already set" : null) },
];
const COMMON = ["ENGINEER", "ACTIONDONEBY"];

const CREATE_FIELDS = ["SOLDTOBP", "BPNUMBER", "CALLDESC", "Q_TEXT", "OBJECT", "OBJECTNR",
  "SITE", "CALLERNAME", "CONTACT", "PRIORITY", "PROBLEM", "CALLGROUP1", "CALLGROUP2",
  "ENGINEER", "CALLCREATER", "Q_ID", "TIMESPENT", "LINK", "COMPONENT"];

const PAGE = 25;
const TOKEN_KEY = "quillet-token";
const view = document.getElementById("view");
const session = { who: null, checked: false };

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
function showing() {
  const gen = routeGen;
  return (title, ...nodes) => (gen === routeGen ? show(title, ...nodes) : undefined);
}
function show(title, ...nodes) {
  if (location.hash.startsWith("#/signin")) return;
  const heading = el("h2", { tabindex: "-1", id: "view-title" }, title);
  view.replaceChildren(heading, ...nodes.flat(2).filter((n) => n !== null && n !== undefined));
  heading.focus({ preventScroll: true });
}

// A request key: 128 random bits as a UUID, from getRandomValues, which
// every browser has, secure context or not.
function newKey() {
  const b = crypto.getRandomValues(new Uint8Array(16));
  b[6] = (b[6] & 0x0f) | 0x40;
  b[8] = (b[8] & 0x3f) | 0x80;
  const h = Array.from(b, (x) => x.toString(16).padStart(2, "0")).join("");
  return h.slice(0, 8) + "-" + h.slice(8, 12) + "-" + h.slice(12, 16) + "-" + h.slice(16, 20) + "-" + h.slice(20);
}

function token() {
  try { return sessionStorage.getItem(TOKEN_KEY) || ""; } catch (e) { return ""; }
}

// One request. Never throws: a network failure is status 0. A 401 brings
// the sign-in back.
async function api(method, path, body, key) {
  const headers = { Accept: "application/json" };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (key) headers["Idempotency-Key"] = key;
  if (token()) headers.Authorization = "Bearer " + token();
  // An answer that takes longer than this is taken as never coming.
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), 30000);
  let response;
  let data = null;
  try {
    response = await fetch(path, { method, headers, cache: "no-store", signal: abort.signal,
      body: body === undefined ? undefined : JSON.stringify(body) });
    try { data = await response.json(); } catch (e) { data = null; }
  } catch (e) {
    return { status: 0, data: null };
  } finally {
    clearTimeout(timer);
  }
  if (response.status === 401) signInView(true, method !== "GET");
  return { status: response.status, data, replayed: response.headers.get("Idempotent-Replayed") === "true" };
}

// A write: one key per submission, kept while its outcome is unknown so
// that sending it again can never do it twice; the control is disabled
// while it is in flight. An answer that never came is asked again twice
// before the agent is told.
function submission(control) {
  let pending = null;  // { key, body } of a submission whose outcome is unknown
  return async (method, path, body) => {
    if (control.disabled) return null;
    const text = JSON.stringify(body);
    if (!pending || pending.text !== text) pending = { key: newKey(), text };
    control.disabled = true;
    control.setAttribute("aria-busy", "true");
    try {
      let answer;
      for (let attempt = 0; attempt < 3; ++attempt) {
        if (attempt) await new Promise((r) => setTimeout(r, 400 * attempt));
        answer = await api(method, path, body, pending.key);
        if (answer.status !== 0 && answer.status < 500) break;
      }
      if (answer.status !== 0 && answer.status < 500) pending = null;
      return answer;
    } finally {
      control.disabled = false;
      control.removeAttribute("aria-busy");
    }
  };
}

// An answer for people: what happened, and what to do about a failure.
// `done` says what a write did; reads pass "".
function outcome(answer, done) {
  const d = answer.data && typeof answer.data === "object" ? answer.data : {};
  const lines = [];
  const again = " Whether the change was made is unknown: send it again unchanged (it is never made twice), or look at the call.";
  let kind = "good";
  if (answer.status === 0) {
    kind = "bad";
    lines.push("No answer from the service." + (done ? again : " Try again in a moment."));
  } else if (answer.status === 401) {
    kind = "bad";
    lines.push("Sign in to continue.");
  } else if (answer.status === 403) {
    kind = "bad";
    lines.push("Your token does not allow this (" + answer.status + ").");
  } else if (answer.status >= 500) {
    kind = "bad";
    lines.push("The service could not reach its back end (" + answer.status + ")." + (done ? again : " Try again in a moment."));
  } else if (answer.status >= 400) {
    kind = "bad";
    lines.push("Not done (" + answer.status + ").");
  } else {
    lines.push(done + (answer.replayed ? " (answered again: it was done once)" : ""));
  }
  const parts = lines.map((l) => el("p", {}, l));
  if (d.error) parts.push(el("p", {}, "Error " + d.error.number + ": ", bt(d.error.description)));
  if (d.message) parts.push(el("p", {}, bt(d.message)));
  for (const key of ["errorDescription", "errorText"])
    if (d[key]) {
      if (kind === "good") kind = "warn";
      parts.push(el("p", {}, "The back end says: ", bt(d[key])));
    }
  return el("div", { class: "outcome " + kind, role: kind === "good" ? "status" : "alert", tabindex: "-1" }, parts);
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

// The queue: filters and page in the address, sorted by number or by the
// last change.
async function callsView(params) {
  const show = showing();
  const status = el("select", { id: "f-status", name: "status" },
    el("option", { value: "" }, "Any status"),
    Object.keys(STATUS).map((code) => el("option", { value: code }, statusText(code))));
  status.value = params.status || "";
  const partner = el("input", { id: "f-sold_to", name: "sold_to", dir: "auto", value: params.sold_to || "" });
  const text = el("input", { id: "f-text", name: "text", dir: "auto", type: "search", value: params.text || "" });
  const since = el("input", { id: "f-since", name: "since", type: "date", value: params.since || "" });
  const sort = el("select", { id: "f-sort", name: "sort" },
    el("option", { value: "" }, "Call number"), el("option", { value: "changed" }, "Last change, newest first"));
  sort.value = params.sort || "";
  const filters = el("form", { class: "grid filters", role: "search", onsubmit: (e) => {
    e.preventDefault();
    location.hash = link("/calls", { status: status.value, sold_to: partner.value.trim(), text: text.value, since: since.value, sort: sort.value });
  } },
    el("label", { for: "f-status" }, labelOf("status"), status),
    el("label", { for: "f-sold_to" }, labelOf("sold_to"), partner),
    el("label", { for: "f-text" }, labelOf("text"), text),
    el("label", { for: "f-since" }, labelOf("changed_since"), since),
    el("label", { for: "f-sort" }, "Order", sort),
    el("button", { type: "submit" }, "Show"));
  picker(partner, "partner");
  const query = new URLSearchParams();
  if (params.status) query.set("status", params.status);
  if (params.sold_to) query.set("sold_to", params.sold_to);
  if (params.text) query.set("text", params.text);
  if (params.since) {
    const t = Math.floor(new Date(params.since + "T00:00:00").getTime() / 1000) - 946684800;
    if (t > 0) query.set("changed_since", String(t));
  }
  if (params.sort === "changed") query.set("order", "changed");
  if (params.after) query.set("after", params.after);
  query.set("limit", String(PAGE + 1));
  const counting = new URLSearchParams(query);
  counting.delete("after");
  counting.delete("limit");
  counting.delete("order");
  const [answer, counted] = await Promise.all([api("GET", "/calls?" + query.toString()),
    api("GET", "/call-count?" + counting.toString())]);
  if (answer.status !== 200 || !Array.isArray(answer.data)) return show("Calls", filters, outcome(answer, ""));
  const calls = answer.data;
  const total = counted.status === 200 && counted.data && typeof counted.data.count === "number"
    ? counted.data.count + (counted.data.more ? "+" : "") : undefined;
  await partnerName(calls.slice(0, PAGE).map((c) => c.SoldToBusinessPartner));
  const page = calls.slice(0, PAGE);
  const heads = ["Call", "Description", "Customer", "Status", "Engineer", "Last change"];
  const rows = page.map((c) => el("tr", {},
    el("td", { "data-label": heads[0] }, el("a", { href: "#/call/" + encodeURIComponent(c.CallNumber) }, bt(c.CallNumber))),
    el("td", { "data-label": heads[1], class: "clip" }, bt(firstLine(c.CallDescription))),
    el("td", { "data-label": heads[2], class: "clip" }, bt(c.SoldToBusinessPartner),
      partnerNames.get(c.SoldToBusinessPartner) ? [" ", el("span", { class: "muted" }, bt(partnerNames.get(c.SoldToBusinessPartner)))] : null),
    el("td", { "data-label": heads[3] }, statusText(c.Status), Number(c.WaitingFlag) === 1 ? el("span", { class: "badge" }, "waiting") : null),
    el("td", { "data-label": heads[4], class: "clip" }, bt(c.Engineer)),
    el("td", { "data-label": heads[5] }, stampTime(c.LastTransactionTime))));
  show("Calls", filters,
    pager("/calls", params, calls, (c) => c.CallNumber, total),
    rows.length ? el("table", { class: "cards" },
      el("caption", { class: "sr" }, "Calls, " + (params.sort === "changed" ? "the most recently changed first" : "by call number")),
      el("thead", {}, el("tr", {}, heads.map((h) => el("th", { scope: "col" }, h)))),
      el("tbody", { id: "calls" }, rows)) : el("p", {}, "No calls match."));
}

// One call: what to do with it first, then what it holds, its texts and
// its history.
async function callView(number, notice) {
  const show = showing();
  const answer = await api("GET", "/calls/" + encodeURIComponent(number));
  if (answer.status !== 200 || !answer.data) return problem(show, "Call " + number, answer);
  const c = answer.data;
  await partnerName([c.SoldToBusinessPartner, c.BusinessPartnerNumber]);
  const value = (n) => {
    if (n === "Status") return statusText(c[n]);
    if (n === "LastTransactionTime") return stampTime(c[n]);
    if (n === "WaitingFlag") return Number(c[n]) === 1 ? "Yes" : "No";
    if (n === "TimeSpent") return Math.floor(Number(c[n]) / 100) + " h " + (Number(c[n]) % 100) + " min";
    if (n === "WarrantyFlag" || n === "HasServiceOrder") return Number(c[n]) ? "Yes" : "No";
    if ((n === "SoldToBusinessPartner" || n === "BusinessPartnerNumber") && partnerNames.get(c[n]))
      return [bt(c[n]), " ", el("span", { class: "muted" }, bt(partnerNames.get(c[n])))];
    return bt(c[n]);
  };
  const groups = {
    "The call": ["Status", "CallDescription", "Problem", "Priority", "CallGroup1", "CallGroup2", "LastTransactionTime"],
    "Customer": ["SoldToBusinessPartner", "BusinessPartnerNumber", "Site", "CallerName", "Contact"],
    "Object": ["ServiceObject", "ObjectNumber", "Contract", "WarrantyFlag", "Warranty", "WarrantyDescription", "WarrantyExpiryDate"],
    "Work": ["Engineer", "CreatedBy", "ActionDoneBy", "ActionProblem", "ActionSolution", "ActionActivity", "TimeSpent", "WaitingFlag", "WaitingDescription", "OptionFlag"],
    "Service order": ["ServiceOrder", "HasServiceOrder"],
  };
  const shown = new Set(["CallNumber", "Text", "SolutionText"]);
  const entry = (n) => [el("dt", {}, labelOf(n), el("code", { class: "raw" }, n)),
    el("dd", { "data-property": n, dir: "auto" }, value(n))];
  const sections = Object.entries(groups).map(([title, names]) => {
    const present = names.filter((n) => n in c);
    present.forEach((n) => shown.add(n));
    return present.length ? el("section", { class: "group" }, el("h3", {}, title), el("dl", {}, present.map(entry))) : null;
  });
  const rest = Object.keys(c).filter((n) => !shown.has(n));
  if (rest.length) sections.push(el("section", { class: "group" }, el("h3", {}, "Other"), el("dl", {}, rest.map(entry))));
  const texts = el("section", { class: "group" }, el("h3", {}, "Texts"),
    el("h4", {}, "Call text"), el("div", { id: "call-text", class: "text", dir: "auto" }, (c.Text || []).join("")),
    el("h4", {}, "Solution text"), el("div", { id: "solution-text", class: "text", dir: "auto" }, (c.SolutionText || []).join("") || "None yet."));

  const panel = el("div", { id: "option-panel" });
  // What the back end would refuse is offered disabled, with the reason:
  // one reason for all when the whole call is closed to changes.
  const closed = readOnly() ? "Your token may only read: nothing can be changed."
    : Number(c.Status) === 30 ? "The call is completed: nothing can be changed." : null;
  const reasons = [];
  const buttons = OPTIONS.map((o) => {
    const why = closed ? "why-all" : o.refused && o.refused(c) ? "why-" + o.option : null;
    if (why && !closed) reasons.push(el("li", { id: why }, o.name + ": " + o.refused(c) + "."));
    return el("button", { type: "button", class: "secondary", id: "option-" + o.option, disabled: !!why,
      "aria-describedby": why, onclick: () => optionForm(c, o, panel) }, o.name);
  });
  if (closed) reasons.push(el("li", { id: "why-all" }, closed));
  const historySection = el("section", { class: "group", id: "history" }, el("h3", {}, "History"), el("p", {}, "Loading…"));
  show(["Call ", bt(number), c.CallDescription ? [" — ", bt(firstLine(c.CallDescription))] : null],
    notice || null,
    el("div", { class: "options", role: "group", "aria-label": "Change the call" }, buttons),
    reasons.length ? el("ul", { class: "reasons", "aria-label": "Not available now" }, reasons) : null,
    panel, texts, sections, historySection);
  fillHistory(number, historySection);
}

async function fillHistory(number, section) {
  const entries = await ADAPTER.history(number);
  if (!Array.isArray(entries))
    return section.replaceChildren(el("h3", {}, "History"), entries.status === 403
      ? el("p", {}, "Your token may not read the history of calls.") : outcome(entries, ""));
  section.replaceChildren(el("h3", {}, "History"), entries.length === 0
    ? el("p", {}, "No history recorded.")
    : el("table", { class: "cards" },
      el("thead", {}, el("tr", {}, ["When", "Who", "What", "Outcome"].map((h) => el("th", { scope: "col" }, h)))),
      el("tbody", {}, entries.map((e) => el("tr", {},
        el("td", { "data-label": "When" }, localTime(new Date(e.time))),
        el("td", { "data-label": "Who" }, bt(e.token)),
        el("td", { "data-label": "What" }, bt(e.route)),
        el("td", { "data-label": "Outcome" }, String(e.status ?? ""), e.replayed ? " (answered again)" : ""))))));
}

function optionForm(call, option, panel) {
  const names = option.fields.concat(COMMON);
  const submit = el("button", { type: "submit" }, option.confirm ? "Complete the call…" : "Apply: " + option.name);
  const result = el("div", { id: "option-outcome" });
  const form = el("form", { class: "grid", id: "option-form" },
    names.map((n) => field(n, "o-" + n, n === "ENGINEER" ? call.Engineer : "")), submit,
    el("button", { type: "button", class: "secondary", onclick: () => panel.replaceChildren() }, "Cancel"));
  const send = submission(submit);
  const apply = async () => {
    const body = values(form, names);
    body.OPTION = option.option;
    const answer = await send("POST", "/calls/" + encodeURIComponent(call.CallNumber) + "/changes", body);
    if (!answer) return;
    const told = outcome(answer, option.name + ": done.");
    if (answer.status === 200 && !(answer.data && answer.data.errorDescription)) return callView(call.CallNumber, told);
    result.replaceChildren(told);
    told.focus();
  };
  form.addEventListener("submit", (e) => {
    e.preventDefault();
    if (submit.disabled) return;
    if (!option.confirm) return apply();
    const yes = el("button", { type: "button", id: "confirm-yes", class: "danger" }, "Yes, complete it");
    const no = el("button", { type: "button", class: "secondary" }, "No");
    const ask = el("div", { class: "confirm", role: "alertdialog", "aria-labelledby": "confirm-q" },
      el("p", { id: "confirm-q" }, "Complete call ", bt(call.CallNumber), "? A completed call gets a service order and cannot be changed again."),
      yes, no);
    yes.addEventListener("click", () => { ask.remove(); apply(); });
    no.addEventListener("click", () => { ask.remove(); submit.focus(); });
    result.replaceChildren(ask);
    no.focus();  // the safe answer first: completing is not undone
  });
  panel.replaceChildren(el("h3", {}, option.name), form, result);
  form.elements[0].focus();
}

function newCallView() {
  const submit = el("button", { type: "submit" }, "Create the call");
  const form = el("form", { class: "grid", id: "new-call" },
    CREATE_FIELDS.map((name) => field(name, "n-" + name)), el("div", { class: "actions" }, submit));
  const result = el("div", { id: "new-call-outcome" });
  const send = submission(submit);
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const answer = await send("POST", "/calls", values(form, CREATE_FIELDS));
    if (!answer) return;
    const number = answer.data && answer.data.result && answer.data.result.CALLNUMBER;
    result.replaceChildren(outcome(answer, number ? "Call " + number + " created." : "Nothing was created."),
      number ? el("a", { href: "#/call/" + encodeURIComponent(number), id: "new-call-link" }, "Open call ", bt(number)) : "");
    if (number) form.reset();
    (number ? result.querySelector("a") : result.firstChild).focus();
  });
  if (readOnly()) submit.disabled = true;
  show("New call", readOnly() ? el("p", { class: "outcome warn" }, "Your token may only read: no call can be created.") : null,
    el("p", { class: "muted" }, "Fields marked * are required."), form, result);
  picker(form.elements.SOLDTOBP, "partner");
  picker(form.elements.BPNUMBER, "partner");
  picker(form.elements.OBJECT, "object");
  form.elements[0].focus();
}

// Items: searched and paged; registered or changed from their fields.
async function itemsView(params) {
  const show = showing();
  const search = el("input", { id: "i-search", name: "search", type: "search", dir: "auto", value: params.search || "" });
  const finder = el("form", { class: "grid filters", role: "search", onsubmit: (e) => {
    e.preventDefault();
    location.hash = link("/items", { search: search.value.trim() });
  } }, el("label", { for: "i-search" }, "Serial number or item", search), el("button", { type: "submit" }, "Find"));
  const query = new URLSearchParams({ limit: String(PAGE + 1) });
  if (params.search) query.set("search", params.search);
  if (params.after) query.set("after", params.after);
  const answer = await api("GET", "/items?" + query.toString());
  let list;
  if (answer.status !== 200 || !Array.isArray(answer.data)) list = outcome(answer, "");
  else {
    const items = answer.data;
    list = [pager("/items", params, items, (i) => i.serial),
      items.length ? el("table", { class: "cards" },
        el("thead", {}, el("tr", {}, ["Serial number", "Item", "Component", "Other fields"].map((h) => el("th", { scope: "col" }, h)))),
        el("tbody", { id: "items" }, items.slice(0, PAGE).map((i) => el("tr", {},
          el("td", { "data-label": "Serial number", class: "wrap" }, bt(i.serial)),
          el("td", { "data-label": "Item", class: "wrap" }, bt(i.fields.ITEM)),
          el("td", { "data-label": "Component", class: "wrap" }, bt(i.component)),
          el("td", { "data-label": "Other fields", class: "wrap" }, Object.entries(i.fields)
            .filter(([k]) => k !== "ITEM" && k !== "SERIALNUMBER")
            .map(([k, v], n) => [n ? "; " : "", bt(k), " = ", bt(v)]))))))
        : el("p", {}, "No items match.")];
  }
  const serial = el("input", { id: "i-serial", name: "serial", dir: "auto", required: true, "aria-required": "true" });
  const item = el("input", { id: "i-item", name: "item", dir: "auto", "aria-describedby": "i-item-help" });
  const component = el("input", { id: "i-component", name: "component", dir: "auto", value: "Items" });
  const more = el("textarea", { id: "i-more", name: "more", dir: "auto", "aria-describedby": "i-more-help" });
  const result = el("div", { id: "item-outcome" });
  const create = el("button", { type: "submit", id: "item-create" }, "Register");
  const change = el("button", { type: "button", class: "secondary", id: "item-change" }, "Change");
  const sendCreate = submission(create);
  const sendChange = submission(change);
  const send = async (creating) => {
    const rows = [["SERIALNUMBER", serial.value.trim()]];
    if (item.value.trim()) rows.push(["ITEM", item.value.trim()]);
    for (const line of more.value.split(/\r?\n/)) {
      if (!line.trim()) continue;
      const at = line.search(/[\t,=]/);
      rows.push(at < 0 ? [line.trim(), ""] : [line.slice(0, at).trim(), line.slice(at + 1).trim()]);
    }
    const body = { component: component.value, values: rows };
    const answer = creating ? await sendCreate("POST", "/items", body)
      : await sendChange("PUT", "/items/" + encodeURIComponent(serial.value.trim()), body);
    if (!answer) return;
    result.replaceChildren(outcome(answer, (creating ? "Item registered: " : "Item changed: ") + serial.value.trim()));
  };
  change.addEventListener("click", () => { if (serial.reportValidity()) send(false); });
  const form = el("form", { class: "grid", id: "item-form", onsubmit: (e) => { e.preventDefault(); send(true); } },
    el("label", { for: "i-serial" }, el("span", {}, "Serial number", el("span", { class: "req", "aria-hidden": "true" }, " *"), el("code", { class: "raw" }, "SERIALNUMBER")), serial),
    el("label", { for: "i-item" }, el("span", {}, "Item", el("code", { class: "raw" }, "ITEM")), item, el("small", { id: "i-item-help" }, "Needed to register.")),
    el("label", { for: "i-component" }, "Back-end component", component),
    el("label", { for: "i-more", class: "wide" }, "More fields", more, el("small", { id: "i-more-help" }, "One a line: NAME, value.")),
    el("div", { class: "actions" }, create, change));
  if (readOnly()) create.disabled = change.disabled = true;
  show("Serialized items", finder, list, el("h3", {}, "Register or change an item"),
    readOnly() ? el("p", { class: "outcome warn" }, "Your token may only read: no item can be registered or changed.") : null, form, result);
}

// The log: filtered and paged by the service, newest first, in local time.
async function logView(params) {
  const show = showing();
  const number = el("input", { id: "l-number", name: "number", inputmode: "numeric", value: params.number || "" });
  const source = el("input", { id: "l-source", name: "source", dir: "auto", value: params.source || "" });
  const text = el("input", { id: "l-text", name: "text", dir: "auto", type: "search", value: params.text || "" });
  const since = el("input", { id: "l-since", name: "since", type: "datetime-local", value: params.since || "" });
  const until = el("input", { id: "l-until", name: "until", type: "datetime-local", value: params.until || "" });
  const filters = el("form", { class: "grid filters", role: "search", onsubmit: (e) => {
    e.preventDefault();
    location.hash = link("/log", { number: number.value.trim(), source: source.value, text: text.value, since: since.value, until: until.value });
  } },
    el("label", { for: "l-number" }, "Error number", number),
    el("label", { for: "l-source" }, "Source contains", source),
    el("label", { for: "l-text" }, "Text contains", text),
    el("label", { for: "l-since" }, "From (" + ZONE + ")", since),
    el("label", { for: "l-until" }, "To (" + ZONE + ")", until),
    el("button", { type: "submit" }, "Show"));
  const offset = Number(params.page || 0) * PAGE;
  const query = new URLSearchParams({ tail: String(PAGE + 1), offset: String(offset) });
  if (params.number) query.set("number", params.number);
  if (params.source) query.set("source", params.source);
  if (params.text) query.set("text", params.text);
  const utc = (local) => { const d = new Date(local); return Number.isNaN(d.getTime()) ? "" : d.toISOString(); };
  if (params.since && utc(params.since)) query.set("since", utc(params.since));
  if (params.until && utc(params.until)) query.set("until", utc(params.until));
  const answer = await api("GET", "/log?" + query.toString());
  if (answer.status !== 200 || !Array.isArray(answer.data)) return show("Log", filters, outcome(answer, ""));
  const entries = answer.data;
  const page = Number(params.page || 0);
  const nav = [];
  if (page > 0) nav.push(el("a", { href: link("/log", Object.assign({}, params, { page: page - 1 || "" })), id: "prev" }, "Newer"));
  if (entries.length > PAGE) nav.push(el("a", { href: link("/log", Object.assign({}, params, { page: page + 1 })), id: "next" }, "Older"));
  const heads = ["Time (" + ZONE + ")", "Number", "Source", "Text"];
  show("Log", filters,
    el("nav", { class: "pager", "aria-label": "Pages" }, el("span", { id: "count", role: "status" },
      entries.length ? (offset + 1) + "–" + (offset + Math.min(entries.length, PAGE)) + ", newest first" : "none"), nav),
    entries.length ? el("table", { class: "cards" },
      el("thead", {}, el("tr", {}, heads.map((h) => el("th", { scope: "col" }, h)))),
      el("tbody", { id: "log" }, entries.slice(0, PAGE).map((e) => el("tr", {},
        el("td", { "data-label": "Time" }, localTime(new Date(e.time))),
        el("td", { "data-label": "Number" }, String(e.number ?? "")),
        el("td", { "data-label": "Source", class: "wrap" }, bt(e.source)),
        el("td", { "data-label": "Text", class: "wrap" }, bt(e.text))))))
      : el("p", {}, "No entries match."));
}

// Signing in: the token stays with this browser tab (sessionStorage). A
// write refused for its token keeps the agent's form: it comes back after
// signing in, to be sent again.
let returnTo = "";
let kept = null;
function signInView(expired, keepForm) {
  if (document.getElementById("signin")) return;  // already asking
  if (!location.hash.startsWith("#/signin")) returnTo = location.hash;
  kept = keepForm ? { hash: location.hash, nodes: Array.from(view.childNodes) } : null;
  const input = el("input", { id: "token", name: "token", type: "password", autocomplete: "current-password", required: true, "aria-required": "true" });
  const submit = el("button", { type: "submit" }, "Sign in");
  const result = el("div", { id: "signin-outcome" });
  const form = el("form", { class: "grid", id: "signin" }, el("label", { for: "token" }, "Access token", input), el("div", { class: "actions" }, submit));
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const given = input.value.trim();
    if (!/^[\x21-\x7e]+$/.test(given))
      return result.replaceChildren(el("div", { class: "outcome bad", role: "alert" }, "A token is letters, digits and signs, without spaces."));
    submit.disabled = true;
    try { sessionStorage.setItem(TOKEN_KEY, given); } catch (err) { /* kept for this page only */ }
    const check = await api("GET", "/calls?limit=1");
    submit.disabled = false;
    if (check.status !== 200) {
      try { sessionStorage.removeItem(TOKEN_KEY); } catch (err) { /* nothing kept */ }
      return result.replaceChildren(check.status === 401
        ? el("div", { class: "outcome bad", role: "alert" }, "This token was not accepted.") : outcome(check, ""));
    }
    session.checked = false;
    const back = returnTo && !returnTo.startsWith("#/signin") ? returnTo : "#/calls";
    history.replaceState(null, "", back);
    if (kept && kept.hash === back) {
      session.checked = true;
      session.who = await ADAPTER.whoAmI();
      header();
      view.replaceChildren(...kept.nodes, el("div", { class: "outcome warn", role: "status" }, "Signed in again: your entries are kept; send them again."));
      kept = null;
      return;
    }
    route();
  });
  history.replaceState(null, "", "#/signin");
  try { sessionStorage.removeItem(TOKEN_KEY); } catch (err) { /* nothing kept */ }
  session.who = null;
  header();
  const heading = el("h2", { tabindex: "-1", id: "view-title" }, "Sign in");
  view.replaceChildren(heading, expired ? el("div", { class: "outcome bad", role: "alert" }, "The service needs a valid access token.") : "",
    form, result);
  input.focus();
}

function readOnly() {
  return !!(session.who && session.who.scope === "read");
}

function header() {
  const who = document.getElementById("who");
  const out = document.getElementById("sign-out");
  out.hidden = !token();
  who.replaceChildren(...(session.who && session.who.name
    ? ["Signed in as ", bt(session.who.name), session.who.scope ? " (" + session.who.scope + ")" : ""]
    : [token() ? "Signed in" : ""]));
}

async function route() {
  ++routeGen;
  if (!session.checked && token()) {
    session.checked = true;
    session.who = await ADAPTER.whoAmI();
  }
  header();
  const hash = location.hash || "#/calls";
  const [path, query] = hash.slice(1).split("?");
  const params = Object.fromEntries(new URLSearchParams(query || ""));
  for (const a of document.querySelectorAll("nav.sections a"))
    a.toggleAttribute("aria-current", ("#" + path).startsWith(a.getAttribute("href")) && path !== "/");
  if (path === "/signin") return signInView(false);
  if (path.startsWith("/call/")) {
    let number = "";
    try { number = decodeURIComponent(path.slice(6)); } catch (e) { number = path.slice(6); }
    return callView(number);
  }
  if (path === "/new") return newCallView();
  if (path === "/items") return itemsView(params);
  if (path === "/log") return logView(params);
  return callsView(params);
}


document.getElementById("sign-out").addEventListener("click", () => {
  try { sessionStorage.removeItem(TOKEN_KEY); } catch (e) { /* nothing kept */ }
  session.who = null;
  session.checked = false;
  returnTo = "";
  signInView(false);
});
document.getElementById("raw-names").addEventListener("change", (e) => {
  document.body.classList.toggle("show-raw", e.target.checked);
});
window.addEventListener("hashchange", route);
route();
