"""The server's state, all of it in one sqlite file so that a restart loses nothing.

One connection is shared by the request threads behind one lock; every change is one
transaction, committed (with synchronous=FULL) before the answer goes out.
"""
import contextlib
import hashlib
import json
import secrets
import sqlite3
import threading
import time

import documents

SCHEMA = """
CREATE TABLE IF NOT EXISTS accounts (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL UNIQUE,
    created_at REAL NOT NULL);
CREATE TABLE IF NOT EXISTS api_keys (
    key_hash TEXT PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    created_at REAL NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
    account_id INTEGER NOT NULL,
    save_slot INTEGER NOT NULL,
    session_id TEXT NOT NULL,
    mod_version TEXT NOT NULL,
    writeback INTEGER NOT NULL,
    capabilities TEXT NOT NULL,
    started_at REAL NOT NULL,
    last_seen REAL NOT NULL,
    PRIMARY KEY (account_id, save_slot));
-- Sessions that said goodbye: a greeting of theirs that was held up in the network and
-- arrives afterwards must not take the garden again (kept for a day, then pruned).
CREATE TABLE IF NOT EXISTS ended_sessions (
    account_id INTEGER NOT NULL,
    save_slot INTEGER NOT NULL,
    session_id TEXT NOT NULL,
    ended_at REAL NOT NULL,
    PRIMARY KEY (account_id, save_slot, session_id));
CREATE TABLE IF NOT EXISTS uploads (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    account_id INTEGER NOT NULL,
    save_slot INTEGER NOT NULL,
    session_id TEXT NOT NULL,
    received_at REAL NOT NULL,
    full INTEGER NOT NULL,
    body BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS uploads_by_garden ON uploads (account_id, save_slot, id);
CREATE TABLE IF NOT EXISTS gardens (
    account_id INTEGER NOT NULL,
    save_slot INTEGER NOT NULL,
    doc TEXT NOT NULL,
    updated_at REAL NOT NULL,
    last_upload_id INTEGER NOT NULL,
    PRIMARY KEY (account_id, save_slot));
CREATE TABLE IF NOT EXISTS commands (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    account_id INTEGER NOT NULL,
    save_slot INTEGER NOT NULL,
    kind TEXT NOT NULL,
    fields TEXT NOT NULL,
    source TEXT NOT NULL,
    item_id TEXT,
    created_at REAL NOT NULL,
    offered INTEGER NOT NULL DEFAULT 0,
    acked_at REAL,
    ack_ok INTEGER,
    ack_error TEXT);
CREATE INDEX IF NOT EXISTS commands_by_garden ON commands (account_id, save_slot, acked_at, id);
CREATE TABLE IF NOT EXISTS transfers (
    account_id INTEGER NOT NULL,
    transfer_id TEXT NOT NULL,
    save_slot INTEGER NOT NULL,
    state TEXT NOT NULL,
    kind TEXT NOT NULL,
    item_type INTEGER NOT NULL,
    garden INTEGER NOT NULL,
    size INTEGER NOT NULL,
    age INTEGER NOT NULL,
    save_binding TEXT NOT NULL,
    save_digest TEXT,
    session_id TEXT NOT NULL,
    prepared_at REAL NOT NULL,
    committed_at REAL,
    PRIMARY KEY (account_id, transfer_id));
CREATE TABLE IF NOT EXISTS items (
    account_id INTEGER NOT NULL,
    item_id TEXT NOT NULL,
    kind TEXT NOT NULL,
    item_type INTEGER NOT NULL,
    size INTEGER NOT NULL,
    age INTEGER NOT NULL,
    from_slot INTEGER NOT NULL,
    from_garden INTEGER NOT NULL,
    state TEXT NOT NULL,
    stored_at REAL NOT NULL,
    command_id INTEGER,
    last_error TEXT,
    delivered_at REAL,
    PRIMARY KEY (account_id, item_id));
"""

# Room left in a command document below the mod's 262,144-byte read cap.
COMMAND_DOCUMENT_BYTES = 200_000


ENDED_SESSION_DAYS = 1


def key_hash(key):
    return hashlib.sha256(key.encode("utf-8", "replace")).hexdigest()


class Refusal(Exception):
    """A request the state does not allow; carries the HTTP status and a reason."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


class Store:
    def __init__(self, path, session_timeout=120.0):
        self.session_timeout = float(session_timeout)
        self.lock = threading.Lock()
        self.db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self.db.row_factory = sqlite3.Row
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=FULL")
        self.db.executescript(SCHEMA)

    def close(self):
        with self.lock:
            self.db.close()

    @contextlib.contextmanager
    def tx(self):
        with self.lock:
            self.db.execute("BEGIN IMMEDIATE")
            try:
                yield self.db
            except BaseException:
                self.db.execute("ROLLBACK")
                raise
            self.db.execute("COMMIT")

    def read(self, sql, args=()):
        with self.lock:
            return self.db.execute(sql, args).fetchall()

    # ---- accounts ----------------------------------------------------------------------

    def add_key(self, name, now=None):
        """Creates the account when new and gives it one more API key; returns the key."""
        now = now or time.time()
        key = secrets.token_hex(16)
        with self.tx() as db:
            db.execute("INSERT OR IGNORE INTO accounts (name, created_at) VALUES (?, ?)", (name, now))
            account_id = db.execute("SELECT id FROM accounts WHERE name = ?", (name,)).fetchone()[0]
            db.execute("INSERT INTO api_keys VALUES (?, ?, ?)", (key_hash(key), account_id, now))
        return key

    def account_for_key(self, key):
        rows = self.read("SELECT a.id, a.name FROM api_keys k JOIN accounts a ON a.id = k.account_id"
                         " WHERE k.key_hash = ?", (key_hash(key),))
        return (rows[0]["id"], rows[0]["name"]) if rows else None

    def account_by_name(self, name):
        rows = self.read("SELECT id FROM accounts WHERE name = ?", (name,))
        return rows[0]["id"] if rows else None

    def accounts(self):
        return [dict(r) for r in self.read(
            "SELECT a.name, a.created_at, (SELECT COUNT(*) FROM api_keys k WHERE k.account_id = a.id)"
            " AS keys FROM accounts a ORDER BY a.name")]

    # ---- sessions ----------------------------------------------------------------------

    def _holder(self, db, account_id, slot):
        return db.execute("SELECT * FROM sessions WHERE account_id = ? AND save_slot = ?",
                          (account_id, slot)).fetchone()

    def hello(self, account_id, slot, doc, now=None):
        """Greets a session. Returns the session record; Refusal 409 when another live
        session holds the garden."""
        now = now or time.time()
        sid = doc["session_id"]
        with self.tx() as db:
            if db.execute("SELECT 1 FROM ended_sessions WHERE account_id = ? AND save_slot = ? AND session_id = ?",
                          (account_id, slot, sid)).fetchone():
                raise Refusal(409, "this session has ended")
            row = self._holder(db, account_id, slot)
            if row and row["session_id"] != sid and now - row["last_seen"] <= self.session_timeout:
                raise Refusal(409, "another session already holds this garden")
            started = row["started_at"] if row and row["session_id"] == sid else now
            db.execute("INSERT OR REPLACE INTO sessions VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                       (account_id, slot, sid, doc.get("mod_version", ""), int(doc.get("writeback", False)),
                        json.dumps(doc.get("capabilities", [])), started, now))
            garden = db.execute("SELECT doc FROM gardens WHERE account_id = ? AND save_slot = ?",
                                (account_id, slot)).fetchone()
        merged = json.loads(garden["doc"]) if garden else None
        return merged

    def goodbye(self, account_id, slot, sid, now=None):
        now = now or time.time()
        with self.tx() as db:
            db.execute("DELETE FROM ended_sessions WHERE ended_at < ?", (now - ENDED_SESSION_DAYS * 86400,))
            db.execute("INSERT OR REPLACE INTO ended_sessions VALUES (?, ?, ?, ?)", (account_id, slot, sid, now))
            cur = db.execute("DELETE FROM sessions WHERE account_id = ? AND save_slot = ? AND session_id = ?",
                             (account_id, slot, sid))
            return cur.rowcount > 0

    def touch(self, account_id, slot, sid, now=None):
        """True when `sid` holds the garden. A session that timed out keeps the garden as long
        as nobody else greeted in between, so a quiet but live game is not locked out."""
        if not sid:
            return False
        now = now or time.time()
        with self.tx() as db:
            cur = db.execute("UPDATE sessions SET last_seen = ? WHERE account_id = ? AND save_slot = ?"
                             " AND session_id = ?", (now, account_id, slot, sid))
            return cur.rowcount > 0

    def sessions(self):
        now = time.time()
        out = []
        for r in self.read("SELECT s.*, a.name FROM sessions s JOIN accounts a ON a.id = s.account_id"):
            d = dict(r)
            d["capabilities"] = json.loads(d["capabilities"])
            d["live"] = now - d["last_seen"] <= self.session_timeout
            d["account"] = d.pop("name")
            del d["account_id"]
            out.append(d)
        return out

    # ---- snapshots ---------------------------------------------------------------------

    def record_upload(self, account_id, slot, sid, raw, doc, now=None):
        """Keeps the body as received and merges it into the garden; returns (upload id, chao)."""
        now = now or time.time()
        with self.tx() as db:
            cur = db.execute("INSERT INTO uploads (account_id, save_slot, session_id, received_at, full, body)"
                             " VALUES (?, ?, ?, ?, ?, ?)", (account_id, slot, sid, now, int(doc["full"]), raw))
            upload_id = cur.lastrowid
            row = db.execute("SELECT doc FROM gardens WHERE account_id = ? AND save_slot = ?",
                             (account_id, slot)).fetchone()
            merged = documents.merge_snapshot(json.loads(row["doc"]) if row else None, doc)
            merged["last_upload_id"] = upload_id
            merged["updated_at"] = now
            db.execute("INSERT OR REPLACE INTO gardens VALUES (?, ?, ?, ?, ?)",
                       (account_id, slot, json.dumps(merged, separators=(",", ":")), now, upload_id))
        return upload_id, len(merged["chao"])

    def garden(self, account_id, slot):
        rows = self.read("SELECT doc FROM gardens WHERE account_id = ? AND save_slot = ?", (account_id, slot))
        return json.loads(rows[0]["doc"]) if rows else None

    def gardens(self):
        out = []
        for r in self.read("SELECT g.save_slot, g.updated_at, g.last_upload_id, g.doc, a.name FROM gardens g"
                           " JOIN accounts a ON a.id = g.account_id ORDER BY a.name, g.save_slot"):
            doc = json.loads(r["doc"])
            out.append({"account": r["name"], "save_slot": r["save_slot"], "updated_at": r["updated_at"],
                        "last_upload_id": r["last_upload_id"], "chao": len(doc.get("chao", [])),
                        "complete": doc.get("complete", False)})
        return out

    def uploads(self, account_id, slot, after=0, limit=100):
        return [dict(r) for r in self.read(
            "SELECT id, session_id, received_at, full, LENGTH(body) AS bytes FROM uploads"
            " WHERE account_id = ? AND save_slot = ? AND id > ? ORDER BY id LIMIT ?",
            (account_id, slot, after, limit))]

    def upload_body(self, upload_id):
        rows = self.read("SELECT body FROM uploads WHERE id = ?", (upload_id,))
        return bytes(rows[0]["body"]) if rows else None

    # ---- commands ----------------------------------------------------------------------

    def _add_command(self, db, account_id, slot, kind, fields, source, item_id, now):
        cur = db.execute("INSERT INTO commands (account_id, save_slot, kind, fields, source, item_id, created_at)"
                         " VALUES (?, ?, ?, ?, ?, ?, ?)",
                         (account_id, slot, kind, json.dumps(fields), source, item_id, now))
        if cur.lastrowid > documents.INT32_MAX:
            raise Refusal(507, "command ids exhausted")
        return cur.lastrowid

    def add_command(self, account_id, slot, kind, fields, now=None):
        with self.tx() as db:
            return self._add_command(db, account_id, slot, kind, fields, "operator", None, now or time.time())

    def command_document(self, account_id, slot):
        """The document for one poll: every unacknowledged command, oldest first."""
        with self.tx() as db:
            rows = db.execute("SELECT id, kind, fields FROM commands WHERE account_id = ? AND save_slot = ?"
                              " AND acked_at IS NULL ORDER BY id", (account_id, slot)).fetchall()
            commands = [(r["id"], r["kind"], json.loads(r["fields"])) for r in rows]
            text = documents.command_document(commands, COMMAND_DOCUMENT_BYTES)
            offered = text.count('{"id":')
            for command_id, _, _ in commands[:offered]:
                db.execute("UPDATE commands SET offered = offered + 1 WHERE id = ?", (command_id,))
        return text

    def ack(self, account_id, slot, command_id, ok, error, now=None):
        """Records the outcome once. Returns True when recorded, False for a repeat."""
        now = now or time.time()
        with self.tx() as db:
            row = db.execute("SELECT * FROM commands WHERE id = ? AND account_id = ? AND save_slot = ?",
                             (command_id, account_id, slot)).fetchone()
            if not row:
                raise Refusal(404, "no such command for this garden")
            if row["acked_at"] is not None:
                return False
            db.execute("UPDATE commands SET acked_at = ?, ack_ok = ?, ack_error = ? WHERE id = ?",
                       (now, int(ok), error, command_id))
            if row["item_id"]:
                # A failed delivery may still have created the item in the game (the mod
                # reports some failures after the object exists), so it is not offered again
                # automatically: the operator decides (withdraw with "force").
                if ok:
                    db.execute("UPDATE items SET state = 'delivered', delivered_at = ?, last_error = NULL"
                               " WHERE account_id = ? AND item_id = ? AND command_id = ?",
                               (now, account_id, row["item_id"], command_id))
                else:
                    db.execute("UPDATE items SET state = 'failed', last_error = ?"
                               " WHERE account_id = ? AND item_id = ? AND command_id = ?",
                               (error, account_id, row["item_id"], command_id))
        return True

    def commands(self, account_id, slot):
        return [self._command_dict(r) for r in self.read(
            "SELECT * FROM commands WHERE account_id = ? AND save_slot = ? ORDER BY id", (account_id, slot))]

    def command(self, command_id):
        rows = self.read("SELECT * FROM commands WHERE id = ?", (command_id,))
        return self._command_dict(rows[0]) if rows else None

    @staticmethod
    def _command_dict(r):
        d = {"id": r["id"], "save_slot": r["save_slot"], "kind": r["kind"], "fields": json.loads(r["fields"]),
             "source": r["source"], "created_at": r["created_at"], "offered": r["offered"],
             "acknowledged": r["acked_at"] is not None}
        if r["item_id"]:
            d["item_id"] = r["item_id"]
        if r["acked_at"] is not None:
            d.update({"acked_at": r["acked_at"], "ok": bool(r["ack_ok"]), "error": r["ack_error"]})
        return d

    # ---- storage -----------------------------------------------------------------------

    def deposit(self, account_id, slot, report, sid, holds, now=None):
        """Applies one prepare or commit report; the same report twice changes nothing."""
        now = now or time.time()
        tid = report["transfer_id"]
        with self.tx() as db:
            row = db.execute("SELECT * FROM transfers WHERE account_id = ? AND transfer_id = ?",
                             (account_id, tid)).fetchone()
            if row and any(row[f] != report[f] for f in documents.ITEM_FIELDS):
                raise Refusal(409, "transfer id already used for a different item")
            if report["phase"] == "prepare":
                if row:
                    return row["state"]
                if not holds:
                    raise Refusal(409, "session does not hold this garden")
                db.execute("INSERT INTO transfers VALUES (?, ?, ?, 'prepared', ?, ?, ?, ?, ?, ?, NULL, ?, ?, NULL)",
                           (account_id, tid, slot, report["kind"], report["item_type"], report["garden"],
                            report["size"], report["age"], report["save_binding"], sid, now))
                return "prepared"
            # commit: the item has already left the game, so no session is required here
            if not row:
                raise Refusal(409, "commit without prepare")
            if row["state"] == "committed":
                if row["save_digest"] != report["save_digest"]:
                    raise Refusal(409, "transfer already committed with another digest")
                return "committed"
            db.execute("UPDATE transfers SET state = 'committed', save_digest = ?, committed_at = ?"
                       " WHERE account_id = ? AND transfer_id = ?", (report["save_digest"], now, account_id, tid))
            db.execute("INSERT INTO items (account_id, item_id, kind, item_type, size, age, from_slot, from_garden,"
                       " state, stored_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'stored', ?)",
                       (account_id, tid, row["kind"], row["item_type"], row["size"], row["age"],
                        row["save_slot"], row["garden"], now))
            return "committed"

    def storage(self, account_id):
        items = [dict(r) for r in self.read(
            "SELECT item_id, kind, item_type, size, age, from_slot, from_garden, state, stored_at, command_id,"
            " last_error, delivered_at FROM items WHERE account_id = ? ORDER BY stored_at, item_id", (account_id,))]
        transfers = [dict(r) for r in self.read(
            "SELECT transfer_id, save_slot, state, kind, item_type, garden, size, age, save_digest,"
            " prepared_at, committed_at FROM transfers WHERE account_id = ? ORDER BY prepared_at", (account_id,))]
        return {"items": items, "transfers": transfers}

    def withdraw(self, account_id, item_id, slot, garden, force=False, now=None):
        """Queues the delivery of one stored item as a spawn_inventory command; returns its id."""
        now = now or time.time()
        with self.tx() as db:
            item = db.execute("SELECT * FROM items WHERE account_id = ? AND item_id = ?",
                              (account_id, item_id)).fetchone()
            if not item:
                raise Refusal(404, "no such stored item")
            if item["state"] == "withdrawing":
                raise Refusal(409, "item is already on its way (command %d)" % item["command_id"])
            if item["state"] == "delivered":
                raise Refusal(409, "item was already delivered")
            if item["state"] == "failed" and not force:
                raise Refusal(409, "last delivery failed (%s); check the garden, then withdraw with force"
                              % (item["last_error"] or "no reason"))
            fields = {"v": 1, "item_id": item_id, "item_kind": item["kind"], "garden": garden,
                      "item_type": item["item_type"], "size": item["size"], "age": item["age"]}
            command_id = self._add_command(db, account_id, slot, "spawn_inventory", fields, "withdraw", item_id, now)
            db.execute("UPDATE items SET state = 'withdrawing', command_id = ? WHERE account_id = ? AND item_id = ?",
                       (command_id, account_id, item_id))
        return command_id, fields
