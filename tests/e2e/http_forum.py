#!/usr/bin/env python3
# The forum through real web servers: over HTTP behind Apache and lighttpd,
# then in Chromium (browser.mjs) behind Apache, then behind Apache with a
# resident server, each on a site of its own under $BUILD/e2e; last, a
# second `make serve`. Prints a PASS or FAIL line per check.
import functools, os, re, subprocess
from harness import BUILD, POSTED, PROGRAM, RECORD, REMOVED, ROOT, check, finish, read, rows, serve, sh, tally

HERE, OUT = os.path.dirname(os.path.abspath(__file__)), os.path.join(BUILD, "e2e")
# A caption of our own proves that the settings file beside the program is read.
SETTINGS = "Password=lumo\r\nEntries=25\r\nTimeCaption=Posted\r\n"


def forum(site):
    ok, escaped = functools.partial(check, site.kind), "Hello &lt;world&gt; & &quot;you&quot;"
    stored = site.post('Hello <world> & "you"', "line1\r\nline2", name="Tom & Jerry", email="tom@example.org ")
    cookie, (data, recs) = stored.headers.get("set-cookie", ""), site.records()
    first = recs[0].id if recs else -1
    ok("a post sets the cookie and stores one record (subject escaped) and its text byte for byte",
       POSTED in stored.body and cookie.startswith("NEWSGROUP=") and len(data) == RECORD
       and recs[0][1:] == (0, escaped.encode(), b"Tom & Jerry", b"tom@example.org ")
       and site.text(first) == b"line1\r\nline2", f"{cookie} {recs} {stored.text[:500]}")
    page, view = site.request(), site.request(f"VIEWID={first}&NOTHREAD=&PAGE=1")
    ok("the list, one status line, shows its headings and the message's number, subject, sender, date and a "
       "link keeping list mode and page", page.html and page.status_lines == 1
       and "<TR><TH WIDTH=1></TH><TH>Subject</TH><TH>Sender</TH><TH>Posted</TH></TR>" in page.text
       and [r[:5] + (bool(re.fullmatch(r"\d\d\.\d\d\.\d{4}( \d\d:\d\d:\d\d)?", r[5])),) for r in rows(page)]
       == [(1, 0, first, escaped, "Tom & Jerry", True)]
       and f'<A HREF="/cgi-bin/parlino?VIEWID={first}&NOTHREAD=&PAGE=1">' in page.text, page.text[-1500:])
    ok("the view shows sender, mail link, subject and text, and answers to the message", all(s in view.text for s in (
       "Tom & Jerry", "MAILTO:tom@example.org ", escaped, "line1\r<BR>line2<BR><BR><BR>",
       f'name="REPLYID" value="{first}"')), view.text[:1500])

    site.post("Second", "two")
    stored = site.post("RE: Hello", ">line1\r\n>line2\r\nright", first)
    recs, threaded, flat = site.records()[1], site.request(), site.request("NOTHREAD=yes")
    second, reply = (recs[1].id, recs[2].id) if len(recs) == 3 else (-1, -1)
    ok("a reply is stored linked to its message; the threaded list indents it, the flat one (box checked) "
       "lists all newest first", POSTED in stored.body and recs[-1].reply == first and "CHECKED" in flat.text
       and [x[1:3] for x in rows(threaded) + rows(flat)] == [(0, second), (0, first), (1, reply)]
       + [(0, reply), (0, second), (0, first)], f"{recs} {rows(threaded)} {rows(flat)}")

    body, ctype = (read(f"{ROOT}/tests/data/multipart/forum_post{x}") for x in (".body", ".type"))
    sent = dict(re.findall(rb'name="(NEWSUBJECT|NEWTEXT)"\r\n\r\n(.*?)\r\n--', body, re.S))
    stored, recs = site.request(body=body, ctype=ctype.decode().split(":", 1)[1].strip()), site.records()[1]
    ok("a multipart post is stored with its subject and text byte for byte", POSTED in stored.body
       and recs[-1].subject == sent[b"NEWSUBJECT"] and site.text(recs[-1].id) == sent[b"NEWTEXT"], recs[-1])

    size, wrong = len(site.records()[0]), site.post("remove", "x", first, "tavik", "lumo ")
    gone, view = site.post("remove", "bye", first, "tavik", "lumo"), site.request(f"VIEWID={first}")
    data, recs = site.records()
    ok("with a wrong password the administrator's name just posts; with the right one it removes a message and "
       "its text, keeping the old data file; its reply starts a thread; its view shows the list",
       POSTED in wrong.body and REMOVED in gone.body and len(data) == size
       and site.text(first) is None and first not in [x.id for x in recs]
       and [x.reply for x in recs if x.id == reply] == [0] and os.path.getsize(site.file("_data.old")) == size + RECORD
       and '<INPUT TYPE=HIDDEN NAME="PAGE" VALUE="1">' in view.text, f"{wrong.text[-99:]} {gone.text[-99:]} {recs[:3]}")


def browser(site):
    run = subprocess.run(["node", f"{HERE}/browser.mjs", f"http://127.0.0.1:{site.port}/cgi-bin/parlino", OUT],
                         stdout=subprocess.PIPE, text=True, timeout=600)
    print(run.stdout, end="")
    tally.update(re.findall(r"(?m)^(PASS|FAIL) ", run.stdout))
    check("browser", "the browser script ends well", run.returncode == 0,
          f"exit {run.returncode}; where playwright-core is missing, $BUILD/e2e/npm.log tells why")


def second_serve():
    site, port = os.path.join(OUT, "serve"), sh("site_free_port")
    env = dict(os.environ, WWW=site, DATA=f"{site}/data", PORT=port, PROGRAM=PROGRAM)
    first = subprocess.Popen([f"{ROOT}/tools/serve.sh"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)  # prefork signals its whole process group
    try:
        sh('for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.1; done', f"{site}/run/apache.pid")
        again = subprocess.run([f"{ROOT}/tools/serve.sh"], env=dict(env, PORT=sh("site_free_port")), text=True,
                               capture_output=True, timeout=30)
        check("serve", "a second start of a served site refuses, names the running address, keeps its configuration",
              again.returncode == 1 and f"http://127.0.0.1:{port}/" in again.stderr
              and f"Listen 127.0.0.1:{port}\n" in read(f"{site}/run/apache.conf").decode(), again.stderr)
    finally:
        first.terminate()
        first.wait()


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


if __name__ == "__main__":
    for label, kind, test in (("apache", "apache", forum), ("lighttpd", "lighttpd", forum),
                              ("browser", "apache", browser), ("resident", "apache", resident)):
        serve(label, kind, os.path.join(OUT, label), SETTINGS, test)
    second_serve()
    finish("End-to-end")
