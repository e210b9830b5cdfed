#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/ from the literals below: request
and answer texts, list lines, dates and settings like those the tests use.
Each seed is laid out as its target reads it with FuzzedDataProvider:
numbers and flags are taken from the end of the input, strings from the
front. Run it again after changing a target's input layout."""

import os
import shutil
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, seeds):
    folder = os.path.join(ROOT, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for index, seed in enumerate(seeds):
        with open(os.path.join(folder, "seed-%02d" % index), "wb") as f:
            f.write(seed)


def text(s):
    """A FuzzedDataProvider random-length string: backslashes doubled, ended
    by a backslash and another character."""
    return s.replace(b"\\", b"\\\\") + b"\\n"


def u16(n):
    # ConsumeIntegral reads big-endian from the end.
    return struct.pack(">H", n)


def utf16(s, bom=True):
    return (b"\xff\xfe" if bom else b"") + s.encode("utf-16-le")


# grid_text: [file bytes][separator choice]
grid = [
    utf16("True,ads/,,0\r\nFalse,\"a,b\",\"q\"\"x\",12\r\n"),
    utf16("1,True,local,0000000,127.0.0.1\r\n"),
    b"\xfe\xff" + "True,^http://old\\.example/(.*)$,http://new/\\1,False,True,,3\r\n".encode("utf-16-be"),
    b"True,latin1 \xe9,,0\r\n\r\nlast",
    utf16("\"unterminated,x\r\n,,,,,,too,many\r\n"),
]
write("grid_text", [g + b"\x01" for g in grid])

# request: [bytes][cuts][count][final][flags]
requests = [
    b"GET http://cached.example/page HTTP/1.1\r\nHost: cached.example\r\n\r\n",
    b"GET http://www.Host/Banner.gif HTTP/1.0\r\n\r\n",
    b"GET http://old.example/a/b HTTP/1.1\r\nHost: old.example\r\n\r\n",
    b"POST http://h/form HTTP/1.1\r\nContent-Length: 11\r\n\r\nGET x HTTP/GET http://cached.example/ HTTP/1.1\r\n\r\n",
    b"PUT http://h/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\nHEAD http://cached.example/noreq/x.gif HTTP/1.1\r\n\r\n",
    b"CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n\x16\x03\x01",
    b"GET http://cached.example/offline/a HTTP/1.1\r\nUser-Agent: Opera/9\r\n"
    b"If-Modified-Since: Mon, 01 Jan 2030 00:00:00 GMT\r\n\r\n",
    b"get http://x/abc123 HTTP/1.1\n\nGET http://h/ads/1 HTTP/1.1\r\n\r\n",
]
seeds = []
for i, r in enumerate(requests):
    seeds.append(r + b"\x00" + b"\x00" + bytes([i * 37 & 0xFF]))
# Two cuts: inside the request line and inside the blank line.
r = requests[0]
seeds.append(r + u16(len(r) - 2) + u16(9) + b"\x02" + b"\x01" + b"\x00")
write("request", seeds)

# response: [url text][answer][cuts][count][how][flags]
lm = b"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
answers = [
    (b"h/page", b"HTTP/1.1 200 OK\r\n" + lm + b"Content-Length: 12\r\n\r\nbody of page", 0),
    (b"h/page", b"HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\n", 0),
    (b"h/gz", b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Type: text/plain\r\n"
              b"Transfer-Encoding: chunked\r\n\r\n4\r\nbody\r\n0\r\nX-T: 1\r\n\r\n", 0),
    (b"h/", b"HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n<html>until close", 8),
    (b"h/no", b"HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Length: 2\r\n\r\nok", 0),
    (b"h/head", b"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n", 1),
    (b"h/short", b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", 8),
    (b"www.h/q?a=1:2", b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 2),
    (b"h/lf", b"HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", 0),
    (b"h/page", b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", 4),
]
seeds = []
for url, answer, how in answers:
    seeds.append(text(url) + answer + b"\x00" + bytes([how]) + b"\x00")
url, answer, how = answers[0]
seeds.append(text(url) + answer + u16(40) + u16(20) + b"\x02" + b"\x00" + b"\x80")
write("response", seeds)

# cache_path: the key itself
write("cache_path", [
    b"http://www.host/dir/page.htm?x=1",
    b"http://h/../../etc/passwd",
    b"http://h/a/./b/.vs-tmp-1",
    b"http://h:8080/",
    b"https://h/a?b?c",
    b"http://h/%2e%2e/x",
    b"http://h//\\..\\x",
    b"http://h/\xc0\xc1\xff",
])

# template: [pattern][replacement][subject][replaceAll][options]
templates = [
    (b"^http://old\\.example/(.*)$", b"http://new.example/\\1", b"http://old.example/a/b", 0, 0),
    (b"(\\w+)@(\\w+)", b"\\U1-$2-${1}-\\F\\2", b"mail joe@host and ann@site", 1, 1),
    (b"(?<user>[a-z]+)", b"\\g<user>/${user}/${nope}/$$\\\\", b"abc DEF ghi", 1, 0),
    (b"(a)|(b)", b"[$1|$2|$12|${99999}]", b"abba", 1, 128),
    (b"x*", b"-", b"aaa", 1, 2 | 4),
    (b"(?|(a)|(b))(?J)", b"\\I1 \\L$1", b"ab", 0, 8),
]
write("template", [text(p) + text(r) + s + bytes([a, o]) for p, r, s, a, o in templates])

# http_date: the text
write("http_date", [
    b"Sun, 06 Nov 1994 08:49:37 GMT",
    b"Mon, 01 Jan 2030 00:00:00 GMT",
    b"Fri, 31 Dec 1677 23:59:59 GMT",
    b"Sat, 01 Jan 2262 00:00:00 GMT",
    b"Tue, 29 Feb 2000 24:00:60 GMT",
    b"Sunday, 06-Nov-94 08:49:37 GMT",
])

# password: the stored text (and the password to scramble)
write("password", [b"0000000", b"4A1B2C3D4E5F60718293A4", b"", b"secret", b"\xff\x00\x80"])

# chunked: [stream][cuts][count][extra]
streams = [
    b"5\r\nhello\r\n0\r\n\r\n",
    b"4;ext=1\r\nbody\r\nA \r\n0123456789\r\n0\r\nTrailer: x\r\n\r\nnext",
    b"3\nabc\n0\n\n",
    b"zz\r\n",
    b"1\r\na" + b"x" * 4200 + b"\n1\r\nb\r\n0\r\n\r\n",
]
seeds = [s + b"\x00" + b"\x00" for s in streams]
s = streams[1]
seeds.append(s + u16(3) + u16(17) + b"\x02" + b"\x01")
write("chunked", seeds)

# ini: [section][key][value][other section][other key][text][nothing]
ini = (b"[TMainForm]\r\nPortEd_Text=8080\r\nCacheDir_Text=\"  spaced  \"\r\n; note\r\n"
       b"\r\n[Other]\nKey = value \n[tmainform]\nLate=1\n")
write("ini", [
    text(b"TMainForm") + text(b"PortEd_Text") + text(b"3128") + text(b"Other") + text(b"key") + ini,
    text(b"New") + text(b"A") + text(b" padded ") + text(b"TMainForm") + text(b"Late") + ini,
    text(b"tmainform") + text(b"late") + text(b"'q'") + text(b"x") + text(b"y") + ini,
])
