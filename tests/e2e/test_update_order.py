"""The software update order end to end: an UpdateLogger order on the broker is scheduled by
cee-agent, answered over MQTT with the response XML, and the same XML is posted to the result
server named in the logger application's SystemSetting.xml."""
import base64
import json
import os
import re
import sqlite3
import unittest

from harness import E2ETestCase, LoggerSim, exact, find_in_order, make_order, write_text

REQUEST = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="REQ-42"><command>'
           'UpdateLogger</command><requestData><command_type id="UPD-7">%s</command_type>'
           '<p>/var/repos/tools/abc_1.2_armhf.deb</p>%s</requestData></commandRequest>')


class UpdateOrderTest(E2ETestCase):
    def start_all(self, faketime=None):
        folder = self.temp_dir()
        broker = self.start_broker()
        result_server = self.start_program(LoggerSim(folder, name="result-server"))
        agent_dir = os.path.join(folder, "agent")
        os.makedirs(agent_dir)
        write_text(os.path.join(agent_dir, "SystemSetting.xml"),
                   '<?xml version="1.0" encoding="UTF-8"?>\n<logger loggerId="LG-1" '
                   'plantId="PL-9">\n  <general>\n    <serverUrl>%s</serverUrl>\n'
                   '  </general>\n</logger>\n' % result_server.url)
        agent = self.start_agent(agent_dir, broker, faketime=faketime)
        answers = self.subscribe(broker, agent.topic_pub)
        return result_server, agent, answers

    def test_normal_update_is_answered_and_reported(self):
        # 10:00 local time: the run falls into one of the next three nightly windows.
        result_server, agent, answers = self.start_all(faketime="2026-12-07 10:00:00")
        agent.send_order(make_order("UpdateLogger", REQUEST % ("0", ""),
                                    platform=[agent.PLATFORM], group=["all"], terminal=["*"]))
        line = answers.wait_for_lines(1)[0]
        answer = json.loads(line.partition(" ")[2])
        self.assertEqual(answer["data"]["result"], "success")
        xml = base64.b64decode(answer["data"]["value"]).decode()

        posted = result_server.wait_requests(1)[0]
        self.assertEqual(posted, xml)
        self.assertTrue(xml.startswith('<?xml version="1.0" encoding="UTF-8"?>\n'
                                       '<commandRequest id="REQ-42" loggerId="LG-1" '
                                       'plantId="PL-9">\n'
                                       '    <command>NotifyUpdateLoggerResponse</command>\n'),
                        xml)
        run = re.search(r'<p x="1" id="UPD-7">(\d{14})</p>\n        <status_list/>\n', xml)
        self.assertIsNotNone(run, xml)
        stamp = run.group(1)
        self.assertIn(stamp[:8], ("20261207", "20261208", "20261209", "20261210"))
        self.assertTrue("2300" <= stamp[8:12] or stamp[8:12] <= "0358", stamp)
        self.assertEqual(stamp[12:], "00")
        self.assertNotIn("<detail>", xml)

        with sqlite3.connect(agent.db_file) as db:
            info = db.execute("SELECT command_json, upd_command_id, upd_cmd_req_id, "
                              "upd_command_type, upd_sched_exec_time, res_result, "
                              "res_result_str FROM command_info").fetchall()
            runs = db.execute("SELECT sched_proc_time, exic_num, proc_status FROM "
                              "proc_info").fetchall()
            packages = db.execute("SELECT package_filename, package_name FROM "
                                  "package_list").fetchall()
        sched = "%s-%s-%s %s:%s:%s" % (stamp[0:4], stamp[4:6], stamp[6:8], stamp[8:10],
                                       stamp[10:12], stamp[12:14])
        self.assertEqual(info, [("UpdateLogger", "UPD-7", "REQ-42", 0, sched, 0, xml)])
        self.assertEqual(runs, [(sched, 0, 0)])
        self.assertEqual(packages, [("abc_1.2_armhf.deb", "abc")])

        agent.wait_for_log("in startMain loop : end Send Data to MZKT (HTTP POST) -> success (0)")
        find_in_order(agent.log(), [
            exact("in CreateCmdInfoObj : command found -> UpdateLogger"),
            exact("in CmdInfoUpdate execute true"),
            exact("in CmdInfoUpdate execCommand : DB commit -> success"),
            "in startMain loop : end Send Data (MQTT publish) -> success (0)",
            "in startMain loop : find Send Data to MZKT cnt -> 1",
            "in startMain loop : start Send Data to MZKT : Send Data -> "
            + answer["data"]["value"],
            "in startMain loop : end Send Data to MZKT (HTTP POST) -> success (0)",
        ])

    def test_unusable_request_is_answered_as_failed(self):
        result_server, agent, answers = self.start_all()
        agent.send_order(make_order("UpdateLogger", REQUEST % ("2", "")))
        answer = json.loads(answers.wait_for_lines(1)[0].partition(" ")[2])
        self.assertEqual(answer["data"]["result"], "failed")
        xml = base64.b64decode(answer["data"]["value"]).decode()
        self.assertIn('<p x="1" id="UPD-7">0</p>', xml)
        self.assertIn("<detail>XML parsing error (err=2) [st=0]</detail>", xml)
        self.assertEqual(result_server.wait_requests(1)[0], xml)


if __name__ == "__main__":
    unittest.main()
