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

const COMMON = ["ENGINEER", "ACTIONDONEBY"];

const CREATE_FIELDS = ["SOLDTOBP", "BPNUMBER", "CALLDESC", "Q_TEXT", "OBJECT", "OBJECTNR",
  "SITE", "CALLERNAME", "CONTACT", "PRIORITY", "PROBLEM", "CALLGROUP1", "CALLGROUP2",
  "ENGINEER", "CALLCREATER", "Q_ID", "TIMESPENT", "LINK", "COMPONENT"];

export { LABELS, labelOf, STATUS, COMMON, CREATE_FIELDS };
