"""Loopback addresses and ports, bounded waits, and the harness's own errors."""
import fcntl
import os
import random
import socket
import tempfile
import time
import unittest


class HarnessError(AssertionError):
    """A fixture could not do its job (a peer did not start, a port never opened, a stop failed).

    Derives from AssertionError so that unittest reports it as a test failure, not an error of
    the test code.
    """


class PeerUnavailable(unittest.SkipTest):
    """A peer cannot run on this machine for a reason outside the project (no such loopback
    address, no privilege to bind a low port, the port held by a system daemon). unittest reports
    it as a skip wherever it is raised (setUp, a test, a subTest), and support.testing.main prints
    every skip; a missing package is not such a reason (scripts/setup.sh installs it)."""


def wait_for(predicate, timeout=20.0, interval=0.05):
    """Polls predicate until it is true or timeout seconds have passed; answers its last value."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def can_bind(address, port):
    """True when a TCP listener could be bound on address:port right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        # As the servers themselves bind: connections of an earlier user in TIME_WAIT do not count.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((address, port))
        except OSError:
            return False
    return True


def port_open(address, port, timeout=1.0):
    """True when a TCP connection to address:port is accepted."""
    try:
        with socket.create_connection((address, port), timeout=timeout):
            return True
    except OSError:
        return False


def wait_port(address, port, timeout=20.0, process=None):
    """Waits until address:port accepts connections; stops early when process has ended."""
    def ready():
        if process is not None and process.poll() is not None:
            return "ended"
        return port_open(address, port, timeout=0.5) and "open"
    return wait_for(ready, timeout, interval=0.1) == "open"


def free_port(address="127.0.0.1"):
    """A port that is free on address now (the system's choice)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def ephemeral_low():
    """The first port of the range the system hands out to outgoing connections."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_offset(base_ports=(25, 110, 80), address="127.0.0.1", tries=200):
    """A port offset N under which every base port + N is free on address.

    The ports stay below the system's ephemeral range, so that no client connection made
    meanwhile (by this test or a parallel one) can take one before the server binds it."""
    low = ephemeral_low()
    for _ in range(tries):
        offset = random.randrange(10000, low - max(base_ports))
        if all(can_bind(address, port + offset) for port in base_ports):
            return offset
    raise HarnessError("no free port offset for %s on %s" % (base_ports, address))


class AddressLease:
    """An address:port that this process holds for one peer: an exclusive lock on a file named for
    it, which the system drops when the holder ends, however it ends. Peers such as smtp-sink bind
    with SO_REUSEPORT, so two of them on one address:port would both start and share the mail;
    the lease keeps concurrent test runs apart."""

    FOLDER = os.path.join(tempfile.gettempdir(), "tovenmarsh_e2e_leases")

    def __init__(self, address, port):
        self.address, self.port = address, port
        os.makedirs(self.FOLDER, exist_ok=True)
        try:
            os.chmod(self.FOLDER, 0o1777)
        except OSError:
            pass
        path = os.path.join(self.FOLDER, "%s_%d" % (address, port))
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(self.fd)
            self.fd = None

    @property
    def held(self):
        return self.fd is not None

    def release(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def lease_loopback_address(port, preferred):
    """An AddressLease on a loopback address where port is free and no other test holds it,
    preferring `preferred` (for example 127.0.0.2). A fixed port (25 for the relay, 110 for
    collection) can be in use on the preferred address by a test running at the same time; another
    address of 127.0.0.0/8 does as well."""
    if port < 1024 and os.geteuid() != 0:
        raise PeerUnavailable("binding port %d on loopback needs root" % port)
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind((preferred, 0))
    except OSError as e:
        raise PeerUnavailable("loopback address %s cannot be bound here: %s" % (preferred, e))
    base = preferred.rsplit(".", 1)[0]
    others = ["%s.%d" % (base, n) for n in range(10, 250)]
    random.shuffle(others)
    for address in [preferred] + others[:80]:
        lease = AddressLease(address, port)
        if lease.held and can_bind(address, port):
            return lease
        lease.release()
    raise PeerUnavailable("port %d is taken on every loopback address tried (a system daemon "
                          "listening on all addresses?)" % port)
