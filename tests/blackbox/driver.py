"""The shared black-box driver: runs the real programs under Wine, finds and drives their windows
through the window helper, and serves the update document from 127.0.0.1.

The test command provides the environment: WINEPREFIX (one prefix per test run), DISPLAY (Xvfb),
the programs' paths and the addresses the program was built with.
"""
import base64
import contextlib
import glob
import hashlib
import http.server
import json
import os
import pathlib
import re
import select
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import unittest.mock
import urllib.parse

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE = os.environ.get("OSTREL_WINE", "wine")
PROGRAM = os.environ.get("OSTREL_PROGRAM", "")
UPDATE_CHECK_URL = os.environ.get("OSTREL_UPDATE_CHECK_URL", "")
UPDATE_PORT = urllib.parse.urlsplit(UPDATE_CHECK_URL).port
# The test copy of the program built with an https update address on localhost.
PROGRAM_OVER_TLS = os.environ.get("OSTREL_PROGRAM_OVER_TLS", "")
TLS_PORT = urllib.parse.urlsplit(os.environ.get("OSTREL_TLS_UPDATE_CHECK_URL", "")).port
HOME_PAGE_URL = os.environ.get("OSTREL_HOME_PAGE_URL", "")
DOWNLOAD_PAGE_URL = os.environ.get("OSTREL_DOWNLOAD_PAGE_URL", "")

MAIN_WINDOW, DIALOG = "OSTREL_WINDOW_CLASS", "#32770"  # window classes
WM_DESTROY, WM_MOVE, WM_SIZE, WM_SETFOCUS = 0x0002, 0x0003, 0x0005, 0x0007
WM_CLOSE, WM_COMMAND, WM_SYSCOMMAND = 0x0010, 0x0111, 0x0112
WM_UPDATE_AVAILABLE = 0x0400 + 1
SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE = 0xF020, 0xF030, 0xF120
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


def wait_until(condition, timeout=20):
    """Polls `condition` until it holds; returns whether it did in time."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


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


def uninstall(folder=None):
    """Uninstalls silently, when installed. The uninstaller runs on from a copy of itself, so its
    end shows in what it removes."""
    folder = folder or install_folder()
    if os.path.exists(folder):
        Program(os.path.join(folder, "Uninstall.exe"), "/S").exit_code(60)
        wait_until(lambda: not os.path.exists(folder), 30)


class Program:
    """One run of a Windows program under Wine."""

    def __init__(self, path, *args, show=None, env=None, pipe=False):
        command = [WINE, path, *args]
        if show == "hide":  # as a launcher or a task may start it; start.exe cannot
            command = [WINE, os.environ.get("OSTREL_HIDDEN_START", ""), windows_path(path)]
        elif show:  # start.exe passes the show command ("min", "max") to the program
            command = [WINE, "start", "/wait", f"/{show}", windows_path(path), *args]
        pipe = subprocess.PIPE if pipe else subprocess.DEVNULL
        self.process = subprocess.Popen(command, env={**os.environ, **(env or {})}, stdin=pipe,
                                        stdout=pipe, stderr=subprocess.DEVNULL)

    def exit_code(self, timeout=20):
        return self.process.wait(timeout)

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()
        for stream in filter(None, (self.process.stdin, self.process.stdout)):
            stream.close()


class WindowHelper(Program):
    """The window helper, one process per test, answering one command a line."""

    def __init__(self):
        super().__init__(os.environ.get("OSTREL_WINDOW_HELPER", ""), pipe=True)

    def __call__(self, *words, timeout=30):
        self.process.stdin.write((" ".join(str(w) for w in words) + "\n").encode())
        self.process.stdin.flush()
        if not select.select([self.process.stdout], [], [], timeout)[0]:
            raise TimeoutError(f"window helper gave no answer to {words}")
        return json.loads(self.process.stdout.readline())


def openssl(*args, stdin=None):
    return subprocess.run(["openssl", *args], input=stdin, check=True, capture_output=True).stdout


def sign_answer(document, key):
    """The answer `document` (bytes, holding "signature": "") signed as tools/sign-update.sh
    signs, with the P-256 private key in the PEM file `key`: r and s of the DER signature that
    openssl makes, 32 bytes each, in base64."""
    der = openssl("dgst", "-sha256", "-sign", key, stdin=document)
    r, s = der[4:4 + der[3]], der[6 + der[3]:]
    raw = b"".join(int.from_bytes(n, "big").to_bytes(32, "big") for n in (r, s))
    return document.replace(b'"signature": ""', b'"signature": "%s"' % base64.b64encode(raw), 1)


class Authority:
    """A throw-away certificate authority, made with openssl in `folder` at run time."""

    def __init__(self, folder, name="Ostrel-Test-Authority"):
        self.base = f"{folder}/{name}"
        self.certificate, self.key = f"{self.base}.pem", f"{self.base}.key"
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                f"/CN={name}", "-keyout", self.key, "-out", self.certificate)

    def issue(self, host="localhost", days=2):
        """A certificate and its key for `host`, valid from now for `days` (negative: expired)."""
        certificate, key = f"{self.base}-{host}{days}.pem", f"{self.base}-{host}{days}.key"
        request = openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={host}",
                          "-addext", f"subjectAltName=DNS:{host}", "-keyout", key)
        openssl("x509", "-req", "-CA", self.certificate, "-CAkey", self.key, "-days", str(days),
                "-copy_extensions", "copy", "-out", certificate, stdin=request)
        return certificate, key

    def trust_in_wine_prefix(self):
        """Adds the authority to the machine's root store of the test's Wine prefix, as Windows
        keeps it: a registry key named by its SHA-1 thumbprint, holding the certificate as a
        serialised store element (CERT_CERT_PROP_ID, 1, its length, its bytes). `wine certutil`
        is a stub."""
        der = openssl("x509", "-in", self.certificate, "-outform", "DER")
        blob = struct.pack("<III", 32, 1, len(der)) + der
        store = r"HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates"
        with open(f"{self.base}.reg", "w") as file:
            file.write(f'REGEDIT4\n\n[{store}\\{hashlib.sha1(der).hexdigest().upper()}]\n'
                       f'"Blob"=hex:{blob.hex(",")}\n')
        subprocess.run([WINE, "regedit", "/S", windows_path(f"{self.base}.reg")], check=True)


class UpdateServer(http.server.ThreadingHTTPServer):
    """The update endpoint on 127.0.0.1 at the port the program was built with, or at `port`,
    over TLS with a (certificate, key) given. Each connection is counted and each request
    recorded. `behaviour` is "document" (the status, `headers` and the body, in pieces, under a
    Content-Length of `length` when given), "redirect" (to the body's address), "silent" (no
    answer) or "endless" (a body streamed until the client goes away, bounded in size and time;
    `done` is set then)."""

    daemon_threads = True

    def __init__(self, body=b"", status=200, behaviour="document", length=None, port=UPDATE_PORT,
                 certificate=None, headers=None):
        self.body, self.status, self.behaviour, self.length = body, status, behaviour, length
        self.headers = headers or {}
        self.requests, self.streamed, self.connections = [], 0, 0
        self.release, self.done = threading.Event(), threading.Event()
        try:
            super().__init__(("127.0.0.1", port), UpdateHandler)
        except OSError as error:
            raise port_held(port, error.strerror) from None
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def get_request(self):
        self.connections += 1  # over TLS, one the client may leave for the certificate
        return super().get_request()

    def close(self):
        self.release.set()
        self.shutdown()
        self.server_close()


def publisher_config(name, yours):
    """server/`name` with the lines marked "yours" set: `yours` maps each directive's name to its
    values, in the order the lines stand."""
    yours = {directive: list(values) for directive, values in yours.items()}
    return re.sub(r"^( *)(\w+) [^;\n]*;(?=.*# yours)",
                  lambda line: f"{line[1]}{line[2]} {yours[line[2]].pop(0)};",
                  pathlib.Path(ROOT, "server", name).read_text(), flags=re.M)


def start_nginx(run, server, port):
    """Debian's nginx as the test's own process, every file of it in the folder `run`, serving the
    server block `server`; returns once it answers at 127.0.0.1:`port`."""
    here = pathlib.Path(ROOT, "tests", "server")
    for source in (here / "nginx-main.conf", "/etc/nginx/fastcgi_params"):
        shutil.copy(source, run)
    pathlib.Path(run, "server.conf").write_text(server)
    nginx = subprocess.Popen(["nginx", "-p", run, "-c", "nginx-main.conf", "-e", "error.log"],
                             stderr=subprocess.DEVNULL)
    wait_until(lambda: nginx.poll() is not None or listening(port), 10)
    if nginx.poll() is not None:
        raise port_held(port, "nginx could not listen")
    return nginx


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 1):
        return True
    return False


class ObjectStore:
    """An S3-compatible object store, s3rver (installed by tools/setup.sh), on 127.0.0.1 at a
    port of its own with one bucket, and Debian's aws command for it."""

    S3RVER = os.path.join(os.environ.get("OSTREL_BUILD_DIR", os.path.join(ROOT, "build")), "node",
                          "node_modules", ".bin", "s3rver")
    # s3rver's own credentials; Debian's aws, whatever else is on the PATH.
    ENVIRONMENT = dict(AWS_ACCESS_KEY_ID="S3RVER", AWS_SECRET_ACCESS_KEY="S3RVER",
                       AWS_DEFAULT_REGION="us-east-1", AWS_CONFIG_FILE=os.devnull,
                       AWS_SHARED_CREDENTIALS_FILE=os.devnull,
                       PATH="/usr/bin:" + os.environ.get("PATH", ""))

    def __init__(self, bucket="ostrel"):
        self.folder, self.bucket, port = tempfile.mkdtemp(), bucket, free_port()
        self.process = subprocess.Popen([self.S3RVER, "--silent", "-d", self.folder, "-a",
                                         "127.0.0.1", "-p", str(port), "--configure-bucket", bucket])
        self.url = f"http://127.0.0.1:{port}"
        if not wait_until(lambda: listening(port), 10):
            self.close()
            raise port_held(port, "s3rver did not listen (tools/setup.sh installs it)")

    def aws(self, *words):
        """Runs the aws command with this store's endpoint; returns what it printed."""
        return subprocess.run(["aws", *words, "--endpoint-url", self.url], check=True, text=True,
                              capture_output=True, env={**os.environ, **self.ENVIRONMENT}).stdout

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.folder)


def port_held(port, reason):
    return RuntimeError(f"The tests' update endpoint needs 127.0.0.1:{port}, which another program "
                        f"holds ({reason}): stop it and run the tests again.")


class ReferenceEndpoint:
    """The reference endpoint, server/update.php, on php's built-in server at 127.0.0.1:`port`,
    answering from the description given (none: no description file)."""

    def __init__(self, description=None, port=UPDATE_PORT):
        self.folder, self.port = tempfile.mkdtemp(), port
        shutil.copy(os.path.join(ROOT, "server", "update.php"), self.folder)
        if description is not None:
            with open(os.path.join(self.folder, "update.json"), "w") as file:
                json.dump(description, file, ensure_ascii=False)
        self.process = self.start()
        # A server ends at once when the port is taken: a listener found while it runs is ours.
        wait_until(lambda: self.process.poll() is not None or self.ready(), 10)
        if self.process.poll() is not None:
            self.close()
            raise port_held(port, "the endpoint's server could not listen")

    def start(self):
        """Starts the web server, and returns its process."""
        return subprocess.Popen(["php", "-S", f"127.0.0.1:{self.port}", "-t", self.folder],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def ready(self):
        return listening(self.port)

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.folder)


class UpdateHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        # The request line as sent: self.path has leading slashes collapsed.
        self.server.requests.append((self.requestline.split(" ")[1], dict(self.headers)))
        getattr(self, self.server.behaviour)(self.server)

    def document(self, server):
        self.send_response(server.status)
        self.send_header("Content-Length", str(server.length or len(server.body)))
        for name, value in server.headers.items():
            self.send_header(name, value)
        self.end_headers()
        for at in range(0, len(server.body), 4000):  # more than one read for longer bodies
            self.wfile.write(server.body[at:at + 4000])
            self.wfile.flush()
            time.sleep(0.05)

    def redirect(self, server):
        self.send_response(302)
        self.send_header("Location", server.body.decode())
        self.end_headers()

    def silent(self, server):
        server.release.wait(120)

    def endless(self, server):
        self.send_response(200)
        self.end_headers()  # no length: the body runs until the connection closes
        piece = b'{"needUpdate":true,"title":"' + b"x" * 65536
        deadline = time.monotonic() + 60
        try:
            while server.streamed < 256 << 20 and time.monotonic() < deadline:
                self.wfile.write(piece)
                server.streamed += len(piece)
        except OSError:
            pass
        server.done.set()


class ProgramTestCase(unittest.TestCase):
    """Starts programs and the window helper, and leaves nothing running after a test."""

    def setUp(self):
        self.helper = WindowHelper()
        self.addCleanup(self.helper.kill)

    @contextlib.contextmanager
    def case(self, **params):
        """One case of a table, as a subtest: what it started ends before the next begins."""
        with self.subTest(**params):
            try:
                yield
            finally:
                self.doCleanups()
                self.setUp()

    @contextlib.contextmanager
    def screen(self, width, height):
        """Runs what the test starts inside on an Xvfb screen of that size, in a Wine prefix of its
        own: a prefix's desktop keeps the screen it first started on. Ends with the test's case."""
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", f"{width}x{height}x24"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(xvfb.kill)
        display = ":" + xvfb.stdout.readline().decode().strip()
        prefix = self.enterContext(tempfile.TemporaryDirectory())
        script = os.path.join(ROOT, "tests", "wine_prefix.sh")
        with unittest.mock.patch.dict(os.environ, DISPLAY=display, WINEPREFIX=prefix):
            subprocess.run([script, "start"], check=True)
            self.addCleanup(subprocess.run, [script, "stop"], env=dict(os.environ))
            self.setUp()  # a window helper on that screen
            yield

    def start(self, path=None, *args, **kwargs):
        program = Program(path or PROGRAM, *args, **kwargs)
        self.addCleanup(program.kill)
        return program

    def serve(self, *args, kind=UpdateServer, **kwargs):
        server = kind(*args, **kwargs)
        self.addCleanup(server.close)
        return server

    def log_file(self):
        """An empty file for a program to log to, removed after the test."""
        handle, path = tempfile.mkstemp(suffix=".log")
        os.close(handle)
        self.addCleanup(os.remove, path)
        return path

    def windows(self, kind=MAIN_WINDOW):
        return self.helper("windows", kind)["windows"]

    def first_window(self, kind, timeout, what):
        self.assertTrue(wait_until(lambda: self.windows(kind), timeout), f"no {what} appeared")
        return self.helper("info", self.windows(kind)[0])

    def main_window(self, timeout=20):
        return self.first_window(MAIN_WINDOW, timeout, "main window")

    def prompt(self, timeout=30):
        return self.first_window(DIALOG, timeout, "message box")

    def assertNoPrompt(self, timeout=1.5):
        self.assertFalse(wait_until(lambda: self.windows(DIALOG), timeout))

    def answer(self, button):
        self.helper("post", self.prompt()["hwnd"], WM_COMMAND, button, 0)

    def message(self, how, message, wparam=0, lparam=0, window=None):
        """Posts or sends (`how`) a message to `window`, by default the first main window."""
        return self.helper(how, window or self.windows()[0], message, wparam, lparam)["result"]

    def resize(self, width, height):
        self.helper("size", self.windows()[0], width, height)
        return self.main_window()

    def show(self, command):
        self.message("send", WM_SYSCOMMAND, command)
        return self.main_window()

    def assertExitsWith(self, program, code=0, timeout=20):
        self.assertEqual(program.exit_code(timeout), code)

    def close(self, program, window=None):
        self.message("post", WM_CLOSE, window=window)
        self.assertExitsWith(program, 0)
