#!/usr/bin/env python3
"""A client that is not on loopback: a network namespace joined to this machine by a veth pair.
- the fixture: a listener on this machine answers the namespace's client at the host end, sees
  the namespace's address as the source, and the namespace and its pair are gone afterwards;
- the server with security off keeps its administration and search to clients on this host:
  the namespace's client gets 403 (with the text that says how to open it) where a loopback
  client gets the page.
"""
import socket
import subprocess
import threading

import support
from support.testing import TestCase, main
from support.tools import find_tool

# Connects to argv[1]:argv[2], sends argv[3], prints what comes back (bounded).
CLIENT = r"""
import socket, sys
with socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=10) as s:
    s.sendall(sys.argv[3].encode("latin-1"))
    data = b""
    while True:
        part = s.recv(65536)
        if not part:
            break
        data += part
sys.stdout.write(data.decode("latin-1"))
"""


def namespaces():
    done = subprocess.run([find_tool("ip") or "ip", "netns", "list"], capture_output=True)
    return [line.split()[0] for line in done.stdout.decode().splitlines() if line.split()]


def links():
    done = subprocess.run([find_tool("ip") or "ip", "-o", "link", "show"], capture_output=True)
    return done.stdout.decode()


class Namespace(TestCase):
    def test_client_in_namespace_reaches_host_end_and_everything_is_removed(self):
        ns = support.NetNamespace()
        with ns:
            self.assertIn(ns.name, namespaces())
            with socket.socket() as listener:
                listener.bind((ns.host_address, 0))
                listener.listen(1)
                port = listener.getsockname()[1]
                seen = {}

                def serve():
                    listener.settimeout(15)
                    connection, peer = listener.accept()
                    with connection:
                        seen["peer"] = peer[0]
                        seen["data"] = connection.recv(100)
                        connection.sendall(b"pong")
                worker = threading.Thread(target=serve)
                worker.start()
                done = ns.python(CLIENT, ns.host_address, port, "ping", timeout=20)
                worker.join(20)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout, b"pong")
            self.assertEqual(seen, {"peer": ns.client_address, "data": b"ping"})
            # Only the pair's /30 is routed inside: loopback of this machine is not the namespace's.
            inner = ns.run(["ip", "-o", "-4", "route", "show"]).stdout.decode()
            self.assertNotIn("default", inner)
        self.assertNotIn(ns.name, namespaces())
        self.assertNotIn(ns.host_link, links())


class SecurityOff(TestCase):
    def test_admin_answers_403_to_network_client_and_200_on_loopback(self):
        server = self.use(support.Server(self.binary, wait_ports=("http",)))
        ns = self.use(support.NetNamespace())
        port = server.ports["http"]
        for target in ("/admin/mail/companies?action=10", "/admin/mail/companies?action=12&do=R&key=1",
                       "/admin/system/config?action=101&steps=102", "/search"):
            with self.subTest(target=target):
                request = "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n" % (target, ns.host_address)
                done = ns.python(CLIENT, ns.host_address, port, request, timeout=20)
                self.assertEqual(done.returncode, 0, done.stderr)
                answer = done.stdout.decode("latin-1")
                self.assertTrue(answer.startswith("HTTP/1.") and answer.split()[1] == "403", answer[:300])
                self.assertIn("Security is off", answer)
                self.assertNotIn("Set-Cookie", answer)
                with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                    s.sendall(request.replace(ns.host_address, "127.0.0.1").encode())
                    local = b""
                    while part := s.recv(65536):
                        local += part
                self.assertEqual(local.split()[1], b"200", local[:300])


if __name__ == "__main__":
    main()
