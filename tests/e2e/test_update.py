"""The software update across processes: cee-agent, on a fixed clock, schedules an UpdateLogger
order (answered on the broker, reported to the result server) and cee-updater, on the same
clock after the scheduled time, carries it out from the same database. While the package
updater runs, the agent records and answers its orders; an updater killed during the
installation (a stop signal does not break it off) leaves its lock file, which a running
updater keeps, and an attempt without outcome, which the next one settles from what the package
manager shows, without installing again."""
import datetime
import os
import signal
import unittest

from harness import (Agent, E2ETestCase, LoggerSim, Updater, answer_value, make_order, order,
                     query, read_text, wait_until, write_text)

SYSTEM_SETTING = ('<?xml version="1.0" encoding="UTF-8"?>\n<logger loggerId="LG-1" '
                  'plantId="PL-9"><general><serverUrl>%s</serverUrl></general></logger>\n')
REQUEST = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="REQ-7001"><command>'
           'UpdateLogger</command><requestData><command_type id="7001">0</command_type>'
           '<p>/var/repos/tools/abc_1.2_armhf.deb</p></requestData></commandRequest>')
# Holds the installation until the test lets it go (bounded: two minutes).
HELD = ('echo $$ > {d}/held\nn=0\nwhile [ ! -e {d}/release ] && [ $n -lt 1200 ]; do\n'
        '  n=$((n + 1)); sleep 0.1\ndone')


class UpdateAcrossProcessesTest(E2ETestCase):

    def test_the_agents_job_is_installed_by_the_updater_once_its_lock_is_free(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        result_server = self.start(LoggerSim(folder, name="result-server"))
        logger_app = self.start(LoggerSim(folder))
        setting = write_text(os.path.join(folder, "SystemSetting.xml"),
                             SYSTEM_SETTING % result_server.url)
        agent = self.start(Agent(os.path.join(folder, "agent"), broker, settings={
            "SYSTEM_SETTING_XML_FILE": setting, "PKG_UPDATE": {"REMOVE_PKG_DIR": "/var/repos/"},
            "QMT_HTTP": {"URL": logger_app.url}}, faketime="2026-12-07 10:00:00"))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(make_order("UpdateLogger", REQUEST, platform=[agent.PLATFORM]))
        answer = answers.wait_answers(1)[0]
        self.assertEqual(answer["data"]["result"], "success")
        self.assertEqual(result_server.wait_requests(1), [answer_value(answer)])
        [(scheduled,)] = query(agent.db_file, "SELECT sched_proc_time FROM proc_info")
        # The next three nightly windows of the agent's clock (local time, UTC+9).
        self.assertTrue("2026-12-07 23:00:00" <= scheduled <= "2026-12-10 03:58:00", scheduled)
        now = (datetime.datetime.strptime(scheduled, "%Y-%m-%d %H:%M:%S")
               + datetime.timedelta(minutes=1)).strftime("%Y-%m-%d %H:%M:%S")

        table = write_text(os.path.join(folder, "installed"), "ii  abc 1.0 armhf x\n")

        def updater(name, package_updater=None):
            return Updater(os.path.join(folder, name), os.path.dirname(agent.db_file), (),
                           package_updater, name, now, {"SYSTEM_SETTING_XML_FILE": setting},
                           table)
        held_dir = os.path.join(folder, "first")
        self.addCleanup(write_text, os.path.join(held_dir, "release"), "")
        first = self.start(updater("first", HELD.format(d=held_dir)))
        wait_until(lambda: os.path.exists(os.path.join(held_dir, "held")), "installation")
        # Orders during the installation are recorded and answered: no transaction of the
        # updater is open while the package updater runs.
        agent.send_order(*[order(n, platform=[agent.PLATFORM]) for n in range(1, 5)])
        agent.send_order(make_order("UpdateLogger", REQUEST.replace("7001", "7002"),
                                    platform=[agent.PLATFORM]))
        during = answers.wait_answers(6)[1:]
        self.assertEqual([a["data"]["result"] for a in during], ["success"] * 5)
        self.assertEqual(query(agent.db_file, "SELECT count(*) FROM command_info WHERE "
                               "res_result = 0"), [(6,)])
        self.assertEqual(query(agent.db_file, "SELECT count(*) FROM proc_info"), [(2,)])
        self.assertFalse(os.path.exists(os.path.join(held_dir, "release")))
        # A second start while the first runs: its lock is kept.
        self.assertEqual(self.start(updater("second")).wait_exit(), 2)
        # A stop signal does not break off an installation: once it is taken, the kill below
        # is what ends the updater.
        first.proc.send_signal(signal.SIGTERM)
        status = "/proc/%d/status" % first.proc.pid
        wait_until(lambda: not first.running() or "SigPnd:\t0000000000000000\nShdPnd:\t"
                   "0000000000000000" in read_text(status), "the signal taken")
        self.assertEqual(first.terminate(signal.SIGKILL), -signal.SIGKILL)
        write_text(os.path.join(held_dir, "release"), "")
        self.assertTrue(os.path.exists(first.lock_file))
        # The killed updater's package updater goes on and installs.
        wait_until(lambda: read_text(table) == "ii  abc 1.2 armhf x\n", "the installation")

        third = self.start(updater("third"))
        self.assertEqual(third.wait_exit(), 0)
        self.assertFalse(os.path.exists(third.lock_file))
        # The next start records what the package updater did and installs nothing again.
        self.assertEqual(query(agent.db_file, "SELECT exic_num, proc_status FROM proc_info "
                               "ORDER BY id"), [(0, 1), (0, 0)])
        self.assertEqual(query(agent.db_file, "SELECT old_package_filename FROM package_list "
                               "ORDER BY id"), [("abc_1.0_armhf.deb",), (None,)])
        self.assertEqual(read_text(os.path.join(third.folder, "package_updater.started")), "")
        self.assertIn("interrupted attempt", third.log())
        self.assertEqual(read_text(os.path.join(third.result_dir, "logger_reboot")),
                         "update\n7001\n")
        self.assertEqual(query(agent.db_file, "PRAGMA integrity_check"), [("ok",)])


# Holds a re-install (a roll-back) until the test lets it go; an installation goes through.
HELD_REINSTALL = ('if grep -q "^# re-install" "$1"; then echo $$ > {d}/held\nn=0\n'
                  'while [ ! -e {d}/release ] && [ $n -lt 1200 ]; do\n'
                  '  n=$((n + 1)); sleep 0.1\ndone; fi')


class HealthCheckTest(E2ETestCase):
    """The health check after an installation, through the real updater: the agent schedules the
    orders, logger-sim is the logger application (stopped with SIGSTOP when the device is to
    look unhealthy), stand-in dpkg and package updater scripts install into a table, and every
    start shares the result folder and a finish command that counts its starts."""

    def setUp(self):
        super().setUp()
        self.folder = self.temp_dir()
        broker = self.start_broker()
        result_server = self.start(LoggerSim(self.folder, name="result-server"))
        self.logger_app = self.start(LoggerSim(self.folder))
        self.setting = write_text(os.path.join(self.folder, "SystemSetting.xml"),
                                  SYSTEM_SETTING % result_server.url)
        self.agent = self.start(Agent(os.path.join(self.folder, "agent"), broker, settings={
            "SYSTEM_SETTING_XML_FILE": self.setting,
            "PKG_UPDATE": {"REMOVE_PKG_DIR": "/var/repos/"},
            "QMT_HTTP": {"URL": self.logger_app.url}}, faketime="2026-12-07 10:00:00"))
        self.answers = self.subscribe(broker, self.agent.topic_pub)
        self.table = write_text(os.path.join(self.folder, "installed"),
                                "ii  abc 1.0 armhf x\nii  def 1.0 armhf x\n")
        self.results = os.path.join(self.folder, "results")
        self.finish = write_text(os.path.join(self.folder, "finish.sh"),
                                 "echo started >> %s/finishes\n" % self.folder)
        self.now, self.starts = None, 0

    def order(self, command_id, package):
        self.agent.send_order(make_order("UpdateLogger", REQUEST.replace("7001", command_id)
                                         .replace("abc_1.2_armhf.deb", package),
                                         platform=[self.agent.PLATFORM]))
        self.answers.wait_answers(len(self.answers.payloads()) + 1)
        [(scheduled,)] = query(self.agent.db_file, "SELECT max(sched_proc_time) FROM proc_info")
        self.now = (datetime.datetime.strptime(scheduled, "%Y-%m-%d %H:%M:%S")
                    + datetime.timedelta(minutes=1)).strftime("%Y-%m-%d %H:%M:%S")

    def updater(self, package_updater=None, **health):
        self.starts += 1
        name = "start%d" % self.starts
        return self.start(Updater(
            os.path.join(self.folder, name), os.path.dirname(self.agent.db_file), (),
            package_updater, name, self.now, {
                "SYSTEM_SETTING_XML_FILE": self.setting,
                "PKG_UPDATE": {"RESULT_DIR": self.results, "REBOOT_COMMAND": self.finish},
                "QMT_HTTP": {"URL": self.logger_app.url, "CURL_TIMEOUT": 1},
                "HEALTH": dict({"ENABLED": True, "SETTLE_S": 0, "INTERVAL_S": 1, "WINDOW_S": 2},
                               **health)}, self.table))

    def run_updater(self, **health):
        updater = self.updater(**health)
        self.assertEqual(updater.wait_exit(), 0)
        return updater

    def result(self, name):
        return read_text(os.path.join(self.results, name))

    def runs(self):
        return query(self.agent.db_file, "SELECT c.upd_command_id, p.proc_status FROM proc_info p "
                     "JOIN command_info c ON c.id = p.command_info_id ORDER BY p.id")

    def finishes(self):
        return read_text(os.path.join(self.folder, "finishes")).count("started")

    def test_healthy_stays_unhealthy_goes_back_even_when_the_roll_back_is_cut_off(self):
        self.order("7001", "abc_1.2_armhf.deb")
        self.run_updater()
        self.assertEqual(self.result("logger_reboot"), "update\n7001\npending verification\n")
        self.run_updater()
        self.assertEqual(self.result("logger_reboot"), "update\n7001\n")

        self.order("7002", "def_2.0_armhf.deb")
        self.run_updater()
        self.logger_app.proc.send_signal(signal.SIGSTOP)  # stops answering
        held = os.path.join(self.folder, "held")
        self.addCleanup(write_text, held + ".release", "")
        cut = self.updater(HELD_REINSTALL.format(d=held.replace("/held", "")))
        wait_until(lambda: os.path.exists(held), "the roll-back")
        self.assertEqual(cut.terminate(signal.SIGKILL), -signal.SIGKILL)
        write_text(os.path.join(self.folder, "release"), "")
        wait_until(lambda: "def 1.0" in read_text(self.table), "the re-install")
        self.logger_app.proc.send_signal(signal.SIGCONT)
        self.run_updater()  # settles the cut-off roll-back, without installing again
        self.assertEqual(self.result("update_failed").split("\n")[:2], [
            "7002", "<16> health check failed : http : no answer -> 28 : rolled back"])
        self.assertEqual(self.result("logger_reboot"), "")
        self.run_updater()  # the old version verified
        self.assertEqual(self.runs(), [("7001", 1), ("7002", 6)])
        self.assertEqual(read_text(os.path.join(cut.folder, "zorupdate", os.listdir(
            os.path.join(cut.folder, "zorupdate"))[0])).split("\n")[4:], [
            "2 %s/packages tools def_1.0_armhf.deb" % cut.folder, ""])
        self.assertEqual(query(self.agent.db_file, "SELECT kind, outcome FROM install_journal "
                               "ORDER BY id"), [(0, 0), (0, 0), (2, 0)])
        self.assertEqual(sorted(read_text(self.table).splitlines()),
                         ["ii  abc 1.2 armhf x", "ii  def 1.0 armhf x"])
        wait_until(lambda: self.finishes() == 3, "three finish commands")

    def test_a_reboot_loop_rolls_back_and_an_unhealthy_old_version_ends_it(self):
        self.order("7001", "abc_1.2_armhf.deb")
        self.run_updater()
        for _ in range(2):  # killed while it waits to check, as a reboot would
            waiting = self.updater(SETTLE_S=30, MAX_VERIFY_STARTS=2)
            wait_until(lambda: "verifying the installation" in waiting.log(), "verification")
            self.assertEqual(waiting.terminate(signal.SIGKILL), -signal.SIGKILL)
        self.logger_app.proc.send_signal(signal.SIGSTOP)
        self.run_updater(MAX_VERIFY_STARTS=2)
        self.assertIn("verification cut off : 2 start(s)", self.result("update_failed"))
        self.run_updater()
        self.assertEqual(self.result("update_failed").split("\n")[:2], [
            "7001", "<17> roll-back failed : old version unhealthy : http : no answer -> 28"])
        later = self.run_updater()
        self.assertEqual(self.runs(), [("7001", 7)])
        self.assertNotIn("health check", later.log())
        self.assertEqual(sorted(read_text(self.table).splitlines()),
                         ["ii  abc 1.0 armhf x", "ii  def 1.0 armhf x"])
        wait_until(lambda: self.finishes() == 2, "two finish commands")

    def test_a_device_unhealthy_before_is_updated_unverified(self):
        self.order("7001", "abc_1.2_armhf.deb")
        self.logger_app.proc.send_signal(signal.SIGSTOP)
        self.run_updater()
        self.logger_app.proc.send_signal(signal.SIGCONT)
        self.assertEqual(self.result("logger_reboot"), "update\n7001\nunverified\n")
        self.assertNotIn("health check", self.run_updater().log())
        self.assertEqual(self.runs(), [("7001", 1)])


if __name__ == "__main__":
    unittest.main()
