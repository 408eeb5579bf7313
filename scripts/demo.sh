#!/usr/bin/env bash
# A short service-desk session against a fresh embedded back end.
set -uo pipefail
quillet=$(realpath "${1:?usage: demo.sh path/to/quillet}")
data=$(realpath "$(dirname "$0")/../examples/data")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() { printf '$ quillet %s\n' "$*"; "$quillet" "$@"; echo "(exit $?)"; }

step "1. Seed master data: service objects, business partners, engineer time"
run backend load "$data/master.json"

step "2. Create a call for a printer under warranty (45 minutes booked on the question, 30 more spent)"
run create-call --details '{"COMPONENT":"ServiceDesk","SOLDTOBP":"BP-1001","BPNUMBER":"BP-1001",
  "SITE":"Harbour Road","OBJECT":"PRN-4410","CALLDESC":"Paper jam on tray 2","PROBLEM":"JAM",
  "PRIORITY":2,"CALLERNAME":"Ines Park","ENGINEER":"ENG-07","CALLCREATER":"agent.rosa",
  "Q_ID":"Q-55012","TIMESPENT":30,"Q_TEXT":"Tray 2 jams on every second sheet.",
  "LINK":"https://desk.example/q/55012"}'

step "3. Record the problem (option 1)"
run update-call CALLNUMBER=SC000001 OPTION=1 ENGINEER=ENG-07 ACTIONDONEBY=ENG-07 PROBLEM=ROLLER

step "4. Put the call on hold waiting for parts (option 5)"
run update-call CALLNUMBER=SC000001 OPTION=5 ENGINEER=ENG-07 ACTIONDONEBY=ENG-07 WAITINGDESC="Pick-up roller ordered"

step "5. Solve it with a long solution text (option 2, 5000 characters in three pieces)"
long=$(printf 'Replaced the pick-up roller and cleaned the paper path. %.0s' $(seq 1 90))
run update-call --types --details "{\"CALLNUMBER\":\"SC000001\",\"OPTION\":2,\"ENGINEER\":\"ENG-07\",
  \"ACTIONDONEBY\":\"ENG-07\",\"PROBLEM\":\"ROLLER\",\"SOLUTION\":\"REPLACED\",\"ACTIVITY\":\"ONSITE\",
  \"Q_ID\":\"Q-55012\",\"TIMESPENT\":35,\"SOLUTIONTEXT\":\"$long\"}"

step "6. Complete the call: it gets a service order (option 6)"
run update-call CALLNUMBER=SC000001 OPTION=6 ENGINEER=ENG-07 ACTIONDONEBY=ENG-07 Q_ID=Q-55012 SOLUTIONTEXT="Customer signed off."

step "7. A back-end message: a call for an unknown business partner is stored with a complaint"
run create-call SOLDTOBP=BP-1002 BPNUMBER=BP-9999 OBJECT=SCN-0082 CALLDESC="Scanner offline" Q_TEXT="Scanner shows error E7"

step "8. Register a serialized item, change it, and have a duplicate refused"
run create-item --component Items --values '[["SERIALNUMBER","SN-88231"],["ITEM","PRN-4410"],["LOCATION","Harbour Road"]]'
run update-item --component Items --values '[["SERIALNUMBER","SN-88231"],["LOCATION","Workshop"]]'
run create-item --component Items --values '[["SERIALNUMBER","SN-88231"],["ITEM","PRN-4410"]]'

step "9. A failure raised to the caller: an option that is not a number"
run update-call CALLNUMBER=SC000001 OPTION=soon

step "10. What the back end stored"
run calls
run calls SC000001
run items

step "11. The log"
run log
