"""What an operator meets: heron run on wrong configurations, as a new user
would, in throw-away copies of the built tree. Each failure must name its
cause, a failed start must end the process with a non-zero status, and the
README must describe the configuration keys the plug-in reads."""
import base64
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "common"))
from peers import ADMIN_AUTH, HeronTree, RunningHeron, free_port, sanitizer_report  # noqa: E402

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..")
BUSY_TEXT = "Check if communication port is available."


class Tree(RunningHeron):
    """A copy of the built tree with the given osprey.json (a dict, or a text
    written as it is); heron runs in it with the given arguments, unwaited."""

    def __init__(self, config, args=("-s",)):
        super().__init__("operator-", config=config if isinstance(config, str) else json.dumps(config),
                         auth=ADMIN_AUTH, args=args, output_mode="wb", wait=False)

    def close(self):
        self.halt()
        self.remove()


class OperatorCase(unittest.TestCase):
    def tree(self, config, args=("-s",)):
        tree = Tree(config, args)
        self.addCleanup(tree.close)
        return tree

    def failed_starts(self, configs, args=("-s",)):
        """Runs heron on configurations that cannot start, all at once; returns
        their logs after checking that each ended by itself with status 1."""
        trees = [self.tree(config, args) for config in configs]
        logs = []
        for tree in trees:
            code = tree.wait_exit()
            log = tree.log()
            self.assertEqual(code, 1, log)
            self.assertFalse(sanitizer_report(log), log)
            logs.append(log)
        return logs

    def failed_start(self, config, args=("-s",)):
        return self.failed_starts([config], args)[0]


class FailuresNameTheirCause(OperatorCase):
    def make_keys(self, folder):
        for name in ("a", "b"):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                            "-subj", "/CN=localhost", "-keyout", os.path.join(folder, name + ".key"),
                            "-out", os.path.join(folder, name + ".crt")],
                           check=True, capture_output=True)

    def test_certificate_and_key_failures_are_named(self):
        folder = tempfile.mkdtemp(prefix="operator-keys-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.make_keys(folder)
        with open(os.path.join(folder, "garbage.crt"), "w") as f:
            f.write("not a certificate\n")
        a_crt, a_key, b_key = (os.path.join(folder, n) for n in ("a.crt", "a.key", "b.key"))
        missing = os.path.join(folder, "missing.crt")
        cases = [
            ({"ssl_certificate": missing}, "Invalid SSL cert - " + missing + ": No such file or directory"),
            ({"ssl_certificate": os.path.join(folder, "garbage.crt")}, "Invalid SSL cert - "),
            ({"ssl_certificate": a_crt, "ssl_key": b_key}, "Invalid SSL key - " + b_key + ": key values mismatch"),
            ({"ssl_certificate": a_crt, "ssl_key": a_key + ".gone"},
             "Invalid SSL key - " + a_key + ".gone: No such file or directory"),
        ]
        ports = [free_port() for _ in cases]
        logs = self.failed_starts([dict({"listening_https_port": str(port)}, **settings)
                                   for port, (settings, _) in zip(ports, cases)])
        for port, (settings, cause), log in zip(ports, cases, logs):
            with self.subTest(settings=settings):
                self.assertIn("osprey - Not able to start HTTPS server - Not able to bind to port [%d] - %s Cause: %s"
                              % (port, BUSY_TEXT, cause), log)
                self.assertIn("heron - The web server ended without a stop request", log)

    def test_ports_that_are_no_ports_and_ports_in_use(self):
        texts = ("http", "80a", "99999", "-1")
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            port = taken.getsockname()[1]
            logs = self.failed_starts([{"listening_http_port": text} for text in texts] +
                                      [{"listening_http_port": str(port)}])
        for text, log in zip(texts, logs):
            with self.subTest(port=text):
                self.assertIn("osprey - Not able to start HTTP server - Invalid port [%s] - a port number below "
                              "65535 is expected." % text, log)
                self.assertNotIn(BUSY_TEXT, log)
        self.assertIn("Not able to bind to port [%d] - %s Cause: failed to open listener - Address already in use"
                      % (port, BUSY_TEXT), logs[-1])

    def test_broker_listeners_name_their_cause(self):
        base = {"mqtt_enabled": "true", "applications": ["mqtt;starling"],
                "mqtt_statistics_interval": 0, "mqtt_statistics_persistence_interval": 0}
        missing = os.path.join(tempfile.gettempdir(), "operator-no-such.crt")
        cases = [
            ({"mqtt_listening_port": "80a"}, "Invalid port [80a] - a port number below 65535 is expected."),
            ({"mqtt_listening_port": str(free_port()), "mqtt_websocket_port": str(free_port()),
              "mqtt_websocket_ssl_enabled": "true", "ssl_certificate": missing},
             "with SSL - %s Cause: Invalid SSL cert - %s: No such file or directory" % (BUSY_TEXT, missing)),
        ]
        trees = [self.tree(dict(base, listening_http_port=str(free_port()), **settings)) for settings, _ in cases]
        for tree, (settings, wanted) in zip(trees, cases):
            with self.subTest(settings=settings):
                self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
                log = tree.log()
                self.assertIn("osprey - Not able to start MQTT broker - ", log)
                self.assertIn(wanted, log)


class ServiceFailsVisibly(OperatorCase):
    def test_invalid_json_ends_the_service_with_status_1(self):
        log = self.failed_start('{\n  "listening_http_port": "8080"\n  "mqtt_enabled": "true"\n}\n')
        self.assertIn("Not able to load Web Server configuration from [./config/osprey.json]. Invalid JSON document "
                      "at line 3, column 3. - -1\n", log)
        # One message a line.
        self.assertIn("osprey - Couldn't start Web server. Not able to load configuration. - 9006\n", log)

    def test_a_missing_configuration_names_both_places(self):
        tree = HeronTree(prefix="operator-")
        self.addCleanup(tree.remove)
        os.remove(tree.path("config/osprey.json"))
        tree.start(("-s",), output_mode="wb")
        self.addCleanup(tree.out.close)
        self.assertEqual(tree.wait_exit(), 1, tree.log())
        self.assertIn("Not able to load Web Server configuration from [../config/osprey.json] or "
                      "[./config/osprey.json] - neither file exists.", tree.log())

    def test_a_configuration_without_listeners_is_warned_of(self):
        tree = self.tree({"mqtt_enabled": "false"})
        self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
        self.assertIn("WARNING - ", tree.log())
        self.assertIn("osprey - Nothing listens: the configuration sets neither listening_http_port, "
                      "listening_https_port nor mqtt_enabled. - -2", tree.log())

    def test_console_mode_ends_with_status_1_when_the_start_fails(self):
        log = self.failed_start({"listening_http_port": "http"}, args=())
        self.assertIn("Invalid port [http]", log)

    def test_a_stop_in_the_console_is_logged(self):
        for stop, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")):
            with self.subTest(signal=name):
                tree = self.tree({"listening_http_port": str(free_port())}, args=())
                self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
                tree.proc.send_signal(stop)
                # Still ended by the signal itself, at once.
                self.assertEqual(tree.wait_exit(), -stop, tree.log())
                self.assertIn("heron - %s received; the server ends at once - 0" % name, tree.log())

    def test_sighup_is_logged_and_the_service_goes_on(self):
        port = free_port()
        tree = self.tree({"listening_http_port": str(port)})
        self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
        tree.proc.send_signal(signal.SIGHUP)
        self.assertTrue(tree.wait_log("heron - SIGHUP received and ignored"), tree.log())
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/")
        self.assertEqual(connection.getresponse().status, 200)
        connection.close()
        # The process keeps its program's name across its re-execution.
        names = subprocess.run(["ps", "-o", "comm=", "-p", str(tree.proc.pid)], capture_output=True, text=True)
        self.assertEqual(names.stdout.strip(), "heron")
        self.assertIn(str(tree.proc.pid), subprocess.run(["pgrep", "-x", "heron"], capture_output=True,
                                                         text=True).stdout.split())
        tree.proc.send_signal(signal.SIGTERM)
        self.assertEqual(tree.wait_exit(), 0, tree.log())


class ConfigurationMistakesAreReported(OperatorCase):
    def test_unknown_keys_values_not_understood_missing_root_and_the_file_read(self):
        port = free_port()
        tree = self.tree({"listening_http_port": str(port), "listen_http_port": "8081", "mqtt_enabled": "yes",
                          "mqtt_websocket_ssl_enabled": "false", "enable_directory_listing": "off",
                          "document_root": "./no-such-root"})
        self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
        log = tree.log()
        loaded = os.path.realpath(tree.path("config/osprey.json"))
        self.assertIn("osprey - Web Server configuration loaded from [%s] - 0" % loaded, log)
        self.assertIn("osprey - Unknown key [listen_http_port] in [./config/osprey.json] is ignored. - -2", log)
        self.assertIn("osprey - Invalid value of key [mqtt_enabled] in [./config/osprey.json] - true or false is "
                      "expected; the default is used. - -2", log)
        self.assertIn("osprey - Invalid value of key [enable_directory_listing] in [./config/osprey.json] - yes or "
                      "no is expected; no is used. - -2", log)
        # Settings not understood are warnings; a root that is not there is an error.
        self.assertIn("WARNING - ", log)
        self.assertNotRegex(log, r"ERROR - [^\n]*(Unknown key|Invalid value)")
        self.assertIn("ERROR - ", log)
        self.assertIn("osprey - Database data root [%s] - 0" % os.path.realpath(tree.path("data")), log)
        self.assertIn("osprey - Document root [./no-such-root] is not usable - No such file or directory - 2", log)
        # Known keys with values understood say nothing.
        self.assertNotIn("[mqtt_websocket_ssl_enabled]", log)
        self.assertNotIn("Unknown key [listening_http_port]", log)

    def test_numbers_a_key_cannot_mean_are_warned_of_and_the_broker_starts(self):
        above_zero, zero_or_more = "a number above 0 is expected", "a number of 0 or more is expected"
        rows = [
            ("mqtt_websocket_port", "70000", "a port number below 65535 is expected"),
            ("web_thread_count", -4, above_zero),
            ("mqtt_max_dbconn_count", 0, above_zero),
            ("mqtt_conn_request_timeout", -10, above_zero),
            ("mqtt_statistics_interval", -3, zero_or_more),
            ("mqtt_connect_timeout", -5, zero_or_more),
            ("mqtt_max_queued_messages", "-1", zero_or_more),
        ]
        mqtt_port = free_port()
        config = {"listening_http_port": str(free_port()), "applications": ["mqtt;starling"], "mqtt_enabled": "true",
                  "mqtt_listening_port": str(mqtt_port), "mqtt_statistics_persistence_interval": 0}
        config.update({key: value for key, value, _ in rows})
        tree = self.tree(config)
        self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
        log = tree.log()
        for key, value, why in rows:
            with self.subTest(key=key, value=value):
                self.assertIn("osprey - Invalid value of key [%s] in [./config/osprey.json] - %s; the default is used."
                              % (key, why), log)
        self.assertIn("starling - MQTT broker started at port %d" % mqtt_port, log)
        self.assertNotIn("Not able to start MQTT broker", log)
        self.assertNotIn("MQTT websocket started", log)


class ApplicationRoutes(OperatorCase):
    def test_mqtt_application_challenges_and_answers_a_wrong_route_with_404(self):
        port = free_port()
        tree = self.tree({"listening_http_port": str(port), "applications": ["mqtt;starling"]})
        self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())

        def get(headers):
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", "/mqtt/", headers=headers)
            reply = connection.getresponse()
            body = reply.read().decode(errors="replace")
            connection.close()
            return reply, body

        reply, _ = get({})
        self.assertEqual(reply.status, 401)
        self.assertEqual(reply.getheader("WWW-Authenticate"), 'Basic realm="brenlox.local", charset="UTF-8"')
        credentials = base64.b64encode(b"anyone:anything").decode()
        reply, body = get({"Authorization": "Basic " + credentials})
        self.assertEqual(reply.status, 404, body)
        self.assertIn("8006", body)
        self.assertIn("Server [/] is not supported", body)


class ApplicationEntriesRefused(OperatorCase):
    def test_an_empty_prefix_is_left_out_and_the_rest_served(self):
        port = free_port()
        refused = {";plover": "it has no prefix", ";avocet": "it has no prefix"}
        tree = self.tree({"listening_http_port": str(port), "linked_vix_server": "BRENLOXS",
                          "applications": ["quarn;gannet", ";plover"],
                          "websocket_applications": ["wren;wren", ";avocet"]})
        self.assertTrue(tree.wait_log("osprey - Web server is ready"), tree.log())
        log = tree.log()
        for entry, why in refused.items():
            kind = "Websocket" if entry == ";avocet" else "Web"
            with self.subTest(entry=entry):
                self.assertRegex(log, r"WARNING - [^\n]* - osprey - %s application entry \[%s\] is left out: %s"
                                 % (kind, re.escape(entry), why))

        def status(path):
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", path)
            code = connection.getresponse().status
            connection.close()
            return code

        self.assertEqual(status("/quarn/api/v1/openapi"), 200)
        self.assertEqual(log.count("osprey - Loaded web app: quarn -"), 1, log)
        self.assertEqual(log.count("osprey - Loaded websocket app: wren -"), 1, log)
        # Stopped as the service stops: each library's term once, nothing left behind.
        tree.proc.send_signal(signal.SIGTERM)
        self.assertEqual(tree.wait_exit(), 0, tree.log())
        self.assertFalse(sanitizer_report(tree.log()), tree.log())


class ReadmeSaysWhatIsThere(unittest.TestCase):
    longMessage = False  # the messages below say all there is to fix

    def read(self, relative):
        with open(os.path.join(SOURCE, relative)) as f:
            return f.read()

    def config_keys(self):
        """(name, default) of the key table in osprey/config.cpp; None: no default."""
        source = self.read("osprey/config.cpp")
        table = source[source.index("const ConfigKey kConfigKeys[]"):]
        table = table[:table.index("};")]
        keys = []
        for kind, body in re.findall(r"\b(TEXT_KEY|FLAG_KEY|INT_KEY|INTERVAL_KEY)\(([^)]*)\)", table):
            parts = [p.strip() for p in body.split(",", 1)]
            default = parts[1] if len(parts) > 1 else None
            if kind == "INT_KEY":
                default = default.split(",")[0].strip()  # the smallest value meant follows
            if kind == "FLAG_KEY":
                default = "false"
            elif default == "nullptr":
                default = None
            elif default is not None and default.startswith('"'):
                default = json.loads(default)
            elif default is not None and not re.fullmatch(r"-?\d+", default):
                constant = re.search(r"\b%s = (\"[^\"]*\")" % re.escape(default), source)
                default = json.loads(constant.group(1))
            keys.append((parts[0], default))
        keys += [(name, None) for name in re.findall(r'\{"(\w+)", Kind::', table)]
        applications = source[source.index("const ApplicationKey kApplicationKeys[]"):]
        applications = applications[:applications.index("};")]
        for name, default in re.findall(r'\{"(\w+)", (nullptr|"[^"]*")\}', applications):
            keys.append((name, None if default == "nullptr" else json.loads(default)))
        return keys

    def readme_keys(self):
        """key -> default text of the README's configuration table."""
        readme = self.read("README.md")
        section = readme[readme.index("## Configuration: `config/osprey.json`"):]
        section = section[:section.index("\n## ", 1)]
        rows = {}
        for line in section.splitlines():
            match = re.match(r"\| `(\w+)` \| (.*?) \| (.+) \|$", line)
            if match:
                default = match.group(2).replace("\\|", "|")
                rows[match.group(1)] = None if default == "none" else default.strip("`")
        return rows

    def test_every_configuration_key_has_its_row(self):
        rows = self.readme_keys()
        keys = self.config_keys()
        shown = lambda default: "none" if default is None else "`%s`" % default  # noqa: E731
        missing = ["| `%s` | %s | ... |" % (name, shown(default)) for name, default in keys if name not in rows]
        self.assertFalse(missing, "README.md: the configuration table lacks a row for these keys of "
                                  "osprey/config.cpp:\n" + "\n".join(missing))
        differing = ["`%s`: README %s, osprey/config.cpp %s" % (name, shown(rows[name]), shown(default))
                     for name, default in keys if name in rows and rows[name] != default]
        self.assertFalse(differing, "README.md: defaults that differ from osprey/config.cpp:\n" + "\n".join(differing))
        known = {name for name, _ in keys}
        unknown = sorted(set(rows) - known)
        self.assertFalse(unknown, "README.md lists keys that osprey/config.cpp does not read: %s" % unknown)

    def test_readme_and_welcome_page_list_only_what_is_there(self):
        readme = self.read("README.md")
        welcome = self.read("dist/web/index.html")
        # The server monitor is there once its folder is: the README names it then.
        monitor_there = os.path.isdir(os.path.join(SOURCE, "finch"))
        workbench_there = os.path.isdir(os.path.join(SOURCE, "plover"))
        browser_there = os.path.isdir(os.path.join(SOURCE, "avocet"))
        for absent in ("REST API", "administration API") + (
                () if monitor_there else ("monitor",)) + (() if workbench_there else ("workbench",)) + (
                () if browser_there else ("table browser",)):
            self.assertNotIn(absent, readme)
        if browser_there:
            self.assertIn("`avocet`, the table browser", readme)
        if monitor_there:
            self.assertIn("`finch`, the server monitor", readme)
        if workbench_there:
            self.assertIn("`plover`, the SQL workbench", readme)
        self.assertNotIn("/rest/", welcome)
        # The page is static: it names no port the configuration may change.
        self.assertNotRegex(welcome, r"\b(1883|8083|8080|8443)\b")
        self.assertIn("does not authenticate clients", readme)
        self.assertIn("systemctl enable --now yxWebServer", readme)
        for variable in ("HERON_UNIT_DIR", "HERON_SYSTEMCTL", "RAVLINK_DATA"):
            self.assertIn("`%s`" % variable, readme)


if __name__ == "__main__":
    unittest.main(verbosity=2)
