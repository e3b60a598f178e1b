#!/usr/bin/env python3
"""POP3 as a standard client sees it, with Python's smtplib, poplib and email as the oracles:

- every size (STAT, LIST, the RETR reply) equals the octets poplib counts for the message;
- unique ids are unique, also for two identical messages, and survive a restart;
- TOP n 0 and TOP n k are the message's header lines, the blank line and k body lines, as
  Python's email parser splits the retrieved message;
- logins while deliveries and deletions run are never answered with a bare "-ERR": each one
  succeeds, and the log shows no pool or engine failure;
- failed logins are logged with the client's address, and the third closes the connection.
"""
import email.parser
import email.policy
import poplib
import random
import re
import smtplib
import threading
import time
from email.message import EmailMessage

import support
from support import clients
from support.admin import Admin
from support.testing import TestCase, main

PASSWORD = "secret"
MESSAGES_PER_SENDER = 60


def mime_messages(rng, count):
    """Real MIME messages of several shapes, as bytes with CR LF line ends."""
    out = []
    for i in range(count):
        msg = EmailMessage()
        msg["From"] = "Sender %d <sender%d@example.com>" % (i, i)
        msg["To"] = "ann@acme.test"
        msg["Subject"] = "conformance %d %s" % (i, "\u00e9t\u00e9" if i % 3 == 0 else "plain")
        lines = ["line %d of message %d" % (j, i) for j in range(rng.randint(0, 40))]
        if i % 4 == 1:
            lines[1:1] = [".", "..", ".leading dot", ""]
        msg.set_content("\n".join(lines) + ("\n" if i % 5 else ""))
        if i % 3 == 1:
            msg.add_alternative("<p>%s</p>" % "<br>".join(lines), subtype="html")
        if i % 4 == 2:
            msg.add_attachment(bytes(rng.getrandbits(8) for _ in range(rng.randint(10, 3000))),
                               maintype="application", subtype="octet-stream", filename="a%d.bin" % i)
        out.append(msg.as_bytes(policy=email.policy.SMTP))
    return out


def send_all(server, messages):
    with smtplib.SMTP(server.address, server.ports["smtp"], timeout=30) as smtp:
        for data in messages:
            smtp.sendmail("sender@example.com", ["ann@acme.test"], data)


def wait_count(server, user, count, timeout=60.0):
    end = time.monotonic() + timeout
    while True:
        client = poplib.POP3(server.address, server.ports["pop3"], timeout=30)
        try:
            client.user(user)
            client.pass_(PASSWORD)
            have = client.stat()[0]
            client.quit()
        finally:
            client.close()
        if have >= count or time.monotonic() > end:
            return have
        time.sleep(0.2)


def split_message(data):
    """(header lines, body lines) of a message as Python's email parser divides it."""
    parsed = email.parser.BytesHeaderParser(policy=email.policy.compat32).parsebytes(data)
    body = parsed.get_payload().encode("ascii", "surrogateescape")
    head = data[:len(data) - len(body)]
    assert head.endswith(b"\r\n\r\n") or head == b"\r\n", head[-20:]
    head_lines = head.split(b"\r\n")[:-2]
    body_lines = body.split(b"\r\n")
    assert body_lines[-1] == b"", body[-20:]
    return head_lines, body_lines[:-1], parsed.items()


class Pop3Conformance(TestCase):
    def installation(self):
        # Every mailbox resource is opened at start: a table opened while another session
        # writes it can still be refused as corrupt (engine error 8961), a separate fault that
        # this script does not look at.
        server = support.Server(self.need_binary(), config={"MailboxPoolMin": "10", "MailboxPoolMax": "10"})
        admin = Admin(self.need_binary(), server)
        company = admin.local_user("Acme", "acme.test", 7, "Ann", PASSWORD, "ann")
        for n, alias in ((8, "bob"), (9, "cid"), (10, "dan")):
            admin("add-account", str(n), alias.title(), PASSWORD)
            admin("add-alias", alias, company.strip(), str(n))
        return server

    def test_sizes_unique_ids_and_top_match_python(self):
        rng = random.Random(1939)
        server = self.installation()
        self.use(server)
        messages = mime_messages(rng, 24)
        twin = messages[5]
        messages += [twin]  # two identical messages
        send_all(server, messages)
        self.assertEqual(wait_count(server, "user7", len(messages)), len(messages))

        client = poplib.POP3(server.address, server.ports["pop3"], timeout=30)
        client.user("user7")
        client.pass_(PASSWORD)
        count, total = client.stat()
        self.assertEqual(count, len(messages))
        listing = {}
        for line in client.list()[1]:
            number, size = line.split()
            listing[int(number)] = int(size)
        uidls = {}
        for line in client.uidl()[1]:
            number, uid = line.decode("ascii").split(" ", 1)
            uidls[int(number)] = uid
        self.assertEqual(len(set(uidls.values())), count, uidls)
        for uid in uidls.values():
            self.assertRegex(uid, r"^[\x21-\x7e]{1,70}$")
        retrieved = {}
        for number in range(1, count + 1):
            resp, lines, octets = client.retr(number)
            data = b"".join(line + b"\r\n" for line in lines)
            retrieved[number] = data
            self.assertEqual(octets, len(data))
            self.assertEqual(listing[number], octets, "LIST %d" % number)
            self.assertEqual(resp.split()[1], str(octets).encode(), resp)
            self.assertEqual(int(client.list(number).split()[2]), octets)
        self.assertEqual(total, sum(listing.values()))
        # Every message came back whole (after our trace lines), twins included.
        for m in messages:
            self.assertEqual(sum(data.endswith(m) for data in retrieved.values()), messages.count(m))
        twins = [n for n, data in retrieved.items() if data.endswith(twin)]
        self.assertEqual(len(twins), 2)
        self.assertNotEqual(uidls[twins[0]], uidls[twins[1]])

        for number, data in retrieved.items():
            head, body, items = split_message(data)
            for k in sorted({0, 1, 2, len(body) - 1, len(body), len(body) + 3, rng.randint(0, len(body) + 1)}):
                if k < 0:
                    continue
                with self.subTest(message=number, lines=k):
                    _, top, _ = client.top(number, k)
                    self.assertEqual(top, head + [b""] + body[:k])
                    top_bytes = b"".join(line + b"\r\n" for line in top)
                    parsed = email.parser.BytesHeaderParser(policy=email.policy.compat32).parsebytes(top_bytes)
                    self.assertEqual(parsed.items(), items)
        client.quit()

        # The ids stay with their messages across a restart.
        server.stop()
        server.start()
        client = poplib.POP3(server.address, server.ports["pop3"], timeout=30)
        client.user("user7")
        client.pass_(PASSWORD)
        again = {}
        for line in client.uidl()[1]:
            number, uid = line.decode("ascii").split(" ", 1)
            again[int(number)] = uid
        self.assertEqual(again, uidls)
        # A client that keeps mail on the server and deletes one twin still has the other.
        client.dele(twins[0])
        client.quit()
        client = poplib.POP3(server.address, server.ports["pop3"], timeout=30)
        client.user("user7")
        client.pass_(PASSWORD)
        left = {line.decode("ascii").split(" ", 1)[1] for line in client.uidl()[1]}
        client.quit()
        self.assertNotIn(uidls[twins[0]], left)
        self.assertIn(uidls[twins[1]], left)
        self.assertEqual(len(left), count - 1)

    def test_logins_while_deliveries_run_never_fail(self):
        server = self.installation()
        self.use(server)
        users = {"user7": "ann", "user8": "bob", "user9": "cid", "user10": "dan"}
        stop = threading.Event()
        problems = []
        replies = []
        sent = [0]
        lock = threading.Lock()

        def deliver(seed):
            rng = random.Random(seed)
            try:
                with smtplib.SMTP(server.address, server.ports["smtp"], timeout=30) as smtp:
                    for _ in range(MESSAGES_PER_SENDER):
                        alias = rng.choice(list(users.values()))
                        body = ("Subject: load\r\n\r\n" + "x" * rng.randint(10, 2000) + "\r\n").encode()
                        smtp.sendmail("load@example.com", ["%s@acme.test" % alias], body)
                        with lock:
                            sent[0] += 1
            except Exception as e:  # noqa: BLE001 - a failed delivery is a finding, not a crash
                problems.append("smtp: %r" % e)

        def collect(user):
            rounds = 0
            while not stop.is_set() and rounds < 1000:
                rounds += 1
                try:
                    client = poplib.POP3(server.address, server.ports["pop3"], timeout=30)
                    try:
                        client.user(user)
                        reply = client.pass_(PASSWORD)
                        count, _ = client.stat()
                        for number in range(1, min(count, 3) + 1):
                            client.retr(number)
                            client.dele(number)
                        client.quit()
                        with lock:
                            replies.append(reply)
                    finally:
                        client.close()
                except poplib.error_proto as e:
                    problems.append("%s: %s" % (user, e))
                except OSError as e:
                    problems.append("%s: %r" % (user, e))

        senders = [threading.Thread(target=deliver, args=(seed,)) for seed in range(4)]
        collectors = [threading.Thread(target=collect, args=(user,)) for user in users]
        for thread in senders + collectors:
            thread.start()
        for thread in senders:
            thread.join(300)
        # Logins go on while the queue delivers what was sent.
        server.wait_files("queue", lambda names: not names, timeout=300)
        stop.set()
        for thread in collectors:
            thread.join(90)
        self.assertFalse(any(thread.is_alive() for thread in senders + collectors))
        self.assertEqual(problems, [])
        self.assertGreater(len(replies), 20)
        self.assertEqual(sent[0], 4 * MESSAGES_PER_SENDER)
        failures = [text for level, text in server.log_lines()
                    if "Resource pool allocation error" in text or "Fen Engine Error" in text]
        self.assertEqual(failures, [])

    def test_failed_logins_are_logged_and_end_the_connection(self):
        server = self.installation()
        self.use(server)
        with clients.Dialogue(server.address, server.ports["pop3"], smtp=False) as pop:
            pop.pop("USER user7")
            for _ in range(2):
                self.assertEqual(pop.pop("PASS wrong")[0], "-ERR tovenmarsh POP3 user or password is invalid")
            self.assertTrue(pop.pop("PASS wrong")[0].endswith("(too many failures, closing the connection)"))
            self.assertTrue(pop.closed_by_peer())
        logged = [text for _, text in server.log_lines()
                  if re.search(r"POP3 login of user7 from 127\.0\.0\.1 failed", text)]
        self.assertEqual(len(logged), 3, server.log_text())
        self.assertIn("connection closed", logged[-1])
        # The right password still works at once on a new connection.
        self.assertEqual(clients.pop3_fetch(server.address, server.ports["pop3"], "user7", PASSWORD), [])


if __name__ == "__main__":
    main()
