// Talking to the service: who is calling, one request, a write sent
// under a request key, and what an answer means for people.
import { bt, el } from "./dom.js";
import { ANSWERS, messageText } from "./labels.js";
import { signInView } from "./signin.js";
import { route } from "./console.js";

// ---------------------------------------------------------------------------
// Adapter: what the console asks of the service about who is calling and
// what was done to a call. Every path and answer shape it depends on for
// these is here and nowhere else.
//   GET /whoami                 -> {"name": "...", "scope": "read"|"write"|"admin",
//                                   "engineer": "..." (a token bound to one)}
//   GET /events?call={number}   -> {"events": [{"position", "at", "actor",
//                                    "channel", "operation", "option", "done",
//                                    "outcome", "changes"}, ...], "next": POS}
//                                  (the call's events, oldest first; read scope)
// A service that answers 404 has neither: the scope is unknown (actions are
// offered; a 403 is shown as such) and no history is recorded.
const ADAPTER = {
  async whoAmI() {
    const answer = await api("GET", "/whoami");
    const d = answer.data;
    if (answer.status !== 200 || !d || typeof d !== "object") return null;
    return { name: typeof d.name === "string" ? d.name : "",
      scope: typeof d.scope === "string" ? d.scope : "",
      engineer: typeof d.engineer === "string" ? d.engineer : "" };
  },
  // The call's events, newest first (at most the last 5,000).
  async history(number) {
    let events = [];
    let after = 0;
    for (let page = 0; page < 5; ++page) {
      const answer = await api("GET", "/events?limit=1000&after=" + after + "&call=" + encodeURIComponent(number));
      if (answer.status === 404) return [];
      if (answer.status !== 200 || !answer.data || !Array.isArray(answer.data.events)) return answer;
      events = events.concat(answer.data.events.filter((e) => e && typeof e === "object"));
      if (answer.data.events.length < 1000) break;
      after = answer.data.next;
    }
    return events.reverse();
  },
};

const PAGE = 25;
const TOKEN_KEY = "quillet-token";

const session = { who: null, checked: false };

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
// `ifMatch`: the call's ETag as read; the change is made only while the
// call is still that version (else 412 with the call as it is now).
async function api(method, path, body, key, ifMatch) {
  const headers = { Accept: "application/json" };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (key) headers["Idempotency-Key"] = key;
  if (ifMatch) headers["If-Match"] = ifMatch;
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
  // Told why only when a token was sent: before that, nothing has failed.
  if (response.status === 401) signInView(headers.Authorization ? reasonOf(data) : "", method !== "GET");
  return { status: response.status, data, replayed: response.headers.get("Idempotent-Replayed") === "true",
    etag: response.headers.get("ETag") };
}

// A write: one key per submission, kept while its outcome is unknown so
// that sending it again can never do it twice; the control is disabled
// while it is in flight. An answer that never came is asked again twice
// before the agent is told.
function submission(control) {
  let pending = null;  // { key, body } of a submission whose outcome is unknown
  return async (method, path, body, ifMatch) => {
    if (control.disabled) return null;
    const text = JSON.stringify(body);
    if (!pending || pending.text !== text) pending = { key: newKey(), text };
    control.disabled = true;
    control.setAttribute("aria-busy", "true");
    try {
      let answer;
      for (let attempt = 0; attempt < 3; ++attempt) {
        if (attempt) await new Promise((r) => setTimeout(r, 400 * attempt));
        answer = await api(method, path, body, pending.key, ifMatch);
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
    lines.push([(ANSWERS[answer.status] || "Not done") + ".", el("code", { class: "raw" }, "HTTP " + answer.status)]);
  } else {
    lines.push(done + (answer.replayed ? " (answered again: it was done once)" : ""));
  }
  const parts = lines.map((l) => el("p", {}, l));
  const message = d.message ? messageText(d.message) : "";
  if (d.error) parts.push(el("p", {}, "Error " + d.error.number + ": ", bt(d.error.description)));
  if (message) parts.push(el("p", {}, bt(message)));
  for (const key of ["errorDescription", "errorText"])
    if (d[key]) {
      if (kind === "good") kind = "warn";
      parts.push(el("p", {}, "The back end says: ", bt(d[key])));
    }
  return el("div", { class: "outcome " + kind, role: kind === "good" ? "status" : "alert", tabindex: "-1" }, parts);
}

// Why a token was refused, in words: the service tells a token it once
// took that it was revoked.
function reasonOf(data) {
  return data && data.message === "this token was revoked" ? "This token was revoked. Ask for a new one."
    : "The service needs a valid access token.";
}

// Whether the caller's token may only read.
function readOnly() {
  return !!(session.who && session.who.scope === "read");
}

export { ADAPTER, PAGE, TOKEN_KEY, session, token, api, submission, outcome, readOnly };
