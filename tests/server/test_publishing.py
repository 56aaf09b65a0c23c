"""The publisher's side: the reference endpoint (server/update.php) on php's built-in server, and
the check of an update document (tools/check_update.sh, and its command on a table of documents)."""
import json
import os
import socket
import subprocess
import sys
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "blackbox"))
from driver import ROOT, ReferenceEndpoint  # noqa: E402

CHECK = os.environ.get("OSTREL_CHECK_UPDATE", "")
CHECK_SCRIPT = os.path.join(ROOT, "tools", "check_update.sh")
DESCRIPTION = {"latestVersion": "2.0.0", "lowestAllowedVersion": "1.5", "title": "Ostrel 2",
               "notes": ["全新的界面", "Fixes / more"], "downloadUrl": "https://127.0.0.1:9/get"}
DOCUMENT = {"title": "Ostrel 2", "message": "全新的界面\nFixes / more",
            "url": "https://127.0.0.1:9/get", "versionName": "2.0.0"}
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
    (b'{"needUpdate":true,"title":"\xff"}', 1, ["ill-formed UTF-8"]),
    (b'{"needUpdate":true}' + b" " * (1 << 20), 1, ["limit"]),
]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(*command, document=None):
    done = subprocess.run(command, input=document, capture_output=True)
    return done.returncode, done.stdout.decode(errors="replace") + done.stderr.decode()


class PublishingTest(unittest.TestCase):
    def serve(self, description):
        endpoint = ReferenceEndpoint(description, port=free_port())
        self.addCleanup(endpoint.close)
        return endpoint, f"http://127.0.0.1:{endpoint.port}//update.php"

    def get(self, description, query="", method="GET"):
        request = urllib.request.Request(self.serve(description)[1] + query, method=method)
        try:
            with urllib.request.urlopen(request) as answer:
                return answer.status, answer.headers, answer.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def test_a_version_that_cannot_be_compared_gets_the_optional_offer(self):
        for query in ("", "?version=1.0%20beta", "?version[]=1.0"):
            with self.subTest(query=query):
                status, headers, body = self.get(DESCRIPTION, query)
                self.assertEqual((status, headers["Content-Type"], headers["Cache-Control"]),
                                 (200, "application/json; charset=utf-8", "public, max-age=300"))
                self.assertEqual(json.loads(body),
                                 dict(DOCUMENT, needUpdate=True, mustUpdate=False))
                self.assertEqual(run(CHECK, "-", document=body)[0], 0)

    def test_failures_answer_no_document_and_are_never_cached(self):
        cases = {"double quote": (dict(DESCRIPTION, title='Say "hi"'), "GET", 503),
                 "no description": (None, "GET", 503), "POST": (DESCRIPTION, "POST", 405)}
        for name, (description, method, code) in cases.items():
            with self.subTest(name):
                status, headers, body = self.get(description, "?version=1.0", method)
                self.assertEqual((status, headers["Cache-Control"], body), (code, "no-store", b""))

    def test_check_fetches_as_the_program_does_and_names_what_it_reads_otherwise(self):
        _, url = self.serve(DESCRIPTION)
        code, output = run(CHECK_SCRIPT, url + "?version=1.9")
        self.assertEqual(code, 0, output)
        self.assertIn("  caption  Ostrel 2\n  text\n    版本: 2.0.0\n    \n    更新内容:\n", output)
        self.assertIn("  Yes opens https://127.0.0.1:9/get\nThe program keeps running.", output)
        for document, expected_code, named in CHECKS:
            with self.subTest(document=document[:60]):
                code, output = run(CHECK, "-", document=document)
                self.assertEqual(code, expected_code, output)
                for text in named:
                    self.assertIn(text, output)
        for nothing in ("http://127.0.0.1:9//update.php", "/no/such/file"):
            self.assertEqual(run(CHECK_SCRIPT, nothing)[0], 2)


if __name__ == "__main__":
    unittest.main()
