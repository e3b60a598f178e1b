"""Real clients against our server or a peer: Python's smtplib and poplib, swaks, curl.

What each client puts on the wire differs, so the senders answer the message as the receiving
server gets it (dot-unstuffed, before the end-of-data line "." CR LF):
- smtplib turns bare LF and CR into CR LF and adds CR LF when the message does not end in one;
- swaks turns LF into CR LF and always adds CR LF before "." CR LF (so a message that ends with
  CR LF arrives with one empty line more).
"""
import os
import poplib
import re
import smtplib
import socket
import subprocess
import tempfile
import threading

from .net import HarnessError
from .tools import require_tool

TIMEOUT = 20.0


def crlf(data):
    """Every line end as CR LF, the way smtplib and swaks send a message."""
    if isinstance(data, str):
        data = data.encode("latin-1")
    return re.sub(rb"\r\n|\r|\n", b"\r\n", data)


class SmtpResult:
    def __init__(self, replies, received):
        self.replies = replies      # [(command, code, text)] in order, the greeting first
        self.received = received    # the message as the server should have stored it

    def code(self, command):
        """The reply code of the first command of that verb ("greeting", "mail", "rcpt", "data", ...)."""
        for name, code, _ in self.replies:
            if name == command:
                return code
        return None

    def text(self, command):
        """The reply text of the first command of that verb, decoded."""
        for name, _, text in self.replies:
            if name == command:
                return text.decode("latin-1")
        return None

    @property
    def accepted(self):
        return self.code("data") is not None and 200 <= self.code("data") < 300


def smtp_send(host, port, sender, recipients, message, helo="client.test", timeout=TIMEOUT):
    """Sends one message with smtplib the way it speaks (lower-case verbs: helo, mail FROM:,
    rcpt TO:, data) and answers every reply. A refused step ends the dialogue (then quit); it
    never raises for a reply, only for a broken connection."""
    if isinstance(recipients, str):
        recipients = [recipients]
    data = crlf(message)
    if not data.endswith(b"\r\n"):
        data += b"\r\n"
    replies = []
    with smtplib.SMTP(timeout=timeout) as client:
        code, text = client.connect(host, port)
        replies.append(("greeting", code, text))
        code, text = client.helo(helo)
        replies.append(("helo", code, text))
        code, text = client.mail(sender)
        replies.append(("mail", code, text))
        if 200 <= code < 300:
            ok = 0
            for rcpt in recipients:
                code, text = client.rcpt(rcpt)
                replies.append(("rcpt", code, text))
                ok += 200 <= code < 300
            if ok:
                code, text = client.data(data)
                replies.append(("data", code, text))
        try:
            code, text = client.docmd("quit")
            replies.append(("quit", code, text))
        except smtplib.SMTPServerDisconnected:
            pass
        client.close()
    return SmtpResult(replies, data)


def swaks_send(host, port, sender, recipients, message, helo="swaks.test", extra_args=(), timeout=TIMEOUT):
    """Sends one message with swaks; answers the transcript's replies as an SmtpResult (the command
    names in lower case) and the message as the server should receive it."""
    swaks = require_tool("swaks")
    if isinstance(recipients, str):
        recipients = [recipients]
    if isinstance(message, str):
        message = message.encode("latin-1")
    with tempfile.NamedTemporaryFile(prefix="tovenmarsh_swaks_", delete=False) as f:
        f.write(message)
        path = f.name
    try:
        argv = [swaks, "--server", "%s:%d" % (host, port), "--helo", helo, "--from", sender,
                "--to", ",".join(recipients), "--data", "@" + path, "--timeout", str(int(timeout)),
                "--suppress-data", *extra_args]
        try:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout * 3)
        except subprocess.TimeoutExpired:
            raise HarnessError("swaks did not finish within %.0f s" % (timeout * 3))
    finally:
        os.unlink(path)
    transcript = done.stdout.decode("latin-1")
    replies, last = [], "greeting"
    for line in transcript.splitlines():
        if line.startswith(" -> "):
            word = line[4:].split(" ")[0].split(":")[0].lower()
            if word in ("ehlo", "helo", "mail", "rcpt", "data", "quit", "rset"):
                last = word
            elif word == "." or last == "data":
                last = "."
        m = re.match(r"^<[-*~]{1,2} +(\d{3})[ -](.*)$", line)
        if m and not line.startswith(("<-  250-", "<** 250-")):
            # The reply to DATA's content ("." line) is reported under "data" like smtplib does.
            name = "data" if last == "." else last
            if name == "data" and int(m.group(1)) == 354:
                continue
            replies.append((name, int(m.group(1)), m.group(2).encode("latin-1")))
    result = SmtpResult(replies, crlf(message) + b"\r\n")
    result.returncode = done.returncode
    result.transcript = transcript + done.stderr.decode("latin-1")
    return result


def pop3_fetch(host, port, user, password, delete=False, timeout=TIMEOUT):
    """Logs in with poplib and fetches every message: [(number, uidl, bytes)] with CR LF lines,
    dot-unstuffed. delete=True marks each one with DELE; QUIT then removes them."""
    client = poplib.POP3(host, port, timeout=timeout)
    try:
        client.user(user)
        client.pass_(password)
        uidls = {}
        for line in client.uidl()[1]:
            number, uid = line.decode("latin-1").split(" ", 1)
            uidls[int(number)] = uid
        found = []
        count = client.stat()[0]
        for number in range(1, count + 1):
            _, lines, _ = client.retr(number)
            found.append((number, uidls.get(number), b"".join(l + b"\r\n" for l in lines)))
            if delete:
                client.dele(number)
        client.quit()
        return found
    finally:
        client.close()


def curl_pop3(host, port, user, password, path="", request=None, timeout=TIMEOUT):
    """Runs `curl pop3://host:port/<path>`: an empty path lists, a number retrieves that message;
    request sends a custom command instead (for example "DELE" with path "1", or "UIDL").
    Answers (exit code, bytes of the output)."""
    curl = require_tool("curl")
    argv = [curl, "--silent", "--show-error", "--max-time", str(int(timeout)), "--user", "%s:%s" % (user, password)]
    if request:
        argv += ["--request", request]
        if request.upper().startswith("DELE"):
            argv += ["--list-only"]  # DELE answers no body: do not wait for one
    argv.append("pop3://%s:%d/%s" % (host, port, path))
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout * 2)
    except subprocess.TimeoutExpired:
        raise HarnessError("curl did not finish within %.0f s" % (timeout * 2))
    return done.returncode, done.stdout


def smtp_source(host, port, messages, sessions=1, size=2048, sender="bench@source.test",
                recipient="user@local.test", extra_args=(), timeout=600.0):
    """Runs Postfix's smtp-source: `messages` messages of `size` payload bytes over `sessions`
    parallel sessions (one message per connection unless extra_args holds "-d"). Answers
    (exit code, elapsed seconds, output); the elapsed time includes starting the program."""
    import time
    source = require_tool("smtp-source")
    argv = [source, "-s", str(sessions), "-m", str(messages), "-l", str(size), "-f", sender, "-t", recipient,
            "-M", "source.test", *extra_args, "inet:%s:%d" % (host, port)]
    began = time.monotonic()
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise HarnessError("smtp-source did not finish within %.0f s" % timeout)
    return done.returncode, time.monotonic() - began, (done.stdout + done.stderr).decode("latin-1")


class Dialogue:
    """A raw line dialogue with an SMTP or POP3 server, for what real clients never send (split
    commands, bare LF, over-long lines, NUL bytes):

        with Dialogue(host, port) as d:      # d.greeting holds the first reply
            d.smtp("HELO x")                 # -> ["250 ..."], every line of a multi-line reply
            d.pop("LIST", multiline=True)    # -> ["+OK ...", "1 120", ...] without the "." line
            d.send(b"DATA\r\n"); d.smtp_reply()
    Every read waits at most `timeout` seconds and fails the test on silence or a closed connection.
    """

    def __init__(self, host, port, timeout=TIMEOUT, smtp=True):
        import socket
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buffer = b""
        self.greeting = self.smtp_reply() if smtp else [self.line()]

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendall(data)

    def line(self):
        """The next reply line without its CR LF."""
        while b"\r\n" not in self.buffer:
            try:
                chunk = self.sock.recv(65536)
            except OSError as e:
                raise HarnessError("no reply line: %s (have %r)" % (e, self.buffer[:200]))
            if not chunk:
                raise HarnessError("connection closed (have %r)" % self.buffer[:200])
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def smtp_reply(self):
        """Every line of one SMTP reply ("250-..." lines up to the "250 ..." line)."""
        lines = [self.line()]
        while len(lines[-1]) >= 4 and lines[-1][3] == "-":
            lines.append(self.line())
        return lines

    def smtp(self, command):
        self.send(command + "\r\n")
        return self.smtp_reply()

    def pop(self, command, multiline=False):
        """One POP3 command; with multiline and a "+OK", the body lines too (dot-unstuffed)."""
        self.send(command + "\r\n")
        lines = [self.line()]
        if multiline and lines[0].startswith("+OK"):
            while True:
                line = self.line()
                if line == ".":
                    break
                lines.append(line[1:] if line.startswith(".") else line)
        return lines

    def closed_by_peer(self, timeout=5.0):
        """True when the server closes the connection within timeout (after QUIT, say)."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.buffer += chunk
        except OSError:
            return False

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def connect_from(source, port, timeout=TIMEOUT):
    """A TCP connection to the server's port on 127.0.0.1 from the given loopback address."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def smtp_rcpt_flood(sock, count, addresses=(b"ann@acme.test", b"ANN@Acme.Test"), wait=120):
    """Pipelines one message with count RCPT commands, half to each spelling of one address, and
    answers the reply lines, or None when the server did not answer them all in time."""
    replies = []

    def read_all():
        data = b""
        while data.count(b"\r\n") < count + 5:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
        replies.append(data)

    reader = threading.Thread(target=read_all, daemon=True)
    reader.start()
    sock.sendall(b"HELO flood.test\r\nMAIL FROM:<f@example.com>\r\n")
    sock.sendall(b"".join(b"RCPT TO:<" + a + b">\r\n" for a in addresses) * (count // 2))
    sock.sendall(b"DATA\r\nSubject: flood\r\n\r\nbody\r\n.\r\nQUIT\r\n")
    reader.join(wait)
    return None if reader.is_alive() else replies[0].split(b"\r\n")
