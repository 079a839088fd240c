#!/usr/bin/python3
"""Checks the harness against itself: start a server, read the group back
over raw NNTP, decode every file the manifest expects from the bodies the
server sends and compare it with its original, stop, and make sure the
machine's INN is as it was. Run as root: /usr/bin/python3 tests/inn/smoke_check.py [--yenc] [--login-tls]
With --login-tls the server wants a log-in and the group is read back over
its TLS port, after checking that a reader who has not logged in is refused.
"""

import argparse
import base64
import binascii
import email
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True

from nntp_client import NntpClient  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESS = [sys.executable, os.path.join(HERE, "inn_harness.py")]


def fingerprint(top):
    """Content, mode and owner of everything under a folder."""
    result = {}
    for root, dirs, files in os.walk(top):
        for name in sorted(dirs + files):
            path = os.path.join(root, name)
            st = os.lstat(path)
            digest = ""
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            result[path] = (st.st_mode, st.st_uid, st.st_gid, digest)
    return result


def news_processes():
    found = set()
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        name, state = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2]
        if name in ("innd", "nnrpd") and state != "Z":
            found.add((int(entry), name))
    return found


def uudecode(lines):
    out = bytearray()
    for line in lines[1:]:
        if line in (b"end", b"`"):
            break
        out += binascii.a2b_uu(line)
    return bytes(out)


def decode_block(body, name):
    """The file named name in a body of uuencode or begin-base64 blocks."""
    for i, line in enumerate(body):
        fields = line.split(b" ", 2)
        if fields[0] in (b"begin", b"begin-base64") and len(fields) == 3 and fields[2] == name.encode():
            if fields[0] == b"begin":
                return uudecode(body[i:])
            end = body.index(b"====", i)
            return base64.b64decode(b"".join(body[i + 1:end]))
    raise AssertionError("no block for %s" % name)


def decode_mime(head, body, name):
    message = email.message_from_bytes(b"\n".join(head) + b"\n\n" + b"\n".join(body))
    for part in message.walk():
        if part.get_filename() == name:
            return part.get_payload(decode=True)
    raise AssertionError("no MIME part for %s" % name)


def decode_yenc(bodies):
    import yenc

    out = bytearray()
    for body in bodies:
        data = [l for l in body if not l.startswith((b"=ybegin", b"=ypart", b"=yend"))]
        decoder = yenc.Decoder()
        decoder.feed(b"\r\n".join(data))
        out += decoder.getDecoded()
    return bytes(out)


def check_login(m):
    """Both ports answer 480 before the log-in and 481 to a wrong password."""
    for port, ca_file in ((m["port"], None), (m["tls_port"], m["ca_file"])):
        with NntpClient(m["host"], port, ca_file=ca_file) as nntp:
            nntp.command("GROUP " + m["group"], 480)
            nntp.command("AUTHINFO USER " + m["user"], 381)
            nntp.command("AUTHINFO PASS not-" + m["password"], 481)


def check_server(m, yenc):
    tls = m["tls_port"] is not None
    with NntpClient(m["host"], m["tls_port"] if tls else m["port"], ca_file=m["ca_file"]) as nntp:
        assert nntp.greeting[0] == 200, nntp.greeting
        if m["user"]:
            nntp.login(m["user"], m["password"])
        count, first, last = nntp.group(m["group"])
        assert (count, first, last) == (m["count"], m["first"], m["last"]), (count, first, last)
        overview = {int(f[0]): f for f in nntp.xover(first, last)}
        heads, bodies = {}, {}
        for a in m["articles"]:
            fields = overview[a["number"]]
            assert fields[4].decode() == a["message_id"], (a, fields)
            assert int(fields[7]) == a["lines"], ("overview Lines", a, fields[7])
            head = nntp.multiline("HEAD %d" % a["number"], 221)
            assert b"Lines: %d" % a["lines"] in head, ("Lines header", a)
            body = nntp.multiline("BODY %d" % a["number"], 222)
            assert len(body) == a["lines"], ("body lines", a, len(body))
            heads[a["number"]], bodies[a["number"]] = head, body
        assert any(a["in_range"] for a in m["articles"]), "no article in range"
        assert any(not a["in_range"] for a in m["articles"]), "no article out of range"

    kinds = set()
    for f in m["files"]:
        with open(f["original"], "rb") as o:
            original = o.read()
        assert len(original) == f["size"]
        numbers = f["articles"]
        if f["encoding"] in ("uuencode", "base64-block"):
            body = [line for n in numbers for line in bodies[n]]
            served = decode_block(body, f["name"])
        elif f["encoding"] == "mime-base64":
            served = decode_mime(heads[numbers[0]], bodies[numbers[0]], f["name"])
        else:
            served = decode_yenc([bodies[n] for n in numbers])
        assert served == original, "%s as served differs from its original" % f["name"]
        kinds.add(f["encoding"])
    expected = {"uuencode", "base64-block", "mime-base64"} | ({"yenc"} if yenc else set())
    assert kinds == expected, kinds
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--yenc", action="store_true")
    parser.add_argument("--login-tls", action="store_true")
    args = parser.parse_args()
    options = ["--yenc"] if args.yenc else []
    if args.login_tls:
        options += ["--user", "vuser", "--password", "s3cret pw", "--tls"]

    etc_before, db_before = fingerprint("/etc/news"), fingerprint("/var/lib/news")
    processes_before = news_processes()

    # Without root the harness says so and exits with its own code.
    folder = tempfile.mkdtemp(prefix="vostel-inn-")
    os.rmdir(folder)
    as_nobody = subprocess.run(["runuser", "-u", "nobody", "--"] + HARNESS + ["start", "--dir", folder],
                               capture_output=True, text=True)
    assert as_nobody.returncode == 3 and "root" in as_nobody.stderr, as_nobody
    assert not os.path.exists(folder)

    began = time.monotonic()
    started = subprocess.run(HARNESS + ["start", "--dir", folder] + options, capture_output=True, text=True)
    took = time.monotonic() - began
    try:
        assert started.returncode == 0, started.stderr
        print(started.stderr.strip())
        path = started.stdout.strip()
        assert path == os.path.join(folder, "manifest.json"), started.stdout
        with open(path) as f:
            m = json.load(f)
        if args.login_tls:
            check_login(m)
        count = check_server(m, args.yenc)
        # A second start on a used folder refuses and leaves it alone.
        again = subprocess.run(HARNESS + ["start", "--dir", folder], capture_output=True, text=True)
        assert again.returncode == 1 and "not empty" in again.stderr, again
        assert os.path.exists(path)
    finally:
        stopped = subprocess.run(HARNESS + ["stop", "--dir", folder], capture_output=True, text=True)
    assert stopped.returncode == 0, stopped.stderr
    assert not os.path.exists(folder)
    assert news_processes() == processes_before, news_processes()
    assert fingerprint("/etc/news") == etc_before, "/etc/news changed"
    assert fingerprint("/var/lib/news") == db_before, "/var/lib/news changed"
    print("smoke check passed: %d articles read back and decoded, start took %.2fs" % (count, took))


if __name__ == "__main__":
    main()
