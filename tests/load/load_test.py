#!/usr/bin/env python3
# Load and bad-input test of the forum behind Apache on loopback, on a site
# that starts empty under $BUILD/load; the program tested is $PROGRAM
# (default $BUILD/parlino, BUILD default build).
# usage: tests/load/load_test.py [--short] [--clients N] [--seconds S]
# 1. Load: N clients (8) for S seconds (30; 5 with --short) post, list, view
#    and remove (as the administrator) at once. No answer may be a server
#    error or a broken connection; every post that got the "posted" page is
#    stored once with its text unless its removal was shown.
# 2. Bad input a web server passes on: an oversized body, Content-Length
#    lying both ways, a long query, a chain of 300 replies. Each gets a page
#    in time and no stored message is lost. Malformed bodies and cookies are
#    the fuzzers' (in-process, any bytes).
import argparse, collections, concurrent.futures, functools, os, random, re, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import BUILD, FORM, POSTED, RECORD, REMOVED, check, finish, serve  # noqa: E402

OPEN_ERROR = "kann nicht ge\xf6ffnet werden".encode("cp1252")
LINK = re.compile(rb'VIEWID=(-?\d+)&[^"]*">([^<]*)</A>')
MULTIPART = "multipart/form-data; boundary="
ok = functools.partial(check, "load")
lock = threading.Lock()
posted, removed, problems, counts = {}, set(), [], collections.Counter()


def message(subject, text, reply=None, name="Loader", email="load@example.org"):
    return dict(NEWNAME=name, NEWEMAIL=email, NEWSUBJECT=subject, NEWTEXT=text, ACTION_NEWMESSAGE_POST="Post",
                **({} if reply is None else {"REPLYID": str(reply)}))


def answered(what, r, want=b"", open_error_allowed=False):
    # Under load, an answer must be the page wanted; the forum's error page
    # only where the message may have gone meanwhile.
    why = "" if r.html else f"status {r.status}, type {r.headers.get('content-type')}: {r.text[-200:]}"
    error_page = b"<html><body>" in r.body and b"</body></html>\r\n" in r.body[-20:]
    if not why and (want not in r.body or error_page and not (open_error_allowed and OPEN_ERROR in r.body)):
        why = "unexpected page: " + r.text[-300:]
    with lock:
        counts[what] += 1
        problems.extend([f"{what}: {why}"] if why else [])
    return not why


def client(site, number, deadline):
    rng, mine = random.Random(1000 + number), {}
    while time.time() < deadline:
        op = rng.random()
        if op < 0.45 or not mine:
            subject = f"load-{number}-{counts['post']}-{rng.randrange(10**6)}"
            text = f"text of {subject}\r\nline two {rng.randrange(10**9)}"
            if answered("post", site.post(**message(subject, text)), POSTED):
                posted[subject] = mine[subject] = text
        elif op < 0.65:
            answered("list", site.request(rng.choice(["", "NOTHREAD=yes", "PAGE=1&ACTION_SEARCH_NEXT=1"])))
        else:
            r = site.request()
            ids = {s.decode("cp1252"): int(i) for i, s in LINK.findall(r.body)} if answered("list", r) else {}
            if op < 0.85 and ids:
                # The text of a message removed meanwhile may go first: its view then shows the open error.
                answered("view", site.request(f"VIEWID={rng.choice(list(ids.values()))}"), b"", True)
            elif [s for s in mine if s in ids]:
                subject = rng.choice([s for s in mine if s in ids])
                if answered("remove", site.post(**message("remove", "x", ids[subject], "tavik", "lumo")), REMOVED):
                    removed.add(subject)
                    del mine[subject]


def check_store(site, what):
    data, recs = site.records()
    ids = [r.id for r in recs]
    stored = lambda s: [site.text(r.id) for r in recs if r.subject == s.encode("cp1252")]  # noqa: E731
    wrong = [s for s, text in posted.items() if stored(s) != ([] if s in removed else [text.encode("cp1252")])]
    unlisted = set(posted) - removed - {s.decode("cp1252") for _, s in LINK.findall(site.request().body)}
    ok(f"{what}, the data file is whole records, each numbered once and with its text; every post shown as "
       "posted is there and listed, once, with its text; none whose removal was shown", len(data) % RECORD == 0
       and not wrong and not unlisted and len(set(ids)) == len(ids) and None not in [site.text(i) for i in ids],
       f"{len(data)} bytes, {len(ids) - len(set(ids))} numbers repeat, {len(wrong)} posts wrong, "
       f"e.g. {[(s, stored(s)) for s in wrong[:3]]}, {len(unlisted)} not listed")


def load(site, clients, seconds):
    deadline = time.time() + seconds
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        list(pool.map(lambda n: client(site, n, deadline), range(clients)))  # a client's exception goes on up
    print(f"     {clients} clients, {seconds} s: {dict(counts)}; {len(posted)} posted, {len(removed)} removed")
    ok("under load, no server error, broken connection or unexpected page; posts were stored and removed",
       posted and removed and not problems, f"{problems[:5]} ({len(problems)} in all)")
    check_store(site, "under load")


def bad_input(site):
    cut = b'--abcdefgh\r\nContent-Disposition: form-data; name="NEWNAME"\r\n\r\nx'
    liar = b"NEWNAME=a&NEWEMAIL=b&NEWSUBJECT=liar&NEWTEXT=t&ACTION_NEWMESSAGE_POST=Post"
    for name, request in (  # each is answered in time and stores nothing
            ("a body over the read limit", dict(fields=message("oversized", "x" * 20000))),
            ("a very long query string", dict(query="PAGE=1&" + "q" * 7000 + "=" + "%41" * 300)),
            # Lying lengths: the program reads the declared bytes, or, when the
            # client stops sending early, the end of its input, and waits no more.
            ("a Content-Length shorter than the body", dict(body=liar, ctype=FORM, length=20)),
            ("a Content-Length longer than the body", dict(body=liar, ctype=FORM, length=5000)),
            ("a cut multipart body", dict(body=cut + b"\r\n--abc", ctype=MULTIPART + "abcdefgh", length=9000)),
            ("a negative Content-Length", dict(body=b"NEWNAME=a", ctype=FORM, length=-7))):
        before, r = site.records()[0], site.request(**request)
        # A page, or where the server itself turns a lying length away, its own answer.
        ok(f"bad input: {name} is answered in time and stores nothing", site.records()[0] == before
           and (r.page or "length" in request and 0 < r.status < 500), f"{r.status} {r.headers} {r.body[-200:]!r}")

    parent, depth = None, 0
    while depth < 300 and POSTED in site.post(**message(f"chain-{depth}", f"depth {depth}", parent)).body:
        posted[f"chain-{depth}"] = f"depth {depth}"
        parent = [x.id for x in site.records()[1] if x.subject == f"chain-{depth}".encode()][0]
        depth += 1
    chain, view = site.request(), site.request(f"VIEWID={parent}")
    answer = site.post(REPLYID=str(parent), ACTION_REPLYMESSAGE="Reply")
    ok("bad input: a chain of 300 replies, each to the one before, is stored; the deepest is listed, can be "
       "viewed and answered", depth == 300 and chain.page and b"chain-299" in chain.body and view.page
       and b"depth 299" in view.body and answer.page and b"RE: chain-299" in answer.body, f"depth {depth}")

    check_store(site, "after bad input")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--short", action="store_true", help="5 seconds of load")
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--seconds", type=float)
    args = parser.parse_args()
    serve("load", "apache", os.path.join(BUILD, "load"), "Password=lumo\r\nEntries=100000\r\n",
          lambda site: (load(site, args.clients, args.seconds or (5 if args.short else 30)), bad_input(site)))
    finish("load")
