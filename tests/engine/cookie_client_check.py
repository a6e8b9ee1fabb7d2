"""Reads a set-cookie value the way a browser-like client does.

The header value comes in the environment variable PARLINO_SET_COOKIE, the
request URL as the first argument. Prints, one per line: the cookie's name,
value, expiry (seconds since the epoch, or "none"), path, domain, "secure" or
"plain", and the Cookie header the client sends back to that URL.
"""
import email.message
import http.cookiejar
import os
import sys
import urllib.request


class Response:
    def __init__(self, headers):
        self._headers = headers

    def info(self):
        return self._headers


def main():
    url = sys.argv[1]
    headers = email.message.Message()
    headers["Set-Cookie"] = os.environ["PARLINO_SET_COOKIE"]
    jar = http.cookiejar.CookieJar()
    jar.extract_cookies(Response(headers), urllib.request.Request(url))
    cookies = list(jar)
    if len(cookies) != 1:
        print("cookies: %d" % len(cookies))
        return 1
    c = cookies[0]
    back = urllib.request.Request(url)
    jar.add_cookie_header(back)
    print(c.name)
    print(c.value)
    print("none" if c.expires is None else c.expires)
    print(c.path)
    print(c.domain)
    print("secure" if c.secure else "plain")
    print(back.get_header("Cookie") or "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
