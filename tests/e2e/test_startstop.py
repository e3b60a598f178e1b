#!/usr/bin/env python3
"""Start and stop of the real program.

Each case copies the binary into a fresh folder (its program folder) and runs it with a free
port offset: headless (no terminal), checking the folders it creates, the log lines it writes
and how it answers SIGTERM, SIGINT and SIGHUP; and in a pseudo-terminal, driving the control
window with its keys.
"""
import argparse
import os
import pty
import select
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None

LINE = re.compile(
    r"(Panic|Exception|Error|Warning|ErrorText|Message) on "
    r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
    r"\d\d:\d\d:\d\d [+-]\d{4} : (.*)\r\n")
SUBSYSTEM_LINE = re.compile(r"^\[\w+ (listener )?(started|stopped)( on port \d+)?\]$")
STOP_LINES = ["tovenmarsh shuting down", "tovenmarsh stopped", "* * * * * * * * * * *"]


def free_offset():
    """An offset under which 25, 110 and 80 are all free on loopback."""
    for _ in range(200):
        offset = random.randrange(20000, 60000)
        try:
            for port in (25, 110, 80):
                with socket.socket() as s:
                    s.bind(("127.0.0.1", port + offset))
            return offset
        except OSError:
            continue
    raise RuntimeError("no free port offset")


def wait_for(predicate, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class Installation:
    """A fresh program folder holding a copy of the binary."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tovenmarsh_e2e_")
        self.binary = os.path.join(self.folder, "tovenmarsh")
        shutil.copy2(BINARY, self.binary)
        self.process = None

    def start(self, *args, tmpdir=None):
        env = dict(os.environ)
        env["TOVENMARSH_PORT_OFFSET"] = str(free_offset())
        env["TZ"] = "CET-1CEST,M3.5.0,M10.5.0/3"
        if tmpdir is not None:
            env["TMPDIR"] = tmpdir
        self.process = subprocess.Popen([self.binary, *args], cwd="/", env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return self.process

    def log_lines(self):
        path = os.path.join(self.folder, "tovenmarsh.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            data = f.read().decode("latin-1")
        lines = [(m.group(1), m.group(4)) for m in LINE.finditer(data)]
        # Nothing in the log but whole lines of the fixed form.
        assert LINE.sub("", data) == "", repr(LINE.sub("", data)[:200])
        return lines

    def texts(self):
        # The core's own lines: the daemons and listeners add "[... started/stopped ...]" lines.
        return [text for _, text in self.log_lines() if not SUBSYSTEM_LINE.match(text)]

    def wait_started(self, count=1):
        ok = wait_for(lambda: self.texts().count("tovenmarsh startet") >= count
                      or self.process.poll() is not None)
        return ok and self.process.poll() is None

    def close(self):
        if self.process:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class StartStop(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()

    def tearDown(self):
        self.inst.close()

    def stop_with(self, signo):
        self.inst.process.send_signal(signo)
        try:
            code = self.inst.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.fail("the server did not end after the signal")
        return code

    def test_start_creates_folders_and_logs_then_sigterm_stops_cleanly(self):
        self.inst.start()
        self.assertTrue(self.inst.wait_started(), self.inst.process.stderr.read() if self.inst.process.poll() else "")
        for name in ("db", "queue", "mail", "webroot", "document"):
            self.assertTrue(os.path.isdir(os.path.join(self.inst.folder, name)), name)
        # Never created: they are only computed.
        self.assertFalse(os.path.exists(os.path.join(self.inst.folder, "fileroot")))
        self.assertFalse(os.path.exists(os.path.join(self.inst.folder, "webroot", "template")))
        lines = self.inst.log_lines()
        self.assertEqual(lines[:1], [("Message", "tovenmarsh starting up")])
        self.assertIn(("Message", "tovenmarsh startet"), lines)
        self.assertTrue(self.inst.log_lines()[0][1] == "tovenmarsh starting up")
        with open(os.path.join(self.inst.folder, "tovenmarsh.log"), "rb") as f:
            first = f.readline().decode()
        # The local zone of TZ at this moment: +0100 in winter, +0200 in summer.
        self.assertRegex(first, r"^Message on \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d \+0[12]00 : "
                                r"tovenmarsh starting up\r\n$")

        self.assertEqual(self.stop_with(signal.SIGTERM), 0)
        texts = self.inst.texts()
        self.assertEqual(texts[-3:], STOP_LINES)
        self.assertLess(texts.index("tovenmarsh startet"), texts.index("tovenmarsh shuting down"))

    def test_temp_folder_beside_the_program_when_the_system_has_none(self):
        # A temporary folder name too long for the system's limit counts as none.
        self.inst.start(tmpdir="/" + "t" * 200)
        self.assertTrue(self.inst.wait_started())
        self.assertTrue(os.path.isdir(os.path.join(self.inst.folder, "temp")))
        self.assertEqual(self.stop_with(signal.SIGTERM), 0)

    def test_sigint_stops_like_sigterm(self):
        self.inst.start()
        self.assertTrue(self.inst.wait_started())
        self.assertEqual(self.stop_with(signal.SIGINT), 0)
        self.assertEqual(self.inst.texts()[-3:], STOP_LINES)

    def test_sighup_stops_and_starts_again_reopening_the_log(self):
        self.inst.start()
        self.assertTrue(self.inst.wait_started())
        # The log is reopened by the new start: a log moved away meanwhile is recreated.
        os.rename(os.path.join(self.inst.folder, "tovenmarsh.log"), os.path.join(self.inst.folder, "old.log"))
        self.inst.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: "tovenmarsh startet" in self.inst.texts()))
        with open(os.path.join(self.inst.folder, "old.log"), "rb") as f:
            old = f.read().decode()
        self.assertTrue(old.endswith("* * * * * * * * * * *\r\n"), old[-200:])
        self.assertEqual(self.inst.texts()[:2], ["tovenmarsh starting up", "tovenmarsh startet"])
        self.assertIsNone(self.inst.process.poll())
        self.assertEqual(self.stop_with(signal.SIGTERM), 0)

    def test_a_folder_that_cannot_be_created_is_a_panic(self):
        # A file where the document folder belongs: creating the folder fails.
        with open(os.path.join(self.inst.folder, "document"), "w") as f:
            f.write("in the way")
        self.inst.start()
        code = self.inst.process.wait(timeout=30)
        stderr = self.inst.process.stderr.read().decode()
        self.assertNotEqual(code, 0)
        folder = os.path.join(self.inst.folder, "document") + "/"
        self.assertIn("Could not create folder " + folder, stderr)
        self.assertIn(("Panic", "Could not create folder " + folder), self.inst.log_lines())
        # Folders before it in the order were created, the log was never told of a stop.
        self.assertTrue(os.path.isdir(os.path.join(self.inst.folder, "webroot")))
        self.assertNotIn("tovenmarsh stopped", self.inst.texts())

    def test_a_failed_start_can_be_tried_again(self):
        # A folder where the log belongs: the start fails, leaves nothing running and says so.
        log = os.path.join(self.inst.folder, "tovenmarsh.log")
        os.mkdir(log)
        self.inst.start()
        line = self.inst.process.stderr.readline().decode()
        self.assertIn("tovenmarsh [Error]: ", line)
        self.assertIsNone(self.inst.process.poll())
        os.rmdir(log)
        self.inst.process.send_signal(signal.SIGHUP)
        self.assertTrue(self.inst.wait_started())
        self.assertEqual(self.inst.texts(), ["tovenmarsh starting up", "tovenmarsh startet"])
        self.assertEqual(self.stop_with(signal.SIGTERM), 0)
        self.assertEqual(self.inst.texts()[-3:], STOP_LINES)

    def test_second_server_in_the_same_folder_does_not_share_the_log(self):
        self.inst.start()
        self.assertTrue(self.inst.wait_started())
        env = dict(os.environ, TOVENMARSH_PORT_OFFSET=str(free_offset()))
        with subprocess.Popen([self.inst.binary], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env) as second:
            # Its start fails at the log; it reports that and waits to be told what to do.
            line = second.stderr.readline().decode()
            second.send_signal(signal.SIGTERM)
            self.assertEqual(second.wait(timeout=30), 0)
        self.assertIn("tovenmarsh [Error]: ", line)
        self.assertIn("tovenmarsh.log", line)
        self.assertEqual(self.inst.texts().count("tovenmarsh starting up"), 1)
        self.assertEqual(self.stop_with(signal.SIGTERM), 0)


class TerminalWindow(unittest.TestCase):
    """The control window drawn in a terminal (a pseudo-terminal here) and driven by keys."""

    def setUp(self):
        self.inst = Installation()
        self.master, slave = pty.openpty()
        env = dict(os.environ, TOVENMARSH_PORT_OFFSET=str(free_offset()), TERM="xterm")
        self.process = subprocess.Popen([self.inst.binary], stdin=slave, stdout=slave, stderr=slave, env=env,
                                        close_fds=True)
        os.close(slave)
        self.screen = ""

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        self.inst.close()

    def wait_text(self, text, timeout=20.0):
        """Reads the terminal until text appears after what was read before."""
        start = len(self.screen)
        end = time.monotonic() + timeout
        while text not in self.screen[start:] and time.monotonic() < end:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                try:
                    self.screen += os.read(self.master, 65536).decode("latin-1")
                except OSError:
                    break
        return text in self.screen[start:]

    def test_keys_drive_the_toggle_and_exit_is_refused_while_running(self):
        self.assertTrue(self.wait_text("Server is running"), self.screen[-2000:])
        for text in ("[S] Start", "[T] Stop", "[X] Exit", "[H] Hide", "System information", "Relay tasks",
                     "POPMail tasks", "[N] >>"):
            self.assertIn(text, self.screen)
        # Once started, the version label shows the program's version, and the one-second
        # timer fills in the counters: at least the manager thread runs.
        self.assertTrue(self.wait_text("Server is running", timeout=3))
        frame = [f for f in self.screen.split("\x1b[2J") if "Server is running" in f][-1]
        self.assertNotIn("ma.mi.re.bu", frame)
        self.assertRegex(frame, r"\| \d+\.\d+(\.\d+)* +tovenmarsh \|")
        self.assertRegex(frame, r"Threads +[1-9]\d* +[1-9]\d*")
        os.write(self.master, b"x")
        self.assertTrue(self.wait_text("Stop server first to exit application"))
        os.write(self.master, b"n")
        self.assertTrue(self.wait_text("About tovenmarsh "))
        os.write(self.master, b"t")
        self.assertTrue(self.wait_text("Server is not running"))
        self.assertEqual(self.inst.texts()[-3:], STOP_LINES)
        os.write(self.master, b"s")
        self.assertTrue(self.wait_text("Server is running"))
        self.assertEqual(self.inst.texts()[-1], "tovenmarsh startet")
        os.write(self.master, b"t")
        self.assertTrue(self.wait_text("Server is not running"))
        os.write(self.master, b"x")
        self.assertEqual(self.process.wait(timeout=30), 0)
        # The terminal is handed back: cursor shown, normal screen.
        self.wait_text("\x1b[?1049l", timeout=2)
        self.assertTrue(self.screen.endswith("\x1b[0m\x1b[?25h\x1b[?1049l"), repr(self.screen[-40:]))

    def test_sigterm_stops_and_closes_the_terminal_window(self):
        self.assertTrue(self.wait_text("Server is running"))
        self.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.process.wait(timeout=30), 0)
        self.assertEqual(self.inst.texts()[-3:], STOP_LINES)


def main():
    global BINARY
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args, rest = parser.parse_known_args()
    BINARY = os.path.abspath(args.binary)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
