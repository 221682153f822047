"""A burst of 300 orders arriving at cee-agent at once: the agent takes one a second, so this
runs for about five minutes. All are executed in arrival order, none is lost, and the agent
holds no more memory afterwards than before the burst.
"""
import base64
import json
import os
import re
import sqlite3
import sys
import unittest
from contextlib import closing

from harness import (DEADLINE_S, E2ETestCase, LoggerSim, exact, make_order, publish_many,
                     wait_until)

ORDERS = 300
WARM_UP = 3
# Resident memory after the burst may exceed the idle level by at most this much.
GROWTH_LIMIT_KIB = 1024
# The loop takes one order a second; the rest is room for a loaded machine.
BURST_DEADLINE_S = ORDERS * 1.0 + 240
END_OF_ORDER = exact("in startMain loop : end Execute Thread (join)")


def request(n):
    return ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="burst-%d"><command>'
            'GetLatestMeasurementData</command><requestData/></commandRequest>' % n)


def answer_body(line):
    """The logger application's answer carried by an answer line "topic payload"."""
    answer = json.loads(line.partition(" ")[2])
    if answer["data"]["result"] != "success":
        raise AssertionError("order failed: %s" % line)
    return base64.b64decode(answer["data"]["value"]).decode()


def resident_kib(pid):
    """VmRSS of a process in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for process %d" % pid)


class BurstTest(E2ETestCase):

    def test_burst_of_orders_is_executed_in_order_without_loss_or_growth(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        # A log that does not rotate during the test keeps every order's lines for a failure.
        agent = self.start_agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url},
            "LOG": {"LOG_MAX_BYTES": 64 * 1024 * 1024}})
        answers = self.subscribe(broker, agent.topic_pub)

        # Idle level: after start-up and a few orders, which bring in everything an order
        # needs (order thread, database, HTTP client, publishing).
        publish_many(broker, agent.topic_sub,
                     [make_order("GetLatestMeasurementData", request(-n))
                      for n in range(1, WARM_UP + 1)])
        answers.wait_for_lines(WARM_UP)
        agent.wait_for_log(END_OF_ORDER, count=WARM_UP)
        idle = resident_kib(agent.pid)

        publish_many(broker, agent.topic_sub,
                     [make_order("GetLatestMeasurementData", request(n),
                                 timestamp="2026/12/06 10:%02d:%02d" % divmod(n, 60))
                      for n in range(ORDERS)])
        lines = answers.wait_for_lines(WARM_UP + ORDERS, BURST_DEADLINE_S)
        agent.wait_for_log(END_OF_ORDER, count=WARM_UP + ORDERS)
        agent.assert_running()

        # Executed in arrival order, each once.
        executed = sim.requests()[WARM_UP:]
        self.assertEqual(executed, [request(n) for n in range(ORDERS)])
        ids = [re.search(r'id="([^"]*)"', answer_body(l)).group(1) for l in lines[WARM_UP:]]
        self.assertEqual(ids, ["burst-%d" % n for n in range(ORDERS)])
        with closing(sqlite3.connect(agent.db_file)) as db:
            rows = db.execute("SELECT recv_xml, res_result FROM command_info ORDER BY id "
                              "LIMIT -1 OFFSET ?", (WARM_UP,)).fetchall()
        self.assertEqual(rows, [(request(n), 0) for n in range(ORDERS)])

        # Memory back at the idle level once the queues are empty. Freed memory may reach
        # the operating system a moment later, so the level is polled, not read once.
        last = []

        def settled():
            last.append(resident_kib(agent.pid))
            return last[-1] - idle <= GROWTH_LIMIT_KIB
        try:
            wait_until(settled, "resident memory within %d KiB of %d KiB"
                       % (GROWTH_LIMIT_KIB, idle), DEADLINE_S)
        except AssertionError:
            self.fail("resident memory %d KiB after the burst, %d KiB when idle (limit +%d)"
                      % (last[-1], idle, GROWTH_LIMIT_KIB))
        sys.stderr.write("resident memory of the agent: %d KiB idle, %d KiB after the burst\n"
                         % (idle, last[-1]))
        self.assertEqual(agent.terminate()[0], 0)


if __name__ == "__main__":
    unittest.main()
