#!/usr/bin/env python3
# The forum resident as a FastCGI process: behind nginx (started beside it
# with --fastcgi) and behind lighttpd's mod_fastcgi (which hands it a
# listening socket), the visitor flow over HTTP; through nginx also the
# browser, a body over the read limit, a client leaving mid-body, and
# SIGTERM ending the process with status 0. Prints a PASS or FAIL line per check.
import os, re, shutil, socket, subprocess, time
import harness
from harness import PROGRAM, check, finish, read, serve, sh
from http_forum import OUT, SETTINGS, browser, forum

UPSTREAM = re.compile(".*(?:upstream sent|prematurely closed|FastCGI sent in stderr|AddressSanitizer).*")


class FastCgiSite(harness.Site):
    # kind "nginx": the program started by hand beside nginx; "lighttpd": started by lighttpd.
    def __init__(self, kind, out, settings):
        self.fcgi = None
        if kind == "lighttpd":
            harness.sh = lambda script, *a: sh(script.replace("site_lighttpd_conf", "site_lighttpd_fastcgi_conf"), *a)
            try:
                super().__init__(kind, out, settings)
            finally:
                harness.sh = sh
            return
        shutil.rmtree(out, ignore_errors=True)
        self.kind, self.out, self.root, self.port = kind, out, sh('site_home "$1"', out), int(sh("site_free_port"))
        sh('site_prepare "$1" "$2" && site_nginx_conf "$1" "$3"', self.root, PROGRAM, str(self.port))
        self.prefix = os.path.join(self.root, "cgi-bin", "parlino", "parlino")
        open(self.prefix + ".ini", "w").write("[Parameters]\r\n" + settings)
        self.fcgi = int(sh('site_fcgi_start "$1" --threads 4 && echo $fcgi', self.root))
        self.log = f"{self.root}/run/nginx-error.log"
        self.server = subprocess.Popen(["nginx", "-c", f"{self.root}/run/nginx.conf", "-e", self.log],
                                       start_new_session=True)
        if subprocess.run(["bash", "-c", f". {harness.ROOT}/tools/httpd/site.sh; site_wait_port {self.port}"]).returncode:
            self.stop()
            raise RuntimeError(f"nginx did not start: {self.errors()[-500:]}")

    def errors(self):
        logs = (self.log, os.path.join(self.root, "run", "fcgi", "stderr.log"))
        return "".join(read(log).decode("latin-1") for log in logs)

    def stop(self, label=None):
        if label and UPSTREAM.findall(self.errors()):
            check(label, "the server met no broken FastCGI answer", False, UPSTREAM.findall(self.errors())[:3])
        if self.fcgi:  # SIGTERM: the process ends by itself, with status 0
            os.kill(self.fcgi, 15)
            deadline = time.time() + 10
            while os.path.exists(f"/proc/{self.fcgi}") and time.time() < deadline:
                time.sleep(0.05)
            if label:
                check(label, "SIGTERM ends the FastCGI process", not os.path.exists(f"/proc/{self.fcgi}"))
        super().stop(label)


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
    harness.Site = FastCgiSite
    serve("nginx", "nginx", os.path.join(OUT, "nginx"), SETTINGS, limits)
    serve("lighttpd-fastcgi", "lighttpd", os.path.join(OUT, "lighttpd-fastcgi"), SETTINGS, forum)
    serve("browser-nginx", "nginx", os.path.join(OUT, "browser-nginx"), SETTINGS, browser)
    finish("End-to-end FastCGI")
