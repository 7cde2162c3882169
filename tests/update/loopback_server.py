#!/usr/bin/env python3
"""Loopback HTTPS server for the update-check tests: GET ...?pad=/case/NAME.xml
answers case NAME; the real description file (/pakforge/pakforge.xml) the case
named in the file DIR/case. Requests are logged as JSON lines to DIR/requests.log.
Case "late" holds its answer until DIR/release exists, then makes DIR/answered."""
import argparse
import http.server
import json
import os
import ssl
import sys
import threading
import time
import urllib.parse

BIG = b"3.4.0.0" + b" " * (70 * 1024)

# name: (status, body, delay before answering in seconds)
CASES = {
    "newer": (200, b"3.4.0.0\r\n", 0),
    "equal": (200, b"3.3.0.0\r\n", 0),
    "older": (200, b"3.2.9.9\r\n", 0),
    "blank": (200, b" \r\n\t\r\n", 0),
    "empty": (200, b"", 0),
    "odd": (200, b"3.4.0.0", 0),
    "two": (200, b"3.4\r\n", 0),
    "letter": (200, b"3.x.0.0\r\n", 0),
    "notfound": (404, b"3.4.0.0\r\n", 0),
    "error": (500, b"3.4.0.0\r\n", 0),
    "slow": (200, b"3.4.0.0\r\n", 0.7),
    "big": (200, BIG, 0),
    "cliold": (200, b"0.9.0.0\r\n", 0),
    "late": (200, b"3.4.0.0\r\n", 0),
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        self.request.do_handshake()

    def log_message(self, *args):
        pass

    def do_GET(self):
        with self.server.log_lock, open(self.server.log_path, "a") as log:
            log.write(json.dumps({"line": self.requestline, "headers": dict(self.headers.items())}) + "\n")
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        pad = query.get("pad", [""])[0]
        if pad == "/pakforge/pakforge.xml":
            with open(self.server.case_file) as f:
                name = f.read().strip()
        else:
            name = os.path.splitext(os.path.basename(pad))[0]
        if name == "hang":
            while True:  # never answers; the client has to give up
                time.sleep(1)
        if name == "chunks":
            return self.send_pieces([b"3.", b"4.0", b".0\r\n"])
        if name == "bigchunks":
            return self.send_pieces([BIG[i:i + 8192] for i in range(0, len(BIG), 8192)])
        if name == "tohttp":  # a redirect that would leave TLS
            self.send_response(302)
            self.send_header("Location", "http://127.0.0.1:%d/pad/getpad.php?pad=/case/newer.xml&field=version"
                             % self.server.server_address[1])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if name == "redirect":
            self.send_response(302)
            self.send_header("Location", "/pad/getpad.php?pad=/case/newer.xml&field=version")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        status, body, delay = CASES.get(name, (404, b"no such case\n", 0))
        if name == "late":  # the test says when, so the answer lands where it wants it
            while not os.path.exists(os.path.join(self.server.folder, "release")):
                time.sleep(0.05)
        time.sleep(delay)
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        if name == "late":
            open(os.path.join(self.server.folder, "answered"), "w").close()

    # A body in chunks with pauses between them, so that it is not all
    # there at the first read.
    def send_pieces(self, pieces):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        for piece in pieces:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()
            time.sleep(0.15 if len(pieces) < 4 else 0.01)
        self.wfile.write(b"0\r\n\r\n")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def get_request(self):
        sock, address = self.socket.accept()
        # The handshake runs in the handler's thread, so a client that
        # never finishes one does not stop the server.
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        pass  # refused handshakes (untrusted certificate tests) are expected


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)  # server.pem/.key in; port, requests.log, case
    folder = parser.parse_args().dir
    server = Server(("127.0.0.1", 0), Handler)
    server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.context.load_cert_chain(os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
    server.log_path = os.path.join(folder, "requests.log")
    server.log_lock = threading.Lock()
    server.case_file = os.path.join(folder, "case")
    server.folder = folder
    with open(os.path.join(folder, "port.tmp"), "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
