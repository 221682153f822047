"""cee-status as a field engineer runs it: the report of a command database made with the agent's
schema, in text and JSON, beside a writer that holds its lock, and proof that it never writes,
locks or creates anything."""
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

from harness import SCHEMA

STATUS = os.environ.get("CEE_STATUS") or os.path.join(
    os.environ.get("CEE_BUILD_DIR", "build"), "tools", "cee-status", "cee-status")


FAILED_TEXT = "<12> execute update : UPDATE FAILED : install execution failed -> 256"


def build_database(path):
    """Orders 1-3 (ok, failed, no result); job 4 emergency "1201" whose first run failed, whose
    retry failed and whose second retry is scheduled; job 5 normal "1100", installed and then
    cancelled after install; job 6 normal "1150", cancelled before execution."""
    db = sqlite3.connect(path, isolation_level=None)
    for statement in SCHEMA:
        db.execute(statement)
    orders = [("Restart", 0, ""), ("ReadFromEchonetDevice", 7, "8082 port send error."),
              ("GetMeasurementData", None, None)]
    for i, (name, result, error) in enumerate(orders):
        db.execute("INSERT INTO command_info ( command_json, recv_xml, server_time_str, "
                   "res_result, res_error_str, create_time ) VALUES ( ?, '<r/>', ?, ?, ?, ? )",
                   (name, "2026-12-07 09:0%d:00" % i, result, error,
                    "2026-12-07 00:0%d:01" % i))
    jobs = [(4, "1201", 1), (5, "1100", 0), (6, "1150", 0)]
    for cid, command_id, kind in jobs:
        db.execute("INSERT INTO command_info ( id, command_json, server_time_str, "
                   "upd_command_id, upd_cmd_req_id, upd_command_type, upd_sched_exec_time, "
                   "res_result, res_error_str ) VALUES ( ?, 'UpdateLogger', '2026-12-07 "
                   "10:00:00', ?, ?, ?, '2026-12-07 23:41:10', 0, '' )",
                   (cid, command_id, "REQ-" + command_id, kind))
    db.execute("INSERT INTO package_list ( command_info_id, seq_no, package_filename, "
               "package_name, package_path, old_package_filename ) VALUES "
               "( 4, 1, 'abc_1.2_armhf.deb', 'abc', 'pool', 'abc_1.1_armhf.deb' )")
    db.execute("INSERT INTO cancel_cid_list ( command_info_id, seq_no, cancel_command_id, "
               "is_cancel ) VALUES ( 4, 1, '1100', 1 ), ( 4, 2, '0999', 0 )")
    runs = [
        (4, "2026-12-07 23:41:10", 0, 2, "2026-12-07 14:45:02", "2026-12-07 14:45:09",
         FAILED_TEXT, None),
        (4, "2026-12-07 23:47:09", 1, 2, "2026-12-07 14:50:00", "2026-12-07 14:50:01", "", None),
        (4, "2026-12-07 23:52:01", 2, 0, None, None, None, None),
        (5, "2026-12-06 23:10:00", 0, 3, "2026-12-06 14:10:00", "2026-12-06 14:10:30", "",
         "2026-12-07 14:45:00"),
        (6, "2026-12-08 01:00:00", 0, 4, None, None, None, "2026-12-07 14:45:00"),
    ]
    db.executemany("INSERT INTO proc_info ( command_info_id, sched_proc_time, exic_num, "
                   "proc_status, r_start_time, r_end_time, r_result_str, cancel_time ) "
                   "VALUES ( ?, ?, ?, ?, ?, ?, ?, ? )", runs)
    db.close()


class CeeStatusTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cee-e2e-status-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.db_dir = os.path.join(self.folder, "db")
        self.result_dir = os.path.join(self.folder, "result")
        os.makedirs(self.db_dir)
        os.makedirs(self.result_dir)
        self.db = os.path.join(self.db_dir, "cee_pkg_upd.db")
        build_database(self.db)
        with open(os.path.join(self.result_dir, "update_failed"), "w") as f:
            f.write("1201\n<4> Old package not found\n")
        with open(os.path.join(self.result_dir, "logger_reboot"), "w") as f:
            f.write("update\n1100\n")
        self.cee_conf = os.path.join(self.folder, "cee.conf")
        self.upd_conf = os.path.join(self.folder, "cee_upd.conf")
        with open(self.cee_conf, "w") as f:
            json.dump({"DATABASE": {"DB_PATH": self.db_dir}}, f)
        with open(self.upd_conf, "w") as f:
            json.dump({"PKG_UPDATE": {"RESULT_DIR": self.result_dir}}, f)

    def status(self, *args, tz="JST-9", configs=True):
        argv = [STATUS]
        if configs:
            argv += ["--config", self.cee_conf, "--updater-config", self.upd_conf]
        env = dict(os.environ, TZ=tz)
        done = subprocess.run(argv + list(args), capture_output=True, env=env, timeout=60)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def folder_state(self):
        state = {}
        for root, _, files in os.walk(self.folder):
            for name in files:
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    state[path] = (f.read(), os.stat(path).st_mtime_ns)
        return state

    def test_text_report_for_the_field_engineer(self):
        rc, out, err = self.status("--orders", "3")
        self.assertEqual((rc, err), (0, ""), out)
        self.assertIn("Database  %s\n" % self.db, out)
        self.assertIn("Orders: last 3 of 6 (newest first)\n", out)
        self.assertNotIn("Restart", out)
        self.assertIn("Job 4  emergency  command id 1201  request REQ-1201\n", out)
        self.assertIn("  Runs       try 0  run 1  due 2026-12-07 23:41:10  failed\n"
                      "               ran 2026-12-07 23:45:02 to 2026-12-07 23:45:09\n"
                      "               result: " + FAILED_TEXT + "\n"
                      "             try 1  run 2  due 2026-12-07 23:47:09  failed\n"
                      "               ran 2026-12-07 23:50:00 to 2026-12-07 23:50:01\n"
                      "             try 2  run 3  due 2026-12-07 23:52:01  scheduled\n"
                      "  Retries    3 left (UPD_RETRY_NUM 5)\n", out)
        self.assertIn("due 2026-12-06 23:10:00  cancelled after install\n", out)
        self.assertIn("due 2026-12-08 01:00:00  cancelled before execution\n"
                      "               cancelled 2026-12-07 23:45:00\n", out)
        self.assertEqual(out.count("Retries"), 1)
        self.assertIn("  logger_reboot  modified ", out)
        self.assertIn("                 update\n                 1100\n", out)
        self.assertIn("                 1201\n                 <4> Old package not found\n", out)
        for line in out.splitlines():
            self.assertLessEqual(len(line), 100, line)

        # On a machine set to UTC the same stored texts show in UTC.
        rc, out, _ = self.status(tz="UTC0")
        self.assertEqual(rc, 0)
        self.assertIn("try 2  run 3  due 2026-12-07 14:52:01  scheduled\n", out)
        self.assertIn("ran 2026-12-07 14:45:02 to 2026-12-07 14:45:09\n", out)

    def test_json_report(self):
        db = sqlite3.connect(self.db, isolation_level=None)
        db.execute("UPDATE command_info SET res_error_str = CAST(X'626164FF0A22' AS TEXT) "
                   "WHERE id = 2")
        db.close()
        rc, out, err = self.status("--json", "--orders", "5")
        self.assertEqual((rc, err), (0, ""))
        report = json.loads(out)
        self.assertEqual(report["database"], self.db)
        self.assertEqual(report["orders_total"], 6)
        self.assertEqual([o["id"] for o in report["orders"]], [6, 5, 4, 3, 2])
        failed = report["orders"][4]
        self.assertEqual((failed["command"], failed["result"], failed["result_text"]),
                         ("ReadFromEchonetDevice", 7, "error 7"))
        self.assertEqual(failed["error"], "bad\ufffd\n\"")
        self.assertEqual(failed["server_time"], "2026-12-07 09:01:00")
        self.assertEqual(failed["recorded"], "2026-12-07T09:01:01+09:00")
        self.assertIsNone(report["orders"][3]["result"])
        self.assertEqual(report["orders"][3]["result_text"], "no result")

        jobs = {j["id"]: j for j in report["update_jobs"]}
        self.assertEqual(sorted(jobs), [4, 5, 6])
        job = jobs[4]
        self.assertEqual((job["command_id"], job["type"], job["type_text"], job["request_id"]),
                         ("1201", 1, "emergency", "REQ-1201"))
        self.assertEqual(job["scheduled"], "2026-12-07T23:41:10+09:00")
        self.assertEqual([(r["try"], r["state"], r["state_text"]) for r in job["runs"]],
                         [(0, 2, "failed"), (1, 2, "failed"), (2, 0, "scheduled")])
        self.assertEqual(job["runs"][0]["result"], FAILED_TEXT)
        self.assertEqual(job["runs"][0]["started"], "2026-12-07T23:45:02+09:00")
        self.assertIsNone(job["runs"][2]["started"])
        self.assertEqual(job["retries_left"], 3)

        files = {f["name"]: f for f in report["result_files"]}
        self.assertEqual(files["update_failed"]["content"], "1201\n<4> Old package not found\n")
        self.assertEqual(files["logger_reboot"]["content"], "update\n1100\n")

    def test_reads_beside_a_writer(self):
        writer = sqlite3.connect(self.db, isolation_level=None)
        self.addCleanup(writer.close)
        writer.execute("BEGIN IMMEDIATE")
        writer.execute("INSERT INTO command_info ( command_json ) VALUES ( 'Uncommitted' )")
        rc, out, err = self.status("--json")
        self.assertEqual((rc, err), (0, ""))
        report = json.loads(out)
        self.assertEqual(report["orders_total"], 6)
        self.assertNotIn("Uncommitted", out)
        writer.execute("COMMIT")
        _, out, _ = self.status("--json")
        self.assertEqual(json.loads(out)["orders"][0]["command"], "Uncommitted")

        # A writer that keeps its exclusive lock past the busy time-out: a clear failure.
        writer.execute("BEGIN EXCLUSIVE")
        rc, out, err = self.status()
        writer.execute("ROLLBACK")
        self.assertEqual((rc, out), (1, ""))
        self.assertRegex(err, r"^cee-status: cannot read .*locked.*\n$")

    def test_never_writes_locks_or_creates(self):
        before = self.folder_state()
        for args in ([], ["--json"], ["--orders", "0"]):
            rc, _, _ = self.status(*args)
            self.assertEqual(rc, 0)
        self.assertEqual(self.folder_state(), before)  # same files, bytes and times
        self.assertFalse(os.path.exists(os.path.join(self.db_dir, "db_cee.lock")))
        self.assertFalse(os.path.exists(os.path.join(self.db_dir, "db_upd.lock")))

        # A writer that died inside its transaction left its journal: SQLite would roll it back
        # on the next write access; the tool refuses to read and leaves both files alone.
        crash = ("import os, sqlite3, sys\n"
                 "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                 "db.execute('PRAGMA cache_size=1')\n"
                 "db.execute('BEGIN IMMEDIATE')\n"
                 "for i in range(300):\n"
                 "    db.execute(\"INSERT INTO command_info ( recv_xml ) VALUES ( ? )\", "
                 "('x' * 500,))\n"
                 "os._exit(0)\n")
        subprocess.run([sys.executable, "-c", crash, self.db], check=True, timeout=60)
        self.assertTrue(os.path.exists(self.db + "-journal"))
        before = self.folder_state()
        rc, out, err = self.status()
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("journal", err)
        self.assertEqual(self.folder_state(), before)

    def test_missing_database_and_usage_errors(self):
        before = self.folder_state()
        missing = os.path.join(self.folder, "nowhere", "cee_pkg_upd.db")
        rc, out, err = self.status("--db", missing)
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "cee-status: database not found: %s\n" % missing)
        with open(self.cee_conf, "w") as f:
            json.dump({"DATABASE": {"DB_PATH": os.path.join(self.folder, "gone")}}, f)
        rc, out, err = self.status("--json")
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("database not found: %s/gone/cee_pkg_upd.db" % self.folder, err)
        self.assertIn(self.cee_conf, err)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "nowhere")))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "gone")))
        self.assertEqual(set(self.folder_state()), set(before))

        for bad in (["--orders", "x"], ["--verbose"], ["--db"]):
            rc, out, err = self.status(*bad)
            self.assertEqual((rc, out), (64, ""), bad)
            self.assertTrue(err.startswith("cee-status: ") and err.count("\n") == 1, err)
        rc, out, _ = self.status("--help", configs=False)
        self.assertEqual(rc, 0)
        self.assertIn("--orders N", out)
        rc, out, _ = self.status("-V", configs=False)
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"^cee-status \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    unittest.main()
