#!/usr/bin/env python3
"""Reference sync server for Velmora: accounts by API key, one session per garden, snapshot
uploads merged into the latest garden, operator commands offered until acknowledged, and
two-phase storage deposits. Python 3 standard library only; all state lives in sqlite.

    server.py --host 127.0.0.1 --port 0 --db garden.sqlite [--admin-token T] [--test-faults]
    server.py --db garden.sqlite --add-key NAME
"""
import argparse
import collections
import hmac
import json
import os
import re
import secrets
import signal
import socket
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import documents  # noqa: E402
from documents import DocumentError  # noqa: E402
from store import Refusal, Store  # noqa: E402

HELLO_PATH = "/api/v1/session/hello"
GOODBYE_PATH = "/api/v1/session/goodbye"
DEPOSIT_PATH = "/api/v1/inventory/deposit"
DEFAULT_MAX_BODY = 4 * 1024 * 1024
# A body declared larger than the cap is read and thrown away up to this much before the
# 413 goes out, so the client sees the answer instead of a reset connection.
DRAIN_LIMIT = 16 * 1024 * 1024
ACCOUNT_NAME = re.compile(r"^[A-Za-z0-9_.-]{1,64}$")
INT_TEXT = re.compile(r"-?[0-9]{1,10}")
LENGTH_TEXT = re.compile(r"[0-9]{1,15}")


class HttpError(Exception):
    def __init__(self, status, reason, extra=None):
        super().__init__(reason)
        self.status = status
        self.reason = reason
        self.extra = extra or {}


def json_response(status, value):
    return status, json.dumps(value, separators=(",", ":")).encode("utf-8"), "application/json"


def error_response(status, reason, extra=None):
    body = {"ok": False, "error": reason}
    body.update(extra or {})
    return json_response(status, body)


def parse_int32(text, what):
    if text is None or not INT_TEXT.fullmatch(text.strip()):
        raise HttpError(400, "%s must be an integer" % what)
    value = int(text.strip())
    if not documents.is_int(value):
        raise HttpError(400, "%s is out of range" % what)
    return value


# ---- fault switches ------------------------------------------------------------------------

class Faults:
    """Misbehaviour on purpose, for tests: applies to the mod-facing endpoints only."""

    def __init__(self):
        self.lock = threading.Lock()
        self.set({})

    def set(self, doc):
        if not isinstance(doc, dict):
            raise DocumentError("faults must be a JSON object")
        statuses = doc.get("statuses", [])
        if not isinstance(statuses, list) or not all(documents.is_int(s, 200, 599) for s in statuses):
            raise DocumentError("statuses must be a list of HTTP statuses 200 to 599")
        delay = doc.get("delay_seconds", 0)
        if isinstance(delay, bool) or not isinstance(delay, (int, float)) or not 0 <= delay <= 120:
            raise DocumentError("delay_seconds must be 0 to 120")
        drop = doc.get("drop")
        if drop not in (None, "close", "mid_body"):
            raise DocumentError("drop must be close or mid_body")
        counts = {}
        for key in ("drop_count", "oversize_count", "delay_count"):
            counts[key] = doc.get(key, 1 if key != "delay_count" else 0)
            if not documents.is_int(counts[key], 0, 1000000):
                raise DocumentError("%s must be a count" % key)
        oversize = doc.get("oversize_bytes", 0)
        if not documents.is_int(oversize, 0, 64 * 1024 * 1024):
            raise DocumentError("oversize_bytes must be 0 to 64 MiB")
        match = doc.get("match", "")
        if not isinstance(match, str):
            raise DocumentError("match must be a path prefix")
        with self.lock:
            self.statuses = collections.deque(statuses)
            self.delay = float(delay)
            self.delay_left = counts["delay_count"]  # 0: every request until cleared
            self.drop = drop
            self.drop_left = counts["drop_count"] if drop else 0
            self.oversize = oversize
            self.oversize_left = counts["oversize_count"] if oversize else 0
            self.match = match
            self.applied = collections.Counter()

    def state(self):
        with self.lock:
            return {"statuses": list(self.statuses), "delay_seconds": self.delay, "delay_count": self.delay_left,
                    "drop": self.drop, "drop_count": self.drop_left, "oversize_bytes": self.oversize,
                    "oversize_count": self.oversize_left, "match": self.match, "applied": dict(self.applied)}

    def take(self, path):
        """The faults for one request: (delay seconds, action, argument)."""
        with self.lock:
            if not path.startswith(self.match):
                return 0.0, None, None
            delay = 0.0
            if self.delay > 0:
                delay = self.delay
                self.applied["delay"] += 1
                if self.delay_left > 0:
                    self.delay_left -= 1
                    if self.delay_left == 0:
                        self.delay = 0.0
            if self.drop_left > 0:
                self.drop_left -= 1
                self.applied[self.drop] += 1
                return delay, self.drop, None
            if self.statuses:
                self.applied["status"] += 1
                return delay, "status", self.statuses.popleft()
            if self.oversize_left > 0:
                self.oversize_left -= 1
                self.applied["oversize"] += 1
                return delay, "oversize", self.oversize
            return delay, None, None


# ---- request handling ----------------------------------------------------------------------

class SyncServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, store, options):
        super().__init__(address, Handler)
        self.store = store
        self.options = options
        self.faults = Faults() if options.test_faults else None
        self.ack_path = re.compile("^" + re.escape(options.command_path) + r"/([0-9]{1,10})/ack$")


class Handler(BaseHTTPRequestHandler):
    server_version = "velmora-sync/1"
    protocol_version = "HTTP/1.1"
    timeout = 30  # seconds a slow client may take per read

    def do_GET(self):
        self._handle("GET")

    def do_POST(self):
        self._handle("POST")

    def _other_method(self):
        self._body_quietly()
        self._send(error_response(405, "use GET or POST"))

    do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = _other_method

    def log_message(self, fmt, *args):
        if not self.server.options.quiet:
            sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    # -- plumbing --

    def _body(self):
        if hasattr(self, "_cached_body"):
            return self._cached_body
        self._cached_body = b""
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            self.close_connection = True
            raise HttpError(411, "a Content-Length is required")
        length_text = self.headers.get("Content-Length")
        if length_text is None:
            return b""
        if not LENGTH_TEXT.fullmatch(length_text.strip()):
            self.close_connection = True
            raise HttpError(400, "bad Content-Length")
        length = int(length_text)
        if length > self.server.options.max_body:
            self.close_connection = True
            self._discard(min(length, DRAIN_LIMIT))
            raise HttpError(413, "body larger than %d bytes" % self.server.options.max_body)
        data = self.rfile.read(length)
        if len(data) != length:
            self.close_connection = True
            raise HttpError(400, "body shorter than its Content-Length")
        self._cached_body = data
        return data

    def _discard(self, length):
        try:
            while length > 0:
                chunk = self.rfile.read(min(length, 65536))
                if not chunk:
                    break
                length -= len(chunk)
        except OSError:
            pass

    def _json(self):
        return documents.parse_json_body(self._body())

    def _send(self, response, truncate=False):
        status, body, content_type = response
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if truncate:
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        else:
            self.wfile.write(body)

    def _handle(self, method):
        try:
            path = urlsplit(self.path).path
            if path == "/admin" or path.startswith("/admin/"):
                response = self._guarded(lambda: self._admin(method, path))
                self._send(response)
                return
            base = self.server.options.base_path
            if base and not (path == base or path.startswith(base + "/")):
                self._body_quietly()
                self._send(error_response(404, "not found"))
                return
            rel = path[len(base):] if base else path
            delay, action, argument = self.server.faults.take(rel) if self.server.faults else (0.0, None, None)
            if delay:
                time.sleep(delay)
            if action == "close":
                self._body_quietly()
                self.close_connection = True
                return
            if action == "status":
                self._body_quietly()
                self._send(error_response(argument, "injected fault", {"status": argument}))
                return
            response = self._guarded(lambda: self._mod(method, rel))
            if action == "oversize":
                status, body, content_type = response
                response = status, body + b" " * max(0, argument - len(body)), content_type
            self._send(response, truncate=(action == "mid_body"))
        except OSError:  # the client went away or stalled past the timeout
            self.close_connection = True
        except Exception:
            traceback.print_exc()
            self.close_connection = True

    def _body_quietly(self):
        try:
            self._body()
        except HttpError:
            pass

    def _guarded(self, route):
        try:
            return route()
        except HttpError as e:
            return error_response(e.status, e.reason, e.extra)
        except Refusal as e:
            return error_response(e.status, e.reason)
        except DocumentError as e:
            return error_response(400, str(e))
        except Exception:
            traceback.print_exc()
            return error_response(500, "internal error")

    # -- the mod's endpoints --

    def _mod(self, method, rel):
        opts, store = self.server.options, self.server.store
        self._body()  # read (and size-check) first, so refusals never leave a body unread
        key = self.headers.get("X-Velmora-Key")
        account = store.account_for_key(key) if key else None
        if not account:
            raise HttpError(401, "unknown API key")
        account_id = account[0]
        slot = parse_int32(self.headers.get("X-Velmora-Save-Slot"), "X-Velmora-Save-Slot")
        sid = (self.headers.get("X-Velmora-Session") or "").strip()

        def require(verb):
            if method != verb:
                raise HttpError(405, "use %s" % verb)

        if rel == HELLO_PATH:
            require("POST")
            return self._hello(account_id, slot, documents.check_hello(self._json()))
        if rel == GOODBYE_PATH:
            require("POST")
            doc = documents.check_goodbye(self._json())
            return json_response(200, {"ok": True, "released": store.goodbye(account_id, slot, doc["session_id"])})
        if rel == opts.sync_path:
            require("POST")
            raw = self._body()
            doc = documents.check_snapshot(self._json())
            if not store.touch(account_id, slot, sid):
                raise HttpError(409, "this session does not hold the garden")
            upload_id, chao = store.record_upload(account_id, slot, sid, raw, doc)
            return json_response(200, {"ok": True, "upload_id": upload_id, "chao": chao})
        if rel == opts.command_path:
            require("GET")
            if not store.touch(account_id, slot, sid):
                raise HttpError(409, "this session does not hold the garden")
            return 200, store.command_document(account_id, slot).encode("utf-8"), "application/json"
        ack = self.server.ack_path.match(rel)
        if ack:
            require("POST")
            # The mod passes bytes above 127 of an error text through unchanged; keep the
            # outcome rather than refuse it, since an acknowledgement is never sent again.
            doc = documents.parse_json_body(self._body(), utf8_errors="replace")
            ok, error = documents.check_ack(doc)
            command_id = int(ack.group(1))
            if not documents.is_int(command_id):
                raise HttpError(404, "no such command for this garden")
            store.touch(account_id, slot, sid)
            recorded = store.ack(account_id, slot, command_id, ok, error)
            return json_response(200, {"ok": True, "recorded": recorded})
        if rel == DEPOSIT_PATH:
            require("POST")
            report = documents.check_transfer(self._json())
            holds = store.touch(account_id, slot, sid)
            state = store.deposit(account_id, slot, report, sid, holds)
            return json_response(200, {"ok": True, "transfer_id": report["transfer_id"], "state": state,
                                       "item_id": report["transfer_id"]})
        raise HttpError(404, "not found")

    def _hello(self, account_id, slot, doc):
        opts = self.server.options
        if opts.min_mod_version and documents.version_tuple(doc.get("mod_version", "")) < \
                documents.version_tuple(opts.min_mod_version):
            return json_response(426, {"held": False, "update_required": True,
                                       "error": "mod version %s is below %s" % (doc.get("mod_version", ""),
                                                                               opts.min_mod_version)})
        try:
            merged = self.server.store.hello(account_id, slot, doc)
        except Refusal as e:
            return json_response(e.status, {"held": False, "update_required": False, "error": e.reason})
        chao = len(merged["chao"]) if merged else 0
        # The mod scans the answer textually for the first quoted key, so the session id (a
        # free-form text) goes last where it cannot shadow "held" or "chao".
        return json_response(200, {
            "held": True, "available": chao > 0, "chao": chao,
            "intake_required": not (merged and merged.get("complete")), "update_required": False,
            "session_timeout_seconds": self.server.store.session_timeout, "session_id": doc["session_id"]})

    # -- the operator's endpoints --

    def _admin(self, method, path):
        token = self.server.options.admin_token
        given = self.headers.get("X-Velmora-Admin") or ""
        auth = self.headers.get("Authorization") or ""
        if auth.startswith("Bearer "):
            given = given or auth[7:].strip()
        if not hmac.compare_digest(given.encode("utf-8", "replace"), token.encode("utf-8")):
            self._body_quietly()
            raise HttpError(401, "operator token required")
        self._body()
        store = self.server.store
        query = parse_qs(urlsplit(self.path).query)
        parts = [unquote(p) for p in path.split("/")[2:] if p != ""]

        def route(pattern, verb):
            if len(parts) != len(pattern):
                return False
            if not all(p == "*" or p == q for p, q in zip(pattern, parts)):
                return False
            if method != verb:
                raise HttpError(405, "use %s" % verb)
            return True

        def account_id(name):
            found = store.account_by_name(name)
            if found is None:
                raise HttpError(404, "no such account")
            return found

        def query_int(name, default):
            return parse_int32(query[name][0], name) if name in query else default

        if parts == ["accounts"] and method == "POST":
            doc = self._json()
            name = doc.get("name") if isinstance(doc, dict) else None
            if not isinstance(name, str) or not ACCOUNT_NAME.match(name):
                raise HttpError(400, "name must be 1 to 64 letters, digits, '.', '_' or '-'")
            return json_response(200, {"name": name, "api_key": store.add_key(name)})
        if route(["accounts"], "GET"):
            return json_response(200, {"accounts": store.accounts()})
        if route(["sessions"], "GET"):
            return json_response(200, {"sessions": store.sessions()})
        if route(["gardens"], "GET"):
            return json_response(200, {"gardens": store.gardens()})
        if route(["gardens", "*", "*"], "GET"):
            aid, slot = account_id(parts[1]), parse_int32(parts[2], "save slot")
            garden = store.garden(aid, slot)
            if garden is None:
                raise HttpError(404, "no snapshot for this garden yet")
            return json_response(200, garden)
        if route(["gardens", "*", "*", "uploads"], "GET"):
            aid, slot = account_id(parts[1]), parse_int32(parts[2], "save slot")
            limit = min(max(query_int("limit", 100), 1), 1000)
            return json_response(200, {"uploads": store.uploads(aid, slot, query_int("after", 0), limit)})
        if route(["uploads", "*"], "GET"):
            body = store.upload_body(parse_int32(parts[1], "upload id"))
            if body is None:
                raise HttpError(404, "no such upload")
            return 200, body, "application/json"
        if len(parts) == 4 and parts[0] == "gardens" and parts[3] == "commands":
            aid, slot = account_id(parts[1]), parse_int32(parts[2], "save slot")
            if method == "POST":
                kind, fields = documents.check_command_request(self._json())
                command_id = store.add_command(aid, slot, kind, fields)
                return json_response(200, {"id": command_id, "kind": kind, "fields": fields})
            route(["gardens", "*", "*", "commands"], "GET")
            return json_response(200, {"commands": store.commands(aid, slot)})
        if route(["commands", "*"], "GET"):
            command = store.command(parse_int32(parts[1], "command id"))
            if command is None:
                raise HttpError(404, "no such command")
            return json_response(200, command)
        if route(["accounts", "*", "storage"], "GET"):
            return json_response(200, store.storage(account_id(parts[1])))
        if route(["accounts", "*", "withdraw"], "POST"):
            aid = account_id(parts[1])
            doc = self._json()
            if not isinstance(doc, dict) or not isinstance(doc.get("item_id"), str) \
                    or not documents.HEX32.match(doc["item_id"]):
                raise HttpError(400, "withdraw needs the item_id of a stored item")
            if not documents.is_int(doc.get("save_slot")) or not documents.is_int(doc.get("garden"), 1, 3):
                raise HttpError(400, "withdraw needs a save_slot and a garden 1 to 3")
            if not isinstance(doc.get("force", False), bool):
                raise HttpError(400, "force must be a boolean")
            command_id, fields = store.withdraw(aid, doc["item_id"], doc["save_slot"], doc["garden"],
                                                doc.get("force", False))
            return json_response(200, {"id": command_id, "kind": "spawn_inventory", "fields": fields})
        if parts == ["faults"]:
            if not self.server.faults:
                raise HttpError(404, "fault switches are off (start with --test-faults)")
            if method == "POST":
                self.server.faults.set(self._json())
            return json_response(200, self.server.faults.state())
        raise HttpError(404, "not found")


# ---- start-up ------------------------------------------------------------------------------

def parse_args(argv):
    p = argparse.ArgumentParser(description="Velmora reference sync server")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=8765, help="0 picks a free port")
    p.add_argument("--db", required=True, help="sqlite database file (created when missing)")
    p.add_argument("--admin-token", help="operator token; a random one is printed when not given")
    p.add_argument("--test-faults", action="store_true", help="enable POST /admin/faults")
    p.add_argument("--session-timeout", type=float, default=120.0,
                   help="seconds without requests after which another session may take a garden")
    p.add_argument("--base-path", default="", help="path prefix of the mod's endpoints, e.g. /garden")
    p.add_argument("--sync-path", default="/api/v1/sync")
    p.add_argument("--command-path", default="/api/v1/commands")
    p.add_argument("--max-body", type=int, default=DEFAULT_MAX_BODY, help="largest request body in bytes")
    p.add_argument("--min-mod-version", default="", help="greetings from older mods get update_required")
    p.add_argument("--quiet", action="store_true", help="no request log on stderr")
    p.add_argument("--add-key", metavar="NAME", help="print a new API key for account NAME and exit")
    opts = p.parse_args(argv)
    if opts.session_timeout <= 0:
        p.error("--session-timeout must be above 0")
    if opts.max_body < 1:
        p.error("--max-body must be at least 1")
    opts.base_path = opts.base_path.rstrip("/")
    if opts.base_path and not opts.base_path.startswith("/"):
        p.error("--base-path must start with /")
    for name in ("sync_path", "command_path"):
        if not getattr(opts, name).startswith("/"):
            p.error("--%s must start with /" % name.replace("_", "-"))
    if opts.add_key is not None and not ACCOUNT_NAME.match(opts.add_key):
        p.error("account names are 1 to 64 letters, digits, '.', '_' or '-'")
    return opts


def main(argv=None):
    opts = parse_args(sys.argv[1:] if argv is None else argv)
    store = Store(opts.db, opts.session_timeout)
    if opts.add_key is not None:
        print(store.add_key(opts.add_key), flush=True)
        store.close()
        return 0
    generated = not opts.admin_token
    if generated:
        opts.admin_token = secrets.token_hex(16)
    server = SyncServer((opts.host, opts.port), store, opts)
    host, port = server.server_address[:2]
    print("listening on http://%s:%d" % (host, port), flush=True)
    if generated:
        print("admin token: %s" % opts.admin_token, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown, daemon=True).start())
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        store.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
