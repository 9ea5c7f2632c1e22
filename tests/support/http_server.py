#!/usr/bin/env python3
"""A loopback web server for the download tests.

Usage: http_server.py DIR. Makes a test CA (DIR/ca.pem), a CA that signed nothing
(DIR/other-ca.pem) and a server certificate for 127.0.0.1/localhost with the openssl command,
then serves the same routes over https and http and prints one line:
"https=PORT http=PORT closed=PORT" (closed: a port nothing listens on). Runs until killed.

http_server.py --then COMMAND...: the same in a folder of its own, running COMMAND with that
line in ZORBENT_HTTP_SERVER and the folder in ZORBENT_HTTP_DIR; exits with COMMAND's status.
A test under wine cannot start a program of this machine, so the server starts it instead.

Routes: /file (FILE_SIZE known bytes: byte i is (i * 7) % 256), /big (endless chunks, no
length), /big-declared (a Content-Length of 1 GiB), /stall (headers, then nothing), /drip (a
byte every 100 ms), /redirect-once (to /file), /redirect-loop (to itself), /redirect-http
(https to the http port), /404, /503. Any other path is a file below DIR/www when there is one
(a folder a test fills: manifests, their signatures and firmware files), else 404.
"""

import http.server
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

FILE_SIZE = 100000
CHUNK = bytes(range(256)) * 64
FILE_BYTES = bytes((i * 7) % 256 for i in range(FILE_SIZE))


def make_certificates(folder):
    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=zorbent test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", "-x509", *ec, "-keyout", "other.key", "-out", "other-ca.pem", "-days", "2",
        "-subj", "/CN=zorbent other CA", "-addext", "basicConstraints=critical,CA:TRUE")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    http_port = 0
    folder = ""

    def log_message(self, *args):
        pass

    def answer(self, status, headers=(), body=b""):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if not any(name == "Content-Length" for name, _ in headers):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        try:
            self.route()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout):
            self.close_connection = True

    def route(self):
        path = self.path
        if path == "/file":
            self.answer(200, [("Content-Type", "application/octet-stream")], FILE_BYTES)
        elif path == "/big":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for _ in range(10000):  # 160 MB at most, should a client read on
                self.wfile.write(b"%x\r\n%s\r\n" % (len(CHUNK), CHUNK))
            self.wfile.write(b"0\r\n\r\n")
        elif path == "/big-declared":
            self.send_response(200)
            self.send_header("Content-Length", str(1 << 30))
            self.end_headers()
            for _ in range(1000):
                self.wfile.write(CHUNK)
        elif path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"x" * 10)
            self.wfile.flush()
            time.sleep(60)
            self.close_connection = True
        elif path == "/drip":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            for _ in range(100):
                self.wfile.write(b"x")
                self.wfile.flush()
                time.sleep(0.1)
        elif path == "/redirect-once":
            self.answer(302, [("Location", "/file")])
        elif path == "/redirect-loop":
            self.answer(302, [("Location", "/redirect-loop")])
        elif path == "/redirect-http":
            self.answer(302, [("Location", "http://127.0.0.1:%d/file" % Handler.http_port)])
        elif path == "/503":
            self.answer(503, body=b"busy")
        elif self.static_file(path):
            pass
        else:
            self.answer(404, body=b"no such thing")

    def static_file(self, path):
        root = os.path.realpath(os.path.join(Handler.folder, "www"))
        local = os.path.realpath(os.path.join(root, path.split("?")[0].lstrip("/")))
        if not local.startswith(root + os.sep) or not os.path.isfile(local):
            return False
        with open(local, "rb") as f:
            self.answer(200, [("Content-Type", "application/octet-stream")], f.read())
        return True


class TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    context = None

    def finish_request(self, request, client_address):
        # The handshake runs in the request's own thread: a client that stalls in it or
        # refuses the certificate holds up no one else.
        request.settimeout(30)
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass


class PlainServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass


def main():
    then = sys.argv[2:] if sys.argv[1] == "--then" else None
    folder = tempfile.mkdtemp(prefix="zorbent-http-") if then else sys.argv[1]
    make_certificates(folder)
    Handler.folder = folder
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "server.pem"),
                            os.path.join(folder, "server.key"))
    TlsServer.context = context
    tls = TlsServer(("127.0.0.1", 0), Handler)
    plain = PlainServer(("127.0.0.1", 0), Handler)
    Handler.http_port = plain.server_address[1]
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        closed_port = closed.getsockname()[1]
    threading.Thread(target=plain.serve_forever, daemon=True).start()
    line = "https=%d http=%d closed=%d" % (tls.server_address[1], plain.server_address[1],
                                          closed_port)
    if then:
        threading.Thread(target=tls.serve_forever, daemon=True).start()
        env = dict(os.environ, ZORBENT_HTTP_SERVER=line, ZORBENT_HTTP_DIR=folder)
        status = subprocess.run(then, env=env).returncode
        shutil.rmtree(folder, ignore_errors=True)
        sys.exit(status)
    print(line, flush=True)
    tls.serve_forever()


if __name__ == "__main__":
    main()
