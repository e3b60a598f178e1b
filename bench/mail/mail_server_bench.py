#!/usr/bin/env python3
"""Mail server benchmark: our server against Postfix and Dovecot, side by side on loopback.

How to run (as root, with the peers of scripts/setup.sh installed; takes a few minutes):

    cmake --build build/<dir> --target tovenmarsh tovenmarsh_admin
    python3 bench/mail/mail_server_bench.py --binary build/<dir>/src/app/tovenmarsh \
        [--admin build/<dir>/tools/tovenmarsh_admin] [--messages 1000] [--sessions 10]

Acceptance: Postfix's smtp-source sends --messages messages of 2 KB, then of 100 KB, over
--sessions parallel sessions, to our server and to a private Postfix; both deliver every message
to one local mailbox, one file per message, and both make the message durable before they
answer the end of data (we fsync the queue file; Postfix fsyncs its queue file by default), so
the fsync policies match. Measured: the time smtp-source takes (accepted messages per second)
and the time until the last message is in the mailbox (delivered messages per second). Delivery
is watched the same way on both sides, by counting the message files in the mailbox folder (ours:
the mail folder; Postfix: the maildir); ours is then confirmed through POP3 once the queue folder
is empty (so ours also includes archiving every message as a document). (A POP3 login
every few milliseconds would be no fair probe: each login stamps the retrieval time on every row
of the mailbox, so the probe itself would compete with the deliveries it waits for.)

Retrieval: poplib fetches 1,000 messages of 2 KB (UIDL, then RETR of each) from our POP3 server
(the mailbox the acceptance run filled) and from a private Dovecot holding the same number.

Peak memory: VmHWM of our one process against the sum of the peer's processes' own peaks,
sampled while each phase runs. Ratios are ours / peer: above 1 is faster for messages per
second, and larger for memory.
"""
import argparse
import os
import poplib
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import support  # noqa: E402
from support import clients  # noqa: E402
from support.admin import Admin  # noqa: E402

MAILBOX = "user@local.test"
USER, PASSWORD = "user1", "secret"


class Running:
    """Starts a server and a peer; at the end kills the server (a benchmark checks no clean stop)
    and stops the peer."""

    def __init__(self, server, peer):
        self.server, self.peer = server, peer

    def __enter__(self):
        self.server.start()
        try:
            self.peer.__enter__()
        except BaseException:
            self.server.close()
            raise
        return self

    def __exit__(self, *exc):
        try:
            self.peer.__exit__(None, None, None)
        finally:
            self.server.close()
        return False


class PeakSampler:
    """Samples a memory_kb() -> (rss, hwm) function in the background; keeps the largest value."""

    def __init__(self, probe):
        self.probe = probe
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(0.05)

    def sample(self):
        try:
            rss, hwm = self.probe()
            self.peak = max(self.peak, rss, hwm)
        except Exception:  # a process ended between listing and reading
            pass

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.sample()


def pop3_count(host, port, user, password):
    try:
        box = poplib.POP3(host, port, timeout=30)
    except OSError:
        return 0
    try:
        box.user(user)
        box.pass_(password)
        return box.stat()[0]
    except poplib.error_proto:
        return 0
    finally:
        try:
            box.quit()
        except Exception:
            pass


def retrieve_all(host, port, user, password):
    """Fetches every message once (UIDL then RETR); answers (count, seconds)."""
    began = time.monotonic()
    box = poplib.POP3(host, port, timeout=60)
    box.user(user)
    box.pass_(password)
    count = len(box.uidl()[1])
    for n in range(1, count + 1):
        box.retr(n)
    box.quit()
    return count, time.monotonic() - began


def ours_delivered(server, total):
    """Mailbox files in our mail folder; once there are enough and the queue folder is empty (a
    queue file goes only after its mailbox rows are committed), the count POP3 shows. Mailbox
    files appear before their rows (a batch of rows is committed at once), so probing POP3 as
    soon as the files are there would stamp every row at each probe and hold up the commit."""
    files = len(server.files("mail"))
    if files < total or server.files("queue"):
        return min(files, total - 1)
    return pop3_count(server.address, server.ports["pop3"], USER, PASSWORD)


def wait_until(predicate, what, timeout=600.0):
    if not support.wait_for(predicate, timeout, interval=0.05):
        raise support.HarnessError("%s not reached within %.0f s" % (what, timeout))


def ratio(ours, peer):
    return ours / peer if peer else float("nan")


def row(name, ours, peer, unit):
    print("%-34s ours %10.1f  peer %10.1f %-6s ratio %6.2f" % (name, ours, peer, unit, ratio(ours, peer)))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--admin")
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--sessions", type=int, default=10)
    args, _ = parser.parse_known_args()
    binary = os.path.abspath(args.binary)
    if args.admin:
        sys.argv += ["--admin", args.admin]

    server = support.Server(binary)
    Admin(binary, server).local_user("Local", "local.test", 1, "User", PASSWORD, "user")
    postfix = support.PostfixServer(mailboxes=(MAILBOX,))
    with Running(server, postfix):
        print("messages %d, sessions %d; ours on %s:%d, postfix on %s:%d"
              % (args.messages, args.sessions, server.address, server.ports["smtp"], postfix.address, postfix.port))
        total = 0
        for size in (2 * 1024, 100 * 1024):
            total += args.messages
            results = {}
            for name, host, port, delivered, memory in (
                    ("ours", server.address, server.ports["smtp"],
                     lambda: ours_delivered(server, total), server.memory_kb),
                    ("peer", postfix.address, postfix.port, lambda: len(postfix.delivered()), postfix.memory_kb)):
                with PeakSampler(memory) as peak:
                    began = time.monotonic()
                    code, seconds, output = clients.smtp_source(host, port, args.messages, args.sessions, size,
                                                                recipient=MAILBOX)
                    if code != 0:
                        raise support.HarnessError("smtp-source against %s: exit %d\n%s" % (name, code, output))
                    wait_until(lambda: delivered() >= total, "%s: %d delivered" % (name, total))
                    done = time.monotonic() - began
                results[name] = (args.messages / seconds, args.messages / done, peak.peak)
            label = "%d KB" % (size // 1024)
            row("accepted msg/s, " + label, results["ours"][0], results["peer"][0], "msg/s")
            row("delivered msg/s, " + label, results["ours"][1], results["peer"][1], "msg/s")
            row("peak memory, " + label, results["ours"][2], results["peer"][2], "KiB")

    # Retrieval: our mailbox holds what the 2 KB run delivered first; a fresh server and mailbox
    # of exactly 1,000 messages keeps the comparison even.
    count = 1000
    server = support.Server(binary)
    Admin(binary, server).local_user("Local", "local.test", 1, "User", PASSWORD, "user")
    pop = support.Dovecot(users={"user": PASSWORD})
    with Running(server, pop):
        code, _, output = clients.smtp_source(server.address, server.ports["smtp"], count, args.sessions, 2048,
                                              recipient=MAILBOX)
        if code != 0:
            raise support.HarnessError("smtp-source: exit %d\n%s" % (code, output))
        wait_until(lambda: ours_delivered(server, count) >= count, "ours: %d in the mailbox" % count)
        # The same kind of message for Dovecot: one of ours, as stored, without our header lines.
        sample = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)[0][2]
        sample = sample.split(b"\r\n", 1)[1] if sample.startswith(b"Return-Path:") else sample
        for _ in range(count):
            pop.deliver("user", sample)
        with PeakSampler(server.memory_kb) as ours_peak:
            ours_count, ours_seconds = retrieve_all(server.address, server.ports["pop3"], USER, PASSWORD)
        with PeakSampler(pop.memory_kb) as peer_peak:
            peer_count, peer_seconds = retrieve_all(pop.address, pop.port, "user", PASSWORD)
        if ours_count != count or peer_count != count:
            raise support.HarnessError("retrieved %d (ours) and %d (dovecot) of %d" % (ours_count, peer_count, count))
        row("POP3 retrieved msg/s, 1000 x 2 KB", count / ours_seconds, count / peer_seconds, "msg/s")
        row("peak memory, POP3", ours_peak.peak, peer_peak.peak, "KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
