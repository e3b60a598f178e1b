"""Postfix's smtp-sink as the far side of a relay: a private instance on a loopback address.

    with SmtpSink() as sink:                      # 127.0.0.2:25, accepts everything
        ... point RelayServer at sink.address ...
        sink.wait_messages(1)[0].body             # the message as received (LF line ends)
    with SmtpSink(soft_reject=["RCPT"]) as sink:  # every RCPT answered 4xx
    with SmtpSink(hard_reject=["."]) as sink:     # the end of DATA answered 5xx

The rejectable commands are smtp-sink's: CONNECT, HELO, EHLO, MAIL, RCPT, DATA, ".", RSET,
NOOP, QUIT (any case).
"""
import os
import re
import subprocess
import time

from .net import HarnessError, wait_for
from .peer import SpawnedPeer
from .tools import require_tool, spawn, temp_folder

SOFT_REPLY = "450 4.3.0 Error: try again later"
HARD_REPLY = "550 5.3.0 Error: rejected"


class SinkMessage:
    """One DATA transaction that smtp-sink captured."""

    def __init__(self, name, raw):
        self.name = name
        self.raw = raw
        lines = raw.split(b"\n")
        self.client = self.helo = self.mail_from = None
        self.rcpt_to = []
        i = 0
        while i < len(lines) and not lines[i].startswith(b"Received: "):
            key, _, value = lines[i].partition(b": ")
            value = value.decode("latin-1")
            if key == b"X-Client-Addr":
                self.client = value
            elif key == b"X-Helo-Args":
                self.helo = value
            elif key == b"X-Mail-Args":
                self.mail_from = value
            elif key == b"X-Rcpt-Args":
                self.rcpt_to.append(value)
            i += 1
        # smtp-sink's own Received header is three lines; the message follows, then one empty line.
        body = b"\n".join(lines[i + 3:])
        if body.endswith(b"\n\n"):
            body = body[:-1]
        self.body = body  # as received, dot-unstuffed, CR LF turned into LF

    @property
    def body_crlf(self):
        return self.body.replace(b"\n", b"\r\n")

    def __repr__(self):
        return "SinkMessage(%s, from=%s, to=%s, %d bytes)" % (self.name, self.mail_from, self.rcpt_to, len(self.body))


class SmtpSink(SpawnedPeer):
    """smtp-sink on a loopback address, started by __enter__/start and stopped by __exit__/stop.

    address: preferred loopback address; another 127.0.0.x is taken when the port is busy there
    (tests running at the same time). port: 25 by default (a relay connects to port 25).
    soft_reject / hard_reject: commands answered with soft_reply (4xx) / hard_reply (5xx).
    """

    folder_attribute = "workdir"

    def __init__(self, address="127.0.0.2", port=25, soft_reject=(), hard_reject=(), soft_reply=SOFT_REPLY,
                 hard_reply=HARD_REPLY, extra_args=(), hostname="sink.test"):
        self.executable = require_tool("smtp-sink")
        self.preferred = address
        self.address = None
        self.port = port
        self.soft_reject = [c.upper() for c in soft_reject]
        self.hard_reject = [c.upper() for c in hard_reject]
        self.soft_reply = soft_reply
        self.hard_reply = hard_reply
        self.extra_args = list(extra_args)
        self.hostname = hostname
        self.workdir = None
        self.process = None
        self.lease = None

    @property
    def dump_folder(self):
        return os.path.join(self.workdir, "messages")

    @property
    def log_path(self):
        return os.path.join(self.workdir, "smtp-sink.log")

    def argv(self):
        args = [self.executable, "-v", "-h", self.hostname]
        if os.geteuid() == 0:
            args += ["-u", "nobody"]  # smtp-sink refuses to keep root after binding
        if self.soft_reject:
            args += ["-r", ",".join(self.soft_reject), "-b", self.soft_reply]
        if self.hard_reject:
            args += ["-f", ",".join(self.hard_reject), "-B", self.hard_reply]
        args += ["-d", os.path.join(self.dump_folder, "%Y%m%d%H%M%S.")]
        args += self.extra_args
        args += ["inet:%s:%d" % (self.address, self.port), "64"]
        return args

    def start(self):
        self.workdir = temp_folder("tovenmarsh_sink_")
        os.mkdir(self.dump_folder)
        os.chmod(self.dump_folder, 0o777)  # written by the unprivileged user smtp-sink turns into
        def launch():
            with open(self.log_path, "ab") as log:
                return spawn(self.argv(), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if self._start_leased(launch, timeout=10):
            # Let the readiness probe's session end first, so that it never interleaves with
            # the first real session in the log.
            wait_for(lambda: 1 <= self._log_count("connect (") == self._log_count("disconnect"), 5)
            return self
        raise HarnessError("smtp-sink did not start on %s:%d\n%s" % (self.address, self.port, self.log_tail()))

    def _log_count(self, text):
        return sum(1 for line in self.log_tail(count=10 ** 9).splitlines()
                   if re.sub(r"^\S*smtp-sink: ", "", line).startswith(text))

    def sessions(self):
        """The commands of each SMTP session seen so far, in order; sessions without a command
        (the readiness probe) are left out. The log does not tell concurrent sessions apart: with
        several at once their commands mix."""
        result, open_sessions = [], []
        for line in self.log_tail(count=10 ** 9).splitlines():
            text = re.sub(r"^\S*smtp-sink: ", "", line)
            if text.startswith("connect ("):
                open_sessions.append([])
            elif text == "disconnect":
                if not open_sessions:
                    continue
                # A session without commands (a probe) ends first when one is open.
                ended = next((s for s in open_sessions if not s), open_sessions[0])
                open_sessions.remove(ended)
                if ended:
                    result.append(ended)
            elif open_sessions and (re.match(r"^[A-Za-z]{4}\b", text) or text == ".") \
                    and not text.startswith(("vstream_", "smtp_stream_", "name_mask", "trying")):
                open_sessions[-1].append(text)
        result.extend(s for s in open_sessions if s)
        return result

    def commands(self, verb):
        """Every command line of the given verb (any case) over all sessions."""
        verb = verb.upper()
        return [c for s in self.sessions() for c in s if c.split(" ")[0].split(":")[0].upper() == verb]

    def connections(self):
        """How many SMTP sessions with at least one command the sink has seen."""
        return len(self.sessions())

    def dumps(self):
        """Every captured DATA transaction, accepted or not, oldest first."""
        if not os.path.isdir(self.dump_folder):
            return []
        busy = self._open_files()
        found = []
        # Capture names sort by second only; the time of the last write orders them.
        paths = [os.path.join(self.dump_folder, n) for n in os.listdir(self.dump_folder)]
        for path in sorted(paths, key=lambda p: (os.stat(p).st_mtime_ns, p)):
            name = os.path.basename(path)
            if path in busy:
                continue  # smtp-sink closes a capture when its transaction is over
            with open(path, "rb") as f:
                found.append(SinkMessage(name, f.read()))
        return found

    def _open_files(self):
        """Files the running smtp-sink holds open (captures still being written)."""
        if self.process is None or self.process.poll() is not None:
            return set()
        folder = "/proc/%d/fd" % self.process.pid
        busy = set()
        try:
            names = os.listdir(folder)
        except OSError:
            return busy
        for fd in names:
            try:
                busy.add(os.readlink(os.path.join(folder, fd)))
            except OSError:
                pass
        return busy

    def messages(self):
        """The messages the sink accepted: none when it rejects the end of DATA."""
        if "." in self.soft_reject or "." in self.hard_reject:
            return []
        return self.dumps()

    def wait_messages(self, count, timeout=20.0):
        """Waits until at least count messages were accepted; answers them."""
        if not wait_for(lambda: len(self.messages()) >= count, timeout):
            raise HarnessError("smtp-sink got %d of %d messages within %.0f s\n%s"
                               % (len(self.messages()), count, timeout, self.log_tail()))
        # smtp-sink may still append a capture's last bytes after letting go of the file:
        # answer only once two looks a moment apart agree.
        deadline = time.monotonic() + timeout
        before = self.messages()
        while True:
            time.sleep(0.2)
            now = self.messages()
            if [(m.name, m.raw) for m in now] == [(m.name, m.raw) for m in before] or time.monotonic() > deadline:
                return now
            before = now
