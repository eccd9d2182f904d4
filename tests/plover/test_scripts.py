"""The workbench's object details, query plans and SQL scripts through a
running heron: scripts of tables, views, routines and triggers are run again
on an empty database, and the sqlite3 shell compares the two schemas."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_workbench import ServerCase  # noqa: E402

# Column types are written as the catalog names them, so that the shell's
# declared types compare equal.
SCHEMA = [
    "create table dept(id integer primary key, code character(4) not null constraint dept_code unique,"
    " name varchar(40) default 'none', budget numeric(12,2) default 5, opened date default current_date,"
    " stamp timestamp default current_timestamp, note varchar(20) default 'O''Brien',"
    " constraint dept_budget check (budget >= 0))",
    "create table emp(empno integer not null, dept integer, name varchar(30), salary money(19) check (salary > 0),"
    " rate double precision, constraint emp_pk primary key (empno),"
    " constraint emp_dept foreign key (dept, name) references dept(id, name))",
    "create unique index dept_name on dept(name)",
    "create index emp_name on emp(name desc, salary)",
    "create view rich as select empno, name from emp where salary > 1000",
    "create table \"it's\"(a integer, b varchar(5))",
    "create trigger emp_upd after update of salary, name on emp begin update dept set budget = budget + 1; end",
    "create table qep(stmt_id integer, parent_id integer, query_stmt varchar(200))",
    "insert into dept(id, code, name) values(1, 'A', 'sales')",
    "insert into emp values(1, 1, 'sales', 2000, 1.5)",
    "insert into qep values(7, -1, 'select name from emp where name = ''x''')",
    "create procedure p1 (IN p1 integer, OUT p2 varchar(20)) RESULT (total integer) "
    "IMPORT import java.util.*; BEGIN total = p1; END",
    "create function f1 (d double) RETURNS numeric(10,2) BEGIN return d; END",
]

# What the sqlite3 shell says of a table's definition: columns (without
# their stored default texts), indexes with their key order, foreign keys, checks.
SHAPE = ("select name, type, \"notnull\", pk from pragma_table_xinfo('{t}');"
         "select il.name, il.\"unique\", il.origin, ix.name, ix.\"desc\" from pragma_index_list('{t}') il,"
         " pragma_index_xinfo(il.name) ix where ix.key order by il.name, ix.seqno;"
         "select \"table\", \"from\", \"to\" from pragma_foreign_key_list('{t}') order by id, seq;"
         "select count(*) from sqlite_schema where name = '{t}' and sql like '%check%';")


def statements(script):
    """A script's statements (each ends a line with its semicolon)."""
    return [s.strip() for s in re.split(r";[ \t]*\n", script + "\n") if s.strip()]


class ScriptCase(ServerCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server.create_db("copy")
        token = cls.server.connect("work", autoCommit=True)["result"]["token"]
        for statement in SCHEMA:
            reply = cls.server.session(token, "execStatement", query=statement)
            assert reply["type"] == "rpc", (statement, reply)

    def work(self):
        return self.token(autoCommit=True)

    def script(self, token, kind, name, owner="main", **extra):
        reply = self.server.call("getSqlScript", {"token": token, "yxInfo": dict(
            objectType=kind, objectOwner=owner, objectName=name, **extra)})
        self.assertEqual(reply["type"], "rpc", reply)
        return reply["result"]["text"]

    def run_on_copy(self, texts):
        token = self.server.connect("copy", autoCommit=True)["result"]["token"]
        for statement in texts:
            reply = self.server.session(token, "execStatement", query=statement)
            self.assertEqual(reply["type"], "rpc", (statement, reply))
        return token


class DdlScriptTest(ScriptCase):
    def test_tables_and_view_run_again_give_the_same_schema(self):
        work = self.work()
        scripts = {name: self.script(work, "TABLE", name) for name in ("dept", "emp", "it's")}
        scripts["rich"] = self.script(work, "view", "rich")
        dept, emp = scripts["dept"], scripts["emp"]
        # keywords whole and unquoted, literals with the generator's quotes
        for piece in ["default sysdate", "default systimestamp", "default 'none'", "default 'O''Brien'",
                      "\"id\" integer identity (1,1)", "\"budget\" numeric(12,2)", "\"code\" character(4) not null",
                      "constraint dept_code unique (\"code\")", "constraint dept_budget check (budget >= 0)",
                      "create unique index \"main\".\"dept_name\" on \"main\".\"dept\" (\"name\");"]:
            self.assertIn(piece, dept)
        self.assertNotIn("sqlite_autoindex", dept)  # the unique constraint makes its own index
        for piece in ["\"salary\" money(19)", "\"rate\" double precision", "constraint emp_pk primary key (\"empno\")",
                      ",\ncheck (salary > 0)",
                      "(\"name\" desc, \"salary\")",
                      " alter table \"main\".\"emp\" add constraint emp_dept foreign key (\"dept\", \"name\")"
                      " references \"main\".\"dept\"  (\"id\", \"name\");"]:
            self.assertIn(piece, emp)
        self.assertTrue(scripts["it's"].startswith("create table \"main\".\"it's\" (\n\t\"a\" integer"))
        self.assertEqual(scripts["rich"],
                         "create view \"main\".\"rich\" (\n\t\"empno\",\n\t\"name\"\n) as\n"
                         "select empno, name from emp where salary > 1000;")

        copy = self.run_on_copy(statements("\n".join(scripts[n] for n in ("dept", "emp", "it's", "rich"))))
        for table in ("dept", "emp", "it''s", "rich"):
            shape = SHAPE.format(t=table)
            self.assertEqual(self.server.sql("copy", shape), self.server.sql("work", shape), table)
        for name, text in scripts.items():
            kind = "VIEW" if name == "rich" else "TABLE"
            self.assertEqual(self.script(copy, kind, name), text, name)

    def test_dumps_grants_and_refusals(self):
        work = self.work()
        # names are literals in the catalog queries: a quote finds nothing, changes nothing
        self.assertEqual(self.script(work, "TABLE", "x' or '1'='1"), "create table \"main\".\"x' or '1'='1\" (\n\n)"
                         ";\n")
        self.assertEqual(self.script(work, "INDEX", "dept"), "")
        reply = self.server.call("getSqlScript", {"token": work, "yxInfo": {"objectType": "TABLE"}})
        self.assertEqual(reply["result"], {"text": ""})
        with_grants = self.script(work, "table", "dept", objectPerms=True)
        self.assertTrue(with_grants.endswith(";\n\n"), with_grants)


class RoutineScriptTest(ScriptCase):
    def test_procedure_and_function_scripts_run_again(self):
        work = self.work()
        procedure = self.script(work, "UPROCEDURE", "p1")
        self.assertEqual(procedure,
                         "create procedure \"main\".\"p1\" (\n\tIN\t\"p1\" integer,\n\tOUT\t\"p2\" varchar (20)\n)"
                         "\nresult (\n\t\"total\" integer\n)\nimport\n import java.util.*; \nbegin\n total = p1; end\n")
        function = self.script(work, "udf", "f1")
        self.assertEqual(function, "create function \"main\".\"f1\" (\n\tIN\t\"d\" double precision\n)"
                                   "\nreturns numeric (10,2)\nbegin\n return d; end\n")
        copy = self.run_on_copy([procedure, function])
        self.assertEqual(self.script(copy, "UPROCEDURE", "p1"), procedure)
        self.assertEqual(self.script(copy, "UDF", "f1"), function)
        # a body in a language the server does not run is refused when called, not taken as a result
        reply = self.server.session(work, "execStatement", query="call p1(1, 'x')")
        self.assertEqual(reply["type"], "exception", reply)
        self.assertIn("does not run", reply["message"])

    def test_trigger_script_runs_again(self):
        work = self.work()
        trigger = self.script(work, "TRIGGER", "emp_upd")
        self.assertEqual(trigger,
                         "create trigger \"main\".\"emp_upd\" \n\tafter update of (\"name\", \"salary\")"
                         "\n\ton \"main\".\"emp\"\n\treferencing newrow, oldrow\n\tfor each row"
                         "\nbegin\nupdate dept set budget = budget + 1;end\n")
        tables = "\n".join(self.script(work, "TABLE", name) for name in ("dept", "emp"))
        copy = self.run_on_copy(statements(tables) + [trigger])
        self.assertEqual(self.script(copy, "TRIGGER", "emp_upd"), trigger)
        # the copy fires as the original: an update of a listed column raises the budget
        for db in ("work", "copy"):
            self.server.sql(db, "insert or ignore into dept(id, code, name) values(1, 'A', 'sales');"
                                "insert or ignore into emp values(1, 1, 'sales', 2000, 1.5);"
                                "update emp set rate = 2; update emp set salary = 3000;")
        self.assertEqual(self.server.sql("copy", "select budget from dept"), "6")
        # A trigger of every column has no column list, and its script runs again.
        self.server.session(work, "execStatement", query="create trigger emp_any after update on emp begin "
                                                           "update dept set budget = budget + 1; end")
        every = self.script(work, "TRIGGER", "emp_any")
        self.assertIn("after update \n\ton \"main\".\"emp\"", every)
        self.run_on_copy([every])
        self.assertEqual(self.server.sql("copy", "select count(*) from sqlite_master where name = 'emp_any'"), "1")
        self.assertEqual(self.script(work, "TRIGGER", "nothing"), "create trigger \"main\".\"nothing\" \n\tafter "
                         "\n-- the trigger \"event\" is not valid\n\ton \"\".\"\"\n\tfor each statementend\n")


class ObjectsTest(ScriptCase):
    def info(self, token, node, option=None, **yx):
        params = {"token": token, "yxInfo": dict(nodeId=node, **yx)}
        if option is not None:
            params["yxOption"] = option
        reply = self.server.call("getObjectsInfo", params)
        self.assertEqual(reply["type"], "rpc", reply)
        return reply["result"]

    def test_folder_and_object_grids(self):
        t = self.work()
        tables = self.info(t, {"type": 3, "user": "main"})
        first = tables["metaData"]["columns"][0]
        self.assertEqual((first["dataIndex"], first["width"], first.get("hidden")), ("rows", 76, True))
        self.assertNotIn("rows", tables["rows"][0])
        counted = self.info(t, {"type": 3, "user": "main"}, True)
        counts = {row["tbl"]: row["rows"] for row in counted["rows"]}
        self.assertEqual((counts["dept"], counts["emp"], counts["it's"]), (1, 1, 0))
        columns = self.info(t, {"type": 4, "user": "main", "table": "dept", "name": "emp"})
        self.assertEqual([r["col"] for r in columns["rows"]], ["empno", "dept", "name", "salary", "rate"])
        params = self.info(t, {"type": 10, "user": "admin"}, "yx_set_nodename")
        self.assertEqual([r["col"] for r in params["rows"]], ["node_name", "result"])
        segments = self.info(t, {"type": 20, "user": "main"}, "emp_name", tbl="emp")
        self.assertEqual([r["colname"] for r in segments["rows"]], ["name", "salary"])
        self.assertIsNone(self.info(t, {"type": 20, "user": "main"}, "emp_name"))
        procedures = self.info(t, {"type": 11, "user": "main"})
        self.assertEqual([r["proc_name"] for r in procedures["rows"]], ["p1"])
        for empty in (0, 19, 27, 30):
            grid = self.info(t, {"type": empty, "user": "main"})
            self.assertEqual(grid["rows"], [])
            self.assertEqual(grid["metaData"]["columns"][0]["dataIndex"], "field1")
        self.assertIsNone(self.info(t, {"user": "main"}))

    def test_plans_as_text_and_graph(self):
        t = self.work()
        plans = self.info(t, {"type": 25, "user": "main"})
        self.assertEqual([r["tbl"] for r in plans["rows"]], ["qep"])
        statements = self.info(t, {"type": 26, "user": "main"}, "qep")
        self.assertEqual(statements["rows"][0]["stmt_id"], 7)
        text = self.server.session(t, "getExecPlanText", user="main", qepTbl="qep", stmtId="7")["result"]
        self.assertTrue(any("emp" in line["EXECUTION_PLAN"] for line in text), text)
        self.assertIsNone(self.server.session(t, "getExecPlanText", user="main", qepTbl="qep", stmtId="8")["result"])
        # the first graph creates its procedure (committed, the session commits each change)
        for _ in range(2):
            graph = self.server.session(t, "getExecPlanGraph", user="main", qepTbl="qep", queryId="7")
            self.assertEqual(graph["type"], "rpc", graph)
            self.assertIn("emp", graph["result"]["query"])
            self.assertTrue(graph["result"]["plan"])
        self.assertIn("access_get_qep_graph", self.server.sql("work", "select name from zv_routines"))
        failed = self.server.session(t, "getExecPlanGraph", user="main", qepTbl="qep", queryId="8")
        self.assertEqual((failed["type"], failed["result"]), ("exception", None))
        self.assertIn("No statement [8]", failed["message"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
