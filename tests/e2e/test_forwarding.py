"""Forwarding orders end to end: broker -> cee-agent -> logger application (logger-sim) ->
database -> answer on the broker."""
import base64
import datetime
import json
import os
import re
import sqlite3
import unittest

from harness import E2ETestCase, LoggerSim, exact, find_lines, make_order


def rows(db_file, sql):
    with sqlite3.connect(db_file) as db:
        return db.execute(sql).fetchall()


REQUEST = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="%s"><command>%s'
           '</command><requestData><p x="1">蓄電池 0x7D</p></requestData></commandRequest>')


class ForwardingTest(E2ETestCase):
    def start_all(self, sim_args=()):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder, *sim_args))
        agent = self.start_agent(os.path.join(folder, "agent"), broker,
                                 settings={"QMT_HTTP": {"URL": sim.url}})
        answers = self.subscribe(broker, agent.topic_pub)
        return sim, agent, answers

    def answer(self, answers, count):
        lines = answers.wait_for_lines(count)
        return [json.loads(l.partition(" ")[2]) for l in lines]

    def test_orders_of_the_catalogue_round_trip(self):
        sim, agent, answers = self.start_all()
        names = ["ReadFromEchonetDevice", "GetLatestMeasurementData",
                 "TransferOutputControlSchedule", "nwreset", "Restart"]
        before = datetime.datetime.utcnow().replace(microsecond=0)
        for i, name in enumerate(names):
            agent.send_order(make_order(name, REQUEST % (i, name), platform=[agent.PLATFORM],
                                        group=["*"], terminal=[agent.SUBSTRATE_CODE],
                                        extra={"order": {"target": {"note": i}},
                                               "timestamp": "2026/12/06 10:00:%02d" % i}))
        received = sim.wait_requests(len(names))
        got = self.answer(answers, len(names))
        self.assertEqual(received, [REQUEST % (i, n) for i, n in enumerate(names)])

        db_rows = rows(agent.db_file, "SELECT command_json, recv_xml, server_time_str, "
                       "res_error_str, res_result, res_result_str FROM command_info ORDER BY id")
        self.assertEqual(len(db_rows), len(names))
        for i, (name, answer) in enumerate(zip(names, got)):
            self.assertEqual(answer["order"]["indicate"], name)
            self.assertEqual(answer["order"]["target"], {"note": i})  # arrays gone, rest kept
            self.assertEqual(answer["data"]["result"], "success")
            body = base64.b64decode(answer["data"]["value"]).decode()
            self.assertIn("<commandResponse", body)
            self.assertIn("<status>SUCCESS</status>", body)
            stamp = datetime.datetime.strptime(answer["timestamp"], "%Y-%m-%d %H:%M:%S")
            self.assertLessEqual(abs((stamp - before).total_seconds()), 120)
            self.assertEqual(db_rows[i], (name, REQUEST % (i, name),
                                          "2026-12-06 10:00:%02d" % i, "", 0, body))
        # The wire form escapes "/" and sorts members.
        raw = answers.lines()[0].partition(" ")[2]
        self.assertTrue(raw.startswith('{"data":{"result":"success","value":"'))
        if "/" in got[0]["data"]["value"]:
            self.assertIn("\\/", raw)
        agent.wait_for_log(exact("in CmdInfoTransferOutputCtrlSched execCommand : execute "
                                 "result -> success : (0)"))
        self.assertTrue(find_lines(agent.log(), exact("in CmdInfoNwReset execute true")))

    def test_error_status_is_still_success(self):
        sim, agent, answers = self.start_all(["--mode", "status500"])
        agent.send_order(make_order("ResetStorageBattery", REQUEST % (1, "ResetStorageBattery")))
        answer = self.answer(answers, 1)[0]
        self.assertEqual(answer["data"]["result"], "success")
        self.assertIn("commandResponse", base64.b64decode(answer["data"]["value"]).decode())
        self.assertEqual(rows(agent.db_file, "SELECT res_result FROM command_info"), [(0,)])

    def test_unreachable_logger_application(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        agent = self.start_agent(folder, broker, settings={
            "QMT_HTTP": {"URL": "http://127.0.0.1:9/", "RETRY_NUM": 2, "RETRY_INTERVAL": 50}})
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(make_order("SaveFile", "<commandRequest/>"))
        answer = self.answer(answers, 1)[0]
        self.assertEqual(answer["data"], {"result": "failed", "value": ""})
        warnings = find_lines(agent.log(), re.compile(
            r"in http_access : failed to access url : Retry remaining -> (\d+)$"))
        self.assertEqual([w.text[-1] for w in warnings], ["2", "1", "0"])
        self.assertEqual(rows(agent.db_file, "SELECT res_error_str, res_result, res_result_str "
                              "FROM command_info"), [("8082 port send error.", 7, "")])

    def test_lock_file_missing_data_and_unknown_names(self):
        sim, agent, answers = self.start_all()
        # A lock file left by someone else: forwarded and answered, nothing recorded.
        open(agent.lock_file(), "w").close()
        agent.send_order(make_order("UploadFile", "<commandRequest id=\"L\"/>"))
        self.assertEqual(self.answer(answers, 1)[0]["data"]["result"], "success")
        self.assertEqual(rows(agent.db_file, "SELECT count(*) FROM command_info"), [(0,)])
        self.assertFalse(os.path.exists(agent.lock_file()))

        # No data member: an empty body is posted; the answer has data null and no result.
        agent.send_order(make_order("UploadNormalLog", extra={"data": None}))
        sim.wait_requests(2)
        self.assertEqual(sim.requests()[1], "")
        answer = self.answer(answers, 2)[1]
        self.assertIsNone(answer["data"])

        # Other spellings of known names are not executed and not answered.
        for name in ("restart", "NwReset"):
            agent.send_order(make_order(name, "<commandRequest/>"))
        agent.wait_for_log(exact("in executeServerOrder : no execution command : name -> base"),
                           count=2)
        self.assertEqual(len(answers.sync()), 2)
        self.assertEqual(len(sim.requests()), 2)


if __name__ == "__main__":
    unittest.main()
