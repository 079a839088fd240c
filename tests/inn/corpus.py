"""The test corpus: files of random bytes made from a seed, and the articles
that carry them the ways posters do — sharutils uuencode, "begin-base64"
blocks from uuencode -m, MIME made by Python's email package, a file split
over three articles, optionally multi-part yEnc and a PAR2 set — with
text-only articles and articles outside the Lines: range between them.

Every article states its true line count in Lines:, the value INN's overview
computes as well, so a reader sees the same count in HEAD and in XOVER.
"""

import glob
import os
import random
import subprocess
import zlib
from dataclasses import dataclass, field
from email import encoders
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

MIN_LINES = 10
MAX_LINES = 5000
FROM = b"Vostel Tests <tests@vostel.example>"

# The group posted the way binaries are posted today, and the range a
# settings file made now starts with, which that group is built around.
TODAY_GROUP = "vostel.today"
NEW_MIN_LINES = 100
NEW_MAX_LINES = 50000
# What posters put in one article: 750 KB of a file, about 6,000 lines of yEnc.
PART_SIZE = 750 * 1024


@dataclass
class CarriedFile:
    name: str  # the name the article gives the file
    path: str  # the original
    size: int
    encoding: str  # uuencode, base64-block, mime-base64, yenc
    # Whether a MIME part names the file to a reader that takes the name
    # from the part header lines after "Content-Transfer-Encoding: base64"
    # (Content-Disposition's filename= or Content-Type's name=, whatever the
    # disposition) or, in a single-part article, from the article header.
    # Part headers that name the file only before the transfer encoding line
    # leave it to a built name.
    mime_named: bool = True
    # False for a form the reader is known to pass over.
    decodable: bool = True
    why_not: str = ""
    articles: list = field(default_factory=list)  # keys of the carrying articles


@dataclass
class Article:
    key: str
    kind: str
    subject: str
    body: list  # lines, bytes, without line ends
    headers: list = field(default_factory=list)  # extra header lines (MIME)
    starts: list = field(default_factory=list)  # files whose block starts here, in body order
    poster: bytes = FROM

    @property
    def lines(self):
        return len(self.body)

    def in_range(self, low=MIN_LINES, high=MAX_LINES):
        return low <= self.lines <= high

    def wire_lines(self, message_id, group):
        head = [b"From: " + self.poster, b"Newsgroups: " + group.encode(), b"Subject: " + self.subject.encode(),
                b"Message-ID: " + message_id.encode(), b"Lines: %d" % self.lines]
        return head + self.headers + [b""] + self.body


class CorpusBuilder:
    def __init__(self, folder, seed, yenc=False, par2=False):
        self.folder = folder
        self.seed = seed
        self.rng = random.Random(seed)
        self.files = []
        self.articles = []
        self.with_yenc = yenc
        self.with_par2 = par2
        os.makedirs(folder, exist_ok=True)

    # -- files --------------------------------------------------------------

    def original(self, name, size, encoding, mode=0o644, **kwargs):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(self.rng.randbytes(size))
        os.chmod(path, mode)  # uuencode writes the mode into its begin line
        carried = CarriedFile(name, path, size, encoding, **kwargs)
        self.files.append(carried)
        return carried

    def add(self, key, kind, subject, body, headers=(), starts=(), poster=FROM):
        article = Article(key, kind, subject, body, list(headers), list(starts), poster)
        for f in starts:
            f.articles.append(key)
        self.articles.append(article)
        return article

    # -- encodings ----------------------------------------------------------

    @staticmethod
    def uuencode(carried, base64=False):
        argv = ["uuencode"] + (["-m"] if base64 else []) + [carried.path, carried.name]
        lines = subprocess.run(argv, check=True, capture_output=True).stdout.split(b"\n")
        if lines and lines[-1] == b"":
            lines.pop()
        check_block(lines, carried.name)
        return lines

    @staticmethod
    def mime_part(carried, disposition, encoding_first):
        with open(carried.path, "rb") as f:
            part = MIMEBase("application", "octet-stream", name=carried.name)
            part.set_payload(f.read())
        if encoding_first:
            encoders.encode_base64(part)
            part.add_header("Content-Disposition", disposition, filename=carried.name)
        else:
            part.add_header("Content-Disposition", disposition, filename=carried.name)
            encoders.encode_base64(part)
        return part

    @staticmethod
    def split_message(message):
        """Header lines and body lines of a message made by the email package."""
        raw = message.as_bytes()
        head, body = raw.split(b"\n\n", 1)
        lines = body.split(b"\n")
        if lines and lines[-1] == b"":
            lines.pop()
        return head.split(b"\n"), lines

    def mime_multipart(self, key, text, parts):
        """parts: (file, disposition, encoding_first)."""
        message = MIMEMultipart("mixed", boundary="=_vostel_%s_%d" % (key, self.seed))
        message.preamble = "This is a multi-part message in MIME format."
        message.attach(MIMEText(text))
        for carried, disposition, encoding_first in parts:
            carried.mime_named = encoding_first
            message.attach(self.mime_part(carried, disposition, encoding_first))
        headers, body = self.split_message(message)
        check_block(body, key)
        return headers, body

    @staticmethod
    def yenc_parts(carried, count, line=128, step=None):
        """The file in count parts of equal size, or with step in parts of
        step bytes and a last part of what is left."""
        import yenc

        with open(carried.path, "rb") as f:
            data = f.read()
        if step:
            count = -(-len(data) // step)
        else:
            step = -(-len(data) // count)
        total_crc = "%08x" % zlib.crc32(data)
        parts = []
        for i in range(count):
            chunk = data[i * step:(i + 1) * step]
            encoder = yenc.Encoder()
            encoder.feed(chunk)
            encoder.terminate()
            encoded = encoder.getEncoded().split(b"\r\n")
            while encoded and encoded[-1] == b"":
                encoded.pop()
            head = [b"=ybegin part=%d total=%d line=%d size=%d name=%s" %
                    (i + 1, count, line, len(data), carried.name.encode()),
                    b"=ypart begin=%d end=%d" % (i * step + 1, i * step + len(chunk))]
            tail = [b"=yend size=%d part=%d pcrc32=%s crc32=%s" %
                    (len(chunk), i + 1, encoder.getCrc32().encode(), total_crc.encode())]
            parts.append(head + encoded + tail)
        return parts

    @staticmethod
    def yenc_single(carried, line=128):
        import yenc

        with open(carried.path, "rb") as f:
            data = f.read()
        encoder = yenc.Encoder()
        encoder.feed(data)
        encoder.terminate()
        encoded = encoder.getEncoded().split(b"\r\n")
        while encoded and encoded[-1] == b"":
            encoded.pop()
        return ([b"=ybegin line=%d size=%d name=%s" % (line, len(data), carried.name.encode())] + encoded
                + [b"=yend size=%d crc32=%s" % (len(data), encoder.getCrc32().encode())])

    def par2_set(self):
        """A yEnc file in four parts and the PAR2 set par2 create makes for it,
        each PAR2 file in an article of its own. The article of the second
        part never reaches the server: a reader has the file whole only by
        repairing it from the recovery files, once its walk has ended, so the
        file is listed after every other."""
        f = self.original("par2-set.bin", 200000, "yenc")
        self.files.remove(f)
        subprocess.run(["par2", "create", "-q", "-q", "-s8192", "-c12", "par2-set.par2", f.name],
                       cwd=self.folder, check=True, capture_output=True)
        for i, body in enumerate(self.yenc_parts(f, 4)):
            if i != 1:
                key = "par2-data-%d" % (i + 1)
                self.add(key, "yenc", '"par2-set.bin" yEnc (%d/4)' % (i + 1), body, starts=[f] if i == 0 else [])
                if i > 0:
                    f.articles.append(key)
        for path in sorted(glob.glob(os.path.join(self.folder, "par2-set*.par2"))):
            name = os.path.basename(path)
            carried = CarriedFile(name, path, os.path.getsize(path), "yenc")
            self.files.append(carried)
            self.add(name, "yenc", '"%s" yEnc (1/1)' % name,
                     [b"Recovery data for par2-set.bin:", b""] + self.yenc_single(carried), starts=[carried])
        self.files.append(f)

    # -- the corpus ---------------------------------------------------------

    def build_today(self):
        """A group posted the way binaries are posted today, for a reader with
        the range a new settings file has: yEnc parts of 750 KB, each file's
        last part short and below that range, like the subtitles of a few
        dozen lines and the PAR2 index of a few posted with them. One poster's
        post names its files "[k/3] - "name.ext" yEnc (n/m)"; between its
        articles two others post a picture each under the same subject,
        "Holiday pictures (n/2)", told apart only by who posted them, the
        short part of the second before its long one. Two more name theirs
        "name.ext" yEnc (n/m), name.ext [n/m] (the short part first) and
        name.ext (n/m)."""
        a = b"Holiday Poster <holiday@vostel.example>"
        b = b"Alpine Club <alps@vostel.example>"
        c = b"Beach Club <beach@vostel.example>"
        mkv = self.original("holiday.mkv", 2 * PART_SIZE + 9000, "yenc")
        srt = self.original("holiday.srt", 3000, "yenc")
        alps = self.original("alps.jpg", PART_SIZE + 8000, "yenc")
        beach = self.original("beach.jpg", PART_SIZE + 7000, "yenc")
        # Two more posters name their files in the other forms in use.
        d = b"Map Maker <maps@vostel.example>"
        e = b"Note Taker <notes@vostel.example>"
        route = self.original("route.gpx", PART_SIZE + 5000, "yenc")
        notes = self.original("notes.nfo", 20000, "yenc")
        chart = self.original("chart.png", PART_SIZE + 6000, "yenc")
        subprocess.run(["par2", "create", "-q", "-q", "-s%d" % PART_SIZE, "-c0", "holiday.par2", mkv.name,
                        srt.name], cwd=self.folder, check=True, capture_output=True)
        path = os.path.join(self.folder, "holiday.par2")
        index = CarriedFile("holiday.par2", path, os.path.getsize(path), "yenc")
        self.files.append(index)

        parts = {f.name: self.yenc_parts(f, 0, step=PART_SIZE) for f in (mkv, alps, beach, route, chart)}
        parts.update({f.name: [self.yenc_single(f)] for f in (srt, index, notes)})
        posted = [(a, mkv, 1, '[1/3] - "holiday.mkv" yEnc (1/3)'), (b, alps, 1, "Holiday pictures (1/2)"),
                  (a, mkv, 2, '[1/3] - "holiday.mkv" yEnc (2/3)'), (c, beach, 2, "Holiday pictures (2/2)"),
                  (b, alps, 2, "Holiday pictures (2/2)"), (a, mkv, 3, '[1/3] - "holiday.mkv" yEnc (3/3)'),
                  (c, beach, 1, "Holiday pictures (1/2)"), (a, srt, 1, '[2/3] - "holiday.srt" yEnc (1/1)'),
                  (a, index, 1, '[3/3] - "holiday.par2" yEnc (1/1)'), (d, route, 2, "route.gpx [2/2]"),
                  (e, notes, 1, '"notes.nfo" yEnc (1/1)'), (d, route, 1, "route.gpx [1/2]"),
                  (d, chart, 1, "chart.png (1/2)"), (d, chart, 2, "chart.png (2/2)")]
        for poster, f, part, subject in posted:
            key = "today-%s-%d" % (f.name, part)
            article = self.add(key, "yenc", subject, parts[f.name][part - 1], poster=poster,
                               starts=[] if f.articles else [f])
            if key not in f.articles:
                f.articles.append(key)
            count = len(parts[f.name])
            if count > 1 and (part == count) == article.in_range(NEW_MIN_LINES, NEW_MAX_LINES):
                raise AssertionError("%s has %d lines: only a file's last part is short" % (key, article.lines))
        return self

    def build(self):
        text = [b"Hello from the Vostel test corpus.", b"", b".A line that starts with a period,",
                b"..and one with two.", b"", b"Nothing is attached to this article; a reader",
                b"that looks for encoded data finds none here.", b"", b"end of story, but no part file is open.",
                b"", b"-- ", b"Vostel Tests"]
        self.add("text-welcome", "text", "Welcome to vostel.test", text)

        f = self.original("uu-small.bin", 3000, "uuencode")
        self.add("uu-small", "uuencode", "uu-small.bin (1/1)",
                 [b"A small file, uuencoded:", b""] + self.uuencode(f) + [b"", b"-- ", b"Vostel Tests"],
                 starts=[f])

        # 45 * 60 + 14 bytes: the last data line's length character is "."
        # and needs dot-stuffing; mode 640 makes a begin line other than 644.
        f = self.original("uu-dotline.bin", 45 * 60 + 14, "uuencode", mode=0o640)
        self.add("uu-dotline", "uuencode", "uu-dotline.bin (1/1)", self.uuencode(f), starts=[f])

        f = self.original("b64-block.dat", 40000, "base64-block")
        self.add("b64-block", "base64-block", "b64-block.dat (1/1)",
                 [b"A begin-base64 block from uuencode -m:", b""] + self.uuencode(f, base64=True)
                 + [b"", b"That was all."], starts=[f])

        a = self.original("pair-a.bin", 5000, "uuencode")
        b = self.original("pair-b.bin", 6000, "base64-block")
        self.add("pair", "uuencode+base64-block", "pair-a.bin and pair-b.bin",
                 [b"Two files in one article.", b""] + self.uuencode(a) + [b""]
                 + self.uuencode(b, base64=True), starts=[a, b])

        f = self.original("mime-inline.bin", 20000, "mime-base64")
        headers, body = self.mime_multipart("mime-inline", "An inline part, transfer encoding first.",
                                            [(f, "inline", True)])
        self.add("mime-inline", "mime-multipart", "mime-inline.bin", body, headers, starts=[f])

        f = self.original("mime-attachment.bin", 30000, "mime-base64")
        headers, body = self.mime_multipart("mime-attachment", "An attachment, transfer encoding first.",
                                            [(f, "attachment", True)])
        self.add("mime-attachment", "mime-multipart", "mime-attachment.bin", body, headers, starts=[f])

        a = self.original("mime-inline-cd-first.bin", 12000, "mime-base64")
        b = self.original("mime-attachment-cd-first.bin", 15000, "mime-base64")
        headers, body = self.mime_multipart("mime-cd-first", "Two parts, disposition before transfer encoding.",
                                            [(a, "inline", False), (b, "attachment", False)])
        self.add("mime-cd-first", "mime-multipart", "two parts, disposition first", body, headers,
                 starts=[a, b])

        # The whole body is the file; the article header declares base64 and
        # names it.
        f = self.original("mime-single.bin", 10000, "mime-base64")
        headers, body = self.split_message(self.mime_part(f, "attachment", True))
        self.add("mime-single", "mime-single", "mime-single.bin", body, headers, starts=[f])

        # One file over three articles: begin in the first, end in the third,
        # the middle one nothing but data.
        f = self.original("split.bin", 90000, "uuencode")
        lines = self.uuencode(f)
        third = len(lines) // 3
        chunks = [lines[:third], lines[third:2 * third], lines[2 * third:]]
        for i, chunk in enumerate(chunks):
            lead = [b"split.bin comes in three parts.", b""] if i == 0 else []
            self.add("split-%d" % (i + 1), "uuencode-split", "split.bin (%d/3)" % (i + 1), lead + chunk,
                     starts=[f] if i == 0 else [])
            if i > 0:
                f.articles.append("split-%d" % (i + 1))

        self.add("text-long", "text", "A longer text without attachments",
                 [b"Line %d of a plain text article." % i for i in range(1, 31)])

        # Around the Lines: range: just outside it below and above, and on
        # both limits, each with an attachment so that fetching shows.
        f = self.original("under-uu.bin", 200, "uuencode")
        self.add("under-uu", "uuencode", "under-uu.bin", self.uuencode(f), starts=[f])
        f = self.original("under-b64.bin", 150, "base64-block")
        self.add("under-b64", "base64-block", "under-b64.bin",
                 pad_to(self.uuencode(f, base64=True), MIN_LINES - 1), starts=[f])
        f = self.original("edge-min.bin", 200, "uuencode")
        self.add("edge-min", "uuencode", "edge-min.bin", pad_to(self.uuencode(f), MIN_LINES), starts=[f])
        f = self.original("edge-max.bin", 200000, "base64-block")
        self.add("edge-max", "base64-block", "edge-max.bin",
                 pad_to(self.uuencode(f, base64=True), MAX_LINES), starts=[f])
        f = self.original("over-uu.bin", 220000, "uuencode")
        self.add("over-uu", "uuencode", "over-uu.bin", pad_to(self.uuencode(f), MAX_LINES + 1), starts=[f])
        f = self.original("over-mime.bin", 400000, "mime-base64")
        headers, body = self.mime_multipart("over-mime", "A large inline part.", [(f, "inline", True)])
        self.add("over-mime", "mime-multipart", "over-mime.bin", body, headers, starts=[f])

        f = self.original("uu-large.bin", 200000, "uuencode")
        self.add("uu-large", "uuencode", "uu-large.bin (1/1)", self.uuencode(f), starts=[f])

        self.add("text-short", "text", "Short note", [b"Just a short note.", b"", b"-- "])

        if self.with_yenc:
            # Last, so that its articles change nothing for the ones before.
            f = self.original("yenc-multi.bin", 150000, "yenc", decodable=False,
                              why_not="yEnc is not decoded")
            for i, body in enumerate(self.yenc_parts(f, 3)):
                key = "yenc-%d" % (i + 1)
                self.add(key, "yenc", '"yenc-multi.bin" yEnc (%d/3)' % (i + 1), body,
                         starts=[f] if i == 0 else [])
                if i > 0:
                    f.articles.append(key)
        if self.with_par2:
            self.par2_set()

        for article in self.articles:
            expected = article.key.startswith(("under", "over", "text-short"))
            if expected == article.in_range():
                raise AssertionError("%s has %d lines, on the wrong side of the range" % (article.key, article.lines))
        return self


def pad_to(block, count):
    """Text lines before the block, so that the body has exactly count lines."""
    if len(block) > count:
        raise AssertionError("a block of %d lines does not fit in %d" % (len(block), count))
    return [b"Filler line %d." % i for i in range(1, count - len(block) + 1)] + block


def check_block(lines, what):
    """A reader ends a uuencode part file on a line beginning with "end" or
    "--", and a base64 one on "end", "====" or a line beginning with "--";
    the random data inside a block must make none of these."""
    kind = None
    for line in lines:
        if kind is None:
            if line.startswith(b"begin-base64 "):
                kind = "base64"
            elif line.startswith(b"begin "):
                kind = "uu"
            elif line == b"Content-Transfer-Encoding: base64":
                kind = "mime-header"
        elif kind == "mime-header":
            kind = "base64" if line == b"" else kind
        elif line == (b"end" if kind == "uu" else b"====") or (kind == "base64" and line.startswith(b"--")):
            kind = None
        elif line.startswith(b"--") or line.startswith(b"end") and (kind == "uu" or line.rstrip() == b"end"):
            raise AssertionError("a data line of %s would end its block early; change its size" % what)
