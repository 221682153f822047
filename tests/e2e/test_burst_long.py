"""A burst of orders arriving at cee-agent at once (it takes one a second): all are executed
in arrival order, none is lost, and the agent holds no more memory afterwards than before."""
import os
import unittest

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, answer_ids, order, query,
                     request, wait_until)

ORDERS = 30
WARM_UP = 3
# Resident memory after the burst may exceed the idle level by at most this much.
GROWTH_LIMIT_KIB = 1024


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])


class BurstTest(E2ETestCase):

    def test_burst_is_executed_in_order_without_loss_or_growth(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder))
        agent = self.start(Agent(os.path.join(folder, "agent"), broker,
                                 settings={"QMT_HTTP": {"URL": sim.url}}))
        answers = self.subscribe(broker, agent.topic_pub)
        # Idle level: after a few orders, which bring in everything an order needs.
        agent.send_order(*[order("w%d" % n) for n in range(WARM_UP)])
        answers.wait_answers(WARM_UP)
        idle = resident_kib(agent.proc.pid)

        agent.send_order(*[order(n) for n in range(ORDERS)])
        got = answers.wait_answers(WARM_UP + ORDERS, ORDERS * 1.0 + DEADLINE_S)[WARM_UP:]
        self.assertEqual(sim.requests()[WARM_UP:], [request(n) for n in range(ORDERS)])
        self.assertEqual(answer_ids(got), [str(n) for n in range(ORDERS)])
        self.assertEqual(query(agent.db_file, "SELECT recv_xml, res_result FROM command_info "
                               "ORDER BY id LIMIT -1 OFFSET ?", WARM_UP),
                         [(request(n), 0) for n in range(ORDERS)])
        # Freed memory may reach the operating system a moment later: polled.
        wait_until(lambda: resident_kib(agent.proc.pid) - idle <= GROWTH_LIMIT_KIB,
                   "resident memory within %d KiB of the idle %d KiB" % (GROWTH_LIMIT_KIB, idle))
        self.assertEqual(agent.terminate(), 0)


if __name__ == "__main__":
    unittest.main()
