"""The administration application through a running server, over HTTP: login
against the database engine's users, tokens, the service list, configurations
with their saved versions, service control (refused by heron, done through the
fake database server's callback), the broker's authentication file read back
by the broker, and bad inputs with their codes.

Each class runs as its own CTest entry (argument: the class name)."""
import hashlib
import json
import os
import re
import sqlite3
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import AdminClient, RunningHeron, free_port, post_json, sanitizer_report, wait_for, wait_port  # noqa: E402

FAKEHOST = os.environ.get("OSPREY_FAKEHOST")
TOKEN_NOT_FOUND = ("Invalid parameter - Not able to find login object for the given token. Please check if token is "
                   "valid or call adminLogin again to reconnect.")
LOGIN_REFUSED = "Invalid parameter - Not able to log on with the given user name and password."


def add_engine_user(tree, server, user, password):
    """A user of the engine's server, as its catalog keeps them."""
    salt = os.urandom(16)
    digest = hashlib.pbkdf2_hmac("sha256", password.encode(), salt, 10000, 32)
    with sqlite3.connect(tree.path(os.path.join("data", server, "rl_server.db")), timeout=10) as db:
        db.execute("INSERT INTO rl_users(name, salt, hash, iterations, admin) VALUES(?, ?, ?, 10000, 0)",
                   (user, salt, digest))


def http_get(port, path):
    import http.client
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("GET", path)
        reply = conn.getresponse()
        reply.read()
        return reply.status
    finally:
        conn.close()


class Tree(RunningHeron):
    """A copy of the built tree serving HTTP and the broker on free ports, with
    the broker's configuration file config/starling.cfg (the service
    "osprey.mqtt"); serve() starts heron."""

    def __init__(self, mqtt=True):
        config = {"verbose_level": -1, "linked_vix_server": None, "mqtt_persistence_enabled": "false",
                  "mqtt_statistics_interval": 0, "mqtt_statistics_persistence_interval": 0}
        if not mqtt:
            config.update({"mqtt_enabled": "false", "mqtt_listening_port": str(free_port())})
        super().__init__("admin-", applications=["mqtt;starling"], config=config, mqtt=mqtt, ready=mqtt,
                         app_files={"config/starling.cfg": "HISTORY_MAX_ROWS 100\n"}, run=False)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def serve(self, env=None):
        self.env.update(env or {})
        self.launch()

    def finish(self):
        """Stops heron and removes the tree; fails on a sanitizer report or an
        unclean end."""
        super().finish(check="exit")


def service_names(reply):
    return [s["serviceName"] for s in reply["serviceList"]]


class LoginTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = Tree()
        cls.tree.serve()
        cls.port = cls.tree.http_port

    @classmethod
    def tearDownClass(cls):
        cls.tree.finish()

    def test_login_shares_a_token_until_the_last_logout(self):
        first, second = AdminClient(self.port), AdminClient(self.port)
        reply = first.login("admin", "TRUVE")
        self.assertEqual((reply["errorCode"], reply["errorMessage"]), (0, "Success"), reply)
        self.assertRegex(first.token, r"^[0-9A-F]{128}$")
        # The same credentials (the user in any case) share the token.
        self.assertEqual(second.login("ADMIN", "TRUVE")["token"], first.token)
        self.assertEqual(first.call("adminLogout")["errorCode"], 0)
        self.assertEqual(second.call("adminGetServiceList")["total"] >= 1, True)
        self.assertEqual(second.call("adminLogout")["errorCode"], 0)
        gone = second.call("adminGetServiceList")
        self.assertEqual((gone["errorCode"], gone["errorMessage"]), (9007, TOKEN_NOT_FOUND))
        # A new login makes a new token: it is no function of the credentials.
        third = AdminClient(self.port)
        third.login()
        self.assertNotEqual(third.token, first.token)
        self.assertEqual(third.call("adminLogout")["errorCode"], 0)

    def test_refused_logins(self):
        client = AdminClient(self.port)
        cases = [
            ({"username": "ADMIN", "password": "wrong"}, 9007, LOGIN_REFUSED),
            ({"username": "NOBODY", "password": "TRUVE"}, 9007, LOGIN_REFUSED),
            ({"username": "A" * 65, "password": "TRUVE"}, 9007,
             "Invalid parameter - The user name is longer than 64 characters."),
            ({"password": "TRUVE"}, 9007, "Invalid parameter - Missing user name property at the request."),
            ({"username": "", "password": "TRUVE"}, 9007,
             "Invalid parameter - Missing user name property at the request."),
            ({"username": "ADMIN"}, 9007, "Invalid parameter - Missing user password property at the request."),
            # Never cut at a NUL byte into the administrator's credentials.
            ({"username": "ADMIN", "password": "TRUVE\u0000junk"}, 9007,
             "Invalid parameter - The user name or password holds a NUL character."),
            ({"username": "ADMIN\u0000x", "password": "TRUVE"}, 9007,
             "Invalid parameter - The user name or password holds a NUL character."),
        ]
        for body, code, text in cases:
            with self.subTest(body=body):
                reply = client.call("adminLogin", body)
                self.assertEqual((reply["errorCode"], reply["errorMessage"]), (code, text))
                self.assertNotIn("token", reply)

    def test_wrong_passwords_are_logged_and_others_served_meanwhile(self):
        import threading
        served = AdminClient(self.port)
        self.assertEqual(served.login()["errorCode"], 0)
        results = []

        def guess(n):
            body = '{"username": "ADMIN", "password": "guess%d"}' % n
            results.append(post_json(self.port, "/admin/adminLogin", body)[1]["errorCode"])

        guessers = [threading.Thread(target=guess, args=(n,)) for n in range(12)]
        for thread in guessers:
            thread.start()
        # The administrator's calls go on while the guesses are checked and slowed.
        for _ in range(5):
            self.assertGreaterEqual(served.call("adminGetServiceList")["total"], 1)
        for thread in guessers:
            thread.join(60)
        self.assertEqual(results, [9007] * 12)
        self.assertTrue(wait_for(lambda: re.search(r"osprey admin: \d+ failed log-on\(s\) from 127\.0\.0\.1 "
                                                   r"\(last user \[ADMIN\]\)", self.tree.log()), 10),
                        self.tree.log())
        # The right password still logs on.
        self.assertEqual(AdminClient(self.port).login()["errorCode"], 0)
        self.assertEqual(served.call("adminLogout")["errorCode"], 0)

    def test_token_and_function_checks(self):
        client = AdminClient(self.port)
        missing = client.call("adminGetServiceList")
        self.assertEqual((missing["errorCode"], missing["errorMessage"]), (9006, "Missing connection token."))
        forged = client.call("adminGetServiceList", token="A" * 128)
        self.assertEqual(forged["errorCode"], 9007)
        unknown = client.call("adminNothing", token="A" * 128)
        self.assertEqual((unknown["errorCode"], unknown["errorMessage"]), (8008, "Function [adminNothing] not found"))
        # Only POST reaches the application: a GET goes to the files.
        self.assertEqual(http_get(self.port, "/admin/adminLogin"), 404)


class ShippedConfigurationTest(unittest.TestCase):
    def test_every_tool_of_the_default_tree_has_its_configuration(self):
        tree = Tree(mqtt=False)
        try:
            with open(tree.path("config/osprey.json")) as f:
                config = json.load(f)
            config["applications"] = ["monitor;finch", "plover;plover", "avocet;avocet"]
            tree.write("config/osprey.json", json.dumps(config))
            tree.serve()
            self.assertTrue(wait_for(lambda: "Web server is ready" in tree.log(), 30), tree.log())
            client = AdminClient(tree.http_port)
            self.assertEqual(client.login()["errorCode"], 0)
            for name, shipped in (("osprey.monitor", "finch.cfg"), ("osprey.plover", "plover.cfg"),
                                  ("osprey.avocet", "avocet.cfg")):
                with self.subTest(service=name):
                    reply = client.call("adminGetServiceConfig", {"serviceList": [{"serviceName": name}]})
                    self.assertNotIn("errorCode", reply, reply)
                    self.assertEqual(reply["serviceConfigList"][0]["serviceConfigContents"], tree.read("config/" + shipped))
                    self.assertIn("CONN_POOL_SIZE", reply["serviceConfigList"][0]["serviceConfigContents"])
        finally:
            tree.finish()


class ExpiryTest(unittest.TestCase):
    def test_an_idle_token_expires(self):
        tree = Tree(mqtt=False)
        try:
            tree.serve(env={"OSPREY_ADMIN_TOKEN_IDLE_SECONDS": "1"})
            client = AdminClient(tree.http_port)
            self.assertEqual(client.login()["errorCode"], 0)
            time.sleep(2.5)
            reply = client.call("adminGetServiceList")
            self.assertEqual((reply["errorCode"], reply["errorMessage"]), (9007, TOKEN_NOT_FOUND))
            # A new login works and gets another token.
            old = client.token
            self.assertEqual(client.login()["errorCode"], 0)
            self.assertNotEqual(client.token, old)
        finally:
            tree.finish()


class ServicesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = Tree()
        # The REST application under a prefix of its own: it has no configuration file.
        config = json.loads(cls.tree.read("config/osprey.json"))
        config["applications"].append("rest;gannet")
        cls.tree.write("config/osprey.json", json.dumps(config))
        cls.tree.serve()
        cls.client = AdminClient(cls.tree.http_port)
        assert cls.client.login()["errorCode"] == 0

    @classmethod
    def tearDownClass(cls):
        cls.tree.finish()

    def versions(self, name):
        reply = self.client.call("adminGetServiceConfigVersionList", {"serviceList": [{"serviceName": name}]})
        self.assertNotIn("errorCode", reply, reply)
        return reply["serviceList"][0]["serviceConfigVersionList"]

    def get(self, name, version=None):
        entry = {"serviceName": name}
        if version is not None:
            entry["serviceConfigVersion"] = version
        return self.client.call("adminGetServiceConfig", {"serviceList": [entry]})

    def save(self, name, contents, apply=None):
        entry = {"serviceName": name, "serviceConfigContents": contents}
        if apply is not None:
            entry["applyImmediately"] = apply
        return self.client.call("adminSaveServiceConfig", {"serviceConfigList": [entry]})

    def test_service_list(self):
        # Without a database server: the web server itself and the applications
        # whose configuration can be read and saved here; no database server
        # service, and no application without a configuration file.
        reply = self.client.call("adminGetServiceList")
        self.assertEqual(service_names(reply), ["osprey", "osprey.mqtt"], reply)
        self.assertEqual(reply["serviceList"][0], {"id": 1, "serviceName": "osprey", "serviceDescription": "App Server",
                                                   "serviceConfigType": "JSON", "serviceState": "running"})
        mqtt = reply["serviceList"][1]
        self.assertEqual((mqtt["id"], mqtt["serviceDescription"], mqtt["serviceState"]), (2, "MQTT Server", "running"))
        self.assertEqual(reply["total"], len(reply["serviceList"]))
        for name in service_names(reply):
            with self.subTest(service=name):
                self.assertNotIn("errorCode", self.get(name))
                self.assertEqual(self.versions(name)[0], "current")
        for name in ("zvsrvr", "osprey.rest"):
            with self.subTest(service=name):
                self.assertEqual(self.get(name)["errorCode"], 8009)

    def test_web_server_configuration_by_its_name(self):
        original = self.tree.read("config/osprey.json")
        current = self.get("osprey")["serviceConfigList"][0]
        self.assertEqual((current["serviceName"], current["serviceConfigContents"]), ("osprey", original))
        changed = original + "\n"
        reply = self.save("osprey", changed)
        self.assertEqual((reply["errorCode"], reply["total"]), (0, 1), reply)
        self.assertEqual(self.tree.read("config/osprey.json"), changed)
        self.assertEqual(self.versions("osprey"), ["current", "default"])
        self.assertEqual(self.get("osprey", "default")["serviceConfigList"][0]["serviceConfigContents"], original)
        reply = self.save("osprey", original, apply=True)
        self.assertEqual(reply["errorCode"], 8006, reply)
        self.assertIn("restart the web server service to apply it", reply["errorMessage"])
        self.assertEqual(self.tree.read("config/osprey.json"), original)
        # No database server: nothing of one is written.
        saved = self.save("zvsrvr", "x")
        self.assertEqual(saved["errorCode"], 9007, saved)
        self.assertFalse(os.path.exists(self.tree.path("config/zvsrvr.cfg")))
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.tree.root), "config", "zvsrvr.cfg")))

    def test_a_configuration_that_would_not_load_is_refused(self):
        # The web server reads its file only at its next start, which a broken
        # document would make fail: it is refused now, and nothing is written.
        original = self.tree.read("config/osprey.json")
        starling = self.tree.read("config/starling.cfg")
        cases = [
            ("osprey", '{\n  "document_root": "./web",\n  oops\n}', "not a valid JSON document (line 3, column 3)"),
            ("osprey", "[1, 2]", "are not a JSON object"),
            ("osprey", original + "\u0000junk", "hold a NUL byte"),
            ("osprey.mqtt", "HISTORY_MAX_ROWS 5\u0000\n", "hold a NUL byte"),
        ]
        for name, contents, text in cases:
            with self.subTest(name=name, contents=contents):
                reply = self.save(name, contents)
                self.assertEqual(reply["errorCode"], 9007, reply)
                self.assertIn(text, reply["errorMessage"])
        self.assertEqual(self.tree.read("config/osprey.json"), original)
        self.assertEqual(self.tree.read("config/starling.cfg"), starling)
        self.assertFalse(os.path.exists(self.tree.path("config/history")))

    def test_configuration_versions(self):
        original = self.tree.read("config/starling.cfg")
        self.assertEqual(self.versions("osprey.mqtt"), ["current"])
        current = self.get("osprey.mqtt")["serviceConfigList"][0]
        self.assertEqual((current["serviceConfigVersion"], current["serviceConfigContents"]), ("current", original))
        # Three saves, two of them likely within one second: no version is lost.
        for n in (1, 2, 3):
            reply = self.save("osprey.mqtt", "HISTORY_MAX_ROWS %d\n" % n)
            self.assertEqual((reply["errorCode"], reply["total"]), (0, 1), reply)
        versions = self.versions("osprey.mqtt")
        self.assertEqual(versions[:2], ["current", "default"])
        self.assertEqual(len(versions), 4, versions)
        for version in versions[2:]:
            self.assertRegex(version, r"^\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d(-\d+)?$")
        contents = [self.get("osprey.mqtt", v)["serviceConfigList"][0]["serviceConfigContents"] for v in versions]
        self.assertEqual(contents, ["HISTORY_MAX_ROWS 3\n", original, "HISTORY_MAX_ROWS 1\n", "HISTORY_MAX_ROWS 2\n"])
        # Written whole, for this account only, next to the configuration.
        history = self.tree.path("config/history")
        for name in os.listdir(history) + ["../starling.cfg"]:
            mode = stat.S_IMODE(os.stat(os.path.join(history, name)).st_mode)
            self.assertEqual(mode, 0o600, name)
        self.assertIn("starling_default.cfg", os.listdir(history))
        self.assertFalse([n for n in os.listdir(history) if n.startswith(".")], "a temporary file was left")
        # Saving with immediate apply for the web server saves and says that a restart is needed.
        reply = self.save("osprey.mqtt", "HISTORY_MAX_ROWS 4\n", apply=True)
        self.assertEqual(reply["errorCode"], 8006)
        self.assertIn("restart the web server service to apply it", reply["errorMessage"])
        self.assertEqual(self.tree.read("config/starling.cfg"), "HISTORY_MAX_ROWS 4\n")

    def test_bad_configuration_requests(self):
        for version in ("../../../etc/passwd", "x", "2024-01-01", "2024-01-01-10-00-00-1", "default/../x",
                        "2024-01-01-10-00-00_2"):
            with self.subTest(version=version):
                reply = self.get("osprey.mqtt", version)
                self.assertEqual(reply["errorCode"], 9007, reply)
                self.assertIn("Unknown service configuration version", reply["errorMessage"])
        saved = self.save("osprey.nothing", "x")
        self.assertEqual(saved["errorCode"], 9007, saved)
        self.assertIn("Web application service not found [osprey.nothing]", saved["errorMessage"])
        for name in ("osprey.admin", "osprey.nothing", "unknown"):
            with self.subTest(name=name):
                self.assertEqual(self.get(name)["errorCode"], 8009)
        cases = [
            ("adminGetServiceConfig", {}, 9006, "Missing service list property"),
            ("adminGetServiceConfig", {"serviceList": [{}]}, 9006, "at the service [0] from the list."),
            ("adminSaveServiceConfig", {}, 9006, "Missing service configuration list property"),
            ("adminSaveServiceConfig", {"serviceConfigList": [{"serviceName": "osprey.mqtt"}]}, 9006,
             "Missing service configuration contents property at the service [0]"),
            ("adminGetServiceConfigVersionList", {"serviceList": [{"serviceName": ""}]}, 9006,
             "Missing service name property at the service [0]"),
            ("adminStopService", {}, 9006, "zvAdminStopService - Invalid parameter"),
        ]
        for function, body, code, text in cases:
            with self.subTest(function=function, body=body):
                reply = self.client.call(function, body)
                self.assertEqual(reply["errorCode"], code, reply)
                self.assertIn(text, reply["errorMessage"])
        self.assertEqual(self.save("osprey.mqtt", "")["errorCode"], 9006)

    def test_control_without_a_database_server(self):
        cases = [
            ("adminStopService", "zvsrvr",
             "zvAdminStopService - Not able to stop service - Not able to stop server service [zvsrvr]"),
            ("adminRestartService", "osprey.mqtt",
             "zvAdminRestartService - Not able to restart service - Not able to restart web server service "
             "[osprey.mqtt]"),
            ("adminStartService", "fakesvc",
             "zvAdminStartService - Not able to start service - Not able to control service [fakesvc] - this host "
             "runs no database server"),
        ]
        for function, name, text in cases:
            with self.subTest(function=function):
                reply = self.client.call(function, {"serviceList": [{"serviceName": name}]})
                self.assertEqual((reply["errorCode"], reply["errorMessage"]), (8006, text))

    def test_mqtt_command_without_persistence(self):
        reply = self.client.call("integration/mqtt", {"operation": "CreatePersistenceTopic",
                                                      "persistenceTopic": "a/b"})
        self.assertEqual(reply["errorCode"], 10001, reply)


class AuthenticationTest(unittest.TestCase):
    """The broker's credentials written by the application and read back by
    the broker when heron starts again."""

    def setUp(self):
        self.tree = Tree()
        self.tree.serve()
        self.client = AdminClient(self.tree.http_port)
        self.assertEqual(self.client.login()["errorCode"], 0)

    def tearDown(self):
        self.tree.finish()

    def set_auth(self, user, password, service="mqtt"):
        return self.client.call("adminSetAuthentication", {"serviceName": service, "userName": user,
                                                           "userPassword": password})

    def auth_file(self):
        with open(self.tree.path("web/localAuthFile.set"), "rb") as f:
            return f.read()

    def restart(self):
        self.tree.stop()
        with open(self.tree.path("heron.out"), "a") as f:
            f.write("---- restart ----\n")
        self.tree.start()
        self.assertTrue(wait_port(self.tree.http_port, 30), self.tree.log())
        self.assertTrue(wait_for(lambda: "Web server is ready" in self.tree.log().split("---- restart ----")[-1],
                                 30), self.tree.log())
        return self.tree.log().split("---- restart ----")[-1]

    def test_bad_authentication_requests(self):
        before = self.auth_file()
        cases = [
            ({"serviceName": "rest", "userName": "A", "userPassword": "B"}, 8006,
             "zvAdminSetAuthentication - Service name provided is not supported for this operation."),
            ({"userName": "A", "userPassword": "B"}, 9006,
             "zvAdminSetAuthentication - Invalid parameter - Missing service name property at the request."),
            ({"serviceName": "mqtt", "userPassword": "B"}, 9006,
             "zvAdminSetAuthentication - Invalid parameter - Missing user name property at the request."),
            ({"serviceName": "mqtt", "userName": "A"}, 9006,
             "zvAdminSetAuthentication - Invalid parameter - Missing user password property at the request."),
            ({"serviceName": "mqtt", "userName": "A\nPASSWD x", "userPassword": "B"}, 9007,
             "zvAdminSetAuthentication - Invalid parameter - The user name holds a control character."),
            ({"serviceName": "mqtt", "userName": "A", "userPassword": "B\r"}, 9007,
             "zvAdminSetAuthentication - Invalid parameter - The user password holds a control character."),
            ({"serviceName": "mqtt", "userName": "ADMIN", "userPassword": "TRUVE\u0000junk"}, 9007,
             "zvAdminSetAuthentication - Invalid parameter - The user password holds a control character."),
            ({"serviceName": "mqtt", "userName": "A", "userPassword": "x" * 255}, 9007,
             "zvAdminSetAuthentication - Invalid parameter - The user password is longer than 254 characters."),
            ({"serviceName": "mqtt", "userName": "u" * 254, "userPassword": "p" * 254}, 9007,
             "zvAdminSetAuthentication - Invalid parameter - The user name and password are longer than the "
             "authentication file holds."),
            ({"serviceName": "mqtt", "userName": "", "userPassword": "B"}, 9007,
             "zvAdminSetAuthentication - Invalid parameter - The user name is empty."),
        ]
        for body, code, text in cases:
            with self.subTest(body=body):
                reply = self.client.call("adminSetAuthentication", body)
                self.assertEqual((reply["errorCode"], reply["errorMessage"]), (code, text))
        self.assertEqual(self.auth_file(), before)

    def test_the_broker_logs_on_with_the_new_credentials(self):
        add_engine_user(self.tree, "BRENLOXS", "OPERATOR", "s3cret pass")
        # Engine users log in to the administration too.
        self.assertEqual(AdminClient(self.tree.http_port).login("operator", "s3cret pass")["errorCode"], 0)
        # Credentials the engine refuses are not written: the broker still
        # starts with the ones it had.
        before = self.auth_file()
        for user, password in (("OPERATOR", "wrong"), ("NOBODY", "s3cret pass")):
            reply = self.set_auth(user, password)
            self.assertEqual(reply["errorCode"], 9007, reply)
            self.assertIn("Not able to log on with the given user name and password", reply["errorMessage"])
        self.assertEqual(self.auth_file(), before)
        log = self.restart()
        self.assertNotIn("Not able to start MQTT broker", log)
        # Tokens do not outlive the server.
        self.assertEqual(self.client.call("adminGetServiceList")["errorCode"], 9007)
        self.assertEqual(self.client.login()["errorCode"], 0)
        # The service name in any case.
        reply = self.set_auth("OPERATOR", "s3cret pass", service="MQTT")
        self.assertEqual((reply["errorCode"], reply["errorMessage"]), (0, "Success"))
        path = self.tree.path("web/localAuthFile.set")
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        self.assertEqual(os.path.getsize(path), len("USERID OPERATOR\nPASSWD s3cret pass\n"))
        self.assertEqual(http_get(self.tree.http_port, "/localAuthFile.set"), 404)
        log = self.restart()
        self.assertNotIn("Not able to start MQTT broker", log)
        self.assertTrue(wait_port(self.tree.mqtt_port, 10), log)
        out = subprocess.run(["mosquitto_pub", "-p", str(self.tree.mqtt_port), "-t", "t", "-m", "m"],
                             capture_output=True, text=True, timeout=10)
        self.assertEqual(out.returncode, 0, out.stderr)


@unittest.skipUnless(FAKEHOST, "OSPREY_FAKEHOST names the fake database server")
class DatabaseServerTest(unittest.TestCase):
    """Under the fake database server: its plug-ins listed, stopped, started and
    restarted through its service-control callback; a configuration restored
    when the restarted plug-in does not start."""

    @classmethod
    def setUpClass(cls):
        cls.tree = Tree(mqtt=False)
        cls.tree.write("config/fakesvc.cfg", "mode=one\n")
        env = dict(os.environ, RAVLINK_DATA=cls.tree.path("data"))
        cls.out = open(cls.tree.path("host.out"), "w")
        cls.err = open(cls.tree.path("host.err"), "w")
        cls.proc = subprocess.Popen([FAKEHOST, "run"], cwd=cls.tree.root, env=env, stdout=cls.out, stderr=cls.err)
        assert wait_for(lambda: "WAITING" in cls.host_out(), 30), cls.host_out()
        cls.client = AdminClient(cls.tree.http_port)
        assert cls.client.login()["errorCode"] == 0

    @classmethod
    def host_out(cls):
        with open(cls.tree.path("host.out")) as f:
            return f.read()

    @classmethod
    def tearDownClass(cls):
        with open(cls.tree.path("stop-now"), "w"):
            pass
        code = cls.proc.wait(timeout=60)
        cls.out.close()
        cls.err.close()
        with open(cls.tree.path("host.err")) as f:
            err = f.read()
        out = cls.host_out()
        cls.tree.remove()
        assert not sanitizer_report(err), err
        assert code == 0 and "DONE" in out, out + err

    def controls(self):
        return re.findall(r"CONTROL op=(\d) name=(\S+)", self.host_out())

    def control(self, function, name):
        return self.client.call(function, {"serviceList": [{"serviceName": name}]})

    def state(self, name):
        services = self.client.call("adminGetServiceList")["serviceList"]
        return [s["serviceState"] for s in services if s["serviceName"] == name][0]

    def test_1_plugins_are_listed(self):
        services = self.client.call("adminGetServiceList")["serviceList"]
        self.assertEqual(service_names({"serviceList": services}),
                         ["zvsrvr", "zvagent", "osprey", "fakesvc", "webcfg", "osprey.mqtt"])
        fake = services[3]
        self.assertEqual((fake["id"], fake["serviceDescription"], fake["serviceConfigType"], fake["serviceState"]),
                         (4, "Fake Service", "CFG", "running"))
        self.assertEqual(services[2]["serviceDescription"], "App Server")
        self.assertEqual(services[5]["serviceState"], "stopped")

    def test_2_stop_start_restart(self):
        before = len(self.controls())
        self.assertEqual(self.control("adminStopService", "fakesvc")["errorCode"], 0)
        self.assertEqual(self.state("fakesvc"), "stopped")
        again = self.control("adminStopService", "fakesvc")
        self.assertEqual((again["errorCode"], again["errorMessage"]),
                         (1167, "zvAdminStopService - Not able to stop service - fakesvc is not running"))
        # A restart of a stopped plug-in ends at the stop's 1167, successfully.
        self.assertEqual(self.control("adminRestartService", "fakesvc")["errorCode"], 0)
        self.assertEqual(self.control("adminStartService", "fakesvc")["errorCode"], 0)
        self.assertEqual(self.state("fakesvc"), "running")
        reply = self.control("adminRestartService", "fakesvc")
        self.assertEqual((reply["errorCode"], reply["total"]), (0, 1))
        self.assertEqual(self.controls()[before:], [("2", "fakesvc"), ("2", "fakesvc"), ("2", "fakesvc"),
                                                    ("1", "fakesvc"), ("2", "fakesvc"), ("1", "fakesvc")])
        # This web server is never stopped from inside its own request.
        self.assertEqual(self.control("adminStopService", "osprey")["errorCode"], 8006)
        self.assertNotIn(("2", "osprey"), self.controls())

    def test_3_save_applied_and_restored(self):
        save = lambda contents: self.client.call("adminSaveServiceConfig", {"serviceConfigList": [
            {"serviceName": "fakesvc", "serviceConfigContents": contents, "applyImmediately": True}]})
        before = len(self.controls())
        self.assertEqual(save("mode=two\n")["errorCode"], 0)
        self.assertEqual(self.controls()[before:], [("2", "fakesvc"), ("1", "fakesvc")])
        self.assertEqual(self.tree.read("config/fakesvc.cfg"), "mode=two\n")
        # The restarted plug-in does not start: the previous file is back.
        reply = save("mode=fail\n")
        self.assertEqual((reply["errorCode"], reply["errorMessage"]),
                         (7001, "zvAdminSaveServiceConfig - Not able to add service configuration - fakesvc - Not "
                                "able to start - bad configuration"))
        self.assertEqual(self.tree.read("config/fakesvc.cfg"), "mode=two\n")
        versions = self.client.call("adminGetServiceConfigVersionList", {"serviceList": [
            {"serviceName": "fakesvc"}]})["serviceList"][0]["serviceConfigVersionList"]
        self.assertEqual(versions, ["current", "default"])
        default = self.client.call("adminGetServiceConfig", {"serviceList": [
            {"serviceName": "fakesvc", "serviceConfigVersion": "default"}]})
        self.assertEqual(default["serviceConfigList"][0]["serviceConfigContents"], "mode=one\n")

    def test_5_no_configuration_in_the_document_root(self):
        self.tree.write("web/webcfg.json", '{"secret": 1}')
        text = "Configuration file [./web/webcfg.json] lies under the document root and is not handled here"
        replies = [
            self.client.call("adminGetServiceConfig", {"serviceList": [{"serviceName": "webcfg"}]}),
            self.client.call("adminGetServiceConfigVersionList", {"serviceList": [{"serviceName": "webcfg"}]}),
            self.client.call("adminSaveServiceConfig", {"serviceConfigList": [
                {"serviceName": "webcfg", "serviceConfigContents": "{}"}]}),
        ]
        self.assertEqual([r["errorCode"] for r in replies], [8009, 8009, 9007], replies)
        for reply in replies:
            self.assertIn(text, reply["errorMessage"])
        self.assertEqual(self.tree.read("web/webcfg.json"), '{"secret": 1}')
        self.assertFalse(os.path.exists(self.tree.path("web/history")))

    def test_4_saving_the_web_server_never_restarts_it(self):
        osprey = self.tree.read("config/osprey.json")
        before = len(self.controls())
        reply = self.client.call("adminSaveServiceConfig", {"serviceConfigList": [
            {"serviceName": "osprey", "serviceConfigContents": osprey + " ", "applyImmediately": True}]})
        self.assertEqual(reply["errorCode"], 8006, reply)
        self.assertIn("restart the web server service to apply it", reply["errorMessage"])
        self.assertEqual(self.tree.read("config/osprey.json"), osprey + " ")
        self.assertEqual(self.controls()[before:], [])
        # Still serving.
        self.assertEqual(self.client.call("adminGetServiceList")["serviceList"][0]["serviceName"], "zvsrvr")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
