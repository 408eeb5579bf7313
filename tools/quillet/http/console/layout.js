// Filters fold away on a narrow screen, so that the first call is in sight:
// each filter form of a view goes into a disclosure, open on a wide screen
// or when a filter is set.
import { el } from "./dom.js";

const NARROW = "(max-width: 40rem)";

function foldFilters(root) {
  for (const form of root.querySelectorAll("form.filters")) {
    if (form.closest("details")) continue;
    const set = Array.from(form.elements).some((e) => e.name && e.value && e.name !== "sort");
    const fold = el("details", { class: "filters-fold", open: !matchMedia(NARROW).matches || set },
      el("summary", {}, "Filters"));
    form.replaceWith(fold);
    fold.append(form);
  }
}

export { foldFilters };
