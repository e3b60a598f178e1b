#!/usr/bin/env python3
"""SMTP intake against clients that do not play along, on the running server:

- dot-stuffed lines after any line end come back through POP3 byte for byte as smtplib sent
  them (smtplib stuffs a dot after a bare LF too; the server stores bare line ends as CR LF);
- 100,000 pipelined RCPT of one address store one mailbox copy;
- several big messages at once, and one above the size bound, keep the server's peak memory
  (VmHWM) small: message data goes to disk as it arrives;
- clients that trickle a command line from one address do not keep a client of another address
  from being greeted at once, and are closed for the slow first line;
- a client outside the relay networks is refused at RCPT for a remote recipient and for an
  unknown recipient of a local domain, and may still write to the known ones.

Clients use loopback only; "other hosts" are other 127/8 source addresses.
"""
import poplib
import smtplib
import socket
import threading
import time

import support
from support import clients
from support.admin import Admin
from support.net import wait_for
from support.testing import TestCase, main

DOMAIN = "acme.test"
USER, PASSWORD = "user7", "secret7"
TIMEOUT = 30.0
MB = 1024 * 1024


def connect_from(source, port, timeout=TIMEOUT):
    return clients.connect_from(source, port, timeout)


def read_reply(sock):
    """One SMTP reply (all its lines) as bytes."""
    data = b""
    while True:
        chunk = sock.recv(4096)
        if not chunk:
            return data
        data += chunk
        lines = data.split(b"\r\n")
        if len(lines) > 1 and len(lines[-2]) >= 4 and lines[-2][3:4] == b" ":
            return data


def retrieve_all(server):
    """Every message of the account as poplib returns it (lines joined with CR LF)."""
    client = poplib.POP3("127.0.0.1", server.ports["pop3"], timeout=TIMEOUT)
    try:
        client.user(USER)
        client.pass_(PASSWORD)
        count = len(client.list()[1])
        return [b"\r\n".join(client.retr(i + 1)[1]) for i in range(count)]
    finally:
        client.quit()


class SmtpIntake(TestCase):
    def installation(self, config=None):
        server = support.Server(self.need_binary(), config=config)
        self.addCleanup(server.close)
        admin = Admin(self.need_binary(), server)
        company = admin("add-company", "Acme").strip()
        admin("add-domain", company, DOMAIN)
        admin("add-account", "7", USER, PASSWORD)
        admin("add-alias", "ann", company, "7")
        server.start()
        return server

    def test_dot_lines_after_any_line_end_come_back_as_sent(self):
        server = self.installation()
        bodies = [
            b"Subject: crlf\r\n\r\n.x\r\n..\r\n.\r\nend\r\n",
            b"Subject: bare lf\r\n\r\nfirst\n.x\n..y\n.\n...\nlast\n",
            b"Subject: mixed\r\n\r\na\r\n.b\n.c\r\n\n.\r\n.d",
        ]
        with smtplib.SMTP("127.0.0.1", server.ports["smtp"], timeout=TIMEOUT) as client:
            for body in bodies:
                # bytes: smtplib keeps the line ends and stuffs a dot after every LF.
                self.assertEqual(client.sendmail("s@example.com", ["ann@" + DOMAIN], body), {})
        server.wait_files("queue", lambda names: not names, timeout=60)
        wait_for(lambda: len(server.files("mail")) == len(bodies), 60)
        got = sorted(retrieve_all(server), key=lambda m: m[m.index(b"Subject:"):])
        want = sorted(bodies)
        self.assertEqual(len(got), len(want))
        for message, body in zip(got, want):
            # Return-Path and our Received line first; bare line ends come back as CR LF. The
            # CR LF before the end of data (the message's own, or the one smtplib adds when the
            # message does not end with one) is no part of the message.
            head, received, rest = message.split(b"\r\n", 2)
            self.assertTrue(head.startswith(b"Return-Path: <s@example.com>"), head)
            self.assertTrue(received.startswith(b"Recieved: from "), received)
            stored = body.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            self.assertEqual(rest, stored[:-2] if body.endswith(b"\r\n") else stored)

    def test_a_flood_of_one_recipient_stores_one_copy(self):
        server = self.installation()
        count = 100000
        sock = connect_from("127.0.0.1", server.ports["smtp"])
        self.addCleanup(sock.close)
        lines = clients.smtp_rcpt_flood(sock, count)
        self.assertIsNotNone(lines, "the server did not answer every command")
        self.assertEqual(sum(line.startswith(b"250 OK") for line in lines), count + 2)  # MAIL, RCPTs, data
        self.assertTrue(lines[count + 3].startswith(b"354"), lines[count + 3])
        server.wait_files("queue", lambda names: not names, timeout=60)
        self.assertEqual(len(server.files("mail")), 1)
        self.assertEqual(len(retrieve_all(server)), 1)

    def test_big_messages_at_once_keep_memory_small(self):
        server = self.installation()
        port = server.ports["smtp"]
        _, before = server.memory_kb()
        line = b"x" * 998 + b"\r\n"
        sizes = {"big0": 30 * MB, "big1": 30 * MB, "big2": 30 * MB, "big3": 30 * MB, "too big": 50 * MB}
        # Made before the first 354: a connection that waits 15 s for data is closed.
        bodies = {name: b"Subject: %s\r\n\r\n" % name.encode() + line * (size // len(line))
                  for name, size in sizes.items()}
        socks, errors = {}, []
        for name in sizes:
            sock = connect_from("127.0.0.1", port, timeout=120)
            self.addCleanup(sock.close)
            sock.sendall(b"HELO big.test\r\nMAIL FROM:<s@example.com>\r\nRCPT TO:<ann@acme.test>\r\nDATA\r\n")
            got = b""
            while got.count(b"\r\n") < 5:
                got += sock.recv(4096)
            self.assertIn(b"\r\n354 ", got)
            socks[name] = sock

        sent = threading.Semaphore(0)
        measured = threading.Event()

        def send_body(name):
            try:
                socks[name].sendall(bodies[name])
                sent.release()
                # A line now and then until the peak is read: a connection without data for
                # 15 s would be closed.
                while not measured.wait(3):
                    socks[name].sendall(b"more\r\n")
            except OSError as e:
                errors.append(e)
                sent.release()

        # Every message's data is sent at once, all but its end: no queue file exists yet, so
        # nothing but intake can have taken memory when the peak is read.
        threads = [threading.Thread(target=send_body, args=(name,), daemon=True) for name in sizes]
        for thread in threads:
            thread.start()
        for _ in threads:
            self.assertTrue(sent.acquire(timeout=300), "a client did not finish")
        time.sleep(1)  # the server reads what is still in the sockets' buffers
        _, after = server.memory_kb()
        measured.set()
        for thread in threads:
            thread.join(30)
        self.assertEqual(errors, [])
        codes = {}
        for name, sock in socks.items():
            sock.sendall(b".\r\n")
            codes[name] = read_reply(sock)[:3]
        self.assertEqual(codes, {"big0": b"250", "big1": b"250", "big2": b"250", "big3": b"250", "too big": b"552"})
        print("peak memory: %d KiB before, %d KiB while 4 x 30 MB and one 50 MB message came in" % (before, after),
              flush=True)
        # A single message held whole would take 30 MB.
        self.assertLess(after - before, 16 * 1024, "peak memory grew from %d to %d KiB" % (before, after))

    def test_trickling_clients_do_not_stop_intake(self):
        server = self.installation()
        port = server.ports["smtp"]
        stop = threading.Event()
        closed = []
        socks = [connect_from("127.0.0.2", port, timeout=5) for _ in range(12)]
        self.addCleanup(stop.set)
        for sock in socks:
            self.addCleanup(sock.close)

        def trickle(sock):
            # A byte every second: never a read time-out, never a whole line.
            received = b""
            for byte in b"HELO " + b"x" * 200:
                if stop.is_set():
                    return
                try:
                    sock.sendall(bytes([byte]))
                    sock.settimeout(1.0)
                    chunk = sock.recv(4096)
                    if not chunk:
                        break
                    received += chunk
                except socket.timeout:
                    continue
                except OSError:
                    break
            closed.append(received)

        threads = [threading.Thread(target=trickle, args=(sock,), daemon=True) for sock in socks]
        for thread in threads:
            thread.start()
        time.sleep(3)
        started = time.monotonic()
        with smtplib.SMTP("127.0.0.1", port, timeout=10, source_address=("127.0.0.1", 0)) as client:
            greeted = time.monotonic() - started  # connecting reads the greeting
            client.helo("normal.test")
            self.assertEqual(client.sendmail("n@example.com", ["ann@" + DOMAIN], b"Subject: normal\r\n\r\nhi\r\n"), {})
        self.assertLess(greeted, 5.0)
        # The first line never came: the server closes them with a 421 about 30 s after their
        # greeting (the parked ones after that, once they are served).
        wait_for(lambda: len(closed) >= 1, 60)
        self.assertTrue(any(b"421" in r and b"first command line" in r for r in closed), closed)
        stop.set()

    def test_untrusted_client_is_refused_at_rcpt(self):
        # Only 127.0.0.1 may relay: 127.0.0.2 stands for a host outside the relay networks.
        server = self.installation({"RelayNetworks": "127.0.0.1/32"})
        port = server.ports["smtp"]
        cases = [
            ("127.0.0.2", "victim@remote.test", b"550 Relaying denied"),
            ("127.0.0.2", "nobody@acme.test", b"550 "),
            ("127.0.0.2", "ann@acme.test", b"250 "),
            ("127.0.0.2", "postmaster@acme.test", b"250 "),
            ("127.0.0.1", "victim@remote.test", b"250 "),
            ("127.0.0.1", "nobody@acme.test", b"250 "),
        ]
        for source, recipient, reply in cases:
            with self.subTest(source=source, recipient=recipient):
                sock = connect_from(source, port)
                try:
                    self.assertTrue(read_reply(sock).startswith(b"220"))
                    sock.sendall(b"HELO c.test\r\n")
                    read_reply(sock)
                    sock.sendall(b"MAIL FROM:<forged@victim.test>\r\n")
                    self.assertTrue(read_reply(sock).startswith(b"250"))
                    sock.sendall(b"RCPT TO:<%s>\r\n" % recipient.encode())
                    got = read_reply(sock)
                    self.assertTrue(got.startswith(reply), got)
                    sock.sendall(b"QUIT\r\n")
                    read_reply(sock)
                finally:
                    sock.close()


if __name__ == "__main__":
    main()
