#!/usr/bin/env python3
"""A demo update endpoint on 127.0.0.1 at the port given: offers an optional update to the
program built by tools/run.sh, so a run shows the window and the update prompt. Serves until
stopped."""
import http.server
import json
import sys

PORT = int(sys.argv[1])
DOCUMENT = json.dumps({
    "needUpdate": True,
    "mustUpdate": False,
    "title": "Ostrel Browser 2.0",
    "message": "全新的界面\\n更快的启动速度\\n修复了若干问题",
    "url": f"http://127.0.0.1:{PORT + 2}/download",
    "versionName": "2.0.0",
}, ensure_ascii=False).replace("\\\\n", "\\n").encode()


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(DOCUMENT)))
        self.end_headers()
        self.wfile.write(DOCUMENT)

    def log_message(self, *args):
        pass


http.server.HTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
