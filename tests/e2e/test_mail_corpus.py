#!/usr/bin/env python3
"""A corpus of real messages goes through the running server and comes back byte for byte:
the message files of Python's own e-mail tests (Debian's libpython3.11-testsuite) plus cases
of our own (dot lines, no final line end, 8-bit text, a long line, an empty body, a large
message), each sent with smtplib from 8 threads at once while POP3 clients log in, list, read
and log out in a loop, and then fetched with poplib. Every message arrives exactly once, as sent
(our Return-Path and Received lines before it), and no POP3 or SMTP answer is an error that is
not the client's fault.
"""
import collections
import glob
import os
import poplib
import re
import smtplib
import threading

import support
from support.admin import Admin
from support.testing import TestCase, main

DOMAIN = "acme.test"
ACCOUNTS = {7: ("ann", "pw7"), 8: ("bob", "pw8"), 9: ("cid", "pw9")}
CORPUS = "/usr/lib/python3.11/test/test_email/data"
TIMEOUT = 60.0
SENDERS = 8


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def own_cases():
    return {
        "dot lines": b"Subject: dots\r\n\r\n.\r\n..\r\n...x\r\n. \r\nend\r\n",
        "no final line end": b"Subject: open end\r\n\r\nlast line without its end",
        "8-bit text": "Subject: =?utf-8?q?caf=C3=A9?=\r\n\r\nCaf\u00e9 cr\u00e8me, na\u00efve \u00fcber\r\n".encode("utf-8"),
        "latin-1 bytes": b"Subject: latin\r\n\r\n\xe9t\xe9 \xe0 la plage\r\n",
        "long line": b"Subject: long\r\n\r\n" + b"w" * 990 + b"\r\n",
        "empty body": b"Subject: empty\r\n\r\n",
        "header only": b"Subject: header only\r\nX-Note: nothing follows\r\n",
        "folded header": b"Subject: a subject\r\n that goes on\r\n\tand on\r\n\r\nbody\r\n",
        "end-of-data inside": b"Subject: eod\r\n\r\nbefore\r\n.\r\nafter\r\n",
        "blank lines at the end": b"Subject: blanks\r\n\r\nbody\r\n\r\n\r\n",
        "large": b"Subject: large\r\n\r\n" + b"".join(b"line %07d of a large message\r\n" % i
                                                  for i in range(40000)),
    }


def corpus():
    files = sorted(glob.glob(os.path.join(CORPUS, "msg_*.txt")))
    messages = {}
    for path in files:
        with open(path, "rb") as f:
            messages[os.path.basename(path)] = crlf(f.read())
    messages.update(own_cases())
    return files, messages


def stored(message):
    """What a mailbox keeps of a message sent with smtplib: the CR LF before the end of data is
    the message's own last line end when it has one, else the one smtplib adds."""
    return message[:-2] if message.endswith(b"\r\n") else message


class MailCorpus(TestCase):
    def installation(self):
        server = support.Server(self.need_binary())
        self.addCleanup(server.close)
        admin = Admin(self.need_binary(), server)
        company = admin("add-company", "Acme").strip()
        admin("add-domain", company, DOMAIN)
        for number, (name, password) in ACCOUNTS.items():
            admin("add-account", str(number), "user%d" % number, password)
            admin("add-alias", name, company, str(number))
        server.start()
        return server

    def test_corpus_comes_back_byte_for_byte_under_load(self):
        files, messages = corpus()
        self.assertGreaterEqual(len(files), 40, "the corpus of libpython3.11-testsuite is missing (scripts/setup.sh)")
        server = self.installation()
        numbers = sorted(ACCOUNTS)
        plan = [(name, data, numbers[i % len(numbers)]) for i, (name, data) in enumerate(sorted(messages.items()))]
        expected = {number: collections.Counter() for number in numbers}
        for name, data, number in plan:
            expected[number][stored(data)] += 1

        errors, pop_errors = [], []
        stop = threading.Event()
        sessions = collections.Counter()

        def send(k):
            try:
                with smtplib.SMTP("127.0.0.1", server.ports["smtp"], timeout=TIMEOUT) as client:
                    for name, data, number in plan[k::SENDERS]:
                        refused = client.sendmail("sender%d@example.com" % k,
                                                  ["%s@%s" % (ACCOUNTS[number][0], DOMAIN)], data)
                        if refused:
                            errors.append((name, refused))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(("sender %d" % k, repr(e)))

        def read_loop(number):
            user, password = "user%d" % number, ACCOUNTS[number][1]
            while not stop.is_set():
                try:
                    client = poplib.POP3("127.0.0.1", server.ports["pop3"], timeout=TIMEOUT)
                    try:
                        client.user(user)
                        client.pass_(password)
                        count, _ = client.stat()
                        client.list()
                        client.uidl()
                        for i in range(1, count + 1):
                            client.retr(i)
                    finally:
                        client.quit()
                    sessions[number] += 1
                except Exception as e:  # noqa: BLE001 - every error answer is a failure here
                    pop_errors.append((user, repr(e)))

        readers = [threading.Thread(target=read_loop, args=(n,), daemon=True) for n in numbers]
        senders = [threading.Thread(target=send, args=(k,), daemon=True) for k in range(SENDERS)]
        for thread in readers + senders:
            thread.start()
        for thread in senders:
            thread.join(TIMEOUT * 5)
            self.assertFalse(thread.is_alive(), "a sender did not finish")
        server.wait_files("queue", lambda names: not names, timeout=120)
        stop.set()
        for thread in readers:
            thread.join(TIMEOUT * 2)
        self.assertEqual(errors, [])
        self.assertEqual(pop_errors, [])
        self.assertTrue(all(sessions[n] > 0 for n in numbers), sessions)

        problems = []
        for number in numbers:
            client = poplib.POP3("127.0.0.1", server.ports["pop3"], timeout=TIMEOUT)
            try:
                client.user("user%d" % number)
                client.pass_(ACCOUNTS[number][1])
                count, _ = client.stat()
                got = collections.Counter()
                for i in range(1, count + 1):
                    whole = b"\r\n".join(client.retr(i)[1])
                    head = re.match(rb"Return-Path: <sender\d@example\.com>\r\nRecieved: from [^\r\n]*\r\n", whole)
                    if not head:
                        problems.append("account %d message %d: no Return-Path and Received lines: %r"
                                        % (number, i, whole[:200]))
                        continue
                    got[whole[head.end():]] += 1
            finally:
                client.quit()
            if got != expected[number]:
                by_body = {body: name for name, body, _ in ((n, stored(d), a) for n, d, a in plan)}
                missing = [by_body.get(body, "?") for body in expected[number] - got]
                extra = [body[:120] for body in got - expected[number]]
                problems.append("account %d: missing or changed %s; unexpected %r" % (number, missing, extra))
        self.assertEqual(problems, [], "\n".join(problems))
        print("%d messages (%d from the corpus) came back whole; %s POP3 sessions meanwhile"
              % (len(plan), len(files), dict(sessions)), flush=True)


if __name__ == "__main__":
    main()
