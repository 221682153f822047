"""Faults around a running cee-agent: the broker going away and coming back with its
sessions, and the database folder on a full file system (a small tmpfs: skipped where it
cannot be mounted). Each order is answered, and recorded where there is room."""
import os
import subprocess
import unittest

from harness import DEADLINE_S, Agent, E2ETestCase, LoggerSim, answer_ids, order, query, request


def recorded(db_file):
    return query(db_file, "SELECT recv_xml, res_result FROM command_info ORDER BY id")


class BrokerOutageTest(E2ETestCase):

    def test_orders_queued_while_cut_off_run_after_reconnect(self):
        folder = self.temp_dir()
        # Sessions survive the broker's restarts; the test's clients use a listener of their
        # own, so orders can be queued while the agent cannot reach the broker.
        broker = self.start_broker(persistence=True, side_port=True)
        # The first order is still running when the broker goes away.
        sim = self.start(LoggerSim(folder, "--mode", "slow", "--delay-ms", "1500",
                                   "--fault-count", "1"))
        agent = self.start(Agent(os.path.join(folder, "agent"), broker,
                                 settings={"QMT_HTTP": {"URL": sim.url}},
                                 mqtt={"PUBLISH_TIMEOUT_S": 2}))
        answers = self.subscribe(broker, agent.topic_pub, durable=True)
        agent.send_order(order(0))
        sim.wait_requests(1)
        answers.stop()
        broker.stop()
        broker.start(main_listener=False)
        agent.send_order(*[order(n) for n in range(1, 4)])
        broker.stop()

        broker.start()
        answers.start()
        self.assertEqual(sim.wait_requests(4, DEADLINE_S * 2), [request(n) for n in range(4)])
        got = answers.wait_answers(4, DEADLINE_S * 2)
        self.assertEqual([a["data"]["result"] for a in got], ["success"] * 4)
        self.assertEqual(sorted(answer_ids(got)), ["0", "1", "2", "3"])
        self.assertEqual(recorded(agent.db_file), [(request(n), 0) for n in range(4)])


class FullFileSystemTest(E2ETestCase):

    def test_orders_are_answered_while_the_database_folder_is_full(self):
        folder = self.temp_dir()
        db_dir = os.path.join(folder, "db")
        os.makedirs(db_dir)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", db_dir],
                              capture_output=True, text=True, timeout=DEADLINE_S)
        if done.returncode != 0:
            self.skipTest("cannot mount a tmpfs here (%s)" % done.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", db_dir], timeout=DEADLINE_S)
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder))
        agent = self.start(Agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url}, "DATABASE": {"DB_PATH": db_dir}}))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(order(1))
        answers.wait_answers(1)

        filler = os.path.join(db_dir, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"], capture_output=True,
                       timeout=DEADLINE_S)
        self.assertEqual(os.statvfs(db_dir).f_bavail, 0)  # full
        agent.send_order(order(2), order(3))
        got = answers.wait_answers(3)
        self.assertEqual([a["data"]["result"] for a in got], ["success"] * 3)
        self.assertEqual(recorded(agent.db_file), [(request(1), 0)])

        os.remove(filler)  # room again: recording resumes
        agent.send_order(order(4))
        answers.wait_answers(4)
        self.assertEqual(agent.terminate(), 0)
        self.assertEqual(recorded(agent.db_file), [(request(1), 0), (request(4), 0)])
        self.assertEqual(query(agent.db_file, "PRAGMA integrity_check"), [("ok",)])
        self.assertEqual(sorted(os.listdir(db_dir)), ["cee_pkg_upd.db"])


if __name__ == "__main__":
    unittest.main()
