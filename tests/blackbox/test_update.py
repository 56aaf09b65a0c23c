"""The update check and its prompt, end to end: the real program under Wine asks the local update
endpoint, the window helper reads and answers the box, and the open recorder (the prefix's http,
https and file handler) notes what the shell was asked to open."""
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from driver import (DOWNLOAD_PAGE_URL, IDNO, IDOK, IDYES, PROGRAM, PROGRAM_OVER_TLS, ROOT,
                    TLS_PORT, UPDATE_CHECK_URL, WM_SIZE, WM_UPDATE_AVAILABLE, Authority,
                    ObjectStore, ProgramTestCase, ReferenceEndpoint, openssl, sign_answer,
                    start_nginx, user_folder, wait_until, windows_path)

OPEN_RECORDER = os.environ.get("OSTREL_OPEN_RECORDER", "")
REQUEST = urllib.parse.urlsplit(UPDATE_CHECK_URL)  # the program's version in its query
VERSION = urllib.parse.parse_qs(REQUEST.query)["version"][0]
CLOSING = "推荐您立即更新以获取最佳体验。\n\n是否现在更新？"
FULL_DOCUMENT = ('{"needUpdate": true, "mustUpdate": false, "title": "Ostrel 2.0",'
                 ' "message": "修复了若干问题\\n启动更快", "url": "https://127.0.0.1:9/get?v=2",'
                 ' "versionName": "2.0.1"}').encode()
LATE = b'{"needUpdate":true,' + b" " * 9000 + b'"title":"late"}'  # several 4096-byte reads


class UpdateTest(ProgramTestCase):
    def start_offering(self, *args, **kwargs):
        server = self.serve(*args, **kwargs) if args or kwargs else None
        self.open_log = self.log_file()
        program = self.start(env={"OSTREL_OPEN_LOG": self.open_log})
        self.main_window()
        return program, server

    def opened(self, wait=1.5):
        time.sleep(wait)  # the shell starts the handler asynchronously
        with open(self.open_log) as log:
            return log.read().splitlines()

    def assertMessageShowsNothing(self):
        """Any program can post the message: without a published offer it shows nothing."""
        self.assertEqual(self.message("send", WM_UPDATE_AVAILABLE), 0)
        self.assertNoPrompt()

    def test_offer_prompts_with_its_text_and_yes_opens_its_address(self):
        program, server = self.start_offering(
            FULL_DOCUMENT, headers={"Set-Cookie": "id=1; expires=Wed, 09 Jun 2027 10:18:14 GMT; path=/"})
        box = self.prompt()
        self.assertEqual([(path, headers.get("User-Agent")) for path, headers in server.requests],
                         [(f"{REQUEST.path}?{REQUEST.query}", "Ostrel Browser")])
        self.assertEqual((box["owner"], box["title"]), (self.main_window()["hwnd"], "Ostrel 2.0"))
        self.assertEqual(box["text"], "版本: 2.0.1\n\n更新内容:\n--------------------\n"
                         "修复了若干问题\n启动更快\n--------------------\n\n" + CLOSING)
        self.assertEqual(box["buttons"], [IDYES, IDNO])

        self.answer(IDYES)
        self.assertEqual(self.opened(), ["open https://127.0.0.1:9/get?v=2"])
        self.assertNoPrompt()
        # Nothing is cleared: the message shows the prompt again; No opens nothing.
        self.message("post", WM_UPDATE_AVAILABLE)
        self.prompt()
        self.answer(IDNO)
        self.assertEqual(self.opened(), ["open https://127.0.0.1:9/get?v=2"])
        self.close(program)
        # The endpoint's cookie was neither kept nor sent back at the next start.
        self.start()
        self.answer(IDNO)
        self.assertNotIn("Cookie", server.requests[1][1])

    def test_mandatory_offer_of_an_unsafe_address_opens_the_download_page_and_ends(self):
        # Values are read raw, so the path's backslashes stand as they are.
        program, _ = self.start_offering(
            b'{"needUpdate":true,"mustUpdate":true,"url":"%s"}'
            % windows_path(OPEN_RECORDER).encode())
        self.assertEqual(self.prompt()["buttons"], [IDOK])
        self.answer(IDOK)
        self.assertExitsWith(program, 0)
        self.assertEqual(self.opened(), ["open " + DOWNLOAD_PAGE_URL])

    def test_what_the_endpoint_sends_decides_the_prompt(self):
        cases = {  # name: (what the endpoint does, the prompt's caption or None)
            "body in several pieces": (dict(body=LATE), "late"),
            "cut off mid-body": (dict(body=b'{"needUpdate":true,"title":"first",', length=999),
                                 "first"),
            "error page": (dict(body=b"<html>404 Not Found</html>", status=404), None),
            "empty body": (dict(body=b""), None),
            "mandatory but not offered": (dict(body=b'{"needUpdate":false,"mustUpdate":true}'),
                                          None),
            "endless body, over the cap": (dict(behaviour="endless"), None),
            "nothing listening": ({}, None),
        }
        for name, (serving, caption) in cases.items():
            with self.case(name=name):
                program, server = self.start_offering(**serving)
                if caption:
                    self.assertEqual(self.prompt()["title"], caption)
                    self.answer(IDNO)
                else:
                    if server and server.behaviour == "endless":
                        self.assertTrue(server.done.wait(30), "the body was read past the cap")
                        self.assertLess(server.streamed, 64 << 20)
                    self.assertNoPrompt(3.5)
                    self.assertMessageShowsNothing()
                self.close(program)

    def test_reference_endpoint_answers_each_version_for_itself(self):
        # The program asks as its own version; what the endpoint decides for each version, the
        # mandatory offer included, is the publishing test's to check.
        cases = [  # the description's latest and lowest allowed versions: the prompt's buttons
            ("99.0", VERSION, [IDYES, IDNO]), (VERSION, VERSION, [])]
        for latest, lowest, buttons in cases:
            with self.case(latest=latest, lowest=lowest):
                program, _ = self.start_offering(
                    dict(latestVersion=latest, lowestAllowedVersion=lowest, title="Ostrel 99",
                         notes=["全新的界面", "", "Fixes / more"],
                         downloadUrl="https://127.0.0.1:9/get"), kind=ReferenceEndpoint)
                if not buttons:
                    self.assertNoPrompt(3.5)
                else:
                    box = self.prompt()
                    self.assertEqual((box["title"], box["text"], box["buttons"]), (
                        "Ostrel 99", f"版本: {latest}\n\n更新内容:\n--------------------\n全新的界面"
                        "\n\nFixes / more\n--------------------\n\n" + CLOSING, buttons))
                    self.answer(buttons[0])
                    self.assertEqual(self.opened(), ["open https://127.0.0.1:9/get"])
                self.close(program)

    def test_over_tls_only_a_certificate_windows_trusts_is_answered_and_nothing_is_cached(self):
        folder = tempfile.mkdtemp()  # kept through the cases, which end with their cleanups
        self.addClassCleanup(shutil.rmtree, folder)
        authority, stranger = Authority(folder), Authority(folder, "Stranger")
        authority.trust_in_wine_prefix()  # this test run's prefix only
        trusted = authority.issue()
        cases = {  # the endpoint's certificate, the program: whether it prompts
            "trusted": (trusted, PROGRAM_OVER_TLS, True),
            "expired": (authority.issue(days=-1), PROGRAM_OVER_TLS, False),
            "for another host": (authority.issue("other.test"), PROGRAM_OVER_TLS, False),
            "from an untrusted authority": (stranger.issue(), PROGRAM_OVER_TLS, False),
            "http redirected to https": (trusted, PROGRAM, True),
        }
        for name, (certificate, program, prompts) in cases.items():
            with self.case(certificate=name):
                server = self.serve(FULL_DOCUMENT, port=TLS_PORT, certificate=certificate)
                if program == PROGRAM:
                    self.serve(f"https://localhost:{TLS_PORT}{REQUEST.path}?{REQUEST.query}"
                               .encode(), behaviour="redirect")
                running = self.start(program)
                if prompts:
                    self.assertEqual(self.prompt()["title"], "Ostrel 2.0")
                    self.answer(IDNO)
                else:
                    self.assertTrue(wait_until(lambda: server.connections), "never connected")
                    self.assertNoPrompt()
                    self.assertEqual(server.requests, [])
                self.close(running)
        # This run's documents, from every test before, left nothing in the user's cache.
        cache = pathlib.Path(user_folder("AppData", "Local", "Microsoft", "Windows", "INetCache"))
        self.assertFalse([path for path in cache.rglob("*")
                          if path.is_file() and b"Ostrel 2.0" in path.read_bytes()])

    def test_a_program_with_keys_obeys_only_genuine_answers(self):
        folder = tempfile.mkdtemp()
        self.addClassCleanup(shutil.rmtree, folder)
        key, other = os.environ["OSTREL_TEST_SIGNING_KEY"], f"{folder}/other.pem"
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", other)

        def answer(below="99", expires="2099-01-01T00:00:00Z"):
            return FULL_DOCUMENT[:-1] + (f', "forVersionsFrom": "{VERSION}", "forVersionsBelow":'
                                         f' "{below}", "expires": "{expires}", "signature": ""}}'
                                         ).encode()

        genuine = sign_answer(answer(), key)
        cases = {"genuine": (genuine, True), "unsigned": (answer(), False),
                 "one byte changed": (genuine.replace(b"2.0.1", b"2.0.2"), False),
                 "another key's": (sign_answer(answer(), other), False),
                 "expired": (sign_answer(answer(expires="2026-01-01T00:00:00Z"), key), False),
                 "for newer versions": (sign_answer(answer(below=VERSION), key), False)}
        for name, (body, prompts) in cases.items():
            with self.case(answer=name):
                server = self.serve(body)
                # CNG from the system folder, whatever lies beside the program.
                program = self.start(os.environ["OSTREL_PROGRAM_WITH_KEYS"],
                                     env={"WINEDLLOVERRIDES": "mscoree,mshtml=;bcrypt=n,b"})
                if prompts:
                    self.assertEqual(self.prompt()["title"], "Ostrel 2.0")
                    self.answer(IDNO)
                else:
                    self.assertTrue(wait_until(lambda: server.requests))
                    self.assertNoPrompt(2.5)
                self.close(program)

    def test_static_answers_from_an_object_store_behind_a_cdn(self):
        folder = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        description = folder / "update.json"
        description.write_text(json.dumps({
            "latestVersion": "2.0.1", "lowestAllowedVersion": VERSION, "title": "Ostrel 2.0",
            "notes": ["修复了若干问题"], "downloadUrl": "https://127.0.0.1:9/get"}))
        tools, key = pathlib.Path(ROOT, "tools"), os.environ["OSTREL_TEST_SIGNING_KEY"]
        for command in ([tools / "sign-update.sh", description],
                        [tools / "static-feed.sh", description, folder / "feed", VERSION, "2.0.1"]):
            subprocess.run(command, check=True, capture_output=True,
                           env={**os.environ, "OSTREL_UPDATE_SIGNING_KEY": key,
                                "OSTREL_UPDATE_PUBLIC_KEY": key.replace("private", "public")})
        # Uploaded with the README's command, each file keeps its bytes and the endpoint's headers.
        store = ObjectStore()
        self.addCleanup(store.close)
        store.aws(*self.readme_upload(folder / "feed", store.bucket))
        for file in (folder / "feed").glob("*.json"):
            url = f"{store.url}/{store.bucket}/ostrel/update/{file.name}"
            with urllib.request.urlopen(url) as got:
                self.assertEqual([got.headers["Content-Type"], got.headers["Cache-Control"],
                                  got.read()], ["application/json; charset=utf-8",
                                                "public, max-age=300", file.read_bytes()])
        # A CDN in front of it, over TLS: the program asks for its own file, and prompts.
        authority = Authority(str(folder))
        authority.trust_in_wine_prefix()  # this test run's prefix only
        certificate, key = authority.issue()
        address = urllib.parse.urlsplit(os.environ["OSTREL_STATIC_UPDATE_CHECK_URL"])
        (folder / "cdn").mkdir()
        cdn = start_nginx(folder / "cdn", f"""server {{
            listen 127.0.0.1:{address.port} ssl;
            ssl_certificate {certificate};
            ssl_certificate_key {key};
            location /ostrel/update/ {{ proxy_pass {store.url}/{store.bucket}/ostrel/update/; }}
        }}""", address.port)
        self.addCleanup(cdn.wait)
        self.addCleanup(cdn.kill)
        program = os.environ["OSTREL_PROGRAM_WITH_STATIC_ANSWERS"]
        for has_file in (True, False):
            with self.subTest(has_file=has_file):
                running = self.start(program)
                if has_file:
                    self.assertEqual(self.prompt()["title"], "Ostrel 2.0")
                    self.answer(IDNO)
                    # Without its file (404), the version hears of nothing.
                    store.aws("s3", "rm", f"s3://{store.bucket}/ostrel/update/{VERSION}.json")
                else:
                    self.assertNoPrompt(5)
                self.close(running)

    @staticmethod
    def readme_upload(feed, bucket):
        """The README's upload command, for this folder and bucket, less the store's address."""
        readme = pathlib.Path(ROOT, "README.md").read_text()
        at = readme.index("aws s3 cp")
        block = readme[at:readme.index("```", at)]
        words = shlex.split(block.replace("\\\n", ""))
        return [f"{feed}/" if w == "feed/" else w.replace("BUCKET", bucket) for w in words[1:-2]]

    def test_a_wininet_dll_beside_the_program_is_never_loaded(self):
        # Wine told to prefer a WinINet from the program's folder, as Windows' search order would;
        # the one planted there has none of WinINet's functions.
        self.serve(FULL_DOCUMENT)
        program = self.start(os.environ.get("OSTREL_PROGRAM_WITH_DOUBLE"),
                             env={"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet=n,b"})
        self.assertEqual(self.prompt()["title"], "Ostrel 2.0")  # the check reached the endpoint
        self.answer(IDNO)
        self.close(program)

    def test_silent_endpoint_keeps_the_window_responsive_and_exit_does_not_wait(self):
        program, server = self.start_offering(behaviour="silent")
        self.assertTrue(wait_until(lambda: server.requests))
        self.assertEqual(self.message("send", WM_SIZE), 0)
        self.assertEqual(self.resize(1250, 850)["width"], 1250)
        self.assertMessageShowsNothing()
        started = time.monotonic()
        self.close(program)
        self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()
