"""The update check against the real WinINet under Wine and a local update endpoint."""
import json
import time
import unittest

from driver import UPDATE_CHECK_RUNNER, WM_CLOSE, WM_SIZE, ProgramTestCase, run

DOCUMENT = ('{"needUpdate": true, "mustUpdate": false, "title": "Ostrel 2.0",'
            ' "message": "修复\\n更快", "url": "https://127.0.0.1:9/get",'
            ' "versionName": "2.0.1"}').encode()
NOTHING = {"needUpdate": 0, "mustUpdate": 0, "title": "", "message": "", "url": "",
           "versionName": ""}


class UpdateCheckTest(ProgramTestCase):
    def check(self, timeout=60):
        """Runs the update check once; returns what it stored, published and posted."""
        return json.loads(run(UPDATE_CHECK_RUNNER, timeout).splitlines()[-1])

    def assertStored(self, result, posted, **values):
        self.assertTrue(result["published"])
        self.assertEqual(result["posted"], posted)
        self.assertEqual({k: result[k] for k in NOTHING}, {**NOTHING, **values})

    def assertNothingStored(self, result):
        self.assertFalse(result["published"])
        self.assertEqual(result["posted"], 0)
        self.assertEqual({k: result[k] for k in NOTHING}, NOTHING)

    def test_offered_update_is_stored_and_posted_after_one_plain_request(self):
        server = self.serve(DOCUMENT)
        self.assertStored(self.check(), 1, needUpdate=1, title="Ostrel 2.0", message="修复\n更快",
                          url="https://127.0.0.1:9/get", versionName="2.0.1")
        self.assertEqual(len(server.requests), 1)
        request = server.requests[0]
        self.assertEqual(request["path"], "//update.php")
        self.assertEqual(request["headers"].get("User-Agent"), "Ostrel Browser")

    def test_documents_without_an_offer_post_nothing(self):
        cases = {
            "error page": (b"<html><body>404 Not Found</body></html>", 404, {}),
            "empty body": (b"", 200, {}),
            "only mandatory": (b'{"needUpdate":false,"mustUpdate":true,"title":"t"}', 200,
                               {"mustUpdate": 1, "title": "t"}),
        }
        for name, (body, status, values) in cases.items():
            with self.subTest(name):
                self.serve(body, status=status)
                self.assertStored(self.check(), 0, **values)
                self.doCleanups()

    def test_body_read_in_several_pieces_is_read_whole(self):
        filler = b" " * 9000  # two full 4096-byte reads and a shorter last one
        body = b'{"needUpdate":true,' + filler + b'"title":"late","versionName":"3"}'
        pieces = [body[i:i + 1500] for i in range(0, len(body), 1500)]
        self.serve(body, chunks=pieces)
        self.assertStored(self.check(), 1, needUpdate=1, title="late", versionName="3")

    def test_connection_cut_mid_body_keeps_what_came(self):
        self.serve(b'{"needUpdate":true,"title":"first part",', behaviour="cut")
        self.assertStored(self.check(), 1, needUpdate=1, title="first part")

    def test_no_answer_stores_nothing(self):
        self.assertNothingStored(self.check())  # nothing listens on the port

    def test_endless_body_stops_at_the_cap(self):
        server = self.serve(behaviour="endless")
        started = time.monotonic()
        self.assertNothingStored(self.check())
        self.assertLess(time.monotonic() - started, 30)
        self.assertLess(server.streamed, 64 << 20)

    def test_silent_server_keeps_the_window_responsive_and_exit_does_not_wait(self):
        server = self.serve(behaviour="silent")
        program = self.start()
        self.main_window()
        for _ in range(100):
            if server.requests:
                break
            time.sleep(0.1)
        self.assertEqual(len(server.requests), 1)
        self.assertEqual(self.helper("send", "main", WM_SIZE, 0, 0)["result"], 0)
        self.assertEqual(self.helper("size", "main", 1250, 850)["width"], 1250)
        started = time.monotonic()
        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0, timeout=10)
        self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()
