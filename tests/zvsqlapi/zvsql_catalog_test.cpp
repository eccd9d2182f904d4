// Every catalog text the callers send, run against a database made by the
// engine with tables, indexes, views, triggers, foreign keys and checks;
// the catalog rows compared with what the sqlite3 shell says of the schema.
#include "zvsql_fixture.h"

#include <cstdio>

using namespace zvsqltest;

namespace {

const char* const kSchema[] = {
    "create table dept(id integer primary key, code char(4) not null constraint dept_code unique, name varchar(40)"
    " default 'none', budget numeric(12,2) default 5, opened date default current_date,"
    " constraint dept_budget check (budget >= 0))",
    "create table emp(empno int not null, dept integer constraint emp_dept references dept(id), name text,"
    " salary money check (salary > 0), photo blob, flag bit, constraint emp_pk primary key (empno),"
    " foreign key (dept, name) references dept(id, name))",
    "create unique index dept_name on dept(name)",
    "create index emp_name on emp(name desc, salary)",
    "create view rich as select empno, name from emp where salary > 1000",
    "create trigger emp_upd after update of salary, name on emp begin update dept set budget = budget + 1; end",
    "create trigger emp_ins before insert on emp begin select 1; end",
    "create table qep(stmt_id integer, parent_id integer, query_stmt text)",
};

// The texts of the callers with %s filled by owner/table/name in order.
std::string fill(const std::string& format, const std::vector<std::string>& args) {
  std::string out;
  size_t a = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && (format[i + 1] == 's' || format[i + 1] == 'd')) {
      out += a < args.size() ? args[a++] : "";
      ++i;
    } else if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace

class ZvsqlCatalogTest : public ZvsqlTest {
 protected:
  void SetUp() override {
    ZvsqlTest::SetUp();
    for (const char* sql : kSchema) exec(sql);
    ASSERT_EQ(zvsqlCommit(conn_), 0);
  }
};

TEST_F(ZvsqlCatalogTest, EveryCallerTextPreparesAndRuns) {
  // owner, table, name ... as each text takes them
  const std::vector<std::pair<const char*, std::vector<std::string>>> texts = {
      {"call yx_db_version()", {}},
      {"call yx_get_dbList()", {}},
      {"call yx_get_userlist()", {}},
      {"call admin.sqlprocedurecols2x('', 0, '%s', %d, '%s', %d, '%%', 1)", {"admin", "5", "yx_db_version", "13"}},
      {"select tbl from admin.systables where owner = '%s' and tbltype = 'T' order by 1", {"main"}},
      {"select tbl, tbl_origin from admin.systables where owner = '%s' and tbltype = 'T' order by 1", {"main"}},
      {"select tbl from admin.systables where owner = '%s' and tbltype = 'S' order by 1", {"admin"}},
      {"select tbl from admin.systables where owner = '%s' and (tbltype = 'V' or tbltype = 'C') order by 1", {"main"}},
      {"select distinct owner from admin.systables order by owner", {}},
      {"select * from admin.systables where owner = '%s' and tbltype = 'T' order by tbl", {"main"}},
      {"select * from admin.systables where owner = '%s' and tbltype = 'S' order by tbl", {"admin"}},
      {"select * from admin.systables where owner = '%s' and (tbltype = 'V' or tbltype = 'C') order by tbl", {"main"}},
      {"select has_pcnstrs, has_fcnstrs, has_ccnstrs, has_ucnstrs from admin.systables where tbltype = 'T' and tbl "
       "='%s' and owner ='%s'",
       {"emp", "main"}},
      {"select tbl_attrib from admin.systables where owner = '%s' and tbl = '%s'", {"main", "emp"}},
      {"select tbltype from admin.systables where tbl = '%s' and owner = '%s' and (tbltype = 'V' or tbltype = 'C')",
       {"rich", "main"}},
      {"select proc_name from admin.sysprocedures where owner = '%s' and proc_type = 'built_in'  order by 1",
       {"admin"}},
      {"select proc_name from admin.sysprocedures where owner = '%s' and proc_type = 'stored'  order by 1", {"main"}},
      {"select proc_name from admin.sysprocedures where owner = '%s' and proc_type = 'udf'  order by 1", {"main"}},
      {"select * from admin.sysprocedures where owner = '%s' and proc_type = 'built_in' order by proc_name", {"admin"}},
      {"select * from admin.sysprocedures where owner = '%s' and proc_type = 'stored' order by proc_name", {"main"}},
      {"select * from admin.sysprocedures where owner = '%s' and proc_type = 'udf' order by proc_name", {"main"}},
      {"select rssid, proc_id from admin.sysprocedures where proc_type = 'stored' and proc_name = '%s' and owner = "
       "'%s'",
       {"p", "main"}},
      {"select rssid, proc_id from admin.sysprocedures where proc_type = 'udf' and proc_name = '%s' and owner = '%s'",
       {"p", "main"}},
      {"select admin.sysindexes.idxname, admin.sysindexes.tbl from admin.sysindexes, admin.systables where tblowner = "
       "'%s' and idxseq = 0 and admin.sysindexes.tbl = admin.systables.tbl and admin.systables.tbltype <> 'S'  order "
       "by 1",
       {"main"}},
      {"select idxname from admin.sysindexes, admin.systables where tblowner = '%s' and idxseq = 0 and "
       "admin.sysindexes.tbl = admin.systables.tbl and admin.systables.tbltype = 'S'  order by 1",
       {"admin"}},
      {"select idxname from admin.sysindexes where tblowner = '%s' and tbl = '%s' and idxseq = 0 order by 1",
       {"main", "emp"}},
      {"select * from admin.sysindexes  where tblowner = '%s' and tbl = '%s' and idxseq = 0 order by idxname ",
       {"main", "emp"}},
      {"select idxname, idxowner, idxtype, idxcompress, idxattrib from admin.sysindexes  where tblowner = '%s' and tbl "
       "= '%s'  and idxseq = 0 order by idxname",
       {"main", "emp"}},
      {"select colname, idxorder from admin.sysindexes where tblowner = '%s' and tbl = '%s' and idxname = '%s' order "
       "by "
       "idxseq",
       {"main", "emp", "emp_name"}},
      {"select distinct tbl from admin.syscolumns where owner = '%s'  and col='query_stmt' order by 1", {"main"}},
      {"select distinct tbl from admin.syscolumns where owner = '%s' and col='query_stmt' order by tbl", {"main"}},
      {"select col from admin.syscolumns where owner = '%s' and tbl = '%s' order by id", {"main", "emp"}},
      {"select col, coltype from admin.syscolumns where owner = '%s' and tbl = '%s' order by id", {"main", "emp"}},
      {"select col, colid from admin.syscolumns cols left join admin.sysidentity ids on cols.owner = ids.owner and "
       "cols.tbl = ids.tbl where cols.owner = '%s' and cols.tbl = '%s' order by id",
       {"main", "dept"}},
      {"select col, coltype, width, scale, nullflag, dflt_value, colid, seed, incr from admin.syscolumns cols left "
       "join admin.sysidentity ids on cols.owner = ids.owner and cols.tbl = ids.tbl and cols.id = ids.colid where "
       "cols.tbl = '%s' and cols.owner = '%s' order by id",
       {"dept", "main"}},
      {"select col from admin.syscolumns where tbl = '%s' and owner = '%s' order by id", {"rich", "main"}},
      {"select count(*) from admin.syscolumns where tbl = '%s'  and owner = '%s'", {"emp", "main"}},
      {"select col, id from admin.syscolumns where tbl = '%s'  and owner = '%s' order by id", {"emp", "main"}},
      {"select distinct idxname, tblname from admin.sys_tbl_constrs where owner = '%s' and cnstrtype in ('P','U','F')",
       {"main"}},
      {"select distinct idxname from admin.sys_tbl_constrs where owner = '%s' and tblname = '%s' and cnstrtype in "
       "('P','U','F')",
       {"main", "dept"}},
      {"select cnstrname, idxname from admin.sys_tbl_constrs where owner = '%s' and tblname = '%s'  and cnstrtype = "
       "'P'",
       {"main", "emp"}},
      {"select cnstrname from admin.sys_tbl_constrs where owner = '%s' and tblname = '%s'  and cnstrtype = 'C'",
       {"main", "dept"}},
      {"select cnstrname, idxname from admin.sys_tbl_constrs where owner = '%s' and tblname = '%s' and cnstrtype = 'F'",
       {"main", "emp"}},
      {"select colname from admin.sys_keycol_usage where owner = '%s' and tblname = '%s' and cnstrname = '%s' order by "
       "colposition",
       {"main", "emp", "emp_pk"}},
      {"select chkclause from admin.sys_chk_constrs where owner = '%s' and tblname = '%s' and cnstrname = '%s'",
       {"main", "dept", "dept_budget"}},
      {"select refowner,refcnstrname,reftblname from admin.sys_ref_constrs where owner = '%s' and tblname = '%s' and "
       "cnstrname = '%s'",
       {"main", "emp", "emp_dept"}},
      {"select sname, ispublic from admin.syssynonyms where sowner = '%s' order by 1", {"main"}},
      {"select * from admin.syssynonyms where sowner = '%s' order by sname", {"main"}},
      {"select * from admin.syssynonyms where sowner = '%s' and sname = '%s'", {"main", "s"}},
      {"select sname, sowner, screator, ispublic, sremdb from admin.syssynonyms where stblowner = '%s' and stbl = '%s' "
       "order by sname",
       {"main", "emp"}},
      {"select triggername from admin.systrigger where owner = '%s' order by 1", {"main"}},
      {"select * from admin.systrigger where owner = '%s' order by triggername", {"main"}},
      {"select rssid, triggerid, tbl, tblowner, trigger_time, trigger_event, refers_to_old, refers_to_new, "
       "statement_or_row from admin.systrigger where triggername = '%s' and owner = '%s'",
       {"emp_upd", "main"}},
      {"select * from admin.systrigcols where owner = '%s' and triggername = '%s'", {"main", "emp_upd"}},
      {"select count(*) from admin.systrigcols where triggername = '%s'  and owner = '%s'", {"emp_upd", "main"}},
      {"select colid from admin.systrigcols where triggername = '%s'  and owner = '%s'", {"emp_upd", "main"}},
      {"select viewtext from admin.sysviews where viewname = '%s' and owner = '%s'", {"rich", "main"}},
      {"select proc_text from admin.sysproctext where proc_type = '%s'  and id = '%d' and rssId = '%d' order by seq",
       {"TP", "1", "1"}},
      {"select argtype, col, datatype, width, scale from admin.sysproccolumns where proc_id ='%d' and rssid ='%d' "
       "order by id",
       {"1", "1"}},
      {"select grantee, sel, ins, del, upd, ndx, alt from admin.systabauth where tbl =  '%s' and tblowner = '%s' and "
       "grantee != '%s' order by grantee",
       {"emp", "main", "main"}},
      {"select grantee, exe from admin.systabauth where tbl = '%s' and tblOwner = '%s' and grantee != '%s' and (exe = "
       "'y' or exe = 'g')",
       {"p", "main", "main"}},
      {"select stmt_id from \"%s\".\"%s\" where parent_id = -1", {"main", "qep"}},
      {"select stmt_id, query_stmt from \"%s\".\"%s\" where parent_id = -1", {"main", "qep"}},
      {"select count(*) from \"%s\".\"%s\"", {"main", "emp"}},
      {"select count(*) as nbrofrows from \"%s\".\"%s\"", {"main", "dept"}},
      {"select * from \"%s\".\"%s\"", {"main", "items"}},
      {"select id, col, coltype, case when coltype='lvarbinary' or coltype='lvarchar' then cast(4294967296 as BIGINT) "
       "else cast(width as BIGINT) end as width, scale, dflt_value, nullflag, case when colid is null then 'N' else "
       "'Y' end as 'identity', seed, incr, charset, collation from admin.syscolumns cols left join admin.sysidentity "
       "ids on cols.owner = ids.owner and cols.tbl = ids.tbl and cols.id = ids.colid   where cols.tbl = '%s' and "
       "cols.owner = '%s' order by id",
       {"emp", "main"}},
      {"select i.id, i.idxname, i.idxowner, i.tbl, i.tblowner, i.idxtype, i.idxorder, i.idxcompress, i.idxmethod,  "
       "i.rssid from admin.sysindexes i, admin.systables t  where tblowner = '%s' and idxseq = 0 and i.tbl = t.tbl and "
       "t.tbltype = 'S' order by i.idxname ",
       {"admin"}},
      {"select i.id, i.idxname, i.idxowner, i.tbl, i.tblowner, i.idxtype, i.idxorder, i.idxcompress, i.idxmethod,  "
       "i.rssid from admin.sysindexes i, admin.systables t  where tblowner = '%s' and idxseq = 0 and i.tbl = t.tbl and "
       "t.tbltype <> 'S' order by i.idxname ",
       {"main"}},
      {"select distinct a.colname,b.coltype,a.idxseq,a.idxname,a.idxowner,a.tbl,a.tblowner,a.idxtype,a.id,a.idxsegid,"
       "a.idxorder,a.idxcompress,a.idxmethod,a.rssid from admin.sysindexes a, admin.syscolumns b where  a.idxowner = "
       "'%s' and a.idxname ='%s' and a.tbl = b.tbl and a.colname = b.col order by idxseq",
       {"main", "emp_name"}},
      {"select distinct a.colname, b.coltype, a.idxseq, a.idxname, a.idxowner, a.tbl, a.tblowner, a.idxtype, a.id, "
       "a.idxsegid, a.idxorder, a.idxcompress, a.idxmethod, a.rssid  from admin.sysindexes a, admin.syscolumns b "
       "where  a.idxowner = '%s' and a.idxname ='%s' and a.tbl ='%s' and a.tbl = b.tbl and a.colname = b.col order by "
       "idxseq",
       {"main", "emp_name", "emp"}},
      {"select  top 2 skip 1 rowid, \"name\" from \"%s\".\"%s\" order by rowid ZVOPTION(BADREC)", {"main", "items"}},
  };
  for (const auto& [format, args] : texts) {
    std::string sql = fill(format, args);
    int code = -1;
    query(sql, &code);
    EXPECT_EQ(code, 0) << sql << ": " << zvsqlGetErrorMessage(conn_);
  }
}

TEST_F(ZvsqlCatalogTest, CatalogRowsMatchTheSchemaTheShellShows) {
  // tables and views
  EXPECT_EQ(joined("select tbl from admin.systables where owner = 'main' and tbltype = 'T' order by 1"),
            shell("select name from sqlite_schema where type = 'table' and name not like 'sqlite%' and name not like "
                  "'rl!_%' escape '!' order by 1"));
  EXPECT_EQ(
      joined("select tbl from admin.systables where owner = 'main' and (tbltype = 'V' or tbltype = 'C') order by 1"),
      shell("select name from sqlite_schema where type = 'view' order by 1"));
  EXPECT_EQ(joined("select tbl, tbl_origin from admin.systables where tbl in ('items', 'emp') order by 1"),
            "emp|SQL\nitems|KZV");
  // columns of each table, in order
  for (const char* t : {"dept", "emp", "items", "rich"}) {
    EXPECT_EQ(joined(std::string("select id, col from admin.syscolumns where owner = 'main' and tbl = '") + t +
                     "' order by id"),
              shell(std::string("select cid, name from pragma_table_info('") + t + "')"))
        << t;
  }
  EXPECT_EQ(joined("select col, coltype, width, scale, nullflag, dflt_value from admin.syscolumns where tbl = 'dept'"
                   " order by id"),
            "id|integer|4|0|Y|\ncode|character|4|0|N|\nname|varchar|40|0|Y|'none'\nbudget|numeric|12|2|Y|'5'\n"
            "opened|date|4|0|Y|sysdate");
  EXPECT_EQ(joined("select tbl, colid, seed, incr from admin.sysidentity where tbl in ('dept', 'emp', 'items')"
                   " order by tbl"),
            "dept|0|1|1\nitems|0|1|1");
  // indexes and their segments
  EXPECT_EQ(
      joined("select idxname, idxtype from admin.sysindexes where tbl = 'emp' and idxseq = 0 order by 1"),
      shell("select name, case when \\\"unique\\\" then 'U' else 'D' end from pragma_index_list('emp') order by 1"));
  EXPECT_EQ(joined("select colname, idxorder from admin.sysindexes where idxname = 'emp_name' order by idxseq"),
            "name|D\nsalary|A");
  // constraints, named where the text names them
  EXPECT_EQ(
      joined("select cnstrname, cnstrtype, coalesce(idxname, '') from admin.sys_tbl_constrs where tblname = 'dept'"
             " order by 2, 1"),
      "dept_budget|C|\nsys_pk_dept|P|sys_rowid_dept\ndept_code|U|" +
          shell("select name from pragma_index_list('dept') where origin = 'u'"));
  EXPECT_EQ(joined("select chkclause from admin.sys_chk_constrs where tblname = 'dept'"), "(budget >= 0)");
  EXPECT_EQ(joined("select chkclause from admin.sys_chk_constrs where tblname = 'emp'"), "(salary > 0)");
  EXPECT_EQ(joined("select cnstrname, idxname from admin.sys_tbl_constrs where tblname = 'emp' and cnstrtype = 'P'"),
            "emp_pk|" + shell("select name from pragma_index_list('emp') where origin = 'pk'"));
  EXPECT_EQ(joined("select colname from admin.sys_keycol_usage where tblname = 'emp' and cnstrname = 'emp_pk'"),
            "empno");
  // foreign keys: one per constraint of the shell's list; the reference names the referenced key
  EXPECT_EQ(joined("select count(*) from admin.sys_tbl_constrs where tblname = 'emp' and cnstrtype = 'F'"),
            shell("select count(distinct id) from pragma_foreign_key_list('emp')"));
  EXPECT_EQ(joined("select refowner, refcnstrname, reftblname from admin.sys_ref_constrs where cnstrname = 'emp_dept'"),
            "main|sys_pk_dept|dept");
  EXPECT_EQ(joined("select colname from admin.sys_keycol_usage k join admin.sys_tbl_constrs c using (cnstrname)"
                   " where c.tblname = 'emp' and c.cnstrtype = 'F' and c.cnstrname != 'emp_dept' order by colposition"),
            "dept\nname");
  // views and triggers
  EXPECT_EQ(joined("select viewtext from admin.sysviews where viewname = 'rich'"),
            "select empno, name from emp where salary > 1000");
  EXPECT_EQ(joined("select triggername, tbl, trigger_time, trigger_event, refers_to_old, refers_to_new,"
                   " statement_or_row from admin.systrigger order by 1"),
            "emp_ins|emp|B|I|N|Y|R\nemp_upd|emp|A|U|Y|Y|R");
  EXPECT_EQ(joined("select colid from admin.systrigcols where triggername = 'emp_upd' order by 1"),
            shell("select cid from pragma_table_info('emp') where name in ('salary', 'name') order by 1"));
  EXPECT_EQ(query("select p.proc_text from admin.sysproctext p join admin.systrigger t on p.id = t.triggerid and"
                  " p.rssId = t.rssid where t.triggername = 'emp_upd' order by seq"),
            (Rows{{""}, {"update dept set budget = budget + 1;"}}));
}

TEST_F(ZvsqlCatalogTest, CatalogFollowsOtherWritersButNotUnderAnOpenCursor) {
  auto open = std::make_unique<Result>(
      conn_, "select tbl from admin.systables where owner = 'main' and tbltype = 'T' order by 1");
  ASSERT_EQ(open->code, 0);
  std::string cmd = "sqlite3 -batch '" + file() + "' \"create table fresh(a int)\"";
  ASSERT_EQ(testcommon::run_command(cmd).status, 0);
  std::string seen;
  while (zvsqlNext(open->cur) == 0) {
    // an inner catalog query while the outer cursor is open
    EXPECT_EQ(joined("select count(*) from admin.systables where tbl = 'fresh'"), "0");
    seen += open->text(0) + ",";
  }
  EXPECT_EQ(seen, "dept,emp,items,qep,");
  open.reset();
  EXPECT_EQ(joined("select count(*) from admin.systables where tbl = 'fresh'"), "1");
}
