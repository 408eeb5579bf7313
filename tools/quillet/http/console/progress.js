// A loading sign: when a view takes longer than a moment to come (a slow
// link), the old one is marked busy and the agent is told it is loading,
// rather than left looking at a view that no longer answers what they did.
const DELAY_MS = 300;
let timer = 0;

function loadingStart() {
  clearTimeout(timer);
  timer = setTimeout(() => {
    const sign = document.getElementById("loading");
    document.getElementById("view").setAttribute("aria-busy", "true");
    if (sign) sign.hidden = false;
  }, DELAY_MS);
}

function loadingDone() {
  clearTimeout(timer);
  const sign = document.getElementById("loading");
  document.getElementById("view").removeAttribute("aria-busy");
  if (sign) sign.hidden = true;
}

export { loadingStart, loadingDone };
