"""Lifecycle shared by the peer fixtures (smtp-sink, Dovecot, Postfix).

PeerFixture: a context manager around start/stop; a failed start and the end of the block both
stop the peer and remove its temporary folder. SpawnedPeer adds what the peers we run as one child
process share: starting on a leased loopback address, with another address when a foreign process
takes the port first, and stopping the process and releasing the lease together.
"""
from .net import lease_loopback_address, wait_port
from .tools import remove_folder, stop_process


class PeerFixture:
    """Subclasses define start() (answers self), stop() and log_path; folder_attribute names the
    attribute holding the peer's temporary folder (None until made)."""

    folder_attribute = "root"

    def log_tail(self, count=30):
        """The last count lines of the peer's log (self.log_path); "" when there is none yet."""
        try:
            with open(self.log_path, "rb") as f:
                return "".join(f.read().decode("latin-1").splitlines(True)[-count:])
        except (OSError, TypeError):  # TypeError: no folder yet
            return ""

    def close(self):
        self.stop()
        remove_folder(getattr(self, self.folder_attribute))

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False


class SpawnedPeer(PeerFixture):
    """Uses self.port and self.preferred (the wanted address); sets self.address, self.lease and
    self.process."""

    def _start_leased(self, launch, timeout):
        """Calls launch() (after self.address is set; answers the child process) until the port
        answers, on up to three addresses. Answers True once it does; False leaves nothing running."""
        for attempt in range(3):
            self.lease = lease_loopback_address(self.port, self.preferred)
            self.address = self.lease.address
            self.process = launch()
            if wait_port(self.address, self.port, timeout=timeout, process=self.process):
                return True
            stop_process(self.process)
            self.process = None
            self.lease.release()
        return False

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            self.process = None
        if self.lease is not None:
            self.lease.release()
            self.lease = None
