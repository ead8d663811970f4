#!/usr/bin/env python3
"""What players that leave, or ask at once, cost a viewer of the example host application.

    players_leaving.py <ombrelia-host> <origin-base-url> [<origin-base-url> ...] [--seconds S]

The origins serve (tests/support/start-origin) seg6m.ts (6 MiB), seg100k.ts, seg60m.ts (60 MiB),
media.m3u8 (a small playlist), big.m3u8 (16,000 segments each signed with a 2,000-character
query, 31 MiB) and /paced/<bytes per second>/<file>. Each case runs a fresh viewer
(`serve --whole --port 0`) and prints its figures:

  left-slow    8 segments of 6 MiB at 0.5 MiB/s, each left after 64 KB: how long the next
               100 kB segment (at the same pace) and a playlist reload then take.
  left-large   32 segments of 60 MiB at 8 MiB/s on the origins in turn, each left after 64 KB:
               the viewer's peak resident memory.
  reloading    8 players reloading big.m3u8 every second: the viewer's peak resident memory, and
               what it still holds once they stop; and how long a small playlist takes meanwhile.
  trickling    another origin (run here) answers six playlists declared at 64, 48 and 4 x 4 MiB,
               asked 0.3 s apart, at 2 KiB/s; meanwhile a live player reloads media.m3u8 every
               2 s: each reload's wait, how the trickling players were answered, and the peak.
  unread       12 players ask for seg60m.ts on the origins in turn and read nothing; after 6 s
               a player reads seg6m.ts: its wait, and the viewer's peak resident memory.
  slow-link    link.m3u8 (83 kB) at 8 KB/s (64 kbit/s) and link1m.m3u8 (1 MB) at 16 KB/s
               (128 kbit/s), each fetched at once directly from the origin and through the
               viewer: both statuses and times.
  slow-reader  a player reads slow.m3u8 (rewritten to about 40 MB) at about 25 KB/s through a
               4 KiB receive buffer; meanwhile another asks for other.m3u8 (about 11 MB
               rewritten) and two more for slow.m3u8 at full speed: how long each waits for its
               whole answer, and the viewer's peak resident memory.

  pausing      a player reads 2 MB of seg60m.ts, stops reading for 45 s, then reads on; beside
               it the same player fetching the origin directly: what each got, and how long.

  at-once      24 players ask at once for vod14m.m3u8 (a 14 MB playlist) each, from one origin:
               the slowest through the viewer beside the slowest direct, and their statuses.
  idle-holders 8 players ask for seg60m.ts on one origin and read nothing; after 1 s another
               player asks that origin for media.m3u8 and seg100k.ts: how long each takes.

  h2-unread    8 players ask an HTTPS origin speaking HTTP/2 (--tls-origin) for seg30m.ts and
               read nothing; after 6 s one reads its segment to the end: the viewer's peak
               resident memory, and what that player got.
  many-ports   one origin (run here) listening on 8 ports answers a playlist on each: on one it
               trickles at 20 KiB/s, on the seven others it sends 40 MiB of a declared 48 MiB and
               stops; meanwhile a live player reloads another origin's media.m3u8 every 2 s:
               each reload's wait, and how the players of the eight were answered.

`--cases a,b` runs only those cases; `--tls-origin URL` names the HTTPS origin (its CA in
SSL_CERT_FILE).
"""
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

MIB = 1024 * 1024
# The 30 MiB segment every origin serves, to check what a player got byte for byte.
SEG30M = os.path.join(os.environ.get("BENCH_WWW", "."), "seg30m.ts")


def local_url(port, origin_url):
    path = urllib.parse.urlsplit(origin_url).path
    return "/%s?__hls_origin_url=%s" % (path.lstrip("/"), urllib.parse.quote(origin_url, safe=""))


def request(port, target, keep_bytes=None, timeout=120):
    """GETs target from the viewer; reads keep_bytes of body (then leaves) or the whole answer.
    Returns (status, body bytes read, seconds)."""
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % target).encode())
    head = bytearray()
    body = None
    while True:
        chunk = s.recv(256 * 1024)
        if not chunk:
            break
        if body is None:
            head += chunk
            end = head.find(b"\r\n\r\n")
            if end < 0:
                continue
            body = len(head) - end - 4
            del head[end:]
        else:
            body += len(chunk)
        if keep_bytes is not None and body >= keep_bytes:
            break
    s.close()
    body = body or 0
    status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
    return status, body, time.monotonic() - start


def read_head(connection):
    """The request head a client sent, or None when it hung up first."""
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = connection.recv(4096)
        if not chunk:
            return None
        head += chunk
    return head


def answer_each(listener, answer):
    """Answers each connection to `listener` on a thread of its own, until the process ends; a
    client hanging up ends its answer, and the connection is closed after."""
    def run(connection):
        try:
            answer(connection)
        except OSError:
            pass
        finally:
            connection.close()
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=run, args=(connection,), daemon=True).start()


def memory(pid, field):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / 100.0


class Viewer:
    def __init__(self, host, origin):
        self.process = subprocess.Popen(
            [host, "serve", origin + "/media.m3u8", "--whole", "--port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()
        self.port = urllib.parse.urlsplit(line).port
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def reset_peak(self):
        with open("/proc/%d/clear_refs" % self.process.pid, "w") as f:
            f.write("5")

    def stop(self):
        self.process.terminate()
        self.process.wait(30)


def left_slow(host, origins):
    origin = origins[0]
    viewer = Viewer(host, origin)
    pace = "/paced/%d/" % (MIB // 2)
    took = {}
    # Each of the next requests right after 8 fresh segments were left.
    for name, path in (("segment", pace + "seg100k.ts"), ("playlist", "/media.m3u8?reload=1")):
        threads = [threading.Thread(target=request, args=(
            viewer.port, local_url(viewer.port, origin + pace + "seg6m.ts?%s=%d" % (name, n)),
            64 * 1024)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took[name] = request(viewer.port, local_url(viewer.port, origin + path))
    print("left-slow   next 100 kB segment %.2f s (%d, %d bytes), playlist reload %.2f s (%d)" %
          (took["segment"][2], took["segment"][0], took["segment"][1], took["playlist"][2],
           took["playlist"][0]))
    viewer.stop()


def left_large(host, origins):
    viewer = Viewer(host, origins[0])
    base = memory(viewer.process.pid, "VmRSS")
    viewer.reset_peak()
    pace = "/paced/%d/" % (8 * MIB)
    for n in range(32):
        origin = origins[n % len(origins)]
        threading.Thread(target=request, args=(
            viewer.port, local_url(viewer.port, origin + pace + "seg60m.ts?n=%d" % n), 64 * 1024),
            daemon=True).start()
        time.sleep(0.05)
    # Long enough for every 60 MiB body to arrive at the origin's pace.
    deadline = time.monotonic() + 60 * MIB / (8 * MIB) * (32 / (8 * len(origins)) + 1) + 5
    peak = 0
    while time.monotonic() < deadline:
        peak = max(peak, memory(viewer.process.pid, "VmHWM"))
        time.sleep(0.5)
    held = memory(viewer.process.pid, "VmRSS")
    print("left-large  peak %d MB (%d MB at start), %d MB held after" %
          (peak / 1e6, base / 1e6, held / 1e6))
    viewer.stop()


def reloading(host, origins, seconds):
    origin = origins[0]
    viewer = Viewer(host, origin)
    base = memory(viewer.process.pid, "VmRSS")
    cpu0 = cpu_seconds(viewer.process.pid)
    viewer.reset_peak()
    stop = time.monotonic() + seconds
    answers = []

    def player(n):
        while time.monotonic() < stop:
            status, body, took = request(viewer.port, local_url(viewer.port,
                                                                 origin + "/big.m3u8"))
            answers.append((status, body, took))
            time.sleep(1)

    threads = [threading.Thread(target=player, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    time.sleep(min(5, seconds / 2))
    small = request(viewer.port, local_url(viewer.port, origin + "/media.m3u8?small=1"))[2]
    for t in threads:
        t.join()
    peak = memory(viewer.process.pid, "VmHWM")
    held = memory(viewer.process.pid, "VmRSS")
    ok = sum(1 for a in answers if a[0] == 200)
    slowest = max(a[2] for a in answers) if answers else 0
    print("reloading   %d answers (%d of 200), slowest %.1f s; peak %d MB (%d MB at start), "
          "%d MB held after; a small playlist meanwhile %.2f s; CPU %.1f s" %
          (len(answers), ok, slowest, peak / 1e6, base / 1e6, held / 1e6, small,
           cpu_seconds(viewer.process.pid) - cpu0))
    viewer.stop()


class TricklingOrigin:
    """An origin on 127.0.0.1 that declares a playlist of the length its path names
    (/<bytes>/x.m3u8) and sends it at `rate` bytes per second, until the viewer hangs up."""

    def __init__(self, rate):
        self.rate = rate
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def url(self, declared, n):
        return "http://127.0.0.1:%d/%d/slow%d.m3u8" % (self.port, declared, n)

    def accept(self):
        answer_each(self.listener, self.answer)

    def answer(self, connection):
        head = read_head(connection)
        if head is None:
            return
        declared = int(head.split(b" ")[1].split(b"/")[1])
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl"
                           b"\r\nContent-Length: %d\r\n\r\n#EXTM3U\n" % declared)
        sent = 8
        piece = max(1, self.rate // 4)
        while sent + piece < declared:
            time.sleep(0.25)
            connection.sendall(b"#" * piece)
            sent += piece


def trickling(host, origins, seconds):
    origin = origins[0]
    viewer = Viewer(host, origin)
    base = memory(viewer.process.pid, "VmRSS")
    viewer.reset_peak()
    slow = TricklingOrigin(2 * 1024)
    answered = []

    def player(declared, n):
        answered.append(request(viewer.port, local_url(viewer.port, slow.url(declared, n)),
                                timeout=seconds + 150))

    for n, declared in enumerate((64 * MIB, 48 * MIB) + (4 * MIB,) * 4):
        threading.Thread(target=player, args=(declared, n), daemon=True).start()
        time.sleep(0.3)
    waits = []
    stop = time.monotonic() + seconds
    while time.monotonic() < stop:
        status, _, took = request(viewer.port, local_url(
            viewer.port, origin + "/media.m3u8?reload=%d" % len(waits)), timeout=seconds + 150)
        waits.append((status, took))
        time.sleep(max(0.0, 2 - took))
    deadline = time.monotonic() + 10
    while len(answered) < 6 and time.monotonic() < deadline:
        time.sleep(0.2)
    print("trickling   live reloads %d (%d of 200), waits max %.2f s, mean %.2f s; trickling "
          "players answered %s in %s s; peak %d MB (%d MB at start)" %
          (len(waits), sum(1 for w in waits if w[0] == 200), max(w[1] for w in waits),
           sum(w[1] for w in waits) / len(waits),
           sorted(a[0] for a in answered), ",".join("%.1f" % a[2] for a in sorted(answered)),
           memory(viewer.process.pid, "VmHWM") / 1e6, base / 1e6))
    viewer.stop()


def unread(host, origins):
    viewer = Viewer(host, origins[0])
    base = memory(viewer.process.pid, "VmRSS")
    viewer.reset_peak()
    idle = []
    for n in range(12):
        origin = origins[n % len(origins)]
        s = socket.create_connection(("127.0.0.1", viewer.port))
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % local_url(
            viewer.port, origin + "/seg60m.ts?unread=%d" % n)).encode())
        idle.append(s)
    peak = 0
    deadline = time.monotonic() + 6
    while time.monotonic() < deadline:
        peak = max(peak, memory(viewer.process.pid, "VmHWM"))
        time.sleep(0.5)
    status, body, took = request(viewer.port, local_url(viewer.port,
                                                        origins[0] + "/seg6m.ts?reading"))
    peak = max(peak, memory(viewer.process.pid, "VmHWM"))
    for s in idle:
        s.close()
    print("unread      reading player's 6 MiB segment %.2f s (%d, %d bytes); peak %d MB "
          "(%d MB at start)" % (took, status, body, peak / 1e6, base / 1e6))
    viewer.stop()


def h2_unread(host, tls_origin):
    viewer = Viewer(host, tls_origin)
    base = memory(viewer.process.pid, "VmRSS")
    viewer.reset_peak()
    idle = []
    for n in range(8):
        s = socket.create_connection(("127.0.0.1", viewer.port), timeout=120)
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" %
                   local_url(viewer.port, tls_origin + "/seg30m.ts?unread=%d" % n)).encode())
        idle.append(s)
    peak = 0
    deadline = time.monotonic() + 6
    while time.monotonic() < deadline:
        peak = max(peak, memory(viewer.process.pid, "VmHWM"))
        time.sleep(0.5)
    received = bytearray()
    ended = "closed"
    while True:
        try:
            chunk = idle[0].recv(256 * 1024)
        except (ConnectionResetError, socket.timeout):
            ended = "reset"
            break
        if not chunk:
            break
        received += chunk
    end = received.find(b"\r\n\r\n")
    body = bytes(received[end + 4:]) if end >= 0 else b""
    with open(SEG30M, "rb") as f:
        exact = f.read() == body
    for s in idle:
        s.close()
    print("h2-unread   8 players reading nothing of 30 MiB over HTTP/2: peak %d MB (%d MB at "
          "start); the one that then read got %d bytes, %s, %s" %
          (peak / 1e6, base / 1e6, len(body), "byte-exact" if exact else "NOT exact", ended))
    viewer.stop()


class PortsOrigin:
    """One origin on 8 ports of 127.0.0.1. A playlist asked on the first trickles at 20 KiB/s; on
    the others 40 MiB of a declared 48 MiB come at once, then nothing, until the viewer hangs up."""

    def __init__(self):
        self.listeners = [socket.create_server(("127.0.0.1", 0)) for _ in range(8)]
        self.ports = [l.getsockname()[1] for l in self.listeners]
        self.stuffing = b"#" * (40 * MIB - 8)
        for n, listener in enumerate(self.listeners):
            threading.Thread(target=self.accept, args=(listener, n == 0), daemon=True).start()

    def accept(self, listener, trickles):
        answer_each(listener, lambda connection: self.answer(connection, trickles))

    def answer(self, connection, trickles):
        if read_head(connection) is None:
            return
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl"
                           b"\r\nContent-Length: %d\r\n\r\n#EXTM3U\n" % (48 * MIB))
        if trickles:
            while True:
                time.sleep(0.25)
                connection.sendall(b"#" * 5120)
        connection.sendall(self.stuffing)
        while connection.recv(4096):
            pass


def many_ports(host, origins, seconds):
    origin = origins[0]
    viewer = Viewer(host, origin)
    ports = PortsOrigin()
    answered = []

    def player(port):
        answered.append(request(viewer.port, local_url(
            viewer.port, "http://127.0.0.1:%d/p%d.m3u8" % (port, port)), timeout=seconds + 150))

    for port in ports.ports:
        threading.Thread(target=player, args=(port,), daemon=True).start()
        time.sleep(0.1)
    time.sleep(2)
    waits = []
    stop = time.monotonic() + seconds
    while time.monotonic() < stop:
        status, _, took = request(viewer.port, local_url(
            viewer.port, origin + "/media.m3u8?reload=%d" % len(waits)), timeout=seconds + 150)
        waits.append((status, took))
        time.sleep(max(0.0, 2 - took))
    print("many-ports  live reloads %d (%d of 200), waits max %.2f s, mean %.2f s; the eight "
          "players answered %s in %s s" %
          (len(waits), sum(1 for w in waits if w[0] == 200), max(w[1] for w in waits),
           sum(w[1] for w in waits) / len(waits),
           sorted(a[0] for a in answered), ",".join("%.1f" % a[2] for a in sorted(answered))))
    viewer.stop()


def direct(url, timeout=300):
    """GETs url from the origin itself: (status, body bytes, seconds)."""
    parts = urllib.parse.urlsplit(url)
    start = time.monotonic()
    s = socket.create_connection((parts.hostname, parts.port), timeout=timeout)
    s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" %
               (parts.path, parts.netloc)).encode())
    received = bytearray()
    while True:
        chunk = s.recv(256 * 1024)
        if not chunk:
            break
        received += chunk
    s.close()
    end = received.find(b"\r\n\r\n")
    status = int(received.split(b" ", 2)[1]) if received.startswith(b"HTTP/") else 0
    return status, len(received) - end - 4 if end >= 0 else 0, time.monotonic() - start


def slow_link(host, origins):
    origin = origins[0]
    viewer = Viewer(host, origin)
    results = {}

    def fetch(name, path, through_viewer):
        url = origin + path
        results[name] = (request(viewer.port, local_url(viewer.port, url), timeout=300)
                         if through_viewer else direct(url))

    runs = []
    for name, path in (("83 kB at 8 KB/s", "/paced/8000/link.m3u8"),
                       ("1 MB at 16 KB/s", "/paced/16000/link1m.m3u8")):
        runs += [threading.Thread(target=fetch, args=((name, way), path, way == "viewer"))
                 for way in ("direct", "viewer")]
    for t in runs:
        t.start()
    for t in runs:
        t.join()
    print("slow-link   " + "; ".join(
        "%s: direct %d in %.1f s, viewer %d in %.1f s (%d of %d bytes)" %
        (name, results[(name, "direct")][0], results[(name, "direct")][2],
         results[(name, "viewer")][0], results[(name, "viewer")][2], results[(name, "viewer")][1],
         results[(name, "direct")][1])
        for name in ("83 kB at 8 KB/s", "1 MB at 16 KB/s")))
    viewer.stop()


def slow_reader(host, origins):
    origin = origins[0]
    viewer = Viewer(host, origin)
    base = memory(viewer.process.pid, "VmRSS")
    viewer.reset_peak()
    bound = 150
    slow = socket.socket()
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.settimeout(bound)
    slow.connect(("127.0.0.1", viewer.port))
    slow.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" %
                  local_url(viewer.port, origin + "/slow.m3u8")).encode())
    state = {"read": 0, "ended": None}
    first = threading.Event()

    def read_slowly():
        start = time.monotonic()
        try:
            while state["ended"] is None:
                chunk = slow.recv(4096)
                if not chunk:
                    break
                state["read"] += len(chunk)
                first.set()
                time.sleep(0.16)
        except OSError:
            pass
        if state["ended"] is None:
            state["ended"] = time.monotonic() - start
        first.set()

    reader = threading.Thread(target=read_slowly, daemon=True)
    reader.start()
    first.wait(60)
    waits = {}

    def timed(name, path):
        try:
            status, body, took = request(viewer.port, local_url(viewer.port, origin + path),
                                         timeout=bound)
            waits[name] = "%.2f s (%d, %d MB)" % (took, status, body / 1e6)
        except OSError:
            waits[name] = "none within %d s" % bound

    others = [threading.Thread(target=timed, args=("other", "/other.m3u8"))]
    others += [threading.Thread(target=timed, args=("fast%d" % n, "/slow.m3u8?fast=%d" % n))
               for n in (1, 2)]
    for t in others:
        t.start()
    for t in others:
        t.join()
    peak = memory(viewer.process.pid, "VmHWM")
    print("slow-reader other player's 11 MB playlist %s; 40 MB playlist at full speed %s, %s; "
          "slow reader %s after %d kB; peak %d MB (%d MB at start)" %
          (waits["other"], waits["fast1"], waits["fast2"],
           "ended" if state["ended"] is not None else "still reading", state["read"] / 1e3,
           peak / 1e6, base / 1e6))
    state["ended"] = state["ended"] or 0
    slow.close()
    viewer.stop()


def at_once(host, origins):
    origin = origins[0]
    viewer = Viewer(host, origin)

    def slowest(target):
        results = [None] * 24

        def ask(n):
            start = time.monotonic()
            try:
                results[n] = request(viewer.port, target(n))
            except OSError:
                results[n] = (0, 0, time.monotonic() - start)

        threads = [threading.Thread(target=ask, args=(n,)) for n in range(24)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        statuses = sorted(set(r[0] for r in results))
        return max(r[2] for r in results), statuses, sum(1 for r in results if r[0] == 200)

    def direct(n):
        url = urllib.parse.urlsplit(origin)
        start = time.monotonic()
        s = socket.create_connection((url.hostname, url.port), timeout=120)
        s.sendall(("GET /vod14m.m3u8?player=%d HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                   % n).encode())
        while s.recv(256 * 1024):
            pass
        s.close()
        return time.monotonic() - start

    direct_times = [0.0] * 24

    def run_direct(n):
        direct_times[n] = direct(n)

    threads = [threading.Thread(target=run_direct, args=(n,)) for n in range(24)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took, statuses, whole = slowest(
        lambda n: local_url(viewer.port, origin + "/vod14m.m3u8?player=%d" % n))
    print("at-once     24 players of a 14 MB playlist: slowest %.1f s through the viewer "
          "(direct %.1f s); %d answered 200, statuses %s" %
          (took, max(direct_times), whole, statuses))
    viewer.stop()


def idle_holders(host, origins):
    origin = origins[0]
    viewer = Viewer(host, origin)
    holders = []
    for n in range(8):
        s = socket.create_connection(("127.0.0.1", viewer.port), timeout=120)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" %
                   local_url(viewer.port, origin + "/seg60m.ts?idle=%d" % n)).encode())
        holders.append(s)
    time.sleep(1)
    playlist = request(viewer.port, local_url(viewer.port, origin + "/media.m3u8?reload=1"))
    segment = request(viewer.port, local_url(viewer.port, origin + "/seg100k.ts?next=1"))
    print("idle-holders playlist %.2f s (%d), 100 kB segment %.2f s (%d, %d bytes)" %
          (playlist[2], playlist[0], segment[2], segment[0], segment[1]))
    for s in holders:
        s.close()
    viewer.stop()


def request_pausing(port, target, before, pause, timeout=180):
    """GETs target, reads `before` bytes of body, reads nothing for `pause` seconds, then reads
    to the end. Returns (status, body bytes read, seconds, how it ended)."""
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" %
               target).encode())
    received = bytearray()
    paused = False
    ended = "closed"
    while True:
        try:
            chunk = s.recv(256 * 1024)
        except ConnectionResetError:
            ended = "reset"
            break
        if not chunk:
            break
        received += chunk
        end = received.find(b"\r\n\r\n")
        if not paused and end >= 0 and len(received) - end - 4 >= before:
            paused = True
            time.sleep(pause)
    s.close()
    end = received.find(b"\r\n\r\n")
    head = bytes(received[:max(end, 0)])
    status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
    return status, len(received) - end - 4 if end >= 0 else 0, time.monotonic() - start, ended


def pausing(host, origins):
    origin = origins[0]
    viewer = Viewer(host, origin)
    results = {}
    direct_port = urllib.parse.urlsplit(origin).port
    players = {
        "viewer": (viewer.port, local_url(viewer.port, origin + "/seg60m.ts?paused")),
        "direct": (direct_port, "/seg60m.ts?direct"),
    }
    threads = [threading.Thread(target=lambda k, p, t: results.__setitem__(
        k, request_pausing(p, t, 2 * 1000 * 1000, 45)), args=(k, p, t))
        for k, (p, t) in players.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("pausing     45 s pause after 2 MB of 60 MiB: through the viewer %d, %d bytes, %.1f s, "
          "%s; direct %d, %d bytes, %.1f s, %s" % (results["viewer"] + results["direct"]))
    viewer.stop()


def main():
    args = sys.argv[1:]
    seconds = 30
    if "--seconds" in args:
        i = args.index("--seconds")
        seconds = int(args[i + 1])
        del args[i:i + 2]
    cases = None
    if "--cases" in args:
        i = args.index("--cases")
        cases = args[i + 1].split(",")
        del args[i:i + 2]
    tls_origin = None
    if "--tls-origin" in args:
        i = args.index("--tls-origin")
        tls_origin = args[i + 1]
        del args[i:i + 2]
    host, origins = args[0], args[1:]
    runs = {
        "left-slow": lambda: left_slow(host, origins),
        "left-large": lambda: left_large(host, origins),
        "reloading": lambda: reloading(host, origins, seconds),
        "trickling": lambda: trickling(host, origins, seconds),
        "unread": lambda: unread(host, origins),
        "slow-link": lambda: slow_link(host, origins),
        "slow-reader": lambda: slow_reader(host, origins),
        "at-once": lambda: at_once(host, origins),
        "idle-holders": lambda: idle_holders(host, origins),
        "pausing": lambda: pausing(host, origins),
        "h2-unread": lambda: h2_unread(host, tls_origin) if tls_origin else None,
        "many-ports": lambda: many_ports(host, origins, seconds),
    }
    for name, run in runs.items():
        if cases is None or name in cases:
            run()


main()
