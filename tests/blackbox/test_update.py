"""The update check and its prompt, end to end: the real program under Wine asks a local update
endpoint, the window helper reads and answers the box, and the open recorder (the prefix's http,
https and file handler) notes what the shell was asked to open."""
import datetime
import hashlib
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import tempfile
import time
import urllib.parse

import pytest
import trustme

from support import (DIALOG, DOWNLOAD_PAGE_URL, IDNO, IDOK, IDYES, KEYED_URL, PROGRAM,
                     PROGRAM_WITH_DOUBLE, PROGRAM_WITH_KEYS, ROOT, SIGNING_KEY, UPDATE_CHECK_URL,
                     UPDATE_PORT, WM_CLOSE, WM_COMMAND, WM_SIZE, WM_UPDATE_AVAILABLE, ObjectStore,
                     Program, document, endless, new_key, redirect, sign_answer, silent,
                     start_nginx, uninstall, user_folder, wait_until, windows_path)

REQUEST = urllib.parse.urlsplit(UPDATE_CHECK_URL)  # the program's version in its query
VERSION = urllib.parse.parse_qs(REQUEST.query)["version"][0]
FULL_DOCUMENT = ('{"needUpdate": true, "mustUpdate": false, "title": "Ostrel 2.0",'
                 ' "message": "修复了若干问题\\n启动更快", "url": "https://127.0.0.1:9/get?v=2",'
                 ' "versionName": "2.0.1"}').encode()


def signed(below="99", expires="2099-01-01T00:00:00Z", key=SIGNING_KEY, document=FULL_DOCUMENT):
    """FULL_DOCUMENT (or another) as an answer signed for this version."""
    return sign_answer(document[:-1] + (
        f', "forVersionsFrom": "{VERSION}", "forVersionsBelow": "{below}", "expires": "{expires}",'
        ' "signature": ""}').encode(), key)


class Opened:
    """What the open recorder noted for one program."""

    def __init__(self, tmp_path):
        self.log = tmp_path / "opened.log"
        self.log.write_text("")

    def __call__(self, count=1):
        # The shell starts the handler asynchronously: wait for its line.
        wait_until(lambda: len(self.log.read_text().splitlines()) >= count, 10)
        return self.log.read_text().splitlines()


@pytest.fixture
def opened(tmp_path):
    return Opened(tmp_path)


def start_offering(desk, opened, path=PROGRAM, **env):
    program = desk.start(path, env={"OSTREL_OPEN_LOG": str(opened.log), **env})
    desk.first_window()
    return program


def assert_no_prompt(desk):
    """No prompt, and none for the message, which any program can post, without an offer."""
    assert desk.no_prompt(1)
    assert desk.message("send", WM_UPDATE_AVAILABLE) == 0
    assert desk.no_prompt(0.5)


def test_offer_prompts_with_its_text_and_yes_opens_its_address(desk, serve, opened):
    server = serve(document(FULL_DOCUMENT, headers=[
        ("Set-Cookie", "id=1; expires=Wed, 09 Jun 2027 10:18:14 GMT; path=/")]), port=UPDATE_PORT)
    program = start_offering(desk, opened)
    box = desk.prompt()
    assert [(path, headers.get("User-Agent")) for path, headers in server.requests] == [
        (f"{REQUEST.path}?{REQUEST.query}", "Ostrel Browser")]
    assert (box["owner"], box["title"], box["buttons"]) == (desk.first_window()["hwnd"],
                                                            "Ostrel 2.0", [IDYES, IDNO])
    assert box["text"] == ("版本: 2.0.1\n\n更新内容:\n--------------------\n修复了若干问题\n启动更快\n"
                           "--------------------\n\n推荐您立即更新以获取最佳体验。\n\n是否现在更新？")
    desk.answer(IDYES)
    assert opened() == ["open https://127.0.0.1:9/get?v=2"]
    # Nothing is cleared: the message shows the prompt again; No opens nothing (looked at last,
    # after the next start, so that a late opening shows too).
    assert wait_until(lambda: not desk.windows(DIALOG))
    desk.message("post", WM_UPDATE_AVAILABLE)
    desk.answer(IDNO)
    desk.close(program)
    # The endpoint's cookie was neither kept nor sent back at the next start.
    desk.start()
    desk.answer(IDNO)
    assert "Cookie" not in server.requests[1][1]
    assert opened() == ["open https://127.0.0.1:9/get?v=2"]


def test_mandatory_offer_of_an_unsafe_address_opens_the_download_page_and_ends(desk, serve,
                                                                               opened):
    # Values are read raw, so the path's backslashes stand as they are.
    recorder = windows_path(os.environ["OSTREL_OPEN_RECORDER"]).encode()
    serve(document(b'{"needUpdate":true,"mustUpdate":true,"url":"%s"}' % recorder),
          port=UPDATE_PORT)
    program = start_offering(desk, opened)
    assert desk.prompt()["buttons"] == [IDOK]
    desk.answer(IDOK)
    assert program.exit_code() == 0
    assert opened() == ["open " + DOWNLOAD_PAGE_URL]


# What the endpoint does, and the prompt's caption (None: no prompt).
@pytest.mark.parametrize("respond, caption", [
    (document(b'{"needUpdate":true,' + b" " * 9000 + b'"title":"late"}'), "late"),  # many reads
    (document(b'{"needUpdate":true,"title":"first",', length=999), "first"),  # cut off mid-body
    (document(b"<html>404 Not Found</html>", status=404), None),
    (document(b""), None),
    (document(b'{"needUpdate":false,"mustUpdate":true}'), None),  # mandatory, but not offered
    (endless, None),  # over the cap
    (None, None),  # nothing listening
], ids=["pieces", "cut off", "error page", "empty", "not offered", "endless", "no endpoint"])
def test_what_the_endpoint_sends_decides_the_prompt(desk, serve, opened, respond, caption):
    server = respond and serve(respond, port=UPDATE_PORT)
    program = start_offering(desk, opened)
    if caption:
        assert desk.prompt()["title"] == caption
        desk.answer(IDNO)
    else:
        if respond is endless:  # the program stopped reading, far below what was on offer
            assert wait_until(lambda: hasattr(server, "streamed"), 30)
            assert server.streamed < 64 << 20
        elif server:
            assert wait_until(server.answered.is_set)
        assert_no_prompt(desk)
    desk.close(program)


@pytest.mark.parametrize("certificate, program, prompts", [
    ("trusted", PROGRAM_WITH_KEYS, True), ("expired", PROGRAM_WITH_KEYS, False),
    ("for another host", PROGRAM_WITH_KEYS, False), ("untrusted", PROGRAM_WITH_KEYS, False),
    ("trusted", PROGRAM, True)])  # a program built with http, redirected to https
def test_over_tls_only_a_certificate_windows_trusts_is_answered(desk, serve, trusted, certificate,
                                                                program, prompts):
    authority = trustme.CA() if certificate == "untrusted" else trusted
    host = "other.test" if certificate == "for another host" else "localhost"
    expired = datetime.datetime.now() - datetime.timedelta(days=1)
    server = serve(document(signed()), port=KEYED_URL.port, certificate=authority.issue_cert(
        host, not_after=expired if certificate == "expired" else None))
    if program == PROGRAM:
        serve(redirect(KEYED_URL.geturl()), port=UPDATE_PORT)
    running = desk.start(program)
    if prompts:
        assert desk.prompt()["title"] == "Ostrel 2.0"
        desk.answer(IDNO)
    else:
        assert wait_until(lambda: server.connections), "never connected"
        assert desk.no_prompt() and server.requests == []
    desk.close(running)


def test_no_answer_was_kept_in_the_users_cache():
    # This run's answers, from every test before, left nothing in the user's Internet cache.
    cache = user_folder("AppData", "Local", "Microsoft", "Windows", "INetCache")
    assert not [path for path in cache.rglob("*")
                if path.is_file() and b"Ostrel 2.0" in path.read_bytes()]


@pytest.mark.parametrize("answer, prompts", [
    (lambda: signed(), True), (lambda: signed().replace(b"2.0.1", b"2.0.2"), False),
    (lambda: signed(key=new_key(tempfile.mkdtemp())[0]), False),
    (lambda: signed(expires="2026-01-01T00:00:00Z"), False),
    (lambda: signed(below=VERSION), False),
], ids=["genuine", "one byte changed", "another key's", "expired", "for newer versions"])
def test_a_program_with_keys_obeys_only_genuine_answers(desk, serve, trusted, answer, prompts):
    server = serve(document(answer()), port=KEYED_URL.port,
                   certificate=trusted.issue_cert("localhost"))
    program = desk.start(PROGRAM_WITH_KEYS)
    desk.first_window()
    if prompts:
        assert desk.prompt()["title"] == "Ostrel 2.0"
        desk.answer(IDNO)
    else:
        assert wait_until(lambda: server.answered.is_set())
        assert_no_prompt(desk)
    desk.close(program)


def test_static_answers_from_an_object_store_behind_a_cdn(desk, tmp_path, trusted):
    description = tmp_path / "update.json"
    description.write_text(json.dumps({
        "latestVersion": "2.0.1", "lowestAllowedVersion": VERSION, "title": "Ostrel 2.0",
        "notes": ["修复了若干问题"], "downloadUrl": "https://127.0.0.1:9/get"}))
    keys = {"OSTREL_UPDATE_SIGNING_KEY": SIGNING_KEY,
            "OSTREL_UPDATE_PUBLIC_KEY": SIGNING_KEY.replace("private", "public")}
    for command in (["sign-update.sh", description],
                    ["static-feed.sh", description, tmp_path / "feed", VERSION, "2.0.1"]):
        subprocess.run([ROOT / "tools" / command[0], *command[1:]], check=True,
                       capture_output=True, env={**os.environ, **keys})
    # Uploaded with the README's command, less the store's address.
    store = ObjectStore()
    try:
        readme = (ROOT / "README.md").read_text()
        words = shlex.split(readme[readme.index("aws s3 cp"):].split("```")[0].replace("\\\n", ""))
        store.aws(*[f"{tmp_path}/feed/" if w == "feed/" else w.replace("BUCKET", store.bucket)
                    for w in words[1:-2]])
        # A CDN in front of it, over TLS: the program asks for its own file, and prompts.
        certificate = tmp_path / "localhost.pem"
        trusted.issue_cert("localhost").private_key_and_cert_chain_pem.write_to_path(certificate)
        (tmp_path / "cdn").mkdir()
        cdn = start_nginx(tmp_path / "cdn", f"""server {{
            listen 127.0.0.1:{KEYED_URL.port} ssl;
            ssl_certificate {certificate};
            ssl_certificate_key {certificate};
            location /ostrel/update/ {{ proxy_pass {store.url}/{store.bucket}/ostrel/update/; }}
        }}""", KEYED_URL.port)
        program = desk.start(PROGRAM_WITH_KEYS)
        assert desk.prompt()["title"] == "Ostrel 2.0"
        desk.answer(IDNO)
        desk.close(program)
        cdn.kill()
        cdn.wait()
    finally:
        store.close()


def test_a_wininet_dll_beside_the_program_is_never_loaded(desk, serve):
    # Wine told to prefer a WinINet from the program's folder, as Windows' search order would;
    # the one planted there has none of WinINet's functions.
    serve(document(FULL_DOCUMENT), port=UPDATE_PORT)
    program = desk.start(PROGRAM_WITH_DOUBLE, env={"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet=n,b"})
    assert desk.prompt()["title"] == "Ostrel 2.0"  # the check reached the endpoint
    desk.answer(IDNO)
    desk.close(program)


def test_silent_endpoint_keeps_the_window_responsive_and_exit_does_not_wait(desk, serve):
    server = serve(silent, port=UPDATE_PORT)
    program = desk.start()
    desk.first_window()
    assert wait_until(lambda: server.requests)
    assert desk.message("send", WM_SIZE) == 0
    assert desk.resize(1250, 850)["width"] == 1250
    assert_no_prompt(desk)
    started = time.monotonic()
    desk.close(program)
    assert time.monotonic() - started < 10


INSTALLER = pathlib.Path(os.environ.get("OSTREL_PACKAGE_INSTALLER", ""))
INSTALLER_URL = f"https://localhost:{KEYED_URL.port}/installer.exe"


@pytest.fixture(scope="module")
def installed():
    """The project's installer's install; its program is replaced by the keyed copy at each use."""
    folder = user_folder("AppData", "Local", "Programs", "Ostrel Browser")
    assert Program(str(INSTALLER), "/S").exit_code(90) == 0
    yield folder / "OstrelBrowser.exe"
    uninstall(folder)


# What is served for the installer, whether the offer is mandatory, which program runs from where
# → what follows Yes (or OK).
@pytest.mark.parametrize("served, must, program, outcome", [
    (lambda data: data, False, PROGRAM_WITH_KEYS, "installs"),
    (lambda data: data, True, PROGRAM_WITH_KEYS, "installs"),
    (lambda data: data, False, "page stays", "installs"),
    (lambda data: data[:-1] + bytes([data[-1] ^ 1]), False, PROGRAM_WITH_KEYS, "不一致"),
    (lambda data: data + b"\0", False, PROGRAM_WITH_KEYS, "不一致"),
    (lambda data: None, False, PROGRAM_WITH_KEYS, "无法下载"),
    (lambda data: data, False, PROGRAM, "opens"),
    (lambda data: data, False, "not installed", "opens"),
], ids=["verified", "verified, mandatory", "verified, the page stays", "a byte changed",
        "a byte more", "not found", "an unkeyed build", "outside the install folder"])
def test_an_installed_keyed_program_runs_only_the_signed_installer(desk, serve, trusted, opened,
                                                                   installed, served, must,
                                                                   program, outcome):
    data, downloads = INSTALLER.read_bytes(), user_folder("Temp")  # %TEMP% in a Wine prefix
    answer = document(signed(document=(
        f'{{"needUpdate": true, "mustUpdate": {str(must).lower()}, "title": "Ostrel 2.0", "url": '
        f'"{INSTALLER_URL}", "installerSha256": "{hashlib.sha256(data).hexdigest()}",'
        f' "installerSize": "{len(data)}"}}').encode()))
    installer = document(served(data) or b"", status=200 if served(data) else 404, pause=0)
    respond = lambda handler: (installer if handler.path.endswith(".exe") else answer)(handler)  # noqa: E731
    serve(respond, port=KEYED_URL.port, certificate=trusted.issue_cert("localhost"))
    if program == PROGRAM:  # the program the package installs, built without keys
        serve(respond, port=UPDATE_PORT)
    shutil.copy(PROGRAM if program == PROGRAM else PROGRAM_WITH_KEYS, installed)
    before, env, log = installed.read_bytes(), {}, opened.log.with_name("webview.log")
    if program == "page stays":  # the web view double, whose page stays when asked
        shutil.copy(pathlib.Path(PROGRAM_WITH_DOUBLE).with_name("WebView2Loader.dll"), installed.parent)
        env = dict(OSTREL_WEBVIEW_PAGE="stays", OSTREL_WEBVIEW_LOG=str(log))
    running = start_offering(desk, opened, PROGRAM_WITH_KEYS if program == "not installed" else installed,
                             **env)
    asked = desk.prompt()["hwnd"]
    desk.answer(IDOK if must else IDYES)
    assert wait_until(lambda: asked not in desk.windows(DIALOG))
    if env:  # the page is asked, and stays: the installer runs once the program ends
        assert wait_until(lambda: log.exists() and "Navigate about:blank" in log.read_text())
        assert desk.windows()
        desk.message("post", WM_COMMAND, 105)
    if outcome == "installs":  # the program ends, its installer runs and starts the new version
        assert running.exit_code(30) == 0 and list(downloads.glob("OstrelBrowser-update-*"))
        assert wait_until(lambda: installed.read_bytes() == pathlib.Path(PROGRAM).read_bytes(), 60)
        restarted = desk.first_window(timeout=60)["hwnd"]
        assert wait_until(lambda: not list(downloads.glob("OstrelBrowser-update-*")), 30)
        desk.message("post", WM_CLOSE, window=restarted)
        assert wait_until(lambda: not desk.windows(), 20)
    elif outcome == "opens":
        assert opened() == ["open " + INSTALLER_URL]
        desk.close(running)
    else:  # the box says why; nothing is run or opened, and the download is gone
        box = desk.prompt()
        assert outcome in box["text"] and box["owner"] == desk.first_window()["hwnd"]
        assert not list(downloads.glob("OstrelBrowser-update-*"))
        desk.answer(IDOK)
        desk.close(running)
        assert installed.read_bytes() == before and opened.log.read_text() == ""
