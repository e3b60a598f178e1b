"""A private Dovecot POP3 instance on a loopback address: its own configuration, base folder,
users and maildirs in one temporary folder; the system's Dovecot configuration is never read.

    with Dovecot(users={"ext1": "secret"}) as pop:    # 127.0.0.3:110
        pop.deliver("ext1", b"Subject: a\r\n\r\nbody\r\n")
        pop.messages("ext1")                          # what is still in the mailbox
"""
import grp
import os
import pwd
import socket
import subprocess
import time

from .net import HarnessError, PeerUnavailable
from .peer import SpawnedPeer
from .tools import memory_kb, process_tree, require_tool, spawn, temp_folder

CONFIG = """\
# Private test instance: nothing from the system configuration.
instance_name = {instance}
base_dir = {root}/run
state_dir = {root}/state
protocols = pop3
listen = {address}
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
auth_failure_delay = 0
log_path = {root}/dovecot.log
info_log_path = {root}/dovecot.log
default_login_user = dovenull
default_internal_user = dovecot
first_valid_uid = 1
mail_location = maildir:{root}/mail/%u
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {root}/users
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {root}/users
  default_fields = uid={uid} gid={gid} home={root}/home/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = {address}
    port = {port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
# No growing delay after failed logins from one address: tests fail logins on purpose.
service anvil {{
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
service imap-login {{
  inet_listener imap {{
    port = 0
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
"""


class Dovecot(SpawnedPeer):
    """Dovecot's POP3 service, run as root from its own configuration file; mail users map to
    the unprivileged system user "nobody" (Dovecot refuses mail access as root).

    users: dict name -> plain password (more with add_user before start). port: 110 by default
    (collection connects to port 110); the address moves to another 127.0.0.x when it is busy.
    """

    def __init__(self, users=None, address="127.0.0.3", port=110):
        self.executable = require_tool("dovecot")
        for name in ("dovecot", "dovenull"):
            try:
                pwd.getpwnam(name)
            except KeyError:
                raise HarnessError("system user %s is missing: reinstall dovecot-core (scripts/setup.sh)" % name)
        self.preferred = address
        self.address = None
        self.port = port
        self.users = dict(users or {})
        nobody = pwd.getpwnam("nobody")
        self.uid = nobody.pw_uid
        self.gid = grp.getgrnam("nogroup").gr_gid if _has_group("nogroup") else nobody.pw_gid
        self.root = None
        self.process = None
        self.lease = None
        self._serial = 0

    # --- files -----------------------------------------------------------------------------
    @property
    def config_path(self):
        return os.path.join(self.root, "dovecot.conf")

    @property
    def log_path(self):
        return os.path.join(self.root, "dovecot.log")

    def _prepare(self):
        if self.root is None:
            self.root = temp_folder("tovenmarsh_dovecot_")
            for sub in ("mail", "home"):
                os.mkdir(os.path.join(self.root, sub))
                os.chown(os.path.join(self.root, sub), self.uid, self.gid)
            self._write_users()

    def _write_users(self):
        with open(os.path.join(self.root, "users"), "w") as f:
            for name, password in self.users.items():
                f.write("%s:{PLAIN}%s::::::\n" % (name, password))
        os.chmod(os.path.join(self.root, "users"), 0o644)

    def add_user(self, name, password):
        """Adds or changes a user; passwd-file is re-read by Dovecot on change, even while it runs."""
        self.users[name] = password
        if self.root is not None:
            self._write_users()

    def maildir(self, user):
        """The user's maildir (created with cur/new/tmp, owned by the mail user)."""
        self._prepare()
        folder = os.path.join(self.root, "mail", user)
        for sub in ("", "cur", "new", "tmp"):
            path = os.path.join(folder, sub)
            if not os.path.isdir(path):
                os.mkdir(path, 0o700)
                os.chown(path, self.uid, self.gid)
        return folder

    def deliver(self, user, message):
        """Puts one message (bytes, CR LF or LF lines) into the user's maildir "new" folder, as a
        delivery agent would; answers its file name. Dovecot stores LF lines and serves CR LF."""
        if isinstance(message, str):
            message = message.encode("latin-1")
        folder = self.maildir(user)
        self._serial += 1
        # Dovecot numbers new messages in the order of these names: keep it the delivery order.
        name = "%d.M%06dP%d.%s" % (time.time(), self._serial, os.getpid(), socket.gethostname())
        tmp = os.path.join(folder, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(message.replace(b"\r\n", b"\n"))
        os.chown(tmp, self.uid, self.gid)
        os.rename(tmp, os.path.join(folder, "new", name))
        return name

    def messages(self, user):
        """The messages still in the user's maildir (new and cur), as stored (LF lines)."""
        folder = os.path.join(self.root, "mail", user)
        found = []
        for sub in ("new", "cur"):
            path = os.path.join(folder, sub)
            if os.path.isdir(path):
                for name in sorted(os.listdir(path)):
                    with open(os.path.join(path, name), "rb") as f:
                        found.append(f.read())
        return found

    def memory_kb(self):
        """(current, peak) resident memory of the master and its service processes, in KiB."""
        return memory_kb(process_tree(self.process.pid if self.process else None))

    # --- running ---------------------------------------------------------------------------
    def start(self):
        if os.geteuid() != 0:
            raise PeerUnavailable("the private Dovecot instance runs as root")
        self._prepare()
        stderr_path = os.path.join(self.root, "stderr.txt")
        def launch():
            with open(self.config_path, "w") as f:
                f.write(CONFIG.format(instance="tovenmarsh-e2e-%d" % os.getpid(), root=self.root,
                                      address=self.address, port=self.port, uid=self.uid, gid=self.gid))
            with open(stderr_path, "ab") as err:
                # -F: stays in the foreground, so the process we hold is the master.
                return spawn([self.executable, "-F", "-c", self.config_path],
                             stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        if self._start_leased(launch, timeout=15):
            return self
        with open(stderr_path, "rb") as f:
            err = f.read().decode("latin-1")
        raise HarnessError("dovecot did not start on %s:%d\n%s\n%s" % (self.address, self.port, err[-2000:],
                                                                      self.log_tail()))


def _has_group(name):
    try:
        grp.getgrnam(name)
        return True
    except KeyError:
        return False
