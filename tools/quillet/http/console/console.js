// The Quillet console: a page over the service's own JSON API. Every text
// from the back end goes into the page as text (textContent), never as HTML.
"use strict";

// What each status code means in the embedded back end (the README's table).
const STATUS = {
  0: "New",
  10: "Registered",
  15: "In progress",
  25: "Solved",
  30: "Completed",
};

// The UpdateCall options and the detail keys each one reads.
const OPTIONS = [
  { option: 1, name: "Record problem", fields: ["PROBLEM"] },
  { option: 2, name: "Solve with time", fields: ["PROBLEM", "SOLUTION", "ACTIVITY", "Q_ID", "TIMESPENT:number", "SOLUTIONTEXT:text"] },
  { option: 3, name: "End waiting", fields: [] },
  { option: 4, name: "Mark solved", fields: ["PROBLEM", "SOLUTION", "ACTIVITY", "SOLUTIONTEXT:text", "Q_ID", "TIMESPENT:number"] },
  { option: 5, name: "Wait", fields: ["WAITINGDESC"] },
  { option: 6, name: "Complete", fields: ["PROBLEM", "SOLUTION", "ACTIVITY", "SOLUTIONTEXT:text", "Q_ID"] },
  { option: 7, name: "Add call text", fields: ["Q_TEXT:text"] },
  { option: 8, name: "Register", fields: ["Q_ID"] },
  { option: 9, name: "Set option flag", fields: [] },
];
const COMMON = ["ENGINEER", "ACTIONDONEBY"];

const CREATE_FIELDS = ["COMPONENT", "SOLDTOBP", "BPNUMBER", "SITE", "OBJECT", "OBJECTNR",
  "CALLDESC", "PROBLEM", "PRIORITY:number", "CALLGROUP1", "CALLGROUP2", "CALLERNAME",
  "CONTACT", "ENGINEER", "CALLCREATER", "Q_ID", "TIMESPENT:number", "LINK", "Q_TEXT:text"];

const view = document.getElementById("view");

// Elements from a tag, attributes and children (strings become text).
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes || {})) {
    if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v);
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function show(...nodes) {
  view.replaceChildren(...nodes.flat(2).filter((n) => n !== null && n !== undefined));
  view.focus();
}

async function api(method, path, body) {
  const headers = { "Content-Type": "application/json" };
  if (method !== "GET") headers["Idempotency-Key"] = crypto.randomUUID();
  const response = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
  let data = null;
  try { data = await response.json(); } catch (e) { data = null; }
  return { status: response.status, data };
}

function statusText(code) {
  const n = Number(code || 0);
  return n + " " + (STATUS[n] || "Unknown");
}

// The last transaction time: seconds since 2000-01-01 UTC.
function timeText(stamp) {
  if (!stamp) return "";
  return new Date((Number(stamp) + 946684800) * 1000).toISOString().replace("T", " ").slice(0, 19);
}

// An operation's answer as the service gave it: the result dictionary, or
// the error with its number and description, or the back end's message.
function outcome(answer) {
  const d = answer.data || {};
  const failed = answer.status >= 400;
  const lines = ["HTTP " + answer.status];
  if (d.error) lines.push("Error " + d.error.number + ": " + d.error.description);
  if (d.message) lines.push(d.message);
  if (d.result !== undefined && d.result !== null) lines.push("Result: " + JSON.stringify(d.result));
  for (const key of ["errorDescription", "errorText"])
    if (d[key]) lines.push(key + ": " + d[key]);
  return el("div", { class: failed ? "outcome error" : "outcome", role: "status" }, lines.join("\n"));
}

function field(spec, id) {
  const [name, kind] = spec.split(":");
  const label = el("label", { for: id }, name);
  const input = kind === "text"
    ? el("textarea", { id, name })
    : el("input", { id, name, type: kind === "number" ? "number" : "text" });
  label.append(input);
  return label;
}

function values(form, specs) {
  const out = {};
  for (const spec of specs) {
    const [name, kind] = spec.split(":");
    const value = form.elements[name].value;
    if (value === "") continue;
    out[name] = kind === "number" ? Number(value) : value;
  }
  return out;
}

// Calls: filters and pages through the listing.
async function callsView(params) {
  const status = el("select", { id: "f-status", name: "status" },
    el("option", { value: "" }, "any"),
    Object.keys(STATUS).map((code) => el("option", { value: code }, statusText(code))));
  status.value = params.get("status") || "";
  const partner = el("input", { id: "f-partner", name: "sold_to", value: params.get("sold_to") || "" });
  const text = el("input", { id: "f-text", name: "text", value: params.get("text") || "" });
  const filters = el("form", { class: "grid", onsubmit: (e) => {
    e.preventDefault();
    const next = new URLSearchParams();
    if (status.value) next.set("status", status.value);
    if (partner.value) next.set("sold_to", partner.value);
    if (text.value) next.set("text", text.value);
    location.hash = "#/calls?" + next.toString();
  } },
    el("label", { for: "f-status" }, "Status", status),
    el("label", { for: "f-partner" }, "Sold-to partner", partner),
    el("label", { for: "f-text" }, "Text in the description", text),
    el("button", { type: "submit" }, "Filter"));
  const query = new URLSearchParams(params);
  query.set("limit", "25");
  const answer = await api("GET", "/calls?" + query.toString());
  if (answer.status !== 200) return show(el("h2", {}, "Calls"), filters, outcome(answer));
  const rows = answer.data.map((c) => el("tr", {},
    el("td", {}, el("a", { href: "#/call/" + encodeURIComponent(c.CallNumber) }, c.CallNumber)),
    el("td", {}, statusText(c.Status)),
    el("td", {}, c.SoldToBusinessPartner || ""),
    el("td", {}, c.ServiceObject || ""),
    el("td", {}, c.Engineer || ""),
    el("td", {}, c.Priority ?? ""),
    el("td", {}, timeText(c.LastTransactionTime)),
    el("td", {}, c.ServiceOrder ? el("span", { class: "badge" }, c.ServiceOrder) : "")));
  const more = [];
  if (answer.data.length === 25) {
    const next = new URLSearchParams(params);
    next.set("after", answer.data[answer.data.length - 1].CallNumber);
    more.push(el("a", { href: "#/calls?" + next.toString() }, "Next page"));
  }
  show(el("h2", {}, "Calls"), filters,
    el("div", { class: "scroll" }, el("table", {},
      el("thead", {}, el("tr", {}, ["Call", "Status", "Sold-to", "Object", "Engineer", "Priority", "Last change", "Service order"].map((h) => el("th", { scope: "col" }, h)))),
      el("tbody", { id: "calls" }, rows))),
    rows.length ? null : el("p", {}, "No calls."), more);
}

// One call: its properties in groups, its texts, and the option buttons.
async function callView(number) {
  const answer = await api("GET", "/calls/" + encodeURIComponent(number));
  if (answer.status !== 200) return show(el("h2", {}, number), outcome(answer));
  const c = answer.data;
  const groups = {
    "The call": ["CallNumber", "Status", "CallDescription", "Problem", "Priority", "CallGroup1", "CallGroup2", "LastTransactionTime", "ChangedFlag"],
    "Customer": ["SoldToBusinessPartner", "BusinessPartnerNumber", "Site", "CallerName", "Contact"],
    "Object": ["ServiceObject", "ObjectNumber", "Contract", "WarrantyFlag", "Warranty", "WarrantyDescription", "WarrantyExpiryDate"],
    "Work": ["Engineer", "CreatedBy", "ActionDoneBy", "ActionProblem", "ActionSolution", "ActionActivity", "TimeSpent", "WaitingFlag", "WaitingDescription", "OptionFlag"],
    "Service order": ["ServiceOrder", "HasServiceOrder"],
  };
  const shown = new Set();
  const sections = Object.entries(groups).map(([title, names]) => el("section", { class: "group" },
    el("h3", {}, title),
    el("dl", {}, names.filter((n) => n in c).map((n) => {
      shown.add(n);
      const value = n === "Status" ? statusText(c[n]) : n === "LastTransactionTime" ? timeText(c[n]) : c[n];
      return [el("dt", {}, n), el("dd", { "data-property": n }, String(value))];
    }))));
  const rest = Object.keys(c).filter((n) => !shown.has(n) && n !== "Text" && n !== "SolutionText");
  if (rest.length) sections.push(el("section", { class: "group" }, el("h3", {}, "Other"),
    el("dl", {}, rest.map((n) => [el("dt", {}, n), el("dd", {}, String(c[n]))]))));
  const texts = el("section", { class: "group" }, el("h3", {}, "Texts"), el("dl", {},
    el("dt", {}, "Call text"), el("dd", { id: "call-text" }, (c.Text || []).join("")),
    el("dt", {}, "Solution text"), el("dd", { id: "solution-text" }, (c.SolutionText || []).join(""))));
  const panel = el("div", { id: "option-panel" });
  const buttons = el("div", { class: "options", role: "group", "aria-label": "Change the call" },
    OPTIONS.map((o) => el("button", { type: "button", class: "secondary", id: "option-" + o.option,
      onclick: () => optionForm(number, o, panel) }, o.option + " " + o.name)));
  show(el("h2", {}, "Call " + number), buttons, panel, sections, texts);
}

function optionForm(number, option, panel) {
  const specs = COMMON.concat(option.fields);
  const form = el("form", { class: "grid", id: "option-form" },
    specs.map((spec) => field(spec, "o-" + spec.split(":")[0])),
    el("button", { type: "submit" }, "Apply option " + option.option));
  const result = el("div");
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const body = values(form, specs);
    body.OPTION = option.option;
    const answer = await api("POST", "/calls/" + encodeURIComponent(number) + "/changes", body);
    result.replaceChildren(outcome(answer), el("button", { type: "button", class: "secondary", id: "reload",
      onclick: () => callView(number) }, "Show the call again"));
  });
  panel.replaceChildren(el("h3", {}, "Option " + option.option + ": " + option.name), form, result);
  form.elements[0].focus();
}

function newCallView() {
  const form = el("form", { class: "grid", id: "new-call" },
    CREATE_FIELDS.map((spec) => field(spec, "n-" + spec.split(":")[0])),
    el("button", { type: "submit" }, "Create the call"));
  const result = el("div", { id: "new-call-outcome" });
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const answer = await api("POST", "/calls", values(form, CREATE_FIELDS));
    const number = answer.data && answer.data.result && answer.data.result.CALLNUMBER;
    result.replaceChildren(outcome(answer),
      number ? el("a", { href: "#/call/" + encodeURIComponent(number), id: "new-call-link" }, "Open " + number) : "");
  });
  show(el("h2", {}, "New call"), form, result);
}

// Items: the list and a form that registers or changes one from a pasted
// two-column table (tab- or comma-separated lines).
async function itemsView() {
  const answer = await api("GET", "/items?limit=100");
  const list = answer.status === 200
    ? el("ul", { id: "items" }, answer.data.map((i) => el("li", {},
      el("strong", {}, i.serial), " (" + i.component + "): ",
      Object.entries(i.fields).map(([k, v]) => k + "=" + v).join(", "))))
    : outcome(answer);
  const component = el("input", { id: "i-component", name: "component", value: "Items" });
  const table = el("textarea", { id: "i-table", name: "table", placeholder: "SERIALNUMBER\tSN-1\nITEM\tPRN-4410" });
  const result = el("div", { id: "item-outcome" });
  const send = async (create) => {
    const rows = table.value.split(/\r?\n/).filter((l) => l.trim() !== "")
      .map((l) => { const cells = l.includes("\t") ? l.split("\t") : l.split(","); return [cells[0].trim(), (cells[1] || "").trim()]; });
    const serial = (rows.find((r) => r[0] === "SERIALNUMBER") || [])[1] || "";
    const body = { component: component.value, values: rows };
    const answer = create ? await api("POST", "/items", body)
      : await api("PUT", "/items/" + encodeURIComponent(serial), body);
    result.replaceChildren(outcome(answer));
  };
  const form = el("form", { class: "grid", onsubmit: (e) => { e.preventDefault(); send(true); } },
    el("label", { for: "i-component" }, "Business component", component),
    el("label", { for: "i-table" }, "Two-column table", table),
    el("button", { type: "submit", id: "item-create" }, "Register"),
    el("button", { type: "button", class: "secondary", id: "item-change", onclick: () => send(false) }, "Change"));
  show(el("h2", {}, "Serialized items"), form, result, list);
}

async function logView() {
  const answer = await api("GET", "/log?tail=50");
  if (answer.status !== 200) return show(el("h2", {}, "Log"), outcome(answer));
  show(el("h2", {}, "Log"), el("div", { class: "scroll" }, el("table", {},
    el("thead", {}, el("tr", {}, ["Time", "Number", "Source", "Text"].map((h) => el("th", { scope: "col" }, h)))),
    el("tbody", { id: "log" }, answer.data.map((entry) => el("tr", {},
      el("td", {}, entry.time || ""), el("td", {}, entry.number ?? ""),
      el("td", {}, entry.source || ""), el("td", {}, entry.text || "")))))));
}

function route() {
  const hash = location.hash || "#/calls";
  const [path, query] = hash.slice(1).split("?");
  const params = new URLSearchParams(query || "");
  if (path.startsWith("/call/")) return callView(decodeURIComponent(path.slice(6)));
  if (path === "/new") return newCallView();
  if (path === "/items") return itemsView();
  if (path === "/log") return logView();
  return callsView(params);
}

window.addEventListener("hashchange", route);
route();
