#!/usr/bin/env python3
"""Mail server benchmark: our server against Postfix (delivery) and Dovecot (POP3), in one run.

How to run (as root, with the peers of scripts/setup.sh and a C compiler installed):

    cmake --build <build> --target tovenmarsh tovenmarsh_admin
    python3 bench/mail/mail_server_bench.py --binary <build>/src/app/tovenmarsh \
        [--admin <build>/tools/tovenmarsh_admin] [--messages 1000] [--sessions 10] [--runs 3] \
        [--pop-messages 1000] [--quick]

--quick is the smoke run (50 messages, 2 runs, 50 messages to retrieve; well under a minute).

The peers run as their users set them up, as private instances on loopback (never the
machine's own services), each from its own folder, and all are stopped at the end:
- Postfix (its distribution's master.cf, default durability) takes the mail over SMTP and
  delivers it with virtual(8) to a local Maildir, one file per message, as our server stores
  one file per message.
- Dovecot serves those same Maildirs over POP3.

Delivery: Postfix's smtp-source sends --messages messages of 2 KB, then of 100 KB, over
--sessions parallel sessions, to each side; every run goes to a mailbox of its own, so runs
start alike, after one untimed warm-up run on each side (Postfix starts its daemons on
demand). The sides take turns (the first side changes from run to run) and every figure is the
median over --runs runs with the range [min-max]. Measured per run:
- delivered msg/s: until the last message is in the mailbox (ours: its file is in the mail
  folder, the queue folder is empty, and POP3 shows them all; Postfix: the Maildir files);
- accepted msg/s, a side figure only: Postfix ties intake to delivery (its queue manager works
  while smtpd takes more), so the time smtp-source takes does not mean the same on both sides;
- CPU seconds per message of the side's processes (user + system from /proc; for Postfix the
  master, its live daemons and the daemons that ended, through the master's child times);
- syncs per message: fsync, fdatasync, other syncs and writes to O_DSYNC files, counted in
  every process of the side by a preloaded counter (sync_count_preload.c, built here; Postfix's
  master passes it on to its daemons through import_environment);
- peak memory: PSS summed over the side's processes (from /proc/<pid>/smaps_rollup, sampled
  every 100 ms), so shared libraries count once, not once per process as summed RSS would.
Our single process also serves POP3 and HTTP during delivery; Postfix's figures are Postfix's.

Retrieval: --pop-messages messages of 50 KB and as many of 2 KB are delivered by each side
(untimed) into a mailbox each; then poplib fetches every message (UIDL, then RETR of each) from
our POP3 server and from Dovecot, once untimed (the first login builds Dovecot's index and
stamps our rows), then --runs times in turn. Figures: msg/s and MB/s, CPU seconds per message of
the serving side, and peak PSS (ours: the whole server; Dovecot: its master and services).

Ratios are ours / peer: above 1 is faster for msg/s; below 1 is less for CPU, syncs and memory.
"""
import argparse
import os
import poplib
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import support  # noqa: E402
from support import clients  # noqa: E402
from support.admin import Admin  # noqa: E402
from support.tools import process_tree  # noqa: E402

DOMAIN = "local.test"
PASSWORD = "secret"
SLOTS = ("fsync", "fdatasync", "other", "dsync-writes")
CLOCK_TICK = os.sysconf("SC_CLK_TCK")


# --- counting syncs ------------------------------------------------------------------------
class SyncCounter:
    """A counter file shared by the processes of one side (see sync_count_preload.c)."""

    def __init__(self, folder, name, library):
        self.library = library
        self.path = os.path.join(folder, name + ".counter")
        with open(self.path, "wb") as f:
            f.write(b"\0" * 4096)
        os.chmod(self.path, 0o666)  # the daemons write it after dropping root

    def env(self):
        return {"LD_PRELOAD": self.library, "TM_SYNC_COUNTER": self.path} if self.library else {}

    def read(self):
        with open(self.path, "rb") as f:
            data = f.read(8 * len(SLOTS))
        return [int.from_bytes(data[i * 8:i * 8 + 8], "little") for i in range(len(SLOTS))]


def build_preload(folder):
    """Compiles the sync counter; None (no counting) without a C compiler."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not compiler:
        return None
    library = os.path.join(folder, "sync_count_preload.so")
    done = subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", library,
                           os.path.join(HERE, "sync_count_preload.c"), "-ldl"], capture_output=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode("latin-1"))
        return None
    os.chmod(folder, 0o755)
    os.chmod(library, 0o755)
    return library


# --- processes: CPU and memory ---------------------------------------------------------------
def stat_fields(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()


def cpu_seconds(pids, with_children_of=None):
    """User + system time of pids; for with_children_of also the time of its ended children."""
    total = 0
    for pid in pids:
        try:
            fields = stat_fields(pid)
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])
        if pid == with_children_of:
            total += int(fields[13]) + int(fields[14])
    return total / CLOCK_TICK


def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:  # ended between listing and reading
            pass
    return total


class PeakPss:
    """Samples the summed PSS of pids() every 100 ms in the background; keeps the largest."""

    def __init__(self, pids):
        self.pids = pids
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(0.1)

    def sample(self):
        self.peak = max(self.peak, pss_kib(self.pids()))

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.sample()


class Side:
    """One side of the comparison: how to list its processes, read its CPU time, count delivery."""

    def __init__(self, name, pids, cpu, counter):
        self.name, self.pids, self.cpu, self.counter = name, pids, cpu, counter


class Figures:
    """Per-run figures of one side."""

    def __init__(self):
        self.rate, self.accepted, self.cpu, self.syncs, self.pss = [], [], [], [], []
        self.sync_detail = None

    def add(self, rate, accepted, cpu, syncs, pss):
        self.rate.append(rate)
        if accepted is not None:
            self.accepted.append(accepted)
        self.cpu.append(cpu)
        self.syncs.append(syncs)
        self.pss.append(pss)


def measure(side, messages, action, figures):
    """Runs action() -> (accepted seconds or None, seconds) on one side; adds one run's figures."""
    cpu0, syncs0 = side.cpu(), side.counter.read() if side.counter else None
    with PeakPss(side.pids) as peak:
        accepted, seconds = action()
    cpu = side.cpu() - cpu0
    if syncs0 is not None:
        detail = [b - a for a, b in zip(syncs0, side.counter.read())]
        figures.sync_detail = [d + (s or 0) for d, s in zip(detail, figures.sync_detail or [0] * len(detail))]
        syncs = sum(detail) / messages
    else:
        syncs = float("nan")
    figures.add(messages / seconds, messages / accepted if accepted else None, cpu / messages, syncs, peak.peak)


# --- reporting -------------------------------------------------------------------------------
def median(values):
    v = sorted(values)
    n = len(v)
    if n == 0:
        return float("nan")
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def cell(values, fmt):
    values = [v for v in values if v == v]  # no NaN: not measured
    if not values:
        return "-"
    return (fmt + " [" + fmt + "-" + fmt + "]") % (median(values), min(values), max(values))


def ratio_cell(ours, peer):
    if not ours or not peer or len(ours) != len(peer) or any(v != v for v in ours + peer):
        return "-"
    per_run = [o / p if p else float("nan") for o, p in zip(ours, peer)]
    m = median(peer)
    return "%.2f [%.2f-%.2f]" % (median(ours) / m if m else float("nan"), min(per_run), max(per_run))


def print_table(title, ours, peer, peer_name, rows):
    print("\n" + title)
    print("  %-30s %-32s %-32s %s" % ("", "ours", peer_name, "ours / " + peer_name))
    for label, attribute, fmt, scale in rows:
        o = [x * scale for x in getattr(ours, attribute)]
        p = [x * scale for x in getattr(peer, attribute)]
        print("  %-30s %-32s %-32s %s" % (label, cell(o, fmt), cell(p, fmt), ratio_cell(o, p)))
    for name, figures in (("ours", ours), (peer_name, peer)):
        if figures.sync_detail:
            print("  syncs counted, %s: %s" % (name, ", ".join("%s %d" % (s, n) for s, n in
                                                             zip(SLOTS, figures.sync_detail))))
    sys.stdout.flush()


# --- the two servers -------------------------------------------------------------------------
def wait_until(predicate, what, timeout=900.0):
    if not support.wait_for(predicate, timeout, interval=0.05):
        raise support.HarnessError("%s not reached within %.0f s" % (what, timeout))


def pop3_count(host, port, user):
    try:
        box = poplib.POP3(host, port, timeout=30)
    except OSError:
        return 0
    try:
        box.user(user)
        box.pass_(PASSWORD)
        return box.stat()[0]
    except poplib.error_proto:
        return 0
    finally:
        try:
            box.quit()
        except Exception:
            pass


def retrieve_all(host, port, user):
    """Fetches every message once (UIDL then RETR); answers (count, bytes)."""
    box = poplib.POP3(host, port, timeout=120)
    box.user(user)
    box.pass_(PASSWORD)
    count = len(box.uidl()[1])
    size = 0
    for n in range(1, count + 1):
        size += sum(len(line) + 2 for line in box.retr(n)[1])
    box.quit()
    return count, size


def send(host, port, messages, sessions, size, recipient):
    code, seconds, output = clients.smtp_source(host, port, messages, sessions, size, recipient=recipient,
                                                timeout=1800)
    if code != 0:
        raise support.HarnessError("smtp-source to %s:%d: exit %d\n%s" % (host, port, code, output))
    return seconds


def add_accounts(admin, users):
    """One company and domain; one account per user, reached as user@DOMAIN. Answers the POP3
    login of each user: our server takes the account number from the digits of the login."""
    company = admin("add-company", "Bench").strip()
    admin("add-domain", company, DOMAIN)
    logins = {}
    for number, user in enumerate(users, 1):
        admin("add-account", str(number), "User %d" % number, PASSWORD)
        admin("add-alias", user, company, str(number))
        logins[user] = "u%d" % number
    return logins


class Ours:
    def __init__(self, server, logins):
        self.server = server
        self.logins = logins
        self.files_expected = 0  # messages in the mail folder once every run so far is delivered

    def pids(self):
        return [self.server.process.pid] if self.server.running() else []

    def cpu(self):
        return cpu_seconds(self.pids())

    def delivered(self, user, messages):
        """Our mailbox files are in the mail folder and the queue folder is empty (a queue file
        goes only after its mailbox rows are committed); then POP3 must show them all. POP3 is
        asked only then: every login stamps the mailbox's rows, which would compete with delivery."""
        if len(self.server.files("mail")) < self.files_expected or self.server.files("queue"):
            return False
        return pop3_count(self.server.address, self.server.ports["pop3"], self.logins[user]) >= messages

    def deliver(self, user, messages, sessions, size):
        self.files_expected += messages
        began = time.monotonic()
        accepted = send(self.server.address, self.server.ports["smtp"], messages, sessions, size,
                        "%s@%s" % (user, DOMAIN))
        wait_until(lambda: self.delivered(user, messages), "ours: %d messages for %s" % (messages, user))
        return accepted, time.monotonic() - began


class Postfix:
    def __init__(self, postfix):
        self.postfix = postfix

    def pids(self):
        return self.postfix.processes()

    def cpu(self):
        return cpu_seconds(self.pids(), with_children_of=self.postfix.master_pid())

    def deliver(self, user, messages, sessions, size):
        address = "%s@%s" % (user, DOMAIN)
        began = time.monotonic()
        accepted = send(self.postfix.address, self.postfix.port, messages, sessions, size, address)
        wait_until(lambda: len(self.postfix.delivered(address)) >= messages,
                   "postfix: %d messages for %s" % (messages, address))
        return accepted, time.monotonic() - began


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--admin")
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--sessions", type=int, default=10)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--pop-messages", type=int, default=1000)
    parser.add_argument("--quick", action="store_true", help="smoke run: 50 messages, 2 runs")
    args, _ = parser.parse_known_args()
    if args.quick:
        args.messages, args.runs, args.pop_messages = 50, 2, 50
    binary = os.path.abspath(args.binary)
    if args.admin:
        sys.argv += ["--admin", args.admin]
    if os.geteuid() != 0:
        print("skipped: the private Postfix and Dovecot instances run as root")
        return 0

    # SIGTERM or SIGHUP (a time limit, a closed terminal) unwinds like Ctrl-C, so every server and
    # peer started here is stopped and the folders go; by default Python would just die.
    def interrupted(number, frame):
        raise KeyboardInterrupt("signal %d" % number)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    work = tempfile.mkdtemp(prefix="tovenmarsh_mail_bench_")
    try:
        return run(args, binary, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(args, binary, work):
    library = build_preload(work)
    ours_counter = SyncCounter(work, "ours", library) if library else None
    peer_counter = SyncCounter(work, "postfix", library) if library else None
    sizes = (2 * 1024, 100 * 1024)
    delivery_users = ["d%dk%d" % (size // 1024, run) for size in sizes for run in range(args.runs)]
    pop_users = ["p50", "p2"]
    other_users = ["warm"]

    server = support.Server(binary, env=ours_counter.env() if ours_counter else None)
    logins = add_accounts(Admin(binary, server), delivery_users + pop_users + other_users)
    postfix_env = ""
    if peer_counter:
        postfix_env = ("import_environment = MAIL_CONFIG MAIL_DEBUG MAIL_LOGTAG TZ LANG=C POSTLOG_SERVICE "
                       "POSTLOG_HOSTNAME LD_PRELOAD=%s TM_SYNC_COUNTER=%s\n" % (library, peer_counter.path))
    mailboxes = ["%s@%s" % (u, DOMAIN) for u in delivery_users + pop_users + other_users]
    postfix = support.PostfixServer(mailboxes=mailboxes,
                                    main_cf=postfix_env)
    load = open("/proc/loadavg").read().split()[:3]
    print("mail benchmark: %d messages a run, %d sessions, %d runs; %d processors, load average %s at start"
          % (args.messages, args.sessions, args.runs, os.cpu_count(), " ".join(load)))
    print("syncs counted: %s" % ("yes (preloaded counter in every process of both sides)" if library
                                 else "no (no C compiler to build the counter)"))
    with server, postfix:
        ours_delivery = Ours(server, logins)
        ours = Side("ours", ours_delivery.pids, ours_delivery.cpu, ours_counter)
        peer_delivery = Postfix(postfix)
        peer = Side("postfix", peer_delivery.pids, peer_delivery.cpu, peer_counter)
        print("ours on %s:%d (pop3 %d); postfix on %s:%d" % (server.address, server.ports["smtp"],
                                                            server.ports["pop3"], postfix.address, postfix.port))
        # Once untimed on each side, so Postfix has its daemons running and both have warm
        # caches, as a server that has been taking mail for a while.
        for delivery in (ours_delivery, peer_delivery):
            delivery.deliver("warm", args.sessions * 5, args.sessions, 2 * 1024)
        for size in sizes:
            figures = {"ours": Figures(), "postfix": Figures()}
            for run_number in range(args.runs):
                user = "d%dk%d" % (size // 1024, run_number)
                order = [(ours, ours_delivery), (peer, peer_delivery)]
                if run_number % 2:
                    order.reverse()
                for side, delivery in order:
                    measure(side, args.messages,
                            lambda: delivery.deliver(user, args.messages, args.sessions, size), figures[side.name])
            print_table("delivery, %d KB messages (%d a run, %d sessions)" % (size // 1024, args.messages,
                                                                            args.sessions),
                        figures["ours"], figures["postfix"], "postfix",
                        [("delivered msg/s", "rate", "%.1f", 1),
                         ("accepted msg/s (side figure)", "accepted", "%.1f", 1),
                         ("CPU ms per message", "cpu", "%.3f", 1000),
                         ("syncs per message", "syncs", "%.2f", 1),
                         ("peak PSS MiB", "pss", "%.1f", 1 / 1024)])

        # Retrieval: both sides deliver the same messages into a mailbox each; Dovecot then
        # serves Postfix's Maildirs.
        for user, size in (("p50", 50 * 1024), ("p2", 2 * 1024)):
            ours_delivery.deliver(user, args.pop_messages, args.sessions, size)
            peer_delivery.deliver(user, args.pop_messages, args.sessions, size)
        dovecot = support.Dovecot(users={u: PASSWORD for u in pop_users})
        dovecot._prepare()
        for user in pop_users:
            os.symlink(postfix.maildir("%s@%s" % (user, DOMAIN)), os.path.join(dovecot.root, "mail", user))
        with dovecot:
            pop_ours = Side("ours", ours.pids, ours.cpu, ours_counter)
            pop_peer = Side("dovecot", lambda: process_tree(dovecot.process.pid if dovecot.process else None),
                            None, None)
            pop_peer.cpu = lambda: cpu_seconds(pop_peer.pids(), with_children_of=dovecot.process.pid)
            endpoints = {"ours": (server.address, server.ports["pop3"]), "dovecot": (dovecot.address, dovecot.port)}
            login = {"ours": logins, "dovecot": {u: u for u in pop_users}}
            print("\ndovecot on %s:%d" % endpoints["dovecot"])
            for user, size in (("p50", 50 * 1024), ("p2", 2 * 1024)):
                figures = {"ours": Figures(), "dovecot": Figures()}
                volume = {}
                for name in endpoints:  # once untimed: index building and first-login work
                    count, volume[name] = retrieve_all(*endpoints[name], login[name][user])
                    if count != args.pop_messages:
                        raise support.HarnessError("%s: %d of %d messages in %s" % (name, count, args.pop_messages,
                                                                                   user))

                for run_number in range(args.runs):
                    order = [pop_ours, pop_peer] if run_number % 2 == 0 else [pop_peer, pop_ours]
                    for side in order:
                        def fetch(side=side):
                            began = time.monotonic()
                            retrieve_all(*endpoints[side.name], login[side.name][user])
                            return None, time.monotonic() - began
                        measure(side, args.pop_messages, fetch, figures[side.name])
                print_table("POP3 retrieval, %d x %d KB (poplib: UIDL, then RETR of each; %.1f MB ours, %.1f MB "
                            "dovecot as served)" % (args.pop_messages, size // 1024, volume["ours"] / 1e6,
                                                    volume["dovecot"] / 1e6),
                            figures["ours"], figures["dovecot"], "dovecot",
                            [("retrieved msg/s", "rate", "%.1f", 1),
                             ("CPU ms per message", "cpu", "%.3f", 1000),
                             ("syncs per message", "syncs", "%.2f", 1),
                             ("peak PSS MiB", "pss", "%.1f", 1 / 1024)])
    print("\nload average at the end: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
