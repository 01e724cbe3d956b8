"""A loopback HTTP server for the transport tests: `http_fixture_server.py [--] PROGRAM ARGS...`
runs PROGRAM with VELMORA_TEST_HTTP_PORT (this server), VELMORA_TEST_CLOSED_PORT (nobody listens)
and, with openssl at hand, VELMORA_TEST_HTTPS_PORT (the same over self-signed TLS) set. Paths are
matched below any base path; see Handler.handle_any."""
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


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    log_message = lambda *args: None

    def answer(self, status, body=None, headers=()):
        """The status and headers; then the body with its length, when one is given."""
        self.send_response(status)
        for name, value in list(headers) + ([("Content-Length", str(len(body)))] if body is not None else []):
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body or b"")

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
            # Byte i is (i*131 + i//2048) mod 256: every 2048-byte piece differs from its neighbours.
            self.answer(200, bytes(((i * 131) + (i >> 11)) & 0xFF for i in range(number)))
        elif what == "stall":
            time.sleep(number / 1000.0)
            self.answer(200, b"late")
        elif what in ("stall-body", "drop", "drop-chunked"):
            # Part of an announced body, then a wait and the rest, or the connection cut.
            chunked = what == "drop-chunked"
            self.answer(200, None, [("Transfer-Encoding", "chunked") if chunked else ("Content-Length", "2000")])
            self.wfile.write(b"3e8\r\n" + b"y" * 1000 + b"\r\n" if chunked else b"a" * 1000)
            self.wfile.flush()
            if what == "stall-body":
                time.sleep(number / 1000.0)
                self.wfile.write(b"b" * 1000)
            else:
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
        else:
            self.answer(404, b"unknown fixture path")

    do_GET = do_POST = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    handle_error = lambda *args: None  # refused handshakes and cut connections are what the tests provoke


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
    # The loopback server is reached directly, whatever proxy the machine is set up with.
    env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        env["VELMORA_TEST_CLOSED_PORT"] = str(closed.getsockname()[1])
    with tempfile.TemporaryDirectory() as folder:
        for name, server in (("HTTP", serve(folder, False)), ("HTTPS", serve(folder, True))):
            if server:
                env["VELMORA_TEST_%s_PORT" % name] = str(server.server_address[1])
        return subprocess.call(argv, env=env)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
