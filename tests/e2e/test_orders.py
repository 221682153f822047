"""Orders through a real broker to a real cee-agent and logger-sim: which orders are executed
(target matching, retained messages, unusable and hostile texts), what the logger
application receives, what the server gets back and what is recorded; a full order spool
refuses a new order at once."""
import os
import signal
import unittest

from harness import (Agent, E2ETestCase, LoggerSim, answer_value, make_order, order, publish,
                     query, request, wait_until, write_text)


class OrdersTest(E2ETestCase):

    def test_only_own_sound_orders_are_executed_and_answered_in_arrival_order(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        # The first request meets an answer without end: the answer bound ends that order.
        sim = self.start(LoggerSim(folder, "--mode", "endless", "--fault-count", "1"))
        agent = Agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url, "RETRY_NUM": 2, "MAX_ANSWER_BYTES": 1048576}})
        # Retained on the order topic before the agent subscribes: delivered, never executed.
        publish(broker, agent.topic_sub, order("retained"), retain=True)
        self.start(agent)
        agent.wait_for_log("retained message is not executed")
        answers = self.subscribe(broker, agent.topic_pub)
        texts = [
            order("bound"),
            order("other-terminal", terminal=("E2E9999",)),
            order("other-platform", platform=("other",)),
            order("other-group", group=("west",)),
            make_order("ReadFromEchonetDevice", request("deep")).replace(
                '"timestamp"', '"x":%s%s,"timestamp"' % ("[" * 100000, "]" * 100000)),
            "x",  # one byte
            "not json",
            order(1, terminal=(Agent.SUBSTRATE_CODE,)),
            order(2, platform=(Agent.PLATFORM,), group=(Agent.GROUP,)),
            make_order("GetLatestMeasurementData", request(3, "GetLatestMeasurementData")),
        ]
        agent.send_order(*texts)
        got = answers.wait_answers(4)
        executed = [request(n) for n in ("bound", 1, 2)] + [request(3, "GetLatestMeasurementData")]
        self.assertEqual(sim.requests(), executed)
        self.assertEqual(got[0]["data"], {"result": "failed", "value": ""})
        for n, answer in enumerate(got[1:], 1):
            self.assertEqual(answer["data"]["result"], "success")
            self.assertIn('<commandResponse id="%d">' % n, answer_value(answer))
        self.assertEqual(got[3]["order"]["indicate"], "GetLatestMeasurementData")
        self.assertTrue(agent.running())
        rows = query(agent.db_file, "SELECT recv_xml, res_result FROM command_info ORDER BY id")
        self.assertEqual([(r[0], r[1] == 0) for r in rows],
                         list(zip(executed, [False, True, True, True])))
        # Nothing of the foreign or unusable orders is left to run.
        wait_until(lambda: not agent.spool_files(), "spool emptied")
        self.assertEqual(len(answers.payloads()), 4)

    def test_full_spool_answers_a_new_order_failed_at_once(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        # The first request is never answered in time: the spool stays full meanwhile.
        sim = self.start(LoggerSim(folder, "--mode", "never", "--fault-count", "1"))
        agent = Agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url, "CURL_TIMEOUT": 30}})
        for n in range(1, 1001):
            write_text(os.path.join(agent.settings["SPOOL_DIR"], "%020d.order" % n), order(n))
        self.start(agent)
        answers = self.subscribe(broker, agent.topic_pub)
        sim.wait_requests(1)
        # More refusals at once than the spool holds orders: each is answered, once, "failed"
        # whatever result the order brought along.
        agent.send_order(*[order(5000, tag=n, result="success") for n in range(2500)])
        got = [a["data"] for a in answers.wait_answers(2500)]
        self.assertEqual(sorted(a["tag"] for a in got), list(range(2500)))
        self.assertEqual({a["result"] for a in got}, {"failed"})
        self.assertTrue(all("spool full" in a["error"] for a in got))
        self.assertEqual(sim.requests(), [request(1)])  # still inside the first order
        agent.terminate(signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
