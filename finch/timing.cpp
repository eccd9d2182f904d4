// Function timing: switched on, off and cleared, and listed by function.
#include <strings.h>

#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

constexpr uint32_t kTimingBuffer = 8192;

// The engine's function numbers and their names.
const char* const kFunctionNames[RL_MON_FUNCTIONS] = {"Totals",
                                                      "PUTFIL",
                                                      "UPDCURI",
                                                      "DELFIL",
                                                      "LKISAM",
                                                      "DELREC",
                                                      "ALCSET",
                                                      "CHGSET",
                                                      "DELVREC",
                                                      "CLISAM",
                                                      "STPUSR",
                                                      "FRESET",
                                                      "CLSFIL",
                                                      "TRANEND",
                                                      "TRANRST",
                                                      "TRANABT",
                                                      "TRANCLR",
                                                      "CLRFIL",
                                                      "DELRFIL",
                                                      "ALCBAT",
                                                      "CHGBAT",
                                                      "FREBAT",
                                                      "PERFORM",
                                                      "USERLIST",
                                                      "USERINFO",
                                                      "ZVKLUSR",
                                                      "ZVTESTFUNC",
                                                      "CHGICON",
                                                      "CLSICON",
                                                      "ZVFLUSH",
                                                      "ZVCHKPNT",
                                                      "TRANABTX",
                                                      "CHGHST",
                                                      "FREHST",
                                                      "SAVPCLR",
                                                      "TESTHUGE",
                                                      "zvRENFIL",
                                                      "UPDCIDX",
                                                      "SETFLTR",
                                                      "ADDUSR",
                                                      "ADDREC",
                                                      "RWTREC",
                                                      "NXTREC",
                                                      "PRVREC",
                                                      "FRSREC",
                                                      "LSTREC",
                                                      "RRDREC",
                                                      "NXTSET",
                                                      "PRVSET",
                                                      "SETALTSEQ",
                                                      "GETALTSEQ",
                                                      "SETDEFBLKX",
                                                      "MIDSET",
                                                      "PUTDODAX",
                                                      "SETVARBYTS",
                                                      "FRSVSET",
                                                      "LSTVSET",
                                                      "MIDVSET",
                                                      "TRANRDY",
                                                      "SYSMON",
                                                      "WRTVREC",
                                                      "RDVREC",
                                                      "REDREC",
                                                      "WRTREC",
                                                      "SETCURI",
                                                      "RETREC",
                                                      "RETVREC",
                                                      "reset_cur",
                                                      "SETCURI",
                                                      "EQLVREC",
                                                      "GTEVREC",
                                                      "LTEVREC",
                                                      "GTVREC",
                                                      "LTVREC",
                                                      "GETMNAME",
                                                      "GETNAM",
                                                      "GETSEG",
                                                      "GETMAP",
                                                      "SECURITY",
                                                      "SYSLOG",
                                                      "FRSSET",
                                                      "LSTSET",
                                                      "EQLREC",
                                                      "GTEREC",
                                                      "LTEREC",
                                                      "GTREC",
                                                      "LTREC",
                                                      "REDIREC",
                                                      "STPUSRA",
                                                      "CHGUSR",
                                                      "CREISAM",
                                                      "OPNISAM",
                                                      "TRANISO",
                                                      "DELIFIL",
                                                      "RBLIFIL",
                                                      "CREIFIL",
                                                      "CLIFIL",
                                                      "OPNIFIL",
                                                      "PRMIIDX",
                                                      "TMPIIDX",
                                                      "PUTIFIL",
                                                      "CMPIFIL",
                                                      "EXPIFIL",
                                                      "RBLIIDX",
                                                      "NXTVREC",
                                                      "PRVVREC",
                                                      "FRSVREC",
                                                      "LSTVREC",
                                                      "NXTVSET",
                                                      "PRVVSET",
                                                      "INTREE",
                                                      "INTISAM",
                                                      "SETFLTRN",
                                                      "RESETFLTR",
                                                      "RENIFIL",
                                                      "SETNODE",
                                                      "UNDOFLEX",
                                                      "zvSETSEG",
                                                      "zvLOKDMP",
                                                      "RWTPREC",
                                                      "ADDVREC",
                                                      "RWTVREC",
                                                      "REDVREC",
                                                      "DELRES",
                                                      "ENARES",
                                                      "UPDRES",
                                                      "ADDRES",
                                                      "PUTCRES",
                                                      "?? 128 ??",
                                                      "CTSBLDX",
                                                      "ADDKEY",
                                                      "LOADKEY",
                                                      "DELCHK",
                                                      "FREBATN",
                                                      "FRESETN",
                                                      "FREHSTN",
                                                      "SETOPS",
                                                      "FRERNG",
                                                      "FRSRNG",
                                                      "FRSVRNG",
                                                      "CREDAT",
                                                      "CREIDX",
                                                      "CREMEM",
                                                      "zvDROPIDX",
                                                      "LSTRNG",
                                                      "LSTVRNG",
                                                      "NXTRNG",
                                                      "NXTVRNG",
                                                      "PRVRNG",
                                                      "PRVVRNG",
                                                      "GTEKEY",
                                                      "GTKEY",
                                                      "LTKEY",
                                                      "LTEKEY",
                                                      "DELBLD",
                                                      "EQLKEY",
                                                      "FRSKEY",
                                                      "LSTKEY",
                                                      "GETCURP",
                                                      "NEWREC",
                                                      "DATENT",
                                                      "IDXENT",
                                                      "SERIALNUM",
                                                      "TRANBEG",
                                                      "NXTKEY",
                                                      "PRVKEY",
                                                      "GETRES",
                                                      "ZVDIDX",
                                                      "zvDISTINCTest",
                                                      "ZVUSER",
                                                      "GETFIL",
                                                      "SEPLNG",
                                                      "ZVUSERX",
                                                      "ZVSQLCTL",
                                                      "ZVSRVCTL",
                                                      "zvDISTINCTset",
                                                      "ZVUSERX",
                                                      "zvImpersonateTask",
                                                      "?? 178 ??",
                                                      "?? 179 ??",
                                                      "GTVLEN",
                                                      "GETVLEN",
                                                      "GETIFILX",
                                                      "GETDODAX",
                                                      "GETCRES",
                                                      "GETCIDX",
                                                      "?? 186 ??",
                                                      "NOTSENT",
                                                      "TFRMKEY",
                                                      "GETCURK",
                                                      "GETCURKL",
                                                      "BATSETX",
                                                      "ZVSBLDX",
                                                      "TSTVREC",
                                                      "COMMBUF",
                                                      "SQR",
                                                      "OPNRFIL",
                                                      "TMPNAME",
                                                      "KZV",
                                                      "DYNDMP",
                                                      "FRCKEY",
                                                      "AVLFILNUM",
                                                      "OPNFIL",
                                                      "BATSET",
                                                      "LOKREC",
                                                      "ESTKEY",
                                                      "NEWVREC",
                                                      "TRANSAV",
                                                      "TRANBAK",
                                                      "SETFNDVAL",
                                                      "IOPERFORMANCE",
                                                      "CLNIDXX",
                                                      "RNGENT",
                                                      "ORDKEY",
                                                      "OPNICON",
                                                      "SYSCFG",
                                                      "PUTHDR",
                                                      "CUST_LOGON",
                                                      "CUST_LOGOFF",
                                                      "CUST_OPC1",
                                                      "CUST_OPC2",
                                                      "CUST_OPC3",
                                                      "CUST_OPC4",
                                                      "ZVHIST",
                                                      "IOPERFORMANCEX",
                                                      "REDIVREC",
                                                      "reset_cur2",
                                                      "RTSCRIPT",
                                                      "zvSETENCRYPT",
                                                      "SESSVAL",
                                                      "SESSINC",
                                                      "SPCLSAV",
                                                      "NOFUNCT",
                                                      "NOFUNCT",
                                                      "NOFUNCT",
                                                      "NOFUNCT",
                                                      "NOFUNCT",
                                                      "NOFUNCT",
                                                      "KZV_MAKE",
                                                      "KZV_OPEN",
                                                      "KZV_CLOSE",
                                                      "KZV_WRITE",
                                                      "KZV_READ",
                                                      "KZV_START",
                                                      "KZV_NEXTPREV",
                                                      "KZV_REWDEL",
                                                      "KZV_DELETE",
                                                      "KZV_UNLOCK",
                                                      "KZV_VERSION",
                                                      "KZV_SQLINFO",
                                                      "KZV_SQLLINK",
                                                      "KZV_COPY",
                                                      "DUMMY",
                                                      "DUMMY",
                                                      "DUMMY",
                                                      "DUMMY",
                                                      "NOFUNCSEP",
                                                      "PUTKSEGDEF",
                                                      "GETKSEGDEF",
                                                      "XFMKSEGDEF",
                                                      "zvunic",
                                                      "GETXCREBLK",
                                                      "ZVFLUSHX",
                                                      "ZVASYNC",
                                                      "zvksegswpchk",
                                                      "zvSNAPSHOT",
                                                      "zvSYSPUT",
                                                      "zvCLSNAM",
                                                      "zvSysQueueOpen",
                                                      "zvSysQueueClose",
                                                      "zvSysQueueWrite",
                                                      "zvSysQueueLIFOWrite",
                                                      "zvSysQueueRead",
                                                      "zvSysQueueMlen",
                                                      "zvSysQueueCount",
                                                      "zvNotify",
                                                      "ALCRNG",
                                                      "BLKIREC",
                                                      "TRANUSR",
                                                      "zvReplSetPosByLogPos",
                                                      "zvReplSetPosByTime",
                                                      "zvReplGetFileName",
                                                      "zvReplGetNextChange",
                                                      "zvReplPersistMinLog",
                                                      "SETCBRBL",
                                                      "zvFILMTX",
                                                      "zvLOKLST",
                                                      "zvFILBLK",
                                                      "zvSETCFG",
                                                      "zvFILWCD",
                                                      "zvQUIET",
                                                      "zvLOKTIMOUT",
                                                      "zvUPDTICU",
                                                      "zvGetOpenFiles",
                                                      "zvGetFileUsers",
                                                      "zvGetFileLocks",
                                                      "zvLOKDYN",
                                                      "zvReplAgentOp",
                                                      "zvTransferFile",
                                                      "ESTRNG",
                                                      "zvSEQUENCE",
                                                      "zvMASTERCTL",
                                                      "zvDISTINCTestXtd",
                                                      "zvDISTINCTsetXtd",
                                                      "zvVERIFYidx",
                                                      "addIDfield",
                                                      "delIDfield",
                                                      "getIDfield",
                                                      "resetIDfield",
                                                      "wchIDfield",
                                                      "zvMEMSTAT",
                                                      "zvSETCOMPRESS",
                                                      "xtdatrIDfield",
                                                      "zvCopyFile",
                                                      "zvVerifyFile",
                                                      "GETFILX",
                                                      "zvDeferredIndexControl",
                                                      "zvRecordUpdateCallbackControl",
                                                      "NOFUNCSEP"};

}  // namespace

void setFunctionTiming(json_object* request, json_object** reply) {
  const char* mode = nullptr;
  if (!zvJsonGetStringByName(request, "mode", &mode) || !mode) {
    zvJsonSetError(9007, "zvMonSetFunctionTiming - Invalid parameter - Missing mode in the request", *reply);
    return;
  }
  int action = strcasecmp(mode, "start") == 0   ? RL_SNAP_TIMING_START
               : strcasecmp(mode, "stop") == 0  ? RL_SNAP_TIMING_STOP
               : strcasecmp(mode, "clear") == 0 ? RL_SNAP_TIMING_CLEAR
                                                : 0;
  if (action) {
    int r = api.zvSNAPSHOT(action, nullptr, nullptr, 0);
    if (r == RL_MON_NOT_ADMINISTRATOR) {
      zvJsonSetError(r, "zvMonSetFunctionTiming error - only an administrator of this server changes its timing",
                     *reply);
      return;
    }
    if (r != 0) {
      zvJsonSetError(r, "zvMonSetFunctionTiming error", *reply);
      return;
    }
  }
  zvJsonSetSuccess(*reply);
}

int functionTimingReport(json_object** reply) {
  std::vector<unsigned char> block(kTimingBuffer, 0);
  int r = api.zvSNAPSHOT(RL_SNAP_SYSTEM, nullptr, block.data(), kTimingBuffer);
  if (r != 0) return zvJsonSetError(r, "SnapShot Error", *reply);
  zvJsonPtr functions(zvJsonAllocArray());
  if (!functions) return 9010;
  auto u32 = [&](size_t at) {
    uint32_t v;
    memcpy(&v, block.data() + at, 4);
    return v;
  };
  bool reverse = block[1252] != 2;
  int64_t ticks;
  memcpy(&ticks, block.data() + 456, 8);
  uint32_t varlen = u32(12), fixlen = u32(8);
  if (reverse) {
    ticks = int64_t(__builtin_bswap64(uint64_t(ticks)));
    varlen = __builtin_bswap32(varlen);
    fixlen = __builtin_bswap32(fixlen);
  }
  if (!reverse && varlen != 0 && !(u32(1068) & 0x10000000)) {
    return zvJsonSetError(999, "zvMonGetFunctionTiming error", *reply);
  }
  // Entries are read only as far as the block reaches.
  if (varlen != 0 && fixlen >= 8 && size_t(fixlen) + 8 <= block.size()) {
    int32_t last;
    memcpy(&last, block.data() + fixlen + 4, 4);
    if (reverse) last = int32_t(__builtin_bswap32(uint32_t(last)));
    size_t room = (block.size() - fixlen - 8) / 16;
    for (int64_t i = 0; i <= int64_t(last) && size_t(i) < room; ++i) {
      size_t at = fixlen + 8 + 16 * size_t(i);
      uint32_t number = u32(at), count = u32(at + 4);
      uint64_t total;
      memcpy(&total, block.data() + at + 8, 8);
      if (reverse) {
        number = __builtin_bswap32(number);
        count = __builtin_bswap32(count);
        total = __builtin_bswap64(total);
      }
      json_object* row = zvJsonAlloc();
      zvJsonAddInt(row, "Number", int32_t(number));
      if (number < RL_MON_FUNCTIONS) zvJsonAddString(row, "Name", kFunctionNames[number]);
      zvJsonAddInt(row, "CallCount", int32_t(count));
      zvJsonAddDouble(row, "TotalTime", ticks != 0 ? double(total) / double(ticks) : 0.0);
      zvJsonArrayAdd(functions.get(), row);
    }
  }
  zvJsonSetSuccess(*reply);
  zvJsonAdd(*reply, "Functions", functions.release());
  return 0;
}

}  // namespace finch
