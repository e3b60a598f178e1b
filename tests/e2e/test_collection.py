#!/usr/bin/env python3
"""Collection from an external POP3 mailbox (a private Dovecot on another loopback address) into
a local mailbox, through the running server; the external account is filled by the
administration tool while the server is stopped.

The collection daemon runs at every start of the services and then every few minutes, so
further runs are triggered by SIGHUP (the server stops and starts again). Checked with
leave-copy on and off: every message arrives once in the local mailbox (fetched by poplib) with
its text whole; later runs fetch only what is new; with leave-copy Dovecot keeps the messages,
without it they are deleted there.
"""
import signal
import time

import support
from support import clients
from support.admin import Admin
from support.testing import TestCase, main

USER, PASSWORD = "user7", "secret"
REMOTE_USER, REMOTE_PASSWORD = "remote", "Pa55 word"


def message(n):
    # Lines that need dot-stuffing on the way, and a long one.
    return (b"From: <someone@far.test>\r\nTo: <remote@far.test>\r\nSubject: collected %d\r\n\r\n"
            b"line one\r\n.\r\n..two\r\n%s\r\nend %d\r\n" % (n, b"x" * 900, n))


class Collection(TestCase):
    def mailbox(self, server, count, timeout=30.0):
        found = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)
            if len(found) >= count:
                break
            time.sleep(0.2)
        return found

    def restart(self, server):
        """SIGHUP: the services stop and start again, and collection runs at their start."""
        starts = server.texts().count("tovenmarsh startet")
        server.process.send_signal(signal.SIGHUP)
        self.assertTrue(support.wait_for(lambda: server.texts().count("tovenmarsh startet") > starts, 30),
                        server.log_text())
        support.wait_port(server.address, server.ports["pop3"], timeout=20)

    def check_arrived(self, server, count, pop):
        """The local mailbox holds exactly the messages 1..count, each once, text whole."""
        found = self.mailbox(server, count)
        server.wait_files("queue", lambda names: not names)
        time.sleep(1.0)  # a run that would fetch twice has had its time
        found = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)
        subjects = sorted(int(data.split(b"Subject: collected ", 1)[1].split(b"\r\n", 1)[0]) for _, _, data in found)
        self.assertEqual(subjects, list(range(1, count + 1)), (found, pop.log_tail()))
        for _, _, data in found:
            n = int(data.split(b"Subject: collected ", 1)[1].split(b"\r\n", 1)[0])
            self.assertTrue(data.endswith(message(n)), data[-300:])

    def test_messages_arrive_once(self):
        for leave_copy in (True, False):
            with self.subTest(leave_copy=leave_copy):
                pop = self.use(support.Dovecot(users={REMOTE_USER: REMOTE_PASSWORD}))
                for n in (1, 2, 3):
                    pop.deliver(REMOTE_USER, message(n))
                server = support.Server(self.need_binary())
                admin = Admin(self.need_binary(), server)
                admin.local_user("Acme", "acme.test", 7, "Ann", PASSWORD, "ann")
                admin("add-extaccount", pop.address, REMOTE_USER, REMOTE_PASSWORD, "7",
                      "true" if leave_copy else "false")
                self.addCleanup(server.close)  # killed: a clean stop is tested elsewhere
                server.start()

                self.check_arrived(server, 3, pop)
                self.assertEqual(len(pop.messages(REMOTE_USER)), 3 if leave_copy else 0)

                # A second run with nothing new fetches nothing; a third fetches only the new one.
                self.restart(server)
                self.check_arrived(server, 3, pop)
                pop.deliver(REMOTE_USER, message(4))
                self.restart(server)
                self.check_arrived(server, 4, pop)
                self.assertEqual(len(pop.messages(REMOTE_USER)), 4 if leave_copy else 0)
                server.close()
                pop.stop()

    def test_wrong_password_fetches_nothing_and_keeps_the_mail(self):
        pop = self.use(support.Dovecot(users={REMOTE_USER: REMOTE_PASSWORD}))
        pop.deliver(REMOTE_USER, message(1))
        server = support.Server(self.need_binary())
        admin = Admin(self.need_binary(), server)
        admin.local_user("Acme", "acme.test", 7, "Ann", PASSWORD, "ann")
        admin("add-extaccount", pop.address, REMOTE_USER, "wrong", "7", "false")
        self.addCleanup(server.close)
        server.start()
        time.sleep(2.0)
        self.assertEqual(clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD), [])
        self.assertEqual(len(pop.messages(REMOTE_USER)), 1)


if __name__ == "__main__":
    main()
