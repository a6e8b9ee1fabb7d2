#!/usr/bin/env python3
# Load test of the forum behind Apache on loopback, on a site
# that starts empty under $BUILD/load; the program tested is $PROGRAM
# (default $BUILD/parlino, BUILD default build).
# usage: tests/load/load_test.py [--short]
# 8 clients for 30 seconds (5 with --short) post, list, view and remove (as
# the administrator) at once. No answer may be a server error or a broken
# connection; then every post that got the "posted" page must be stored once
# with its text unless its removal was shown.
# Malformed or oversized bodies, cookies and lengths, and deep threads, are
# the fuzzers', the engine tests' and the list test's (in-process); a long
# query string is held in a std::string like any other field data.
import collections, concurrent.futures, os, random, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import BUILD, POSTED, RECORD, REMOVED, check, finish, rows, serve  # noqa: E402

OPEN_ERROR = "kann nicht ge\xf6ffnet werden".encode("cp1252")
lock = threading.Lock()
posted, removed, problems, counts = {}, set(), [], collections.Counter()


def answered(what, r, want=b"", open_error_allowed=False):
    # Under load, an answer must be the page wanted; the forum's error page
    # only where the message may have gone meanwhile.
    error_page = b"<html><body>" in r.body and b"</body></html>\r\n" in r.body[-20:]
    bad = not r.html or want not in r.body or error_page and not (open_error_allowed and OPEN_ERROR in r.body)
    with lock:
        counts[what] += 1
        problems.extend([f"{what}: status {r.status}, {r.headers.get('content-type')}: {r.text[-300:]}"] if bad else [])
    return not bad


def client(site, number, deadline):
    rng, mine = random.Random(1000 + number), {}
    while time.time() < deadline:
        op = rng.random()
        if op < 0.45 or not mine:
            subject = f"load-{number}-{counts['post']}-{rng.randrange(10**6)}"
            text = f"text of {subject}\r\nline two {rng.randrange(10**9)}"
            if answered("post", site.post(subject, text), POSTED):
                posted[subject] = mine[subject] = text
            continue
        r = site.request(rng.choice(["", "NOTHREAD=yes", "PAGE=1&ACTION_SEARCH_NEXT=1"]))
        ids = {row[3]: row[2] for row in rows(r)} if answered("list", r) else {}
        if op < 0.75 and ids:
            # The text of a message removed meanwhile may go first: its view then shows the open error.
            answered("view", site.request(f"VIEWID={rng.choice(list(ids.values()))}"), b"", True)
        elif [s for s in mine if s in ids]:
            subject = rng.choice([s for s in mine if s in ids])
            if answered("remove", site.post("remove", "x", ids[subject], "tavik", "lumo"), REMOVED):
                removed.add(subject)
                del mine[subject]


def load(site, clients, seconds):
    deadline = time.time() + seconds
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        list(pool.map(lambda n: client(site, n, deadline), range(clients)))  # a client's exception goes on up
    check("load", f"{clients} clients, {seconds} s ({dict(counts)}; {len(posted)} posted, {len(removed)} removed): no "
          "server error, broken connection or unexpected page; posts were stored and removed",
          posted and removed and not problems, f"{problems[:5]} ({len(problems)} in all)")
    data, recs = site.records()
    ids = [r.id for r in recs]
    stored = lambda s: [site.text(r.id) for r in recs if r.subject == s.encode("cp1252")]  # noqa: E731
    wrong = [s for s, text in posted.items() if stored(s) != ([] if s in removed else [text.encode("cp1252")])]
    # That the list shows what the data file holds is the list test's (in-process).
    check("load", "the data file is whole records, each numbered once and with its text; every post shown as posted is "
          "there, once, with its text; none whose removal was shown", len(data) % RECORD == 0 and not wrong
          and len(set(ids)) == len(ids) and None not in [site.text(i) for i in ids],
          f"{len(data)} bytes, {len(ids) - len(set(ids))} numbers repeat, {len(wrong)} posts wrong, "
          f"e.g. {[(s, stored(s)) for s in wrong[:3]]}")


if __name__ == "__main__":
    serve("load", "apache", os.path.join(BUILD, "load"), "Password=lumo\r\nEntries=100000\r\n", lambda site: load(
        site, 8, 5 if sys.argv[1:] == ["--short"] else 30))
    finish("load")
