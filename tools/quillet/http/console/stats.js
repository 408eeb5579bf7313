// The dashboard: how the calls stand (GET /call-stats), by status, by age
// since the last change and by customer, each as a bar chart drawn here in
// SVG with the numbers beside it. Every bar is a link to the queue it
// counts; the labels and counts are text, so the chart reads without colour.
import { STATUS } from "./labels.js";
import { api, outcome } from "./api.js";
import { bt, el, link, showing } from "./dom.js";

const SVG = "http://www.w3.org/2000/svg";

function svg(tag, attributes, ...children) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attributes || {})) node.setAttribute(k, v);
  for (const child of children) node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  return node;
}

// The age groups, by the last change (the calls' creation time is not
// stored yet): their words, and the queue that shows them, by last change.
const AGES = {
  day: { label: "Under a day", days: 1 },
  "3days": { label: "1 to 3 days", days: 3 },
  week: { label: "3 to 7 days", days: 7 },
  older: { label: "7 days or more", days: 0 },
};

function dayBefore(days) {
  const d = new Date(Date.now() - days * 86400000);
  return d.getFullYear() + "-" + String(d.getMonth() + 1).padStart(2, "0") + "-" + String(d.getDate()).padStart(2, "0");
}

// One chart: bars of [{label, count, href}], longest the widest, each a
// link named by its label and count; then the same numbers as a table.
function chart(id, title, bars, total) {
  const rowHeight = 26;
  const most = Math.max(1, ...bars.map((b) => b.count));
  const plot = svg("svg", { viewBox: "0 0 320 " + (bars.length * rowHeight + 4), class: "chart",
    "aria-labelledby": id + "-title", role: "group" },
  svg("title", { id: id + "-title" }, title));
  bars.forEach((b, i) => {
    const y = i * rowHeight + 2;
    const width = Math.max(b.count ? 2 : 0, Math.round((b.count / most) * 150));
    const short = b.label.length > 17 ? b.label.slice(0, 16) + "…" : b.label;
    plot.append(svg("a", { href: b.href },
      svg("title", {}, b.label + ": " + b.count + (b.count === 1 ? " call" : " calls")),
      svg("text", { x: 0, y: y + 17, class: "bar-label" }, short),
      svg("rect", { x: 130, y: y + 4, width, height: rowHeight - 8, class: "bar" }),
      svg("text", { x: 136 + width, y: y + 17, class: "bar-count" }, String(b.count))));
  });
  const table = el("table", { class: "numbers" },
    el("caption", { class: "sr" }, title, ", in numbers"),
    el("thead", {}, el("tr", {}, el("th", { scope: "col" }, "Group"), el("th", { scope: "col" }, "Calls"),
      el("th", { scope: "col" }, "Share"))),
    el("tbody", { id: id + "-numbers" }, bars.map((b) => el("tr", {},
      el("td", {}, el("a", { href: b.href }, bt(b.label))),
      el("td", {}, String(b.count)),
      el("td", {}, total ? Math.round((100 * b.count) / total) + "%" : "–")))));
  return el("section", { class: "group stats", id },
    el("h3", {}, title), el("div", { class: "stats-pair" }, plot, table));
}

async function statsView() {
  const show = showing();
  const answer = await api("GET", "/call-stats");
  const d = answer.data;
  if (answer.status !== 200 || !d || typeof d !== "object") return show("Dashboard", outcome(answer, ""));
  const total = Number(d.calls) || 0;
  const byStatus = (Array.isArray(d.byStatus) ? d.byStatus : []).map((s) => ({
    label: STATUS[s.status] || "Status " + s.status, count: Number(s.count) || 0,
    href: link("/calls", { status: String(s.status) }) }));
  const byAge = (Array.isArray(d.byAge) ? d.byAge : []).map((a) => {
    const age = AGES[a.age] || { label: String(a.age), days: 0 };
    return { label: age.label, count: Number(a.count) || 0,
      href: link("/calls", { sort: "changed", since: age.days ? dayBefore(age.days) : "" }) };
  });
  const byCustomer = (Array.isArray(d.bySoldTo) ? d.bySoldTo : []).map((c) => ({
    label: c.name ? c.name + " (" + c.soldTo + ")" : String(c.soldTo), count: Number(c.count) || 0,
    href: link("/calls", { sold_to: c.soldTo }) }));
  if (Number(d.otherSoldTo) > 0)
    byCustomer.push({ label: "Other customers", count: Number(d.otherSoldTo), href: link("/calls", {}) });
  show("Dashboard",
    el("p", { id: "stats-total", role: "status" }, total + (total === 1 ? " call" : " calls") + " in all. Ages count from each call's last change."),
    chart("by-status", "Calls by status", byStatus, total),
    chart("by-age", "Calls by time since the last change", byAge, total),
    chart("by-customer", "Calls by customer (the ten with the most)", byCustomer, total));
}

export { statsView };
