#!/usr/bin/python3
"""Real clients read every refusal the service gives before it reads a
large body: Python's http.client and Node's fetch (and curl, on request)
post bodies of 4, 8 and 64 MiB that are refused with 413, 415, 403, 401 and
400, and each must read its answer's status; a reset or a broken pipe is a
failure.

  refusals_test.py QUILLET [--tries N] [--clients python,node,curl]
                           [--sizes 4,8,64] [--only 413,401]

With the defaults (one try of each) it takes a few seconds; the figures in
the closing notes are from --tries 200.
"""
import argparse
import http.client
import json
import os
import re
import subprocess
import sys
import tempfile
import time

NODE = r"""
const [port, cases] = [Number(process.argv[1]), JSON.parse(process.argv[2])];
const results = [];
for (const c of cases) {
  const body = Buffer.alloc(c.mib << 20, 0x20);
  try {
    const res = await fetch(`http://127.0.0.1:${port}${c.path}`,
                            {method: 'POST', headers: c.headers, body});
    await res.text();
    results.push(res.status);
  } catch (e) {
    results.push(String(e.cause ? e.cause.code || e.cause : e));
  }
}
console.log(JSON.stringify(results));
"""


def start(quillet, work, extra):
    err = open(os.path.join(work, f"serve{len(extra)}.err"), "w+")
    proc = subprocess.Popen(
        [quillet, "serve", "--listen", "127.0.0.1:0", "--db",
         os.path.join(work, "q.db")] + extra,
        stdout=subprocess.DEVNULL, stderr=err)
    for _ in range(200):
        err.seek(0)
        m = re.search(r"listening on 127\.0\.0\.1:(\d+)", err.read())
        if m:
            return proc, int(m.group(1))
        time.sleep(0.05)
    proc.kill()
    sys.exit("the server did not start")


def python_post(port, path, headers, body):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.putrequest("POST", path, skip_accept_encoding=True)
        for name, value in headers:
            conn.putheader(name, value)
        conn.putheader("Content-Length", str(len(body)))
        conn.endheaders()
        conn.send(body)
        res = conn.getresponse()
        res.read()
        return res.status
    except OSError as e:
        return type(e).__name__
    finally:
        conn.close()


def curl_post(port, path, headers, file):
    args = ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
            "--data-binary", "@" + file, f"http://127.0.0.1:{port}{path}"]
    for name, value in headers:
        args += ["-H", f"{name}: {value}"]
    out = subprocess.run(args, capture_output=True, text=True)
    return int(out.stdout) if out.stdout.isdigit() and out.stdout != "000" \
        else f"curl exit {out.returncode}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillet")
    parser.add_argument("--tries", type=int, default=1)
    parser.add_argument("--clients", default="python,node")
    parser.add_argument("--sizes", default="4,8,64")
    parser.add_argument("--only", default="",
                        help="these refusals only (e.g. 413,401)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as work:
        tokens = os.path.join(work, "tokens")
        writer = subprocess.run(
            [args.quillet, "token", "add", "w", "--scope", "write",
             "--token-file", tokens], capture_output=True, text=True,
            check=True).stdout.strip()
        auth = ("Authorization", "Bearer " + writer)
        json_type = ("Content-Type", "application/json")
        # 413 from the default limit; the others from a server whose limit
        # is over every body, so that they are refused for their own cause.
        small, small_port = start(args.quillet, work,
                                  ["--token-file", tokens])
        large, large_port = start(args.quillet, work,
                                  ["--token-file", tokens,
                                   "--body-limit", str(100 << 20)])
        refusals = [
            (413, small_port, "/calls", [auth, json_type]),
            (415, large_port, "/calls",
             [auth, ("Content-Type", "text/plain")]),
            (403, large_port, "/calls",
             [auth, json_type, ("Origin", "http://evil.example")]),
            (401, large_port, "/calls", [json_type]),
            (400, large_port, "/calls/SC%G1/changes", [auth, json_type]),
        ]
        if args.only:
            wanted = {int(s) for s in args.only.split(",")}
            refusals = [r for r in refusals if r[0] in wanted]
        cases = [(status, port, path, headers, mib)
                 for mib in sizes for status, port, path, headers in refusals
                 for _ in range(args.tries)]
        failures = {}

        def tally(client, case, got):
            status, _, _, _, mib = case
            key = f"{client} {status} {mib} MiB"
            failures.setdefault(key, [0, 0])
            failures[key][1] += 1
            if got != status:
                failures[key][0] += 1
                print(f"FAIL {key}: got {got}", file=sys.stderr)

        try:
            clients = args.clients.split(",")
            if "python" in clients:
                bodies = {mib: b" " * (mib << 20) for mib in sizes}
                for case in cases:
                    status, port, path, headers, mib = case
                    tally("python", case,
                          python_post(port, path, headers, bodies[mib]))
            if "node" in clients:
                spec = [{"mib": mib, "path": path, "headers": dict(headers),
                         "port": port}
                        for _, port, path, headers, mib in cases]
                for port in (small_port, large_port):
                    mine = [c for c in cases if c[1] == port]
                    out = subprocess.run(
                        ["node", "--input-type=module", "-e", NODE, str(port),
                         json.dumps([s for s in spec if s["port"] == port])],
                        capture_output=True, text=True)
                    got = json.loads(out.stdout or "[]")
                    for case, status in zip(mine, got + [None] * len(mine)):
                        tally("node", case, status)
            if "curl" in clients:
                files = {}
                for mib in sizes:
                    files[mib] = os.path.join(work, f"{mib}.body")
                    with open(files[mib], "wb") as f:
                        f.write(b" " * (mib << 20))
                for case in cases:
                    status, port, path, headers, mib = case
                    tally("curl", case,
                          curl_post(port, path, headers, files[mib]))
        finally:
            for proc in (small, large):
                proc.terminate()
                proc.wait(timeout=15)
        total = sum(f[0] for f in failures.values())
        for key, (failed, tried) in sorted(failures.items()):
            print(f"{key}: {failed} of {tried} failed")
        print(f"{total} failures")
        return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
