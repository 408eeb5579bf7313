#!/usr/bin/python3
"""Hostile clients for bench/http_load.sh, on loopback only.

  hold PORT IDLE SLOW SECONDS   keep IDLE kept-alive connections (each has
                                been answered once) and SLOW slowloris ones
                                (a header line a second) open for SECONDS
  probe PORT SECONDS            GET /healthz one after another for SECONDS;
                                prints "p50_ms p99_ms count"
  flood PORT CONNECTIONS BYTES  CONNECTIONS at once, each sending BYTES of
                                header lines; prints how many were answered
                                431
  starve PORT HONEST THREADS    80 uploads from 127.0.0.2-9 send 1 MB of a
                                1 MiB body and stall; then HONEST posts of
                                200 KB from 127.0.0.1, THREADS at once;
                                prints how many were answered 503
"""
import socket
import sys
import threading
import time

HOST = "127.0.0.1"


def connect(port):
    sock = socket.create_connection((HOST, port), timeout=10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def hold(port, idle, slow, seconds):
    held = []
    for _ in range(idle):
        sock = connect(port)
        sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n")
        sock.recv(4096)
        held.append(sock)
    slow_socks = []
    for _ in range(slow):
        sock = connect(port)
        sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: localhost\r\n")
        slow_socks.append(sock)
    print("holding", len(held), "idle and", len(slow_socks), "slow", flush=True)
    end = time.time() + seconds
    while time.time() < end:
        for sock in slow_socks:
            try:
                sock.sendall(b"X-Slow: 1\r\n")
            except OSError:
                pass
        time.sleep(1)
    for sock in held + slow_socks:
        sock.close()


def probe(port, seconds):
    times = []
    sock = connect(port)
    end = time.time() + seconds
    while time.time() < end:
        start = time.perf_counter()
        sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n")
        answer = b""
        while b"\r\n\r\n" not in answer or not answer.endswith(b"}"):
            chunk = sock.recv(4096)
            if not chunk:
                raise SystemExit("the probe's connection was closed")
            answer += chunk
        times.append((time.perf_counter() - start) * 1000)
        time.sleep(0.01)
    times.sort()
    print("%.2f %.2f %d" % (times[len(times) // 2],
                            times[min(len(times) - 1, int(len(times) * 0.99))],
                            len(times)))


def flood(port, connections, size):
    answered = []
    line = b"X-Flood: " + b"a" * 1000 + b"\r\n"

    def one():
        try:
            sock = connect(port)
            sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: localhost\r\n")
            sent = 0
            while sent < size:
                sock.sendall(line * 64)
                sent += len(line) * 64
        except OSError:
            pass  # the server stopped reading, as it should
        try:
            sock.settimeout(5)
            answered.append(sock.recv(64).startswith(b"HTTP/1.1 431"))
            sock.close()
        except OSError:
            answered.append(False)

    threads = [threading.Thread(target=one) for _ in range(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(sum(answered))


def starve(port, honest, threads):
    head = (b"POST /calls HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
            b"application/json\r\nContent-Length: 1048576\r\n\r\n")
    stalled = []
    for client in range(2, 10):
        for _ in range(10):
            sock = socket.socket()
            sock.bind(("127.0.0.%d" % client, 0))
            sock.connect((HOST, port))
            sock.sendall(head + b" " * 1000000)
            stalled.append(sock)
    time.sleep(0.3)
    body = b'{"SOLDTOBP":"BP-1","Q_TEXT":"' + b"x" * 200000 + b'"}'
    post = (b"POST /calls HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
            b"application/json\r\nConnection: close\r\nContent-Length: "
            + str(len(body)).encode() + b"\r\n\r\n" + body)
    busy = []
    left = list(range(honest))
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not left:
                    return
                left.pop()
            sock = connect(port)
            sock.sendall(post)
            busy.append(sock.recv(64).startswith(b"HTTP/1.1 503"))
            sock.close()

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    for sock in stalled:
        sock.close()
    print(sum(busy))


if __name__ == "__main__":
    mode, port = sys.argv[1], int(sys.argv[2])
    args = [int(a) for a in sys.argv[3:]]
    {"hold": hold, "probe": probe, "flood": flood,
     "starve": starve}[mode](port, *args)
