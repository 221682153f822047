"""Faults around a running cee-agent: the broker going away and coming back with its
sessions, a logger application that drops connections, and the database or log folder on a
full file system (a small tmpfs: skipped where it cannot be mounted). Each order is answered,
and recorded where there is room."""
import os
import subprocess
import unittest

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, answer_ids, order, query,
                     read_text, request, wait_until)


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


class DamagedDatabaseTest(E2ETestCase):

    def test_a_file_that_is_not_a_database_is_moved_aside_and_replaced(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder))
        agent = Agent(os.path.join(folder, "agent"), broker,
                      settings={"QMT_HTTP": {"URL": sim.url}})
        answers = self.subscribe(broker, agent.topic_pub)
        garbage = "this is not a database\n" * 200
        self.start(agent).send_order(order(1))
        answers.wait_answers(1)
        # Overwritten while the agent runs, then found so at a start.
        for n, restart in ((2, False), (3, True)):
            if restart:
                self.assertEqual(agent.terminate(), 0)
            with open(agent.db_file, "w") as f:
                f.write(garbage)
            if restart:
                self.start(agent)
            agent.send_order(order(n))
            self.assertEqual(answers.wait_answers(n)[-1]["data"]["result"], "success")
            self.assertEqual(recorded(agent.db_file), [(request(n), 0)])
        folder = os.path.dirname(agent.db_file)
        # The write-ahead log in use beside the file overwritten while the agent ran goes aside
        # with it (never into the new database).
        aside = sorted(f for f in os.listdir(folder) if ".damaged-" in f and f[-4:] != "-wal")
        self.assertEqual(len(aside), 2, aside)
        self.assertEqual({read_text(os.path.join(folder, f)) for f in aside}, {garbage})
        self.assertIn("is not a database : moved aside to", agent.log())


class FullFileSystemTest(E2ETestCase):
    """The agent's folder (database, order spool, settings) or its log folder on a 1 MiB tmpfs
    that fills up while an order runs, or the spool's file system turned read-only while
    orders wait: the agent stays up, every order is answered once, none runs twice, and
    everything works again once there is room."""

    def fill_and_free(self, data_on_small):
        small, folder = self.small_fs(), self.temp_dir()
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder, "--mode", "slow", "--delay-ms", "1000",
                                   "--fault-count", "2"))
        # The agent's folder holds its database and spool (and settings); the log is apart.
        home, log = (small, folder) if data_on_small else (folder, small)
        agent = self.start(Agent(os.path.join(home, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url}, "LOG": {"LOG_DIR": log}}))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(order(1, tag=1))
        answers.wait_answers(1)
        agent.send_order(order(2, tag=2))
        sim.wait_requests(2)  # order 2 runs while the disk fills up
        filler = os.path.join(small, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"], capture_output=True,
                       timeout=DEADLINE_S)
        self.assertEqual(os.statvfs(small).f_bavail, 0)  # full
        agent.send_order(order(3, tag=3))
        answers.wait_answers(3)
        rows_while_full = recorded(agent.db_file)

        os.remove(filler)  # room again
        agent.send_order(order(4, tag=4))
        got = {a["data"]["tag"]: a["data"] for a in answers.wait_answers(4)}
        self.assertTrue(agent.running())
        self.assertEqual(agent.terminate(), 0)
        self.assertEqual(query(agent.db_file, "PRAGMA integrity_check"), [("ok",)])
        self.assertEqual((len(answers.payloads()), sorted(got)), (4, [1, 2, 3, 4]))
        return got, rows_while_full, recorded(agent.db_file), sorted(os.listdir(small))

    def test_orders_are_answered_while_the_data_folder_is_full(self):
        got, while_full, after, files = self.fill_and_free(True)
        # The order that arrived while the disk was full is refused; the others ran.
        self.assertEqual([got[n]["result"] for n in (1, 2, 3, 4)],
                         ["success", "success", "failed", "success"])
        self.assertIn("No space left on device", got[3]["error"])
        self.assertEqual(while_full[0], (request(1), 0))
        self.assertEqual([after[0], after[-1]], [(request(1), 0), (request(4), 0)])
        self.assertNotIn(request(3), [r[0] for r in after])
        self.assertEqual(files, ["agent"])

    def test_orders_are_recorded_while_the_log_folder_is_full(self):
        got, while_full, after, files = self.fill_and_free(False)
        self.assertEqual([got[n]["result"] for n in (1, 2, 3, 4)], ["success"] * 4)
        self.assertEqual(after, [(request(n), 0) for n in (1, 2, 3, 4)])
        self.assertIn("cee.log", files)

    def test_orders_that_cannot_be_marked_started_are_answered_failed_and_never_run(self):
        small, folder = self.small_fs(), self.temp_dir()
        broker = self.start_broker()
        sim = self.start(LoggerSim(folder, "--mode", "slow", "--delay-ms", "1000",
                                   "--fault-count", "1"))
        first = Agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url}, "SPOOL_DIR": small})
        answers = self.subscribe(broker, first.topic_pub)
        self.start(first).send_order(*[order(n, tag=n) for n in range(1, 6)])
        sim.wait_requests(1)
        subprocess.run(["mount", "-o", "remount,ro", small], check=True, timeout=DEADLINE_S)
        got = {a["data"]["tag"]: a["data"] for a in answers.wait_answers(5)}
        self.assertEqual([got[n]["result"] for n in range(1, 6)], ["success"] + ["failed"] * 4)
        self.assertTrue(all("not executed" in got[n]["error"] for n in range(2, 6)))
        subprocess.run(["mount", "-o", "remount,rw", small], check=True, timeout=DEADLINE_S)
        wait_until(lambda: not first.spool_files(), "spool cleaned up once writable")
        self.assertEqual(first.terminate(), 0)

        self.start(Agent(os.path.join(folder, "agent"), broker, name="second", settings={
            "QMT_HTTP": {"URL": sim.url}, "SPOOL_DIR": small})).send_order(order(6, tag=6))
        answers.wait_answers(6)
        self.assertEqual(sim.requests(), [request(1), request(6)])
        self.assertEqual(len(answers.payloads()), 6)


if __name__ == "__main__":
    unittest.main()
