#!/usr/bin/python3
"""Runs a private INN news server with a test corpus for the end-to-end test.

    /usr/bin/python3 tests/inn/inn_harness.py start --dir D [--yenc] [--par2] [--today] [--seed N]
                                                    [--mime-ext EXT] [--user U --password P] [--tls]
    /usr/bin/python3 tests/inn/inn_harness.py stop --dir D

start lays out an INN instance in D (missing or empty), starts it on a free
port of 127.0.0.1, posts the corpus to vostel.test, waits until every article
is in the overview and prints the path of the manifest, D/manifest.json.
With --today it also posts to vostel.today a group posted the way binaries
are posted today (see CorpusBuilder.build_today).
With --user every reader must log in as U with password P; with --tls a
second reader port speaks TLS from the first byte, with a certificate for
localhost and 127.0.0.1 from a throw-away authority. stop ends that
instance's processes and removes D. Both need root (the server
runs as the news user) and Debian's inn2, which `sudo scripts/test.sh`
installs. Exit codes: 0 done; 1 failed (the message and the server's logs on
stderr); 2 bad arguments; 3 not root; 4 INN, uuencode, the yenc module or par2
not installed. On 3 and 4 a test skips and passes the message on.

The manifest (JSON):
  host, port, group, first, last, count   the group as the server reports it
  tls_port, ca_file                        the TLS port and the authority's PEM file (null without --tls)
  user, password                           what readers log in with (null without --user)
  entry                                    the server as a Vostel settings file lists it:
                                           nntps://U@127.0.0.1:tls_port, nntp://U@127.0.0.1:port or
                                           127.0.0.1:port
  min_lines, max_lines                     the Lines: range the corpus is built around
  mime_ext                                 the extension assumed for built MIME names
  articles: [{number, message_id, key, kind, subject, lines, in_range, files}]
  files:    [{name, original, size, encoding, articles, in_range, saved_as, why_not}]
  today:    {group, first, last, count, min_lines, max_lines, articles, files}
                                           with --today: that group, the range a new
                                           settings file has, and its articles and files
                                           as above; a new user's window saves every file
A file's saved_as is the name a decode window walking the whole group from
its first article saves it under (a MIME part without a name it can read gets
article number + part file number + "." + mime_ext; a single-part MIME
article is named by its header), or null when the window does not save it:
its articles are outside the range, or why_not says why. With --par2 the
last file is one whose article of part 2 was never posted: the window saves
it once its walk has ended, repaired from the PAR2 files posted after it.
"""

import argparse
import importlib.util
import json
import os
import shutil
import signal
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree

from corpus import MAX_LINES, MIN_LINES, NEW_MAX_LINES, NEW_MIN_LINES, TODAY_GROUP, CorpusBuilder  # noqa: E402
from inn_server import HOST, InnServer, ServerError, ServerOptions, missing_programs  # noqa: E402
from nntp_client import NntpClient, NntpError  # noqa: E402

EXIT_FAILED = 1
EXIT_NOT_ROOT = 3
EXIT_NOT_INSTALLED = 4

HOW_TO_RUN = "run the tests as root or through `sudo scripts/test.sh`, which installs what is missing"


def preflight(yenc, par2, openssl):
    """The reasons this machine cannot run the server, and the exit code."""
    missing = []
    if openssl and not shutil.which("openssl"):
        missing.append("openssl (Debian package openssl)")
    if missing_programs():
        missing.append("INN (Debian package inn2; /usr/lib/news/bin lacks %s)" % ", ".join(missing_programs()))
    if not shutil.which("uuencode"):
        missing.append("uuencode (Debian package sharutils)")
    if (yenc or par2) and importlib.util.find_spec("yenc") is None:
        missing.append("the yenc module (Debian package python3-yenc, run with /usr/bin/python3)")
    if par2 and not shutil.which("par2"):
        missing.append("par2 (Debian package par2)")
    if missing:
        return EXIT_NOT_INSTALLED, "not installed: %s; %s" % ("; ".join(missing), HOW_TO_RUN)
    if os.geteuid() != 0:
        return EXIT_NOT_ROOT, "the news server must be started by root (it runs as the news user); " + HOW_TO_RUN
    return 0, ""


def post_corpus(server, corpus, group):
    """Posts every article to the group through nnrpd and waits until the
    overview holds them all. Returns the article numbers by key."""
    ids = {a.key: "<%s.%d@vostel.example>" % (a.key, corpus.seed) for a in corpus.articles}
    with NntpClient(HOST, server.port) as nntp:
        if server.options.user:
            nntp.login(server.options.user, server.options.password)
        for article in corpus.articles:
            nntp.post(article.wire_lines(ids[article.key], group))
        numbers = {}
        deadline = time.monotonic() + 60
        while len(numbers) < len(ids):
            count, first, last = nntp.group(group)
            if count:
                numbers = {fields[4].decode(): int(fields[0]) for fields in nntp.xover(first, last)}
                numbers = {key: numbers[mid] for key, mid in ids.items() if mid in numbers}
            if len(numbers) < len(ids):
                if time.monotonic() > deadline:
                    raise ServerError("only %d of %d articles reached the overview" % (len(numbers), len(ids)))
                time.sleep(0.2)
    return numbers, ids


def manifest(server, corpus, numbers, ids, mime_ext):
    by_key = {a.key: a for a in corpus.articles}
    saved_as = saved_names(corpus, numbers, mime_ext)
    articles = [{
        "number": numbers[a.key],
        "message_id": ids[a.key],
        "key": a.key,
        "kind": a.kind,
        "subject": a.subject,
        "lines": a.lines,
        "in_range": a.in_range(),
        "files": [f.name for f in corpus.files if a.key in f.articles],
    } for a in sorted(corpus.articles, key=lambda a: numbers[a.key])]
    files = [{
        "name": f.name,
        "original": f.path,
        "size": f.size,
        "encoding": f.encoding,
        "articles": [numbers[k] for k in f.articles],
        "in_range": all(by_key[k].in_range() for k in f.articles),
        "saved_as": saved_as.get(f.name),
        "why_not": f.why_not,
    } for f in corpus.files]
    numbers_sorted = sorted(numbers.values())
    options = server.options
    user = options.user + "@" if options.user else ""
    if options.tls:
        entry = "nntps://%s%s:%d" % (user, HOST, server.tls_port)
    else:
        entry = "nntp://%s%s:%d" % (user, HOST, server.port) if user else "%s:%d" % (HOST, server.port)
    return {
        "host": HOST,
        "port": server.port,
        "tls_port": server.tls_port,
        "ca_file": server.ca_file,
        "user": options.user or None,
        "password": options.password if options.user else None,
        "entry": entry,
        "group": server.options.group,
        "first": numbers_sorted[0],
        "last": numbers_sorted[-1],
        "count": len(numbers_sorted),
        "min_lines": MIN_LINES,
        "max_lines": MAX_LINES,
        "mime_ext": mime_ext,
        "articles": articles,
        "files": files,
    }


def today_manifest(corpus, numbers, ids):
    articles = [{
        "number": numbers[a.key],
        "message_id": ids[a.key],
        "key": a.key,
        "subject": a.subject,
        "poster": a.poster.decode(),
        "lines": a.lines,
        "in_range": a.in_range(NEW_MIN_LINES, NEW_MAX_LINES),
    } for a in sorted(corpus.articles, key=lambda a: numbers[a.key])]
    files = [{
        "name": f.name,
        "original": f.path,
        "size": f.size,
        "articles": [numbers[k] for k in f.articles],
    } for f in corpus.files]
    return {
        "group": TODAY_GROUP,
        "first": min(numbers.values()),
        "last": max(numbers.values()),
        "count": len(numbers),
        "min_lines": NEW_MIN_LINES,
        "max_lines": NEW_MAX_LINES,
        "articles": articles,
        "files": files,
    }


def saved_names(corpus, numbers, mime_ext):
    """Walks the articles in number order as a decode window does: a fetched
    article's block starts (a single-part MIME body among them) each take the
    next part file number, and a MIME part the window cannot name is saved as
    article + part file number. A yEnc file is put together under its own
    name once all its parts were fetched; its lines start no part file."""
    part_file = 0
    names = {}
    for article in sorted(corpus.articles, key=lambda a: numbers[a.key]):
        if not article.in_range():
            continue
        for f in article.starts:
            if f.encoding == "yenc":
                if all(a.in_range() for a in corpus.articles if a.key in f.articles):
                    names[f.name] = f.name
                continue
            part_file += 1
            if not f.decodable:
                continue
            if all(a.in_range() for a in corpus.articles if a.key in f.articles):
                names[f.name] = f.name if f.mime_named else "%d%d.%s" % (numbers[article.key], part_file, mime_ext)
    return names


def start(args):
    code, message = preflight(args.yenc or args.today, args.par2 or args.today, args.tls or bool(args.user))
    if code:
        print("inn_harness: " + message, file=sys.stderr)
        return code
    if bool(args.user) != bool(args.password):
        print("inn_harness: --user and --password go together", file=sys.stderr)
        return 2
    more = ((TODAY_GROUP, "Vostel end-to-end test: a group posted the way binaries are posted today."),)
    server = InnServer(args.dir, ServerOptions(user=args.user or "", password=args.password or "", tls=args.tls,
                                               more_groups=more if args.today else ()))
    timings = []
    mark = time.monotonic()

    def lap(what):
        nonlocal mark
        now = time.monotonic()
        timings.append("%s %.2fs" % (what, now - mark))
        mark = now

    try:
        server.create()
        server.start()
        lap("start")
        corpus = CorpusBuilder(os.path.join(server.dir, "corpus"), args.seed, yenc=args.yenc,
                               par2=args.par2).build()
        lap("corpus")
        numbers, ids = post_corpus(server, corpus, server.options.group)
        lap("post")
        result = manifest(server, corpus, numbers, ids, args.mime_ext)
        if args.today:
            today = CorpusBuilder(os.path.join(server.dir, "today"), args.seed).build_today()
            lap("today's corpus")
            numbers, ids = post_corpus(server, today, TODAY_GROUP)
            lap("today's post")
            result["today"] = today_manifest(today, numbers, ids)
        path = os.path.join(server.dir, "manifest.json")
        with open(path, "w") as f:
            json.dump(result, f, indent=1)
    except (ServerError, NntpError, OSError) as e:
        print("inn_harness: start failed: %s" % e, file=sys.stderr)
        if server.diagnostics():
            print(server.diagnostics(), file=sys.stderr, end="")
        for pid in server.processes():
            os.kill(pid, signal.SIGKILL)
        print("inn_harness: %s is left for inspection; `stop --dir` removes it" % server.dir, file=sys.stderr)
        return EXIT_FAILED
    posted = result["count"] + (result["today"]["count"] if args.today else 0)
    print("inn_harness: port %d, %d articles; %s" % (server.port, posted, ", ".join(timings)), file=sys.stderr)
    print(path)
    return 0


def stop(args):
    server = InnServer(args.dir)
    try:
        server.stop()
    except ServerError as e:
        print("inn_harness: stop failed: %s" % e, file=sys.stderr)
        return EXIT_FAILED
    return 0


def main():
    parser = argparse.ArgumentParser(description="A private INN server with a test corpus.")
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("start", help="lay out, start and fill a server; print the manifest path")
    p.add_argument("--dir", required=True, help="folder for the instance (missing or empty)")
    p.add_argument("--yenc", action="store_true", help="also post a multi-part yEnc file")
    p.add_argument("--par2", action="store_true",
                   help="also post a multi-part yEnc file missing an article, and its PAR2 set")
    p.add_argument("--today", action="store_true",
                   help="also post to %s a group posted the way binaries are posted today" % TODAY_GROUP)
    p.add_argument("--seed", type=int, default=1, help="seed of the random file contents")
    p.add_argument("--mime-ext", default="bin", help="extension for MIME parts saved without a name")
    p.add_argument("--user", help="readers must log in as this user")
    p.add_argument("--password", help="the user's password")
    p.add_argument("--tls", action="store_true", help="also serve readers over TLS on a port of its own")
    p.set_defaults(run=start)
    p = commands.add_parser("stop", help="stop the server of a folder and remove the folder")
    p.add_argument("--dir", required=True)
    p.set_defaults(run=stop)
    args = parser.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
