"""scripts/demo.sh, the README's first command, must keep working: it is run as it stands
(without rebuilding) against the binaries of this build."""

import os
import re
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_demo(**extra_env):
    """Runs the demo in a scratch folder of its own; returns (exit status, output)."""
    with tempfile.TemporaryDirectory(prefix="cee-demo-") as folder:
        env = dict(os.environ, CEE_DEMO_SKIP_BUILD="1", CEE_DEMO_DIR=folder,
                   CEE_BUILD_DIR=os.environ.get("CEE_BUILD_DIR", os.path.join(ROOT, "build")),
                   **extra_env)
        proc = subprocess.run([os.path.join(ROOT, "scripts", "demo.sh")], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=180)
        return proc.returncode, proc.stdout.decode("utf-8", "replace")


class DemoTest(unittest.TestCase):
    def test_both_orders_make_the_round_trip(self):
        status, output = run_demo()
        self.assertEqual(status, 0, output)
        # The output of each order, by order name.
        parts = re.split(r"^== order \d+ of \d+: (\S+)", output, flags=re.M)
        by_order = dict(zip(parts[1::2], parts[2::2]))
        self.assertEqual(sorted(by_order), ["GetLatestMeasurementData", "ReadFromEchonetDevice"])
        for name, text in by_order.items():
            with self.subTest(order=name):
                # The request reached the logger application, the answer came back decoded and
                # the row was recorded with the answer.
                self.assertIn("2. what the logger application received", text)
                self.assertIn("<command>%s</command>" % name, text)
                self.assertIn('data.result = "success"', text)
                self.assertIn("<status>SUCCESS</status>", text)
                self.assertRegex(text, r"command_json\s+%s" % name)
                self.assertRegex(text, r"res_result\s+0\n")
        self.assertIn("0x30", by_order["ReadFromEchonetDevice"])

    def test_fails_when_the_logger_application_does_not_answer(self):
        status, output = run_demo(CEE_DEMO_SIM_ARGS="--mode close")
        self.assertNotEqual(status, 0, output)
        self.assertEqual(output.count('data.result = "failed"'), 2, output)
        self.assertIn("2 of 2 orders did not complete with success", output)


if __name__ == "__main__":
    unittest.main()
