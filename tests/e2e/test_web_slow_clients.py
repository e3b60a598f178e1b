#!/usr/bin/env python3
"""Clients that trickle their requests cannot lock others out of the web server:
- ten clients on ten loopback addresses, each sending its request a byte at a time and
  connecting again whenever the server closes on it, hold every connection slot; a normal
  request is still answered (the connection that has waited longest makes room);
- ten such clients on one address are held to that address's share of the slots;
- a trickled request head is cut off within seconds, not minutes.
"""
import socket
import threading
import time

import support
from support.testing import TestCase, main

BOUND = 10.0  # seconds a normal request may take to be answered while the tricklers run


class Trickler(threading.Thread):
    """Sends a never-ending request head a byte every 0.3 s from source address `source`;
    connects again when the server closes. Records how long each connection lasted."""

    def __init__(self, port, source):
        super().__init__(daemon=True)
        self.port, self.source = port, source
        self.stopping = threading.Event()
        self.lifetimes = []
        self.connected = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            try:
                s = socket.socket()
                s.bind((self.source, 0))
                s.settimeout(5)
                s.connect(("127.0.0.1", self.port))
            except OSError:
                s.close()
                self.stopping.wait(0.2)
                continue
            self.connected.set()
            opened = time.monotonic()
            data = b"GET / HTTP/1.1\r\nX-Slow: " + b"a" * 100000
            try:
                for i in range(len(data)):
                    if self.stopping.is_set():
                        break
                    s.sendall(data[i:i + 1])
                    self.stopping.wait(0.3)
            except OSError:
                self.lifetimes.append(time.monotonic() - opened)
            finally:
                s.close()

    def stop(self):
        self.stopping.set()
        self.join(10)


def answered(port, timeout):
    """The status of a plain GET / from 127.0.0.1, or None when no answer came in time."""
    end = time.monotonic() + timeout
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
            data = b""
            while b"\r\n" not in data and time.monotonic() < end:
                s.settimeout(max(end - time.monotonic(), 0.1))
                part = s.recv(4096)
                if not part:
                    break
                data += part
    except OSError:
        return None
    return data.split(b" ")[1].decode() if data.startswith(b"HTTP/1.1 ") else None


class SlowClients(TestCase):
    def run_tricklers(self, server, sources):
        port = server.ports["http"]
        tricklers = [Trickler(port, source) for source in sources]
        for t in tricklers:
            t.start()
        self.addCleanup(lambda: [t.stop() for t in tricklers])
        for t in tricklers:
            self.assertTrue(t.connected.wait(10))
        return tricklers

    def test_normal_request_is_answered_while_clients_trickle(self):
        server = self.use(support.Server(self.binary, wait_ports=("http",)))
        port = server.ports["http"]
        cases = [
            ("ten addresses", ["127.0.0.%d" % (2 + i) for i in range(10)]),
            ("one address", ["127.0.0.2"] * 10),
        ]
        for name, sources in cases:
            with self.subTest(case=name):
                tricklers = self.run_tricklers(server, sources)
                time.sleep(3)  # every trickler has held its connection for a while
                for _ in range(3):
                    self.assertEqual(answered(port, BOUND), "200")
                for t in tricklers:
                    t.stop()

    def test_trickled_head_is_cut_off_in_seconds(self):
        server = self.use(support.Server(self.binary, wait_ports=("http",)))
        trickler = self.run_tricklers(server, ["127.0.0.2"])[0]
        deadline = time.monotonic() + 60
        while not trickler.lifetimes and time.monotonic() < deadline:
            time.sleep(0.5)
        trickler.stop()
        self.assertTrue(trickler.lifetimes, "the server never closed the trickling connection")
        self.assertLess(trickler.lifetimes[0], 30)


if __name__ == "__main__":
    main()
