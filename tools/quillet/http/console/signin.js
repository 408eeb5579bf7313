// Signing in and out.
import { ADAPTER, TOKEN_KEY, api, outcome, session } from "./api.js";
import { el, view } from "./dom.js";
import { header, route } from "./console.js";
import { loadingDone } from "./progress.js";

// Signing in: the token stays with this browser tab (sessionStorage). A
// write refused for its token keeps the agent's form: it comes back after
// signing in, to be sent again.
let returnTo = "";
let kept = null;
function forgetReturn() {
  returnTo = "";
}
// `why`: what to tell the agent of the token just refused ("" when none was
// tried: the page opens quietly).
function signInView(why, keepForm) {
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
        ? el("div", { class: "outcome bad", role: "alert" }, check.data && check.data.message === "this token was revoked"
          ? "This token was revoked. Ask for a new one." : "This token was not accepted.") : outcome(check, ""));
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
  loadingDone();
  view.replaceChildren(heading, why ? el("div", { class: "outcome bad", role: "alert" }, why) : "",
    form, result);
  input.focus();
}

export { kept, forgetReturn, signInView };
