#!/usr/bin/env python3
"""Relay through the running server to Postfix's smtp-sink on another loopback address
(RelayServer names it; the relay always connects to port 25, so the sink listens there).

A local user sends from 127.0.0.1 (relaying is allowed from loopback) to a remote recipient:
- the sink receives the message (envelope and body as sent; our header lines come first);
- a soft reject (4xx) is retried, RelayRetries times after the first attempt, then bounced to
  the sender's mailbox (fetched over POP3);
- a hard reject (5xx, also after the data) is bounced at once, after a single attempt;
- while an entry waits for its retry time, the server does not spin;
- after a crash, a message that was delivered locally but not yet relayed is relayed, and not
  delivered locally a second time; what the crash left half-written is cleared at the start.

RelayMin is read in whole minutes; an explicit 0 retries at once, which is what lets the retry
count be checked without waiting (the wait itself is checked with the default 30 minutes; the
wake-up at the retry time is checked by the unit tests on a clock of their own).
"""
import os
import time

import support
from support import clients
from support.admin import Admin
from support.testing import TestCase, main

USER, PASSWORD = "user7", "secret"
SENDER, REMOTE = "ann@acme.test", "bob@remote.test"
BODY = b"relay body\r\n.\r\n..x\r\nend\r\n"
MESSAGE = b"From: <ann@acme.test>\r\nTo: <bob@remote.test>\r\nSubject: relayed\r\n\r\n" + BODY


class Relay(TestCase):
    def start(self, sink, **config):
        settings = {"RelayServer": sink.address}
        settings.update({k: str(v) for k, v in config.items()})
        server = support.Server(self.need_binary(), config=settings)
        Admin(self.need_binary(), server).local_user("Acme", "acme.test", 7, "Ann", PASSWORD, "ann")
        # Ended by kill: a clean stop is the start-and-stop test's business, not the relay's.
        self.addCleanup(server.close)
        server.start()
        return server

    def send(self, server):
        sent = clients.smtp_send(server.address, server.ports["smtp"], SENDER, REMOTE, MESSAGE)
        self.assertTrue(sent.accepted, sent.replies)
        return sent

    def mailbox(self, server, count, timeout=20.0):
        found = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)
            if len(found) >= count:
                break
            time.sleep(0.2)
        return found

    def check_bounce(self, server, sink, attempts):
        """The message is bounced into the sender's mailbox after `attempts` RCPT commands and
        leaves nothing in the queue."""
        bounces = self.mailbox(server, 1, timeout=40.0)
        self.assertEqual(len(bounces), 1, (bounces, sink.log_tail()))
        data = bounces[0][2]
        self.assertIn(REMOTE.encode(), data)
        self.assertIn(b"Subject: relayed", data)  # the returned message
        server.wait_files("queue", lambda names: not names)
        self.assertEqual(len(sink.commands("RCPT")), attempts, sink.sessions())
        self.assertEqual(sink.messages(), [])
        # Bounced exactly once: nothing more arrives.
        time.sleep(1.0)
        self.assertEqual(len(self.mailbox(server, 2, timeout=0.5)), 1)

    def test_delivery_to_the_relay_server(self):
        sink = self.use(support.SmtpSink())
        server = self.start(sink)
        sent = self.send(server)
        got = sink.wait_messages(1)
        self.assertEqual(len(got), 1, got)
        self.assertEqual(got[0].mail_from, "<%s>" % SENDER)
        self.assertEqual(got[0].rcpt_to, ["<%s>" % REMOTE])
        self.assertTrue(got[0].body_crlf.endswith(sent.received), got[0].body_crlf)
        server.wait_files("queue", lambda names: not names)
        self.assertEqual(self.mailbox(server, 1, timeout=1.0), [])  # no bounce

    def test_soft_rejects_are_retried_then_bounced(self):
        retries = 2
        for command in ("RCPT", "."):
            with self.subTest(soft_reject=command):
                sink = self.use(support.SmtpSink(soft_reject=(command,)))
                server = self.start(sink, RelayRetries=retries, RelayMin=0)
                self.send(server)
                self.check_bounce(server, sink, 0 if command == "MAIL" else retries + 1)
                self.assertEqual(len(sink.commands("MAIL")), retries + 1, sink.sessions())
                server.close()
                sink.stop()

    def test_hard_rejects_bounce_at_once(self):
        for command in ("RCPT", "MAIL", "DATA", "."):
            with self.subTest(hard_reject=command):
                sink = self.use(support.SmtpSink(hard_reject=(command,)))
                server = self.start(sink, RelayRetries=5, RelayMin=0)
                self.send(server)
                self.check_bounce(server, sink, 0 if command == "MAIL" else 1)
                self.assertEqual(len(sink.commands("MAIL")), 1, sink.sessions())
                server.close()
                sink.stop()

    def test_a_waiting_entry_does_not_spin(self):
        sink = self.use(support.SmtpSink(soft_reject=("RCPT",)))
        server = self.start(sink, RelayRetries=5, RelayMin=30)
        self.send(server)
        support.wait_for(lambda: len(sink.commands("RCPT")) >= 1, 20)
        time.sleep(0.5)  # the first attempt's round ends
        cpu_before, wall_before = server.cpu_seconds(), time.monotonic()
        time.sleep(3.0)
        cpu = server.cpu_seconds() - cpu_before
        wall = time.monotonic() - wall_before
        self.assertLess(cpu, 0.1 * wall, "server used %.2f s of CPU in %.2f s while waiting" % (cpu, wall))
        # Still waiting: one attempt, the message queued, no bounce.
        self.assertEqual(len(sink.commands("RCPT")), 1, sink.sessions())
        self.assertNotEqual(server.files("queue"), [])
        self.assertEqual(self.mailbox(server, 1, timeout=0.5), [])

    def test_a_crash_resumes_only_the_open_recipients(self):
        sink = self.use(support.SmtpSink(soft_reject=("RCPT",)))
        server = self.start(sink, RelayRetries=5, RelayMin=30)
        sent = clients.smtp_send(server.address, server.ports["smtp"], SENDER, [SENDER, REMOTE], MESSAGE)
        self.assertTrue(sent.accepted, sent.replies)
        # The local copy is delivered at once; the remote one waits for its retry.
        self.assertEqual(len(self.mailbox(server, 1)), 1)
        self.assertTrue(support.wait_for(lambda: len(sink.commands("RCPT")) >= 1, 20), sink.sessions())
        server.kill()
        sink.stop()
        # Files an interrupted write would leave behind.
        for folder in ("queue", "mail", "document"):
            os.makedirs(server.path(folder, "tmp"), exist_ok=True)
            with open(server.path(folder, "tmp", "20261209120000HALF"), "wb") as f:
                f.write(b"half a message")

        accepting = self.use(support.SmtpSink())
        server.config["RelayServer"] = accepting.address
        server.start()
        got = accepting.wait_messages(1)
        self.assertEqual([m.rcpt_to for m in got], [["<%s>" % REMOTE]])
        server.wait_files("queue", lambda names: not names)
        self.assertEqual(len(self.mailbox(server, 2, timeout=1.0)), 1)  # not delivered again
        for folder in ("queue", "mail", "document"):
            self.assertEqual(server.files(os.path.join(folder, "tmp")), [], folder)
        self.assertTrue(any("unfinished temporary files" in t for t in server.texts()), server.texts())


if __name__ == "__main__":
    main()
