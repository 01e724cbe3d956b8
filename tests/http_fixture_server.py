"""A loopback HTTP server for the transport tests, and the wrapper that runs a test program
beside it: `http_fixture_server.py [--] PROGRAM ARGS...` runs PROGRAM with VELMORA_TEST_HTTP_PORT
set to the server's port on 127.0.0.1, VELMORA_TEST_CLOSED_PORT to a port nobody listens on and,
when openssl is at hand, VELMORA_TEST_HTTPS_PORT to the same server over TLS with a self-signed
certificate; it exits with the program's exit code.

Paths are recognised from "/fx/" on, so they work below any base path:
    /fx/echo            200, a plain description of the request (see describe())
    /fx/mirror          200, the request body as the response body
    /fx/status/N        status N, body "body of N"
    /fx/redirect        302 to /fx/echo
    /fx/size/N          200, N pattern bytes with Content-Length
    /fx/chunked/N       200, N pattern bytes in chunked encoding
    /fx/stall/MS        waits MS milliseconds before answering
    /fx/stall-body/MS   sends part of the body, waits MS milliseconds, sends the rest
    /fx/drop            announces 100000 bytes, sends 1000, closes the connection
    /fx/drop-chunked    sends one chunk, closes without the final chunk
"""
import http.server
import os
import re
import socket
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time


def pattern(n):
    """Byte i is (i*131 + i//2048) mod 256: every 2048-byte piece differs from its neighbours."""
    return bytes(((i * 131) + (i >> 11)) & 0xFF for i in range(n))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def describe(self, body):
        lines = ["method " + self.command, "path " + self.path]
        lines += ["header " + name + ": " + value for name, value in self.headers.items()]
        lines.append("body " + body.hex())
        return ("\n".join(lines) + "\n").encode("utf-8")

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def begin(self, header, value):
        self.send_response(200)
        self.send_header(header, value)
        self.end_headers()

    def cut_off(self):
        self.wfile.flush()
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def handle_any(self):
        # The transport always announces its body's length.
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        m = re.search(r"/fx/([a-z-]+)(?:/(\d+))?", self.path)
        what = m.group(1) if m else ""
        number = int(m.group(2)) if m and m.group(2) else 0
        if what == "echo":
            self.answer(200, self.describe(body), [("Content-Type", "text/plain; charset=utf-8")])
        elif what == "mirror":
            self.answer(200, body)
        elif what == "status":
            self.answer(number, b"body of %d" % number)
        elif what == "redirect":
            self.answer(302, b"moved", [("Location", "/fx/echo")])
        elif what == "size":
            self.answer(200, pattern(number))
        elif what == "chunked":
            self.begin("Transfer-Encoding", "chunked")
            data = pattern(number)
            for at in range(0, len(data), 5000):
                piece = data[at:at + 5000]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        elif what == "stall":
            time.sleep(number / 1000.0)
            self.answer(200, b"late")
        elif what == "stall-body":
            self.begin("Content-Length", "2000")
            self.wfile.write(b"a" * 1000)
            self.wfile.flush()
            time.sleep(number / 1000.0)
            self.wfile.write(b"b" * 1000)
        elif what == "drop":
            self.begin("Content-Length", "100000")
            self.wfile.write(b"x" * 1000)
            self.cut_off()
        elif what == "drop-chunked":
            self.begin("Transfer-Encoding", "chunked")
            self.wfile.write(b"3e8\r\n" + b"y" * 1000 + b"\r\n")
            self.cut_off()
        else:
            self.answer(404, b"unknown fixture path")

    do_GET = do_POST = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # refused handshakes and cut connections are what the tests provoke


def tls_server(folder):
    """The fixture over TLS with a certificate no client trusts, or None without openssl."""
    if not shutil.which("openssl"):
        return None
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                           "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if made.returncode != 0:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = Server(("127.0.0.1", 0), Handler, bind_and_activate=False)
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.server_bind()
    server.server_activate()
    return server


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main(argv):
    if argv and argv[0] == "--":
        argv = argv[1:]
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ)
    # The loopback server is reached directly, whatever proxy the machine is set up with.
    for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
        env.pop(name, None)
    env["VELMORA_TEST_HTTP_PORT"] = str(server.server_address[1])
    env["VELMORA_TEST_CLOSED_PORT"] = str(closed_port())
    with tempfile.TemporaryDirectory() as folder:
        secure = tls_server(folder)
        if secure:
            threading.Thread(target=secure.serve_forever, daemon=True).start()
            env["VELMORA_TEST_HTTPS_PORT"] = str(secure.server_address[1])
        try:
            return subprocess.call(argv, env=env)
        finally:
            server.shutdown()
            if secure:
                secure.shutdown()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
