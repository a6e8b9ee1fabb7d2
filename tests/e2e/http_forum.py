#!/usr/bin/env python3
# The forum through real web servers, each on a site of its own under
# $BUILD/e2e: over HTTP behind Apache and lighttpd, in Chromium (browser.mjs)
# behind Apache, behind Apache with a resident server; then resident as a
# FastCGI process behind nginx (with a body over the read limit and a client
# leaving mid-body) and lighttpd's mod_fastcgi, and in Chromium behind nginx.
# Prints a PASS or FAIL line per check.
import functools, os, re, socket, subprocess
from harness import BUILD, POSTED, REMOVED, ROOT, check, finish, read, rows, serve, sh, tally

HERE, OUT = os.path.dirname(os.path.abspath(__file__)), os.path.join(BUILD, "e2e")
# A caption of our own proves that the settings file beside the program is read.
SETTINGS = "Password=lumo\r\nEntries=25\r\nTimeCaption=Posted\r\n"


def forum(site):
    # List layout, dates, links and the removal's backup file are the list and store tests' (in-process).
    ok, escaped = functools.partial(check, os.path.basename(site.out)), "Hello &lt;world&gt; & &quot;you&quot;"
    stored = site.post('Hello <world> & "you"', "line1\r\nline2", name="Tom & Jerry", email="tom@example.org ")
    recs = site.records()[1]
    first = recs[0].id if recs else -1
    page, view = site.request(), site.request(f"VIEWID={first}")
    ok("a post sets the cookie and stores its record (subject escaped) and text byte for byte; the list, one "
       "status line, shows it; the view shows sender, mail link, subject and text",
       POSTED in stored.body and stored.headers.get("set-cookie", "").startswith("NEWSGROUP=")
       and [r[1:] for r in recs] == [(0, escaped.encode(), b"Tom & Jerry", b"tom@example.org ")]
       and site.text(first) == b"line1\r\nline2" and page.status_lines == 1 and "<TH>Posted</TH>" in page.text
       and [r[:5] for r in rows(page)] == [(1, 0, first, escaped, "Tom & Jerry")] and all(s in view.text for s in (
           "MAILTO:tom@example.org ", escaped, "line1\r<BR>line2<BR>")), f"{recs} {page.text[-999:]} {view.text[:999]}")

    site.post("Second", "two")
    stored = site.post("RE: Hello", ">line1\r\nright", first)
    recs, threaded, flat = site.records()[1], site.request(), site.request("NOTHREAD=yes")
    ok("a reply is stored linked to its message; the threaded list indents it, the flat one (box checked) "
       "lists all newest first", POSTED in stored.body and recs[-1].reply == first and "CHECKED" in flat.text
       and [(x[1], x[3]) for x in rows(threaded) + rows(flat)] == [(0, "Second"), (0, escaped), (1, "RE: Hello")]
       + [(0, "RE: Hello"), (0, "Second"), (0, escaped)], f"{recs} {rows(threaded)} {rows(flat)}")

    body, ctype = (read(f"{ROOT}/tests/data/multipart/forum_post{x}") for x in (".body", ".type"))
    sent = dict(re.findall(rb'name="(NEWSUBJECT|NEWTEXT)"\r\n\r\n(.*?)\r\n--', body, re.S))
    stored, recs = site.request(body=body, ctype=ctype.decode().split(":", 1)[1].strip()), site.records()[1]
    ok("a multipart post is stored with its subject and text byte for byte", POSTED in stored.body
       and recs[-1].subject == sent[b"NEWSUBJECT"] and site.text(recs[-1].id) == sent[b"NEWTEXT"], recs[-1])

    wrong, gone = [site.post("remove", "x", first, "tavik", password) for password in ("lumo ", "lumo")]
    recs = site.records()[1]
    ok("with a wrong password the administrator's name just posts; with the right one it removes a message and "
       "its text, and its reply starts a thread", POSTED in wrong.body and REMOVED in gone.body
       and site.text(first) is None and first not in [x.id for x in recs]
       and [x.reply for x in recs if x.subject == b"RE: Hello"] == [0], f"{wrong.text[-99:]} {recs[:3]}")


def browser(site):
    run = subprocess.run(["node", f"{HERE}/browser.mjs", f"http://127.0.0.1:{site.port}/cgi-bin/parlino", OUT],
                         stdout=subprocess.PIPE, text=True, timeout=600)
    print(run.stdout, end="")
    tally.update(re.findall(r"(?m)^(PASS|FAIL) ", run.stdout))
    check("browser", "the browser script ends well", run.returncode == 0,
          f"exit {run.returncode}; where playwright-core is missing, $BUILD/e2e/npm.log tells why")


def resident(site):
    # Every visit again, handed over to a resident server, whose process is seen writing the page.
    bin_dir = os.path.join(site.root, "cgi-bin", "bin")
    pid = sh('site_resident_start "$1" && pgrep -o -f "^$1/parlino$"', bin_dir)
    written = lambda: int(re.search(rb"wchar: (\d+)", read(f"/proc/{pid}/io"))[1])  # noqa: E731
    try:
        before, page = written(), site.request()
        check("resident", "a list page comes from the resident server", written() - before >= len(page.body) > 0)
        forum(site)
    finally:
        os.remove(os.path.join(bin_dir, "Temp", "parlino_S"))  # the server ends at its next look


def limits(site):
    # A body over the read limit gets the page without its fields; a client
    # that leaves mid-body costs nothing: the next visitor is served.
    big = site.post("big", "x" * 20000)
    with socket.create_connection(("127.0.0.1", site.port), timeout=10) as s:
        s.sendall(b"POST /cgi-bin/parlino HTTP/1.0\r\nContent-Length: 5000\r\n\r\nNEWSUBJECT=half")
    check("nginx", "a body over the read limit gets a page and stores nothing; a client leaving mid-body does no harm",
          big.html and site.records()[1] == [] and site.request().html, big.text[:300])
    forum(site)


if __name__ == "__main__":
    for label, kind, test in (("apache", "apache", forum), ("lighttpd", "lighttpd", forum),
                              ("browser", "apache", browser), ("resident", "apache", resident),
                              ("nginx", "nginx", limits), ("lighttpd-fastcgi", "lighttpd_fastcgi", forum),
                              ("browser-nginx", "nginx", browser)):
        serve(label, kind, os.path.join(OUT, label), SETTINGS, test)
    finish("End-to-end")
