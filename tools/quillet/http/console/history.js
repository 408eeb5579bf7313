// A call's history in words, from the service's event log: who changed
// what, through what, and when ("2 minutes ago", the exact time in its
// tooltip); and what differs between two readings of a call.
import { labelOf } from "./labels.js";
import { bt, el, localTime, statusText, stampTime } from "./dom.js";

// Fields a change stamps on every call: not news to the reader.
const STAMPED = new Set(["LastTransactionTime", "ChangedFlag", "CallNumber"]);

const THROUGH = { service: "through the service", command: "from the command line",
  batch: "in a batch", host: "by a host program" };

// A stored value as the call view shows it.
function shown(name, value) {
  if (value === null || value === undefined || value === "") return "(none)";
  if (name === "Status") return statusText(value);
  if (name === "LastTransactionTime") return stampTime(value);
  if (name === "TimeSpent") return Math.floor(Number(value) / 100) + " h " + (Number(value) % 100) + " min";
  if (/Flag$/.test(name) || name === "HasServiceOrder") return Number(value) ? "Yes" : "No";
  if (typeof value === "boolean") return value ? "Yes" : "No";
  return String(value);
}

// "2 minutes ago", in the agent's language, with the time itself beside
// it for assistive technology and as a tooltip.
const RELATIVE = new Intl.RelativeTimeFormat(undefined, { numeric: "auto" });
function ago(date, now) {
  const s = Math.round((date.getTime() - (now || Date.now())) / 1000);
  const steps = [[60, "second"], [60, "minute"], [24, "hour"], [30, "day"], [12, "month"], [Infinity, "year"]];
  let n = s;
  for (const [size, unit] of steps) {
    if (Math.abs(n) < size) return RELATIVE.format(Math.abs(s) < 10 ? 0 : n, unit);
    n = Math.round(n / size);
  }
  return "";
}
function when(at) {
  const date = new Date(at);
  if (Number.isNaN(date.getTime())) return el("span", {}, "");
  return el("time", { datetime: date.toISOString(), title: localTime(date) }, ago(date));
}

// Who did it: "the token "desk-1"" (the service), "the user "ana"" (the
// command), through what.
function who(event) {
  const name = typeof event.actor === "string" && event.actor ? event.actor : "";
  const by = event.channel === "service"
    ? (name ? ["the token \u201c", bt(name), "\u201d"] : "an unnamed caller")
    : (name ? ["\u201c", bt(name), "\u201d"] : "someone");
  return ["by ", by, " (", THROUGH[event.channel] || "elsewhere", ")"];
}

// One change of a field: "Status 10 Registered → 15 In progress".
function fieldChange(name, before, after, hasBefore) {
  return el("li", {}, labelOf(name), ": ",
    hasBefore ? [bt(shown(name, before)), " \u2192 "] : null, el("strong", {}, bt(shown(name, after))));
}

// What one event changed, as a list; texts by their first line and length.
function changeList(event) {
  const changes = event.changes && typeof event.changes === "object" ? event.changes : {};
  const before = changes.before && typeof changes.before === "object" ? changes.before : null;
  const items = [];
  for (const [name, value] of Object.entries(changes)) {
    if (name === "before" || STAMPED.has(name)) continue;
    if (value && typeof value === "object" && typeof value.text === "string") {
      const first = value.text.split(/\r?\n/)[0];
      items.push(el("li", {}, labelOf(name), value.mode === "append" ? " added: " : " replaced: ",
        el("q", { dir: "auto" }, bt(first.length > 80 ? first.slice(0, 80) + "\u2026" : first)),
        " (" + value.length + " characters)"));
    } else {
      items.push(fieldChange(name, before ? before[name] : undefined, value, !!before && name in before));
    }
  }
  return items.length ? el("ul", { class: "changes" }, items) : null;
}

// The title of an event: what was done, with the option's name.
function headline(event, optionNames) {
  if (event.done === false) return ["Refused: ", bt(String(event.outcome || "").replace(/^refused: /, ""))];
  if (event.operation === "create-call") return "Created";
  const option = event.option !== null && event.option !== undefined
    ? (optionNames.get(Number(event.option)) || "Option " + event.option) : "Changed";
  return event.outcome === "completed" ? [option, " \u2014 completed"] : option;
}

// The events of a call, newest first, as a list for people.
function historyList(events, optionNames) {
  if (!events.length) return el("p", {}, "No history recorded.");
  return el("ol", { class: "history", reversed: true }, events.map((e) => el("li", {},
    el("p", {}, el("strong", {}, headline(e, optionNames)), ", ", who(e), ", ", when(e.at)),
    changeList(e))));
}

// What differs between the call as the agent read it and as it is now.
function differences(was, now) {
  const names = new Set([...Object.keys(was || {}), ...Object.keys(now || {})]);
  const items = [];
  for (const name of names) {
    if (STAMPED.has(name)) continue;
    const a = JSON.stringify(was ? was[name] : undefined);
    const b = JSON.stringify(now ? now[name] : undefined);
    if (a === b) continue;
    if (name === "Text" || name === "SolutionText") items.push(el("li", {}, labelOf(name), ": changed"));
    else items.push(fieldChange(name, was[name], now[name], true));
  }
  return el("ul", { class: "changes", id: "differences" }, items.length ? items : el("li", {}, "Its texts or stamps only"));
}

export { historyList, differences, who, when };
