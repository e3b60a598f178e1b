"""A network namespace joined to this machine by a veth pair: a client that is not on loopback,
for what the server does with connections from the network.

    with NetNamespace() as ns:
        ns.host_address     # this end (10.251.x.y), where the server answers
        ns.client_address   # the namespace's end, the client's source address
        done = ns.python("import socket; ...", timeout=10)   # subprocess.CompletedProcess

Both ends take addresses from one private /30 and nothing else is routed, so the namespace
reaches this machine only, and only through the pair. The namespace and the pair are removed at
the end, also when the test fails; exit hooks remove what is left when the run ends early, and a
later start removes those of runs that were killed outright (the names carry the creator's pid).
Needs root and `ip` (iproute2); without them it raises PeerUnavailable.
"""
import atexit
import os
import random
import subprocess
import sys

from .net import HarnessError, PeerUnavailable
from .peer import PeerFixture
from .tools import find_tool

PREFIX = "tovenmarsh_e2e_"
SUBNET = "10.251"

# Namespaces made by this process and not removed yet.
_live = set()


def _ip(*args, check=True, timeout=20):
    done = subprocess.run([find_tool("ip"), *args], capture_output=True, timeout=timeout)
    if check and done.returncode != 0:
        raise HarnessError("ip %s: exit %d: %s" % (" ".join(args), done.returncode,
                                                   done.stderr.decode("latin-1").strip()))
    return done


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _remove_stale():
    """Removes namespaces left by test runs whose process no longer exists (killed by SIGKILL);
    their veth pairs go with them."""
    for line in _ip("netns", "list", check=False).stdout.decode("latin-1").splitlines():
        name = line.split()[0] if line.split() else ""
        if not name.startswith(PREFIX):
            continue
        try:
            pid = int(name[len(PREFIX):].split("_")[0])
        except ValueError:
            continue
        if not _pid_alive(pid):
            _ip("netns", "del", name, check=False)


def _addresses_in_use():
    text = _ip("-o", "-4", "addr", "show", check=False).stdout.decode("latin-1")
    return {word.split("/")[0] for word in text.split() if word.startswith(SUBNET + ".")}


class NetNamespace(PeerFixture):
    folder_attribute = "no_folder"
    no_folder = None
    log_path = None

    def __init__(self):
        token = "%06x" % random.randrange(1 << 24)
        self.name = "%s%d_%s" % (PREFIX, os.getpid(), token)
        self.host_link = "tvh" + token      # interface names hold at most 15 bytes
        self.inner_link = "tvn" + token
        self.host_address = self.client_address = None
        self.made = False

    def start(self):
        if os.geteuid() != 0:
            raise PeerUnavailable("a network namespace needs root")
        if find_tool("ip") is None:
            raise PeerUnavailable("`ip` (iproute2) is not installed")
        _remove_stale()
        probe = _ip("netns", "add", self.name, check=False)
        if probe.returncode != 0:
            raise PeerUnavailable("cannot make a network namespace here: %s"
                                  % probe.stderr.decode("latin-1").strip())
        self.made = True
        _live.add(self)
        used = _addresses_in_use()
        for _ in range(100):
            base = "%s.%d.%d" % (SUBNET, random.randrange(256), 4 * random.randrange(64))
            stem, last = base.rsplit(".", 1)
            host, client = "%s.%d" % (stem, int(last) + 1), "%s.%d" % (stem, int(last) + 2)
            if host not in used and client not in used:
                break
        else:
            raise HarnessError("no free /30 in %s.0.0/16" % SUBNET)
        self.host_address, self.client_address = host, client
        # A container may let us make the namespace but not a veth pair (no module, no
        # CAP_NET_ADMIN outside it): that machine cannot host the test, which is not its fault.
        pair = _ip("link", "add", self.host_link, "type", "veth", "peer", "name", self.inner_link,
                   "netns", self.name, check=False)
        if pair.returncode != 0:
            self.stop()
            raise PeerUnavailable("cannot make a veth pair here: %s"
                                  % pair.stderr.decode("latin-1").strip())
        _ip("addr", "add", host + "/30", "dev", self.host_link)
        _ip("link", "set", self.host_link, "up")
        _ip("-n", self.name, "addr", "add", client + "/30", "dev", self.inner_link)
        _ip("-n", self.name, "link", "set", self.inner_link, "up")
        _ip("-n", self.name, "link", "set", "lo", "up")
        return self

    def run(self, argv, timeout=30, **kwargs):
        """Runs argv inside the namespace; answers the CompletedProcess (output captured)."""
        if not self.made:
            raise HarnessError("namespace not started")
        return subprocess.run([find_tool("ip"), "netns", "exec", self.name, *argv],
                              capture_output=True, timeout=timeout, **kwargs)

    def python(self, code, *args, timeout=30):
        """Runs Python code inside the namespace (sys.argv[1:] = args)."""
        return self.run([sys.executable, "-c", code, *map(str, args)], timeout=timeout)

    def stop(self):
        if not self.made:
            return
        # Deleting one end removes the pair; deleting the namespace ends what it still holds.
        _ip("link", "del", self.host_link, check=False)
        _ip("netns", "del", self.name, check=False)
        self.made = False
        _live.discard(self)


@atexit.register
def _remove_leftovers():
    for ns in list(_live):
        ns.stop()
