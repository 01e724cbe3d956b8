"""velmora-tool snapshot: the sample garden, a description file and a garden save file."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = sys.argv.pop(1)
SAMPLE = sys.argv.pop(1)
HEADER = b"SONIC ADVENTURE 2 BATTLE        CHAO GARDEN DATA"


def run(*args):
    return subprocess.run([TOOL, "snapshot", *args], capture_output=True, timeout=60)


class Snapshot(unittest.TestCase):
    def test_sample_garden_and_its_file_give_the_same_document(self):
        r, f = run(), run("--garden", SAMPLE)
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(r.stdout)
        self.assertTrue(doc["full"])
        self.assertEqual((len(doc["chao"]), len(doc["trees"])), (35, 21))
        self.assertEqual(f.stdout, r.stdout, f.stderr)

    def test_save_file_holds_the_slots_inside_its_block(self):
        data = bytearray(65536)
        data[0:48] = HEADER
        block = 0x3040
        slot0 = block + (0x019F6EC4 - 0x019F6460)
        data[slot0 + 0x80] = 6                              # slot 0: Hero Normal
        data[slot0 + 0x12:slot0 + 0x19] = bytes(range(1, 8))
        data[slot0 + 23 * 0x800 + 0x80] = 1                 # slot 23: an egg, the last whole slot
        data[block + (0x019F6480 - 0x019F6460)] = 4         # tree 0, kind 4
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "SONIC2B__ALF")
            with open(path, "wb") as f:
                f.write(data)
            r = run("--save", path)
            self.assertEqual(r.returncode, 0, r.stderr)
            doc = json.loads(r.stdout)
            self.assertEqual(doc["occupied_slots"], [0, 23])
            self.assertEqual(doc["chao"][0]["type_name"], "Hero Normal")
            self.assertEqual(doc["chao"][0]["name_raw"], "01020304050607")
            self.assertEqual(doc["trees"][0]["kind"], 4)
            self.assertNotIn("player_progress", doc)
            self.assertEqual(doc["active_garden"], 0)

            with open(path, "wb") as f:
                f.write(data[:60000])
            r = run("--save", path)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"65536", r.stderr)
            self.assertEqual(r.stdout, b"")

    def test_bad_description_and_arguments_are_refused(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "garden.txt")
            with open(path, "w") as f:
                f.write("garden 1\nchao 2 child lifespan=banana\n")
            r = run("--garden", path)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"line 2", r.stderr)
            self.assertEqual(run("--garden", os.path.join(d, "missing.txt")).returncode, 1)
        self.assertEqual(run("--garden").returncode, 2)
        self.assertEqual(run("--garden", SAMPLE, "--save", SAMPLE).returncode, 2)
        self.assertEqual(run("--frames", "3").returncode, 2)


if __name__ == "__main__":
    unittest.main()
