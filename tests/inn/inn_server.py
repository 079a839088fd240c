"""A private INN instance in a folder of its own.

Everything the server reads or writes lives under the folder: configuration
in etc/, active file and history in db/, articles and overview in spool/,
logs in log/, sockets and pid file in run/. The server runs as the news user
with INNCONF pointing at etc/inn.conf, so the machine's /etc/news and
/var/lib/news are never read or written, and the processes of this instance
are told apart from any other by that INNCONF value in their environment.
"""

import grp
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time
from dataclasses import dataclass

NEWS_BIN = "/usr/lib/news/bin"
INND = NEWS_BIN + "/innd"
NEEDED_PROGRAMS = ("innd", "nnrpd", "makedbz", "ctlinnd")
MARKER = ".vostel-inn"
HOST = "127.0.0.1"


class ServerError(Exception):
    pass


@dataclass
class ServerOptions:
    """What the generated configuration offers to readers. Reading and posting
    from localhost without log-in is what the end-to-end test needs; TLS and
    readers that must log in would be further fields here, turned into
    inn.conf (tlscertfile, tlskeyfile) and readers.conf (an auth block with
    ckpasswd, require_ssl) by write_config alone."""

    group: str = "vostel.test"
    group_description: str = "Vostel end-to-end test articles."


def missing_programs():
    return [p for p in NEEDED_PROGRAMS if not os.access(os.path.join(NEWS_BIN, p), os.X_OK)]


class InnServer:
    def __init__(self, folder, options=None):
        self.options = options or ServerOptions()
        self.dir = os.path.abspath(folder)
        self.etc = os.path.join(self.dir, "etc")
        self.db = os.path.join(self.dir, "db")
        self.spool = os.path.join(self.dir, "spool")
        self.log = os.path.join(self.dir, "log")
        self.run = os.path.join(self.dir, "run")
        self.inn_conf = os.path.join(self.etc, "inn.conf")
        self.port = None

    # -- environment --------------------------------------------------------

    def env(self):
        # A clean environment: INNCONF selects this instance, and no
        # INND_BIND_ADDRESS or socket-activation variable of the caller's
        # can move the server off its loopback port.
        return {
            "INNCONF": self.inn_conf,
            "PATH": NEWS_BIN + ":/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": self.dir,
            "LANG": "C",
        }

    def run_as_news(self, argv, **kwargs):
        return subprocess.run(argv, env=self.env(), user="news", group="news", extra_groups=[],
                              cwd=self.dir, capture_output=True, text=True, **kwargs)

    # -- layout and configuration ------------------------------------------

    def create(self):
        """Lays out a fresh instance in the folder, which must be missing or
        empty: nothing of the caller's is overwritten, and stop may later
        remove the whole folder."""
        if os.path.exists(self.dir) and os.listdir(self.dir):
            raise ServerError("%s is not empty; give a new or empty folder" % self.dir)
        folders = [self.etc, self.db, self.log, self.run,
                   os.path.join(self.dir, "filter"), os.path.join(self.dir, "http"),
                   os.path.join(self.dir, "tmp")]
        folders += [os.path.join(self.spool, s)
                    for s in ("articles", "overview", "incoming", "incoming/bad", "outgoing", "archive")]
        for f in folders:
            os.makedirs(f, exist_ok=True)
        with open(os.path.join(self.dir, MARKER), "w") as f:
            f.write("A private INN instance of Vostel's tests; `inn_harness.py stop` removes this folder.\n")
        self.port = free_port()
        self.write_config()
        self.write_active()
        self.chown_news()
        self.check_reachable()
        done = self.run_as_news([NEWS_BIN + "/makedbz", "-i", "-o", "-s", "1000"], timeout=60)
        if done.returncode != 0:
            raise ServerError("makedbz could not create the history database:\n" + done.stderr)

    def write_config(self):
        """All of this instance's configuration, in one place."""
        paths = {
            "pathnews": "/usr/lib/news",
            "pathbin": NEWS_BIN,
            "pathcontrol": NEWS_BIN + "/control",
            "pathetc": self.etc,
            "pathdb": self.db,
            "pathfilter": os.path.join(self.dir, "filter"),
            "pathhttp": os.path.join(self.dir, "http"),
            "pathlog": self.log,
            "pathrun": self.run,
            "pathtmp": os.path.join(self.dir, "tmp"),
            "pathspool": self.spool,
            "patharticles": os.path.join(self.spool, "articles"),
            "pathoverview": os.path.join(self.spool, "overview"),
            "pathincoming": os.path.join(self.spool, "incoming"),
            "pathoutgoing": os.path.join(self.spool, "outgoing"),
            "patharchive": os.path.join(self.spool, "archive"),
        }
        settings = {
            # The host name may have no domain; a domain here keeps innd and
            # nnrpd from refusing to start over it.
            "domain": "localdomain",
            "pathhost": "vostel-test-inn",
            "organization": '"Vostel tests"',
            "mta": '"/usr/sbin/sendmail -oi -oem %s"',
            "mailcmd": NEWS_BIN + "/innmail",
            "bindaddress": HOST,
            "port": str(self.port),
            # Test files run to hundreds of KB; nothing may cut them.
            "maxartsize": "0",
            "localmaxartsize": "0",
            "enableoverview": "true",
            "ovmethod": "tradindexed",
            "hismethod": "hisv6",
            "wireformat": "true",
            "storeonxref": "true",
            "useoverchan": "false",
            "noreader": "false",
            "readerswhenstopped": "true",
            "allownewnews": "true",
            "nnrpdcheckart": "true",
            "linecountfuzz": "0",
            "checkincludedtext": "false",
            "pgpverify": "false",
            "doinnwatch": "false",
            "docancels": "require-auth",
            "status": "0",
            "timer": "0",
            "logipaddr": "true",
        }
        settings.update(paths)
        self.write_etc("inn.conf", "".join("%s: %s\n" % kv for kv in settings.items()))

        # Localhost must not be a peer here: innd hands a peer's connection to
        # its feed side, and a reader from 127.0.0.1 would never reach nnrpd.
        self.write_etc("incoming.conf", "# No peers: every connection goes to nnrpd.\n")
        self.write_etc("readers.conf",
                       'auth "localhost" {\n'
                       '    hosts: "127.0.0.1, localhost"\n'
                       '    default: "<localhost>"\n'
                       '}\n\n'
                       'access "localhost" {\n'
                       '    users: "<localhost>"\n'
                       '    newsgroups: "*"\n'
                       '    access: RPN\n'
                       '}\n')
        self.write_etc("newsfeeds", "ME:*::\n")
        self.write_etc("storage.conf",
                       "method tradspool {\n"
                       "    newsgroups: *\n"
                       "    class: 0\n"
                       "}\n")
        self.write_etc("expire.ctl", "/remember/:11\n*:A:never:never:never\n")

    def write_etc(self, name, text):
        with open(os.path.join(self.etc, name), "w") as f:
            f.write(text)

    def write_active(self):
        options = self.options
        groups = ["control", "control.cancel", "control.checkgroups", "control.newgroup",
                  "control.rmgroup", "junk"]
        with open(os.path.join(self.db, "active"), "w") as f:
            for g in groups:
                f.write("%s 0000000000 0000000001 n\n" % g)
            f.write("%s 0000000000 0000000001 y\n" % options.group)
        with open(os.path.join(self.db, "newsgroups"), "w") as f:
            f.write("%s\t%s\n" % (options.group, options.group_description))
        open(os.path.join(self.db, "active.times"), "w").close()
        open(os.path.join(self.db, "history"), "w").close()

    def chown_news(self):
        uid, gid = pwd.getpwnam("news").pw_uid, grp.getgrnam("news").gr_gid
        for root, dirs, files in os.walk(self.dir):
            os.chown(root, uid, gid)
            for name in files:
                os.chown(os.path.join(root, name), uid, gid)

    def check_reachable(self):
        # A folder under a private parent (root's home, say) is out of the
        # news user's reach; say so rather than let innd fail obscurely.
        done = self.run_as_news(["/usr/bin/test", "-w", self.db])
        if done.returncode != 0:
            raise ServerError("the news user cannot reach %s; use a folder under /tmp" % self.dir)

    # -- running -----------------------------------------------------------

    def start(self, attempts=5):
        """Starts innd on a free loopback port and waits until nnrpd greets a
        reader. A port taken between choosing and binding gets another try."""
        for attempt in range(attempts):
            if attempt:
                self.port = free_port()
                self.write_config()
            # -f keeps innd in the foreground, so that it is our child and
            # not a daemon to hunt for, with its messages in log/errlog (what
            # comes before it redirects them lands in log/innd.out); -u
            # writes log/news unbuffered. A new session lets it outlive this
            # script.
            out_path = os.path.join(self.log, "innd.out")
            out = open(out_path, "ab")
            os.chown(out_path, pwd.getpwnam("news").pw_uid, grp.getgrnam("news").gr_gid)
            proc = subprocess.Popen([INND, "-f", "-u"], env=self.env(), user="news", group="news",
                                    extra_groups=[], cwd=self.dir, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            out.close()
            if self.wait_for_reader(proc, timeout=30):
                return
            if proc.poll() is None:
                raise ServerError("innd runs but no reader greeting came on port %d" % self.port)
            if "Address already in use" not in self.diagnostics():
                raise ServerError("innd exited with %s" % proc.returncode)
        raise ServerError("no free port found for innd in %d tries" % attempts)

    def wait_for_reader(self, proc, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                return False
            try:
                with socket.create_connection((HOST, self.port), timeout=5) as s:
                    greeting = s.makefile("rb").readline()
                    s.sendall(b"QUIT\r\n")
                if greeting.startswith(b"200"):
                    return True
            except OSError:
                pass
            time.sleep(0.1)
        return False

    def diagnostics(self, lines=20):
        """The last lines of the server's own logs, for a failure report.
        (Most of INN's messages go to syslog, which a test machine may not
        run; these files hold what innd writes itself.)"""
        text = []
        for name in ("innd.out", "errlog", "news"):
            try:
                with open(os.path.join(self.log, name), errors="replace") as f:
                    tail = f.readlines()[-lines:]
            except OSError:
                continue
            if tail:
                text.append("log/%s:\n%s" % (name, "".join(tail)))
        return "".join(text)

    def processes(self):
        """The pids of every process of this instance (innd and the nnrpd it
        started for each reader), found by their INNCONF."""
        marker = ("INNCONF=" + self.inn_conf).encode()
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        pids.append(int(entry))
            except OSError:
                pass
        return pids

    def innd_pid(self):
        try:
            with open(os.path.join(self.run, "innd.pid")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def stop(self):
        """Stops every process of this instance and removes its folder. A
        folder without the marker is left alone: it is not one of ours."""
        if not os.path.isdir(self.dir):
            return
        if not os.path.exists(os.path.join(self.dir, MARKER)):
            raise ServerError("%s holds no test instance; not removing it" % self.dir)
        if self.processes():
            # A clean shutdown first, so innd closes its files itself; the
            # nnrpd of a reader still connected has to be told apart.
            try:
                self.run_as_news([NEWS_BIN + "/ctlinnd", "-t", "10", "shutdown", "test finished"], timeout=20)
            except subprocess.TimeoutExpired:
                pass
            innd = self.innd_pid()
            wait_until(lambda: innd not in self.processes(), 10)
            for sig in (signal.SIGTERM, signal.SIGKILL):
                for pid in self.processes():
                    try:
                        os.kill(pid, sig)
                    except ProcessLookupError:
                        pass
                if wait_until(lambda: not self.processes(), 5):
                    break
            if self.processes():
                raise ServerError("processes of %s outlived SIGKILL: %s" % (self.dir, self.processes()))
        shutil.rmtree(self.dir)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()
