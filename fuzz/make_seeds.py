#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus (fuzz/corpus/*/seed-*) from pieces of
the captured pages and profile cases in tests/data and a few made
responses. Each seed is laid out as the target's FuzzedDataProvider reads
it: strings from the front, each ended by a backslash and a newline; the
choices as bytes at the end, last-read first. Regression inputs that the
fuzzers found (crash-*, named by libFuzzer) are kept as they are."""
import glob
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
OUT = os.path.join(ROOT, "fuzz", "corpus")


def text(s):
    """A string the provider reads back whole: backslashes doubled, ended."""
    return s.replace(b"\\", b"\\\\") + b"\\\n"


def tail(*values):
    """Choices in the order the target reads them: (value, byte count)."""
    read = []
    for value, count in values:
        for shift in reversed(range(count)):
            read.append((value >> (8 * shift)) & 0xFF)
    return bytes(reversed(read))


def excerpt(page, head_bytes=1200, end_bytes=400):
    """The headers, the start and the end of a captured page."""
    split = page.find(b"\r\n\r\n")
    split = len(page) if split < 0 else split + 4
    headers, body = page[:split], page[split:]
    if len(body) > head_bytes + end_bytes:
        body = body[:head_bytes] + body[-end_bytes:]
    return headers, body


def with_length(headers, body):
    """The same headers stating the excerpt's true length."""
    lines = headers.split(b"\r\n")
    lines = [b"Content-Length: %d" % len(body) if l.lower().startswith(b"content-length:") else l
             for l in lines]
    return b"\r\n".join(lines) + body


def write(target, name, data):
    os.makedirs(os.path.join(OUT, target), exist_ok=True)
    with open(os.path.join(OUT, target, "seed-" + name), "wb") as f:
        f.write(data)


CONFIGS = {
    "plain": b"[ga1]\r\nAccount=UA-123456-1\r\nInsertBeforeScriptBlock=<!-- analytics -->\r\n",
    "ssl": b"[GA1]\nAccount = \"UA-9-9\"\nAlwaysSSL=1\nAppendAfterScriptBlock=<!-- end -->\n",
    "none": b"[ga1]\r\nInsertBeforeScriptBlock=x\r\n",
    "long": b"[ga1]\r\nAccount=UA-1234567890123\r\nInsertBeforeScriptBlock=" + b"b" * 2100 + b"\r\n",
}


def request_seeds():
    # flags: bit 0 TLS, bits 1-3 path kind (2: the directory, 5: near the
    # limit, 6: past it, 0: none), bit 4 a configuration file.
    pages = ["p01-index.get.http", "p02-users-and-groups.get.http", "p04-retrieving.get.http",
             "p09-demos.get.http", "p10-charencodings.get.http", "p13-zlib_how.get.http",
             "x01-404-not-found.http", "x04-gzip-chunked.http", "x06-sub-filter-http10.http",
             "x09-charset-utf8.http", "a03-py.get.http"]
    configs = list(CONFIGS.items())
    for i, name in enumerate(pages):
        with open(os.path.join(DATA, "real", name), "rb") as f:
            headers, body = excerpt(f.read())
        response = with_length(headers, body) if i % 2 == 0 else headers + body
        config_name, config = configs[i % len(configs)]
        flags = 0x10 | (2 << 1) | (i % 2)
        seams = [(7 * i + 13) % 300, 500, 500, 1600]
        # coding: bits 0-1 compress (gzip, zlib, raw), bit 2 frame, bit 3 break.
        coding = [0, 1, 4, 5, 2, 6, 3, 7, 13, 0, 0][i]
        choices = [(flags, 1), (i, 2), (0 if i % 3 else 5 + i, 2), (0, 1), (0x60 | coding, 1),
                   (16 * i + 7, 1), (len(seams), 1)]
        choices += [(s, 2) for s in seams]
        write("fuzz_request", "%s-%s" % (name.split(".")[0], config_name),
              text(config) + response + tail(*choices))

    made = {
        "header-account": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Tagsmith: UA-HEAD-1\r\n"
                          b"Content-Length: 23\r\n\r\n<body>x</BODY\n>trailer",
        "odd-length": b"HTTP/1.1 200 OK\r\nContent-Length: 4294967295\r\nContent-Type: text/html\r\n"
                      b"\r\n<p></p></body></body >",
        "two-lengths": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n"
                       b"Content-Length: 5\r\n\r\n</body>",
        "marker": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<SCRIPT SRC=\"HTTPS://SSL."
                  b"GOOGLE-ANALYTICS.COM/URCHIN.JS\"></script></body>",
        "lf-only": b"HTTP/1.0 200 OK\nContent-Type: text/html\n\r\n<body>< / body >",
        "tag-in-headers": b"HTTP/1.1 200 OK\r\nX-Note: </body>\r\nContent-Type: text/html\r\n\r\n<body>",
        "identity": b"HTTP/1.1 200 OK\r\nTransfer-Encoding:  identity \r\nContent-Type: text/html"
                    b"\r\n\r\n<body>\xc3\xa9</body>",
        # An account that would end the script's string; bodies in a coding
        # that could be misread as plain pages.
        "account-breaks-out": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                              b"X-Tagsmith: U\"</script><b>\r\n\r\n<body></body>",
        "gzip-text-first": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n"
                           b"\r\n\xef\xbb\xbf hi <body></body>",
        "size-line-plus": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked"
                          b"\r\n\r\n+d\r\n<body></body>\r\n0\r\n\r\n",
        "stored-and-a-byte": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: deflate"
                             b"\r\n\r\n\x01\x0d\x00\xf2\xff<body></body>x",
        "zlib-dictionary": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: deflate"
                           b"\r\n\r\n\x78\xbb\x01\x02\x03\x04\x01\x0d\x00\xf2\xff<body></body>"
                           b"\x01\x02\x03\x04",
    }
    as_written = list(made)[7:]  # their bodies already hold what they test: not coded again
    for i, (name, response) in enumerate(made.items()):
        config = CONFIGS["plain"] if i % 2 else CONFIGS["none"]
        path_kind = [2, 5, 6, 0][i % 4]
        flags = 0x10 | (path_kind << 1) | (i % 2)
        choices = [(flags, 1), (i * 5, 2), (i + 1 if i % 2 else 0, 2), (1 if i % 3 == 0 else 0, 1),
                   (0 if name in as_written else i % 8, 1), (3, 1), (2, 1), (i + 3, 2),
                   (i + 3, 2)]
        write("fuzz_request", name, text(config) + response + tail(*choices))


def profile_seeds():
    cases = ["all_keys", "bom_utf8", "dup_key", "dup_section", "eol_cr", "eol_mixed",
             "eol_none_at_end", "key_no_eq", "len_15", "len_16", "len_2047", "len_2048",
             "len_3000", "nul_in_value", "q_double", "q_truncation", "q_lone_quote",
             "sec_trailing_bracket", "sec_unclosed", "utf16le_bom", "ws_ctrl_z", "ws_all_around",
             "val_html_script", "long_line"]
    keys = [b"Account", b"AlwaysSSL", b"InsertBeforeScriptBlock", b"AppendAfterScriptBlock"]
    sizes = [16, 2048, 1, 2, 15, 17, 0, 1024]
    for i, name in enumerate(cases):
        with open(os.path.join(DATA, "profile", "cases", name + ".config"), "rb") as f:
            data = f.read()[:6000]
        key = keys[i % len(keys)]
        size = sizes[i % len(sizes)]
        choices = [(0 if i % 5 else 4, 1), (size, 2)]
        write("fuzz_profile_reader", name,
              text(b"ga1") + text(key) + text(b"dflt") + data + tail(*choices))


if __name__ == "__main__":
    request_seeds()
    profile_seeds()
