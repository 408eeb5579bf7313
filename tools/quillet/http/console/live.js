// Following the service's change feed (GET /events): one follower per
// page, which hands each event to the view on show. The stream is read with
// fetch() and a parser of its body (EventSource cannot send the bearer
// token), resumed with Last-Event-ID after a drop; a service or a proxy
// that does not stream is polled a page at a time instead.
import { api, token } from "./api.js";

let listener = null;  // the view's: (event) => void
let started = false;
let position = 0;     // the last event seen

// The view on show hears the events from now on; null: none.
function watch(fn) {
  listener = fn;
  if (fn && !started) {
    started = true;
    follow();
  }
}

function tell(event) {
  if (!event || typeof event.position !== "number" || event.position <= position) return;
  position = event.position;
  if (listener) {
    try { listener(event); } catch (e) { setTimeout(() => { throw e; }); }
  }
}

// Where to start: the last event of the call changed last (its ETag is
// that event's position), so that a long log is not read again; 0 when
// no call has an event kept.
async function startPosition() {
  const list = await api("GET", "/calls?order=changed&limit=1");
  if (list.status !== 200 || !Array.isArray(list.data) || !list.data.length) return 0;
  const one = await api("GET", "/calls/" + encodeURIComponent(list.data[0].CallNumber));
  const m = /^"(\d+)"$/.exec(one.etag || "");
  return m ? Number(m[1]) : 0;
}

const pause = (ms) => new Promise((r) => setTimeout(r, ms));

// Server-Sent Events from a body: blocks of "field: value" lines, ended
// by a blank line; comments (":") skipped.
async function readStream(response) {
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let buffer = "";
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    buffer += decoder.decode(value, { stream: true });
    let end;
    while ((end = buffer.search(/\r?\n\r?\n/)) >= 0) {
      const block = buffer.slice(0, end);
      buffer = buffer.slice(end).replace(/^\r?\n\r?\n/, "");
      let data = "";
      for (const line of block.split(/\r?\n/)) {
        if (line.startsWith("data:")) data += line.slice(5).replace(/^ /, "");
      }
      if (data) {
        try { tell(JSON.parse(data)); } catch (e) { /* not an event: skipped */ }
      }
    }
  }
}

async function follow() {
  position = await startPosition();
  let streaming = typeof ReadableStream !== "undefined";
  for (let failures = 0; ; ) {
    const headers = { Accept: streaming ? "text/event-stream" : "application/json" };
    if (token()) headers.Authorization = "Bearer " + token();
    if (streaming && position) headers["Last-Event-ID"] = String(position);
    let status = 0;
    try {
      if (streaming) {
        const response = await fetch("/events?after=" + position, { headers, cache: "no-store" });
        status = response.status;
        const type = response.headers.get("Content-Type") || "";
        if (status === 200 && type.startsWith("text/event-stream")) {
          failures = 0;
          await readStream(response);
        } else if (status === 200) {
          streaming = false;  // a proxy that answers pages only
        }
      } else {
        const answer = await api("GET", "/events?after=" + position + "&limit=1000");
        status = answer.status;
        if (status === 200 && answer.data && Array.isArray(answer.data.events)) {
          failures = 0;
          answer.data.events.forEach(tell);
          if (answer.data.events.length < 1000) await pause(1000);
          continue;
        }
      }
    } catch (e) {
      status = 0;  // dropped: resumed after the last event seen
    }
    if (status === 410) position = await startPosition();
    failures = Math.min(failures + 1, 6);
    await pause(status === 429 ? 5000 : 250 * 2 ** failures);
  }
}

export { watch };
