"""velmora-tool parse-commands on the sample document and on text that is no command document."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOOL, SAMPLE = sys.argv.pop(1), sys.argv.pop(1)


def run(*args):
    return subprocess.run([TOOL, "parse-commands", *args], capture_output=True, timeout=60)


class ParseCommands(unittest.TestCase):
    def test_sample_gives_one_line_per_kept_command(self):
        r = run(SAMPLE)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = [json.loads(l) for l in r.stdout.decode().splitlines()]
        self.assertEqual([(l["id"], l["kind"]) for l in lines],  # the object without an id is dropped
                         list(zip(range(101, 114), [1, 1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 0])))
        self.assertEqual({l["id"]: l["refusal"] for l in lines if "refusal" in l},
                         {102: "rename carried no usable name",
                          105: "restore payload failed its version or length check",
                          109: "hat payload is invalid or target is an egg", 113: "unsupported command kind"})
        self.assertEqual((len(lines[3]["restore_fields"]), lines[0]["expect_chao_id"]),
                         (105, "0a1b2c3d4e5f60718b65c4f8a1b2c3d4e5f60718"))
        self.assertIn(b"writeback: restore carries 105 fields, expected 111 -- refusing", r.stderr)

    def test_text_without_commands_exits_1_and_a_missing_file_2(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "doc.json")
            with open(path, "wb") as f:
                f.write(b'{"command":[{"id":1,"kind":"resync"}]}\xff')
            r = run(path)
            self.assertEqual((r.returncode, r.stdout, run(os.path.join(d, "missing.json")).returncode), (1, b"", 2))


if __name__ == "__main__":
    unittest.main()
