"""The publisher's side: the reference endpoint (server/update.php) on php's built-in server and
behind nginx with php-fpm (server/nginx.conf), over http and https, the signing of answers, static
answers (tools/static-feed.sh, server/nginx-static.conf), and the check of an update document
(tools/check_update.sh, and its command on a table of documents)."""
import functools
import glob
import http.server
import json
import os
import pathlib
import re
import shutil
import subprocess
import textwrap
import threading
import time
import urllib.error
import urllib.request

import pytest

from support import (ROOT, ReferenceEndpoint, document, free_port, new_key, wait_until,
                     publisher_config, redirect, sign_answer, start_nginx)

CHECK = os.environ.get("OSTREL_CHECK_UPDATE", "")
CHECK_SCRIPT, SIGN_SCRIPT, FEED_SCRIPT = (ROOT / "tools" / name for name in (
    "check_update.sh", "sign-update.sh", "static-feed.sh"))

DESCRIPTION = {"latestVersion": "2.0.0", "lowestAllowedVersion": "1.5", "title": "Ostrel 2",
               "notes": ["全新的界面", "Fixes / more"], "downloadUrl": "https://127.0.0.1:9/get"}
DOCUMENT = {"title": "Ostrel 2", "message": "全新的界面\nFixes / more",
            "url": "https://127.0.0.1:9/get", "versionName": "2.0.0"}
ANSWER_HEADERS = ("Content-Type", "Cache-Control", "Ostrel-Answer-For")
PLAIN_HTTP_DOWNLOAD = b'{"needUpdate":true,"url":"HTTP://x.test/get"}'
CHECKS = [  # a document: the check's exit code, and what its output names
    (b'{"needUpdate":true,"mustUpdate":true,"url":"https://x.test/"}', 0,
     ["OK opens https://x.test/", "the program ends"]),
    # json_encode without JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE
    (b'{"needUpdate":true,"title":"\\u65b0","url":"https:\\/\\/x.test\\/get"}', 1,
     ["title: JSON means", "\\uXXXX", "url: JSON means", "escaped as \\/", "Yes opens http"]),
    (b'{"needUpdate":true,"message":"say \\"hi\\""}', 1, ["escaped double quote ends"]),
    (b'{"title":"url","needUpdate":true,"url":"https://x.test/"}', 1, ["an earlier value"]),
    (b'{"needUpdate":True}', 1, ["not JSON", '"needUpdate":T']),
    (b'{"needUpdate":"true","mustUpdate":1}', 1, ['written "true"', "written 1"]),
    (b'{"needUpdate":true,"needUpdate":false}', 1, ["needUpdate stands 2 times"]),
    (b'{"needUpdate":true,"message":"a\\r\\nb"}', 1, ["\\r\\n"]),
    (b"<html>502 Bad Gateway</html>", 1, ["not JSON"]),
    (b'{"title":"t"}', 1, ["needUpdate is missing"]),
    (b'{"needUpdate":true,"url":"file:///C:/x.exe"}', 1, ["no http or https address"]),
    (PLAIN_HTTP_DOWNLOAD, 1, ["Not safe: the prompt sends users to HTTP://x.test/get, plain"]),
    (b'{"needUpdate":true,"title":"\xff"}', 1, ["ill-formed UTF-8"]),
    (b'{"needUpdate":true}' + b" " * (1 << 20), 1, ["limit"]),
]


class NginxEndpoint(ReferenceEndpoint):
    """The endpoint behind Debian's nginx and php-fpm, run by the test with files of its own: http
    at `port`, https at `tls_port` with the test's `certificate` for localhost."""

    certificate = None

    def start(self):
        run = pathlib.Path(self.folder, "run")
        run.mkdir()
        shutil.copy(pathlib.Path(__file__).resolve().parent / "php-fpm.conf", run)
        self.socket, self.log, self.tls_port = run / "php.sock", run / "error.log", free_port()
        certificate = run / "localhost.pem"
        self.certificate.private_key_and_cert_chain_pem.write_to_path(certificate)
        server = publisher_config("nginx.conf", {
            "listen": [f"127.0.0.1:{self.port}", f"127.0.0.1:{self.tls_port} ssl"],
            "server_name": ["localhost"], "ssl_certificate": [certificate],
            "ssl_certificate_key": [certificate], "root": [self.folder],
            "fastcgi_pass": [f"unix:{self.socket}"]})
        # -R: php-fpm refuses root (as which the tests may run) without it.
        self.fpm = subprocess.Popen([glob.glob("/usr/sbin/php-fpm*")[0], "--nodaemonize", "-R",
                                     "-p", run, "-y", "php-fpm.conf"], stderr=subprocess.DEVNULL)
        wait_until(self.socket.exists, 10)
        return start_nginx(run, server, self.port)

    def close(self):
        self.fpm.terminate()  # the master ends its workers first, as SIGKILL would not let it
        self.fpm.wait()
        super().close()


def run(*command, document=None, cwd=None, **env):
    done = subprocess.run(command, input=document, capture_output=True, cwd=cwd,
                          env={**os.environ, **env})
    return done.returncode, done.stdout.decode(errors="replace") + done.stderr.decode()


def readme_block(marker):
    """The README's fenced shell block that holds `marker`, as a publisher would paste it."""
    readme = pathlib.Path(ROOT, "README.md").read_text()
    at = readme.index(marker)
    start = readme.rindex("```sh\n", 0, at) + len("```sh\n")
    return textwrap.dedent(readme[start:readme.index("```", at)])


def fetch(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method)) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


@pytest.fixture
def endpoint(serve, authority):
    """Starts the endpoint (`kind`) on a description; returns it with its addresses: http, and for
    nginx https too."""
    NginxEndpoint.certificate = authority.issue_cert("localhost")

    def start(description, kind=ReferenceEndpoint):
        started = serve(description, kind=kind)
        started.addresses = [f"http://127.0.0.1:{started.port}"] + (
            [f"https://localhost:{started.tls_port}"] if kind is NginxEndpoint else [])
        return started
    return start


def query_blind_cache(serve, origin):
    """The address of a CDN in front of `origin` set to ignore query strings: the first answer
    for a path goes to every request for that path."""
    answers = {}

    def respond(handler):
        path = handler.path.partition("?")[0]
        if path not in answers:  # a miss: the only request that reaches the origin
            answers[path] = fetch(origin + handler.path)
        status, headers, body = answers[path]
        document(body, status, headers=[(name, headers[name]) for name in ANSWER_HEADERS])(handler)
    return f"http://127.0.0.1:{serve(respond).server_port}"


def days(stamp):
    return round(time.mktime(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ")) / 86400)


def resigned(answer, key, expires, issued=None):
    """The answer signed anew with `key`, expiring and issued (None: no "issued") so many seconds
    from now."""
    at = lambda offset: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + offset))
    terms = b'"expires": "%s"' % at(expires).encode()
    if issued is not None:
        terms = b'"issued": "%s",\n    %s' % (at(issued).encode(), terms)
    unsigned = re.sub(rb'"issued": "[^"]*",\s*', b"", answer)
    unsigned = re.sub(rb'"expires": "[^"]*"', terms, unsigned)
    return sign_answer(re.sub(rb'"signature": "[^"]*"', b'"signature": ""', unsigned), key)


def test_each_version_is_answered_for_itself_behind_either_server(endpoint):
    # Windows shows a file's version in four parts: 2.0 and 2.0.0.0 are one version. A version
    # that cannot be compared gets the optional offer, and the answer says it was made for none.
    cases = [("", "none", True, False), ("?version=1.0%20beta", "none", True, False),
             ("?version[]=1.0", "none", True, False), ("?version=1.9%0A", "none", True, False),
             ("?version=2.0", "2.0", False, False), ("?version=1.4.9", "1.4.9", True, True),
             ("?version=1.5.0.0", "1.5.0.0", True, False)]
    # Behind nginx, over https and over plain http: programs built with an http address.
    description = dict(DESCRIPTION, latestVersion="2.0.0.0")
    for base in [address for kind in (ReferenceEndpoint, NginxEndpoint)
                 for address in endpoint(description, kind).addresses]:
        url = base + "//update.php"
        for query, answer_for, need, must in cases:
            (status, headers, body), head = fetch(url + query), fetch(url + query, "HEAD")
            answer = [status] + [headers[name] for name in ANSWER_HEADERS]
            assert answer == [200, "application/json; charset=utf-8", "public, max-age=300",
                              answer_for], (base, query)
            assert [head[0]] + [head[1][name] for name in ANSWER_HEADERS] + [head[2]] == \
                answer + [b""]
            assert json.loads(body) == dict(DOCUMENT, needUpdate=need, mustUpdate=must,
                                            versionName="2.0.0.0")
        assert run(CHECK_SCRIPT, url + "?version=2.0")[0] == 0


@pytest.mark.parametrize("kind", [ReferenceEndpoint, NginxEndpoint])
def test_failures_answer_no_document_and_are_never_cached(endpoint, kind):
    for description, method, code, allow in ((dict(DESCRIPTION, title='Say "hi"'), "GET", 503, None),
                                             (None, "GET", 503, None),
                                             (DESCRIPTION, "POST", 405, "GET, HEAD")):
        url = endpoint(description, kind).addresses[-1] + "//update.php?version=1.0"
        status, headers, body = fetch(url, method)
        assert (status, headers["Cache-Control"], body, headers["Allow"]) == (
            code, "no-store", b"", allow)
    if kind is NginxEndpoint:  # the check names a refused description, and where it was logged
        refused = endpoint(dict(DESCRIPTION, title='Say "hi"'), kind)
        code, output = run(CHECK_SCRIPT, refused.addresses[1] + "//update.php?version=1.0")
        assert code == 1 and "answered 503, not 200" in output, output
        assert ("refuses its description (update.json), and\nlogs why: in the web server's error "
                "log") in output
        assert "title holds a double quote" in refused.log.read_text()


@pytest.mark.parametrize("document, expected_code, named", CHECKS, ids=range(len(CHECKS)))
def test_check_names_what_the_program_reads_otherwise(document, expected_code, named):
    code, output = run(CHECK, "-", document=document)
    assert code == expected_code and all(text in output for text in named), output


def test_check_fetches_as_the_program_does(endpoint, serve, authority, tmp_path):
    origin = endpoint(DESCRIPTION).addresses[0]
    moved = f"http://localhost:{serve(redirect(f'{origin}//update.php?version=1.9')).server_port}"
    code, output = run(CHECK_SCRIPT, moved)
    assert code == 0, output
    assert f"Fetched from {origin}//update.php?version=1.9\nWarning: {moved}" in output
    assert "  caption  Ostrel 2\n" in output and "Yes opens https://127.0.0.1:9/get\n" in output
    code, output = run(CHECK, "-", document=PLAIN_HTTP_DOWNLOAD, OSTREL_ALLOW_PLAIN_HTTP="1")
    assert code == 0 and "Warning (OSTREL_ALLOW_PLAIN_HTTP=1): the prompt sends users" in output
    # An https address is never left for plain http.
    tls = serve(redirect(origin + "/"), certificate=authority.issue_cert("localhost"))
    code, output = run(CHECK_SCRIPT, f"https://localhost:{tls.server_port}")
    assert code == 1 and f"redirects to plain http, {origin}/," in output, output
    # A new description, checked for each version in the field before it is live.
    new = tmp_path / "update.json.new"
    new.write_text(json.dumps(dict(DESCRIPTION, lowestAllowedVersion="2.0")))
    code, output = run(CHECK_SCRIPT, "--description", new, "1.0", "2.0")
    assert (code, output.count("== As version "), output.count("OK opens")) == (0, 2, 1), output
    new.write_text("{")
    assert "refuses this description" in run(CHECK_SCRIPT, "--description", new, "1")[1]
    for nothing in (["http://127.0.0.1:9//update.php"], ["/no/such/file"],
                    ["--description", "/no/such/file", "1.0"]):
        assert run(CHECK_SCRIPT, *nothing)[0] == 2
    assert run(CHECK_SCRIPT, "--help")[0] == 0
    # A cache that keeps the answer made for 1.0 and hands it to 1.9 is named.
    front = query_blind_cache(serve, origin)
    checks = [run(CHECK_SCRIPT, f"{front}//update.php?version={v}") for v in ("1.0", "1.9")]
    assert [code for code, _ in checks] == [0, 1]
    assert "made for 1.0 (Ostrel-Answer-For), not for 1.9" in checks[1][1]


def test_signed_answers_are_served_as_signed_and_verified_as_the_program_does(endpoint, tmp_path):
    key, public = new_key(tmp_path)
    other_public = new_key(tmp_path, "other")[1]
    rsa = tmp_path / "rsa.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-out", rsa], check=True,
                   capture_output=True)
    served = endpoint(None)
    url = served.addresses[0] + "//update.php?version="
    description = pathlib.Path(served.folder, "update.json")
    description.write_text(json.dumps(DESCRIPTION, indent=2))

    def sign(signing_key, *flags):
        return run(SIGN_SCRIPT, *flags, description, OSTREL_UPDATE_SIGNING_KEY=signing_key)

    # Refused, the file as it was: a wrong key, a plain-http download, a wrong call.
    unsigned = description.read_text()
    plain = json.dumps(dict(DESCRIPTION, downloadUrl="HTTP://127.0.0.1:9/get"))
    for wrong, says, code, written, *flags in (
            (rsa, "not a P-256", 1, unsigned), (public, "no private key", 1, unsigned),
            (key, "is plain http", 1, plain), (key, "usage", 2, unsigned, "--days", "367"),
            (key, "usage", 2, unsigned, "--mandatory-days", "91")):
        description.write_text(written)
        refused = sign(wrong, *flags)
        assert refused[0] == code and says in refused[1] and description.read_text() == written
    assert run(SIGN_SCRIPT, description, OSTREL_UPDATE_SIGNING_KEY=key,
               OSTREL_ALLOW_PLAIN_HTTP="1")[0] == 0
    description.write_text(unsigned)
    # Days are decimal numbers; the mandatory answer lives 30 days unless told, the others 90.
    for given, lives in (([], (30, 90)), (["--days", "08", "--mandatory-days", "010"], (10, 8))):
        assert sign(key, *given)[0] == 0
        answers = [json.loads(answer) for answer in
                   json.loads(description.read_text())["signedAnswers"].values()]
        assert {answer["issued"] for answer in answers} == {answers[0]["issued"]}
        assert [days(a["expires"]) - days(a["issued"]) for a in answers] == [lives[0], *lives[1:] * 2]
    assert sign(key)[0] == 0
    text = description.read_text()
    assert text.startswith(json.dumps(DESCRIPTION, indent=2)[:-2])  # kept as written
    signed = {kind: answer.encode() for kind, answer in json.loads(text)["signedAnswers"].items()}
    for version, kind in (("1.0", "mandatory"), ("1.5", "optional"), ("2.0", "current")):
        assert fetch(url + version)[2] == signed[kind]
        code, output = run(CHECK_SCRIPT, url + version, OSTREL_UPDATE_PUBLIC_KEY=public)
        assert code == 0, output
    code, output = run(CHECK_SCRIPT, "--description", description, "1.0", "2.0",
                       OSTREL_UPDATE_PUBLIC_KEY=public)
    assert code == 0, output
    # What a program with these keys ignores, named.
    for answer, version, keys, says in (
            (signed["mandatory"], "1.5", public, "Made for versions from any below 1.5, not"),
            (signed["current"], "2.0", other_public, "verified by no key"),
            (b'{"needUpdate":false}', "2.0", public, "Not signed"),
            (resigned(signed["current"], key, -86400), "2.0", public, "Expired (expires")):
        code, output = run(CHECK, "-", version, document=answer, OSTREL_UPDATE_PUBLIC_KEY=keys)
        assert code == 1 and says in output, output
    # The daily check, with keys or without: an answer is signed again when less than 14 days or
    # a third of its life is left, whichever is shorter, and an expired one fails.
    day = 86400
    for issued, expires, fails in ((-20 * day, 10 * day + 3600, False), (-21 * day, 9 * day, True),
                                   (-day, 13 * day, False), (None, 13 * day, True),
                                   (-30 * day, -60, True)):
        answer = resigned(signed["current"], key, expires, issued)
        for keys in (public, ""):
            code, output = run(CHECK, "-", "2.0", document=answer, OSTREL_UPDATE_PUBLIC_KEY=keys)
            assert code == int(fails), (issued, expires, keys, output)
            assert not fails or re.search("(?is)(expires on [-0-9T:]+Z|expired).*sign the "
                                          "description again", output)
            assert ("Signatures were not verified" in output) == (not keys)
    # Changed after signing, or expired: refused, as a broken description is.
    expires = json.loads(json.loads(text)["signedAnswers"]["current"])["expires"]
    for changed, says in ((text.replace('"Ostrel 2"', '"Ostrel 3"', 1), "changed after signing"),
                          (text.replace(expires, "2026-01-01T00:00:00Z"),
                           "expired on 2026-01-01T00:00:00Z: sign it again")):
        description.write_text(changed)
        assert fetch(url + "1.0")[0] == 503
        assert says in run("php", ROOT / "server" / "update.php", "1.0", description)[1]
def test_a_signed_description_becomes_static_answers_served_by_nginx_alone(tmp_path, authority,
                                                                      request):
    folder, description = tmp_path, tmp_path / "update.json"
    (key, public), other = new_key(folder), new_key(folder, "other")[1]
    description.write_text(json.dumps(DESCRIPTION))
    run(SIGN_SCRIPT, description, OSTREL_UPDATE_SIGNING_KEY=key)
    text = description.read_text()
    for name, content in (("changed", text.replace("Ostrel 2", "Ostrel 3", 1)),
                          ("replaced", text.replace("Ostrel 2", "Ostrel 3")),  # answers too
                          ("null", json.dumps(dict(DESCRIPTION, signedAnswers=None))),
                          ("file", "")):
        (folder / name).write_text(content)
    (folder / "feeds").mkdir()
    (folder / "link").symlink_to(folder / "feeds")
    keys, versions = dict(OSTREL_UPDATE_PUBLIC_KEY=public), ("1.0", "1.5.0.0", "2.0.0", "2")
    # Each file the endpoint's bytes, each version once and as the program asks; refused with
    # nothing written: what a program with those keys would ignore, a description not signed,
    # a version that is not plain, no keys, an output path that exists in any form.
    for given, out, env, wanted, says in (
            ("update.json", "feeds/A", keys, 0, "Wrote"),
            ("changed", "no", keys, 1, "changed after signing"),
            ("replaced", "no", keys, 1, "the answer for 1.0.0 is signed with no key"),
            ("update.json", "no", dict(OSTREL_UPDATE_PUBLIC_KEY=other), 1, "with no key"),
            ("null", "no", keys, 1, "is not signed"),
            ("update.json", "no", dict(versions=["1.0 beta"], **keys), 1, "is not a plain"),
            ("update.json", "no", {}, 2, "OSTREL_UPDATE_PUBLIC_KEY must name"),
            *[("update.json", used, keys, 2, "in use") for used in ("feeds/A", "link", ".",
                                                                      "file")]):
        code, output = run(FEED_SCRIPT, folder / given, folder / out,
                           *env.pop("versions", versions), **env)
        assert (code, says in output, (folder / "no").exists()) == (wanted, True, False), output
    feed = folder / "feeds" / "A"
    assert sorted(os.listdir(feed)) == ["1.0.0.json", "1.5.0.json", "2.0.0.json", "SHA256SUMS"]
    assert len((feed / "SHA256SUMS").read_text().splitlines()) == 3
    versions = ("1.0.0", "1.5.0", "2.0.0")
    for version in versions:
        answered = subprocess.run(["php", f"{ROOT}/server/update.php", version, description],
                                  capture_output=True).stdout
        assert (feed / f"{version}.json").read_bytes() == answered
    # Without versions: every release tag, as the version its build makes (not its name).
    subprocess.run(["git", "clone", "--quiet", ROOT, folder / "clone"], check=True)
    for tag in ("v1.0.0", "v9.9", "not-a-release"):
        subprocess.run(["git", "-C", folder / "clone", "tag", tag], check=True)
    run(folder / "clone/tools/static-feed.sh", description, folder / "tagged", **keys)
    assert sorted(os.listdir(folder / "tagged")) == ["1.0.0.json", "SHA256SUMS"]

    # Put into service with the README's commands, in the clone and on the host: nginx with
    # server/nginx-static.conf serves the folder, each file as the endpoint would, and no more.
    www, port, tls_port = folder / "www", free_port(), free_port()
    www.mkdir()

    def swap(to):
        for marker in ("feed.next", "/var/www/ostrel-update-feed.next"):
            block = readme_block(marker).replace("feeds/2026-12-09", f"feeds/{to}")
            subprocess.run(["bash", "-ec", block.replace("/var/www", str(www))], cwd=folder,
                           check=True)
    swap("A")
    (folder / "nginx").mkdir()
    certificate = folder / "localhost.pem"
    authority.issue_cert("localhost").private_key_and_cert_chain_pem.write_to_path(certificate)
    nginx = start_nginx(folder / "nginx", publisher_config("nginx-static.conf", {
        "listen": [f"127.0.0.1:{port}", f"127.0.0.1:{tls_port} ssl"],
        "server_name": ["localhost"], "ssl_certificate": [certificate],
        "ssl_certificate_key": [certificate], "root": [www / "ostrel-update-feed"]}),
                        port)
    request.addfinalizer(nginx.wait)
    request.addfinalizer(nginx.kill)
    address = f"https://localhost:{tls_port}/ostrel/update/{{version}}.json"
    for version, method, wanted, cache in [
            (v, m, 200, "public, max-age=300") for v in versions for m in ("GET", "HEAD")] + [
            ("2.0.0", "POST", 405, "no-store"), ("9", "GET", 404, "public, max-age=60"),
            ("../x", "GET", 404, "public, max-age=60")]:
        status, headers, body = fetch(address.format(version=version), method)
        assert (status, headers["Cache-Control"]) == (wanted, cache), version
        assert status != 200 or [headers["Content-Type"], body] == [
            "application/json; charset=utf-8",
            (feed / f"{version}.json").read_bytes() * (method == "GET")]
        assert headers["Allow"] == ("GET, HEAD" if status == 405 else None)
    for nothing in ("SHA256SUMS", ""):  # nor the sums, nor a listing
        assert fetch(address.replace("{version}.json", nothing))[0] == 404

    # The check: the folder, and each version through the address; a stale copy, a version
    # without a file, a file that SHA256SUMS does not list, an answer for another version
    # (without keys too) and the headers of a server that is not the endpoint are named.
    for args, says in (((), "Signed with a key"), ((address, "1.0", "1.5.0.0", "2"),
                                                   "== As version")):
        code, output = run(CHECK_SCRIPT, "--feed", "feed", *args, cwd=folder, **keys)
        assert (code, output.count(says)) == (0, 3), output
    run(SIGN_SCRIPT, description, OSTREL_UPDATE_SIGNING_KEY=key)  # signed again, not uploaded
    run(FEED_SCRIPT, description, folder / "feeds" / "B", *versions, **keys)
    plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(
        http.server.SimpleHTTPRequestHandler, directory=feed))
    threading.Thread(target=plain.serve_forever, daemon=True).start()
    request.addfinalizer(plain.server_close)
    request.addfinalizer(plain.shutdown)
    (feed / "9.0.0.json").write_text("{}")
    for args, says in (
            ((folder / "feeds" / "B", address, "2.0.0"), f"Served for 2.0.0 is not {folder}"),
            ((folder / "feeds" / "B", address, "9"), "has no 9.0.0.json: make the folder"),
            ((feed,), "holds 9.0.0.json, which SHA256SUMS does not list"),
            ((feed, f"http://127.0.0.1:{plain.server_port}/{{version}}.json", "2.0.0"),
             'cache-control is "", not "public, max-age=300"')):
        code, output = run(CHECK_SCRIPT, "--feed", *args, **keys)
        assert (code, says in output) == (1, True), output
    (feed / "1.5.0.json").write_text("{}")
    assert "1.5.0.json: FAILED" in run(CHECK_SCRIPT, "--feed", feed)[1]
    code, output = run(CHECK, feed / "1.0.0.json", "2.0.0")
    assert (code, "Made for versions from any below 1.5, not for 2.0.0" in output) == (1, True), \
        output
    swap("B")
    assert run(CHECK_SCRIPT, "--feed", folder / "feed", address, "2.0.0", **keys)[0] == 0



def test_signed_installer_is_named_and_a_swapped_one_caught(endpoint, serve, authority, tmp_path):
    (key, public), setup, signed = new_key(tmp_path), tmp_path / "setup.exe", os.urandom(100000)
    setup.write_bytes(signed)
    served = {}
    host = serve(lambda handler: document(served["bytes"], status=served["status"], pause=0)(handler),
                 certificate=authority.issue_cert("localhost"))
    origin = endpoint(None)
    description = pathlib.Path(origin.folder, "update.json")
    description.write_text(json.dumps(dict(
        DESCRIPTION, downloadUrl=f"https://localhost:{host.server_port}/setup.exe")))
    assert run(SIGN_SCRIPT, "--installer", setup, description, OSTREL_UPDATE_SIGNING_KEY=key)[0] == 0
    run(FEED_SCRIPT, description, tmp_path / "feed", "1.0", "1.5", OSTREL_UPDATE_PUBLIC_KEY=public)
    # The daily check of the endpoint and of the static folder, and the check before it is live.
    checks = [[f"{origin.addresses[0]}//update.php?version={{version}}", "1.0", "1.5"],
              ["--feed", tmp_path / "feed"], ["--description", description, "1.0", "1.5"]]
    for status, data, says in ((200, signed, "is the one named (100000 bytes)"),
                               (200, signed[:-1] + b"x", "is not the one signed: it has 100000 bytes"),
                               (200, signed + b"x", "it has 100001 bytes"),
                               (404, b"", "could not be fetched")):
        served.update(bytes=data, status=status)
        for check in checks:
            code, output = run(CHECK_SCRIPT, *check, OSTREL_UPDATE_PUBLIC_KEY=public)
            assert (code, output.count(says)) == (int(data != signed), 2), output


# The file's keys, and what the configure and the check both say: the keys compiled in, or why.
@pytest.mark.parametrize("parts, says", [
    (("one", "compressed"), 2), (("one", "encrypted"), "holds a private key (EC PRIVATE KEY)"),
    (("one", "one"), "holds the same key twice"), (("compressed", "p384"), "NIST CURVE: P-384")])
def test_key_files_are_read_alike_by_the_build_and_the_check(tmp_path, parts, says):
    def openssl(*args, stdin=None):
        return subprocess.run(["openssl", *args], input=stdin, check=True,
                              capture_output=True).stdout
    private = {name: openssl("ecparam", "-name", curve, "-genkey", "-noout") for name, curve in
               (("one", "prime256v1"), ("compressed", "prime256v1"), ("p384", "secp384r1"))}
    made = {name: openssl("ec", "-pubout", "-conv_form", name if name == "compressed" else
                          "uncompressed", stdin=key) for name, key in private.items()}
    made["encrypted"] = openssl("ec", "-aes256", "-passout", "pass:x", stdin=private["one"])
    (tmp_path / "key").write_bytes(private["compressed"])
    answer = sign_answer(b'{"needUpdate": false, "forVersionsFrom": "", "forVersionsBelow": "",'
                         b' "expires": "2099-01-01T00:00:00Z", "signature": ""}', tmp_path / "key")
    keys = tmp_path / "keys.pem"
    keys.write_bytes(b"".join(made[part] for part in parts))
    configured = run("cmake", "-S", ROOT, "-B", tmp_path / "build", "-DBUILD_TESTING=OFF",
                     f"-DOSTREL_UPDATE_PUBLIC_KEY={keys}")
    checked = run(CHECK, "-", "2.0", document=answer, OSTREL_UPDATE_PUBLIC_KEY=keys)
    if isinstance(says, int):
        header = (tmp_path / "build/generated/update/update_public_keys.h").read_text()
        assert f"std::array<PublicKeyPoint, {says}>" in header
        assert (configured[0], checked[0]) == (0, 0), configured[1] + checked[1]
    else:
        assert (configured[0], checked[0]) == (1, 2), configured[1] + checked[1]
        assert all(says in " ".join(output.split()) for output in (configured[1], checked[1]))
        # Nothing of the private key was written anywhere.
        secret = made["encrypted"].splitlines()[4].decode()
        assert run("grep", "-rlF", secret, tmp_path / "build")[1] == ""
