"""A small blocking NNTP client: enough to post the test corpus and to read
it back. Lines are bytes; articles travel with CR LF and dot-stuffing."""

import socket
import ssl


class NntpError(Exception):
    pass


class NntpClient:
    def __init__(self, host, port, timeout=30.0, ca_file=None):
        """With ca_file the connection is TLS from the first byte, and the
        server's certificate must come from that authority and name host."""
        self.sock = socket.create_connection((host, port), timeout=timeout)
        if ca_file:
            self.sock = ssl.create_default_context(cafile=ca_file).wrap_socket(self.sock, server_hostname=host)
        self.reader = self.sock.makefile("rb")
        self.greeting = self.status_line()

    def close(self):
        try:
            self.sock.sendall(b"QUIT\r\n")
            self.reader.readline()
        except OSError:
            pass
        self.reader.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def read_line(self):
        line = self.reader.readline()
        if not line.endswith(b"\r\n"):
            raise NntpError("connection closed in the middle of a reply")
        return line[:-2]

    def status_line(self):
        line = self.read_line()
        try:
            code = int(line[:3])
        except ValueError:
            raise NntpError("not a status line: %r" % line)
        return code, line.decode("latin-1")

    def command(self, text, expect):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")
        code, line = self.status_line()
        if code != expect:
            raise NntpError("%s: expected %d, got %s" % (text, expect, line))
        return line

    def multiline(self, text, expect):
        """Sends a command and returns the lines of its multi-line reply,
        unstuffed."""
        self.command(text, expect)
        lines = []
        while True:
            line = self.read_line()
            if line == b".":
                return lines
            lines.append(line[1:] if line.startswith(b".") else line)

    def login(self, user, password):
        self.command("AUTHINFO USER " + user, 381)
        self.command("AUTHINFO PASS " + password, 281)

    def post(self, article):
        """Posts an article given as its lines (bytes, without line ends)."""
        self.command("POST", 340)
        data = b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in article)
        self.sock.sendall(data + b".\r\n")
        code, line = self.status_line()
        if code != 240:
            raise NntpError("posting refused: " + line)

    def group(self, name):
        """Returns (count, first, last) of the group."""
        fields = self.command("GROUP " + name, 211).split()
        return int(fields[1]), int(fields[2]), int(fields[3])

    def xover(self, first, last):
        """Returns the overview lines of the range split into their fields."""
        return [l.split(b"\t") for l in self.multiline("XOVER %d-%d" % (first, last), 224)]
