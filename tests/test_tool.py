"""velmora-tool as a player runs it: check-config and start."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = sys.argv.pop(1)
TEMPLATE = sys.argv.pop(1)

FIELDS = ["BaseUrl", "ServerHost", "ServerPort", "UseHttps", "base_path", "SyncPath", "valid", "error",
          "SaveSlot", "ApiKey", "ScanIntervalFrames", "FullResyncSeconds", "EnableWriteback",
          "EnableRestoreOnLaunch", "DisableNaturalDeath", "ShowCareWarnings", "KeepGardenAnimals",
          "CommandPath", "CommandPollSeconds", "DumpPayloads", "Verbose"]


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=60)


class CheckConfig(unittest.TestCase):
    def test_shipped_config_is_valid_with_every_field_in_order(self):
        r = run("check-config", TEMPLATE)
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(r.stdout, object_pairs_hook=lambda pairs: pairs)
        self.assertEqual([k for k, _ in doc], FIELDS)

    def test_invalid_config_exits_1_and_masks_the_key(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "config.ini"), "w") as f:
                f.write("SaveSlot=100\nApiKey=topsecret-9876\n")
            r = run("check-config", d)
            self.assertEqual(r.returncode, 1)
            doc = json.loads(r.stdout)
            self.assertFalse(doc["valid"])
            self.assertEqual(doc["ApiKey"], "**********9876")
            self.assertNotIn("topsecret", r.stdout + r.stderr)


class Start(unittest.TestCase):
    def test_start_prints_the_log_and_boxes(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "config.ini"), "w") as f:
                f.write("ApiKey=abcdefgh\n")
            r = run("start", d, "--frames", "3")
            self.assertEqual(r.returncode, 0, r.stderr)
            lines = r.stdout.splitlines()
            self.assertEqual(lines[0], "[velmora] v0.1.19 starting")
            self.assertIn("[velmora] natural lifecycle: lifespan frozen; natural death/reincarnation disabled", lines)
            self.assertIn("[velmora] animal inventory: enabled", lines)
            self.assertTrue(any(l.startswith("[velmora] target https://sync.velmora.example:443/api/v1/sync")
                                for l in lines))

    def test_bad_arguments_are_refused(self):
        self.assertEqual(run("start").returncode, 2)
        self.assertEqual(run("start", ".", "--frames", "x").returncode, 2)
        self.assertEqual(run("nonsense").returncode, 2)


if __name__ == "__main__":
    unittest.main()
