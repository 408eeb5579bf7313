#!/usr/bin/env bash
# Peak resident size of the command with one long call text (50 MB of
# UTF-8 by default), against the size of the text: `create-call --details
# @FILE`, `update-call` appending the text to a call, and `batch` with the
# create as its one line. Each command runs once, on its own database; the
# peak is the kernel's count for that process (wait4's ru_maxrss), so it
# holds everything: reading, JSON, the library, SQLite. Checks that the
# text was stored whole. Usage: text_memory.sh BUILD_DIR [MEGABYTES]
set -euo pipefail
build=$(realpath "${1:-build-bench}")
megabytes=${2:-50}
quillet=$build/tools/quillet/quillet
[ -x "$quillet" ] || cmake --build "$build" --target quillet_cli >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
python3 - "$quillet" "$scratch" "$megabytes" <<'PY'
import json, os, sys

quillet, scratch, megabytes = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = megabytes * 1_000_000
# Lines of 99 characters: the text is cut into pieces at 2048 characters,
# and every piece has line breaks to escape in JSON.
text = ("x" * 99 + "\n") * (size // 100)
master = {"serviceObjects": [{"object": "PRN-1", "contract": "K-100",
                              "warranty": "W-STD"}],
          "businessPartners": [{"number": "BP-1"}],
          "engineerTime": [{"question": "Q-1", "minutes": 45}]}


def path(name):
    return os.path.join(scratch, name)


def write(name, value):
    with open(path(name), "w") as f:
        f.write(value)
    return path(name)


def run(db, *args, out=os.devnull):
    """Runs the command; answers its peak resident size in bytes."""
    with open(out, "wb") as sink, open(path("stderr"), "w+") as errors:
        pid = os.fork()
        if pid == 0:
            os.dup2(sink.fileno(), 1)
            os.dup2(errors.fileno(), 2)
            os.execv(quillet, [quillet, "--db", db, *args])
        _, status, usage = os.wait4(pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            errors.seek(0)
            sys.exit(f"quillet {args[0]} failed: {errors.read()}")
    return usage.ru_maxrss * 1024


def database(name):
    db = path(name + ".db")
    run(db, "backend", "load", write("master.json", json.dumps(master)))
    return db


def stored_text(db, number):
    run(db, "calls", number, "--json", out=path("call.json"))
    with open(path("call.json")) as f:
        return "".join(json.load(f)["Text"])


details = {"SOLDTOBP": "BP-1", "OBJECT": "PRN-1", "Q_TEXT": text}
create = write("create.json", json.dumps(details))
peaks = {}
db = database("create")
peaks["create-call --details @FILE"] = run(db, "create-call", "--details",
                                           "@" + create)
db = database("update")
run(db, "create-call", "SOLDTOBP=BP-1")
update = write("update.json", json.dumps(
    {"CALLNUMBER": "SC000001", "OPTION": 7, "ENGINEER": "ENG-07",
     "ACTIONDONEBY": "ENG-07", "Q_ID": "Q-1", "Q_TEXT": text}))
peaks["update-call appending the text"] = run(db, "update-call", "--details",
                                              "@" + update)
appended = stored_text(db, "SC000001") == "\r\n" + text
db = database("batch")
lines = write("batch.jsonl", json.dumps(
    {"op": "create-call", "details": details}) + "\n")
peaks["batch, the create as its one line"] = run(
    db, "batch", lines, "--out", path("batch.out"))
created = stored_text(db, "SC000001") == text + "\r\n"
if not created or not appended:
    sys.exit("the text was not stored whole")
for what, peak in peaks.items():
    met = "met" if peak / size <= 3 else "MISSED"
    print(f"{what}: peak resident {peak / 1e6:.0f} MB, "
          f"{peak / size:.2f}x the {megabytes} MB text (target <= 3x: {met})")
PY
