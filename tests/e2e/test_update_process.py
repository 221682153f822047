"""One start of cee-updater carrying out the due update run end to end: installed versions,
package lists, the package updater, the storage battery check, cancelling and re-installing
earlier updates, the outcome in the database, retries, result files and the finish command.

Update jobs come from the real cee-agent (UpdateLogger orders through a real mosquitto, the
agent running under faketime) where the way they are written matters, and are otherwise
written into a database made with the agent's schema. The updater then runs under faketime
after the scheduled time, or directly for jobs that are already due. `dpkg` is a script first
on PATH; the package updater and the finish command are scripts that record their calls
(harness.Updater). The logger application is logger-sim.
"""
import datetime
import os
import sqlite3
import unittest
from contextlib import closing

from harness import (E2ETestCase, LoggerSim, Updater, create_database, exact, find_in_order,
                     find_lines, make_order, write_text)

TIME_FORMAT = "%Y-%m-%d %H:%M:%S"

# The logger application's settings: result server (nothing listens there), and one storage
# battery at communication address 2.
SYSTEM_SETTING = """<?xml version="1.0" encoding="UTF-8"?>
<logger loggerId="LG-1" plantId="PL-9">
  <general><serverUrl>http://127.0.0.1:9/</serverUrl></general>
  <deviceList>
    <storageBatteryDeviceList>
      <storageBatteryDevice>
        <serialNumber>SB-7</serialNumber>
        <communicationAddress>2</communicationAddress>
      </storageBatteryDevice>
    </storageBatteryDeviceList>
  </deviceList>
  <channelList>
    <channel><addressList>
      <address no="2"><manufacturer>0x00000B</manufacturer></address>
    </addressList></channel>
  </channelList>
</logger>
"""

REQUEST = ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="REQ-%s"><command>'
           'UpdateLogger</command><requestData><command_type id="%s">%d</command_type>%s'
           '</requestData></commandRequest>')


def update_request(command_id, update_type, packages, cancel=()):
    body = "".join("<p>/var/repos/tools/%s</p>" % p for p in packages)
    if cancel:
        body += "<cancel_id_list>%s</cancel_id_list>" % "".join("<p>%s</p>" % c for c in cancel)
    return REQUEST % (command_id, command_id, update_type, body)


def shifted(text, seconds):
    """A "YYYY-MM-DD HH:MM:SS" text moved by seconds."""
    moment = datetime.datetime.strptime(text, TIME_FORMAT) + datetime.timedelta(seconds=seconds)
    return moment.strftime(TIME_FORMAT)


def query(db_file, sql, args=()):
    with closing(sqlite3.connect(db_file)) as db:
        return db.execute(sql, args).fetchall()


def execute(db_file, sql, args=()):
    with closing(sqlite3.connect(db_file)) as db:
        db.execute(sql, args)
        db.commit()


def runs(db_file):
    return query(db_file, "SELECT id, command_info_id, exic_num, proc_status, r_result_str "
                          "FROM proc_info ORDER BY id")


def add_update(db_file, command_id, update_type, packages, cancel=(), minutes=-1, state=0):
    """Writes an update job as cee-agent does: the order, its packages (file name, folder, old
    file name or None) in order, its cancel list (command id, is_cancel) and one run due
    `minutes` from now (UTC+9 wall-clock text). Returns the order's command_info id."""
    with closing(sqlite3.connect(db_file)) as db:
        info = db.execute(
            "INSERT INTO command_info ( command_json, upd_command_id, upd_cmd_req_id, "
            "upd_command_type ) VALUES ( 'UpdateLogger', ?, ?, ? )",
            (command_id, "REQ-" + command_id, update_type)).lastrowid
        for seq, (filename, path, old) in enumerate(packages, 1):
            db.execute("INSERT INTO package_list ( command_info_id, seq_no, package_filename, "
                       "package_name, package_path, old_package_filename ) VALUES "
                       "( ?, ?, ?, ?, ?, ? )",
                       (info, seq, filename, filename.split("_")[0], path, old))
        for seq, (cancel_id, is_cancel) in enumerate(cancel, 1):
            db.execute("INSERT INTO cancel_cid_list ( command_info_id, seq_no, "
                       "cancel_command_id, is_cancel ) VALUES ( ?, ?, ?, ? )",
                       (info, seq, cancel_id, is_cancel))
        db.execute("INSERT INTO proc_info ( command_info_id, sched_proc_time, proc_status ) "
                   "VALUES ( ?, datetime( 'now', '+9 hours', ? ), ? )",
                   (info, "%+d minutes" % minutes, state))
        db.commit()
    return info


def list_text(kind, time_text, lines):
    """A package list file: kind "update" or "re-install(cancel)"."""
    return ("###################\n# %s package list\n#   create date: %s\n#\n%s"
            % (kind, time_text, "".join(line + "\n" for line in lines)))


class UpdateProcessTest(E2ETestCase):

    # Set-up -----------------------------------------------------------------------------------

    def updater(self, folder, name="cee-updater", settings=None, **kwargs):
        """An Updater in folder/updater; several share that folder (one per start)."""
        base = {"SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml")}
        if os.path.isdir(os.path.join(folder, "agent")):
            base["DATABASE"] = {"DB_PATH": os.path.join(folder, "agent", "db")}
        updater = Updater(os.path.join(folder, "updater"), name=name,
                          settings=dict(base, **(settings or {})), **kwargs)
        return updater

    def folder_with_database(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        create_database(os.path.join(folder, "updater", "db", "cee_pkg_upd.db"))
        return folder

    def run_updater(self, updater):
        self.assertEqual(self.start_program(updater).wait_exit(), 0)
        return updater.log()

    def start_agent_at(self, folder, broker, fake_time, name):
        """cee-agent on folder/agent (the database lives there) under faketime, with a log file
        of its own (name.log)."""
        agent_dir = os.path.join(folder, "agent")
        os.makedirs(agent_dir, exist_ok=True)
        write_text(os.path.join(agent_dir, "SystemSetting.xml"), SYSTEM_SETTING)
        settings = {"LOG": {"LOG_FILE": name + ".log"},
                    "PKG_UPDATE": {"REMOVE_PKG_DIR": "/var/repos/"}}
        return self.start_agent(agent_dir, broker, faketime=fake_time, name=name,
                                settings=settings)

    def order(self, agent, count, command_id, update_type, packages, cancel=()):
        """Sends an UpdateLogger order and waits until the agent has written it (the count-th
        job of this agent)."""
        agent.send_order(make_order("UpdateLogger",
                                    update_request(command_id, update_type, packages, cancel),
                                    platform=[agent.PLATFORM]))
        agent.wait_for_log(exact("in CmdInfoUpdate execCommand : DB commit -> success"), count)
        return query(agent.db_file, "SELECT proc_info.sched_proc_time FROM proc_info JOIN "
                                    "command_info ON command_info.id = proc_info.command_info_id "
                                    "WHERE upd_command_id = ?", (command_id,))[0][0]

    # (a) ----------------------------------------------------------------------------------------

    def test_normal_update_ordered_through_the_agent_is_installed(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        broker = self.start_broker()
        agent = self.start_agent_at(folder, broker, "2026-12-07 10:00:00", "cee-agent")
        scheduled = self.order(agent, 1, "7001", 0, ["abc_1.2_armhf.deb"])
        self.assertTrue("2026-12-07 23:00:00" <= scheduled <= "2026-12-10 03:58:00", scheduled)

        # The updater starts a minute after the scheduled time.
        now = shifted(scheduled, 60)
        updater = self.updater(folder, faketime=now)
        updater.installed("abc 1.0 armhf", "abcd-tools 2.0 all")
        lines = self.run_updater(updater)

        db = agent.db_file
        self.assertEqual(runs(db), [(1, 1, 0, 1, "")])
        # Start and end of the installation in UTC: nine hours behind the local clock.
        start, end = query(db, "SELECT r_start_time, r_end_time FROM proc_info")[0]
        utc = shifted(now, -9 * 3600)
        self.assertTrue(utc <= start <= end <= shifted(utc, 600), (utc, start, end))
        self.assertEqual(query(db, "SELECT package_filename, package_path, old_package_filename "
                                   "FROM package_list"),
                         [("abc_1.2_armhf.deb", "tools", "abc_1.0_armhf.deb")])

        calls = updater.package_updater_calls()
        self.assertEqual(len(calls), 1, calls)
        list_file = calls[0]
        # Named after the start of the installation, in local time.
        self.assertEqual(os.path.dirname(list_file), os.path.join(updater.folder, "zorupdate"))
        self.assertRegex(os.path.basename(list_file), r"^update_list_\d{8}_\d{6}$")
        started = datetime.datetime.strptime(list_file[-15:], "%Y%m%d_%H%M%S").strftime(
            TIME_FORMAT)
        self.assertTrue(now <= started <= shifted(now, 600), (now, started))
        self.assertEqual(updater.package_updater_list(1), list_text(
            "update", list_file[-15:],
            ["1 %s tools abc_1.2_armhf.deb" % os.path.join(updater.folder, "packages")]))
        self.assertEqual(read_update_log(updater, "update.log_" + list_file[-15:]),
                         "package updater call 1: %s\n" % list_file)

        self.assertEqual(updater.result("logger_reboot"), "update\n7001\n")
        self.assertIsNone(updater.result("update_failed"))
        self.assertEqual(updater.wait_finish(), "== logger_reboot\nupdate\n7001\n")
        self.assertEqual(read(updater.folder, "update_finish.sh.started"), "\n")  # no argument
        # The package query, then the listing of the installed state.
        self.assertEqual(read(updater.folder, "dpkg.args"), "-l\n-l\n")

        find_in_order(lines, [
            exact(": === start update process. ===", "I"),
            exact("===== <1> get update targets : proc_info.id -> 1 : command_info.id -> 1 : "
                  "update id -> 7001 : update type -> normal", "I"),
            exact("    search old package version: found : old -> abc_1.0_armhf.deb : new -> "
                  "abc_1.2_armhf.deb", "W"),
            exact("===== <11> create install package list : create install package list file "
                  "-> " + list_file, "I"),
            exact("===== <12> execute update : UPDATE SUCCESS : execUpdate : install success",
                  "I"),
            exact("===== <13> update result to db : UPDATE SUCCESS : execUpdate : update "
                  "success : proc_info.id -> 1 : result -> 1", "I"),
            exact("Update execution success -> 0", "I"),
            exact("success db commit!", "I"),
            exact("in endMain : finished!", "I"),
        ])
        # The updater ran on the faked clock.
        self.assertTrue(now <= lines[0].time <= shifted(now, 600), lines[0].raw)

    # (b) ----------------------------------------------------------------------------------------

    def test_package_not_installed_fails_and_is_retried(self):
        folder = self.folder_with_database()
        updater = self.updater(folder)
        db = updater.db_file
        add_update(db, "8001", 0, [("abc_1.2_armhf.deb", "tools", None)])
        updater.installed("zz-other 1.0 all")
        write_text(os.path.join(updater.folder, "result", "logger_reboot"), "update\n77\n")
        lines = self.run_updater(updater)

        self.assertEqual(runs(db), [(1, 1, 0, 2, ""), (2, 1, 1, 0, None)])
        # The retry is due two minutes from now (UTC+9 wall-clock text), not at once.
        self.assertEqual(query(db, "SELECT sched_proc_time > datetime('now', '+9 hours') AND "
                                   "sched_proc_time <= datetime('now', '+9 hours', '+120 "
                                   "seconds') FROM proc_info WHERE id = 2"), [(1,)])
        self.assertEqual(updater.result("update_failed"), "8001\n<4> Old package not found\n")
        self.assertEqual(updater.result("logger_reboot"), "update\n77\n")  # an older success
        self.assertEqual(updater.wait_finish(),
                         "== logger_reboot\nupdate\n77\n"
                         "== update_failed\n8001\n<4> Old package not found\n")
        self.assertEqual(updater.package_updater_calls(), [])
        find_in_order(lines, [
            exact("===== <4> get now installed package : Old package not found -> -4", "W"),
            exact("===== <99> update failed : UPDATE FAILED : execUpdate : update success : "
                  "next schedule command_info.id -> 1", "I"),
            exact("Update execution failed -> 99 : update failed, but done re-schedule", "W"),
            exact("success db commit!", "I"),
        ])
        self.assertEqual(find_lines(lines, "<5>"), [])

    # (c) ----------------------------------------------------------------------------------------

    def test_package_updater_failure_is_retried_up_to_the_maximum(self):
        folder = self.folder_with_database()
        updater = self.updater(folder)
        db = updater.db_file
        add_update(db, "8101", 0, [("abc_1.2_armhf.deb", "tools", None)])
        updater.installed("abc 1.0 armhf")
        updater.package_updater_codes(1, 1)
        lines = self.run_updater(updater)
        text = "<12> execute update : UPDATE FAILED : install execution failed -> 256"
        self.assertEqual(runs(db), [(1, 1, 0, 2, text), (2, 1, 1, 0, None)])
        self.assertEqual(updater.result("update_failed"), "8101\n%s\n" % text)
        find_in_order(lines, [
            exact("in execPkgDownloadAndInstall failed (normal) : update execution resutlt -> "
                  "256 : command -> %s %s > %s/update.log_%s 2>&1"
                  % (os.path.join(updater.folder, "package_updater"),
                     updater.package_updater_calls()[0],
                     os.path.join(updater.folder, "update_log"),
                     updater.package_updater_calls()[0][-15:]), "W"),
            exact("===== <12> execute update : UPDATE FAILED : execUpdate : install execution "
                  "failed -> 256", "I"),
            exact("Update execution failed -> 99 : update failed, but done re-schedule", "W"),
        ])
        updater.wait_finish(1)

        # The retry is due and the command has reached UPD_RETRY_NUM (5): no further run.
        execute(db, "UPDATE proc_info SET exic_num = 5, sched_proc_time = datetime('now', "
                    "'+9 hours', '-1 minutes') WHERE id = 2")
        rerun = self.updater(folder, name="cee-updater-2")
        lines = self.run_updater(rerun)
        self.assertEqual(runs(db), [(1, 1, 0, 2, text), (2, 1, 5, 2, text)])
        self.assertEqual(rerun.result("update_failed"),
                         "8101\n%s | <97> : Maximum number of retries\n" % text)
        find_in_order(lines, [
            exact("===== <97> update failed : UPDATE FAILED : execUpdate : No insert next "
                  "schedule proc_info.", "I"),
            exact("Update execution failed -> 97 : update failed, but done re-schedule", "W"),
            exact("success db commit!", "I"),
        ])
        self.assertEqual(len(rerun.package_updater_calls()), 2)
        rerun.wait_finish(2)

    # (d) ----------------------------------------------------------------------------------------

    def test_emergency_update_cancels_pending_and_reinstalls_installed_updates(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        broker = self.start_broker()

        # A normal update, installed at its scheduled time.
        agent = self.start_agent_at(folder, broker, "2026-12-07 10:00:00", "cee-agent")
        first = self.order(agent, 1, "9101", 0, ["bpkg_2.0_armhf.deb"])
        agent.terminate()
        updater = self.updater(folder, faketime=shifted(first, 60))
        updater.installed("bpkg 1.0 armhf")
        self.run_updater(updater)
        db = agent.db_file
        self.assertEqual(runs(db), [(1, 1, 0, 1, "")])
        updater.wait_finish(1)

        # Two minutes later: another normal update (due in a coming night), then an
        # emergency update that cancels both and a command id that was never ordered.
        agent = self.start_agent_at(folder, broker, shifted(first, 120), "cee-agent-2")
        pending = self.order(agent, 1, "9102", 0, ["cpkg_2.0_armhf.deb"])
        self.assertGreater(pending, shifted(first, 3600))
        emergency = self.order(agent, 2, "9103", 1, ["epkg_3.0_armhf.deb"],
                               ["9101", "9102", "9999"])
        self.assertLess(emergency, pending)
        self.assertEqual(query(db, "SELECT cancel_command_id, is_cancel FROM cancel_cid_list "
                                   "ORDER BY id"), [("9101", 1), ("9102", 1), ("9999", 0)])

        updater = self.updater(folder, name="cee-updater-2", faketime=shifted(emergency, 60))
        updater.installed("bpkg 2.0 armhf", "epkg 1.0 armhf")
        lines = self.run_updater(updater)

        self.assertEqual(query(db, "SELECT id, proc_status, cancel_time IS NOT NULL FROM "
                                   "proc_info ORDER BY id"),
                         [(1, 3, 1), (2, 4, 1), (3, 1, 0)])
        calls = updater.package_updater_calls()
        self.assertEqual(len(calls), 3, calls)
        list_file = calls[1]
        self.assertEqual(calls[2], list_file)  # the install list replaces the re-install list
        packages = os.path.join(updater.folder, "packages")
        self.assertEqual(updater.package_updater_list(2), list_text(
            "re-install(cancel)", list_file[-15:], ["1 %s tools bpkg_1.0_armhf.deb" % packages]))
        self.assertEqual(updater.package_updater_list(3), list_text(
            "update", list_file[-15:], ["3 %s tools epkg_3.0_armhf.deb" % packages]))
        self.assertIsNotNone(read_update_log(updater, "cancel.log_" + list_file[-15:]))
        self.assertIsNotNone(read_update_log(updater, "update.log_" + list_file[-15:]))
        self.assertEqual(updater.result("logger_reboot"), "update\n9103\n")
        self.assertEqual(updater.wait_finish(2), "== logger_reboot\nupdate\n9103\n")
        find_in_order(lines, [
            exact("===== <1> get update targets : proc_info.id -> 3 : command_info.id -> 3 : "
                  "update id -> 9103 : update type -> emargency", "I"),
            exact("===== <2> get cancel target : cancel cid total num -> 2 :: already executed "
                  "num -> 1 : not executed num -> 1", "I"),
            exact("          : [already installed] : proc_info.id -> 1 : command_info_id -> 1 "
                  ": proc_status -> 1", "I"),
            exact("          : [not executed] : proc_info.id -> 2 : command_info_id -> 2 : "
                  "proc_status -> 0", "I"),
            exact("===== <7> cancel pending updates : find update targets (cancel not execute "
                  "proc info) : update num -> 1", "I"),
            exact("===== <8> create cancel package list : create cancel package list file -> "
                  + list_file, "I"),
            exact("===== <9> execute cancel : re-install success", "I"),
            exact("===== <10> update db for cancel : find re-install targets : proc_info.id -> "
                  "3 : command_info.id -> 3 : update type -> emargency", "I"),
            exact("===== <12> execute update : UPDATE SUCCESS : execUpdate : install success",
                  "I"),
            exact("Update execution success -> 0", "I"),
            exact("success db commit!", "I"),
        ])

    # (f) ----------------------------------------------------------------------------------------

    def test_battery_firmware_with_a_silent_battery_is_not_installed(self):
        folder = self.folder_with_database()
        logger_app = self.start_program(LoggerSim(folder, "--battery", "silent"))
        updater = self.updater(folder, settings={"QMT_HTTP": {"URL": logger_app.url,
                                                              "RETRY_NUM": 0}})
        db = updater.db_file
        add_update(db, "9301", 0, [("tusk-batfw_2.0_armhf.deb", "fw", None)])
        updater.installed("tusk-batfw 1.0 armhf")
        lines = self.run_updater(updater)

        failed = "<6.5> Storage battery connection check : FAILED"
        self.assertEqual(runs(db), [(1, 1, 0, 2, ""), (2, 1, 1, 0, None)])
        self.assertEqual(updater.result("update_failed"), "9301\n%s\n" % failed)
        self.assertEqual(updater.package_updater_calls(), [])
        requests = logger_app.requests()
        self.assertEqual(len(requests), 1, requests)
        for part in ('<command>ReadFromEchonetDevice</command>', '<p x="1">0x7D</p>',
                     '<p x="2">0x00000B</p>', '<p x="3">SB-7</p>', '<p x="4">0x80</p>'):
            self.assertIn(part, requests[0])
        find_in_order(lines, [
            exact("in storageBatteryConnectionCheck : package_filename -> "
                  "tusk-batfw_2.0_armhf.deb", "I"),
            exact("===== " + failed, "W"),
            exact("Update execution failed -> 99 : update failed, but done re-schedule", "W"),
        ])
        updater.wait_finish(1)

    # (g) ----------------------------------------------------------------------------------------

    def test_package_name_with_shell_characters_runs_nothing(self):
        folder = self.folder_with_database()
        updater = self.updater(folder)
        db = updater.db_file
        name = "x';touch INJECTED;'$(touch INJECTED2) y"
        add_update(db, "9401", 0, [(name + "_1.0_armhf.deb", "tools", None)])
        updater.installed("x 1.0 armhf", "y 1.0 armhf")
        lines = self.run_updater(updater)

        self.assertEqual(read(updater.folder, "dpkg.args"), "-l\n")  # the query did run
        for root in (folder, updater.folder, os.getcwd()):
            for _, _, files in os.walk(root):
                self.assertFalse({"INJECTED", "INJECTED2"} & set(files), root)
        self.assertEqual(runs(db), [(1, 1, 0, 2, ""), (2, 1, 1, 0, None)])
        self.assertEqual(updater.result("update_failed"), "9401\n<4> Old package not found\n")
        find_in_order(lines, [
            exact("          : [install package] : package_info.id -> 1 : command_info_id -> 1 "
                  ": package name -> " + name, "I"),
            exact("===== <4> get now installed package : Old package not found -> -4", "W"),
        ])
        self.assertEqual(updater.package_updater_calls(), [])
        updater.wait_finish(1)


def read(folder, name):
    with open(os.path.join(folder, name)) as f:
        return f.read()


def read_update_log(updater, name):
    path = os.path.join(updater.folder, "update_log", name)
    if not os.path.exists(path):
        return None
    return read(os.path.dirname(path), name)


if __name__ == "__main__":
    unittest.main()
