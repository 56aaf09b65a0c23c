"""What the black-box and the publishing tests share: the real programs under Wine and their
windows, update servers on loopback, the reference endpoint, nginx, the object store, and
signatures. The test command provides the environment (the Wine prefix, the display, the
programs' paths and the addresses they were built with)."""
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
import urllib.parse

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

ROOT = pathlib.Path(__file__).resolve().parents[1]
ENV = os.environ.get
WINE = ENV("OSTREL_WINE", "wine")
PROGRAM, PROGRAM_WITH_DOUBLE = ENV("OSTREL_PROGRAM", ""), ENV("OSTREL_PROGRAM_WITH_DOUBLE", "")
PROGRAM_WITH_KEYS = ENV("OSTREL_PROGRAM_WITH_KEYS", "")
UPDATE_CHECK_URL = ENV("OSTREL_UPDATE_CHECK_URL", "")
UPDATE_PORT = urllib.parse.urlsplit(UPDATE_CHECK_URL).port
KEYED_URL = urllib.parse.urlsplit(ENV("OSTREL_KEYED_UPDATE_CHECK_URL", ""))
HOME_PAGE_URL, DOWNLOAD_PAGE_URL = ENV("OSTREL_HOME_PAGE_URL", ""), ENV("OSTREL_DOWNLOAD_PAGE_URL", "")
SIGNING_KEY = ENV("OSTREL_TEST_SIGNING_KEY", "")

MAIN_WINDOW, DIALOG = "OSTREL_WINDOW_CLASS", "#32770"  # window classes
WM_DESTROY, WM_MOVE, WM_SIZE, WM_SETFOCUS = 0x0002, 0x0003, 0x0005, 0x0007
WM_CLOSE, WM_COMMAND, WM_SYSCOMMAND = 0x0010, 0x0111, 0x0112
WM_UPDATE_AVAILABLE, WM_WEB_VIEW_PROCESS_FAILED = 0x0401, 0x0402
SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE = 0xF020, 0xF030, 0xF120
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


def wait_until(condition, timeout=20):
    """Polls `condition` until it holds; returns whether it did in time."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def windows_path(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True,
                          check=True).stdout.strip()


def user_folder(*parts):
    """A path in the Wine prefix's user profile."""
    users = [u for u in glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c/users/*"))
             if not u.endswith("/Public")]
    return pathlib.Path(users[0], *parts)


def uninstall(folder):
    """Uninstalls silently, when installed. The uninstaller runs on from a copy of itself, so its
    end shows in what it removes."""
    if folder.exists():
        Program(str(folder / "Uninstall.exe"), "/S").exit_code(60)
        assert wait_until(lambda: not folder.exists(), 30)


class Program:
    """One run of a Windows program under Wine."""

    def __init__(self, path, *args, show=None, env=None, pipe=False):
        command = [WINE, path, *args]
        if show == "hide":  # as a launcher or a task may start it; start.exe cannot
            command = [WINE, ENV("OSTREL_HIDDEN_START", ""), windows_path(path)]
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
    """The window helper, answering one command a line (tests/tools/window_helper.cpp)."""

    def __init__(self):
        super().__init__(ENV("OSTREL_WINDOW_HELPER", ""), pipe=True)

    def __call__(self, *words, timeout=30):
        self.process.stdin.write((" ".join(str(w) for w in words) + "\n").encode())
        self.process.stdin.flush()
        if not select.select([self.process.stdout], [], [], timeout)[0]:
            raise TimeoutError(f"window helper gave no answer to {words}")
        return json.loads(self.process.stdout.readline())


class Desk:
    """A test's programs and their windows, through one window helper; all end with the test."""

    def __init__(self):
        self.started, self.helper = [], WindowHelper()

    def start(self, path=None, *args, **kwargs):
        program = Program(path or PROGRAM, *args, **kwargs)
        self.started.append(program)
        return program

    def end(self):
        for program in self.started + [self.helper]:
            program.kill()

    def windows(self, kind=MAIN_WINDOW):
        return self.helper("windows", kind)["windows"]

    def first_window(self, kind=MAIN_WINDOW, timeout=20):
        assert wait_until(lambda: self.windows(kind), timeout), f"no {kind} window appeared"
        return self.helper("info", self.windows(kind)[0])

    def prompt(self, timeout=30):
        return self.first_window(DIALOG, timeout)

    def no_prompt(self, timeout=1.5):
        return not wait_until(lambda: self.windows(DIALOG), timeout)

    def answer(self, button):
        self.helper("post", self.prompt()["hwnd"], WM_COMMAND, button, 0)

    def message(self, how, message, wparam=0, lparam=0, window=None):
        """Posts or sends (`how`) a message to `window`, by default the first main window."""
        window = window or self.first_window()["hwnd"]
        return self.helper(how, window, message, wparam, lparam)["result"]

    def resize(self, width, height):
        self.helper("size", self.first_window()["hwnd"], width, height)
        return self.first_window()

    def show(self, command):
        self.message("send", WM_SYSCOMMAND, command)
        return self.first_window()

    def close(self, program):
        self.message("post", WM_CLOSE)
        assert program.exit_code(20) == 0


def private_display(width=1920, height=1080):
    """An Xvfb display of its own, for a Wine prefix of its own: two prefixes on one display
    disturb each other's windows. Returns the Xvfb process and the display's name."""
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", f"{width}x{height}x24"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return xvfb, ":" + xvfb.stdout.readline().decode().strip()


def sign_answer(document, key=SIGNING_KEY):
    """The answer `document` (bytes, holding "signature": "") signed as tools/sign-update.sh
    signs, with the P-256 private key in the PEM file `key`: r and s, 32 bytes each, in base64."""
    private = serialization.load_pem_private_key(pathlib.Path(key).read_bytes(), None)
    r, s = decode_dss_signature(private.sign(document, ec.ECDSA(hashes.SHA256())))
    value = base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big"))
    return document.replace(b'"signature": ""', b'"signature": "%s"' % value, 1)


def new_key(folder, name="key"):
    """A P-256 key pair in `folder`: the private half's path, and the public half's."""
    private = ec.generate_private_key(ec.SECP256R1())
    paths = pathlib.Path(folder, f"{name}.pem"), pathlib.Path(folder, f"{name}-public.pem")
    paths[0].write_bytes(private.private_bytes(serialization.Encoding.PEM,
                                               serialization.PrivateFormat.PKCS8,
                                               serialization.NoEncryption()))
    paths[1].write_bytes(private.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return paths


def trust_in_wine_prefix(authority):
    """Adds a trustme authority to the machine's root store of the test run's Wine prefix, as
    Windows keeps it: a registry key named by its SHA-1 thumbprint, holding the certificate as a
    serialised store element (CERT_CERT_PROP_ID, 1, its length, its bytes). `wine certutil` is a
    stub."""
    der = x509.load_pem_x509_certificate(authority.cert_pem.bytes()).public_bytes(
        serialization.Encoding.DER)
    blob = struct.pack("<III", 32, 1, len(der)) + der
    store = r"HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates"
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as file:
        file.write(f'REGEDIT4\n\n[{store}\\{hashlib.sha1(der).hexdigest().upper()}]\n'
                   f'"Blob"=hex:{blob.hex(",")}\n')
    subprocess.run([WINE, "regedit", "/S", windows_path(file.name)], check=True)
    os.remove(file.name)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 1):
        return True
    return False


class UpdateServer(http.server.ThreadingHTTPServer):
    """A server on 127.0.0.1 at `port` (0: any), over TLS with a trustme certificate given, that
    answers each GET with `respond(handler)`; it counts connections and records requests."""

    daemon_threads = True

    def __init__(self, respond, port=0, certificate=None):
        self.respond, self.requests, self.connections = respond, [], 0
        self.closing, self.answered = threading.Event(), threading.Event()
        super().__init__(("127.0.0.1", port), Handler)
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            certificate.configure_cert(context)
            self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def get_request(self):
        self.connections += 1  # over TLS, one the client may leave for the certificate
        return super().get_request()

    def close(self):
        self.closing.set()
        self.shutdown()
        self.server_close()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        # The request line as sent: self.path has leading slashes collapsed.
        self.server.requests.append((self.requestline.split(" ")[1], dict(self.headers)))
        self.server.respond(self)
        self.server.answered.set()


def document(body, status=200, length=None, headers=(), pause=0.05):
    """Answers with `body`, in pieces `pause` seconds apart (more than one read for a longer one),
    under a Content-Length of `length` when given."""
    def respond(handler):
        handler.send_response(status)
        handler.send_header("Content-Length", str(length or len(body)))
        for name, value in headers:
            handler.send_header(name, value)
        handler.end_headers()
        for at in range(0, len(body), 4000):
            handler.wfile.write(body[at:at + 4000])
            handler.wfile.flush()
            time.sleep(pause)
    return respond


def redirect(location):
    def respond(handler):
        handler.send_response(302)
        handler.send_header("Location", location)
        handler.end_headers()
    return respond


def silent(handler):
    handler.server.closing.wait(120)


def endless(handler):
    """A body with no length, streamed until the client goes away (bounded in size and time)."""
    handler.send_response(200)
    handler.end_headers()
    piece, streamed = b'{"needUpdate":true,"title":"' + b"x" * 65536, 0
    deadline = time.monotonic() + 60
    with contextlib.suppress(OSError):
        while streamed < 256 << 20 and time.monotonic() < deadline:
            handler.wfile.write(piece)
            streamed += len(piece)
    handler.server.streamed = streamed


class ObjectStore:
    """An S3-compatible object store, s3rver (installed by tools/setup.sh test), on 127.0.0.1 at a
    port of its own with one bucket, and Debian's aws command for it."""

    S3RVER = pathlib.Path(ENV("OSTREL_BUILD_DIR", ROOT / "build"), "node/node_modules/.bin/s3rver")
    # s3rver's own credentials; Debian's aws, whatever else is on the PATH.
    ENVIRONMENT = dict(AWS_ACCESS_KEY_ID="S3RVER", AWS_SECRET_ACCESS_KEY="S3RVER",
                       AWS_DEFAULT_REGION="us-east-1", AWS_CONFIG_FILE=os.devnull,
                       AWS_SHARED_CREDENTIALS_FILE=os.devnull, PATH="/usr/bin:" + ENV("PATH", ""))

    def __init__(self, bucket="ostrel"):
        self.folder, self.bucket, port = tempfile.mkdtemp(), bucket, free_port()
        self.process = subprocess.Popen([self.S3RVER, "--silent", "-d", self.folder, "-a",
                                         "127.0.0.1", "-p", str(port), "--configure-bucket", bucket])
        self.url = f"http://127.0.0.1:{port}"
        assert wait_until(lambda: listening(port), 10), "s3rver did not listen"

    def aws(self, *words):
        """Runs the aws command with this store's endpoint; returns what it printed."""
        return subprocess.run(["aws", *words, "--endpoint-url", self.url], check=True, text=True,
                              capture_output=True, env={**os.environ, **self.ENVIRONMENT}).stdout

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.folder)


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
    for source in (ROOT / "tests" / "server" / "nginx-main.conf", "/etc/nginx/fastcgi_params"):
        shutil.copy(source, run)
    pathlib.Path(run, "server.conf").write_text(server)
    nginx = subprocess.Popen(["nginx", "-p", run, "-c", "nginx-main.conf", "-e", "error.log"],
                             stderr=subprocess.DEVNULL)
    wait_until(lambda: nginx.poll() is not None or listening(port), 10)
    assert nginx.poll() is None, f"nginx could not listen at {port}"
    return nginx


class ReferenceEndpoint:
    """The reference endpoint, server/update.php, on php's built-in server at 127.0.0.1:`port`,
    answering from the description given (None: no description file)."""

    def __init__(self, description=None, port=0):
        self.folder, self.port = tempfile.mkdtemp(), port or free_port()
        shutil.copy(ROOT / "server" / "update.php", self.folder)
        if description is not None:
            pathlib.Path(self.folder, "update.json").write_text(
                json.dumps(description, ensure_ascii=False))
        self.process = self.start()
        # A server ends at once when the port is taken: a listener found while it runs is ours.
        wait_until(lambda: self.process.poll() is not None or listening(self.port), 10)
        assert self.process.poll() is None, f"the endpoint could not listen at {self.port}"

    def start(self):
        return subprocess.Popen(["php", "-S", f"127.0.0.1:{self.port}", "-t", self.folder],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.folder)
