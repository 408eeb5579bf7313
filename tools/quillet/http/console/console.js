// The Quillet console: a service desk's view over the service's JSON API.
// Every text from the back end goes into the page as text, in an element
// that isolates its direction (<bdi> or dir="auto"), never as HTML.
import { ADAPTER, TOKEN_KEY, session, token } from "./api.js";
import { bt, nextRoute } from "./dom.js";
import { callView, callsView, itemsView, logView, newCallView } from "./views.js";
import { forgetReturn, signInView } from "./signin.js";
import { statsView } from "./stats.js";
import { installShortcuts } from "./keys.js";
import { loadingStart } from "./progress.js";
import { watch } from "./live.js";

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

function header() {
  const who = document.getElementById("who");
  const out = document.getElementById("sign-out");
  out.hidden = !token();
  who.replaceChildren(...(session.who && session.who.name
    ? ["Signed in as ", bt(session.who.name), session.who.scope ? " (" + session.who.scope + ")" : ""]
    : [token() ? "Signed in" : ""]));
}

async function route() {
  nextRoute();
  loadingStart();
  watch(null);  // the view to come says what it follows
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
  if (path === "/stats") return statsView();
  if (path === "/items") return itemsView(params);
  if (path === "/log") return logView(params);
  return callsView(params);
}

document.getElementById("sign-out").addEventListener("click", () => {
  try { sessionStorage.removeItem(TOKEN_KEY); } catch (e) { /* nothing kept */ }
  session.who = null;
  session.checked = false;
  forgetReturn();
  signInView(false);
});
document.getElementById("raw-names").addEventListener("change", (e) => {
  document.body.classList.toggle("show-raw", e.target.checked);
});
window.addEventListener("hashchange", route);
installShortcuts();
route();

export { header, route };
