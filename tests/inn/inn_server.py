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
import ssl
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
    """What the generated configuration offers to readers: reading and
    posting from localhost, without log-in unless user is set (then every
    reader logs in with user and password, checked by ckpasswd against
    etc/passwd), and with tls a second nnrpd beside innd that speaks TLS from
    the first byte, with a certificate for localhost and 127.0.0.1 from a
    throw-away authority made at create time (etc/ca.pem)."""

    group: str = "vostel.test"
    group_description: str = "Vostel end-to-end test articles."
    # More groups readers may post to and read: (name, description).
    more_groups: tuple = ()
    user: str = ""
    password: str = ""
    tls: bool = False


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
        self.tls_port = None
        self.ca_file = os.path.join(self.etc, "ca.pem") if self.options.tls else None

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
        if self.options.tls:
            self.tls_port = free_port()
            self.make_certificates()
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
        if self.options.tls:
            settings.update({
                "tlscapath": self.etc,
                "tlscertfile": os.path.join(self.etc, "cert.pem"),
                "tlskeyfile": os.path.join(self.etc, "key.pem"),
            })
        settings.update(paths)
        self.write_etc("inn.conf", "".join("%s: %s\n" % kv for kv in settings.items()))

        # Localhost must not be a peer here: innd hands a peer's connection to
        # its feed side, and a reader from 127.0.0.1 would never reach nnrpd.
        self.write_etc("incoming.conf", "# No peers: every connection goes to nnrpd.\n")
        self.write_etc("readers.conf", self.readers_conf())
        self.write_etc("newsfeeds", "ME:*::\n")
        self.write_etc("storage.conf",
                       "method tradspool {\n"
                       "    newsgroups: *\n"
                       "    class: 0\n"
                       "}\n")
        self.write_etc("expire.ctl", "/remember/:11\n*:A:never:never:never\n")

    def readers_conf(self):
        """Who may read: everybody on localhost, or with a user only those
        who logged in as that user (any other command is answered 480)."""
        user = self.options.user
        if not user:
            return ('auth "localhost" {\n'
                    '    hosts: "127.0.0.1, localhost"\n'
                    '    default: "<localhost>"\n'
                    '}\n\n'
                    'access "localhost" {\n'
                    '    users: "<localhost>"\n'
                    '    newsgroups: "*"\n'
                    '    access: RPN\n'
                    '}\n')
        passwd = os.path.join(self.etc, "passwd")
        hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=self.options.password,
                                capture_output=True, text=True, check=True).stdout.strip()
        if os.path.exists(passwd):
            os.remove(passwd)
        with os.fdopen(os.open(passwd, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write("%s:%s\n" % (user, hashed))
        return ('auth "readers" {\n'
                '    hosts: "127.0.0.1, localhost"\n'
                '    auth: "ckpasswd -f %s"\n'
                '}\n\n'
                'access "readers" {\n'
                '    users: "%s"\n'
                '    newsgroups: "*"\n'
                '    access: RPN\n'
                '}\n' % (passwd, user))

    def make_certificates(self):
        """A throw-away authority (etc/ca.pem; its key is deleted at once) and
        a server certificate from it for localhost and 127.0.0.1, valid for
        two days."""
        ca_key = os.path.join(self.etc, "ca-key.pem")
        request = os.path.join(self.etc, "server.csr")
        extensions = os.path.join(self.etc, "server.ext")
        with open(extensions, "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                    "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        steps = [
            ["openssl", "req", "-x509"] + ec + ["-keyout", ca_key, "-out", self.ca_file, "-days", "2",
                                                "-subj", "/CN=Vostel test authority"],
            ["openssl", "req", "-new"] + ec + ["-keyout", os.path.join(self.etc, "key.pem"),
                                               "-out", request, "-subj", "/CN=localhost"],
            ["openssl", "x509", "-req", "-in", request, "-CA", self.ca_file, "-CAkey", ca_key,
             "-CAcreateserial", "-days", "2", "-extfile", extensions,
             "-out", os.path.join(self.etc, "cert.pem")],
        ]
        try:
            for argv in steps:
                done = subprocess.run(argv, capture_output=True, text=True, cwd=self.etc)
                if done.returncode != 0:
                    raise ServerError("openssl could not make the test certificates:\n" + done.stderr)
        finally:
            for name in (ca_key, request, extensions, os.path.join(self.etc, "ca.srl")):
                if os.path.exists(name):
                    os.remove(name)
        os.chmod(os.path.join(self.etc, "key.pem"), 0o600)

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
            for g, _ in ((options.group, ""),) + options.more_groups:
                f.write("%s 0000000000 0000000001 y\n" % g)
        with open(os.path.join(self.db, "newsgroups"), "w") as f:
            for g, description in ((options.group, options.group_description),) + options.more_groups:
                f.write("%s\t%s\n" % (g, description))
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
                if self.options.tls:
                    self.start_tls_reader()
                return
            if proc.poll() is None:
                raise ServerError("innd runs but no reader greeting came on port %d" % self.port)
            if "Address already in use" not in self.diagnostics():
                raise ServerError("innd exited with %s" % proc.returncode)
        raise ServerError("no free port found for innd in %d tries" % attempts)

    def start_tls_reader(self):
        """innd listens for plain NNTP only: TLS from the first byte takes an
        nnrpd daemon of its own (-D, in the foreground with -f so that it is
        our child like innd), on a port of its own."""
        for attempt in range(5):
            if attempt:
                self.tls_port = free_port()
            out_path = os.path.join(self.log, "nnrpd-tls.out")
            out = open(out_path, "ab")
            os.chown(out_path, pwd.getpwnam("news").pw_uid, grp.getgrnam("news").gr_gid)
            proc = subprocess.Popen([NEWS_BIN + "/nnrpd", "-D", "-f", "-S", "-p", str(self.tls_port), "-b", HOST],
                                    env=self.env(), user="news", group="news", extra_groups=[], cwd=self.dir,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
            out.close()
            if self.wait_for_reader(proc, timeout=30, port=self.tls_port, tls=True):
                return
            if proc.poll() is None:
                raise ServerError("nnrpd runs but no TLS greeting came on port %d" % self.tls_port)
        raise ServerError("nnrpd could not listen for TLS readers in 5 tries")

    def wait_for_reader(self, proc, timeout, port=None, tls=False):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                return False
            try:
                with socket.create_connection((HOST, port or self.port), timeout=5) as s:
                    if tls:
                        s = ssl.create_default_context(cafile=self.ca_file).wrap_socket(s, server_hostname=HOST)
                    greeting = s.makefile("rb").readline()
                    s.sendall(b"QUIT\r\n")
                # A server that wants a log-in first may greet 201.
                if greeting[:3] in (b"200", b"201"):
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
        for name in ("innd.out", "nnrpd-tls.out", "errlog", "news"):
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
