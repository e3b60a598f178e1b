#!/usr/bin/env python3
"""Archived mail is found through the search pages: Python's own MIME test messages
(libpython3.11-testsuite) and a few crafted ones go through SMTP to a local account; once the
indexing daemon has run, "/searchfor" finds every message by a word that Python's email package
reads from its text parts, "/viewdocument" shows it, a user of a lower level does not see the
documents above it, dates and sort order filter and order the hits, and after a restart the
word index is reopened (nothing indexed again) and goes on growing.

The tables are filled by the administration tool (<build>/tools/tovenmarsh_admin, or --admin).
"""
import base64
import email
import glob
import os
import re
import time
import urllib.parse
from email import policy
from html.parser import HTMLParser

import support
from support import clients, web
from support.admin import Admin
from support.testing import TestCase, main

CORPUS = "/usr/lib/python3.11/test/test_email/data"
TIMEOUT = 15
# The daemon runs a pass a minute; a pass leaves the newest document for the next one.
INDEX_DEADLINE = 240
SENDER = "sender@example.com"
# Characters between words in the index (and the query language's own words, never searched).
DELIMITERS = re.compile(r"[\r\n\t ,.;:?!\[\]{}()<>/+*=\\|&#%$^~`\"]+")
QUERY_WORDS = {"AND", "OR", "NOT", "NEAR", "LIKE", "PHRASE"}
HIT = re.compile(r"viewdocument\?key=(\d+)")
FOUND = re.compile(r"and found (\d+) entries\.")
ROWS_PER_PAGE = 12

PRIVATE = (b"From: Sender <sender@example.com>\r\nTo: <ann@acme.test>\r\nSubject: ann only\r\n\r\n"
           b"heronry ledger for the board\r\n")
PUBLIC = (b"From: Sender <sender@example.com>\r\nTo: Bob <bob@acme.test>, <ann@acme.test>\r\n"
          b"Subject: for all\r\n\r\nheronry bulletin for everyone\r\n")
LATE = (b"From: Sender <sender@example.com>\r\nTo: <ann@acme.test>\r\nSubject: after restart\r\n"
        b"Content-Type: text/html\r\n\r\n<p>sandpiper <b>arrives</b></p>\r\n")


class _Text(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.out, self.skip = [], 0

    def handle_starttag(self, tag, attrs):
        if tag in ("script", "style"):
            self.skip += 1

    def handle_endtag(self, tag):
        if tag in ("script", "style") and self.skip:
            self.skip -= 1

    def handle_data(self, data):
        if not self.skip:
            self.out.append(data)


def python_text(raw):
    """The text of the text parts as Python's email package reads them (HTML through
    html.parser); in an alternative the plain renderings, else the last one."""
    out = []

    def visit(part):
        if part.is_multipart():
            subs = part.get_payload()
            if part.get_content_type() == "multipart/alternative" and subs:
                plain = [s for s in subs if s.get_content_type() == "text/plain"]
                subs = plain or subs[-1:]
            for sub in subs:
                visit(sub)
        elif part.get_content_maintype() == "text":
            payload = part.get_payload(decode=True) or b""
            try:
                text = payload.decode(part.get_content_charset() or "latin-1", "replace")
            except LookupError:
                text = payload.decode("latin-1")
            if part.get_content_type() == "text/html":
                parser = _Text()
                parser.feed(text)
                parser.close()
                text = " ".join(parser.out)
            out.append(text)

    visit(email.message_from_bytes(raw, policy=policy.compat32))
    return " ".join(out)


def tokens(text):
    """Whole words of plain letters, as the index cuts them."""
    return {t.upper() for t in DELIMITERS.split(text) if 4 <= len(t) <= 20 and t.isascii() and t.isalpha()}


def crlf(data):
    return re.sub(rb"\r?\n", b"\r\n", data)


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def unescape_dump(value):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m.group(1), m.group(1)), value)


class DocumentSearch(TestCase):
    def installation(self):
        server = support.Server(self.need_binary(), config={"SecurityOn": "Yes", "UserLevel": "1",
                                                            "AdminLevel": "10"})
        admin = Admin(self.need_binary(), server)
        company = admin("add-company", "Acme").strip()
        admin("add-domain", company, "acme.test")
        admin("add-account", "7", "Ann", "ann-secret", "5")
        admin("add-alias", "ann", company, "7")
        admin("add-account", "8", "Bob", "bob-secret", "1")
        admin("add-alias", "bob", company, "8")
        return server, admin

    def get(self, server, target, user):
        answer = web.request(server, "GET", target, headers={"Authorization": basic(*user)}, timeout=TIMEOUT)
        self.assertEqual(answer.status, 200, answer.text[:2000])
        return answer.text

    def search(self, server, user, text, **extra):
        """Every hit of a search, page after page, and the count the caption gives."""
        hits, offset, count = [], 0, None
        while True:
            query = dict(extra, text=text, ls=str(offset))
            page = self.get(server, "/searchfor?" + urllib.parse.urlencode(query), user)
            self.assertIn("View search results.", page)
            found = FOUND.search(page)
            self.assertIsNotNone(found, page[:3000])
            count = int(found.group(1))
            hits += [int(n) for n in HIT.findall(page)]
            offset += ROWS_PER_PAGE
            if offset >= count:
                return hits, count

    def wait_found(self, server, user, text, number=None, deadline=INDEX_DEADLINE):
        end = time.monotonic() + deadline
        while True:
            hits, _ = self.search(server, user, text)
            if (number in hits) if number is not None else hits:
                return hits
            if time.monotonic() > end:
                self.fail("%r not found within %d s (hits %s)\n%s" % (text, deadline, hits, server.log_text()[-3000:]))
            time.sleep(2)

    def test_corpus_found_by_its_words_across_a_restart(self):
        ann, bob = ("user7", "ann-secret"), ("user8", "bob-secret")
        server, admin = self.installation()
        self.use(server)
        self.assertTrue(os.path.isfile(os.path.join(server.db_folder, "words.dat")), "no words.dat after start")

        names = sorted(glob.glob(os.path.join(CORPUS, "msg_*.txt")))
        self.assertGreater(len(names), 40, "install libpython3.11-testsuite (scripts/setup.sh)")
        messages = []
        for path in names:
            with open(path, "rb") as f:
                messages.append((os.path.basename(path), crlf(f.read())))
        messages += [("private", PRIVATE), ("public", PUBLIC)]
        received = {}
        for name, data in messages:
            sent = clients.smtp_send(server.address, server.ports["smtp"], SENDER, "ann@acme.test", data)
            self.assertTrue(sent.accepted, (name, sent.replies))
            received[name] = sent.received
        server.wait_files("queue", lambda files: not files, timeout=60)
        # The daemon takes documents in number order: the last two found means all were taken.
        self.wait_found(server, ann, "ledger")
        self.wait_found(server, ann, "bulletin")

        # Each document row to its message (the document file is the message as queued).
        server.stop()
        words_dat = os.path.join(server.db_folder, "words.dat")
        rows = admin.rows("document.dat")
        self.assertEqual(len(rows), len(messages))
        number_of, content_of = {}, {}
        for row in rows:
            self.assertEqual(row["indexed"], "true", row)
            with open(os.path.join(server.document_folder, row["extfileref"]), "rb") as f:
                archived = f.read()
            # (The final line end is compared loosely: some archived copies lack it.)
            owners = [name for name, data in received.items() if archived.rstrip(b"\r\n").endswith(data.rstrip(b"\r\n"))]
            self.assertEqual(len(owners), 1, (row["extfileref"], owners))
            number_of[owners[0]] = int(row["no"])
            content_of[owners[0]] = unescape_dump(row["content"])
        levels = {row["no"]: row["level"] for row in rows}
        self.assertEqual(levels[str(number_of["private"])], "5")
        self.assertEqual(levels[str(number_of["public"])], "1")
        self.assertEqual(levels[str(number_of["msg_01.txt"])], "0")

        # Reopened, not rebuilt: every document stays indexed and findable.
        server.start()

        # For each message the word that fewest others hold, of those Python reads from its text.
        words = {name: tokens(python_text(data)) - QUERY_WORDS for name, data in messages}
        holders = {}
        for name, found in words.items():
            for word in found:
                holders.setdefault(word, set()).add(name)
        searched = 0
        for name, data in messages:
            archived = tokens(content_of[name])
            candidates = sorted(words[name] & archived, key=lambda w: (len(holders[w]), w))
            self.assertEqual(bool(candidates), bool(words[name]), (name, sorted(words[name])[:20]))
            if not candidates:
                continue
            word = candidates[0]
            with self.subTest(message=name, word=word):
                hits, count = self.search(server, ann, word.lower())
                self.assertIn(number_of[name], hits)
                self.assertEqual(count, len(hits))
                self.assertEqual(len(hits), len(set(hits)))
                searched += 1
        self.assertGreater(searched, 35)

        # The document view shows the message, with the way back to the results.
        shown = self.get(server, "/viewdocument?key=%d&text=heronry&ls=0" % number_of["private"], ann)
        self.assertIn("View document.", shown)
        self.assertIn("heronry ledger for the board", shown)
        self.assertIn("ann only", shown)
        self.assertIn("searchfor?text=heronry", shown)

        # Levels: Bob (1) does not see Ann's document (5), not even by its number.
        self.assertEqual(sorted(self.search(server, ann, "heronry")[0]),
                         sorted([number_of["private"], number_of["public"]]))
        self.assertEqual(self.search(server, bob, "heronry")[0], [number_of["public"]])
        self.assertEqual(self.search(server, bob, "ledger")[0], [])
        hidden = self.get(server, "/viewdocument?key=%d" % number_of["private"], bob)
        self.assertNotIn("ledger", hidden)
        # An address is one word, searched the way it was stored.
        self.assertIn(number_of["public"], self.search(server, ann, "bob@acme.test")[0])

        # Dates bound the hits; the order is the ranked one or its reverse.
        tomorrow = time.strftime("%Y-%m-%d", time.localtime(time.time() + 86400 * 2))
        yesterday = time.strftime("%Y-%m-%d", time.localtime(time.time() - 86400 * 2))
        self.assertEqual(self.search(server, ann, "heronry", fromdate=tomorrow)[1], 0)
        self.assertEqual(self.search(server, ann, "heronry", todate=yesterday)[1], 0)
        self.assertEqual(self.search(server, ann, "heronry", fromdate=yesterday, todate=tomorrow)[1], 2)
        ascending = self.search(server, ann, "heronry", sortorder="A")[0]
        self.assertEqual(self.search(server, ann, "heronry", sortorder="D")[0], ascending[::-1])

        # The index goes on growing after the restart.
        sent = clients.smtp_send(server.address, server.ports["smtp"], SENDER, "ann@acme.test", LATE)
        self.assertTrue(sent.accepted, sent.replies)
        messages.append(("late", LATE))
        self.wait_found(server, ann, "sandpiper")
        self.assertEqual(len(self.search(server, ann, "heronry")[0]), 2)

        server.stop()
        rows = admin.rows("document.dat")
        self.assertEqual(len(rows), len(messages))
        self.assertNotIn("failed to textindex", server.log_text())
        self.assertTrue(os.path.isfile(words_dat))


if __name__ == "__main__":
    main()
