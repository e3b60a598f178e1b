"""End-to-end harness: our server in a fresh program folder, and the peers it talks to
(Postfix's smtp-sink, a private Dovecot POP3 instance), plus client helpers. Standard library only;
every address is on loopback or in a network namespace made here, and every process started
here is stopped here."""
from .net import HarnessError, PeerUnavailable, free_offset, free_port, port_open, wait_for, wait_port
from .server import Server
from .smtp_sink import SmtpSink
from .dovecot import Dovecot
from .postfix import PostfixServer
from .netns import NetNamespace
from . import clients, testing
