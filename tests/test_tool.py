"""velmora-tool as a player runs it: check-config, start and snapshot."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOOL, TEMPLATE, SAMPLE = sys.argv[1:4]
del sys.argv[1:4]

FIELDS = ["BaseUrl", "ServerHost", "ServerPort", "UseHttps", "base_path", "SyncPath", "valid", "error",
          "SaveSlot", "ApiKey", "ScanIntervalFrames", "FullResyncSeconds", "EnableWriteback",
          "EnableRestoreOnLaunch", "DisableNaturalDeath", "ShowCareWarnings", "KeepGardenAnimals",
          "CommandPath", "CommandPollSeconds", "DumpPayloads", "Verbose"]


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=60)


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


class Tool(unittest.TestCase):
    def setUp(self):
        self.d = self.enterContext(tempfile.TemporaryDirectory())

    def test_shipped_config_is_valid_with_every_field_in_order(self):
        r = run("check-config", TEMPLATE)
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(r.stdout, object_pairs_hook=lambda pairs: pairs)
        self.assertEqual([k for k, _ in doc], FIELDS)

    def test_invalid_config_exits_1_and_masks_the_key(self):
        write(self.d, "config.ini", "SaveSlot=100\nApiKey=topsecret-9876\n")
        r = run("check-config", self.d)
        self.assertEqual(r.returncode, 1)
        doc = json.loads(r.stdout)
        self.assertFalse(doc["valid"])
        self.assertEqual(doc["ApiKey"], "**********9876")
        self.assertNotIn("topsecret", r.stdout + r.stderr)

    def test_start_prints_the_log_and_boxes(self):
        write(self.d, "config.ini", "ApiKey=abcdefgh\n")
        r = run("start", self.d, "--frames", "3")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], "[velmora] v0.1.19 starting")
        self.assertIn("[velmora] natural lifecycle: lifespan frozen; natural death/reincarnation disabled", lines)
        self.assertIn("[velmora] animal inventory: enabled", lines)
        self.assertTrue(any(l.startswith("[velmora] target https://sync.velmora.example:443/api/v1/sync")
                            for l in lines))

    def test_snapshot_of_the_sample_garden_and_of_its_file_is_the_same(self):
        r, f = run("snapshot"), run("snapshot", "--garden", SAMPLE)
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(r.stdout)
        self.assertTrue(doc["full"])
        self.assertEqual((len(doc["chao"]), len(doc["trees"])), (35, 21))
        self.assertEqual(f.stdout, r.stdout, f.stderr)

    def test_snapshot_of_a_save_file_holds_the_slots_inside_its_block(self):
        data = bytearray(65536)
        data[0:48] = b"SONIC ADVENTURE 2 BATTLE        CHAO GARDEN DATA"
        slot0 = 0x3040 + (0x019F6EC4 - 0x019F6460)
        data[slot0 + 0x80] = 6                              # slot 0: Hero Normal
        data[slot0 + 23 * 0x800 + 0x80] = 1                 # slot 23: an egg, the last whole slot
        data[0x3040 + (0x019F6480 - 0x019F6460)] = 4        # tree 0, kind 4
        r = run("snapshot", "--save", write(self.d, "SONIC2B__ALF", bytes(data)))
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(r.stdout)
        self.assertEqual(doc["occupied_slots"], [0, 23])
        self.assertEqual(doc["chao"][0]["type_name"], "Hero Normal")
        self.assertEqual(doc["trees"][0]["kind"], 4)
        self.assertNotIn("player_progress", doc)
        self.assertEqual(doc["active_garden"], 0)

        for name, bad, why in (("short", data[:60000], "65536"), ("renamed", b"s" + data[1:], "header")):
            r = run("snapshot", "--save", write(self.d, name, bytes(bad)))
            self.assertEqual((r.returncode, r.stdout), (1, ""))
            self.assertIn(why, r.stderr)

    def test_bad_files_and_arguments_are_refused(self):
        r = run("snapshot", "--garden", write(self.d, "garden.txt", "garden 1\nchao 2 child lifespan=banana\n"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("line 2", r.stderr)
        self.assertEqual(run("snapshot", "--garden", os.path.join(self.d, "missing.txt")).returncode, 1)
        for args in (["snapshot", "--garden"], ["snapshot", "--garden", SAMPLE, "--save", SAMPLE],
                     ["snapshot", "--frames", "3"], ["start"], ["start", ".", "--frames", "x"], ["nonsense"]):
            self.assertEqual(run(*args).returncode, 2, args)


if __name__ == "__main__":
    unittest.main()
