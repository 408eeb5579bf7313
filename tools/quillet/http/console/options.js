// The UpdateCall options, as the service describes them (GET
// /update-options), and when the back end refuses one for a call's state.
import { api } from "./api.js";

// What the back end refuses in a call's state (null: it accepts the option
// in every state it accepts changes); the options themselves, their names
// and the detail keys each reads come from the service.
const REFUSED = {
  3: (c) => (Number(c.WaitingFlag) === 1 ? null : "the call is not waiting"),
  9: (c) => (Number(c.OptionFlag) === 1 ? "the option flag is already set" : null),
};

// The options, asked of the service once: [{option, name, fields,
// confirm, refused}]; an empty list when it could not be had.
let asked = null;
function updateOptions() {
  if (!asked) {
    asked = api("GET", "/update-options").then((answer) => {
      if (answer.status !== 200 || !Array.isArray(answer.data)) {
        asked = null;
        return [];
      }
      return answer.data.map((o) => Object.assign({}, o, { refused: REFUSED[o.option] }));
    });
  }
  return asked;
}

export { updateOptions };
