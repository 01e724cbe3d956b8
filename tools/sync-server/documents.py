"""Checking and shaping the JSON documents the server exchanges with the mod and the operator.

Everything here is pure: functions take parsed JSON values and return new ones or raise
DocumentError with a short reason that goes back to the caller with a 400.
"""
import json
import re

CHAO_SLOTS = 37
TREE_COUNT = 21
INT32_MIN, INT32_MAX = -2147483648, 2147483647
INT16_MIN, INT16_MAX = -32768, 32767

# The mod's command reader finds keys by plain text search and counts braces inside strings,
# so command documents may only carry integers and strings from this safe alphabet.
SAFE_TEXT = re.compile(r"^[A-Za-z0-9_]{0,80}$")
HEX32 = re.compile(r"^[0-9a-f]{32}$")
HEX64 = re.compile(r"^[0-9a-f]{64}$")
SESSION_ID = re.compile(r"^[0-9A-Za-z]{1,64}$")

COMMAND_KINDS = (
    "rename", "resync", "restore", "hatch", "reincarnate", "set_parts", "set_hat",
    "spawn_fruit", "spawn_inventory", "tree_control",
)
COMMAND_INT_FIELDS = frozenset((
    "slot", "expect_seed", "arm", "ear", "forehead", "horn", "leg", "tail", "wing", "face",
    "headgear", "garden", "fruit_type", "count", "item_type", "size", "age", "v",
    "reincarnations", "tree_kind",
))
COMMAND_TEXT_FIELDS = frozenset((
    "expect_chao_id", "name_raw", "expect_parts_guard", "item_id", "item_kind",
    "expect_generation", "generation", "action", "expect_raw",
))
COMMAND_LIST_FIELDS = frozenset(("f",))
MAX_RESTORE_FIELDS = 200
# A snapshot nests four levels (chao, stats, one stat); anything far deeper is hostile, and
# refusing it here keeps later encoding from running out of stack.
MAX_DEPTH = 32

# Context members of a snapshot that the merged garden takes over whenever they are carried.
CONTEXT_KEYS = ("session_id", "mod_version", "sent_at_ms", "active_character", "active_garden",
                "lobby_unlocks")


class DocumentError(ValueError):
    pass


def parse_json_body(raw, utf8_errors="strict"):
    """Bytes of a request body to a JSON value; anything unusable is a DocumentError."""
    if not raw:
        raise DocumentError("empty body")
    try:
        text = raw.decode("utf-8", utf8_errors)
    except UnicodeDecodeError:
        raise DocumentError("body is not UTF-8")
    try:
        value = json.loads(text, parse_constant=_refuse_constant)
    except RecursionError:
        raise DocumentError("body nests too deeply")
    except ValueError as e:
        raise DocumentError("body is not JSON: %s" % str(e)[:80])
    if nesting_depth(value) > MAX_DEPTH:
        raise DocumentError("body nests deeper than %d levels" % MAX_DEPTH)
    return value


def _refuse_constant(name):
    raise ValueError("%s is not a JSON number" % name)


def nesting_depth(value):
    """Depth of arrays and objects, counted without recursion."""
    deepest, stack = 0, [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, dict):
            item = item.values()
        elif not isinstance(item, list):
            continue
        deepest = max(deepest, depth)
        stack.extend((child, depth + 1) for child in item)
    return deepest


def is_int(value, low=INT32_MIN, high=INT32_MAX):
    return isinstance(value, int) and not isinstance(value, bool) and low <= value <= high


def _require_object(doc, what):
    if not isinstance(doc, dict):
        raise DocumentError("%s must be a JSON object" % what)
    return doc


# ---- snapshots -----------------------------------------------------------------------------

def check_snapshot(doc):
    """Validates the parts of a snapshot document that the merge relies on."""
    _require_object(doc, "snapshot")
    if doc.get("schema") != 1 or not is_int(doc.get("schema")):
        raise DocumentError("snapshot schema must be 1")
    if not isinstance(doc.get("full"), bool):
        raise DocumentError("snapshot needs a boolean 'full'")
    occupied = doc.get("occupied_slots")
    if not isinstance(occupied, list) or not all(is_int(s, 0, CHAO_SLOTS - 1) for s in occupied):
        raise DocumentError("occupied_slots must list slot numbers 0 to 36")
    if len(set(occupied)) != len(occupied):
        raise DocumentError("occupied_slots lists a slot twice")
    chao = doc.get("chao")
    if not isinstance(chao, list):
        raise DocumentError("snapshot needs a 'chao' array")
    carried = set()
    for c in chao:
        if not isinstance(c, dict) or not is_int(c.get("slot"), 0, CHAO_SLOTS - 1):
            raise DocumentError("every chao needs a slot 0 to 36")
        if c["slot"] in carried:
            raise DocumentError("chao slot %d is carried twice" % c["slot"])
        if c["slot"] not in occupied:
            raise DocumentError("chao slot %d is not in occupied_slots" % c["slot"])
        carried.add(c["slot"])
    if doc["full"] and carried != set(occupied):
        raise DocumentError("a full snapshot must carry every occupied slot")
    if "trees" in doc:
        trees = doc["trees"]
        if not isinstance(trees, list) or len(trees) != TREE_COUNT:
            raise DocumentError("trees must hold all 21 trees")
        for t in trees:
            if not isinstance(t, dict) or not is_int(t.get("garden"), 1, 3) \
                    or not is_int(t.get("slot"), 0, 6):
                raise DocumentError("every tree needs a garden 1 to 3 and a slot 0 to 6")
    if "session_id" in doc and not isinstance(doc["session_id"], str):
        raise DocumentError("session_id must be a string")
    if "player_progress" in doc and not isinstance(doc["player_progress"], dict):
        raise DocumentError("player_progress must be an object")
    return doc


def empty_garden():
    return {"schema": 1, "complete": False, "uploads": 0, "full_uploads": 0,
            "occupied_slots": [], "chao": [], "unknown_slots": []}


def merge_snapshot(garden, doc):
    """Returns a new merged garden: `garden` (or nothing) updated by one checked snapshot.

    A full snapshot replaces every slot; a delta replaces only the slots it carries. In both,
    the occupied-slot list is the truth about which slots hold a Chao, so slots missing from
    it are emptied. Trees and the garden items listing are replaced when carried.
    """
    merged = dict(garden) if garden else empty_garden()
    slots = {} if doc["full"] else {c["slot"]: c for c in merged.get("chao", [])}
    for c in doc["chao"]:
        slots[c["slot"]] = c
    occupied = sorted(doc["occupied_slots"])
    slots = {s: c for s, c in slots.items() if s in occupied}
    merged["chao"] = [slots[s] for s in sorted(slots)]
    merged["occupied_slots"] = occupied
    # Occupied slots whose content never arrived (a delta before any full snapshot).
    merged["unknown_slots"] = [s for s in occupied if s not in slots]
    for key in CONTEXT_KEYS:
        if key in doc:
            merged[key] = doc[key]
    if "player_progress" in doc:
        progress = dict(merged.get("player_progress") or {})
        progress.update(doc["player_progress"])
        merged["player_progress"] = progress
    if "trees" in doc:
        merged["trees"] = doc["trees"]
    if "garden_items" in doc:
        merged["garden_items"] = doc["garden_items"]
    merged["uploads"] = merged.get("uploads", 0) + 1
    if doc["full"]:
        merged["full_uploads"] = merged.get("full_uploads", 0) + 1
        merged["complete"] = True
    return merged


# ---- greeting ------------------------------------------------------------------------------

def check_hello(doc):
    _require_object(doc, "greeting")
    sid = doc.get("session_id")
    if not isinstance(sid, str) or not SESSION_ID.match(sid):
        raise DocumentError("greeting needs a session_id of 1 to 64 letters or digits")
    caps = doc.get("capabilities", [])
    if not isinstance(caps, list) or not all(isinstance(c, str) and SAFE_TEXT.match(c) for c in caps):
        raise DocumentError("capabilities must be a list of names")
    version = doc.get("mod_version", "")
    if not isinstance(version, str) or len(version) > 32:
        raise DocumentError("mod_version must be a short string")
    if "writeback" in doc and not isinstance(doc["writeback"], bool):
        raise DocumentError("writeback must be a boolean")
    return doc


def version_tuple(text):
    parts = []
    for piece in text.split("."):
        digits = re.match(r"\d*", piece).group(0)
        parts.append(int(digits) if digits else 0)
    return tuple(parts)


def check_goodbye(doc):
    _require_object(doc, "farewell")
    sid = doc.get("session_id")
    if not isinstance(sid, str) or not SESSION_ID.match(sid):
        raise DocumentError("farewell needs a session_id")
    return doc


# ---- commands ------------------------------------------------------------------------------

def check_command_request(doc):
    """An operator's command: {"kind": ..., fields...}. Returns (kind, ordered fields)."""
    _require_object(doc, "command")
    kind = doc.get("kind")
    if kind not in COMMAND_KINDS:
        raise DocumentError("kind must be one of: " + ", ".join(COMMAND_KINDS))
    fields = {}
    for key, value in doc.items():
        if key == "kind":
            continue
        if key in COMMAND_INT_FIELDS:
            if not is_int(value):
                raise DocumentError("%s must be a 32-bit integer" % key)
        elif key in COMMAND_TEXT_FIELDS:
            if not isinstance(value, str) or not SAFE_TEXT.match(value):
                raise DocumentError("%s must be a string of letters, digits or '_'" % key)
        elif key in COMMAND_LIST_FIELDS:
            if not isinstance(value, list) or len(value) > MAX_RESTORE_FIELDS \
                    or not all(is_int(v) for v in value):
                raise DocumentError("f must be a list of at most %d integers" % MAX_RESTORE_FIELDS)
        else:
            raise DocumentError("unknown command field: %s" % key[:40])
        fields[key] = value
    return kind, fields


def command_object_text(command_id, kind, fields):
    """One command as the mod reads it: id and kind first, compact, no blanks."""
    obj = {"id": command_id, "kind": kind}
    obj.update(fields)
    return json.dumps(obj, separators=(",", ":"))


def command_document(rows, max_bytes):
    """{"commands":[...]} with the oldest commands first, kept under max_bytes so the mod's
    capped read never cuts a command in half; the rest follow on later polls."""
    parts, size = [], len('{"commands":[]}')
    for command_id, kind, fields in rows:
        text = command_object_text(command_id, kind, fields)
        extra = len(text) + (1 if parts else 0)
        if parts and size + extra > max_bytes:
            break
        parts.append(text)
        size += extra
    return '{"commands":[' + ",".join(parts) + "]}"


def check_ack(doc):
    _require_object(doc, "acknowledgement")
    if not isinstance(doc.get("ok"), bool):
        raise DocumentError("acknowledgement needs a boolean 'ok'")
    error = doc.get("error", "")
    if not isinstance(error, str):
        raise DocumentError("error must be a string")
    return doc["ok"], error[:1024]


# ---- deposits ------------------------------------------------------------------------------

ITEM_FIELDS = ("kind", "item_type", "garden", "size", "age", "save_binding")


def check_transfer(doc):
    """A deposit report; returns it with every field checked."""
    _require_object(doc, "transfer report")
    if doc.get("v") != 1 or not is_int(doc.get("v")):
        raise DocumentError("transfer report version must be 1")
    phase = doc.get("phase")
    if phase not in ("prepare", "commit"):
        raise DocumentError("phase must be prepare or commit")
    if not isinstance(doc.get("transfer_id"), str) or not HEX32.match(doc["transfer_id"]):
        raise DocumentError("transfer_id must be 32 lower-case hex digits")
    if not isinstance(doc.get("save_binding"), str) or not HEX64.match(doc["save_binding"]):
        raise DocumentError("save_binding must be 64 lower-case hex digits")
    kind = doc.get("kind")
    if kind not in ("animal", "fruit"):
        raise DocumentError("kind must be animal or fruit")
    if not is_int(doc.get("item_type"), 0, 20 if kind == "animal" else 23):
        raise DocumentError("item_type out of range")
    if not is_int(doc.get("garden"), 1, 3):
        raise DocumentError("garden must be 1 to 3")
    size_low, size_high = (1, 4) if kind == "fruit" else (INT16_MIN, INT16_MAX)
    if not is_int(doc.get("size"), size_low, size_high):
        raise DocumentError("size out of range")
    if not is_int(doc.get("age"), INT16_MIN, INT16_MAX):
        raise DocumentError("age out of range")
    if phase == "commit":
        if not isinstance(doc.get("save_digest"), str) or not HEX64.match(doc["save_digest"]):
            raise DocumentError("commit needs a save_digest of 64 lower-case hex digits")
    return doc
