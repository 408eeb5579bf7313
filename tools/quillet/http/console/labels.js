// Words for the service's names and codes, one table each.

// ---------------------------------------------------------------------------

// Words for every property and detail key: one table, used by the call
// view, the forms, the filters and the queue. `help` says what a field
// needs; `required` marks what a form cannot do without.
const LABELS = {
  CallNumber: { label: "Call number" },
  Status: { label: "Status" },
  CallDescription: { label: "Description" },
  Problem: { label: "Problem code" },
  Priority: { label: "Priority" },
  CallGroup1: { label: "Call group 1" },
  CallGroup2: { label: "Call group 2" },
  LastTransactionTime: { label: "Last change" },
  ChangedFlag: { label: "Changed by the last update" },
  SoldToBusinessPartner: { label: "Sold-to partner" },
  BusinessPartnerNumber: { label: "Business partner" },
  Site: { label: "Site" },
  CallerName: { label: "Caller" },
  Contact: { label: "Contact" },
  ServiceObject: { label: "Service object" },
  ObjectNumber: { label: "Object number" },
  Contract: { label: "Contract" },
  WarrantyFlag: { label: "Under warranty" },
  Warranty: { label: "Warranty" },
  WarrantyDescription: { label: "Warranty terms" },
  WarrantyExpiryDate: { label: "Warranty ends" },
  Engineer: { label: "Engineer" },
  CreatedBy: { label: "Created by" },
  ActionDoneBy: { label: "Action done by" },
  ActionProblem: { label: "Problem found" },
  ActionSolution: { label: "Solution code" },
  ActionActivity: { label: "Activity" },
  TimeSpent: { label: "Time spent (hours and minutes)" },
  WaitingFlag: { label: "Waiting" },
  WaitingDescription: { label: "Waiting for" },
  OptionFlag: { label: "Option flag" },
  OriginCode: { label: "Origin code" },
  ServiceOrder: { label: "Service order" },
  HasServiceOrder: { label: "Has a service order" },
  Text: { label: "Call text" },
  SolutionText: { label: "Solution text" },
  COMPONENT: { label: "Back-end component", help: "Leave empty for the default." },
  SOLDTOBP: { label: "Sold-to partner", required: true, help: "The customer's partner number; type to search." },
  BPNUMBER: { label: "Business partner", help: "Type to search." },
  SITE: { label: "Site" },
  OBJECT: { label: "Service object", help: "Gives the contract and warranty; type to search." },
  OBJECTNR: { label: "Object number" },
  CALLDESC: { label: "Description", help: "One line the queue shows." },
  PROBLEM: { label: "Problem code" },
  PRIORITY: { label: "Priority", kind: "number", help: "0 to 255." },
  CALLGROUP1: { label: "Call group 1" },
  CALLGROUP2: { label: "Call group 2" },
  CALLERNAME: { label: "Caller" },
  CONTACT: { label: "Contact" },
  ENGINEER: { label: "Engineer" },
  CALLCREATER: { label: "Created by" },
  ACTIONDONEBY: { label: "Action done by" },
  Q_ID: { label: "Question", help: "Its recorded engineer time is added." },
  TIMESPENT: { label: "Time spent (minutes)", kind: "number" },
  LINK: { label: "Link", help: "Added to the call text on a line of its own." },
  Q_TEXT: { label: "Call text", kind: "text" },
  SOLUTION: { label: "Solution code" },
  ACTIVITY: { label: "Activity" },
  SOLUTIONTEXT: { label: "Solution text", kind: "text" },
  WAITINGDESC: { label: "Waiting for", help: "What the call waits for." },
  status: { label: "Status" },
  sold_to: { label: "Sold-to partner" },
  text: { label: "Text in the description" },
  q: { label: "Words in any text" },
  changed_since: { label: "Changed since" },
};

function labelOf(name) {
  return (LABELS[name] && LABELS[name].label) || name;
}

// What each status code means in the embedded back end.
const STATUS = {
  0: "New",
  10: "Registered",
  15: "In progress",
  25: "Solved",
  30: "Completed",
};

// What a refused answer means, by its HTTP status, for people; the code is
// shown beside it only with "Field names" on.
const ANSWERS = {
  400: "The service could not use what was sent",
  404: "Not found",
  405: "The service does not take this here",
  409: "This submission's key was used for something else",
  413: "Too much was sent at once",
  422: "The back end raised an error",
  424: "The back end did not do it",
};

// The service's own messages in words: whole messages, and the query
// parameters a message names ("?number must be ...").
const MESSAGES = {
  "no service call": "There is no such call.",
  "no serialized item": "There is no such item.",
  "no such route": "The service does not know this address.",
  "?number must be an error number": "The error number must be a whole number, such as 13 or -2147467259.",
};
const PARAMETERS = { number: "The error number", since: "The start time", until: "The end time",
  source: "The source", text: "The text", status: "The status", sold_to: "The sold-to partner",
  changed_since: "The changed-since date", search: "The search", limit: "The page size", after: "The page" };
function messageText(message) {
  const text = String(message);
  if (MESSAGES[text]) return MESSAGES[text];
  const named = /^\?([a-z_]+) (.*)$/.exec(text);
  if (named && PARAMETERS[named[1]]) return PARAMETERS[named[1]] + " " + named[2] + ".";
  return text;
}

// A log entry for people: the component's report ("X caught: (0).
// Additional information:  Additional information: ...") names its source
// in the text and repeats its heading; number 0 is no error number.
function logWords(entry) {
  let text = String(entry.text ?? "");
  let source = String(entry.source ?? "");
  const caught = /^(\S+) caught: \(-?\d+\)\.\s*/.exec(text);
  if (caught && !source) {
    source = caught[1];
    text = text.slice(caught[0].length);
  }
  text = text.replace(/(Additional information:\s*)+/g, "Additional information: ").trim();
  return { number: entry.number ? String(entry.number) : "none", source: source || "unnamed", text };
}

const COMMON = ["ENGINEER", "ACTIONDONEBY"];

const CREATE_FIELDS = ["SOLDTOBP", "BPNUMBER", "CALLDESC", "Q_TEXT", "OBJECT", "OBJECTNR",
  "SITE", "CALLERNAME", "CONTACT", "PRIORITY", "PROBLEM", "CALLGROUP1", "CALLGROUP2",
  "ENGINEER", "CALLCREATER", "Q_ID", "TIMESPENT", "LINK", "COMPONENT"];

export { LABELS, labelOf, STATUS, ANSWERS, messageText, logWords, COMMON, CREATE_FIELDS };
