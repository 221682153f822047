"""Every way cee-agent stops, and its order spool: no order the broker handed over is lost,
none is executed twice, an interrupted one is answered "failed", a full spool refuses at once,
and an answer still waiting for the broker survives a restart."""
import json
import os
import random
import re
import shutil
import signal
import time
import unittest

from harness import (DEADLINE_S, EMULATED, Agent, E2ETestCase, LinkProxy, LoggerSim,
                     answer_ids, order, query, read_text, request, wait_until, write_text)


class OrderSpoolTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        self.folder = self.temp_dir()
        self.broker = self.start_broker(persistence=True)  # for the restart of the broker

    def agent(self, sim, name, **mqtt):
        """One terminal: every agent shares folder and broker session."""
        return Agent(os.path.join(self.folder, "agent"), self.broker, name=name, mqtt=mqtt,
                     settings={"QMT_HTTP": {"URL": sim.url, "CURL_TIMEOUT": 30}})

    def test_sigterm_finishes_the_running_order_and_leaves_the_rest_for_the_restart(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "slow", "--delay-ms", "1000"))
        first = self.start(self.agent(sim, "first"))
        answers = self.subscribe(self.broker, first.topic_pub)
        # SIGHUP and SIGUSR1 are noted, not obeyed.
        for sig in (signal.SIGHUP, signal.SIGUSR1):
            first.proc.send_signal(sig)
            first.wait_for_log("signal ignored -> %d" % sig)
        first.send_order(order(1), order(2), order(3))
        wait_until(lambda: first.spool_orders() >= 2, "orders spooled")
        sim.wait_requests(1)
        self.assertEqual(first.terminate(), 0)
        # The operator's line for the stop names the signal, once.
        self.assertIn("receive signal -> 15", first.log())
        self.assertEqual(first.log().count("receive signal -> "), 1)
        left = first.spool_files()
        self.assertTrue(left and all(f.endswith((".order", ".out")) for f in left), left)
        self.assertEqual((first.spool_orders() + len(sim.requests()), first.spool_answers()),
                         (3, 0))
        self.assertEqual(answer_ids(answers.wait_answers(1)), ["1"])

        # The handlers come first in a start: SIGTERM at any moment of it after that ends it
        # with 0 and runs no order. (Under qemu-user the emulator catches every signal itself,
        # so the moment the agent's own handlers are in place cannot be seen from outside.)
        starting = self.agent(sim, "starting")
        for n in range(0 if EMULATED else 20):
            self.start(starting, wait_ready=False)
            wait_until(lambda: catches(starting.proc.pid, signal.SIGHUP), "handlers installed")
            time.sleep(n * 0.005)
            self.assertEqual(starting.terminate(), 0, "SIGTERM %d ms into a start" % (n * 5))
        self.assertEqual(len(sim.requests()), 1)

        second = self.start(self.agent(sim, "second"))
        got = answers.wait_answers(3)
        self.assertEqual(answer_ids(got), ["1", "2", "3"])
        self.assertEqual([a["data"]["result"] for a in got], ["success"] * 3)
        self.assertEqual(sim.requests(), [request(n) for n in range(1, 4)])
        wait_until(lambda: not second.spool_files(), "spool emptied")

    def test_killed_mid_order_is_answered_failed_and_never_run_again(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "never", "--fault-count", "1"))
        first = self.start(self.agent(sim, "first"))
        answers = self.subscribe(self.broker, first.topic_pub)
        first.send_order(order(1), order(2))
        sim.wait_requests(1)
        wait_until(lambda: any(f.endswith(".row") for f in first.spool_files()), "row noted")
        lock = os.path.join(os.path.dirname(first.db_file), "db_cee.lock")
        self.assertEqual(first.terminate(signal.SIGKILL), -signal.SIGKILL)
        self.assertTrue(os.path.exists(lock))
        # Receipts a crash left damaged: empty, cut off.
        for n, text in ((100, ""), (101, order(101)[:40])):
            write_text(os.path.join(first.settings["SPOOL_DIR"], "%020d.run" % n), text)

        second = self.start(self.agent(sim, "second"))
        got = answers.wait_answers(4)
        self.assertEqual(answer_ids(got), ["", "", "", "2"])
        self.assertEqual([a["data"]["result"] for a in got], ["failed"] * 3 + ["success"])
        self.assertTrue(all("interrupted" in a["data"]["error"] for a in got[:3]))
        self.assertEqual([("damaged" in a["data"]["error"], a["data"].get("receipt"))
                          for a in got[:3]], [(False, None), (True, ""), (True, order(101)[:40])])
        self.assertEqual(sim.requests(), [request(1), request(2)])
        rows = query(second.db_file, "SELECT recv_xml, res_result, res_error_str FROM "
                     "command_info ORDER BY id")
        self.assertEqual([r[:2] for r in rows], [(request(1), -1), (request(2), 0)])
        self.assertIn("interrupted", rows[0][2])
        wait_until(lambda: not second.spool_files(), "spool emptied")
        self.assertEqual(second.terminate(), 0)
        self.assertFalse(os.path.exists(lock))

    def test_a_removed_spool_folder_is_reported_and_made_again(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "slow", "--delay-ms", "1000",
                                   "--fault-count", "1"))
        agent = self.start(self.agent(sim, "agent"))
        answers = self.subscribe(self.broker, agent.topic_pub)
        agent.send_order(*[order(n, tag=n) for n in (1, 2, 3)])
        wait_until(lambda: agent.spool_orders() == 3, "orders spooled")
        sim.wait_requests(1)
        shutil.rmtree(agent.settings["SPOOL_DIR"])  # orders 2 and 3 go with it
        agent.wait_for_log("was removed : made again : waiting orders lost -> 2")
        self.assertEqual(os.stat(agent.settings["SPOOL_DIR"]).st_mode & 0o777, 0o700)
        agent.send_order(order(4, tag=4))
        got = answers.wait_answers(2)
        self.assertEqual([(a["data"]["tag"], a["data"]["result"]) for a in got],
                         [(1, "success"), (4, "success")])
        self.assertEqual(sim.requests(), [request(1), request(4)])
        wait_until(lambda: not agent.spool_files(), "spool emptied")

    def test_a_second_agent_on_the_same_spool_or_database_refuses_to_start(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "slow", "--delay-ms", "1000",
                                   "--fault-count", "1"))
        first = self.start(self.agent(sim, "first"))
        answers = self.subscribe(self.broker, first.topic_pub)
        first.send_order(order(1))
        sim.wait_requests(1)
        for shared in ({"SPOOL_DIR": first.settings["SPOOL_DIR"]},
                       {"DATABASE": {"DB_PATH": os.path.dirname(first.db_file)}}):
            second = self.start(Agent(self.temp_dir(), self.broker, settings=shared),
                                wait_ready=False)
            self.assertEqual(second.wait_exit(), 1)
            self.assertIn("(pid %d," % first.proc.pid, second.stderr())
        got = answers.wait_answers(1)
        self.assertEqual([a["data"]["result"] for a in got], ["success"])
        self.assertEqual(sim.requests(), [request(1)])
        self.assertEqual(first.terminate(), 0)
        self.assertEqual(len(answers.payloads()), 1)

    def test_answers_wait_in_the_spool_for_the_broker_and_hold_back_further_orders(self):
        sim = self.start(LoggerSim(self.folder))
        proxy = LinkProxy(self.broker.port)
        self.addCleanup(proxy.close)
        first = self.start(self.agent(sim, "first", BROKER_URI=proxy.uri, PUBLISH_TIMEOUT_S=1))
        answers = self.subscribe(self.broker, first.topic_pub)
        first.send_order(*[order(n, tag=n) for n in range(12)])
        wait_until(lambda: first.spool_orders() >= 11, "orders spooled")
        proxy.cut()  # the broker is out of reach from here on
        first.wait_for_log("10 answers wait for the broker : no order starts")
        self.assertEqual(first.spool_answers(), 10)
        self.assertLess(len(sim.requests()), 12)
        # Stored answers survive a restart, and are sent, not run again.
        self.assertEqual(first.terminate(), 0)
        proxy.mend()
        second = self.start(self.agent(sim, "second", BROKER_URI=proxy.uri))
        by_tag = tagged(answers, 12)
        self.assertEqual([v[0]["data"]["result"] for v in by_tag.values()], ["success"] * 12)
        self.assertEqual(sim.requests(), [request(n) for n in range(12)])
        wait_until(lambda: not second.spool_files(), "spool emptied")

    def test_redelivered_order_runs_once_and_a_new_copy_of_it_runs_again(self):
        sim = self.start(LoggerSim(self.folder))
        proxy = LinkProxy(self.broker.port)
        self.addCleanup(proxy.close)
        agent = self.start(self.agent(sim, "agent", BROKER_URI=proxy.uri, PUBLISH_TIMEOUT_S=1))
        answers = self.subscribe(self.broker, agent.topic_pub)
        proxy.hold_upstream()  # the agent's acknowledgement of the order never arrives
        agent.send_order(order(1))
        sim.wait_requests(1)
        proxy.cut()
        proxy.mend()  # the broker hands the order over again, flagged as a duplicate
        self.broker.wait_for_log("Sending PUBLISH to %s (d1" % agent.client_id)
        agent.send_order(order(2))  # runs after the copy, had the copy been taken
        sim.wait_requests(2)
        agent.send_order(order(1))  # the same text published again: a new order
        self.assertEqual(sim.wait_requests(3), [request(1), request(2), request(1)])
        # Answered at least once each, a repeated answer identical to the first.
        wait_until(lambda: len(set(answers.payloads())) == 3, "three different answers")
        self.assertEqual(sorted(set(answer_ids(answers.wait_answers(3)))), ["1", "2"])
        wait_until(lambda: not agent.spool_files(), "spool emptied")

    def test_kill_9_anywhere_leaves_each_order_executed_at_most_once_and_answered_alike(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "slow", "--delay-ms", "400"))
        proxy = LinkProxy(self.broker.port)
        self.addCleanup(proxy.close)
        answers, chance = None, random.Random(24)
        for n in range(30):
            agent = self.start(self.agent(sim, "round-%d" % n, BROKER_URI=proxy.uri))
            answers = answers or self.subscribe(self.broker, agent.topic_pub)
            agent.send_order(order(n, tag=n, result="success"))  # an answer says what happened
            # Killed at a random moment, inside the order, or while its answer is with the
            # broker but not acknowledged.
            if n % 3 == 0:
                time.sleep(chance.uniform(0, 2))
            else:
                wait_until(lambda: request(n) in sim.requests(), "order %d to run" % n)
            if n % 3 == 2:
                proxy.hold_upstream()
                agent.wait_for_log('Send Data -> {"data":{"result":"success","tag":%d,' % n,
                                   start=agent._log_before)
            self.assertEqual(agent.terminate(signal.SIGKILL), -signal.SIGKILL)
            proxy.mend()
        last = self.start(self.agent(sim, "last", BROKER_URI=proxy.uri))
        by_tag = tagged(answers, 30)
        for n, got in by_tag.items():
            self.assertEqual(got, [got[0]] * len(got), "answers of order %d differ" % n)
        requests = sim.requests()
        self.assertEqual([n for n in range(30) if requests.count(request(n)) > 1], [])
        # An order answered "success" ran once and its row says so: it was never rewritten.
        rows = dict(query(last.db_file, "SELECT recv_xml, res_result FROM command_info"))
        for n, got in by_tag.items():
            self.assertEqual(got[0]["data"]["result"] == "success", "error" not in got[0]["data"])
            if got[0]["data"]["result"] == "success":
                self.assertEqual(rows[request(n)], 0, "row of order %d" % n)
        wait_until(lambda: not last.spool_files(), "spool emptied")


def catches(pid, sig):
    """Whether the process has a handler for sig (its SigCgt mask)."""
    status = read_text("/proc/%d/status" % pid)
    mask = re.search(r"SigCgt:\s*([0-9a-f]+)", status)
    return mask and int(mask.group(1), 16) >> (sig - 1) & 1


def tagged(answers, count):
    """Waits until each of the orders tagged 0..count-1 is answered; their answers by tag."""
    def complete():
        by_tag = {}
        for payload in answers.payloads():
            answer = json.loads(payload)
            by_tag.setdefault(answer["data"]["tag"], []).append(answer)
        return len(by_tag) == count and by_tag
    return wait_until(complete, "answers to %d orders" % count, DEADLINE_S * 3)


if __name__ == "__main__":
    unittest.main()
