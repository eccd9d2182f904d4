// The statistics reports: system, SQL, user, file and I/O snapshots, the
// counter tree, the snapshot written to the server's log and the
// configuration report.
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

constexpr bool X = true, G = true, S = true, U = false;

const std::vector<Field>& systemFields() {
  static const std::vector<Field> fields = [] {
    FieldTable t;
    t.group(RL_MON_AT_CLIENT_VERSION, {"client_ver", "server_ver", "fixlen", "varlen", "contents", "logsets"}, 4, U, 11,
            kIntDec)
        .group(RL_MON_AT_SNAPSHOT_TIME, {"snapshottm"}, 8, U, 11, kDate)
        .group(32, {"sctdnd_red", "sctdnd_wrt", "sctdnd_rwt", "sctdnd_abn", "sctdnd_rmv", "sctdnd_non"}, 8, U, 11,
               kIntDec, false, G)
        .group(RL_SYS_AT_LOCK_TRIES, {"sctloktry", "sctlokhlk", "sctlokdny", "sctlokblk"}, 8, U, 2, kIntDec, X, G)
        .group(112, {"sctlokhbk", "sctlokdlk"}, 8, U, 2, kIntDec, false, G)
        .group(128, {"sctlokfre", "sctlokrel"}, 8, U, 2, kIntDec, X, G)
        .group(RL_SYS_AT_LOCKS_HELD, {"sctlokcur", "sctblkcur"}, 8, U, 2, kIntDec, false, G)
        .group(RL_SYS_AT_TRANSACTION_TIME, {"scttrntim"}, 8, U, 6, kElapsedDay)
        .group(RL_SYS_AT_TRANSACTIONS_TIMED, {"scttrncnt"}, 8, U, 6, kIntDec, false, G)
        .group(RL_SYS_AT_TRANSACTION_MAX, {"scttrnmax"}, 8, U, 6, kElapsedSec)
        .group(184, {"sct_compflg3"}, 4, U, 3, kIntDec)
        .group(188, {"sctrqtmonint"}, 4, S, 3, kIntDec)
        .group(192, {"scttot_call"}, 8, U, 3, kIntDec, false, G)
        .group(200, {"scttot_recv", "scttot_work", "scttot_send"}, 8, U, 3, kElapsedDay)
        .group(RL_SYS_AT_MEMORY_HIGH, {"sctmemhgh", "sctmemsum"}, 8, U, 10, kIntDec, false, G)
        .group(RL_SYS_AT_CACHE_REQUESTS, {"sct_dbrqs", "sct_dbhit", "sct_ibrqs", "sct_ibhit"}, 8, U, 5, kIntDec, X, G)
        .group(RL_SYS_AT_DATA_READS,
               {"sct_rdops", "sct_rdbyt", "sct_wrops", "sct_wrbyt", "sct_rcops", "sct_rcbyt", "sct_wcops", "sct_wcbyt"},
               8, U, 1, kIntDec, X, G)
        .group(RL_SYS_AT_LOG_WRITES, {"sctwlgops", "sctwlgbyt", "sctrlgops", "sctrlgbyt", "sctxlgops", "sctxlgbyt"}, 8,
               U, 4, kIntDec, X, G)
        .group(RL_SYS_AT_TRANSACTIONS_BEGUN,
               {"sct_trbeg", "sct_trend", "sct_trabt", "sct_trsav", "sct_trrst", "sct_trfls"}, 8, U, 6, kIntDec, X, G)
        .group(RL_SYS_AT_SYNCS, {"sctsync_dosfls", "sctsync_logfil", "sctsync_regfil"}, 8, U, 8, kIntDec, X, G)
        .group(RL_SYS_AT_TICKS_PER_SECOND, {"scthrtimbas"}, 8, S, 11, kIntDec)
        .group(464, {"sctchkpnttim"}, 8, U, 11, kElapsedSec)
        .group(472, {"sctchkpntsiz"}, 8, U, 11, kIntDec)
        .array(480, "sctchkpnt", 8, 8, 6, kElapsedSec)
        .group(544,
               {"sctcmtdlytry", "sctcmtdlycnt", "sctcmtdlycoh", "sctcmtcohmax", "sctcmtdlyclr", "sctcmtlopclr",
                "sctcmtdlynot", "sctcmtlopfls", "sctcmtdlydfr"},
               8, U, 6, kIntDec)
        .group(616, {"sctcmtlopmax", "sctcmtmaxadp"}, 4, U, 6, kIntDec)
        .group(624, {"sctcmtavgadp", "sctcmtlopfls2"}, 8, U, 6, kIntDec)
        .array(640, "stimchk", 8, 8, 6, kElapsedSec)
        .group(704, {"selapwrktim", "selapsrvtim", "sctcmtblktim", "sctcmtclrtim"}, 8, U, 3, kElapsedDay)
        .group(736, {"stimchktarget", "stimchkconsec", "stimchkavg"}, 8, U, 3, kIntDec)
        .group(760, {"sctcmtdlyfls"}, 8, U, 8, kIntDec)
        .group(768, {"sctcmtfls", "sctbegfls", "sctidxfls", "sctupdfls"}, 8, U, 8, kIntDec, X, G)
        .group(800, {"sctcmtavgdfr", "sctcmtmaxdfr"}, 8, U, 6, kElapsedMsec)
        .group(816, {"sctcmtdlyfls2"}, 8, U, 8, kIntDec)
        .group(824, {"scttrnbox", "sctlogfls"}, 8, U, 3, kIntDec)
        .group(840, {"sctlogtim"}, 8, U, 3, kElapsedSec)
        .group(864, {"sctredcmtlpc"}, 8, U, 3, kIntDec)
        .group(872, {"sctrepfls", "sctchkbufwrt", "sctchkchewrt"}, 8, U, 3, kIntDec, X)
        .array(RL_SYS_AT_TRANSACTION_HISTOGRAM, "scttrndet", 24, 4, 6, kIntDec)
        .group(RL_SYS_AT_OPEN_TABLES, {"sctactfil", "scttotfil", "scttotblk", "sctactfilx", "scttotfilx", "scttotblkx"},
               4, S, 3, kIntDec, false, G)
        .group(RL_SYS_AT_LOGONS, {"sctnusers", "sctnusersx"}, 4, U, 3, kIntDec, false, G)
        .group(RL_SYS_AT_LOCK_ENTRIES, {"sctloknm", "sctloknmx"}, 4, U, 2, kIntDec, false, G)
        .group(1032, {"sct_mxbuf", "sctbufcnt", "sctbufhgh", "sct_dxbuf", "sctdatcnt", "sctdathgh"}, 4, U, 5, kIntDec,
               false, G)
        .group(1056, {"scmtblkseq"}, 4, U, 6, kIntDec)
        .group(1060, {"sct_compflg", "sct_compflg2", "sct_diagflg", "sct_diagflg2"}, 4, U, 11, kIntHex)
        .group(1076, {"sct_cmtdly", "sct_chkdly"}, 4, S, 6, kIntDec)
        .group(1084, {"sct_cmtscl", "sct_cmtbas"}, 4, U, 6, kIntDec)
        .group(1092,
               {"stimchkusec", "stimchkiter", "sct_udefer_thld", "sct_udefer_64yd", "sctITIMretry", "sctTPNDretry",
                "sctITIMlimit", "sctITIMfailed"},
               4, U, 3, kIntDec)
        .group(1124, {"sctredcmtdfr", "sctredcmtlpr"}, 4, U, 6, kIntDec)
        .group(1132, {"sctITIMdefer"}, 4, U, 3, kElapsedSec)
        .group(RL_SYS_AT_RECORDS_ADDED, {"sctismaddcnt", "sctismdelcnt"}, 8, U, 9, kIntDec, X, G)
        .group(1152, {"sct_dxspllmt", "sct_dxsplcnt", "sct_dxsplhgh"}, 4, U, 1, kIntDec)
        .group(1164, {"sctcpcnt"}, 4, U, 6, kIntDec, false, G)
        .group(1168, {"sct_numvfil", "sct_avlfil"}, 4, S, 3, kIntDec, false, G)
        .group(RL_SYS_AT_ACTIVE_LOGONS, {"sctactusr"}, 4, U, 3, kIntDec, false, G)
        .group(1180, {"sct_nutcnt", "sct_nupcnt", "sct_dutcnt", "sct_dupcnt"}, 4, S, 1, kIntDec, false, G)
        .group(1196, {"sctwatshtdwn"}, 4, S, 3, kIntDec)
        .group(1200, {"sct_wrtcmp", "sct_no_cmp", "sct_tp_cmp", "sct_rj_cmp", "sct_bytcmp"}, 8, U, 4, kIntDec)
        .group(1240, {"sctlogcmpfloor", "sctlogcmpfactor"}, 4, S, 4, kIntDec)
        .group(1248, {"sct_mxfil"}, 2, S, 3, kIntDec, false, G)
        .group(1250, {"sct_ndsec"}, 2, S, 3, kIntDec)
        .group(RL_SYS_AT_BYTE_ORDER, {"sflvr", "salgn", "spntr"}, 1, U, 11, kIntDec)
        .group(1255, {"availt"}, 1, S, 11, kIntDec)
        .group(RL_SYS_AT_KILLS, {"sctlokkil"}, 8, U, 2, kIntDec, false, G)
        .group(RL_SYS_AT_RECORDS_UPDATED, {"sctismupdcnt", "sctismredcnt"}, 8, U, 9, kIntDec, X, G)
        .group(1280, {"sctloktim"}, 8, U, 2, kElapsedDay)
        .group(1288, {"sctlokcnt"}, 8, U, 2, kIntDec, false, G)
        .group(1296, {"sctlokmax"}, 8, U, 2, kElapsedDay)
        .group(1304, {"sctlokbox"}, 8, U, 2, kIntDec)
        .array(1312, "sctlokdet", 16, 4, 2, kIntDec)
        .group(1376, {"sctxlktim"}, 8, U, 2, kElapsedDay)
        .group(1384, {"sctxlkcnt"}, 8, U, 2, kIntDec)
        .group(1392, {"sctxlkmax"}, 8, U, 2, kElapsedDay)
        .group(1400, {"sctxlkbox"}, 8, U, 2, kIntDec)
        .array(1408, "sctxlkdet", 16, 4, 2, kIntDec)
        .text(RL_SYS_AT_DESCRIPTION, "description", 128, kChar)
        .group(RL_SYS_AT_CURRENT_USERS, {"sctcurusr", "sctmaxusr"}, 4, U, 11, kIntDec, false, G)
        .group(RL_SYS_AT_SERVER_VERSION, {"scti_svvr"}, 4, U, 3, kIntHex)
        .group(1612, {"sctioblkretry", "sct_compflg4"}, 4, U, 11, kIntDec)
        .group(1620, {"sct_dxscan", "sct_dxscancnt", "sct_dxscanhgh"}, 4, U, 10, kIntDec, false, G)
        .group(1632, {"sct_hbTbuf", "sct_hbRbuf", "sct_hbTcac", "sct_hbRcac"}, 4, U, 5, kIntDec)
        .group(1648, {"sct_diagflg3", "sctmldmsec"}, 4, U, 11, kIntDec)
        .group(1656, {"sarplogint", "sarptimout"}, 4, S, 11, kIntDec)
        .group(1664, {"sctdatflschk", "sctdatfls", "sctmldfls"}, 8, U, 6, kIntDec, false, G)
        .group(1688, {"sarpoptions", "sarplastlog"}, 4, S, 6, kIntDec, false, G)
        .group(1712, {"sctntdfls", "sctntifls"}, 8, U, 7, kIntDec)
        .group(1728,
               {"sctntdlmt", "sctntilmt", "sctntdage", "sctntiage", "sctntdbkt", "sctntdbkc", "sctntibkt", "sctntibkc",
                "sctntdmax", "sctntimax", "sctntdMsec", "sctntdFlsh", "sctntiMsec", "sctntiFlsh"},
               4, S, 7, kIntDec)
        .group(1784, {"sctntdfls_", "sctntifls_"}, 8, U, 6, kIntDec)
        .group(1800,
               {"sctntdlmt_", "sctntilmt_", "sctntdage_", "sctntiage_", "sctntdbkt_", "sctntdbkc_", "sctntibkt_",
                "sctntibkc_", "sctntdmax_", "sctntimax_", "sctntdMsec_", "sctntdFlsh_", "sctntiMsec_", "sctntiFlsh_"},
               4, S, 6, kIntDec)
        .group(RL_SYS_AT_FILE_OPENS, {"sphyopncnt", "sphyclscnt"}, 8, U, 24, kIntDec, X, G)
        .group(RL_SYS_AT_TABLE_OPENS, {"slogopncnt", "slogclscnt", "sfilcrecnt", "sfilrencnt", "sfildelcnt"}, 8, U, 24,
               kIntDec, X, G)
        .describe({{"client_ver", "client version of structure"},
                   {"server_ver", "server version of structure"},
                   {"fixlen", "length of fixed portion of snapshot"},
                   {"varlen", "length of variable region (if any)"},
                   {"contents", "bit map of var len contents"},
                   {"logsets", "number of multiple log sets"},
                   {"snapshottm", "snapshot time stamp"},
                   {"sctloktry", "count of lock attempts"},
                   {"sctlokhlk", "count of locks granted"},
                   {"sctlokdny", "count of locks denied"},
                   {"sctlokrel", "count of locks released"},
                   {"sctlokcur", "current locks held"},
                   {"scttrntim", "cumulative transaction time^"},
                   {"scttrncnt", "count of transactions timed"},
                   {"scttrnmax", "longest transaction time^"},
                   {"scttot_call", "system-wide quarn calls"},
                   {"sctmemhgh", "system memory highwater mark"},
                   {"sctmemsum", "system memory in use"},
                   {"sct_dbrqs", "data cache requests"},
                   {"sct_dbhit", "data cache hits"},
                   {"sct_trbeg", "transactions begun"},
                   {"sct_trend", "transactions committed"},
                   {"sct_trabt", "transactions aborted"},
                   {"scthrtimbas", "high res timer ticks per sec^"},
                   {"sctchkpnttim", "cumulative checkpoint time^"},
                   {"selapsrvtim", "elapsed server time^"},
                   {"sctactfil", "open tables"},
                   {"scttotfil", "open database files"},
                   {"sctnusers", "current logons"},
                   {"sctloknm", "entries of the lock table"},
                   {"sct_diagflg", "diagnostic flag"},
                   {"sctismaddcnt", "records added"},
                   {"sctismdelcnt", "records deleted"},
                   {"sctismupdcnt", "records rewritten"},
                   {"sctismredcnt", "records read"},
                   {"sctlokkil", "logons ended by the administrator"},
                   {"sflvr", "server byte order"},
                   {"salgn", "server alignment"},
                   {"spntr", "server pointer size"},
                   {"availt", "available for use"},
                   {"description", "optional text description"},
                   {"sctcurusr", "current users"},
                   {"sctmaxusr", "maximum users"},
                   {"scti_svvr", "server version"},
                   {"sphyopncnt", "number of physical file opens"},
                   {"sphyclscnt", "number of physical file closes"},
                   {"slogopncnt", "number of logical file opens"},
                   {"slogclscnt", "number of logical file closes"},
                   {"sfilcrecnt", "number of file creates"},
                   {"sfilrencnt", "number of file renames"},
                   {"sfildelcnt", "number of file deletes"}});
    return t.fields;
  }();
  return fields;
}

const std::vector<Field>& sqlFields() {
  static const std::vector<Field> fields = [] {
    FieldTable t;
    t.group(RL_MON_AT_CLIENT_VERSION, {"client_ver", "server_ver", "fixlen", "varlen", "contents"}, 4, U, 11, kIntDec)
        .group(20, {"unused"}, 4, U, 0, kIntDec)
        .group(RL_MON_AT_SNAPSHOT_TIME, {"snapshottm"}, 8, U, 11, kDate)
        .group(RL_SQL_AT_MEMORY_HIGH, {"sctmemhgh", "sctmemsum"}, 8, U, 12, kIntDec, false, G)
        .group(48, {"sctdscrqs", "sctdschit", "sctsscrqs", "sctsschit"}, 8, U, 12, kIntDec, X, G)
        .group(RL_SQL_AT_ALLOCATIONS,
               {"sctmemcnt", "sctdsctot", "sctdschgh", "sctdscmax", "sctssctot", "sctsschgh", "sctsscmax"}, 4, S, 12,
               kIntDec, false, G)
        .group(RL_SQL_AT_BYTE_ORDER, {"sflvr", "salgn", "spntr"}, 1, U, 11, kIntDec)
        .group(111, {"availt"}, 1, S, 0, kIntDec)
        .group(112, {"sctdyn", "sctsta", "sctloc", "sctlsctot", "sctlschgh", "sctlscmax"}, 4, S, 12, kIntDec, false, G)
        .group(136, {"sctlscrqs", "sctlschit", "sctidxonly", "sctidxrec"}, 8, U, 12, kIntDec, false, G)
        .describe({{"client_ver", "client version of structure"},
                   {"server_ver", "server version of structure"},
                   {"fixlen", "length of fixed portion of snapshot"},
                   {"varlen", "length of variable region (if any)"},
                   {"contents", "bit map of var len contents"},
                   {"unused", "available for use"},
                   {"snapshottm", "snapshot time stamp: seconds since 70"},
                   {"sctmemhgh", "SQL memory highwater mark"},
                   {"sctmemsum", "SQL current aggregate sum"},
                   {"sctdscrqs", "dynamic statement cache requests"},
                   {"sctdschit", "dynamic statement cache hits"},
                   {"sctsscrqs", "static statement cache requests"},
                   {"sctsschit", "static statement cache hits"},
                   {"sctmemcnt", "current net SQL memory allocations"},
                   {"sctdsctot", "current dynamic stmt cache entries"},
                   {"sctdschgh", "highest dynamic stmt cache entries"},
                   {"sctdscmax", "maximum dynamic stmt cache entries"},
                   {"sctssctot", "current static stmt cache entries"},
                   {"sctsschgh", "highest static stmt cache entries"},
                   {"sctsscmax", "maximum static stmt cache entries"},
                   {"sflvr", "server byte order"},
                   {"salgn", "server alignment"},
                   {"spntr", "server pointer size"},
                   {"availt", "available for use"},
                   {"sctdyn", "current number of dynamic caches"},
                   {"sctsta", "current number of static caches"},
                   {"sctloc", "current number of local caches"},
                   {"sctlsctot", "current local stmt cache entries"},
                   {"sctlschgh", "highest local stmt cache entries"},
                   {"sctlscmax", "maximum local stmt cache entries"},
                   {"sctlscrqs", "local statement cache requests"},
                   {"sctlschit", "local statement cache hits"},
                   {"sctidxonly", "tuple fetches by index only scan"},
                   {"sctidxrec", "tuple fetches by index scan with record retrival"}});
    return t.fields;
  }();
  return fields;
}

const std::vector<Field>& userFields() {
  static const std::vector<Field> fields = [] {
    FieldTable t;
    t.group(RL_MON_AT_CLIENT_VERSION, {"client_ver", "server_ver", "fixlen", "varlen", "contents", "unused"}, 4, U, 11,
            kIntDec)
        .group(RL_MON_AT_SNAPSHOT_TIME, {"snapshottm"}, 8, U, 11, kDate)
        .group(RL_USER_AT_TRANSACTION_TIME, {"strntsum", "strntmax"}, 8, U, 11, kElapsedDay)
        .group(RL_USER_AT_TICKS_PER_SECOND, {"scthrtimbas", "strntbox"}, 8, U, 11, kIntDec)
        .zero("avail8", 11)
        .array(128, "smarktim", 8, 8, 11, kElapsedSec)
        .array(192, "smarkcnt", 8, 4, 11, kElapsedSec)
        .array(224, "strntdet", 24, 4, 11, kIntDec)
        .group(RL_USER_AT_OWNER, {"slOWNR"}, 4, U, 11, kIntDec)
        .group(324, {"sisolev", "sctops"}, 4, U, 11, kIntHex)
        .group(332, {"sctstate", "sabnlog", "strntcnt"}, 4, U, 11, kIntDec)
        .group(344, {"sctutrbeg", "sctutrend", "sctutrabt"}, 4, U, 11, kIntDec, X)
        .group(RL_USER_AT_OPEN_TABLES, {"snbrfile"}, 4, U, 11, kIntDec)
        .group(RL_USER_AT_LOGON_TIME, {"slogtime", "srqstime"}, 4, U, 11, kDate)
        .group(RL_USER_AT_LAST_FUNCTION,
               {"srqsfunc", "srqssubf", "sactflag", "sct_trdflg", "sabnflg", "sctusrprf", "sctumxfil", "scthghfil"}, 4,
               U, 11, kIntDec)
        .group(400,
               {"sloktry", "slokhlk", "slokblk", "slokhbk", "slokdlk", "slokdny", "slokfre", "slokrel", "slokcur",
                "sblkcur", "sctstat2"},
               4, U, 11, kIntDec, X)
        .group(444, {"slokkil"}, 4, U, 11, kIntDec)
        .group(RL_USER_AT_ADDRESS, {"sipaddr"}, 4, U, 11, kIpAddress)
        .text(RL_USER_AT_ADDRESS_V6, "sip6addr", 16, kIp6Address)
        .group(RL_USER_AT_CLIENT_BYTE_ORDER, {"clflvr", "clalgn", "clpntr", "sflvr", "salgn", "spntr"}, 1, U, 11,
               kIntDec)
        .text(RL_USER_AT_NODE, "snodname", 32, kChar)
        .text(RL_USER_AT_USER, "sct_userid", 32, kChar)
        .describe({{"scthrtimbas", "high res timer ticks per sec^"},
                   {"strntsum", "user trntime sum^"},
                   {"strntmax", "user trntime max^"},
                   {"slOWNR", "thread handle (OWNER)"},
                   {"slogtime", "logon time"},
                   {"srqstime", "last request time"},
                   {"srqsfunc", "last request function #"},
                   {"sipaddr", "client IP address"},
                   {"sip6addr", "client IPv6 address"},
                   {"clflvr", "user flavor"},
                   {"sflvr", "server byte order"},
                   {"snodname", "node name"},
                   {"sct_userid", "user id"},
                   {"unused", "available for use"},
                   {"avail8", "available for use"}});
    for (auto& f : t.fields) {
      if (f.name.rfind("smarktim[", 0) == 0) f.description = "user mark elapsed times^" + f.name.substr(8);
      if (f.name.rfind("smarkcnt[", 0) == 0) f.description = "user mark counts" + f.name.substr(8);
      if (f.name.rfind("strntdet[", 0) == 0) f.description = "trntime detail" + f.name.substr(8);
    }
    return t.fields;
  }();
  return fields;
}

const std::vector<Field>& fileFields() {
  static const std::vector<Field> fields = [] {
    FieldTable t;
    t.group(RL_MON_AT_CLIENT_VERSION, {"client_ver", "server_ver", "fixlen", "varlen"}, 4, U, 11, kIntDec)
        .group(RL_MON_FILE_AT_SNAPSHOT_TIME, {"snapshottm"}, 8, U, 11, kDate)
        .group(RL_FILE_AT_PHYSICAL_SIZE, {"phyrec", "numrec", "sernum", "nument", "hghtrn"}, 8, U, 11, kIntDec)
        .group(64, {"tstamp"}, 8, U, 11, kElapsedSec)
        .group(72, {"mxfilz"}, 8, U, 11, kIntDec)
        .group(80, {"fredops", "fredbyt", "fwrtops", "fwrtbyt"}, 8, U, 1, kIntDec, X)
        .group(RL_FILE_AT_TICKS_PER_SECOND, {"scthrtimbas", "mhghbyt"}, 8, U, 11, kIntDec)
        .group(128, {"fredtim", "fwrttim"}, 8, U, 1, kIntDec)
        .zero("avail8", 0)
        .group(192, {"idxhgt"}, 4, S, 11, kIntDec)
        .group(RL_FILE_AT_FILE_NUMBER, {"fileid"}, 4, U, 11, kIntDec)
        .group(RL_FILE_AT_SERVER_VERSION, {"servid"}, 4, U, 11, kVersionId)
        .group(204, {"timeid"}, 4, U, 11, kElapsedSec)
        .group(208,
               {"nodsiz", "reclen", "logtyp", "maxkbl", "maxkbn", "filtyp", "keylen", "kmem", "nmem", "suptyp",
                "maxmrk", "hdrseq"},
               4, U, 11, kIntDec)
        .group(256, {"floktry", "flokhlk", "flokblk", "flokhbk", "flokdlk", "flokdny", "flokfre", "flokrel", "flokcur"},
               4, U, 2, kIntDec, X)
        .group(292, {"fblkcur", "datlmt", "datspl", "bufcnt", "datcnt", "numchn", "fusrcnt", "memcnt", "hghcnt"}, 4, U,
               11, kIntDec)
        .group(328, {"flokkil"}, 4, U, 2, kIntDec, X)
        .zero("avail4", 0)
        .group(352, {"contents"}, 4, U, 11, kIntDec)
        .group(356, {"segmax", "seglst"}, 4, S, 11, kIntDec)
        .group(
            364,
            {"updflg", "ktype", "autodup", "deltyp", "keypad", "flflvr", "flalgn", "flpntr", "sflvr", "salgn", "spntr"},
            1, U, 11, kIntDec)
        .zero("availt", 0)
        .text(RL_FILE_AT_NAME, "filename", 256, kChar)
        .describe({{"snapshottm", "snapshot time stamp: seconds since 70"},
                   {"phyrec", "physical file size"},
                   {"numrec", "logical file size"},
                   {"tstamp", "update time stamp"},
                   {"fredops", "file specific # of read  ops"},
                   {"scthrtimbas", "high res timer ticks per sec^"},
                   {"servid", "unique server id"},
                   {"timeid", "time id#"},
                   {"floktry", "total lock attempts"},
                   {"flokcur", "current count of locks held"},
                   {"fileid", "file number"},
                   {"fusrcnt", "users who have the file open"},
                   {"hghcnt", "high water # of memory recors"},
                   {"sflvr", "server byte order"},
                   {"spntr", "server pointer size"},
                   {"avail8", "available"},
                   {"avail4", "available"},
                   {"availt", "available"},
                   {"filename", "file name"}});
    return t.fields;
  }();
  return fields;
}

const char* const kIoCounters[] = {
    "DataBufferRequests",    "DataBufferHits",   "IndexBufferRequests",    "IndexBufferHits",
    "NbrReadOperations",     "NbrBytesRead",     "NbrWriteOperations",     "NbrBytesWritten",
    "NbrCommReadOperations", "NbrCommBytesRead", "NbrCommWriteOperations", "NbrCommBytesWritten",
    "NbrTranSavepoint",      "NbrTranRestores",  "NbrTranBegins",          "NbrTranEnds",
    "NbrTranAborts",         "NbrCheckPoints",   "SystemTimeValue",        "NbrSyncDosFlush",
    "NbrSyncLogFile",        "NbrSyncQuarnFile"};

// Reads a block into a zeroed buffer; non-zero: the error reply is made.
int fetchBlock(int action, const char* object, std::vector<unsigned char>& block, json_object** reply) {
  int r = api.zvSNAPSHOT(action, object, block.data(), uint32_t(block.size()));
  if (r != 0) zvJsonSetError(r, "SnapShot Error", *reply);
  return r;
}

void takeByteOrder(CounterContext& c, std::vector<unsigned char>& block, uint32_t orderAt, uint32_t ticksAt) {
  c.reverseBytes = block[orderAt] == 1 ? 1 : 0;
  if (c.reverseBytes && ticksAt) api.revobj(block.data() + ticksAt, 8);
  if (ticksAt) {
    int64_t ticks;
    memcpy(&ticks, block.data() + ticksAt, 8);
    c.ticksPerSecond = ticks != 0 ? ticks : 1;
  }
}

// Rows of fields; with unreversed ticks shown as they are now (after the in-place reversal).
void writeBlockRows(CounterContext& c, json_object* list, const std::vector<Field>& fields,
                    const std::vector<unsigned char>& block, uint32_t ticksAt) {
  uint8_t reverse = c.reverseBytes;
  for (const auto& f : fields) {
    c.reverseBytes = ticksAt && f.offset == ticksAt && !f.textRow ? 0 : reverse;
    writeRows(c, list, {f}, block.data(), uint32_t(block.size()));
  }
  c.reverseBytes = reverse;
}

}  // namespace

int sysSnapshotRows(CounterContext& c, int mode, json_object** reply) {
  c.mode = mode;
  std::vector<unsigned char> block(RL_MON_SYSTEM_BLOCK, 0);
  if (int r = fetchBlock(RL_SNAP_SYSTEM, nullptr, block, reply)) return r;
  json_object* list = zvJsonAllocArray();
  if (!list) return 9010;
  takeByteOrder(c, block, RL_SYS_AT_BYTE_ORDER, RL_SYS_AT_TICKS_PER_SECOND);
  uint32_t clientVer, serverVer;
  memcpy(&clientVer, block.data(), 4);
  memcpy(&serverVer, block.data() + 4, 4);
  if (c.reverseBytes) clientVer = __builtin_bswap32(clientVer), serverVer = __builtin_bswap32(serverVer);
  if (clientVer < 21 || serverVer < 21) {
    memset(block.data() + RL_SYS_AT_FILE_OPENS, 0,
           RL_SYS_AT_FILE_OPENS_LENGTH);  // the tail rows of an older block show 0
    memset(block.data() + RL_SYS_AT_TABLE_OPENS, 0, RL_SYS_AT_TABLE_OPENS_LENGTH);
  }
  writeBlockRows(c, list, systemFields(), block, RL_SYS_AT_TICKS_PER_SECOND);
  finishReport(c, list, reply);
  return 0;
}

int sqlSnapshotRows(CounterContext& c, int mode, json_object** reply) {
  c.mode = mode;
  std::vector<unsigned char> block(RL_MON_SQL_BLOCK, 0);
  if (int r = fetchBlock(RL_SNAP_SQL, nullptr, block, reply)) return r;
  json_object* list = zvJsonAllocArray();
  if (!list) return 9010;
  takeByteOrder(c, block, RL_SQL_AT_BYTE_ORDER, 0);
  writeBlockRows(c, list, sqlFields(), block, 0);
  finishReport(c, list, reply);
  return 0;
}

int userSnapshotRows(CounterContext& c, json_object* request, json_object** reply) {
  c.mode = kRows;
  int32_t task = 0;
  if (!zvJsonGetIntByName(request, "taskId", &task))
    return zvJsonSetError(9007, "zvMonUserSnapShot - Invalid parameter - Missing taskId in the request", *reply);
  snprintf(c.text, sizeof c.text, "%d", task);
  std::vector<unsigned char> block(RL_MON_USER_BLOCK, 0);
  if (int r = fetchBlock(RL_SNAP_USER, c.text, block, reply)) return r;
  json_object* list = zvJsonAllocArray();
  if (!list) return 9010;
  takeByteOrder(c, block, RL_USER_AT_BYTE_ORDER, RL_USER_AT_TICKS_PER_SECOND);
  writeBlockRows(c, list, userFields(), block, RL_USER_AT_TICKS_PER_SECOND);
  finishReport(c, list, reply);
  return 0;
}

int fileSnapshotRows(CounterContext& c, json_object* request, json_object** reply) {
  c.mode = kRows;
  const char* fileNo = nullptr;
  if (!zvJsonGetStringByName(request, "fileNo", &fileNo) || !fileNo)
    return zvJsonSetError(9007, "zvMonFileSnapShot - Invalid parameter - Missing file number in the request", *reply);
  std::vector<unsigned char> block(RL_MON_FILE_BLOCK, 0);
  if (int r = fetchBlock(RL_SNAP_FILE, fileNo, block, reply)) return r;
  json_object* list = zvJsonAllocArray();
  if (!list) return 9010;
  takeByteOrder(c, block, RL_FILE_AT_BYTE_ORDER, RL_FILE_AT_TICKS_PER_SECOND);
  writeBlockRows(c, list, fileFields(), block, RL_FILE_AT_TICKS_PER_SECOND);
  finishReport(c, list, reply);
  return 0;
}

int ioPerformanceRows(CounterContext& c, json_object** reply) {
  c.mode = kRows;
  uint32_t counters[32];
  int r = int16_t(api.IOPERFORMANCEX(counters));
  if (r != 0) return zvJsonSetError(r, "zvMonIoPerfX Error", *reply);
  json_object* list = zvJsonAllocArray();
  if (!list) return 9010;
  for (int i = 0; i < RL_MON_IO_COUNTERS; ++i) {
    bool date = strcmp(kIoCounters[i], "SystemTimeValue") == 0;
    addCounterRow(c, list, kIoCounters[i], 0, kWidth4, date ? kDate : kIntDec, "", !date, false, counters[i]);
  }
  finishReport(c, list, reply);
  return 0;
}

int snapshotToLog(json_object* request, json_object** reply) {
  int logFunctions = 0;
  if (!zvJsonGetBooleanByName(request, "logFunctions", &logFunctions))
    return zvJsonSetError(9007, "zvMonSnapShotToFile - Invalid parameter - Missing \"logFunctions\" in the request",
                          *reply);
  api.zvSNAPSHOT(logFunctions ? RL_SNAP_TIMING_START : RL_SNAP_TIMING_STOP, nullptr, nullptr, 0);
  int r = api.zvSNAPSHOT(RL_SNAP_TO_LOG, nullptr, nullptr, 0);
  if (r != 0) return zvJsonSetError(r, "SnapShot Error", *reply);
  zvJsonSetSuccess(*reply);
  return 0;
}

void counterTree(json_object** reply) {
  json_object* root = zvJsonAllocArray();
  struct Part {
    const char* text;
    int (*report)(CounterContext&, int, json_object**);
  };
  for (const Part& part : {Part{"System Snapshot", sysSnapshotRows}, Part{"Sql Snapshot", sqlSnapshotRows}}) {
    json_object* children = zvJsonAlloc();
    if (!children) break;
    CounterContext c;
    part.report(c, kTree, &children);
    json_object* node = zvJsonAlloc();
    zvJsonAddString(node, "text", part.text);
    zvJsonAddBoolean(node, "leaf", false);
    zvJsonAdd(node, "children", children);
    zvJsonArrayAdd(root, node);
  }
  zvJsonAdd(*reply, "children", root);
}

}  // namespace finch
