#!/usr/bin/env python3
"""Drives the forum over HTTP through a real web server.

usage: http_forum.py BASE_URL DATA_DIR LABEL [MULTIPART_DIR]

BASE_URL is the program's URL (http://127.0.0.1:PORT/cgi-bin/parlino),
DATA_DIR the forum's data directory on this machine, which must start empty.
Prints one "PASS label: check" or "FAIL label: check: why" line per check.
"""
import html
import http.client
import http.cookiejar
import os
import re
import socket
import struct
import sys
import urllib.parse
import urllib.request

BASE, DATA, LABEL = sys.argv[1], sys.argv[2], sys.argv[3]
MULTIPART_DIR = sys.argv[4] if len(sys.argv) > 4 else ""
URL = urllib.parse.urlsplit(BASE)
HOST, PORT, SCRIPT = URL.hostname, URL.port, URL.path
RECORD = 180
failures = 0


def check(name, condition, why=""):
    global failures
    if condition:
        print(f"PASS {LABEL}: {name}")
    else:
        failures += 1
        print(f"FAIL {LABEL}: {name}: {why}")
    return condition


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body
        self.text = body.decode("cp1252", "replace")

    def header(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]


def request(method="GET", query="", fields=None, cookie=None, body=None, ctype=None):
    """One request on a fresh connection; fields are URL-encoded into the body."""
    headers = {"Connection": "close"}
    if fields is not None:
        body = urllib.parse.urlencode(fields, encoding="cp1252").encode("ascii")
        ctype = "application/x-www-form-urlencoded"
    if ctype:
        headers["Content-Type"] = ctype
    if cookie:
        headers["Cookie"] = cookie
    conn = http.client.HTTPConnection(HOST, PORT, timeout=20)
    conn.request(method, SCRIPT + ("?" + query if query else ""), body=body, headers=headers)
    r = conn.getresponse()
    res = Response(r.status, r.getheaders(), r.read())
    conn.close()
    return res


def post(**fields):
    return request("POST", fields=fields)


def raw(request_bytes):
    """The response exactly as the server sent it."""
    with socket.create_connection((HOST, PORT), timeout=20) as s:
        s.sendall(request_bytes)
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
    return b"".join(chunks)


ROW = re.compile(
    r'<TR><TD>(\d+)</TD><TD BGCOLOR="WHITE" WIDTH=65% NOWRAP>((?:&nbsp;)*)'
    r'<A HREF="([^"]*)">(.*?)</A></TD><TD BGCOLOR="WHITE" NOWRAP>(.*?)</TD>'
    r'<TD BGCOLOR="WHITE" NOWRAP WIDTH=10%>(.*?)</TD></TR>\r\n')


def rows(page):
    """(number, indent steps, view id, subject, name, time) of every list row."""
    out = []
    for m in ROW.finditer(page.text):
        href = m.group(3)
        vid = re.search(r"\?VIEWID=(\d+)&", href)
        out.append((int(m.group(1)), len(m.group(2)) // 18, int(vid.group(1)) if vid else -1,
                    m.group(4), m.group(5), m.group(6)))
    return out


def buttons(page):
    return [n for n in ("ACTION_SEARCH_FIRST", "ACTION_SEARCH_PREV", "ACTION_SEARCH_NEXT")
            if f'<INPUT TYPE=SUBMIT NAME="{n}"' in page.text]


def records():
    path = os.path.join(DATA, "parlino_data.dat")
    data = open(path, "rb").read() if os.path.exists(path) else b""
    out = []
    for i in range(0, len(data) - len(data) % RECORD, RECORD):
        r = data[i:i + RECORD]
        text = lambda a, n: r[a:a + n].split(b"\0", 1)[0]
        rid, reply = struct.unpack_from("<ii", r, 148)
        out.append({"subject": text(0, 65), "email": text(65, 49), "name": text(114, 33),
                    "id": rid, "reply": reply})
    return out, len(data)


def body_of(mid):
    path = os.path.join(DATA, f"parlino_{mid}.txt")
    return open(path, "rb").read() if os.path.exists(path) else None


def input_value(page, name):
    m = re.search(r'<input[^>]*name="?%s"?[^>]*value="([^"]*)"' % name, page.text, re.I)
    if not m:
        m = re.search(r'<input[^>]*value="([^"]*)"[^>]*name="?%s"?' % name, page.text, re.I)
    # As a browser reads it: entities in the attribute are resolved.
    return html.unescape(m.group(1)) if m else None


def textarea(page, name):
    m = re.search(r'<textarea[^>]*name="?%s"?[^>]*>(.*?)</textarea>' % name, page.text, re.I | re.S)
    return m.group(1) if m else None


def write_settings():
    # The data directory is found beside the program's parent directory; a
    # caption of our own proves the settings file there is read.
    with open(os.path.join(DATA, "parlino.ini"), "w") as f:
        f.write("[Parameters]\r\nPassword=lumo\r\nEntries=25\r\nTimeCaption=Posted\r\n")


def main():
    write_settings()

    # The empty forum.
    page = request()
    check("empty forum answers 200 with HTML", page.status == 200
          and page.header("Content-Type") and page.header("Content-Type")[0].startswith("text/html"),
          f"{page.status} {page.headers}")
    check("list page carries its page number and headings",
          '<INPUT TYPE=HIDDEN NAME="PAGE" VALUE="1">' in page.text
          and "<TR><TH WIDTH=1></TH><TH>Subject</TH><TH>Sender</TH><TH>Posted</TH></TR>" in page.text,
          page.text[:2000])
    check("empty list has no rows and no paging buttons", rows(page) == [] and buttons(page) == [],
          f"{rows(page)} {buttons(page)}")
    check("list page offers New Message and No Replies",
          'name="ACTION_NEWMESSAGE"' in page.text.replace("NAME=", "name=")
          and 'name="nothread"' in page.text.replace("NAME=", "name="), page.text[:2000])

    # Exactly one status line, as the client sees the bytes.
    for what, req in (
            ("GET", b"GET %s HTTP/1.0\r\nHost: x\r\n\r\n" % SCRIPT.encode()),
            ("POST", b"POST %s HTTP/1.0\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded"
                     b"\r\nContent-Length: 24\r\n\r\nACTION_NEWMESSAGE=New+Me" % SCRIPT.encode())):
        data = raw(req)
        status_lines = re.findall(rb"(?m)^HTTP/1\.[01] \d\d\d", data)
        check(f"raw {what} response has exactly one status line, 200",
              data.startswith(b"HTTP/1.") and data[9:12] == b"200" and len(status_lines) == 1,
              repr(data[:300]))

    # The new-message form of a visitor without cookie.
    form = post(ACTION_NEWMESSAGE="New Message")
    check("new message form is empty for a new visitor",
          form.status == 200 and input_value(form, "NEWNAME") == "" and input_value(form, "NEWEMAIL") == " "
          and input_value(form, "REPLYID") == "0" and textarea(form, "NEWTEXT") == "",
          form.text[:3000])

    # A post through the form's fields.
    subject = 'Hello <world> & "you"'
    stored = post(REPLYID="0", thread="", PAGE="1", NEWNAME="Tom & Jerry", NEWEMAIL="tom@example.org ",
                  NEWSUBJECT=subject, NEWTEXT="line1\r\nline2", ACTION_NEWMESSAGE_POST="Post")
    check("post shows the stored page", stored.status == 200 and "Your message have been posted !" in stored.text,
          stored.text[:2000])
    cookies = stored.header("Set-Cookie")
    check("post sets the NEWSGROUP cookie", any(c.startswith("NEWSGROUP=") for c in cookies), str(stored.headers))
    recs, size = records()
    check("post appends one 180-byte record", size == RECORD and len(recs) == 1, f"size {size}")
    first = recs[0]["id"] if recs else -1
    check("record holds the escaped subject, name and e-mail",
          recs and recs[0]["subject"] == b"Hello &lt;world&gt; & &quot;you&quot;"
          and recs[0]["name"] == b"Tom & Jerry" and recs[0]["email"] == b"tom@example.org "
          and recs[0]["reply"] == 0, str(recs))
    check("text file holds the body's bytes", body_of(first) == b"line1\r\nline2", repr(body_of(first)))

    page = request()
    r = rows(page)
    check("list shows the message with its link", len(r) == 1 and r[0][:5] ==
          (1, 0, first, "Hello &lt;world&gt; & &quot;you&quot;", "Tom & Jerry")
          and re.fullmatch(r"\d\d\.\d\d\.\d{4}( \d\d:\d\d:\d\d)?", r[0][5]) is not None, str(r))
    check("list link carries list mode and page",
          f'<A HREF="{SCRIPT}?VIEWID={first}&NOTHREAD=&PAGE=1">' in page.text, page.text[:3000])

    view = request(query=f"VIEWID={first}&NOTHREAD=&PAGE=1")
    check("view shows sender, mail link, subject and text",
          view.status == 200 and "Tom & Jerry" in view.text and "MAILTO:tom@example.org " in view.text
          and "Hello &lt;world&gt; & &quot;you&quot;" in view.text
          and "line1\r<BR>line2<BR><BR><BR>" in view.text
          and input_value(view, "REPLYID") == str(first), view.text[:3000])

    # Reply form: subject and quoted body, name and e-mail from the cookie.
    jar = http.cookiejar.CookieJar()
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))
    opener.open(urllib.request.Request(BASE, data=urllib.parse.urlencode(dict(
        REPLYID="0", NEWNAME="Anna Beispiel", NEWEMAIL="anna@example.org", NEWSUBJECT="Second",
        NEWTEXT="two", ACTION_NEWMESSAGE_POST="Post")).encode()), timeout=20).read()
    check("a standard client keeps the NEWSGROUP cookie", any(c.name == "NEWSGROUP" for c in jar), str(list(jar)))
    with opener.open(urllib.request.Request(BASE, data=urllib.parse.urlencode(dict(
            ACTION_NEWMESSAGE="New Message")).encode()), timeout=20) as r:
        form = Response(r.status, r.getheaders(), r.read())
    check("next new-message form is filled from the cookie",
          input_value(form, "NEWNAME") == "Anna Beispiel" and input_value(form, "NEWEMAIL") == "anna@example.org ",
          f"{input_value(form, 'NEWNAME')!r} {input_value(form, 'NEWEMAIL')!r}")
    raw_cookie = "; ".join(c.split(";", 1)[0] for c in cookies)
    form = request("POST", fields={"ACTION_NEWMESSAGE": "New Message"}, cookie=raw_cookie)
    check("a name with a blank and an ampersand survives the cookie",
          input_value(form, "NEWNAME") == "Tom & Jerry" and input_value(form, "NEWEMAIL") == "tom@example.org  ",
          f"{input_value(form, 'NEWNAME')!r} {input_value(form, 'NEWEMAIL')!r}")

    reply_form = post(ACTION_REPLYMESSAGE="Reply", REPLYID=str(first), PAGE="1", thread="")
    check("reply form offers RE: and the quoted text",
          input_value(reply_form, "NEWSUBJECT") == 'RE: Hello <world> & "you"'
          and textarea(reply_form, "NEWTEXT") == ">line1\r\n>line2\r\n"
          and input_value(reply_form, "REPLYID") == str(first), reply_form.text[:3000])
    stored = post(REPLYID=str(first), thread="", PAGE="1", NEWNAME="Anna Beispiel", NEWEMAIL="anna@example.org",
                  NEWSUBJECT="RE: Hello", NEWTEXT=">line1\r\n>line2\r\nright", ACTION_NEWMESSAGE_POST="Post")
    check("reply is stored", "Your message have been posted !" in stored.text, stored.text[:2000])
    recs, _ = records()
    reply = recs[-1]["id"] if recs else -1
    check("reply record links to its message", len(recs) == 3 and recs[-1]["reply"] == first, str(recs))
    r = rows(request())
    check("threaded list indents the reply under its message",
          len(recs) == 3 and [(x[1], x[2]) for x in r] == [(0, recs[1]["id"]), (0, first), (1, reply)], str(r))
    flat = request(query="NOTHREAD=yes")
    r = rows(flat)
    check("flat list shows newest first without indentation",
          len(recs) == 3 and [(x[1], x[2]) for x in r] == [(0, reply), (0, recs[1]["id"]), (0, first)]
          and "CHECKED" in flat.text, str(r))

    # Refused posts store nothing and set no cookie.
    for what, fields in (
            ("empty text", dict(NEWNAME="a", NEWEMAIL="b", NEWSUBJECT="c", NEWTEXT="")),
            ("admin with another subject", dict(NEWNAME="tavik", NEWEMAIL="lumo", NEWSUBJECT="x", NEWTEXT="y"))):
        refused = post(REPLYID=str(first), ACTION_NEWMESSAGE_POST="Post", **fields)
        check(f"post with {what} is refused", "Message not stored !" in refused.text
              and not refused.header("Set-Cookie") and records()[1] == 3 * RECORD, refused.text[:2000])

    # A multipart post, as a browser or curl sends it.
    body_path = os.path.join(MULTIPART_DIR, "forum_post.body")
    if MULTIPART_DIR and os.path.exists(body_path):
        body = open(body_path, "rb").read()
        ctype = open(os.path.join(MULTIPART_DIR, "forum_post.type"), "rb").read().decode().strip()
        ctype = ctype.split(":", 1)[1].strip() if ctype.lower().startswith("content-type:") else ctype
    else:
        boundary = "----parlinoe2e7361"
        parts = [("NEWNAME", "Anna Beispiel"), ("NEWEMAIL", "anna@example.org"), ("NEWSUBJECT", "Hello & welcome"),
                 ("NEWTEXT", "Hi all,\r\n\r\nthis is my first post.\r\nBye\r\n"), ("ACTION_NEWMESSAGE_POST", "Send")]
        body = b"".join(b'--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
                        % (boundary.encode(), n.encode(), v.encode()) for n, v in parts) + b"--%s--\r\n" % boundary.encode()
        ctype = "multipart/form-data; boundary=" + boundary
    boundary = ctype.split("boundary=", 1)[1].strip('"').encode()
    expected = {}
    for part in body.split(b"--" + boundary)[1:-1]:
        head, _, value = part[2:].partition(b"\r\n\r\n")
        expected[re.search(rb'name="([^"]*)"', head).group(1).decode()] = value[:-2]
    stored = request("POST", body=body, ctype=ctype)
    check("multipart post is stored", "Your message have been posted !" in stored.text, stored.text[:2000])
    recs, _ = records()
    check("multipart post keeps its text byte for byte",
          recs and recs[-1]["subject"] == expected["NEWSUBJECT"] and body_of(recs[-1]["id"]) == expected["NEWTEXT"],
          f"{recs[-1] if recs else None} {body_of(recs[-1]['id']) if recs else None!r}")

    # Paging through 60 messages, 25 a page.
    count = len(records()[0])
    for i in range(count, 60):
        post(REPLYID="0", NEWNAME="Pager", NEWEMAIL="p@example.org", NEWSUBJECT=f"Message {i + 1}",
             NEWTEXT=f"text {i + 1}", ACTION_NEWMESSAGE_POST="Post")
    check("forum holds 60 messages", records()[1] == 60 * RECORD, str(records()[1]))
    page1 = request(query="NOTHREAD=yes")
    page2 = post(NOTHREAD="yes", PAGE="1", ACTION_SEARCH_NEXT="  >  ")
    page3 = post(NOTHREAD="yes", PAGE="2", ACTION_SEARCH_NEXT="  >  ")
    back1 = post(NOTHREAD="yes", PAGE="3", ACTION_SEARCH_FIRST="  |<  ")
    prev2 = post(NOTHREAD="yes", PAGE="3", ACTION_SEARCH_PREV="  <  ")
    for what, page, numbers, shown in (
            ("page 1", page1, range(1, 26), ["ACTION_SEARCH_NEXT"]),
            ("page 2 after next", page2, range(26, 51), ["ACTION_SEARCH_PREV", "ACTION_SEARCH_NEXT"]),
            ("page 3 after next", page3, range(51, 61), ["ACTION_SEARCH_FIRST", "ACTION_SEARCH_PREV"]),
            ("page 1 after first", back1, range(1, 26), ["ACTION_SEARCH_NEXT"]),
            ("page 2 after previous", prev2, range(26, 51), ["ACTION_SEARCH_PREV", "ACTION_SEARCH_NEXT"])):
        check(f"{what} shows its rows and buttons",
              [x[0] for x in rows(page)] == list(numbers) and buttons(page) == shown
              and all(f"&NOTHREAD=yes&PAGE=" in x for x in re.findall(r'HREF="[^"]*"', page.text)),
              f"{[x[0] for x in rows(page)]} {buttons(page)}")
    check("newest message heads the flat list", rows(page1) and rows(page1)[0][3] == "Message 60", str(rows(page1)[:1]))
    check("paging buttons use the default captions",
          '<INPUT TYPE=SUBMIT NAME="ACTION_SEARCH_FIRST" VALUE="  |&lt; ">' in page3.text
          and '<INPUT TYPE=SUBMIT NAME="ACTION_SEARCH_PREV" VALUE="  &lt;  ">' in page3.text
          and '<INPUT TYPE=SUBMIT NAME="ACTION_SEARCH_NEXT" VALUE="  &gt;  ">' in page1.text, page3.text[-800:])

    # Removal by the administrator, through the reply form's fields.
    before, size = records()
    wrong = post(REPLYID=str(first), NEWNAME="tavik", NEWEMAIL="lumo ", NEWSUBJECT="remove", NEWTEXT="x",
                 ACTION_NEWMESSAGE_POST="Post")
    check("administrator name with a wrong password is an ordinary post",
          "Your message have been posted !" in wrong.text and records()[1] == size + RECORD, wrong.text[:1500])
    gone = post(REPLYID=str(first), PAGE="1", thread="", NEWNAME="tavik", NEWEMAIL="lumo", NEWSUBJECT="remove",
                NEWTEXT="bye", ACTION_NEWMESSAGE_POST="Post")
    check("administrator removal shows the removed page", "The message has been removed !" in gone.text,
          gone.text[:1500])
    after, _ = records()
    check("removed message leaves the data file and its text file",
          all(r["id"] != first for r in after) and len(after) == len(before) and body_of(first) is None,
          f"{len(before)} -> {len(after)}")
    check("direct reply of a removed message becomes a thread start",
          [r["reply"] for r in after if r["id"] == reply] == [0], str([r for r in after if r["id"] == reply]))
    check("removal keeps the previous data file as parlino_data.old",
          os.path.getsize(os.path.join(DATA, "parlino_data.old")) == size + RECORD)
    view = request(query=f"VIEWID={first}")
    check("view of a removed message shows the list", '<INPUT TYPE=HIDDEN NAME="PAGE" VALUE="1">' in view.text,
          view.text[:1500])

    # The program writes its log below its own directory, never an error here.
    return failures


if __name__ == "__main__":
    try:
        sys.exit(1 if main() else 0)
    except Exception as e:  # a crash must count, not vanish
        import traceback
        traceback.print_exc()
        print(f"FAIL {LABEL}: script stopped: {e!r}")
        sys.exit(1)
