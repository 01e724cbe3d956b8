"""The reference sync server, driven over HTTP as the mod and the operator drive it."""
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sync-server", "server.py")
TOKEN = "operator-secret"


class Server:
    def __init__(self, db, *extra):
        self.log = open(db + ".log", "ab")
        self.proc = subprocess.Popen([sys.executable, SERVER, "--port", "0", "--db", db, "--admin-token", TOKEN,
                                      "--quiet", *extra], stdout=subprocess.PIPE, stderr=self.log)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("listening on http://127.0.0.1:"):
            raise RuntimeError("server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self, kill=False):
        self.proc.kill() if kill else self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()
        self.log.close()

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            conn.request(method, path, json.dumps(body) if isinstance(body, (dict, list)) else body, headers or {})
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def admin(self, method, path, body=None):
        status, data = self.request(method, "/admin" + path, body, {"X-Velmora-Admin": TOKEN})
        return status, json.loads(data) if data else None

    def get(self, path):
        return self.admin("GET", path)[1]

    def account(self, name):
        return self.admin("POST", "/accounts", {"name": name})[1]["api_key"]


class Mod:
    """The mod's side of one garden: API key, save slot and session id."""

    def __init__(self, server, key, slot=1, sid="0123456789abcdef", base=""):
        self.server, self.key, self.slot, self.sid, self.base = server, key, slot, sid, base

    def call(self, method, path, body=None, raw=False):
        status, data = self.server.request(method, self.base + path, body, {
            "Content-Type": "application/json", "X-Velmora-Key": self.key, "X-Velmora-Save-Slot": str(self.slot),
            "X-Velmora-Session": self.sid, "User-Agent": "velmora/0.1.13"})
        return status, data if raw else json.loads(data)

    def hello(self, version="0.1.13"):
        return self.call("POST", "/api/v1/session/hello", {
            "session_id": self.sid, "writeback": True, "mod_version": version,
            "capabilities": ["spawn_fruit", "garden_deposit_v1", "garden_withdraw_v1"]})

    def goodbye(self):
        return self.call("POST", "/api/v1/session/goodbye", {"session_id": self.sid})

    def upload(self, doc):
        return self.call("POST", "/api/v1/sync", doc)

    def commands(self):
        return self.call("GET", "/api/v1/commands")

    def ack(self, command_id, ok, error=None):
        body = {"ok": ok} if error is None else {"ok": ok, "error": error}
        return self.call("POST", "/api/v1/commands/%d/ack" % command_id, body)

    def deposit(self, phase, transfer_id, **item):
        report = {"v": 1, "phase": phase, "transfer_id": transfer_id, "save_binding": "b" * 64, "kind": "fruit",
                  "item_type": 5, "garden": 1, "size": 2, "age": 0, **item}
        if phase == "commit":
            report.setdefault("save_digest", "d" * 64)
        return self.call("POST", "/api/v1/inventory/deposit", report)


def snapshot(full, chao_slots, occupied=None, **extra):
    return {"schema": 1, "session_id": "0123456789abcdef", "mod_version": "0.1.19", "sent_at_ms": 1000,
            "full": full, "active_character": 2, "active_garden": 1,
            "occupied_slots": sorted(chao_slots if occupied is None else occupied),
            "chao": [{"slot": s, "name_raw": "%014x" % s, "content_hash": 7 * s} for s in chao_slots], **extra}


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.server = Server(os.path.join(cls.dir.name, "sync.sqlite"), "--test-faults")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.dir.cleanup()

    def mod(self, name):
        """The mod of a new account, greeted (so holding its garden)."""
        m = Mod(self.server, self.server.account(name))
        m.hello()
        return m

    def own_server(self, name, *extra):
        """A server of the test's own on a database of its own, stopped at the test's end."""
        server = Server(os.path.join(self.dir.name, name + ".sqlite"), *extra)
        self.addCleanup(lambda: server.proc.poll() is not None or server.stop())
        return server

    def test_sessions_one_holder_per_garden_and_keys(self):
        a = Mod(self.server, self.server.account("sessions"))
        status, doc = a.hello()
        self.assertEqual((status, doc["held"], doc["intake_required"], doc["chao"]), (200, True, True, 0))
        b = Mod(self.server, a.key, sid="fedcba9876543210")
        self.assertEqual(b.hello(), (409, {"held": False, "update_required": False,
                                           "error": "another session already holds this garden"}))
        self.assertEqual(a.hello()[0], 200)  # greeting again (new capabilities) keeps the garden
        self.assertEqual((b.upload(snapshot(True, [1]))[0], b.commands()[0]), (409, 409))
        self.assertEqual(Mod(self.server, a.key, slot=2, sid=b.sid).hello()[0], 200)  # another slot, another garden
        self.assertEqual((b.goodbye()[1]["released"], a.goodbye()[1]["released"]), (False, True))
        # A's greeting held up in the network and arriving after its goodbye keeps the garden free.
        self.assertEqual(a.hello(), (409, {"held": False, "update_required": False, "error": "this session has ended"}))
        self.assertEqual(Mod(self.server, a.key, sid="00c0ffee00c0ffee").hello()[0], 200)
        self.assertEqual(a.upload(snapshot(True, [1]))[0], 409)  # said goodbye: cannot resume
        self.assertEqual((Mod(self.server, "not-a-key").hello()[0], Mod(self.server, "").commands()[0]), (401, 401))
        self.assertEqual(Mod(self.server, a.key, slot="x").hello()[0], 400)
        self.assertEqual(a.call("POST", "/api/v1/session/hello", {"session_id": "has space"})[0], 400)

    def test_full_and_delta_merge_and_upload_log(self):
        m = self.mod("merge")
        trees = [{"garden": i // 7 + 1, "slot": i % 7, "kind": 1} for i in range(21)]
        first = snapshot(True, [0, 3, 5], trees=trees, lobby_unlocks=3, player_progress={"rings": 10})
        changed = snapshot(False, [3], occupied=[0, 3], player_progress={"emblems": 4})
        changed["chao"][0]["content_hash"] = 999
        self.assertEqual((m.upload(first)[0], m.upload(changed)[0]), (200, 200))
        garden = self.server.get("/gardens/merge/1")
        # slot 5 emptied, slot 0 untouched by the delta, the trees kept (the delta carried none)
        self.assertEqual([(c["slot"], c["content_hash"]) for c in garden["chao"]], [(0, 0), (3, 999)])
        self.assertEqual((garden["trees"], garden["lobby_unlocks"], garden["player_progress"], garden["complete"]),
                         (trees, 3, {"rings": 10, "emblems": 4}, True))
        trees = [dict(t, kind=2) for t in trees]
        m.upload(snapshot(False, [], occupied=[0, 3], trees=trees, garden_items={"fruit": []}))
        garden = self.server.get("/gardens/merge/1")
        self.assertEqual((garden["trees"], garden["garden_items"], len(garden["chao"])), (trees, {"fruit": []}, 2))
        doc = m.hello()[1]
        self.assertEqual((doc["chao"], doc["available"], doc["intake_required"]), (2, True, False))
        for bad in (b"not json", b'{"schema":1,"full":true,"occupied_slots":[1],"chao":[]}',
                    json.dumps(snapshot(False, [4], occupied=[3])), json.dumps(snapshot(True, [40])),
                    json.dumps(snapshot(False, [2, 2]))):
            self.assertEqual(m.upload(bad)[0], 400, bad)
        self.assertEqual(self.server.get("/gardens/merge/1"), garden)
        log = self.server.get("/gardens/merge/1/uploads")["uploads"]
        status, raw = self.server.request("GET", "/admin/uploads/%d" % log[0]["id"], headers={"X-Velmora-Admin": TOKEN})
        self.assertEqual(([u["full"] for u in log], raw), ([1, 0, 0], json.dumps(first).encode()))  # byte for byte

    def test_command_offered_until_acknowledged(self):
        m = self.mod("commands")

        def queue(body, garden=1):
            return self.server.admin("POST", "/gardens/commands/%d/commands" % garden, body)

        first = queue({"kind": "rename", "slot": 3, "name_raw": "0102030405060a"})[1]
        second = queue({"kind": "spawn_fruit", "garden": 1, "fruit_type": 4, "count": 2})[1]
        queue({"kind": "resync"}, garden=2)  # another garden's
        self.assertEqual([c["id"] for c in m.commands()[1]["commands"]], [first["id"], second["id"]])
        _, raw = m.call("GET", "/api/v1/commands", raw=True)  # offered again, in the order the mod scans
        self.assertTrue(raw.startswith(b'{"commands":[{"id":%d,"kind":"rename","slot":3,' % first["id"]))
        self.assertEqual(m.ack(first["id"], False, 'slot "3" is empty'), (200, {"ok": True, "recorded": True}))
        self.assertEqual(m.ack(first["id"], True)[1]["recorded"], False)  # once only
        self.assertEqual([c["id"] for c in m.commands()[1]["commands"]], [second["id"]])
        done = self.server.get("/commands/%d" % first["id"])
        self.assertEqual((done["ok"], done["error"], done["offered"]), (False, 'slot "3" is empty', 2))
        other_garden = Mod(self.server, m.key, slot=2)
        self.assertEqual((m.ack(99999, True)[0], other_garden.ack(second["id"], True)[0]), (404, 404))
        ack_path = "/api/v1/commands/%d/ack" % second["id"]
        self.assertEqual(m.call("POST", ack_path, b'{"ok":"yes"}')[0], 400)
        # an error text with a byte above 127 that is not UTF-8 is still recorded
        self.assertEqual(m.call("POST", ack_path, b'{"ok":false,"error":"caf\xe9"}')[0], 200)
        self.assertEqual(self.server.get("/commands/%d" % second["id"])["error"], "caf\ufffd")
        for bad in ({"kind": "explode"}, {"kind": "rename", "colour": 1}, {"kind": "rename", "slot": 2 ** 31}):
            self.assertEqual(queue(bad)[0], 400, bad)

    def test_deposits_are_idempotent_and_withdrawals_become_commands(self):
        m = self.mod("storage")
        tid = "a" * 32

        def withdraw(garden=1, **kw):
            return self.server.admin("POST", "/accounts/storage/withdraw",
                                     {"item_id": tid, "save_slot": 1, "garden": garden, **kw})

        self.assertEqual(m.deposit("commit", tid)[0], 409)  # no prepare yet
        self.assertEqual(m.deposit("prepare", tid), (200, {"ok": True, "transfer_id": tid, "state": "prepared",
                                                           "item_id": tid}))
        self.assertEqual(m.deposit("prepare", tid)[1]["state"], "prepared")
        self.assertEqual(m.deposit("prepare", tid, item_type=6)[0], 409)  # same id, other item
        for _ in range(2):
            self.assertEqual(m.deposit("commit", tid)[1]["state"], "committed")
        self.assertEqual(m.deposit("commit", tid, save_digest="e" * 64)[0], 409)
        items = self.server.get("/accounts/storage/storage")["items"]
        self.assertEqual([(i["item_id"], i["state"], i["item_type"]) for i in items], [(tid, "stored", 5)])
        for tid_text, bad in (("b" * 32, {"item_type": 24}), ("b" * 32, {"garden": 0}), ("A" * 32, {}),
                              ("b" * 31, {}), ("b" * 32, {"v": 2})):
            self.assertEqual(m.deposit("prepare", tid_text, **bad)[0], 400, bad)
        self.assertEqual(m.deposit("prepare", "c" * 32, kind="animal", item_type=20, size=-7)[0], 200)
        outsider = Mod(self.server, m.key, sid="1111222233334444")
        self.assertEqual(outsider.deposit("prepare", "d" * 32)[0], 409)  # session does not hold the garden

        status, cmd = withdraw(garden=2)
        self.assertEqual((status, cmd["fields"]), (200, {"v": 1, "item_id": tid, "item_kind": "fruit", "garden": 2,
                                                         "item_type": 5, "size": 2, "age": 0}))
        self.assertEqual(m.commands()[1]["commands"], [dict(id=cmd["id"], kind="spawn_inventory", **cmd["fields"])])
        self.assertEqual(withdraw(garden=2)[0], 409)
        m.ack(cmd["id"], False, "garden changed while preparing delivery")
        self.assertEqual(withdraw()[0], 409)  # needs force
        m.ack(withdraw(force=True)[1]["id"], True)
        self.assertEqual(self.server.get("/accounts/storage/storage")["items"][0]["state"], "delivered")
        self.assertEqual(withdraw(force=True)[0], 409)

    def test_hostile_requests_get_4xx_and_the_server_keeps_going(self):
        m = self.mod("hostile")
        bodies = (b"\x00" * 100, b"\xff\xfe{}", b"[" * 200000 + b"]" * 200000, b'{"a":' * 50000 + b"1" + b"}" * 50000)
        paths = ("/api/v1/sync", "/api/v1/session/hello", "/api/v1/inventory/deposit", "/api/v1/commands/1/ack")
        statuses = [m.call("POST", path, body)[0] for body in bodies for path in paths]
        self.assertTrue(all(400 <= status < 500 for status in statuses), statuses)
        deep = snapshot(True, [1])
        deep["chao"][0]["x"] = json.loads("[" * 40 + "]" * 40)
        nan, huge = b'{"schema":1,"full":true,"occupied_slots":[],"chao":[],"x":NaN}', b"x" * (4 * 1024 * 1024 + 1)
        self.assertEqual([m.upload(deep)[0], m.upload(nan)[0], m.upload(huge)[0], m.call("GET", "/nowhere")[0],
                          m.call("GET", "/api/v1/sync")[0]], [400, 400, 413, 404, 405])
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            s.sendall(b"POST /api/v1/sync HTTP/1.1\r\nContent-Length: -5\r\n\r\n")
            self.assertIn(b" 400 ", s.recv(1000).split(b"\r\n")[0])
        self.assertEqual([self.server.request("GET", "/admin/gardens", headers=h)[0] for h in (
            {}, {"Authorization": "Bearer nope"}, {"Authorization": "Bearer " + TOKEN})], [401, 401, 200])
        self.assertEqual(m.hello()[0], 200)

    def test_fault_switches(self):
        m = self.mod("faults")
        faults = lambda doc: self.server.admin("POST", "/faults", doc)
        self.addCleanup(faults, {})
        faults({"statuses": [503, 429], "match": "/api/v1/sync"})
        self.assertEqual(m.commands()[0], 200)  # other paths untouched
        self.assertEqual([m.upload(snapshot(True, [1]))[0] for _ in range(3)], [503, 429, 200])
        self.assertEqual(len(self.server.get("/gardens/faults/1/uploads")["uploads"]), 1)
        faults({"delay_seconds": 0.4, "delay_count": 1})
        for delayed in (True, False):  # the first call only
            start = time.monotonic()
            m.commands()
            self.assertEqual(time.monotonic() - start >= 0.4, delayed)
        for drop, error in (("close", (http.client.RemoteDisconnected, ConnectionError)),
                            ("mid_body", http.client.IncompleteRead)):
            faults({"drop": drop})
            with self.assertRaises(error):
                m.commands()
            self.assertEqual(m.commands()[0], 200)  # one drop only
        faults({"oversize_bytes": 300000})
        status, data = m.call("GET", "/api/v1/commands", raw=True)
        self.assertEqual((status, len(data), json.loads(data)), (200, 300000, {"commands": []}))
        self.assertEqual(faults({"statuses": [0]})[0], 400)

    def test_quiet_session_times_out_only_when_someone_else_asks(self):
        server = self.own_server("timeout", "--session-timeout", "1.0", "--base-path", "/garden",
                                 "--min-mod-version", "0.1.13")
        key = server.account("timeout")
        a, b = Mod(server, key, base="/garden"), Mod(server, key, sid="fedcba9876543210", base="/garden")
        self.assertEqual(a.hello("0.1.9"), (426, {"held": False, "update_required": True,
                                                  "error": "mod version 0.1.9 is below 0.1.13"}))
        self.assertEqual(Mod(server, key).hello()[0], 404)  # outside the base path
        self.assertEqual((a.hello()[0], b.hello()[0]), (200, 409))
        time.sleep(1.3)
        self.assertEqual((a.upload(snapshot(True, [1]))[0], b.hello()[0]), (200, 409))  # quiet, nobody took over
        time.sleep(1.3)
        self.assertEqual((b.hello()[0], a.upload(snapshot(True, [1]))[0]), (200, 409))
        self.assertEqual(server.admin("POST", "/faults", {})[0], 404)  # switches off by default

    def test_everything_survives_a_hard_restart(self):
        db = os.path.join(self.dir.name, "persist.sqlite")
        key = subprocess.run([sys.executable, SERVER, "--db", db, "--add-key", "persist"],
                             capture_output=True, check=True, text=True).stdout.strip()
        server = self.own_server("persist")
        m = Mod(server, key)
        m.hello()
        m.upload(snapshot(True, [2, 7]))
        cmd = server.admin("POST", "/gardens/persist/1/commands", {"kind": "resync"})[1]
        for phase, tid in (("prepare", "f"), ("commit", "f"), ("prepare", "e")):
            m.deposit(phase, tid * 32)
        before = server.get("/gardens/persist/1")
        server.stop(kill=True)

        m.server = server = self.own_server("persist")
        self.assertEqual(server.get("/gardens/persist/1"), before)
        self.assertEqual(Mod(server, key, sid="9999999999999999").hello()[0], 409)  # still held
        self.assertEqual(m.commands()[1]["commands"][0]["id"], cmd["id"])
        self.assertEqual(m.ack(cmd["id"], True)[1]["recorded"], True)
        for tid in ("f" * 32, "e" * 32):  # committed, and prepared before the restart
            self.assertEqual(m.deposit("commit", tid)[1]["state"], "committed")
        items = server.get("/accounts/persist/storage")["items"]
        self.assertEqual(sorted(i["item_id"] for i in items), ["e" * 32, "f" * 32])


if __name__ == "__main__":
    unittest.main()
