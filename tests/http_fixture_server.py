"""A loopback HTTP server for the transport tests: `http_fixture_server.py [--] PROGRAM ARGS...`
runs PROGRAM with VELMORA_TEST_HTTP_PORT (the server on 127.0.0.1), VELMORA_TEST_CLOSED_PORT (a
port nobody listens on) and, when openssl is at hand, VELMORA_TEST_HTTPS_PORT (the same server
over TLS, self-signed) set, and exits with its exit code. Paths work below any base path:
/fx/echo (the request as it arrived), /fx/status/N, /fx/redirect, /fx/size/N and /fx/chunked/N
(N pattern bytes), /fx/stall/MS, /fx/stall-body/MS (part of the body, a wait, the rest),
/fx/drop (1000 of 100000 announced bytes) and /fx/drop-chunked (no final chunk)."""
import http.server
import os
import re
import shutil
import socket
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

    def answer(self, status, body=None, headers=()):
        """The status and headers; then the body with its length, when one is given."""
        self.send_response(status)
        for name, value in list(headers) + ([("Content-Length", str(len(body)))] if body is not None else []):
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body or b"")

    def cut_off(self):
        self.wfile.flush()
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def handle_any(self):
        # The transport always announces its body's length.
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        m = re.search(r"/fx/([a-z-]+)(?:/(\d+))?", self.path)
        what, number = (m.group(1), int(m.group(2) or 0)) if m else ("", 0)
        if what == "echo":
            head = [self.requestline] + ["%s: %s" % item for item in self.headers.items()]
            self.answer(200, ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body)
        elif what == "status":
            self.answer(number, b"body of %d" % number)
        elif what == "redirect":
            self.answer(302, b"moved", [("Location", "/fx/echo")])
        elif what == "size":
            self.answer(200, pattern(number))
        elif what == "chunked":
            self.answer(200, None, [("Transfer-Encoding", "chunked")])
            data = pattern(number)
            for at in range(0, len(data), 5000):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data[at:at + 5000]), data[at:at + 5000]))
            self.wfile.write(b"0\r\n\r\n")
        elif what == "stall":
            time.sleep(number / 1000.0)
            self.answer(200, b"late")
        elif what == "stall-body":
            self.answer(200, None, [("Content-Length", "2000")])
            self.wfile.write(b"a" * 1000)
            self.wfile.flush()
            time.sleep(number / 1000.0)
            self.wfile.write(b"b" * 1000)
        elif what == "drop":
            self.answer(200, None, [("Content-Length", "100000")])
            self.wfile.write(b"x" * 1000)
            self.cut_off()
        elif what == "drop-chunked":
            self.answer(200, None, [("Transfer-Encoding", "chunked")])
            self.wfile.write(b"3e8\r\n" + b"y" * 1000 + b"\r\n")
            self.cut_off()
        else:
            self.answer(404, b"unknown fixture path")

    do_GET = do_POST = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # refused handshakes and cut connections are what the tests provoke


def serve(folder, tls):
    """The fixture, started; over TLS with a certificate no client trusts (None without openssl)."""
    server = Server(("127.0.0.1", 0), Handler, bind_and_activate=not tls)
    if tls:
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        if not shutil.which("openssl") or subprocess.run(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                 "-keyout", key, "-out", cert], capture_output=True).returncode != 0:
            return None
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
        server.server_bind()
        server.server_activate()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main(argv):
    argv = argv[1:] if argv[:1] == ["--"] else argv
    env = dict(os.environ)
    # The loopback server is reached directly, whatever proxy the machine is set up with.
    for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
        env.pop(name, None)
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    env["VELMORA_TEST_CLOSED_PORT"] = str(closed.getsockname()[1])
    closed.close()
    with tempfile.TemporaryDirectory() as folder:
        servers = [serve(folder, False), serve(folder, True)]
        env["VELMORA_TEST_HTTP_PORT"] = str(servers[0].server_address[1])
        if servers[1]:
            env["VELMORA_TEST_HTTPS_PORT"] = str(servers[1].server_address[1])
        try:
            return subprocess.call(argv, env=env)
        finally:
            for server in filter(None, servers):
                server.shutdown()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
