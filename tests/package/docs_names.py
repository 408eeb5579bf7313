#!/usr/bin/env python3
"""Every name the documentation gives in backticks is real.

README.md and docs/*.md name commands, flags, make targets, HTTP routes,
environment variables and repository files in backticks (inline, or on the
command lines of fenced examples). This checks each against what it names:
a `quillet ...` command's words against the built binary's --help output
(the command, a subcommand where the command has them, every --flag); a
lone `--flag` against the help of some command; `make TARGET` against the
Makefile; `METHOD /path?query=` against the OpenAPI description (the path,
the method, each query parameter); a QUILLET_* variable against the
sources; a path under a top-level folder of the repository against the
files there (a glob matches at least one). It prints each name that is not
real, and fails if any is or if it found too few names to be checking.

    tests/package/docs_names.py SOURCE_DIR QUILLET_BINARY
"""
import glob
import json
import os
import re
import shlex
import subprocess
import sys

source, binary = sys.argv[1], sys.argv[2]
os.chdir(source)
docs = ["README.md"] + sorted(glob.glob("docs/*.md"))
problems = []
counts = {"command": 0, "flag": 0, "make": 0, "route": 0, "variable": 0,
          "file": 0}


def names(path):
    """(line number, text) of each inline code span, and of each command
    line of a fenced shell example (`$ ` prompts and comments dropped)."""
    fenced = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.lstrip().startswith("```"):
                fenced = None if fenced is not None else line.strip()[3:]
                continue
            if fenced is None:
                for span in re.findall(r"`([^`]+)`", line):
                    yield number, span.strip()
            elif fenced in ("sh", "bash", "console"):
                text = re.sub(r"\s#.*$", "", line.strip())
                text = text.removeprefix("$ ").rstrip("\\").strip()
                if text.startswith(("quillet ", "make ")):
                    yield number, text


help_cache = {}


def help_of(words):
    """The --help output of `quillet WORDS`, or None when it fails."""
    key = tuple(words)
    if key not in help_cache:
        run = subprocess.run([binary, *words, "--help"], capture_output=True,
                             text=True, timeout=20)
        help_cache[key] = run.stdout if run.returncode == 0 else None
    return help_cache[key]


def subcommands(text):
    """The subcommand names a --help output lists."""
    block = text.split("Subcommands:", 1)
    if len(block) < 2:
        return set()
    found = set()
    for line in block[1].splitlines()[1:]:
        if not line.strip():
            break
        found.add(line.split()[0])
    return found


def has_flag(text, flag):
    return re.search(r"(^|[\s,])" + re.escape(flag) + r"([\s,=]|$)",
                     text, re.M) is not None


top = help_of([])
if top is None:
    sys.exit(f"{binary} --help failed")
commands = subcommands(top)
every_help = top + "".join(help_of([c]) or "" for c in commands)
for command in commands:
    for sub in subcommands(help_of([command]) or ""):
        every_help += help_of([command, sub]) or ""
takes_value = {"--db", "--log", "--keep-keys"}


def check_command(where, words):
    """words follow `quillet`."""
    counts["command"] += 1
    path, flags = [], []
    rest = iter(words)
    for word in rest:
        if word.startswith("--"):
            flags.append(word.split("=", 1)[0])
            if word in takes_value and not path:
                next(rest, None)
            continue
        if word.startswith("-") or (path and
                                    not subcommands(help_of(path) or "")):
            break  # a value or a positional: no more command words
        if re.fullmatch(r"[A-Z_]+", word):
            path = None  # a placeholder (COMMAND): any command's flags
            break
        parent = help_of(path)
        if parent is None or word not in subcommands(parent):
            problems.append(f"{where}: `quillet {' '.join(path + [word])}` "
                            "is not a command")
            return
        path.append(word)
    flags += [w.split("=", 1)[0] for w in rest if w.startswith("--")]
    text = every_help if path is None else help_of(path)
    for flag in flags:
        if not has_flag(text, flag):
            problems.append(f"{where}: `quillet {' '.join(path or ['...'])}` "
                            f"has no option {flag}")


with open("tools/quillet/http/console/openapi.json", encoding="utf-8") as f:
    api = json.load(f)["paths"]


def route_key(path):
    return re.sub(r"\{[^}]*\}", "{}", path)


routes = {route_key(p): (p, ops) for p, ops in api.items()}


def check_route(where, method, target):
    counts["route"] += 1
    path, _, query = target.partition("?")
    found = routes.get(route_key(path))
    if found is None:
        problems.append(f"{where}: no route {path} in openapi.json")
        return
    operation = found[1].get(method.lower())
    if operation is None:
        problems.append(f"{where}: {path} takes no {method} in openapi.json")
        return
    params = {p.get("name") for p in
              operation.get("parameters", []) + found[1].get("parameters", [])}
    for pair in filter(None, query.split("&")):
        name = pair.split("=", 1)[0]
        if name not in params:
            problems.append(f"{where}: {method} {path} has no parameter "
                            f"{name} in openapi.json")


make_targets = set(re.findall(r"^([a-z][a-z-]*):", open("Makefile").read(),
                              re.M))
top_folders = {d for d in os.listdir(".") if os.path.isdir(d)} - {"build"}
top_files = {f for f in os.listdir(".") if os.path.isfile(f)}
sources = ["CMakeLists.txt", "Makefile", "include", "src", "standins",
           "operations", "tools", "packaging", "scripts", "bench", "tests"]

for doc in docs:
    for number, span in names(doc):
        where = f"{doc}:{number}"
        try:
            words = shlex.split(span)
        except ValueError:
            words = span.split()
        words = [w.rstrip(",;:") or w for w in words]  # words in a sentence
        if not words:
            continue
        if words[0] == "quillet" and len(words) > 1:
            check_command(where, words[1:])
        elif (words[0] in commands and len(words) > 1 and
              (words[1].startswith("--") or
               subcommands(help_of([words[0]]) or ""))):
            check_command(where, words)  # `serve --trace FILE`
        elif re.fullmatch(r"--[a-z][a-z-]*(=.*)?", words[0]):
            counts["flag"] += 1
            if not has_flag(every_help, words[0].split("=", 1)[0]):
                problems.append(f"{where}: no command has the option "
                                f"{words[0]}")
        elif words[0] == "make" and len(words) > 1:
            counts["make"] += 1
            if words[1] not in make_targets:
                problems.append(f"{where}: the Makefile has no target "
                                f"{words[1]}")
        elif (re.fullmatch(r"GET|POST|PUT|DELETE|PATCH|HEAD", words[0]) and
              len(words) > 1 and words[1].startswith("/")):
            check_route(where, words[0], words[1])
        elif re.fullmatch(r"QUILLET_[A-Z_]+", words[0]):
            counts["variable"] += 1
            grep = subprocess.run(["grep", "-rqF", words[0], *sources])
            if grep.returncode != 0:
                problems.append(f"{where}: {words[0]} appears in no source")
        elif (len(words) == 1 and
              (re.fullmatch(r"[\w.-]+(/[\w.*{}-]*)+", span) and
               span.split("/", 1)[0] in top_folders) or span in top_files):
            counts["file"] += 1
            if not glob.glob(re.sub(r"\{[^}]*\}", "*", span)):
                problems.append(f"{where}: {span} does not exist")

    # A link to a file of the repository, relative to the page.
    text = open(doc, encoding="utf-8").read()
    for target in re.findall(r"\]\(([^)#\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        counts["file"] += 1
        if not os.path.exists(os.path.join(os.path.dirname(doc), target)):
            problems.append(f"{doc}: the link {target} leads nowhere")

for problem in problems:
    print(problem)
print("checked " + ", ".join(f"{n} {kind}s" for kind, n in counts.items()))
# Too few of any kind means a pattern has gone wrong, not that all is well.
too_few = [k for k, n in counts.items() if n < 3]
if too_few:
    sys.exit("too few names found of kind: " + ", ".join(too_few))
sys.exit(1 if problems else 0)
