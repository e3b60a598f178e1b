#!/usr/bin/env python3
"""The main road of a message through the running server: the tables are filled by the
administration tool (through the database resources) while the server is stopped; smtplib
(lower-case verbs) and swaks send a message whose body holds the lines ".", ".." and ".x";
poplib and curl retrieve it with "Return-Path:" first and the body byte for byte; UIDL, DELE,
RSET and QUIT behave; the message is archived as a document row. Also: a bounce to a local
sender, a table file re-created alone at restart, and a table that cannot be opened at start.

The tool is found beside the build of the binary (<build>/tools/tovenmarsh_admin) or given
with --admin <path>.
"""
import os
import subprocess
import sys
import time

import support
from support import clients
from support.testing import TestCase, main

BODY = b"first\r\n.\r\n..\r\n.x\r\nlast\r\n"
MESSAGE = (b"From: Sender <sender@example.com>\r\nTo: <ann@acme.test>\r\nSubject: road\r\n\r\n" + BODY)
USER, PASSWORD = "user7", "secret"


def admin_tool(binary):
    for i, arg in enumerate(sys.argv):
        if arg == "--admin" and i + 1 < len(sys.argv):
            return os.path.abspath(sys.argv[i + 1])
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(binary))))
    return os.path.join(build, "tools", "tovenmarsh_admin")


class MailRoad(TestCase):
    def admin(self, server, *args):
        tool = admin_tool(self.need_binary())
        self.assertTrue(os.path.isfile(tool), "no administration tool at %s" % tool)
        done = subprocess.run([tool, server.db_folder, *args], capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode("latin-1"))
        return done.stdout.decode("latin-1")

    def rows(self, server, table):
        rows = []
        for line in self.admin(server, "dump", table).splitlines():
            rows.append(dict(field.split("=", 1) for field in line.split("\t")))
        return rows

    def installation(self):
        server = support.Server(self.need_binary())
        os.makedirs(server.db_folder, exist_ok=True)
        company = self.admin(server, "add-company", "Acme").strip()
        self.admin(server, "add-domain", company, "acme.test")
        self.admin(server, "add-account", "7", "Ann", PASSWORD)
        self.admin(server, "add-alias", "ann", company, "7")
        return server

    def wait_delivered(self, server, count):
        found = []
        for _ in range(100):
            found = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)
            if len(found) >= count:
                break
            time.sleep(0.2)
        return found

    def stop(self, server):
        """Stops the server: exit code 0 and the closing lines in order (the subsystems log their
        own lines between them)."""
        self.assertEqual(server.stop(expect_code=None), 0)
        texts = server.texts()
        self.assertEqual(texts[-2:], ["tovenmarsh stopped", "* * * * * * * * * * *"])
        self.assertIn("tovenmarsh shuting down", texts)
        self.assertNotIn("Exception", [level for level, _ in server.log_lines()], server.log_text())

    def check_message(self, data, received):
        self.assertTrue(data.startswith(b"Return-Path: <sender@example.com>\r\n"), data[:200])
        # Our header lines come first; the message as the client sent it follows whole.
        self.assertTrue(data.endswith(received), data)

    def test_smtplib_and_swaks_to_poplib_and_curl(self):
        server = self.installation()
        self.use(server)
        sent = clients.smtp_send(server.address, server.ports["smtp"], "sender@example.com",
                                 "ann@acme.test", MESSAGE)
        self.assertTrue(sent.accepted, sent.replies)
        swaks = clients.swaks_send(server.address, server.ports["smtp"], "sender@example.com",
                                   "ann@acme.test", MESSAGE)
        self.assertEqual(swaks.returncode, 0, swaks.transcript)
        self.assertTrue(swaks.accepted, swaks.replies)

        server.wait_files("queue", lambda names: not names)
        found = self.wait_delivered(server, 2)
        self.assertEqual(len(found), 2, found)
        by_body = sorted(found, key=lambda item: len(item[2]))
        self.check_message(by_body[0][2], sent.received)
        self.check_message(by_body[1][2], swaks.received)
        uidls = [uidl for _, uidl, _ in found]
        self.assertEqual(len(set(uidls)), 2, uidls)

        # curl: the list, one message whole, and UIDL.
        code, listing = clients.curl_pop3(server.address, server.ports["pop3"], USER, PASSWORD)
        self.assertEqual(code, 0, listing)
        self.assertEqual(len(listing.splitlines()), 2, listing)
        code, data = clients.curl_pop3(server.address, server.ports["pop3"], USER, PASSWORD, "1")
        self.assertEqual(code, 0, data)
        self.assertEqual(data, found[0][2])
        code, uidl_text = clients.curl_pop3(server.address, server.ports["pop3"], USER, PASSWORD, request="UIDL")
        self.assertEqual(code, 0, uidl_text)
        self.assertIn(found[0][1].encode(), uidl_text)

        # DELE then RSET keeps both; DELE then QUIT removes one.
        with clients.Dialogue(server.address, server.ports["pop3"], smtp=False) as pop:
            self.assertTrue(pop.greeting[0].startswith("+OK"), pop.greeting)
            self.assertTrue(pop.pop("USER " + USER)[0].startswith("+OK"))
            self.assertTrue(pop.pop("PASS " + PASSWORD)[0].startswith("+OK"))
            self.assertTrue(pop.pop("DELE 1")[0].startswith("+OK"))
            self.assertTrue(pop.pop("DELE 1")[0].startswith("-ERR"))  # already deleted
            self.assertTrue(pop.pop("RSET")[0].startswith("+OK"))
            self.assertTrue(pop.pop("STAT")[0].startswith("+OK 2 "))
            self.assertTrue(pop.pop("DELE 1")[0].startswith("+OK"))
            self.assertTrue(pop.pop("QUIT")[0].startswith("+OK"))
        left = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)
        self.assertEqual([uidl for _, uidl, _ in left], [found[1][1]])

        # Both messages were archived as document rows (read with the server stopped).
        self.stop(server)
        mailbox = self.rows(server, "mailbox.dat")
        self.assertEqual(len(mailbox), 1, mailbox)
        self.assertEqual(mailbox[0]["accountno"], "7")
        documents = self.rows(server, "document.dat")
        self.assertEqual(len(documents), 2, documents)
        for row in documents:
            self.assertEqual(row["description"], "road")
            self.assertIn("ann@acme.test", row["to"])
            self.assertIn("sender@example.com", row["from"])
            self.assertEqual(row["indexed"], "false")
            self.assertIn(r"first\r\n.\r\n..\r\n.x\r\nlast", row["content"])
            self.assertTrue(row["extfileref"], row)
            self.assertIn(row["extfileref"], server.files("document"))

    def test_wrong_password_unknown_alias_and_restart(self):
        server = self.installation()
        self.use(server)
        with clients.Dialogue(server.address, server.ports["pop3"], smtp=False) as pop:
            pop.pop("USER " + USER)
            self.assertTrue(pop.pop("PASS wrong")[0].startswith("-ERR"))
        # An unknown name in a local domain bounces to the (local) sender.
        sent = clients.smtp_send(server.address, server.ports["smtp"], "ann@acme.test",
                                 "nobody@acme.test", MESSAGE)
        self.assertTrue(sent.accepted, sent.replies)
        server.wait_files("queue", lambda names: not names)
        bounces = self.wait_delivered(server, 1)
        self.assertEqual(len(bounces), 1, bounces)
        self.assertIn(b"nobody@acme.test", bounces[0][2])

        # A table file deleted while stopped is created again, alone, at the next start; the
        # mailbox is still served.
        self.stop(server)
        extaccount = os.path.join(server.db_folder, "extaccount.dat")
        self.assertTrue(os.path.isfile(extaccount))
        os.unlink(extaccount)
        server.start()
        self.assertTrue(os.path.isfile(extaccount))
        again = clients.pop3_fetch(server.address, server.ports["pop3"], USER, PASSWORD)
        self.assertEqual([(uidl, data) for _, uidl, data in again], [(bounces[0][1], bounces[0][2])])
        self.stop(server)

    def test_a_table_that_cannot_be_opened_is_a_panic_at_start(self):
        server = support.Server(self.need_binary(), wait_ports=())
        self.addCleanup(server.close)
        os.makedirs(server.db_folder)
        with open(os.path.join(server.db_folder, "account.dat"), "wb") as f:
            f.write(b"not a table " * 100)
        with self.assertRaises(support.HarnessError):
            server.start()
        panics = [text for level, text in server.log_lines() if level == "Panic"]
        self.assertEqual(len(panics), 1, server.log_text())
        self.assertIn("account", panics[0])
        # The other tables were created before the pools were registered.
        self.assertIn("document.dat", os.listdir(server.db_folder))


if __name__ == "__main__":
    main()
