"""Black-box tests of logger-sim, the stand-in for the logger application's HTTP interface."""

import http.client
import os
import queue
import shutil
import signal
import subprocess
import threading
import time
import unittest
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET

SIM = os.environ.get("CEE_LOGGER_SIM") or os.path.join(
    os.environ.get("CEE_BUILD_DIR", "build"), "tools", "logger-sim", "logger-sim")

# A battery status read as the updater prints it (tinyxml2's indented printer).
BATTERY_READ = """<?xml version="1.0" encoding="UTF-8"?>
<commandRequest id="0">
    <command>ReadFromEchonetDevice</command>
    <requestData>
        <p x="1">0x7D</p>
        <p x="2">0x000005</p>
        <p x="3">SB-0001</p>
        <p x="4">{epc}</p>
    </requestData>
</commandRequest>
"""


class Sim:
    """One logger-sim process on a free loopback port; its stdout lines go to a queue."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([SIM, "--port", "0", *args], stdout=subprocess.PIPE)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        first = self.next_line()
        if not first.startswith(b"listening on "):
            raise AssertionError(f"unexpected first line {first!r}")
        self.port = int(first.split()[2])

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip(b"\n"))

    def next_line(self, timeout=10):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("logger-sim printed nothing in time") from None

    def post(self, body, timeout=10):
        """Returns (HTTP status, body); raises what http.client raises."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            data = body.encode() if isinstance(body, str) else body
            conn.request("POST", "/", data, {"Content-Type": "text/xml"})
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def stop(self):
        """SIGTERM; returns the exit status (raises if it does not end in time)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=10)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join(timeout=5)
        self.proc.stdout.close()


def battery_answer(sim, epc="0x80"):
    status, body = sim.post(BATTERY_READ.format(epc=epc))
    root = ET.fromstring(body)
    return status, root


def accepted_by_updater(root):
    """The updater's rule: status SUCCESS and a responseData p holding 0x30 or 0x31."""
    if root.tag != "commandResponse" or root.findtext("status") != "SUCCESS":
        return False
    return any(p.text in ("0x30", "0x31") for p in root.findall("responseData/p"))


class LoggerSimTest(unittest.TestCase):
    def start(self, *args):
        sim = Sim(*args)
        self.addCleanup(sim.kill)
        return sim

    def test_ok_echoes_command_and_prints_request_on_one_line(self):
        sim = self.start()
        body = ('<?xml version="1.0" encoding="UTF-8"?>\r\n<commandRequest id="42">\n'
                '  <command>GetLatestMeasurementData</command>\n'
                '  <requestData><p x="1">Zähler \\ 1</p></requestData>\n</commandRequest>\n')
        status, answer = sim.post(body)
        self.assertEqual(status, 200)
        self.assertTrue(answer.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'), answer)
        root = ET.fromstring(answer)
        self.assertEqual(root.tag, "commandResponse")
        self.assertEqual(root.get("id"), "42")
        self.assertEqual(root.findtext("status"), "SUCCESS")
        self.assertEqual(root.findtext("responseData/command"), "GetLatestMeasurementData")
        expected = (body.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n"))
        self.assertEqual(sim.next_line(), expected.encode())

        # Not a commandRequest: still a commandResponse, but no success.
        status, answer = sim.post("hello")
        self.assertEqual(status, 200)
        self.assertEqual(ET.fromstring(answer).findtext("status"), "INVALID_REQUEST")
        self.assertEqual(sim.next_line(), b"hello")
        self.assertEqual(sim.stop(), 0)

    def test_status500_answers_the_same_body_with_http_500(self):
        sim = self.start("--mode", "status500")
        req = urllib.request.Request(f"http://127.0.0.1:{sim.port}/",
                                     data=b"<commandRequest id=\"7\"><command>Restart</command>"
                                     b"</commandRequest>", method="POST")
        with self.assertRaises(urllib.error.HTTPError) as ctx:
            urllib.request.urlopen(req, timeout=10)
        self.assertEqual(ctx.exception.code, 500)
        root = ET.fromstring(ctx.exception.read())
        self.assertEqual((root.get("id"), root.findtext("status")), ("7", "SUCCESS"))
        self.assertEqual(root.findtext("responseData/command"), "Restart")
        self.assertEqual(sim.stop(), 0)

    def test_close_drops_the_connection_without_an_answer(self):
        sim = self.start("--mode", "close")
        with self.assertRaises(http.client.RemoteDisconnected):
            sim.post("<commandRequest><command>Restart</command></commandRequest>")
        self.assertEqual(sim.next_line(), b"<commandRequest><command>Restart</command>"
                         b"</commandRequest>")
        if shutil.which("curl"):
            rc = subprocess.run(["curl", "-s", "-o", "/dev/null", "--data-binary", "x",
                                 f"http://127.0.0.1:{sim.port}/"], timeout=30).returncode
            self.assertEqual(rc, 52, "curl should see an empty reply")
        self.assertEqual(sim.stop(), 0)

    def test_slow_answers_after_the_delay_and_stops_promptly(self):
        sim = self.start("--mode", "slow", "--delay-ms", "1500")
        started = time.monotonic()
        status, answer = sim.post("<commandRequest><command>Restart</command></commandRequest>")
        self.assertGreaterEqual(time.monotonic() - started, 1.4)
        self.assertEqual(status, 200)
        self.assertEqual(ET.fromstring(answer).findtext("status"), "SUCCESS")

        # A request still waiting does not hold up SIGTERM.
        sim2 = self.start("--mode", "slow", "--delay-ms", "60000")
        threading.Thread(target=lambda: self._ignore(sim2.post, "x", 70), daemon=True).start()
        sim2.next_line()
        started = time.monotonic()
        self.assertEqual(sim2.stop(), 0)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(sim.stop(), 0)

    def test_faulty_peers_never_cut_and_garbage_for_the_first_requests_only(self):
        body = "<commandRequest id=\"9\"><command>Restart</command></commandRequest>"
        normal = self.start()
        _, full = normal.post(body)

        garbage = self.start("--mode", "garbage")
        self.assertEqual(garbage.post(body), (200, bytes(range(256))))
        self.assertEqual(garbage.stop(), 0)

        cut = self.start("--mode", "cut", "--fault-count", "1")
        with self.assertRaises(http.client.IncompleteRead) as ctx:
            cut.post(body)
        self.assertEqual(ctx.exception.partial, full[:len(full) // 2])
        self.assertEqual(ctx.exception.expected, len(full) - len(full) // 2)
        self.assertEqual(cut.post(body), (200, full))  # later requests: as in mode ok
        self.assertEqual([cut.next_line(), cut.next_line()], [body.encode()] * 2)
        self.assertEqual(cut.stop(), 0)

        # The held request does not keep the program from stopping.
        never = self.start("--mode", "never", "--fault-count", "2")
        for _ in range(2):
            with self.assertRaises(TimeoutError):
                never.post(body, timeout=1)
        self.assertEqual(never.post(body), (200, full))
        self.assertEqual(never.stop(), 0)
        self.assertEqual(normal.stop(), 0)

    @staticmethod
    def _ignore(fn, *args):
        try:
            fn(*args)
        except OSError:
            pass

    def test_battery_status_read(self):
        for mode, value in (("on", "0x30"), ("off", "0x31")):
            with self.subTest(battery=mode):
                sim = self.start("--battery", mode)
                status, root = battery_answer(sim)
                self.assertEqual(status, 200)
                self.assertEqual(root.get("id"), "0")
                self.assertEqual(root.findtext("responseData/command"), "ReadFromEchonetDevice")
                self.assertEqual([p.text for p in root.findall("responseData/p")], [value])
                self.assertTrue(accepted_by_updater(root))
                # Another property of the battery carries no operation status.
                _, other = battery_answer(sim, epc="0x81")
                self.assertEqual(other.findtext("status"), "SUCCESS")
                self.assertFalse(accepted_by_updater(other))
                self.assertEqual(sim.stop(), 0)

        sim = self.start("--battery", "silent")
        status, root = battery_answer(sim)
        self.assertEqual(status, 200)
        self.assertNotEqual(root.findtext("status"), "SUCCESS")
        self.assertFalse(accepted_by_updater(root))
        self.assertEqual(sim.stop(), 0)


if __name__ == "__main__":
    unittest.main()
