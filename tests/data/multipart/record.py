#!/usr/bin/env python3
"""Records real multipart/form-data request bodies for the reader's tests.

A tiny HTTP server on 127.0.0.1 writes each request body byte for byte to
NAME.body and, where a test posts the body again, its Content-Type header
line to NAME.type; curl posts to it. Run from any directory:
    python3 tests/data/multipart/record.py
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
# The uploads that the tests compare with what the reader stored.
COMPARED = {"binary.bin", "big.bin", "a.txt", "b.gif"}
# The bodies that tests post again, with their Content-Type.
POSTED = {"curl_form", "forum_post"}


def capture(server, name):
    conn, _ = server.accept()
    with conn:
        raw = b""
        while b"\r\n\r\n" not in raw:
            raw += conn.recv(65536)
        head, body = raw.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        headers = {l.split(b":", 1)[0].lower(): l for l in lines[1:]}
        length = int(headers[b"content-length"].split(b":", 1)[1])
        while len(body) < length:
            body += conn.recv(65536)
        with open(os.path.join(HERE, name + ".body"), "wb") as f:
            f.write(body)
        if name in POSTED:
            with open(os.path.join(HERE, name + ".type"), "wb") as f:
                f.write(headers[b"content-type"] + b"\r\n")
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")


def record(name, post):
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    port = server.getsockname()[1]
    t = threading.Thread(target=capture, args=(server, name))
    t.start()
    post(port)
    t.join()
    server.close()


def pseudo_random(n, seed):
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def tricky_binary(n, seed):
    """Random bytes with CR LF, "--", zero bytes and boundary look-alikes."""
    chunks = []
    rnd = pseudo_random(n, seed)
    step = 997
    for i in range(0, n, step):
        chunks.append(rnd[i:i + step])
        chunks.append(b"\r\n--" + b"-" * (i % 40) + b"\r\n\r\n--\x00\r\r\n\n")
    return b"".join(chunks)


def curl(port, *args):
    subprocess.run(["curl", "-sS", "-o", "/dev/null"] + list(args) +
                   ["http://127.0.0.1:%d/upload" % port], check=True)


def main():
    work = tempfile.mkdtemp()
    files = {
        "binary.bin": tricky_binary(3000, 7) + b"\r\n",
        "big.bin": tricky_binary(300000, 11),
        "empty.txt": b"",
        "a.txt": b"first file\r\nline two\n",
        "b.gif": b"GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04"
                 b"\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
        "multi.txt": b"line1\r\nline2\r\n",
        "forum_text.txt": b"Hi all,\r\n\r\nthis is my first post.\r\nBye\r\n",
    }
    for name, data in files.items():
        for folder in (work, HERE) if name in COMPARED else (work,):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    os.chdir(work)

    record("curl_form", lambda port: curl(
        port, "-F", "a=two words", "-F", "multi=<multi.txt", "-F", "bin=@binary.bin",
        "-F", "nofile=@empty.txt;filename=", "-F", "emptyfile=@empty.txt",
        "-F", "files=@a.txt", "-F", "files=@b.gif;type=image/gif", "-F", "last=end"))
    record("curl_big", lambda port: curl(
        port, "-F", "before=1", "-F", "big=@big.bin", "-F", "after=2"))
    record("forum_post", lambda port: curl(
        port, "-F", "NEWNAME=Anna Beispiel", "-F", "NEWEMAIL=anna@example.org",
        "-F", "NEWSUBJECT=Hello & welcome", "-F", "NEWTEXT=<forum_text.txt",
        "-F", "ACTION_NEWMESSAGE_POST=Send"))


if __name__ == "__main__":
    sys.exit(main())
