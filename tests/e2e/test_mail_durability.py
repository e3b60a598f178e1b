#!/usr/bin/env python3
"""Accepted mail is never lost nor doubled by the running server:
- many SMTP clients at once, to random mixes of an alias per account and a mailing list with two
  members: every account gets exactly the copies its recipients stand for, byte for byte, and
  every message is archived as one document;
- kill -9 at random moments while clients keep sending, then a restart on the same program
  folder: every message whose end of data was answered 250 is delivered exactly as often as it
  was addressed, the others are there wholly or not at all (never cut short, never in part);
- kill -9 while the queue daemon works off a backlog of many-recipient messages, also while it
  recovers the backlog of the kill before.
A kill after a queue file's last delivery and before the end of the delivery pass must not serve
that recipient again: test_kill_after_the_last_delivery_of_a_file_serves_nobody_twice shows it
on its own. Nor may a kill after a batch's mailbox rows became durable and before the writes of
its outcomes: the start finds those rows and serves nobody twice; and a mailbox file written but
never committed is gone after the restart.

The model: each message carries its id in its subject, and a recipient stands for copies in
mailboxes: ann -> account 7, bob -> 8, cid -> 9 (each with the sender as Return-Path), staff (a
list of bob and cid) -> 8 and 9 (with postmaster of the list's domain as Return-Path). A mailbox
file is that Return-Path line, our one Received line, and the message as the client sent it.

The kill moments come from a seeded random generator (TOVENMARSH_DURABILITY_SEED to replay; the
seed is printed) and are counted in events (250 replies, mailbox files), not in time.
"""
import collections
import os
import random
import re
import smtplib
import struct
import threading
import unittest
import urllib.parse

import support
from support import clients, web
from support.admin import Admin
from support.net import wait_for
from support.testing import TestCase, main

DOMAIN = "acme.test"
ACCOUNTS = {7: ("Ann", "pw7"), 8: ("Bob", "pw8"), 9: ("Cid", "pw9")}
ALIASES = {"ann": 7, "bob": 8, "cid": 9}
LIST, LIST_MEMBERS = "staff", ("bob", "cid")
LIST_RETURN_PATH = "postmaster@" + DOMAIN
RECIPIENTS = ["ann", "bob", "cid", LIST]
TIMEOUT = 30.0
QUEUE_DEADLINE = 90.0
SUBJECT = re.compile(rb"\r\nSubject: dur (\S+)\r\n")


def seed_for(name):
    base = os.environ.get("TOVENMARSH_DURABILITY_SEED")
    base = int(base) if base else random.SystemRandom().randrange(1, 10 ** 9)
    print("%s: seed %d (TOVENMARSH_DURABILITY_SEED=%d replays it)" % (name, base, base), flush=True)
    return base


def copies_for(recipients, sender):
    """The (account, Return-Path) of every mailbox copy that the recipients stand for; a recipient
    named twice in one transaction stands for one copy."""
    found = collections.Counter()
    for name in dict.fromkeys(recipients):
        if name == LIST:
            for member in LIST_MEMBERS:
                found[(ALIASES[member], LIST_RETURN_PATH)] += 1
        else:
            found[(ALIASES[name], sender)] += 1
    return found


def stored_form(data):
    """The message as the server keeps it on disk: as its sender wrote it (the wire's
    dot-stuffing undone), without the CR LF that ends the last line, which belongs to the end
    of data (sending adds it back)."""
    return data[:-2]


class Mail:
    """One message a client tried to send and what the server answered to its end of data."""

    def __init__(self, mid, sender, recipients, data):
        self.mid, self.sender, self.recipients, self.data = mid, sender, recipients, data
        self.accepted = False   # 250 to the end of data
        self.cut = False        # its end of data was never sent: it must not be there at all
        self.expected = copies_for(recipients, sender)
        self.stored = stored_form(data)


def make_mail(rng, mid, sender, recipients, size):
    """A message of about size bytes whose subject and most lines name its id, with lines that
    need dot-stuffing ("." and ".."-lines), CR LF line ends."""
    head = ("From: <%s>\r\nTo: %s\r\nSubject: dur %s\r\nMessage-Id: <%s@client.test>\r\n\r\n"
            % (sender, ", ".join("<%s@%s>" % (r, DOMAIN) for r in recipients), mid, mid)).encode()
    lines, length, n = [], 0, 0
    while length < size:
        n += 1
        kind = rng.randrange(12)
        if kind == 0:
            line = "."
        elif kind == 1:
            line = ".. %s %d" % (mid, n)
        else:
            line = "%s line %d %s" % (mid, n, "".join(rng.choice("abcdefghij .,:-") for _ in range(rng.randrange(70))))
        lines.append(line)
        length += len(line) + 2
    lines.append("end of %s" % mid)
    return Mail(mid, sender, recipients, head + ("\r\n".join(lines) + "\r\n").encode())


class Sender:
    """One SMTP client connection that sends message after message; every fault of the
    connection is noted and ends the connection (the next message opens a new one)."""

    def __init__(self, server):
        self.host, self.port = server.address, server.ports["smtp"]
        self.client = None

    def send(self, mail):
        try:
            if self.client is None:
                self.client = smtplib.SMTP(timeout=TIMEOUT)
                code, _ = self.client.connect(self.host, self.port)
                if code != 220 or self.client.helo("client.test")[0] != 250:
                    raise smtplib.SMTPException("greeting or HELO refused")
            if self.client.mail(mail.sender)[0] != 250:
                raise smtplib.SMTPException("MAIL refused")
            for name in mail.recipients:
                if self.client.rcpt("%s@%s" % (name, DOMAIN))[0] != 250:
                    raise smtplib.SMTPException("RCPT refused")
            code, _ = self.client.data(mail.data)
            mail.accepted = code == 250
            return mail.accepted
        except (OSError, smtplib.SMTPException):
            self.close()
            return False

    def close(self):
        if self.client is not None:
            try:
                self.client.close()
            except OSError:
                pass
        self.client = None


class MailDurability(TestCase):
    KILL_ROUNDS_SENDING = 4
    KILL_ROUNDS_DELIVERING = 3

    # --- the installation -------------------------------------------------------------------
    def installation(self):
        """A started server with three accounts behind aliases and the list made through the
        administration pages; EXPN shows the list's two members."""
        server = support.Server(self.need_binary(), config={"SecurityOn": "No"},
                                wait_ports=("smtp", "pop3", "http"))
        self.addCleanup(server.close)
        admin = Admin(self.need_binary(), server)
        company = admin("add-company", "Acme").strip()
        admin("add-domain", company, DOMAIN)
        for number, (name, password) in ACCOUNTS.items():
            admin("add-account", str(number), name, password)
        for alias, number in ALIASES.items():
            admin("add-alias", alias, company, str(number))
        # The pages need their frame in the web folder.
        os.makedirs(server.path("webroot"), exist_ok=True)
        with open(server.path("webroot", "template.html"), "wb") as f:
            f.write(b"<html><body>#content</body></html>\r\n")
        server.start()
        self.web_update(server, "aliases", 42, "%s;%s" % (LIST, company),
                        {"Name": LIST, "Active": "ON", "Maillist": "ON", "Expandable": "ON"})
        for member in LIST_MEMBERS:
            self.web_update(server, "maillist", 62, "%s;%s;%s;%s" % (LIST, company, member, DOMAIN),
                            {"Forward User": member, "Forward Domain": DOMAIN})
        with clients.Dialogue(server.address, server.ports["smtp"]) as smtp:
            members = smtp.smtp("EXPN " + LIST)
        self.assertEqual(len(members), 2, members)
        self.assertTrue(all(line.startswith("250") for line in members), members)
        return server, admin

    def web_update(self, server, page, action, key, fields):
        query = urllib.parse.urlencode({"action": action, "do": "U", "key": key})
        answer = web.post_update(server, "/admin/mail/%s?%s" % (page, query), fields, timeout=TIMEOUT)
        self.assertEqual(answer.status, 303, answer.body[:2000])

    # --- sending ----------------------------------------------------------------------------
    def run_clients(self, work, count):
        """Runs work(i) in count threads; answers the exceptions they raised."""
        errors = []

        def run(i):
            try:
                work(i)
            except BaseException as e:  # reported by the test, not lost in the thread
                errors.append(e)

        threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(TIMEOUT * 4)
            self.assertFalse(thread.is_alive(), "a client thread did not end")
        return errors

    # --- checking ---------------------------------------------------------------------------
    def wait_queue_empty(self, server):
        server.wait_files("queue", lambda names: not names, timeout=QUEUE_DEADLINE)

    def mailboxes(self, server):
        """Every message of the three mailboxes as {mid: Counter((account, return path))}, each
        message checked byte for byte against what its client sent."""
        by_mid, problems = collections.defaultdict(collections.Counter), []
        for number, (_, password) in ACCOUNTS.items():
            for _, _, data in clients.pop3_fetch(server.address, server.ports["pop3"], "user%d" % number, password):
                found = SUBJECT.search(data)
                mail = self.sent.get(found.group(1).decode()) if found else None
                if mail is None:
                    problems.append("account %d holds a message of no client: %r" % (number, data[:300]))
                    continue
                path = re.match(rb"Return-Path: <([^>\r\n]*)>\r\n(Recieved: from [^\r\n]*\r\n)", data)
                if not path or data[path.end():] != mail.data:
                    problems.append("account %d: message %s differs from what was sent (%d bytes, sent %d): %r"
                                    % (number, mail.mid, len(data), len(mail.data), data[:300]))
                    continue
                by_mid[mail.mid][(number, path.group(1).decode())] += 1
        return by_mid, problems

    def check_delivery(self, server, admin, label, killed=True, redelivered_per_key=0):
        """Waits for the queue to empty, reads every mailbox, stops the server and reads the
        documents; fails with every message lost, doubled or damaged. redelivered_per_key passes
        up to that many extra copies of a recipient that was served (the commit-to-outcome window
        of a kill), printed."""
        self.wait_queue_empty(server)
        by_mid, problems = self.mailboxes(server)
        server.stop()
        redelivered = []
        for mail in self.sent.values():
            got = by_mid.get(mail.mid, collections.Counter())
            if redelivered_per_key and got != mail.expected and set(got) == set(mail.expected) and all(
                    mail.expected[key] <= got[key] <= mail.expected[key] + redelivered_per_key for key in got):
                redelivered.append("%s: %s" % (mail.mid, dict(got - mail.expected)))
                got = mail.expected
            if mail.accepted and got != mail.expected:
                problems.append("accepted %s to %s: copies %s, expected %s"
                                % (mail.mid, mail.recipients, dict(got), dict(mail.expected)))
            elif mail.cut and got:
                problems.append("%s, cut off in its data, was delivered: copies %s" % (mail.mid, dict(got)))
            elif not mail.accepted and got and got != mail.expected:
                problems.append("unconfirmed %s to %s is there in part: copies %s, expected %s or none"
                                % (mail.mid, mail.recipients, dict(got), dict(mail.expected)))
        # One document per delivered message, its file the message part of the queue file.
        documents = collections.Counter()
        for row in admin.rows("document.dat"):
            found = re.match(r"dur (\S+)$", row["description"])
            mail = self.sent.get(found.group(1)) if found else None
            if mail is None:
                problems.append("document of no client: %r" % row)
                continue
            documents[mail.mid] += 1
            try:
                with open(os.path.join(server.document_folder, row["extfileref"]), "rb") as f:
                    archived = f.read()
            except OSError as e:
                problems.append("document %s: file %r: %s" % (mail.mid, row["extfileref"], e))
                continue
            if not re.fullmatch(rb"Recieved: from [^\r\n]*\r\n", archived[:len(archived) - len(mail.stored)]) \
                    or not archived.endswith(mail.stored):
                problems.append("document %s: file differs from the message: %r" % (mail.mid, archived[:300]))
        for mail in self.sent.values():
            want = 1 if by_mid.get(mail.mid) else 0
            if documents[mail.mid] != want:
                problems.append("%s %s: %d documents, expected %d" % (
                    "accepted" if mail.accepted else "unconfirmed", mail.mid, documents[mail.mid], want))
        # Every mailbox row has its file, and every file its row: what a kill left written but
        # never committed the restart removed.
        rows = {row["id"] for row in admin.rows("mailbox.dat")}
        files = set(server.files("mail"))
        if rows - files:
            problems.append("mailbox rows without their file: %s" % sorted(rows - files)[:10])
        if files - rows:
            problems.append("mailbox files without a row%s: %s"
                            % (" after the restart" if killed else "", sorted(files - rows)[:10]))
        bad = server.files(os.path.join("queue", "bad"))
        if bad:
            problems.append("queue files moved aside: %s" % bad)
        accepted = sum(m.accepted for m in self.sent.values())
        delivered = sum(1 for m in self.sent.values() if by_mid.get(m.mid))
        print("%s: %d sent, %d accepted, %d delivered" % (label, len(self.sent), accepted, delivered), flush=True)
        if redelivered:
            print("%s: served again after a kill: %s" % (label, "; ".join(redelivered)), flush=True)
        if problems:
            self.fail("%s: %d problems (seed printed above)\n%s\nlog tail:\n%s" % (
                label, len(problems), "\n".join(problems[:30]), "".join(server.log_text().splitlines(True)[-30:])))
        return accepted, delivered

    # --- the tests --------------------------------------------------------------------------
    def test_concurrent_clients_lose_and_double_nothing(self):
        rng = random.Random(seed_for("concurrent"))
        server, admin = self.installation()
        self.sent = {}
        plans = []
        for t in range(16):
            batch = []
            for m in range(8):
                recipients = rng.sample(RECIPIENTS, rng.randint(1, len(RECIPIENTS)))
                mail = make_mail(rng, "c%02dm%d" % (t, m), "sender%d@client.test" % t, recipients,
                                 rng.choice((100, 2000, 30000)))
                self.sent[mail.mid] = mail
                batch.append(mail)
            plans.append(batch)

        def work(i):
            sender = Sender(server)
            for mail in plans[i]:
                sender.send(mail)  # messages one after another on the thread's one connection
            sender.close()

        errors = self.run_clients(work, len(plans))
        self.assertEqual(errors, [])
        refused = [m.mid for m in self.sent.values() if not m.accepted]
        self.assertEqual(refused, [], "messages not accepted")
        self.check_delivery(server, admin, "concurrent", killed=False)
        self.assertNotIn("Exception", [level for level, _ in server.log_lines()], server.log_text()[-3000:])

    def test_kill_while_clients_send(self):
        rng = random.Random(seed_for("kill while sending"))
        server, admin = self.installation()
        self.sent = {}
        lock = threading.Lock()
        for round_no in range(self.KILL_ROUNDS_SENDING):
            trigger, stop = threading.Event(), threading.Event()
            accepted = [0]
            kill_after = rng.randint(1, 24)
            seeds = [rng.random() for _ in range(6)]

            def work(i, round_no=round_no, trigger=trigger, stop=stop, accepted=accepted,
                     kill_after=kill_after, seeds=seeds):
                own = random.Random(seeds[i])
                sender = Sender(server)
                n = 0
                while not stop.is_set():
                    recipients = own.sample(RECIPIENTS, own.randint(1, len(RECIPIENTS)))
                    mail = make_mail(own, "k%dt%dm%d" % (round_no, i, n), "s%d@client.test" % i, recipients,
                                     own.choice((100, 5000, 60000, 200000)))
                    n += 1
                    with lock:
                        self.sent[mail.mid] = mail
                    if sender.send(mail):
                        with lock:
                            accepted[0] += 1
                            if accepted[0] >= kill_after:
                                trigger.set()
                sender.close()

            # The kill comes once enough messages were confirmed, while the clients go on with
            # their next ones; they stop only after it.
            def killer(trigger=trigger, stop=stop):
                trigger.wait(TIMEOUT * 2)
                server.kill()
                stop.set()

            # One more client is in the middle of its data when the kill comes.
            cut = make_mail(rng, "k%dcut" % round_no, "cut@client.test", ["ann", LIST], 50000)
            cut.cut = True
            self.sent[cut.mid] = cut
            dialogue = clients.Dialogue(server.address, server.ports["smtp"])
            self.addCleanup(dialogue.close)
            for command in ("HELO client.test", "MAIL FROM:<%s>" % cut.sender,
                            "RCPT TO:<ann@%s>" % DOMAIN, "RCPT TO:<%s@%s>" % (LIST, DOMAIN)):
                self.assertTrue(dialogue.smtp(command)[0].startswith("250"), command)
            self.assertTrue(dialogue.smtp("DATA")[0].startswith("354"))
            stuffed = cut.data.replace(b"\r\n.", b"\r\n..")
            dialogue.send(stuffed[:len(stuffed) // 2])

            watcher = threading.Thread(target=killer, daemon=True)
            watcher.start()
            errors = self.run_clients(work, 6)
            watcher.join(TIMEOUT)
            dialogue.close()
            self.assertEqual(errors, [])
            self.assertTrue(trigger.is_set(), "too few messages confirmed before the deadline")
            print("round %d: killed after %d confirmed (aim %d), %d queue files left"
                  % (round_no, accepted[0], kill_after, len(server.files("queue"))), flush=True)
            server.start()
        self.check_delivery(server, admin, "kill while sending")

    def test_kill_while_delivering_a_backlog(self):
        rng = random.Random(seed_for("kill while delivering"))
        server, admin = self.installation()
        self.sent = {}
        hits = 0
        for round_no in range(self.KILL_ROUNDS_DELIVERING):
            mails = []
            for m in range(5):
                recipients = [rng.choice(RECIPIENTS) for _ in range(rng.randint(12, 24))]
                mails.append(make_mail(rng, "b%dm%d" % (round_no, m), "b%d@client.test" % m, recipients,
                                       rng.choice((1000, 8000, 30000))))
            for mail in mails:
                self.sent[mail.mid] = mail
            copies = sum(sum(m.expected.values()) for m in mails)
            before = len(server.files("mail"))
            aim = before + rng.randint(1, copies - 1)

            def send(i):
                sender = Sender(server)
                sender.send(mails[i])
                sender.close()

            errors = self.run_clients(send, len(mails))
            self.assertEqual(errors, [])
            # Polls the mail folder and kills as soon as the daemon has written `aim` files.
            reached = wait_for(lambda: len(server.files("mail")) >= aim or not server.files("queue"),
                               QUEUE_DEADLINE, interval=0.002)
            server.kill()
            left = len(server.files("queue"))
            hits += left > 0
            print("round %d: killed at %d mailbox files (aim %d), %d queue files left%s"
                  % (round_no, len(server.files("mail")), aim, left, "" if reached else " (deadline)"), flush=True)
            server.start()
        self.check_delivery(server, admin, "kill while delivering")
        self.assertGreater(hits, 0, "no kill came while the queue held files")

    def test_kill_after_the_last_delivery_of_a_file_serves_nobody_twice(self):
        """48 queue files to ann, bob and cid, killed once the daemon writes the second batch of
        mailbox files: the files whose three deliveries were all in the first (committed) batch
        must not be served again (cid, the last entry of each, once got a second copy)."""
        rng = random.Random(seed_for("kill after last delivery"))
        server, admin = self.installation()
        server.stop()
        # A backlog that the daemon takes up in one scan at the next start: queue files as a
        # stopped server leaves them, three copies each, so the pass commits several batches.
        self.sent = {}
        for m in range(48):
            mail = make_mail(rng, "q%02d" % m, "q%d@client.test" % m, ["ann", "bob", "cid"], rng.choice((300, 3000)))
            mail.accepted = True
            self.sent[mail.mid] = mail
            write_queue_file(server.queue_folder, "Q%04d" % m, mail)
        server.start()
        # Into the second batch: the files of the first are done, but the pass is not.
        wait_for(lambda: len(server.files("mail")) >= 90 or not server.files("queue"), QUEUE_DEADLINE,
                 interval=0.002)
        server.kill()
        print("killed at %d mailbox files, %d queue files left"
              % (len(server.files("mail")), len(server.files("queue"))), flush=True)
        server.start()
        self.check_delivery(server, admin, "kill after last delivery")

    def test_start_settles_deliveries_cut_off_at_their_commit(self):
        """The folders as a kill leaves them right after a batch's commit: a queue file to ann
        whose mailbox row is committed but whose outcome never reached the queue state, and a
        mailbox file of the same entry that was never committed. The start keeps the committed
        copy, removes the other and serves ann no second time."""
        rng = random.Random(seed_for("settle"))
        server, admin = self.installation()
        first = make_mail(rng, "s0", "s0@client.test", ["ann"], 300)
        self.sent = {first.mid: first}
        sender = Sender(server)
        self.assertTrue(sender.send(first))
        sender.close()
        self.wait_queue_empty(server)
        server.stop()
        committed = [row["id"] for row in admin.rows("mailbox.dat")]
        self.assertEqual(len(committed), 1)
        # The same message queued again under a new name stands for the file being delivered.
        write_queue_file(server.queue_folder, "Q0001", first)
        os.makedirs(os.path.join(server.queue_folder, "state"), exist_ok=True)
        uncommitted = "0000B51F_00000000_00000000_0000_00000"
        with open(os.path.join(server.mail_folder, uncommitted), "wb") as f:
            f.write(b"Return-Path: <s0@client.test>\r\n")  # cut short by the kill
        with open(os.path.join(server.queue_folder, "state", "Q0001"), "w") as f:
            f.write("M %s 1:ann@%s\nM %s 1:ann@%s\n" % (uncommitted, DOMAIN, committed[0], DOMAIN))
        server.start()
        self.wait_queue_empty(server)
        self.assertEqual(sorted(server.files("mail")), committed)
        self.assertEqual(len(clients.pop3_fetch(server.address, server.ports["pop3"], "user7", "pw7")), 1)
        self.assertTrue(server.wait_log(r"1 uncommitted mailbox files removed, 1 interrupted deliveries found committed"))
        server.stop()
        self.assertEqual([row["id"] for row in admin.rows("mailbox.dat")], committed)


def write_queue_file(folder, name, mail):
    """A queue file as the SMTP server writes one: the envelope's length (32 bits, little-endian),
    the envelope (helo, reverse path, account 0, the recipients), our Received line, the message."""
    envelope = "client.test\r\n%s\r\n0\r\n%s" % (
        mail.sender, "".join("%s@%s\r\n" % (name, DOMAIN) for name in mail.recipients))
    received = b"Recieved: from client.test by test with SMTP; Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    with open(os.path.join(folder, name), "wb") as f:
        f.write(struct.pack("<I", len(envelope)) + envelope.encode() + received + mail.stored)


if __name__ == "__main__":
    main()
