# Shared by the end-to-end and load tests: a forum that starts empty behind a
# real web server (laid out by tools/httpd/site.sh), requests to it, its
# files, and the PASS/FAIL lines that both print.
import collections, os, pathlib, re, shutil, socket, stat, struct, subprocess, sys, traceback, urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))
PROGRAM = os.environ.get("PROGRAM", os.path.join(BUILD, "parlino"))
RECORD, FORM = 180, "application/x-www-form-urlencoded"
POSTED, REMOVED = b"Your message have been posted !", b"The message has been removed !"
CRASH = re.compile(".*(?:segfault|Segmentation|AddressSanitizer|Premature end of script|malformed header|exit signal|"
                   "End of script output before headers|upstream sent|prematurely closed|FastCGI sent in stderr).*")
Record = collections.namedtuple("Record", "id reply subject name email")
ROW = re.compile(r'<TR><TD>(\d+)</TD><TD BGCOLOR="WHITE" WIDTH=65% NOWRAP>((?:&nbsp;)*)'
                 r'<A HREF="[^"]*\?VIEWID=(\d+)&[^"]*">(.*?)</A></TD><TD BGCOLOR="WHITE" NOWRAP>(.*?)</TD>'
                 r'<TD BGCOLOR="WHITE" NOWRAP WIDTH=10%>(.*?)</TD></TR>\r\n')
tally = collections.Counter()


def check(label, name, ok, why=""):
    tally["PASS" if ok else "FAIL"] += 1
    print(f"PASS {label}: {name}" if ok else f"FAIL {label}: {name}: {why}", flush=True)


def serve(label, kind, out, settings, test):
    # Runs test(site) on a fresh site in OUT; a crash of the script counts, a server that does not start ends the run.
    site = Site(kind, out, settings)
    try:
        test(site)
    except Exception as e:  # noqa: BLE001
        traceback.print_exc()
        check(label, "script stopped", False, repr(e))
    site.stop(label)


def finish(what):
    print(f"{what}: {tally['PASS']} passed, {tally['FAIL']} failed")
    sys.exit(1 if tally["FAIL"] or not tally["PASS"] else 0)


def rows(page):  # (number, indent steps, view id, subject, sender, time) of every list row
    return [(int(m[1]), len(m[2]) // 18, int(m[3]), m[4], m[5], m[6]) for m in ROW.finditer(page.text)]


def read(path, missing=b""):
    return pathlib.Path(path).read_bytes() if os.path.isfile(path) else missing


def sh(script, *args):
    return subprocess.run(["bash", "-c", ". tools/httpd/site.sh; " + script, "bash", *args], cwd=ROOT,
                          check=True, stdout=subprocess.PIPE, text=True).stdout.strip()


class Response:
    def __init__(self, data):
        head, _, self.body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status = int(lines[0][9:12]) if re.match(r"HTTP/1\.[01] \d\d\d", lines[0]) else 0
        self.status_lines = len(re.findall(rb"(?m)^HTTP/1\.[01] \d\d\d", data))  # a CGI header sent twice shows
        self.headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        self.text = self.body.decode("cp1252", "replace")
        self.html = self.status == 200 and self.headers.get("content-type", "").startswith("text/html")


class Site:
    # A site in OUT, or below /tmp when the CGI account cannot reach OUT; the
    # server's logs are then copied to OUT when it stops. Kind "nginx" serves a
    # FastCGI process started beside it, "lighttpd_fastcgi" one lighttpd starts.
    def __init__(self, kind, out, settings):
        shutil.rmtree(out, ignore_errors=True)
        self.out, self.root, self.port = out, sh('site_home "$1"', out), int(sh("site_free_port"))
        sh(f'site_prepare "$1" "$2" && site_{kind}_conf "$1" "$3"', self.root, PROGRAM, str(self.port))
        self.prefix = os.path.join(self.root, "cgi-bin", "parlino", "parlino")  # the forum's files' names start so
        pathlib.Path(self.prefix + ".ini").write_text("[Parameters]\r\n" + settings)
        server, run = kind.split("_")[0], os.path.join(self.root, "run")
        self.fcgi = kind == "nginx" and int(sh('site_fcgi_start "$1" --threads 4 && echo $fcgi', self.root))
        self.logs = (f"{run}/{server}-error.log", f"{run}/fcgi/stderr.log")
        # A session of its own: prefork's shutdown signals its whole process group.
        self.server = subprocess.Popen({"apache": ["apache2", "-f", f"{run}/apache.conf", "-DFOREGROUND"],
                                        "lighttpd": ["lighttpd", "-D", "-f", f"{run}/lighttpd.conf"],
                                        "nginx": ["nginx", "-c", f"{run}/nginx.conf", "-e", self.logs[0]]}[server],
                                       start_new_session=True, stdout=open(f"{run}/{server}-stdout.log", "wb"),
                                       stderr=subprocess.STDOUT)
        if subprocess.run(["bash", "-c", f". {ROOT}/tools/httpd/site.sh; site_wait_port {self.port}"]).returncode:
            self.stop()
            raise RuntimeError(f"{kind} did not start: {read(self.logs[0]).decode('latin-1')[-500:]}")

    def stop(self, label=None):
        if self.fcgi:  # SIGTERM: the FastCGI process ends by itself
            os.kill(self.fcgi, 15)
            subprocess.run(["timeout", "10", "tail", "-f", f"--pid={self.fcgi}", "/dev/null"])
        self.server.terminate()
        self.server.wait(30)  # one that does not stop ends the run
        if label:
            bad = CRASH.findall("".join(read(log).decode("latin-1") for log in self.logs))
            # Without a FastCGI process of its own, self.fcgi is False: no /proc/False.
            bad += [f"/proc/{self.fcgi} alive"] * os.path.exists(f"/proc/{self.fcgi}")
            check(label, "the logs show no crashed program or broken FastCGI answer; SIGTERM ended any FastCGI process",
                  not bad, bad[:3])
        if os.path.realpath(self.root) != os.path.realpath(self.out):
            # Sockets (a FastCGI process's) cannot be copied.
            sockets = lambda d, names: [n for n in names if stat.S_ISSOCK(os.lstat(os.path.join(d, n)).st_mode)]  # noqa: E731
            shutil.copytree(os.path.join(self.root, "run"), os.path.join(self.out, "run"), dirs_exist_ok=True, ignore=sockets)
            shutil.rmtree(self.root, ignore_errors=True)

    def text(self, rid):
        return read(f"{self.prefix}_{rid}.txt", None)

    def records(self):
        # The data file's bytes, and its whole records.
        data = read(self.prefix + "_data.dat")
        cut = lambda at, n: data[at:at + n].split(b"\0", 1)[0]  # noqa: E731
        return data, [Record(*struct.unpack_from("<ii", data, at + 148), cut(at, 65), cut(at + 114, 33),
                             cut(at + 65, 49)) for at in range(0, len(data) - RECORD + 1, RECORD)]

    def request(self, query="", body=None, ctype=None):
        # One HTTP/1.0 request, a POST when it has a body.
        head = f"{'GET' if body is None else 'POST'} /cgi-bin/parlino{'?' if query else ''}{query} HTTP/1.0\r\n" \
            + (f"Content-Type: {ctype}\r\nContent-Length: {len(body)}\r\n" if body is not None else "")
        # The answer's bytes exactly as the server sent them; a broken connection or a time-out stops the test.
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(head.encode() + b"Host: 127.0.0.1\r\n\r\n" + (body or b""))
            s.shutdown(socket.SHUT_WR)
            return Response(b"".join(iter(lambda: s.recv(65536), b"")))

    def post(self, subject, text, reply=0, name="Loader", email="load@example.org"):
        # A message sent as the form sends it.
        fields = dict(REPLYID=reply, NEWNAME=name, NEWEMAIL=email, NEWSUBJECT=subject, NEWTEXT=text,
                      ACTION_NEWMESSAGE_POST="Post")
        return self.request(body=urllib.parse.urlencode(fields, encoding="cp1252").encode(), ctype=FORM)
