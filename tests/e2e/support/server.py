"""Our server, run as a user would: the binary in a fresh program folder, started headless.

    with Server(binary, config={"RelayServer": "127.0.0.2"}) as server:
        server.ports["smtp"]          # 25 + the offset, on server.address
        server.texts()                # the log's texts so far
    # leaving the block sent SIGTERM and asserted exit code 0 and the closing log lines
"""
import os
import re
import shutil
import signal
import subprocess

from .net import AddressLease, HarnessError, free_offset, port_open, wait_for, wait_port
from .tools import forget, memory_kb, remove_folder, spawn, temp_folder

BASE_PORTS = {"smtp": 25, "pop3": 110, "http": 80}

LOG_LINE = re.compile(
    r"(Panic|Exception|Error|Warning|ErrorText|Message) on "
    r"(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
    r"\d\d:\d\d:\d\d [+-]\d{4} : (.*)\r\n")
STARTED = "tovenmarsh startet"
# The daemons' and listeners' own lines, which fall between the core's start and stop lines.
SUBSYSTEM_LINE = re.compile(r"^\[\w+ (listener )?(started|stopped)( on port \d+)?\]$")
STOP_LINES = ["tovenmarsh shuting down", "tovenmarsh stopped", "* * * * * * * * * * *"]


class Server:
    """One installation of the binary in its own temporary program folder.

    config: dict of tovenmarsh.cfg keys (written before each start, CR LF lines); None writes no
    file, so every key keeps its default. wait_ports: services ("smtp", "pop3", "http") whose
    ports must accept connections before start() returns.
    """

    def __init__(self, binary, config=None, wait_ports=("smtp", "pop3"), env=None, start_timeout=30.0):
        self.binary_source = os.path.abspath(binary)
        if not os.path.isfile(self.binary_source):
            raise HarnessError("no server binary at %s" % self.binary_source)
        self.config = dict(config) if config is not None else None
        self.wait_ports = tuple(wait_ports)
        self.extra_env = dict(env or {})
        self.start_timeout = start_timeout
        self.workdir = temp_folder("tovenmarsh_e2e_")
        # The program folder holds nothing but what the server makes; our own output lives beside it.
        self.folder = os.path.join(self.workdir, "program")
        os.mkdir(self.folder)
        self.binary = os.path.join(self.folder, "tovenmarsh")
        try:
            os.link(self.binary_source, self.binary)
        except OSError:
            shutil.copy2(self.binary_source, self.binary)
        self.stdout_path = os.path.join(self.workdir, "stdout.txt")
        self.stderr_path = os.path.join(self.workdir, "stderr.txt")
        self.address = "127.0.0.1"
        self.offset = None
        self.lease = None
        self.ports = {}
        self.process = None

    # --- folders and files -----------------------------------------------------------------
    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    @property
    def queue_folder(self):
        return self.path("queue")

    @property
    def mail_folder(self):
        return self.path("mail")

    @property
    def document_folder(self):
        return self.path("document")

    @property
    def db_folder(self):
        return self.path("db")

    @property
    def log_path(self):
        return self.path("tovenmarsh.log")

    def files(self, folder):
        """Names of the plain files directly in one of the server's folders ("queue", "mail", ...)."""
        full = self.path(folder)
        if not os.path.isdir(full):
            return []
        return sorted(n for n in os.listdir(full) if os.path.isfile(os.path.join(full, n)))

    def write_config(self, config=None):
        if config is not None:
            self.config = dict(config)
        path = self.path("tovenmarsh.cfg")
        if self.config is None:
            if os.path.exists(path):
                os.unlink(path)
            return
        with open(path, "wb") as f:
            f.write("".join("%s=%s\r\n" % (k, v) for k, v in self.config.items()).encode("latin-1"))

    # --- the log ---------------------------------------------------------------------------
    def log_text(self):
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def log_lines(self):
        """(level, text) of every log line; the log must hold nothing but whole lines."""
        data = self.log_text()
        rest = LOG_LINE.sub("", data)
        if rest:
            raise HarnessError("log holds text outside the line form: %r" % rest[:200])
        return [(m.group(1), m.group(2)) for m in LOG_LINE.finditer(data)]

    def texts(self):
        return [text for _, text in self.log_lines()]

    def wait_log(self, pattern, timeout=20.0):
        """Waits until a log text matches the regular expression pattern; answers the match."""
        regex = re.compile(pattern)
        found = wait_for(lambda: next((m for m in map(regex.search, self.texts()) if m), None), timeout)
        if not found:
            raise HarnessError("no log line matching %r within %.0f s\n%s" % (pattern, timeout, self.diagnostics()))
        return found

    def wait_files(self, folder, predicate, timeout=20.0):
        """Waits until predicate(list of file names in folder) holds; answers the names.
        For example server.wait_files("queue", lambda names: not names)."""
        if not wait_for(lambda: predicate(self.files(folder)), timeout):
            raise HarnessError("folder %s: condition not met within %.0f s, files %s\n%s"
                               % (folder, timeout, self.files(folder), self.diagnostics()))
        return self.files(folder)

    def cpu_seconds(self):
        """User plus system CPU time the running server has used so far (from /proc): a waiting
        server that uses as much CPU as wall-clock time is spinning."""
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def memory_kb(self):
        """(current, peak) resident memory of the running server in KiB (VmRSS, VmHWM)."""
        return memory_kb([self.process.pid])

    def stderr_text(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def diagnostics(self):
        """The last log lines and stderr, for failure messages."""
        return "log:\n%s\nstderr:\n%s" % ("".join(self.log_text().splitlines(True)[-20:]),
                                         self.stderr_text()[-2000:])

    # --- running ---------------------------------------------------------------------------
    def running(self):
        return self.process is not None and self.process.poll() is None

    def start(self):
        if self.running():
            raise HarnessError("server already running")
        self.write_config()
        # Every port is leased, so a parallel test run whose offset puts one of its ports on
        # one of ours (its POP3 port on our SMTP port, say) cannot take it before we bind it.
        self.release_offset()
        for _ in range(20):
            self.offset = free_offset(tuple(BASE_PORTS.values()), self.address)
            self.lease = [AddressLease(self.address, base + self.offset) for base in BASE_PORTS.values()]
            if all(lease.held for lease in self.lease):
                break
            self.release_offset()
        else:
            raise HarnessError("no free port offset could be leased")
        self.ports = {name: base + self.offset for name, base in BASE_PORTS.items()}
        env = dict(os.environ)
        env.update(self.extra_env)
        env["TOVENMARSH_PORT_OFFSET"] = str(self.offset)
        before = self.texts().count(STARTED)
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.process = spawn([self.binary], cwd="/", env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            started = wait_for(lambda: self.process.poll() is not None
                               or self.texts().count(STARTED) > before, self.start_timeout)
            if not started or self.process.poll() is not None:
                raise HarnessError("server did not start (exit code %s)\n%s"
                                   % (self.process.poll(), self.diagnostics()))
            for name in self.wait_ports:
                if not wait_port(self.address, self.ports[name], self.start_timeout, self.process):
                    raise HarnessError("server port %s (%d) did not open\n%s"
                                       % (name, self.ports[name], self.diagnostics()))
        except BaseException:
            self.kill()
            raise
        return self

    def release_offset(self):
        for lease in self.lease or []:
            lease.release()
        self.lease = None

    def open_ports(self):
        """The services whose ports accept connections now."""
        return sorted(name for name, port in self.ports.items() if port_open(self.address, port))

    def stop(self, timeout=30.0, expect_code=0):
        """SIGTERM, a bounded wait, then the exit code and the closing log lines are checked."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise HarnessError("server did not end within %.0f s of SIGTERM\n%s" % (timeout, self.diagnostics()))
        forget(self.process)
        self.process = None
        if expect_code is not None and code != expect_code:
            raise HarnessError("server ended with code %s, expected %s\n%s" % (code, expect_code, self.diagnostics()))
        core_texts = [t for t in self.texts() if not SUBSYSTEM_LINE.match(t)]
        if expect_code == 0 and core_texts[-3:] != STOP_LINES:
            raise HarnessError("server log does not end with the stop lines\n%s" % self.diagnostics())
        return code

    def kill(self):
        """Ends the process at once (failure paths); never raises."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self.process is not None:
            forget(self.process)
        self.process = None

    def close(self):
        self.kill()
        self.release_offset()
        remove_folder(self.workdir)

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            if exc_type is None and self.process is not None:
                self.stop()
        finally:
            self.close()
        return False
