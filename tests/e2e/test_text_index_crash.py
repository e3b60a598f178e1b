#!/usr/bin/env python3
"""The word index of the archive survives kill -9 in the middle of an indexing pass.

A batch of archived messages, each with a word of its own, one word that all share and a few
words from a small vocabulary, is indexed by the daemon's pass that a start runs at once. While
that pass runs (seen as the hits of the shared word growing on "/searchfor") the server is
killed with SIGKILL, started again on the same program folder, and killed again further on; the
last start is left to finish, and one more (clean) start indexes the document that a pass
leaves for the next one. Then:
- every word finds exactly the documents that hold it (a model of what was sent), each once, and
  the caption's count is the number of hits;
- the hits of the shared word never went down across a kill (nothing indexed was lost);
- every document row is marked indexed and stamped with its recipient's level, no document was
  archived twice, and the log holds no failure of a pass nor of a search made during one.
"""
import base64
import random
import re
import smtplib
import urllib.parse

import support
from support import web
from support.admin import Admin
from support.net import wait_for
from support.testing import TestCase, main

TIMEOUT = 15
MESSAGES = 120
SENDER = "sender@example.com"
RECIPIENT = "ann@acme.test"
ANN = ("user7", "ann-secret")
LEVEL = 5
SHARED = "moorhen"
# A handful of words for each document from here: each word's hits are a subset to check.
VOCABULARY = ["alder", "bittern", "curlew", "dunlin", "egret", "fulmar", "gannet", "heron", "ibis",
              "jackdaw", "kestrel", "lapwing", "merlin", "nightjar", "osprey", "plover", "quail",
              "redshank", "shoveler", "teal", "wigeon", "warbler"]
WORDS_PER_DOCUMENT = 8
# Kill points: the shared word's hits as a part of what the pass has left to do when it starts.
KILL_AT = (0.2, 0.5, 0.8)
HIT = re.compile(r"viewdocument\?key=(\d+)")
FOUND = re.compile(r"and found (\d+) entries\.")
ROWS_PER_PAGE = 12
# The pass that a start runs must be underway within this many seconds, and a whole pass end.
PASS_DEADLINE = 60
# What a pass or the start's check logs when the index is hurt.
FAILURES = re.compile(r"failed to textindex|Text indexing stopped|Text index not written|Text index unfinished")


def unique_word(i):
    """A word of plain letters for document i, no other document's word, never a prefix of one."""
    letters = "bcdfghjklmnpqrstvwxz"
    digits = ""
    for _ in range(3):
        i, r = divmod(i, len(letters))
        digits += letters[r]
    return "zyq" + digits + "ox"


def message(i, words):
    body = " ".join(words)
    return ("From: Sender <%s>\r\nTo: <%s>\r\nSubject: field note %d\r\n\r\n"
            "Seen today: %s.\r\n" % (SENDER, RECIPIENT, i, body)).encode()


class TextIndexCrash(TestCase):
    def installation(self):
        server = support.Server(self.need_binary(), config={"SecurityOn": "Yes", "UserLevel": "1", "AdminLevel": "10"},
                                wait_ports=("smtp", "pop3", "http"))
        self.addCleanup(server.close)
        admin = Admin(self.need_binary(), server)
        company = admin("add-company", "Acme").strip()
        admin("add-domain", company, "acme.test")
        admin("add-account", "7", "Ann", ANN[1], str(LEVEL))
        admin("add-alias", "ann", company, "7")
        return server, admin

    def get(self, server, target):
        credentials = base64.b64encode(("%s:%s" % ANN).encode()).decode()
        answer = web.request(server, "GET", target, headers={"Authorization": "Basic " + credentials},
                             timeout=TIMEOUT)
        self.assertEqual(answer.status, 200, answer.text[:2000])
        return answer.text

    def page(self, server, word, offset=0):
        """(hits of one page, the caption's count) of a search for word."""
        page = self.get(server, "/searchfor?" + urllib.parse.urlencode({"text": word, "ls": str(offset)}))
        found = FOUND.search(page)
        self.assertIsNotNone(found, re.sub(r"(?s)<script.*?</script>|<style.*?</style>", "", page)[-3000:])
        return [int(n) for n in HIT.findall(page)], int(found.group(1))

    def search(self, server, word):
        """Every hit of a search, page after page, and the count the caption gives."""
        hits, offset = [], 0
        while True:
            found, count = self.page(server, word, offset)
            hits += found
            offset += ROWS_PER_PAGE
            if offset >= count:
                return hits, count

    def shared_count(self, server):
        return self.page(server, SHARED)[1]

    def send_all(self, server, mails):
        with smtplib.SMTP(server.address, server.ports["smtp"], timeout=TIMEOUT) as client:
            client.helo("client.test")
            for data in mails:
                refused = client.sendmail(SENDER, [RECIPIENT], data)
                self.assertEqual(refused, {})

    def test_kill_during_an_indexing_pass_loses_nothing_and_counts_each_document_once(self):
        rng = random.Random(20261211)
        server, admin = self.installation()
        server.start()
        words = {}
        for i in range(MESSAGES):
            words[i] = [unique_word(i), SHARED] + rng.sample(VOCABULARY, WORDS_PER_DOCUMENT)
        self.send_all(server, [message(i, words[i]) for i in range(MESSAGES)])
        server.wait_files("queue", lambda files: not files, timeout=60)
        # The start's pass found nothing; the next start runs one at once over the whole batch.
        server.kill()

        kills, seen = [], 0
        for share in KILL_AT:
            server.start()
            start = self.shared_count(server)
            self.assertGreaterEqual(start, seen, "hits of %r went down across a kill" % SHARED)
            target = start + max(1, int((MESSAGES - start) * share))
            # The pass is underway and has not ended: more hits than at the start, fewer than all.
            at = wait_for(lambda: (lambda n: n if n >= target else None)(self.shared_count(server)),
                          timeout=PASS_DEADLINE, interval=0.02)
            server.kill()
            self.assertIsNotNone(at, "the pass did not reach %d hits\n%s" % (target, server.diagnostics()))
            kills.append((start, at))
            seen = at
        print("kills (hits at the start, hits at the kill): %s" % kills, flush=True)
        self.assertTrue(any(start < at < MESSAGES - 1 for start, at in kills),
                        "no kill fell inside a pass (make the batch larger): %s" % kills)

        # The last start's pass runs to its end; it leaves one document for the next pass.
        server.start()
        self.assertGreaterEqual(self.shared_count(server), seen, "hits of %r went down across a kill" % SHARED)
        self.assertTrue(wait_for(lambda: self.shared_count(server) >= MESSAGES - 1, timeout=PASS_DEADLINE),
                        "the pass after the kills did not finish: %d hits\n%s"
                        % (self.shared_count(server), server.diagnostics()))
        server.stop()
        server.start()
        self.assertTrue(wait_for(lambda: self.shared_count(server) == MESSAGES, timeout=PASS_DEADLINE),
                        "not every document found by %r: %d\n%s"
                        % (SHARED, self.shared_count(server), server.diagnostics()))

        # Each document row: archived once, indexed, stamped with Ann's level.
        server.stop()
        rows = admin.rows("document.dat")
        self.assertEqual(len(rows), MESSAGES)
        number_of = {}
        for row in rows:
            self.assertEqual(row["indexed"], "true", row)
            self.assertEqual(row["level"], str(LEVEL), row)
            found = re.search(r"field note (\d+)", row["description"])
            self.assertIsNotNone(found, row)
            self.assertNotIn(int(found.group(1)), number_of, "archived twice: %s" % row)
            number_of[int(found.group(1))] = int(row["no"])
        self.assertEqual(sorted(number_of), list(range(MESSAGES)))
        self.assertEqual([t for t in server.texts() if FAILURES.search(t)], [])
        # (A search that met a row being rewritten used to fail with an exception.)
        self.assertEqual([line for line in server.log_lines() if line[0] in ("Panic", "Exception")], [])

        # Every word finds exactly the documents that hold it, each once.
        server.start()
        expected = {}
        for i, held in words.items():
            for word in held:
                expected.setdefault(word, set()).add(number_of[i])
        for word in sorted(expected):
            with self.subTest(word=word):
                hits, count = self.search(server, word)
                self.assertEqual(count, len(hits))
                self.assertEqual(len(hits), len(set(hits)), "a document found twice")
                self.assertEqual(sorted(hits), sorted(expected[word]))


if __name__ == "__main__":
    main()
