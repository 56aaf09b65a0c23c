"""The shared black-box driver: runs the real programs under Wine, finds and drives their windows
through the window helper, and serves the update document from 127.0.0.1.

The test command provides the environment: WINEPREFIX (one prefix per test run), DISPLAY (Xvfb),
the programs' paths and the addresses the program was built with.
"""
import glob
import http.server
import json
import os
import select
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

WINE = os.environ.get("OSTREL_WINE", "wine")
PROGRAM = os.environ.get("OSTREL_PROGRAM", "")
WINDOW_HELPER = os.environ.get("OSTREL_WINDOW_HELPER", "")
UPDATE_CHECK_URL = os.environ.get("OSTREL_UPDATE_CHECK_URL", "")
HOME_PAGE_URL = os.environ.get("OSTREL_HOME_PAGE_URL", "")
DOWNLOAD_PAGE_URL = os.environ.get("OSTREL_DOWNLOAD_PAGE_URL", "")

WM_DESTROY, WM_SIZE, WM_CLOSE, WM_COMMAND, WM_USER = 0x0002, 0x0005, 0x0010, 0x0111, 0x0400
WM_UPDATE_AVAILABLE = WM_USER + 1
SW_MAXIMIZE, SW_MINIMIZE, SW_RESTORE = 3, 6, 9
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


def windows_path(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True,
                          check=True).stdout.strip()


def user_folder(*parts):
    """A path in the Wine prefix's user profile."""
    users = [u for u in glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c/users/*"))
             if not u.endswith("/Public")]
    return os.path.join(users[0], *parts)


def install_folder():
    return user_folder("AppData", "Local", "Programs", "Ostrel Browser")


def uninstall():
    """Uninstalls silently, when installed. The uninstaller runs on from a copy of itself, so its
    end shows in what it removes."""
    folder = install_folder()
    if not os.path.exists(folder):
        return
    Program(os.path.join(folder, "Uninstall.exe"), "/S").exit_code(60)
    deadline = time.monotonic() + 30
    while os.path.exists(folder) and time.monotonic() < deadline:
        time.sleep(0.5)


class WindowHelper:
    """The window helper, one process per test, answering one command a line."""

    def __init__(self):
        self.process = subprocess.Popen([WINE, WINDOW_HELPER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def __call__(self, *words, timeout=30):
        self.process.stdin.write((" ".join(str(w) for w in words) + "\n").encode())
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise TimeoutError(f"window helper gave no answer to {words}")
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


class Program:
    """One run of a Windows program under Wine."""

    def __init__(self, path, *args, show=None, env=None, cwd=None):
        command = [WINE, path, *args]
        if show:  # start.exe passes the show command ("min", "max") to the program
            command = [WINE, "start", "/wait", f"/{show}", windows_path(path), *args]
        self.process = subprocess.Popen(command, env={**os.environ, **(env or {})}, cwd=cwd,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def exit_code(self, timeout=20):
        return self.process.wait(timeout)

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()


class UpdateServer:
    """The update endpoint on 127.0.0.1 at the port the program was built with.

    Each request is recorded; `behaviour` says how to answer: "document" (status and body),
    "silent" (never answer), "cut" (promise more than is sent, then close), "endless" (stream
    until the client goes away, bounded in size and time; `done` is set then).
    """

    def __init__(self, body=b"", status=200, behaviour="document", chunks=None):
        self.body, self.status, self.behaviour, self.chunks = body, status, behaviour, chunks
        self.requests = []
        self.streamed = 0
        self.release, self.done = threading.Event(), threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                # The request line as sent: self.path has leading slashes collapsed.
                path = self.requestline.split(" ")[1]
                server.requests.append({"path": path, "headers": dict(self.headers)})
                getattr(server, "_answer_" + server.behaviour)(self)

        address = urllib.parse.urlsplit(UPDATE_CHECK_URL)
        assert address.hostname == "127.0.0.1", "tests reach only 127.0.0.1"
        try:
            self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", address.port), Handler)
        except OSError as error:
            raise RuntimeError(
                f"The tests' update endpoint needs 127.0.0.1:{address.port}, which another program "
                f"holds ({error.strerror}): stop it and run the tests again.") from None
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def _answer_document(self, handler):
        handler.send_response(self.status)
        handler.send_header("Content-Type", "application/json; charset=utf-8")
        handler.send_header("Content-Length", str(len(self.body)))
        handler.send_header("Connection", "close")
        handler.end_headers()
        handler.close_connection = True
        for piece in self.chunks or [self.body]:
            handler.wfile.write(piece)
            handler.wfile.flush()
            time.sleep(0.05 if self.chunks else 0)

    def _answer_silent(self, handler):
        self.release.wait(120)

    def _answer_cut(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(len(self.body) * 4))
        handler.end_headers()
        handler.wfile.write(self.body)
        handler.wfile.flush()
        handler.connection.shutdown(socket.SHUT_RDWR)

    def _answer_endless(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "application/json")
        handler.end_headers()  # no length: the body runs until the connection closes
        piece = self.body or b'{"needUpdate":true,"title":"' + b"x" * 65536
        deadline = time.monotonic() + 60
        try:
            while self.streamed < 256 << 20 and time.monotonic() < deadline:
                handler.wfile.write(piece)
                self.streamed += len(piece)
        except OSError:
            pass
        self.done.set()

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


class ProgramTestCase(unittest.TestCase):
    """Starts programs and the window helper, and leaves nothing running after a test."""

    def setUp(self):
        self.helper = WindowHelper()
        self.addCleanup(self.helper.close)

    def start(self, path=None, *args, **kwargs):
        program = Program(path or PROGRAM, *args, **kwargs)
        self.addCleanup(program.kill)
        return program

    def serve(self, *args, **kwargs):
        server = UpdateServer(*args, **kwargs)
        self.addCleanup(server.close)
        return server

    def log_file(self):
        """An empty file for a program to log to, removed after the test."""
        handle, path = tempfile.mkstemp(suffix=".log")
        os.close(handle)
        self.addCleanup(os.remove, path)
        return path

    def main_window(self, timeout_ms=20000):
        window = self.helper("find", timeout_ms)
        self.assertNotIn("error", window, "the main window did not appear")
        return window

    def prompt(self, timeout_ms=30000):
        box = self.helper("msgbox", timeout_ms)
        self.assertNotIn("error", box, "no message box appeared")
        return box

    def assertNoPrompt(self, timeout_ms=1500):
        self.assertIn("error", self.helper("msgbox", timeout_ms))

    def assertExitsWith(self, program, code=0, timeout=20):
        self.assertEqual(program.exit_code(timeout), code)

    def close(self, program, window="main"):
        self.helper("post", window, WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)
