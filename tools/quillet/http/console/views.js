// The views: the queue, one call, a new call, items and the log.
import { COMMON, CREATE_FIELDS, STATUS, labelOf, logWords } from "./labels.js";
import { updateOptions } from "./options.js";
import { ADAPTER, PAGE, api, outcome, readOnly, session, submission } from "./api.js";
import { addBulkChanges } from "./bulk.js";
import { differences, historyList, who } from "./history.js";
import { watch } from "./live.js";
import { ZONE, bt, el, field, firstLine, link, localTime, pager, partnerName, partnerNames, picker, problem, show, showing, stampTime, statusText, values } from "./dom.js";

// The named views of open work, each a link that can be kept.
const CALL_VIEWS = [["open", "Open"], ["waiting", "Waiting"], ["mine", "Mine"], ["changed-today", "Changed today"]];

// The queue: views, filters and page in the address, sorted by number or
// by the last change; a search, newest first, with where it matched.
async function callsView(params, drawn) {
  const show = drawn || showing();
  const status = el("select", { id: "f-status", name: "status" },
    el("option", { value: "" }, "Any status"),
    Object.keys(STATUS).map((code) => el("option", { value: code }, statusText(code))),
    params.status && params.status.includes(",") ? el("option", { value: params.status }, params.status.split(",").map(statusText).join(", ")) : null);
  status.value = params.status || "";
  const partner = el("input", { id: "f-sold_to", name: "sold_to", dir: "auto", value: params.sold_to || "" });
  const text = el("input", { id: "f-q", name: "q", dir: "auto", type: "search", value: params.q || "" });
  const mine = session.who && session.who.engineer;
  const views = el("nav", { class: "views", "aria-label": "Views" },
    CALL_VIEWS.filter(([v]) => v !== "mine" || mine || params.view === "mine").map(([v, label]) =>
      el("a", { href: link("/calls", { view: v }), "aria-current": params.view === v ? "page" : null }, label)));
  const since = el("input", { id: "f-since", name: "since", type: "date", value: params.since || "" });
  const sort = el("select", { id: "f-sort", name: "sort" },
    el("option", { value: "" }, "Call number"), el("option", { value: "changed" }, "Last change, newest first"));
  sort.value = params.sort || "";
  const filters = el("form", { class: "grid filters", role: "search", onsubmit: (e) => {
    e.preventDefault();
    location.hash = link("/calls", { view: params.view, status: status.value, sold_to: partner.value.trim(), q: text.value.trim(), since: since.value, sort: sort.value });
  } },
    el("label", { for: "f-q" }, labelOf("q"), text),
    el("label", { for: "f-status" }, labelOf("status"), status),
    el("label", { for: "f-sold_to" }, "Customer (name or number)", partner),
    el("label", { for: "f-since" }, labelOf("changed_since"), since),
    el("label", { for: "f-sort" }, "Order", sort),
    el("button", { type: "submit" }, "Show"));
  picker(partner, "partner");
  const query = new URLSearchParams();
  if (params.status) query.set("status", params.status);
  if (params.sold_to) query.set("sold_to", params.sold_to);
  if (params.text) query.set("text", params.text);
  if (params.q) query.set("q", params.q);
  if (params.view) query.set("view", params.view);
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
  if (answer.status !== 200 || !Array.isArray(answer.data)) return show("Calls", views, filters, outcome(answer, ""));
  const calls = answer.data;
  const total = counted.status === 200 && counted.data && typeof counted.data.count === "number"
    ? counted.data.count + (counted.data.more ? "+" : "") : undefined;
  await partnerName(calls.slice(0, PAGE).map((c) => c.SoldToBusinessPartner));
  const page = calls.slice(0, PAGE);
  const heads = ["Call", "Description", "Customer", "Status", "Engineer", "Last change"];
  const rows = page.map((c) => el("tr", {},
    el("td", { "data-label": heads[0] }, el("a", { href: "#/call/" + encodeURIComponent(c.CallNumber) }, bt(c.CallNumber))),
    el("td", { "data-label": heads[1], class: "clip" }, bt(firstLine(c.CallDescription || (c.Text || []).join(""))),
      typeof c.match === "string" ? el("div", { class: "muted match" }, bt(c.match)) : null),
    el("td", { "data-label": heads[2], class: "clip" }, bt(c.SoldToBusinessPartner),
      partnerNames.get(c.SoldToBusinessPartner) ? [" ", el("span", { class: "muted" }, bt(partnerNames.get(c.SoldToBusinessPartner)))] : null),
    el("td", { "data-label": heads[3] }, statusText(c.Status), Number(c.WaitingFlag) === 1 ? el("span", { class: "badge" }, "waiting") : null),
    el("td", { "data-label": heads[4], class: "clip" }, bt(c.Engineer)),
    el("td", { "data-label": heads[5] }, stampTime(c.LastTransactionTime))));
  show("Calls", views, filters,
    pager("/calls", params, calls, (c) => c.CallNumber, total),
    rows.length ? el("table", { class: "cards" },
      el("caption", { class: "sr" }, "Calls, " + (params.q ? "the newest first" : params.sort === "changed" ? "the most recently changed first" : "by call number")),
      el("thead", {}, el("tr", {}, heads.map((h) => el("th", { scope: "col" }, h)))),
      el("tbody", { id: "calls" }, rows)) : el("p", {}, "No calls match."));
  if (rows.length) addBulkChanges(page);
  watch(followQueue(params, show));
}

// The queue drawn again when a call is created or changed anywhere, keeping
// the agent's place; not while a filter is being typed in.
function followQueue(params, show) {
  let timer = 0;
  const again = async () => {
    const active = document.activeElement;
    if (active && active.form && document.getElementById("view").contains(active)) {
      active.addEventListener("blur", again, { once: true });
      return;
    }
    const keep = active && active.id;
    await callsView(params, show);
    const back = keep && document.getElementById(keep);
    if (back) back.focus({ preventScroll: true });
  };
  return (event) => {
    if (!event.call || event.done === false) return;  // a refusal changed nothing
    clearTimeout(timer);
    timer = setTimeout(again, 150);
  };
}

// One call: what to do with it first, then what it holds, its texts and
// its history.
async function callView(number, notice) {
  const show = showing();
  const [answer, options] = await Promise.all([api("GET", "/calls/" + encodeURIComponent(number)), updateOptions()]);
  if (answer.status !== 200 || !answer.data) return problem(show, "Call " + number, answer);
  const c = answer.data;
  const etag = answer.etag || "";
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
    const present = names.filter((n) => n in c || n === "Status");
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
  const buttons = options.map((o) => {
    const why = closed ? "why-all" : o.refused && o.refused(c) ? "why-" + o.option : null;
    if (why && !closed) reasons.push(el("li", { id: why }, o.name + ": " + o.refused(c) + "."));
    return el("button", { type: "button", class: "secondary", id: "option-" + o.option, disabled: !!why,
      "aria-describedby": why, onclick: () => optionForm(c, o, panel, etag) }, o.name);
  });
  if (closed) reasons.push(el("li", { id: "why-all" }, closed));
  const historySection = el("section", { class: "group", id: "history" }, el("h3", {}, "History"), el("p", {}, "Loading…"));
  show(["Call ", bt(number), c.CallDescription ? [" — ", bt(firstLine(c.CallDescription))] : null],
    notice || null,
    el("div", { class: "options", role: "group", "aria-label": "Change the call" }, buttons),
    reasons.length ? el("ul", { class: "reasons", "aria-label": "Not available now" }, reasons) : null,
    panel, texts, sections, historySection);
  fillHistory(number, historySection, options);
  watch(followCall(c, etag, panel));
}

// A change of the open call made elsewhere: said, by whom and what, and
// the call drawn again with its options; while the agent fills in an
// option, said only (sending it then answers what changed).
function followCall(call, etag, panel) {
  const mine = Number((/^"(\d+)"$/.exec(etag) || [])[1] || 0);
  return async (event) => {
    if (event.call !== call.CallNumber || event.position <= mine || event.done === false) return;
    const told = el("div", { class: "outcome warn", role: "alert", id: "changed-elsewhere", tabindex: "-1" },
      el("p", {}, "This call was just changed ", who(event), "."));
    if (panel.querySelector("form")) {
      panel.prepend(told);
      return;
    }
    const now = await api("GET", "/calls/" + encodeURIComponent(call.CallNumber));
    if (now.status === 200 && now.data) told.append(differences(call, now.data));
    callView(call.CallNumber, told);
  };
}

async function fillHistory(number, section, options) {
  const entries = await ADAPTER.history(number);
  if (!Array.isArray(entries))
    return section.replaceChildren(el("h3", {}, "History"), entries.status === 403
      ? el("p", {}, "Your token may not read the history of calls.") : outcome(entries, ""));
  section.replaceChildren(el("h3", {}, "History"),
    historyList(entries, new Map(options.map((o) => [Number(o.option), o.name]))));
}

function optionForm(call, option, panel, etag) {
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
    const answer = await send("POST", "/calls/" + encodeURIComponent(call.CallNumber) + "/changes", body, etag);
    if (!answer) return;
    if (answer.status === 412 && answer.data) {
      // Changed since it was opened: nothing stored; what differs is said
      // and the call drawn again as it is, with the options it has now.
      return callView(call.CallNumber, el("div", { class: "outcome bad", role: "alert", id: "changed-meanwhile", tabindex: "-1" },
        el("p", {}, "Not done: the call was changed since you opened it, and nothing was stored. What changed:"),
        differences(call, answer.data), el("p", {}, "Check the call as it is now, then choose again.")));
    }
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
      el("tbody", { id: "log" }, entries.slice(0, PAGE).map((e) => logWords(e)).map((w, i) => el("tr", {},
        el("td", { "data-label": "Time" }, localTime(new Date(entries[i].time))),
        el("td", { "data-label": "Number" }, w.number),
        el("td", { "data-label": "Source", class: "wrap" }, bt(w.source)),
        el("td", { "data-label": "Text", class: "wrap" }, bt(w.text))))))
      : el("p", {}, "No entries match."));
}

export { callsView, callView, newCallView, itemsView, logView };
