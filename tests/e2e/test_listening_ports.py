#!/usr/bin/env python3
"""Where the server can be reached, and what to do when its ports are taken:
- a headless start prints the ports it listens on (with TOVENMARSH_PORT_OFFSET added), on all
  addresses, and each answers;
- a second instance on the same ports fails to start, says the port is taken and suggests
  TOVENMARSH_PORT_OFFSET, both on standard error and in its log, and the first keeps serving;
  with another offset the second one runs beside it.
"""
import os
import re
import subprocess

import support
from support.testing import TestCase, main


class ListeningPorts(TestCase):
    def test_start_prints_ports_and_a_taken_port_suggests_an_offset(self):
        first = self.use(support.Server(self.binary, wait_ports=("smtp", "pop3", "http")))
        out = first.stdout_path
        self.assertTrue(support.wait_for(lambda: os.path.getsize(out) > 0, 10))
        with open(out) as f:
            printed = f.read()
        expected = "tovenmarsh listening on all addresses: SMTP %d, POP3 %d, HTTP %d\n" % (
            first.ports["smtp"], first.ports["pop3"], first.ports["http"])
        self.assertEqual(printed, expected)
        for port in first.ports.values():
            self.assertTrue(support.port_open("127.0.0.1", port))

        second = support.Server(self.binary)
        self.addCleanup(second.close)
        env = dict(os.environ, TOVENMARSH_PORT_OFFSET=str(first.offset))
        done = subprocess.run([second.binary], cwd="/", env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)
        self.assertNotEqual(done.returncode, 0)
        stderr = done.stderr.decode("latin-1")
        taken = re.search(r"Another server active on port\((\d+)\): Address already in use", stderr)
        self.assertTrue(taken, stderr)
        self.assertIn(int(taken.group(1)), first.ports.values())
        self.assertIn("set TOVENMARSH_PORT_OFFSET=N", stderr)
        self.assertTrue(any(level == "Panic" and "TOVENMARSH_PORT_OFFSET" in text
                            for level, text in second.log_lines()), second.log_text())
        self.assertEqual(first.open_ports(), ["http", "pop3", "smtp"])
        with second:
            self.assertEqual(second.open_ports(), ["http", "pop3", "smtp"])
            self.assertNotEqual(second.offset, first.offset)


if __name__ == "__main__":
    main()
