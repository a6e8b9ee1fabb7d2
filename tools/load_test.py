#!/usr/bin/env python3
"""Load and bad-input test of the forum behind Apache on loopback.

usage: tools/load_test.py [--short] [--clients N] [--seconds S] [--program P]

Lays out a site with tools/httpd/site.sh (program at SITE/cgi-bin/bin/parlino,
data in SITE/cgi-bin/parlino/), starts Apache on a free port, then:

1. Load: N clients (default 8) for S seconds (30; 5 with --short) post,
   list, view and remove (as the administrator) at once. Afterwards every
   post that got the "posted" page is in the data file with its text, unless
   it was removed; no number repeats; the data file is whole records; no
   response was a server error or a broken connection.
2. Bad input: oversized, truncated and malformed bodies, Content-Length
   lying both ways (raw sockets), NUL and 8-bit bytes, very long fields and
   query strings, a chain of 300 nested replies, a damaged data file and an
   unreadable page file. Each must get a page or the forum's error page
   (200, HTML) in time, and no stored message may be lost.

Prints PASS/FAIL lines; exits 1 when anything failed.
"""
import argparse
import http.client
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORD = 180
POSTED = b"Your message have been posted !"
REMOVED = b"The message has been removed !"
NOT_STORED = b"Message not stored !"
OPEN_ERROR = "kann nicht ge\xf6ffnet werden".encode("cp1252")
REQUEST_TIMEOUT = 30

failures = 0
passes = 0


def report(ok, name, why=""):
    global failures, passes
    if ok:
        passes += 1
        print(f"PASS load: {name}")
    else:
        failures += 1
        print(f"FAIL load: {name}: {why}")
    sys.stdout.flush()
    return ok


def sh(script, *args):
    """Runs bash with the site helpers loaded; returns its standard output."""
    out = subprocess.run(["bash", "-c", ". tools/httpd/site.sh; " + script, "bash", *args],
                         cwd=ROOT, check=True, stdout=subprocess.PIPE, text=True)
    return out.stdout.strip()


class Site:
    def __init__(self, program):
        base = os.path.join(ROOT, "build", "load")
        shutil.rmtree(base, ignore_errors=True)
        self.home = sh('site_home "$1"', base)
        self.root = os.path.join(self.home, "site")
        self.port = int(sh("site_free_port"))
        sh('site_prepare "$1" "$2" && site_apache_conf "$1" "$3"', self.root, program, str(self.port))
        self.data = os.path.join(self.root, "cgi-bin", "parlino")
        self.prefix = os.path.join(self.data, "parlino")
        with open(self.prefix + ".ini", "w") as f:
            f.write("[Parameters]\r\nPassword=lumo\r\nEntries=100000\r\n")
        self.log = os.path.join(self.root, "run", "stdout.log")
        self.server = subprocess.Popen(
            ["setsid", "apache2", "-f", os.path.join(self.root, "run", "apache.conf"), "-DFOREGROUND"],
            stdout=open(self.log, "wb"), stderr=subprocess.STDOUT)
        try:
            sh('site_wait_port "$1"', str(self.port))
        except subprocess.CalledProcessError:
            self.stop()
            raise RuntimeError("Apache did not start: " + self.error_log()[-500:])

    def stop(self):
        if self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()

    def remove(self, base):
        """A site placed below /tmp (the CGI account could not reach the work
        tree) leaves its server logs under base and goes."""
        if os.path.realpath(self.home) != os.path.realpath(base):
            shutil.copytree(os.path.join(self.root, "run"), os.path.join(base, "run"), dirs_exist_ok=True)
            shutil.rmtree(self.home, ignore_errors=True)

    def error_log(self):
        try:
            with open(os.path.join(self.root, "run", "apache-error.log"), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def records(self):
        with open(self.prefix + "_data.dat", "rb") as f:
            data = f.read()
        records = []
        for at in range(0, len(data) - len(data) % RECORD, RECORD):
            r = data[at:at + RECORD]
            subject = r[0:65].split(b"\0", 1)[0]
            rid, reply = struct.unpack_from("<ii", r, 148)
            records.append((rid, reply, subject))
        return data, records

    def text(self, rid):
        try:
            with open(f"{self.prefix}_{rid}.txt", "rb") as f:
                return f.read()
        except OSError:
            return None


class Response:
    def __init__(self, status, headers, body, error=None):
        self.status, self.headers, self.body, self.error = status, headers, body, error

    def html(self):
        ctype = self.headers.get("content-type", "")
        return self.status == 200 and ctype.startswith("text/html")


def request(site, method="GET", query="", fields=None, body=None, ctype=None, cookie=None):
    headers = {"Connection": "close"}
    if fields is not None:
        body = urllib.parse.urlencode(fields, encoding="cp1252").encode("ascii")
        ctype = "application/x-www-form-urlencoded"
    if ctype:
        headers["Content-Type"] = ctype
    if cookie:
        headers["Cookie"] = cookie
    conn = http.client.HTTPConnection("127.0.0.1", site.port, timeout=REQUEST_TIMEOUT)
    try:
        conn.request(method, "/cgi-bin/parlino" + ("?" + query if query else ""), body=body, headers=headers)
        r = conn.getresponse()
        data = r.read()
        return Response(r.status, {k.lower(): v for k, v in r.getheaders()}, data)
    except (OSError, http.client.HTTPException) as e:
        return Response(0, {}, b"", error=f"{type(e).__name__}: {e}")
    finally:
        conn.close()


def raw_request(site, head, body, close_write=True):
    """Sends bytes as they are; returns (status, headers, body) or an error."""
    s = socket.create_connection(("127.0.0.1", site.port), timeout=REQUEST_TIMEOUT)
    try:
        s.sendall(head + body)
        if close_write:
            s.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    except OSError as e:
        return Response(0, {}, b"", error=f"{type(e).__name__}: {e}")
    finally:
        s.close()
    data = b"".join(chunks)
    head_end = data.find(b"\r\n\r\n")
    if head_end < 0:
        return Response(0, {}, data, error="no response header")
    lines = data[:head_end].decode("latin-1").split("\r\n")
    m = re.match(r"HTTP/1\.[01] (\d+)", lines[0])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    r = Response(int(m.group(1)) if m else 0, headers, data[head_end + 4:])
    print(f"     raw request answered {r.status} {headers.get('content-type', '')}")
    return r


def post_fields(subject, text, name="Loader", email="load@example.org", reply=None):
    fields = {"NEWNAME": name, "NEWEMAIL": email, "NEWSUBJECT": subject, "NEWTEXT": text,
              "ACTION_NEWMESSAGE_POST": "Post"}
    if reply is not None:
        fields["REPLYID"] = str(reply)
    return fields


def remove_fields(rid):
    return {"NEWNAME": "tavik", "NEWEMAIL": "lumo", "NEWSUBJECT": "remove", "NEWTEXT": "x",
            "REPLYID": str(rid), "ACTION_NEWMESSAGE_POST": "Post"}


LINK = re.compile(rb'VIEWID=(-?\d+)&[^"]*">([^<]*)</A>')


class Ledger:
    """What the clients saw, shared by all of them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.posted = {}       # subject -> text, for every "posted" page
        self.removed = set()   # subjects whose removal page was seen
        self.failures = []     # (what, why)
        self.counts = {}
        self.error_pages = 0

    def count(self, what):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1

    def fail(self, what, why):
        with self.lock:
            self.failures.append((what, why))


def checked(ledger, what, r, allow_open_error=False):
    """A response must be a page; the forum's error page only where allowed."""
    ledger.count(what)
    if r.error or r.status == 0:
        ledger.fail(what, r.error or "no response")
        return False
    if r.status >= 500 or not r.html():
        ledger.fail(what, f"status {r.status}, type {r.headers.get('content-type')}")
        return False
    if b"<html><body>" in r.body and b"</body></html>\r\n" in r.body[-20:]:
        with ledger.lock:
            ledger.error_pages += 1
        if not (allow_open_error and OPEN_ERROR in r.body):
            ledger.fail(what, "error page: " + r.body[-300:].decode("cp1252", "replace"))
            return False
    return True


def client(site, ledger, number, deadline, seed):
    rng = random.Random(seed)
    mine = {}  # subject -> text of my posts not yet removed
    serial = 0
    while time.time() < deadline:
        op = rng.random()
        if op < 0.45 or not mine:
            serial += 1
            subject = f"load-{number}-{serial}-{rng.randrange(10**6)}"
            text = f"text of {subject}\r\nline two {rng.randrange(10**9)}"
            r = request(site, "POST", fields=post_fields(subject, text))
            if checked(ledger, "post", r) and POSTED in r.body:
                with ledger.lock:
                    ledger.posted[subject] = text
                mine[subject] = text
            elif r.html():
                ledger.fail("post", "not the posted page: " + r.body[-200:].decode("cp1252", "replace"))
        elif op < 0.65:
            r = request(site, "GET", query=rng.choice(["", "NOTHREAD=yes", "PAGE=1&ACTION_SEARCH_NEXT=1"]))
            checked(ledger, "list", r)
        else:
            r = request(site, "GET")
            if not checked(ledger, "list", r):
                continue
            ids = {s.decode("cp1252"): int(i) for i, s in LINK.findall(r.body)}
            if op < 0.85 and ids:
                rid = rng.choice(list(ids.values()))
                # A message removed meanwhile may lose its text first: the
                # view then gets the open error, which is allowed.
                r = request(site, "GET", query=f"VIEWID={rid}")
                checked(ledger, "view", r, allow_open_error=True)
            else:
                candidates = [s for s in mine if s in ids]
                if not candidates:
                    continue
                subject = rng.choice(candidates)
                r = request(site, "POST", fields=remove_fields(ids[subject]))
                if checked(ledger, "remove", r) and REMOVED in r.body:
                    with ledger.lock:
                        ledger.removed.add(subject)
                    del mine[subject]


def check_store(site, what):
    """The data file is whole records with unique numbers, each with its text."""
    data, records = site.records()
    ok = report(len(data) % RECORD == 0, f"{what}: the data file holds whole records", f"{len(data)} bytes")
    ids = [r[0] for r in records]
    ok &= report(len(ids) == len(set(ids)), f"{what}: no message number repeats",
                 f"{len(ids) - len(set(ids))} repeated")
    missing = [r[0] for r in records if site.text(r[0]) is None]
    ok &= report(not missing, f"{what}: every message has its text file", f"missing for {missing[:5]}")
    return ok, records


def check_posts_kept(site, ledger, records, what):
    by_subject = {}
    for rid, _, subject in records:
        by_subject.setdefault(subject.decode("cp1252"), []).append(rid)
    lost, wrong, doubled, kept_removed = [], [], [], []
    for subject, text in ledger.posted.items():
        ids = by_subject.get(subject, [])
        if subject in ledger.removed:
            if ids:
                kept_removed.append(subject)
            continue
        if not ids:
            lost.append(subject)
        elif len(ids) > 1:
            doubled.append(subject)
        elif site.text(ids[0]) != text.encode("cp1252"):
            wrong.append(subject)
    report(not lost, f"{what}: every post shown as posted is stored", f"{len(lost)} lost, e.g. {lost[:3]}")
    report(not wrong, f"{what}: every stored post keeps its text", f"e.g. {wrong[:3]}")
    report(not doubled, f"{what}: no post is stored twice", f"e.g. {doubled[:3]}")
    report(not kept_removed, f"{what}: removed posts are gone", f"e.g. {kept_removed[:3]}")


def load_phase(site, clients, seconds):
    ledger = Ledger()
    deadline = time.time() + seconds
    threads = [threading.Thread(target=client, args=(site, ledger, n, deadline, 1000 + n)) for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 4 * REQUEST_TIMEOUT)
    report(not any(t.is_alive() for t in threads), "load: every client finished in time")
    counts = ", ".join(f"{k} {v}" for k, v in sorted(ledger.counts.items()))
    print(f"     {clients} clients, {seconds} s: {counts}; {len(ledger.posted)} posted, "
          f"{len(ledger.removed)} removed, {ledger.error_pages} error pages")
    report(not ledger.failures, "load: no server error, broken connection or unexpected page",
           "; ".join(f"{w}: {y}" for w, y in ledger.failures[:5]) + f" ({len(ledger.failures)} in all)")
    report(len(ledger.posted) > 0, "load: posts were stored")
    ok, records = check_store(site, "load")
    check_posts_kept(site, ledger, records, "load")
    r = request(site, "GET")
    listed = {s.decode("cp1252") for _, s in LINK.findall(r.body)}
    missing = [s for s in ledger.posted if s not in ledger.removed and s not in listed]
    report(r.html() and not missing, "load: the list shows every stored post", f"missing {missing[:3]}")
    return ledger


def id_of(site, subject):
    for rid, _, s in reversed(site.records()[1]):
        if s == subject.encode("cp1252"):
            return rid
    return None


def page_ok(r):
    """A page of the forum or its error page: 200, HTML, a complete document."""
    return r.error is None and r.html() and r.body.rstrip().endswith(b"</html>")


def bad_input_phase(site, ledger):
    def expect_page(name, r, store_unchanged=None):
        report(page_ok(r), f"bad input: {name} gets a page",
               r.error or f"status {r.status} {r.headers.get('content-type')}: {r.body[-200:]!r}")
        if store_unchanged is not None:
            data, _ = site.records()
            report(data == store_unchanged, f"bad input: {name} stores nothing")

    def snapshot():
        return site.records()[0]

    before = snapshot()
    big = urllib.parse.urlencode(post_fields("oversized", "x" * 20000)).encode()
    expect_page("a body over the read limit", request(site, "POST", body=big,
                ctype="application/x-www-form-urlencoded"), before)

    expect_page("a malformed URL-encoded body",
                request(site, "POST", body=b"&&==%%%zz&=&NEWNAME&%G1=%\xff\x00\x01",
                        ctype="application/x-www-form-urlencoded"), before)
    expect_page("a multipart body without its end",
                request(site, "POST", body=b"--abcdefgh\r\nContent-Disposition: form-data; name=\"NEWNAME\"\r\n\r\nx",
                        ctype="multipart/form-data; boundary=abcdefgh"), before)
    expect_page("a multipart body with a short boundary",
                request(site, "POST", body=b"--a\r\n\r\n--a--\r\n", ctype="multipart/form-data; boundary=a"), before)
    expect_page("multipart garbage",
                request(site, "POST", body=bytes(random.Random(5).randrange(256) for _ in range(5000)),
                        ctype="multipart/form-data; boundary=zzz"), before)
    for label, extra in [("8-bit bytes", "\xe9\xfc\xff text"), ("a NUL byte", "before\x00after")]:
        subject = f"bad-{label.replace(' ', '-')}-{time.time_ns()}"
        r = request(site, "POST", body=urllib.parse.urlencode(post_fields(subject, extra), encoding="latin-1").encode(),
                    ctype="application/x-www-form-urlencoded")
        expect_page(f"a post with {label}", r)
        if POSTED in r.body:
            ledger.posted[subject] = extra
    long_subject = "L" * 9000
    r = request(site, "POST", fields=post_fields(long_subject, "t" * 9000))
    expect_page("very long fields", r)
    if POSTED in r.body:
        rid = id_of(site, "L" * 64)
        report(rid is not None and site.text(rid) == b"t" * 9000, "bad input: a long subject is cut to 64 bytes")
        if rid is not None:
            ledger.posted["L" * 64] = "t" * 9000
    expect_page("a very long query string", request(site, "GET", query="PAGE=1&" + "q" * 7000 + "=" + "%41" * 300))
    expect_page("a query string that is no number", request(site, "GET", query="VIEWID=%3Cb%3Ex&PAGE=-1"))
    expect_page("a NUL byte in the query", request(site, "GET", query="VIEWID=1%00&NOTHREAD=%00"))
    expect_page("a cookie of garbage", request(site, "GET", query="ACTION_NEWMESSAGE=1",
                                               cookie="NEWSGROUP=%FF%00%3Cscript%3E; ;;=;NEWSGROUP"))

    # Content-Length that lies. Shorter than the body: the program gets the
    # declared bytes; the rest is not a request. Longer: the client stops
    # sending; the server gives the program the end of its input.
    body = urllib.parse.urlencode(post_fields(f"liar-short-{time.time_ns()}", "short")).encode()
    head = (f"POST /cgi-bin/parlino HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 20\r\n\r\n").encode()
    r = raw_request(site, head, body)
    report(r.error is None and r.status < 500, "bad input: a Content-Length shorter than the body gets an answer",
           r.error or f"status {r.status}")
    before = snapshot()
    head = (f"POST /cgi-bin/parlino HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 5000\r\n\r\n").encode()
    started = time.time()
    r = raw_request(site, head, b"NEWNAME=a&NEWEMAIL=b&NEWSUBJECT=liar-long&NEWTEXT=t&ACTION_NEWMESSAGE_POST=Post")
    report(r.error is None and r.status < 500 and time.time() - started < REQUEST_TIMEOUT,
           "bad input: a Content-Length longer than the body gets an answer in time",
           r.error or f"status {r.status}")
    report(snapshot() == before, "bad input: a post cut short stores nothing")
    head = (f"POST /cgi-bin/parlino HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            f"Content-Type: multipart/form-data; boundary=abcdefgh\r\nContent-Length: 9000\r\n\r\n").encode()
    r = raw_request(site, head, b"--abcdefgh\r\nContent-Disposition: form-data; name=\"NEWNAME\"\r\n\r\nx\r\n--abc")
    report(r.error is None and r.status < 500, "bad input: a cut multipart body gets an answer",
           r.error or f"status {r.status}")
    head = (f"POST /cgi-bin/parlino HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: -7\r\n\r\n").encode()
    r = raw_request(site, head, b"NEWNAME=a")
    report(r.error is None and r.status < 500, "bad input: a negative Content-Length gets an answer",
           r.error or f"status {r.status}")

    # A chain of 300 replies, each answering the one before.
    chain_start = time.time_ns()
    parent = None
    chain_ok = True
    for depth in range(300):
        subject = f"chain-{chain_start}-{depth}"
        r = request(site, "POST", fields=post_fields(subject, f"depth {depth}", reply=parent))
        if not (page_ok(r) and POSTED in r.body):
            chain_ok = False
            break
        ledger.posted[subject] = f"depth {depth}"
        parent = id_of(site, subject)
    report(chain_ok and parent is not None, "bad input: 300 nested replies are stored")
    r = request(site, "GET")
    expect_page("the list with 300 nested replies", r)
    report(f"chain-{chain_start}-299".encode() in r.body, "bad input: the deepest reply is listed")
    if parent is not None:
        r = request(site, "GET", query=f"VIEWID={parent}")
        report(page_ok(r) and b"depth 299" in r.body, "bad input: the deepest reply can be viewed")
        r = request(site, "POST", fields={"REPLYID": str(parent), "ACTION_REPLYMESSAGE": "Reply"})
        report(page_ok(r) and f"RE: chain-{chain_start}-299".encode() in r.body, "bad input: the deepest reply can be answered")

    # A damaged data file: seven bytes after the last record.
    data_file = site.prefix + "_data.dat"
    with open(data_file, "ab") as f:
        f.write(b"garbage")
    expect_page("the list of a damaged data file", request(site, "GET"))
    subject = f"after-damage-{time.time_ns()}"
    r = request(site, "POST", fields=post_fields(subject, "stored after the damage"))
    expect_page("a post to a damaged data file", r)
    if POSTED in r.body:
        ledger.posted[subject] = "stored after the damage"
    data, _ = site.records()
    report(len(data) % RECORD == 0, "bad input: a post mends a damaged data file", f"{len(data)} bytes")

    # A page file that exists but cannot be read.
    command = site.prefix + "_command.htm"
    os.mkdir(command)
    try:
        r = request(site, "GET")
        expect_page("an unreadable page file", r)
        report(OPEN_ERROR in r.body, "bad input: an unreadable page file shows the open error")
    finally:
        os.rmdir(command)
    expect_page("the list once the page file is gone", request(site, "GET"))

    ok, records = check_store(site, "bad input")
    check_posts_kept(site, ledger, records, "bad input")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--short", action="store_true", help="5 seconds of load")
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--program", default=os.environ.get("PROGRAM", os.path.join(ROOT, "build", "parlino")))
    args = parser.parse_args()
    seconds = args.seconds or (5 if args.short else 30)
    if shutil.which("apache2") is None:
        print("FAIL load: apache2 is not installed (tools/deps.sh test installs it)")
        return 1
    try:
        site = Site(args.program)
    except (RuntimeError, subprocess.CalledProcessError) as e:
        print(f"FAIL load: the site could not be set up: {e}")
        return 1
    try:
        ledger = load_phase(site, args.clients, seconds)
        bad_input_phase(site, ledger)
    finally:
        site.stop()
        log = site.error_log()
        site.remove(os.path.join(ROOT, "build", "load"))
    bad = [l for l in log.splitlines()
           if re.search(r"segfault|Segmentation|AddressSanitizer|Premature end of script|malformed header|"
                        r"End of script output before headers|exit signal", l)]
    report(not bad, "the server's error log shows no crashed or broken program", "; ".join(bad[:3]))
    print(f"load test: {'FAILED' if failures else 'passed'}")
    print(f"{passes} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
