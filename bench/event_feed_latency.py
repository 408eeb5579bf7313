#!/usr/bin/python3
"""How soon a new call's event reaches a GET /events stream, on loopback.

  bench/event_feed_latency.py QUILLET DATABASE [CALLS]

Starts `QUILLET serve` on a free port over DATABASE, opens one stream of
Server-Sent Events, then creates CALLS calls (default 30) one at a time at
points spread over the stream's poll cycle, and prints the time from each
POST to its event's arrival: "n= median= p90= max=".
"""
import json
import re
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

quillet, db = sys.argv[1], sys.argv[2]
calls = int(sys.argv[3]) if len(sys.argv) > 3 else 30
server = subprocess.Popen([quillet, "serve", "--db", db, "--listen",
                           "127.0.0.1:0"], stderr=subprocess.PIPE, text=True)
try:
    port = None
    while port is None:
        line = server.stderr.readline()
        if not line:
            sys.exit("the server did not start")
        found = re.match(r"listening on 127\.0\.0\.1:(\d+)", line)
        port = int(found.group(1)) if found else None
    stream = socket.create_connection(("127.0.0.1", port), timeout=5)
    stream.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"Accept: text/event-stream\r\n\r\n")
    got = b""
    while b"\r\n\r\n" not in got:
        got += stream.recv(4096)
    spent = []
    for i in range(calls):
        time.sleep(0.05 * (i % 7))
        start = time.monotonic()
        answer = urllib.request.urlopen(urllib.request.Request(
            f"http://127.0.0.1:{port}/calls", data=b'{"SOLDTOBP":"B"}',
            headers={"Content-Type": "application/json"}))
        number = json.load(answer)["result"]["CALLNUMBER"]
        while f'"call":"{number}"'.encode() not in got:
            got += stream.recv(65536)
        spent.append((time.monotonic() - start) * 1000)
    spent.sort()
    print(f"n={len(spent)} median={statistics.median(spent):.0f} ms "
          f"p90={spent[int(0.9 * len(spent))]:.0f} ms max={spent[-1]:.0f} ms")
finally:
    server.terminate()
    server.wait()
