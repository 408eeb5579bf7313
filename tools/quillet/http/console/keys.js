// Keyboard shortcuts for agents who work fast: "/" the queue's search, "n" a
// new call, "j" and "k" down and up the queue, "?" the list of them. None
// fires while the agent types into a field, or with Ctrl, Alt or Meta held.
import { el } from "./dom.js";

const SHORTCUTS = [
  ["/", "Search the queue"],
  ["n", "New call"],
  ["j", "Next call in the queue"],
  ["k", "Previous call in the queue"],
  ["?", "This list"],
];

function typing(target) {
  return target instanceof HTMLElement && (target.isContentEditable ||
    ["INPUT", "TEXTAREA", "SELECT"].includes(target.tagName));
}

// The search field once the queue shows it (the view may still be loading).
function focusSearch() {
  const open = (f) => {
    const fold = f.closest("details");
    if (fold) fold.open = true;
    f.focus();
  };
  const field = document.getElementById("f-q");
  if (field) return open(field);
  const seen = new MutationObserver(() => {
    const f = document.getElementById("f-q");
    if (!f) return;
    seen.disconnect();
    open(f);
  });
  seen.observe(document.getElementById("view"), { childList: true, subtree: true });
  setTimeout(() => seen.disconnect(), 10000);
  location.hash = "#/calls";
}

// Down or up the queue's calls, from the one that has focus.
function step(by) {
  const links = Array.from(document.querySelectorAll("#calls tr td:first-child a"));
  if (!links.length) return;
  const at = links.indexOf(document.activeElement);
  const next = links[Math.min(links.length - 1, Math.max(0, at < 0 ? (by > 0 ? 0 : links.length - 1) : at + by))];
  for (const row of document.querySelectorAll("#calls tr.current")) row.classList.remove("current");
  next.closest("tr").classList.add("current");
  next.focus();
}

function help() {
  let box = document.getElementById("shortcuts");
  if (box) return box.showModal();
  const close = el("button", { type: "button", class: "secondary" }, "Close");
  box = el("dialog", { id: "shortcuts", "aria-labelledby": "shortcuts-title" },
    el("h2", { id: "shortcuts-title" }, "Keyboard shortcuts"),
    el("dl", {}, SHORTCUTS.map(([key, what]) => [el("dt", {}, el("kbd", {}, key)), el("dd", {}, what)])),
    el("p", { class: "muted" }, "They do nothing while you type in a field."), close);
  close.addEventListener("click", () => box.close());
  document.body.append(box);
  box.showModal();
}

function onKey(e) {
  if (e.defaultPrevented || e.ctrlKey || e.altKey || e.metaKey || typing(e.target)) return;
  if (document.querySelector("dialog[open]") && e.key !== "?") return;
  if (location.hash.startsWith("#/signin")) return;
  const act = { "/": focusSearch, n: () => { location.hash = "#/new"; }, j: () => step(1), k: () => step(-1), "?": help }[e.key];
  if (!act) return;
  e.preventDefault();
  act();
}

function installShortcuts() {
  document.addEventListener("keydown", onKey);
}

export { SHORTCUTS, installShortcuts };
