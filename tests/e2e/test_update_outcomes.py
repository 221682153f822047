"""Outcomes of software updates as an operator sees them: when a run is scheduled, what the
package updater is called with, the states and counts of the runs, the result files and the
finish command, and the updater's exit status.

Jobs come from the real cee-agent under a fixed clock (faketime) where the way they are written
matters, otherwise from a database made with the agent's schema. The real cee-updater runs with
the stand-ins of harness.Updater (dpkg, package updater, finish command).
"""
import base64
import datetime
import json
import os
import sqlite3
import unittest
from contextlib import closing

from harness import (E2ETestCase, Updater, create_database, exact, find_lines, make_order,
                     read_text, wait_until, write_script, write_text)
from test_update_process import (SYSTEM_SETTING, TIME_FORMAT, add_update, query, runs, shifted)

REQUEST = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="REQ-%s"><command>'
           'UpdateLogger</command><requestData><command_type id="%s">%d</command_type>%s'
           '</requestData></commandRequest>')


def request(command_id, update_type, paths=(), cancel=()):
    body = "".join("<p>%s</p>" % p for p in paths)
    if cancel:
        body += "<cancel_id_list>%s</cancel_id_list>" % "".join("<p>%s</p>" % c for c in cancel)
    return REQUEST % (command_id, command_id, update_type, body)


def installed_states(updater, *lines):
    """What dpkg -l lists: "state name version architecture" per package."""
    write_text(os.path.join(updater.folder, "installed"),
               "".join("%-3s %-14s %-12s %-12s a package\n" % tuple(line.split())
                       for line in lines))


def started_count(updater, script):
    return len(read_text(os.path.join(updater.folder, script + ".started")).splitlines())


class UpdateOutcomeTest(E2ETestCase):

    def agent(self, folder, fake_time, settings=None, tz=None, name="cee-agent"):
        agent_dir = os.path.join(folder, "agent")
        os.makedirs(agent_dir, exist_ok=True)
        write_text(os.path.join(agent_dir, "SystemSetting.xml"), SYSTEM_SETTING)
        # One log file for the whole test: the waits below count lines of the current file.
        base = {"LOG": {"LOG_FILE": name + ".log", "LOG_MAX_BYTES": 10000000},
                "PKG_UPDATE": {"REMOVE_PKG_DIR": "/var/repos/"}}
        for section, values in (settings or {}).items():
            base.setdefault(section, {}).update(values)
        env = dict(os.environ, TZ=tz) if tz else None
        return self.start_agent(agent_dir, self.broker, faketime=fake_time, name=name,
                                settings=base, env=env)

    def order(self, agent, count, command_id, update_type, paths=(), cancel=()):
        """Sends an UpdateLogger order and waits until the agent has ended it (the count-th
        order of this agent). The scheduled time text, None when no run was written."""
        agent.send_order(make_order("UpdateLogger", request(command_id, update_type, paths,
                                                            cancel),
                                    platform=[agent.PLATFORM]))
        agent.wait_for_log("in CmdInfoUpdate execCommand : rewrite timestamp", count)
        found = query(agent.db_file, "SELECT sched_proc_time FROM proc_info JOIN command_info "
                                     "ON command_info.id = command_info_id WHERE "
                                     "upd_command_id = ?", (command_id,))
        return found[0][0] if found else None

    def updater(self, folder, name, fake_time=None, settings=None):
        base = {"SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml")}
        if os.path.isdir(os.path.join(folder, "agent")):
            base["DATABASE"] = {"DB_PATH": os.path.join(folder, "agent", "db")}
        for section, values in (settings or {}).items():
            base.setdefault(section, {}).update(values)
        return Updater(os.path.join(folder, "updater"), name=name, settings=base,
                       faketime=fake_time)

    def run_updater(self, updater, status=0):
        self.assertEqual(self.start_program(updater).wait_exit(), status, updater.log_text())
        return updater.log()

    def setUp(self):
        self.broker = None

    # Scheduling ------------------------------------------------------------------------------

    def test_runs_lie_after_the_order_in_the_schedule_zone(self):
        """Whatever the hour of the order and the device's time zone, the run is written (and
        answered) as UTC+9 wall-clock text inside a coming window, never before the order."""
        self.broker = self.start_broker()
        early = {"PKG_UPDATE": {"TIME_START": "01:00:00", "TIME_END": "04:00:00", "DAY_SPAN": 1}}
        cases = [
            # device zone, device clock at the order, settings, earliest, latest run
            ("JST-9", "2026-12-07 10:00:00", None, "2026-12-07 23:00:00", "2026-12-10 03:58:00"),
            ("JST-9", "2026-12-07 23:30:00", None, "2026-12-08 23:00:00", "2026-12-11 03:58:00"),
            ("JST-9", "2026-12-07 02:00:00", None, "2026-12-07 23:00:00", "2026-12-10 03:58:00"),
            ("JST-9", "2026-12-07 08:00:00", early, "2026-12-08 01:00:00", "2026-12-08 03:59:00"),
            # A device left at UTC: 01:00 UTC is 10:00 in the schedule's zone.
            ("UTC0", "2026-12-07 01:00:00", None, "2026-12-07 23:00:00", "2026-12-10 03:58:00"),
        ]
        for n, (tz, clock, settings, earliest, latest) in enumerate(cases):
            with self.subTest(tz=tz, clock=clock):
                agent = self.agent(self.temp_dir(), clock, settings, tz=tz)
                answers = self.subscribe(self.broker, agent.topic_pub)
                run = self.order(agent, 1, "70%02d" % n, 0, ["/var/repos/tools/abc_1.2.deb"])
                self.assertTrue(earliest <= run <= latest, run)
                self.assertEqual(run[-2:], "00")
                answer = answers.wait_for_lines(1)[0]
                stamp = datetime.datetime.strptime(run, TIME_FORMAT).strftime("%Y%m%d%H%M%S")
                self.assertIn(stamp, read_response(answer))
                agent.terminate()

    # Install, cancel and look-up -------------------------------------------------------------

    def test_cancels_are_carried_out_and_installed_versions_are_whole_names(self):
        self.broker = self.start_broker()
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        agent = self.agent(folder, "2026-12-07 10:00:00")
        db = agent.db_file

        # A path written with backslashes; a longer name is listed before the installed one.
        night = self.order(agent, 1, "8001", 0, ["pool\\tools\\abc_1.2_armhf.deb"])
        self.assertEqual(query(db, "SELECT package_filename, package_name, package_path FROM "
                                   "package_list"), [("abc_1.2_armhf.deb", "abc", "pool/tools")])
        first = self.updater(folder, "cee-updater-1", shifted(night, 60))
        installed_states(first, "ii abc-tools 2.0 all", "ii abc 1.0 armhf")
        self.run_updater(first)
        self.assertEqual(query(db, "SELECT old_package_filename FROM package_list"),
                         [("abc_1.0_armhf.deb",)])
        self.assertEqual(first.result("logger_reboot"), "update\n8001\n")

        # An emergency update that only cancels: the installed update is re-installed in its
        # old version, the pending one is cancelled, nothing new is installed.
        pending = self.order(agent, 2, "8002", 0, ["/var/repos/tools/def_2.0_armhf.deb"])
        cancel = self.order(agent, 3, "8003", 1, cancel=["8001", "8002"])
        self.assertLess(cancel, pending)
        second = self.updater(folder, "cee-updater-2", shifted(cancel, 60))
        self.run_updater(second)
        self.assertEqual(query(db, "SELECT upd_command_id, proc_status FROM proc_info JOIN "
                                   "command_info ON command_info.id = command_info_id ORDER BY "
                                   "proc_info.id"), [("8001", 3), ("8002", 4), ("8003", 1)])
        calls = second.package_updater_calls()
        self.assertEqual(len(calls), 2, calls)  # the install of 8001, the re-install
        self.assertIn("abc_1.0_armhf.deb", second.package_updater_list(2))
        self.assertEqual(second.result("logger_reboot"), "update\n8003\n")
        self.assertEqual(second.wait_finish(2), "== logger_reboot\nupdate\n8003\n")

        # An emergency update whose package is only left as configuration files ("rc"): the
        # look-up fails, its cancel is still carried out, the run is recorded as failed.
        later = self.order(agent, 4, "8005", 0, ["/var/repos/tools/ghi_2.0_armhf.deb"])
        emergency = self.order(agent, 5, "8004", 1, ["/var/repos/tools/ghi_3.0_armhf.deb"],
                               cancel=["8005"])
        self.assertLess(emergency, later)
        third = self.updater(folder, "cee-updater-3", shifted(emergency, 60))
        installed_states(third, "rc ghi 2.0 armhf")
        self.run_updater(third)
        self.assertEqual(query(db, "SELECT upd_command_id, exic_num, proc_status FROM proc_info "
                                   "JOIN command_info ON command_info.id = command_info_id "
                                   "WHERE upd_command_id IN ('8004', '8005') ORDER BY "
                                   "proc_info.id"),
                         [("8005", 0, 4), ("8004", 0, 2), ("8004", 1, 0)])
        self.assertEqual(len(third.package_updater_calls()), 2)  # nothing installed
        self.assertEqual(third.result("update_failed"),
                         "8004\n<4> Old package is found, but not match\n")

    # Retries ----------------------------------------------------------------------------------

    def test_failures_are_retried_only_up_to_the_limit(self):
        """Each case: an update whose every try fails; starts until nothing is due. The
        package updater calls and finish commands stop at the limit."""
        reinstall = [("bpkg_2.0_armhf.deb", "tools", "bpkg_1.0_armhf.deb")]
        cases = [
            # name, retry settings, stored exic_num of the due run, calls, last result text
            ("re-install refused", {"UPD_RETRY_NUM": 1, "UPD_RETRY_INTERVAL": 0}, None, 2,
             "<9> : re-install(cancel) execution failed -> 256 | <97> : Maximum number of "
             "retries"),
            ("install refused", {"UPD_RETRY_NUM": 1, "UPD_RETRY_INTERVAL": 0}, None, 2,
             "<12> execute update : UPDATE FAILED : install execution failed -> 256 | <97> : "
             "Maximum number of retries"),
            ("counter is text", {"UPD_RETRY_INTERVAL": 0}, "abc", 1,
             "<12> execute update : UPDATE FAILED : install execution failed -> 256 | <97> : "
             "Maximum number of retries : retry count is not a number of 0 or more"),
            ("counter is negative", {"UPD_RETRY_INTERVAL": 0}, -100, 1,
             "<12> execute update : UPDATE FAILED : install execution failed -> 256 | <97> : "
             "Maximum number of retries : retry count is not a number of 0 or more"),
        ]
        for name, retry, counter, calls, text in cases:
            with self.subTest(name):
                folder = self.temp_dir()
                write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
                db = create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
                if name == "re-install refused":
                    add_update(db, "9201", 0, reinstall, minutes=-600, state=1)
                    info = add_update(db, "9203", 1, [("epkg_3.0_armhf.deb", "tools", None)],
                                      cancel=[("9201", 1)])
                else:
                    info = add_update(db, "9301", 0, [("bpkg_2.0_armhf.deb", "tools", None)])
                if counter is not None:
                    with closing(sqlite3.connect(db)) as c:
                        c.execute("UPDATE proc_info SET exic_num = ? WHERE command_info_id = ?",
                                  (counter, info))
                        c.commit()
                for start in range(1, 10):
                    updater = self.updater(folder, "cee-updater-%d" % start,
                                           settings={"UPDATE_RETRY": retry})
                    updater.installed("bpkg 2.0 armhf", "epkg 1.0 armhf")
                    updater.package_updater_codes(1, 1, 1, 1, 1)  # every call fails
                    lines = self.run_updater(updater)
                    if find_lines(lines, exact("No update target")):
                        break
                self.assertEqual(len(updater.package_updater_calls()), calls)
                self.assertEqual(updater.result("update_failed").splitlines()[1], text)
                wait_until(lambda: started_count(updater, "update_finish.sh") >= calls,
                           "finish commands")
                self.assertEqual(started_count(updater, "update_finish.sh"), calls)
                if name == "re-install refused":
                    self.assertEqual(query(db, "SELECT proc_status FROM proc_info WHERE id = 1"),
                                     [(1,)])  # the installed update stays installed

    def test_negative_retry_interval_falls_back_to_the_default(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        db = create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
        add_update(db, "9401", 0, [("bpkg_2.0_armhf.deb", "tools", None)])
        updater = self.updater(folder, "cee-updater",
                               settings={"UPDATE_RETRY": {"UPD_RETRY_INTERVAL": -5}})
        updater.installed("bpkg 1.0 armhf")
        updater.package_updater_codes(1)
        lines = self.run_updater(updater)
        self.assertTrue(find_lines(lines, exact(
            "setting UPD_RETRY_INTERVAL -> -5 is out of range : default 120 is used", "W")))
        (delay,) = query(db, "SELECT CAST(strftime('%s', b.sched_proc_time) AS INTEGER) - "
                             "CAST(strftime('%s', a.r_start_time) AS INTEGER) - 9 * 3600 FROM "
                             "proc_info a, proc_info b WHERE a.id = 1 AND b.id = 2")[0]
        self.assertTrue(115 <= delay <= 125, delay)

    # Commit, readers and the database -------------------------------------------------------

    def test_failed_commit_is_not_reported_as_installed(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        db = create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
        add_update(db, "9501", 0, [("bpkg_2.0_armhf.deb", "tools", None)])
        first = self.updater(folder, "cee-updater-1", settings={"DATABASE": {
            "BUSY_TIMEOUT_MS": 0}})
        first.installed("bpkg 1.0 armhf")
        # The package updater succeeds, but leaves a reader holding a shared lock for two
        # seconds: the commit cannot get its exclusive lock.
        marker = os.path.join(folder, "reader.holds")
        write_script(os.path.join(first.folder, "package_updater"),
                     "python3 -c 'import sqlite3, sys, time\n"
                     "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                     "db.execute(\"BEGIN\"); db.execute(\"SELECT count(*) FROM proc_info\")"
                     ".fetchall()\n"
                     "open(sys.argv[2], \"w\").close(); time.sleep(2)' %s %s &\n"
                     "while [ ! -e %s ]; do sleep 0.05; done\n" % (db, marker, marker))
        self.run_updater(first, status=3)
        self.assertEqual(runs(db), [(1, 1, 0, 0, None)])  # still due
        self.assertIsNone(first.result("logger_reboot"))
        self.assertTrue(first.result("update_failed").startswith("9501\nfailed to db commit"))

        self.assertEqual(started_count(first, "update_finish.sh"), 0)

        # The reader still holds its lock for a moment: the default busy time-out waits for it.
        second = self.updater(folder, "cee-updater-2")
        second.installed("bpkg 1.0 armhf")
        self.run_updater(second)
        self.assertEqual(runs(db), [(1, 1, 0, 1, "")])
        self.assertEqual(second.wait_finish(1), "== logger_reboot\nupdate\n9501\n")
        self.assertEqual(started_count(second, "update_finish.sh"), 1)

    def test_outcome_that_cannot_be_written_is_not_reported_as_installed(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        db = create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
        add_update(db, "9601", 0, [("cpkg_2.0_armhf.deb", "tools", None)])
        with closing(sqlite3.connect(db)) as c:
            c.execute("CREATE TRIGGER no_outcome BEFORE UPDATE OF r_result_str ON proc_info "
                      "BEGIN SELECT RAISE(ABORT, 'disk trouble'); END")
            c.commit()
        first = self.updater(folder, "cee-updater-1")
        first.installed("cpkg 1.0 armhf")
        self.run_updater(first, status=3)
        self.assertEqual(runs(db), [(1, 1, 0, 0, None)])  # still due, attempt not counted
        self.assertTrue(first.result("update_failed").startswith(
            "9601\nfailed to record the outcome"))
        self.assertIsNone(first.result("logger_reboot"))
        self.assertEqual(started_count(first, "update_finish.sh"), 0)

        with closing(sqlite3.connect(db)) as c:
            c.execute("DROP TRIGGER no_outcome")
            c.commit()
        second = self.updater(folder, "cee-updater-2")
        second.installed("cpkg 1.0 armhf")
        self.run_updater(second)
        self.assertEqual(runs(db), [(1, 1, 0, 1, "")])
        self.assertEqual(started_count(second, "update_finish.sh"), 1)

    def test_unreadable_database_is_an_error(self):
        for name, content in (("empty", b""), ("not a database", b"no database " * 100),
                              ("no tables", None)):
            with self.subTest(name):
                updater = Updater(self.temp_dir())
                os.makedirs(updater.db_dir)
                if content is None:
                    with closing(sqlite3.connect(updater.db_file)) as c:
                        c.execute("PRAGMA user_version = 1")
                else:
                    with open(updater.db_file, "wb") as f:
                        f.write(content)
                lines = self.run_updater(updater, status=1)
                self.assertEqual(find_lines(lines, exact("No update target")), [])
                self.assertEqual(updater.result_files(), [])
                self.assertEqual(updater.started_scripts(), [])

    def test_a_running_updater_keeps_its_lock(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        db = create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
        add_update(db, "9601", 0, [("bpkg_2.0_armhf.deb", "tools", None)])
        first = self.updater(folder, "cee-updater-1")
        first.installed("bpkg 1.0 armhf")
        release = os.path.join(folder, "release")
        write_script(os.path.join(first.folder, "package_updater"),
                     "touch %s.installing\nwhile [ ! -e %s ]; do sleep 0.05; done\n"
                     % (release, release))
        self.start_program(first)
        wait_until(lambda: os.path.exists(release + ".installing"), "install started")
        for n in (2, 3):  # the second start must not open the door for the third
            other = self.updater(folder, "cee-updater-%d" % n)
            self.run_updater(other, status=2)
            self.assertTrue(os.path.exists(first.lock_file))
        write_text(release, "")
        self.assertEqual(first.wait_exit(), 0)
        self.assertFalse(os.path.exists(first.lock_file))
        self.assertEqual(runs(db), [(1, 1, 0, 1, "")])

    def test_files_in_shared_folders_never_follow_a_link(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        db = create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
        add_update(db, "9701", 0, [("bpkg_2.0_armhf.deb", "tools", None)])
        clock = "2026-12-07 12:00:00"
        with closing(sqlite3.connect(db)) as c:
            c.execute("UPDATE proc_info SET sched_proc_time = '2026-12-07 11:00:00'")
            c.commit()
        updater = self.updater(folder, "cee-updater", fake_time=clock)
        updater.installed("bpkg 1.0 armhf")
        victim = write_text(os.path.join(folder, "victim"), "precious\n")
        # Links at every name the run may write: result files, and list and output files of
        # the first seconds of the run.
        start = datetime.datetime.strptime(clock, TIME_FORMAT)
        names = [os.path.join(updater.settings["PKG_UPDATE"]["RESULT_DIR"], "logger_reboot")]
        for second in range(6):
            stamp = (start + datetime.timedelta(seconds=second)).strftime("%Y%m%d_%H%M%S")
            names.append(os.path.join(updater.folder, "zorupdate", "update_list_" + stamp))
            names.append(os.path.join(updater.folder, "update_log", "update.log_" + stamp))
        for name in names:
            os.makedirs(os.path.dirname(name), exist_ok=True)
            os.symlink(victim, name)
        self.run_updater(updater)
        self.assertEqual(read_text(victim), "precious\n")
        self.assertEqual(updater.result("logger_reboot"), "update\n9701\n")
        self.assertFalse(os.path.islink(names[0]))
        list_file = updater.package_updater_calls()[0]
        self.assertFalse(os.path.islink(list_file))
        self.assertIn("bpkg_2.0_armhf.deb", read_text(list_file))


def read_response(answer_line):
    """The decoded response XML of an answer line of the subscriber."""
    answer = json.loads(answer_line.partition(" ")[2])
    return base64.b64decode(answer["data"]["value"]).decode()


if __name__ == "__main__":
    unittest.main()
