"""Finding the peers' programs, starting and stopping the processes the harness runs, and
reading their memory."""
import atexit
import os
import shutil
import signal
import subprocess
import tempfile

from .net import HarnessError

# Programs some distributions keep outside a normal user's PATH.
EXTRA_PATHS = ["/usr/sbin", "/sbin", "/usr/local/sbin"]


def find_tool(name):
    path = shutil.which(name)
    if path:
        return path
    for folder in EXTRA_PATHS:
        candidate = os.path.join(folder, name)
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def require_tool(name):
    """The path of a peer program; a missing one is a failure, since scripts/setup.sh installs it."""
    path = find_tool(name)
    if path is None:
        raise HarnessError("%s is not installed: run scripts/setup.sh" % name)
    return path


def stop_process(process, timeout=10.0):
    """Ends a process the harness started (its own session): SIGTERM, a bounded wait, then
    SIGKILL to its process group, which holds only what it started itself. Never raises."""
    if process is None:
        return None
    if process.poll() is None:
        try:
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=timeout)
        except (subprocess.TimeoutExpired, OSError):
            pass
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pass
    if process.poll() is not None:
        _live.discard(process)  # kept until it has ended, so the exit hook still sees it
    return process.returncode

def process_tree(pid):
    """pid and its children (one level: a master and the daemons it started), if pid runs."""
    if pid is None or not os.path.exists("/proc/%d" % pid):
        return []
    pids = [pid]
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        pids.append(int(name))
            except (OSError, ValueError, IndexError):
                pass
    return pids


def memory_kb(pids):
    """(current, peak) resident memory summed over pids, in KiB (VmRSS, VmHWM). For a family of
    processes the peak is the sum of each live process's own peak."""
    rss = hwm = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        rss += int(line.split()[1])
                    elif line.startswith("VmHWM:"):
                        hwm += int(line.split()[1])
        except OSError:
            pass
    return rss, hwm


# Processes the harness started and has not stopped yet: stopped at interpreter exit too, so a
# test run that ends early (an uncaught error, SIGTERM through support.testing.main) leaves none.
_live = set()


def _die_with_parent():
    """In the child before exec: SIGTERM when the test process dies, even by SIGKILL (Linux).
    A program that changes its user afterwards (smtp-sink) loses this; the registry covers it."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def spawn(argv, **kwargs):
    """subprocess.Popen in a session of its own, registered for stopping at exit."""
    process = subprocess.Popen(argv, start_new_session=True, preexec_fn=_die_with_parent, **kwargs)
    _live.add(process)
    return process


def forget(process):
    _live.discard(process)


# Temporary folders of fixtures not closed yet: removed at exit too (unless kept for debugging).
_folders = set()


def temp_folder(prefix):
    """A new temporary folder (mode 0755: the peers' unprivileged processes must reach it)."""
    path = tempfile.mkdtemp(prefix=prefix)
    os.chmod(path, 0o755)
    _folders.add(path)
    return path


def remove_folder(path):
    """Removes a folder made by temp_folder, unless TOVENMARSH_E2E_KEEP=1 asks to keep it."""
    if not path:
        return
    _folders.discard(path)
    if os.environ.get("TOVENMARSH_E2E_KEEP", "") not in ("", "0"):
        print("kept: %s" % path)
    else:
        shutil.rmtree(path, ignore_errors=True)


@atexit.register
def _stop_leftovers():
    for process in list(_live):
        stop_process(process, timeout=5)
    for path in list(_folders):
        remove_folder(path)
