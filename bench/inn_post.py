#!/usr/bin/python3
"""Posts a group like walk_bench's to a news server, for its INN walk and link_bench.

    /usr/bin/python3 bench/inn_post.py --port P [--host H] [--group G] [--files N] [--small N]

posts the small articles (10,000 of 10 to 40 lines), then the files (20 of
13 yEnc parts of 768,000 bytes, lines of 128 characters, one part an
article: 200 MB), and prints what to set for walk_bench and link_bench. The group must
exist (the INN harness makes vostel.test: tests/inn/inn_harness.py start
--dir D --yenc). With INN_MIN_LINES=5001 INN_MAX_LINES=7000 the walk
fetches the parts (and the one article of the harness's corpus that lies
in that range) and passes over the rest.
"""

import argparse
import os
import random
import sys
import time
import zlib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "inn"))

from nntp_client import NntpClient  # noqa: E402

PART = 768000
PARTS = 13


def yenc_part(data, name, part, crc):
    import yenc

    chunk = data[(part - 1) * PART:part * PART]
    encoder = yenc.Encoder()
    encoder.feed(chunk)
    encoder.terminate()
    encoded = [l for l in encoder.getEncoded().split(b"\r\n") if l]
    head = [b"=ybegin part=%d total=%d line=128 size=%d name=%s" % (part, PARTS, len(data), name),
            b"=ypart begin=%d end=%d" % ((part - 1) * PART + 1, (part - 1) * PART + len(chunk))]
    tail = [b"=yend size=%d part=%d pcrc32=%s crc32=%08x" % (len(chunk), part, encoder.getCrc32().encode(), crc)]
    return head + encoded + tail


def article(group, subject, number, body):
    return [b"From: bench <bench@vostel.test>", b"Newsgroups: " + group.encode(),
            b"Subject: " + subject, b"Message-ID: <walk-bench-%d.%d@vostel.test>" % (number, os.getpid()),
            b""] + body


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--group", default="vostel.test")
    parser.add_argument("--files", type=int, default=20, help="files of 9.984 MB to post")
    parser.add_argument("--small", type=int, default=10000, help="small articles to post first")
    args = parser.parse_args()

    start = time.monotonic()
    random.seed(1)
    with NntpClient(args.host, args.port, timeout=120) as nntp:
        for n in range(args.small):
            body = [b"A few words in article %d, line %d." % (n, i) for i in range(10 + n % 31)]
            nntp.post(article(args.group, b"talk %d" % n, n, body))
        files = args.files
        for f in range(files):
            data = random.randbytes(PART * PARTS)
            crc = zlib.crc32(data)
            name = b"file%d.rar" % f
            for p in range(1, PARTS + 1):
                nntp.post(article(args.group, b"%s (%d/%d)" % (name, p, PARTS), args.small + f * PARTS + p,
                                  yenc_part(data, name, p, crc)))
        print("posted %d small articles and %d files of %.3f MB in %.1f s" %
              (args.small, files, PART * PARTS / 1e6, time.monotonic() - start))
    print("INN_SERVER=%s:%d INN_GROUP=%s INN_MIN_LINES=5001 INN_MAX_LINES=7000" %
          (args.host, args.port, args.group))


if __name__ == "__main__":
    main()
