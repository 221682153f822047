"""Faults around a running cee-agent: the broker going away and coming back with its
sessions, a logger application that drops connections, and the database or log folder on a
full file system (a small tmpfs: skipped where it cannot be mounted). Each order is answered,
and recorded where there is room."""
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


class LoggerApplicationFaultTest(E2ETestCase):

    def test_dropped_connections_are_retried_as_often_as_the_settings_say(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder, "--mode", "close", "--fault-count", "2"))
        agent = self.start(Agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url, "RETRY_NUM": 1, "RETRY_INTERVAL": 100}}))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(order(1), order(2))
        got = answers.wait_answers(2)
        self.assertEqual([a["data"]["result"] for a in got], ["failed", "success"])
        self.assertEqual(sim.requests(), [request(1), request(1), request(2)])
        self.assertEqual(recorded(agent.db_file), [(request(1), 52), (request(2), 0)])


class FullFileSystemTest(E2ETestCase):
    """The database folder or the log folder on a 1 MiB tmpfs that fills up while the agent
    runs: every order is still answered, and rows are missing only for the time the database
    folder is full."""

    def fill_and_free(self, section, key):
        folder = self.temp_dir()
        small = os.path.join(folder, "small")
        os.makedirs(small)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", small],
                              capture_output=True, text=True, timeout=DEADLINE_S)
        if done.returncode != 0:
            self.skipTest("cannot mount a tmpfs here (%s)" % done.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", small], timeout=DEADLINE_S)
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder))
        agent = self.start(Agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url}, section: {key: small}}))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(order(1))
        answers.wait_answers(1)

        filler = os.path.join(small, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"], capture_output=True,
                       timeout=DEADLINE_S)
        self.assertEqual(os.statvfs(small).f_bavail, 0)  # full
        agent.send_order(order(2), order(3))
        got = answers.wait_answers(3)
        self.assertEqual([a["data"]["result"] for a in got], ["success"] * 3)
        rows_while_full = recorded(agent.db_file)

        os.remove(filler)  # room again
        agent.send_order(order(4))
        answers.wait_answers(4)
        self.assertEqual(agent.terminate(), 0)
        self.assertEqual(query(agent.db_file, "PRAGMA integrity_check"), [("ok",)])
        return rows_while_full, recorded(agent.db_file), os.listdir(small)

    def test_orders_are_answered_while_the_database_folder_is_full(self):
        while_full, after, files = self.fill_and_free("DATABASE", "DB_PATH")
        self.assertEqual(while_full, [(request(1), 0)])
        self.assertEqual(after, [(request(1), 0), (request(4), 0)])
        self.assertEqual(files, ["cee_pkg_upd.db"])

    def test_orders_are_recorded_while_the_log_folder_is_full(self):
        while_full, after, files = self.fill_and_free("LOG", "LOG_DIR")
        self.assertEqual(while_full, [(request(n), 0) for n in (1, 2, 3)])
        self.assertEqual(after, [(request(n), 0) for n in (1, 2, 3, 4)])
        self.assertIn("cee.log", files)


if __name__ == "__main__":
    unittest.main()
