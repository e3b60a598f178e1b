#!/usr/bin/env python3
"""Attacks on the mail server and what it must do about them, one row each (ATTACKS below); each
row runs on a fresh server and checks its outcome:

- ten 30 MB messages sent at once are received, delivered, archived and read back over POP3
  whole while the server's peak memory (VmHWM) stays under 64 MB: message data goes through in
  pieces, never whole;
- 100,000 pipelined RCPT of one address (in two spellings) store one copy;
- while a dozen clients dribble a command line a byte at a time, a normal client is greeted
  within a few seconds and delivers;
- repeated wrong POP3 passwords from one address are logged, each with a longer delay before
  the reply, and the connection is closed after a few;
- a client from an address outside the relay networks is refused at RCPT for a remote recipient
  and for an unknown recipient of a local domain, and may still write to a known one.

Clients use loopback only, except the untrusted one, which runs in a network namespace of the
test's own joined to this machine by a veth pair (its address is in no relay network).
"""
import json
import os
import poplib
import re
import smtplib
import socket
import threading
import time

import support
from support import clients
from support.admin import Admin
from support.net import wait_for
from support.netns import NetNamespace
from support.testing import TestCase, main

DOMAIN = "acme.test"
USER, PASSWORD = "user7", "secret7"
TIMEOUT = 60.0
MB = 1024 * 1024


def connect_from(source, port, timeout=TIMEOUT):
    return clients.connect_from(source, port, timeout)


class MailAttacks(TestCase):
    def installation(self, config=None):
        server = support.Server(self.need_binary(), config=config)
        self.addCleanup(server.close)
        admin = Admin(self.need_binary(), server)
        company = admin("add-company", "Acme").strip()
        admin("add-domain", company, DOMAIN)
        admin("add-account", "7", USER, PASSWORD)
        admin("add-alias", "ann", company, "7")
        server.start()
        return server, admin

    # --- the attacks ------------------------------------------------------------------------
    def parallel_big_messages(self):
        server, admin = self.installation()
        count, size = 10, 30 * MB
        line = b"y" * 998 + b"\r\n"
        bodies = [b"Subject: big %d\r\n\r\n" % i + line * (size // len(line)) for i in range(count)]
        errors = []

        def send(i):
            try:
                with smtplib.SMTP("127.0.0.1", server.ports["smtp"], timeout=300) as client:
                    refused = client.sendmail("s%d@example.com" % i, ["ann@" + DOMAIN], bodies[i])
                    if refused:
                        errors.append(refused)
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=send, args=(i,), daemon=True) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(600)
        self.assertEqual(errors, [])
        server.wait_files("queue", lambda names: not names, timeout=600)
        self.assertEqual(len(server.files("mail")), count)
        self.assertEqual(len(admin.rows("document.dat")), count)
        # And read back: each message goes out to the POP3 client a piece at a time too.
        client = poplib.POP3("127.0.0.1", server.ports["pop3"], timeout=300)
        try:
            client.user(USER)
            client.pass_(PASSWORD)
            fetched = [b"\r\n".join(client.retr(i + 1)[1]) for i in range(count)]
        finally:
            client.quit()
        self.assertEqual(sorted(m[m.index(b"Subject: "):] for m in fetched), sorted(b[:-2] for b in bodies))
        del fetched
        _, peak = server.memory_kb()
        print("peak memory after %d x %d MB in and out: %d KiB" % (count, size // MB, peak), flush=True)
        self.assertLess(peak, 64 * 1024, "peak memory %d KiB" % peak)
        # Whole: the Return-Path and Received lines, then every byte sent (less the CR LF that
        # ends the data).
        sizes = [int(row["size"]) for row in admin.rows("mailbox.dat")]
        self.assertEqual(len(sizes), count)
        self.assertTrue(all(len(bodies[0]) < s < len(bodies[0]) + 400 for s in sizes), sizes)

    def pipelined_rcpt_flood(self):
        server, _ = self.installation()
        count = 100000
        sock = connect_from("127.0.0.1", server.ports["smtp"])
        self.addCleanup(sock.close)
        lines = clients.smtp_rcpt_flood(sock, count)
        self.assertIsNotNone(lines, "the server did not answer every command")
        self.assertEqual(sum(line.startswith(b"250") for line in lines), count + 3)
        server.wait_files("queue", lambda names: not names, timeout=60)
        self.assertEqual(len(server.files("mail")), 1)
        self.assertEqual(len(clients.pop3_fetch("127.0.0.1", server.ports["pop3"], USER, PASSWORD)), 1)

    def dribbling_clients(self):
        server, _ = self.installation()
        port = server.ports["smtp"]
        stop = threading.Event()
        self.addCleanup(stop.set)
        socks = [connect_from("127.0.0.2", port, timeout=5) for _ in range(12)]
        for sock in socks:
            self.addCleanup(sock.close)

        def dribble(sock):
            for byte in b"HELO " + b"x" * 200:
                if stop.wait(1.0):
                    return
                try:
                    sock.sendall(bytes([byte]))
                except OSError:
                    return

        for sock in socks:
            threading.Thread(target=dribble, args=(sock,), daemon=True).start()
        time.sleep(3)
        started = time.monotonic()
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
            greeted = time.monotonic() - started
            self.assertEqual(client.sendmail("n@example.com", ["ann@" + DOMAIN], b"Subject: normal\r\n\r\nhi\r\n"), {})
        stop.set()
        self.assertLess(greeted, 5.0)

    def wrong_pop3_passwords(self):
        server, _ = self.installation()
        answers = []
        with clients.Dialogue("127.0.0.1", server.ports["pop3"], smtp=False) as pop:
            for _ in range(3):
                pop.pop("USER " + USER)
                answers.append(pop.pop("PASS wrong"))
            closed = pop.closed_by_peer(30)
        self.assertTrue(all(answer[0].startswith("-ERR") for answer in answers), answers)
        delays = [int(d) for d in re.findall(r"POP3 login of %s from 127\.0\.0\.1 failed .*reply delayed (\d+) ms"
                                              % USER, server.log_text())]
        self.assertEqual(len(delays), 3, server.log_text()[-2000:])
        self.assertTrue(delays[0] > 0 and delays[0] < delays[1] < delays[2], delays)
        self.assertTrue(closed, "the connection stayed open after repeated failures")

    def untrusted_client(self):
        ns = self.use(NetNamespace())
        server, _ = self.installation()
        # Run inside the namespace: one transaction, every RCPT's reply code, as JSON.
        code = r'''
import json, smtplib, sys
host, port = sys.argv[1], int(sys.argv[2])
codes = {}
with smtplib.SMTP(host, port, timeout=30) as client:
    client.helo("outside.test")
    client.mail("someone@outside.test")
    for rcpt in sys.argv[3:]:
        codes[rcpt] = list(client.rcpt(rcpt))
        codes[rcpt][1] = codes[rcpt][1].decode("latin-1")
    codes["DATA"] = list(client.data(b"Subject: from outside\r\n\r\nhello\r\n"))
    codes["DATA"][1] = codes["DATA"][1].decode("latin-1")
print(json.dumps(codes))
'''
        remote, unknown, known = "victim@remote.test", "nobody@" + DOMAIN, "ann@" + DOMAIN
        done = ns.python(code, ns.host_address, server.ports["smtp"], remote, unknown, known, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode("latin-1")[-2000:])
        codes = json.loads(done.stdout.decode("latin-1").strip().splitlines()[-1])
        print("from %s: %s" % (ns.client_address, codes), flush=True)
        self.assertEqual(codes[remote][0], 550, codes)
        self.assertEqual(codes[unknown][0], 550, codes)
        self.assertEqual(codes[known][0], 250, codes)
        self.assertEqual(codes["DATA"][0], 250, codes)
        server.wait_files("queue", lambda names: not names, timeout=60)
        fetched = clients.pop3_fetch("127.0.0.1", server.ports["pop3"], USER, PASSWORD)
        self.assertEqual(len(fetched), 1)
        self.assertEqual(server.files(os.path.join("queue", "bad")), [])

    # --- the table --------------------------------------------------------------------------
    ATTACKS = [
        ("ten parallel 30 MB messages", "all delivered, archived and read back, peak memory under 64 MB",
         parallel_big_messages),
        ("100,000 pipelined RCPT of one address", "one stored copy", pipelined_rcpt_flood),
        ("a dozen clients dribble bytes", "a normal client is greeted within 5 s and delivers", dribbling_clients),
        ("repeated wrong POP3 passwords", "each logged, each reply later than the one before, then closed",
         wrong_pop3_passwords),
        ("relay and unknown local recipients from an untrusted address", "refused at RCPT; known ones accepted",
         untrusted_client),
    ]

    def test_attacks(self):
        for name, expected, attack in self.ATTACKS:
            if os.environ.get("TOVENMARSH_ATTACK") not in (None, name):
                continue
            with self.subTest(attack=name, expected=expected):
                attack(self)


if __name__ == "__main__":
    main()
