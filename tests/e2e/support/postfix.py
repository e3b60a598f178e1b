"""A private Postfix instance on loopback, for the benchmark: it takes mail over SMTP and delivers
it to maildirs (virtual(8), one file per message), like our server's local delivery. Its own
configuration, queue and mail folders live in one temporary folder; /etc/postfix is read only for
Postfix's list of its own files.

    with PostfixServer(mailboxes=["user@local.test"]) as pf:
        clients.smtp_source(pf.address, pf.port, 1000, sessions=10, recipient="user@local.test")
        pf.wait_delivered(1000)
"""
import atexit
import os
import pwd
import re
import subprocess

from .net import HarnessError, PeerUnavailable, free_port, wait_for, wait_port
from .peer import PeerFixture
from .tools import memory_kb, process_tree, require_tool, temp_folder

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {root}/spool
data_directory = {root}/data
meta_directory = /etc/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = postfix.test
mydomain = postfix.test
mydestination =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
maillog_file_prefixes = {root}
maillog_file = {root}/maillog
alias_maps =
alias_database =
# Its own mailboxes only: no relay for anyone, and never a delivery off this machine.
smtpd_relay_restrictions = reject_unauth_destination
default_transport = error:no outbound mail from the test instance
relay_transport = error:no outbound mail from the test instance
virtual_mailbox_domains = {domains}
virtual_mailbox_base = {root}/mail
virtual_mailbox_maps = texthash:{root}/etc/vmailbox
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
"""


_running = set()  # instances to stop at interpreter exit when a test run ends early


@atexit.register
def _stop_leftovers():
    for instance in list(_running):
        instance.stop()


class PostfixServer(PeerFixture):
    """Postfix's master and its daemons, started with `postfix -c <own config> start` and stopped
    with `postfix -c <own config> stop` (then its master's pid, if it lingers).

    mailboxes: addresses delivered to maildirs (their domains become virtual mailbox domains).
    main_cf: extra main.cf lines (for example to match an fsync policy).
    """

    def __init__(self, mailboxes=("user@local.test",), address="127.0.0.1", port=None, main_cf=""):
        self.postfix = require_tool("postfix")
        for name in ("postfix",):
            try:
                pwd.getpwnam(name)
            except KeyError:
                raise HarnessError("system user postfix is missing: reinstall postfix (scripts/setup.sh)")
        self.mailboxes = list(mailboxes)
        self.address = address
        self.port = port
        self.extra_main_cf = main_cf
        nobody = pwd.getpwnam("nobody")
        self.uid, self.gid = nobody.pw_uid, nobody.pw_gid
        self.root = None
        self.started = False

    @property
    def config_dir(self):
        return os.path.join(self.root, "etc")

    @property
    def log_path(self):
        return os.path.join(self.root, "maillog")

    def maildir(self, address):
        local, _, domain = address.partition("@")
        return os.path.join(self.root, "mail", domain, local)

    def delivered(self, address=None):
        """Names of the delivered message files (all mailboxes, or one)."""
        addresses = [address] if address else self.mailboxes
        names = []
        for a in addresses:
            for sub in ("new", "cur"):
                folder = os.path.join(self.maildir(a), sub)
                if os.path.isdir(folder):
                    names += [os.path.join(folder, n) for n in os.listdir(folder)]
        return names

    def wait_delivered(self, count, timeout=120.0):
        if not wait_for(lambda: len(self.delivered()) >= count, timeout, interval=0.1):
            raise HarnessError("postfix delivered %d of %d within %.0f s\n%s"
                               % (len(self.delivered()), count, timeout, self.log_tail()))
        return self.delivered()

    def _run(self, command, timeout=60):
        # Postfix writes its own errors to stderr only when that is a terminal, so they are taken
        # from the log file; the command's exit code tells success.
        try:
            return subprocess.run([self.postfix, "-c", self.config_dir, command], stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError("postfix %s did not finish within %d s" % (command, timeout))

    def master_pid(self):
        try:
            with open(os.path.join(self.root, "spool", "pid", "master.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def processes(self):
        """Pids of the master and every process it started (its daemons)."""
        return process_tree(self.master_pid())

    def memory_kb(self):
        """(current, peak) resident memory summed over master and daemons, in KiB; daemons that
        already ended are not counted."""
        return memory_kb(self.processes())

    def start(self):
        if os.geteuid() != 0:
            raise PeerUnavailable("a private Postfix instance runs as root")
        self.root = temp_folder("tovenmarsh_postfix_")
        for sub in ("etc", "spool", "data", "mail"):
            os.mkdir(os.path.join(self.root, sub), 0o755)
        postfix_user = pwd.getpwnam("postfix")
        os.chown(os.path.join(self.root, "data"), postfix_user.pw_uid, postfix_user.pw_gid)
        os.chown(os.path.join(self.root, "mail"), self.uid, self.gid)
        if self.port is None:
            self.port = free_port(self.address)
        domains = sorted({m.partition("@")[2] for m in self.mailboxes})
        with open(os.path.join(self.config_dir, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(root=self.root, domains=", ".join(domains), uid=self.uid, gid=self.gid))
            f.write(self.extra_main_cf)
        with open(os.path.join(self.config_dir, "vmailbox"), "w") as f:
            for m in self.mailboxes:
                local, _, domain = m.partition("@")
                f.write("%s %s/%s/\n" % (m, domain, local))  # trailing "/": maildir
        # The distribution's service table, unchained, with smtpd on our own address and port.
        with open("/usr/share/postfix/master.cf.dist") as f:
            services = f.read()
        services = re.sub(r"(?m)^smtp(\s+)inet\b", "%s:%d\\1inet" % (self.address, self.port), services, count=1)
        services = re.sub(r"(?m)^(\S+\s+(?:unix|unix-dgram|inet|fifo|pass)\s+\S+\s+\S+\s+)y\b", r"\1n", services)
        with open(os.path.join(self.config_dir, "master.cf"), "w") as f:
            f.write(services)
        done = self._run("start")
        self.started = True
        _running.add(self)
        if done.returncode != 0 or not wait_port(self.address, self.port, timeout=20):
            raise HarnessError("postfix did not start on %s:%d (exit %d)\n%s"
                               % (self.address, self.port, done.returncode, self.log_tail()))
        return self

    def stop(self):
        if not self.started:
            return
        self.started = False
        _running.discard(self)
        master = self.master_pid()
        try:
            self._run("stop")
        except HarnessError:
            pass
        if master and not wait_for(lambda: not os.path.exists("/proc/%d" % master), 20):
            try:
                os.kill(master, 9)  # the master we started; its daemons end with it
            except OSError:
                pass
