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


if __name__ == "__main__":
    unittest.main()
