// Changing the status of several calls of the queue at once: each selected
// call gets its own change, under its own Idempotency-Key (kept while its
// outcome is unknown, so sending again never changes a call twice), and
// its own result beside its status.
import { STATUS } from "./labels.js";
import { updateOptions } from "./options.js";
import { readOnly, submission } from "./api.js";
import { bt, el } from "./dom.js";

// The options a bulk change offers: those that set a status and need no
// field of their own, and the status each sets.
const BULK = { 8: 10, 1: 15, 4: 25 };

// Why an answer is not a change, in words.
function failure(answer) {
  const d = answer.data && typeof answer.data === "object" ? answer.data : {};
  if (answer.status === 0) return "no answer: whether it changed is unknown; apply again to find out";
  if (answer.status === 404) return "there is no such call";
  if (answer.status === 403) return "your token does not allow this";
  if (answer.status >= 500) return "the service could not reach its back end; apply again";
  return d.errorDescription || d.errorText || (d.error && d.error.description) || d.message || "not changed";
}

async function addBulkChanges(calls) {
  const body = document.getElementById("calls");
  if (!body || readOnly()) return;
  const options = (await updateOptions()).filter((o) => o.option in BULK && !o.confirm);
  if (!options.length || !document.body.contains(body)) return;
  const table = body.closest("table");
  const byNumber = new Map(calls.map((c) => [c.CallNumber, c]));
  const sends = new Map();  // call number -> its submission, kept for retries
  const boxes = [];
  for (const row of body.rows) {
    const first = row.cells[0];
    const number = first && first.textContent;
    if (!byNumber.has(number)) continue;
    const box = el("input", { type: "checkbox", class: "pick", "aria-label": "Select call " + number, value: number });
    boxes.push(box);
    first.prepend(box, " ");
  }
  const all = el("input", { type: "checkbox", id: "pick-all", "aria-label": "Select every call on this page",
    onchange: (e) => boxes.forEach((b) => { b.checked = e.target.checked; }) });
  table.tHead.rows[0].cells[0].prepend(all, " ");
  const choice = el("select", { id: "bulk-option" }, options.map((o) =>
    el("option", { value: o.option }, STATUS[BULK[o.option]] + " (" + o.name + ")")));
  const apply = el("button", { type: "submit", class: "secondary" }, "Change the selected calls");
  const told = el("p", { id: "bulk-outcome", role: "status" });
  const form = el("form", { class: "bulk", id: "bulk" },
    el("label", { for: "bulk-option" }, "Set the status of the selected calls to", choice), apply, told);
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const picked = boxes.filter((b) => b.checked);
    if (!picked.length) return told.replaceChildren("Select calls first.");
    const option = Number(choice.value);
    apply.disabled = true;
    told.replaceChildren("Changing " + picked.length + "…");
    const results = await Promise.all(picked.map(async (box) => {
      const call = byNumber.get(box.value);
      if (!sends.has(call.CallNumber)) sends.set(call.CallNumber, submission(box));
      const answer = await sends.get(call.CallNumber)("POST", "/calls/" + encodeURIComponent(call.CallNumber) + "/changes",
        { OPTION: option, ENGINEER: call.Engineer || "" });
      const cell = box.closest("tr").cells[3];
      cell.querySelector(".bulk-result")?.remove();
      const done = answer && answer.status === 200 && !(answer.data && (answer.data.errorDescription || answer.data.errorText));
      cell.append(el("span", { class: "bulk-result " + (done ? "good" : "bad") },
        done ? "Changed to " + STATUS[BULK[option]] : ["Not changed: ", bt(answer ? failure(answer) : "busy")]));
      if (done) box.checked = false;
      return done;
    }));
    apply.disabled = false;
    const changed = results.filter(Boolean).length;
    told.replaceChildren(changed + " of " + results.length + " changed" +
      (changed < results.length ? "; the others say why beside their status." : "."));
  });
  table.before(form);
}

export { addBulkChanges };
