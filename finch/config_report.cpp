// The configuration report: the engine's configuration array by keyword,
// with the three bitmap words split into yes/no rows.
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

struct ConfigRow {
  const char* name;
  int category;
  int index;
  int format;
  int64_t mask;  // 0: the value itself; else the bit row's mask
  const char* description;
};

constexpr int kYN = kYesNo;

const ConfigRow kConfigRows[] = {
    {"cfgMEMORY_USAGE", 13, 192, kIntDec, 0, "Current system memory usage"},
    {"cfgMEMORY_HIGH", 13, 193, kIntDec, 0, "System memory highwater mark"},
    {"cfgNET_ALLOCS", 13, 194, kIntDec, 0, "Current net system memory allocations"},
    {"cfgOPEN_FILES", 13, 203, kIntDec, 0, "quarn files opened by system"},
    {"cfgPHYSICAL_FILES", 13, 202, kIntDec, 0, "Physical files opened by system"},
    {"cfgOPEN_FCBS", 13, 204, kIntDec, 0, "File control blocks in use"},
    {"cfgLOGIDX", 13, 151, kYN, 0, "Is file mode zvLOGIDX supported ?"},
    {"cfgDNODE_QLENGTH", 14, 195, kIntDec, 0, "Delete node queue length"},
    {"cfgCHKPNT_QLENGTH", 14, 196, kIntDec, 0, "Checkpoint queue length"},
    {"cfgSYSMON_QLENGTH", 14, 197, kIntDec, 0, "System monitor queue length"},
    {"cfgLOGONS", 14, 200, kIntDec, 0, "Current number of logons"},
    {"cfgNET_LOCKS", 14, 201, kIntDec, 0, "Current number of locks held"},
    {"cfgUSERS", 14, 1, kIntDec, 0, "Maximum number of logons"},
    {"cfgMAX_CONNECT", 14, 186, kIntDec, 0, "Maximum number of connections"},
    {"cfgUSER_FILES", 14, 205, kIntDec, 0, "Maximum files per user"},
    {"cfgUSER_MEMORY", 14, 206, kIntDec, 0, "Memory limit per user"},
    {"cfgPATH_SEPARATOR", 14, 150, kChar, 0, "ASCII value for the file name path separator"},
    {"cfgMAX_CLIENT_NODES", 14, 226, kIntDec, 0, "Maximum client nodes"},
    {"cfgMAX_CONN_PER_NODE", 14, 227, kIntDec, 0, "Maximum connections per node"},
    {"cfgLOCAL_CONN_ONLY", 14, 228, kIntDec, 0,
     "Whether or not connections from remote systems are allowed.<br> (a value of zero indicates that remote "
     "connections are allowed)"},
    {"cfgFILES", 15, 0, kIntDec, 0, "Maximum number of quarn file control blocks available system wide"},
    {"cfgMAX_DAT_KEY", 15, 31, kIntDec, 0, "Maximum indexes per data file"},
    {"cfgMAX_KEY_SEG", 15, 47, kIntDec, 0, "Maximum key segments per index"},
    {"cfgSERIALNBR", 16, 183, kIntHexNoPrefix, 0, "The QuarnDB Server serial number"},
    {"cfgBOUND", 16, 139, kYN, 0, "Application is bound to the server"},
    {"cfgDISKIO_MODEL", 16, 128, kYN, 0, "Disk I/O model"},
    {"cfgLOCLIB", 16, 147, kYN, 0, "Local library"},
    {"cfgNOGLOBALS", 16, 140, kYN, 0, "No globals"},
    {"cfgUNIFRMAT", 16, 146, kYN, 0, "Aautomatic byte flipping (UNIFRMAT) is active"},
    {"cfgANSI", 16, 148, kYN, 0, "ANSI functions"},
    {"cfgCONDIDX", 16, 153, kYN, 0, "Conditional indexes"},
    {"cfgZVBATCH", 16, 131, kYN, 0, "Batch operations"},
    {"cfgZVSUPER", 16, 132, kYN, 0, "Superfiles"},
    {"cfgZVS_ISAM", 16, 138, kYN, 0, "Application supports Brenlox&apos;s ISAM API"},
    {"cfgHISTORY", 16, 152, kYN, 0, "History functions"},
    {"cfgINIT_QUARNapp", 16, 172, kYN, 0, "Application initialises the client"},
    {"cfgLOGIDXapp", 16, 180, kYN, 0, "Application uses zvLOGIDX"},
    {"cfgPARMFILE", 16, 136, kYN, 0, "Parameter files"},
    {"cfgPASCAL24", 16, 143, kYN, 0, "Pascal strings (2/4 bytes)"},
    {"cfgPASCALst", 16, 142, kYN, 0, "Pascal strings"},
    {"cfgPROTOTYPE", 16, 141, kYN, 0, "Function prototypes"},
    {"cfgRESOURCE", 16, 130, kYN, 0, "Resources"},
    {"cfgVELM", 16, 137, kYN, 0, "Application supports velm"},
    {"cfgTHREADapp", 16, 171, kYN, 0, "Threaded application"},
    {"cfgTRANPROC", 16, 129, kYN, 0, "Transaction processing"},
    {"cfgVARLDATA", 16, 134, kYN, 0, "Variable-length data"},
    {"cfgVARLKEYS", 16, 135, kYN, 0, "Variable-length keys"},
    {"cfgWORD_ORDER", 16, 144, kYN, 0,
     "Indicates the client data order: Low_High or High_Low. A non-zero value indicates Low_High"},
    {"cfgCFGCHK", 17, 231, kIntHex, 0, "Configuration Bitmap"},
    {"cfgCFGCHKreplmap", 17, 231, kYN, 0x1, "Replication map"},
    {"cfgCFGCHKravlink", 17, 231, kYN, 0x2, "ravlink DLL loaded (V11 and later)"},
    {"cfgCFGCHKxfrfile", 17, 231, kYN, 0x4, "File transfer"},
    {"cfgCFGCHKadvenc", 17, 231, kYN, 0x8, "Advanced encryption"},
    {"cfgFEACHK", 18, 208, kIntHex, 0, "Features Bitmap (see following entries)"},
    {"cfgFEACHKplusName", 18, 208, kYN, 0x1, "Plus names"},
    {"cfgFEACHKhugeFile", 18, 208, kYN, 0x2, "Huge files"},
    {"cfgFEACHKcloseInTran", 18, 208, kYN, 0x4, "Close inside a transaction"},
    {"cfgFEACHKencryption", 18, 208, kYN, 0x8, "Encryption"},
    {"cfgFEACHKflexFile", 18, 208, kYN, 0x10, "Flexible files"},
    {"cfgFEACHKdiskFull", 18, 208, kYN, 0x40, "Disk full handling"},
    {"cfgFEACHKuniqFile", 18, 208, kYN, 0x20, "Unique file names"},
    {"cfgFEACHKxtdCmp", 18, 208, kYN, 0x80, "Extended compression"},
    {"cfgFEACHK6BT", 18, 208, kYN, 0x100, "Six-byte transaction numbers"},
    {"cfgFEACHKoldBCD", 18, 208, kYN, 0x200, "Old BCD"},
    {"cfgFEACHKeventLogVer2", 18, 208, kYN, 0x400, "Event log version 2"},
    {"cfgFEACHKchkPntLst", 18, 208, kYN, 0x800, "Checkpoint list"},
    {"cfgFEACHKnoFlushDel", 18, 208, kYN, 0x1000, "No flush on delete"},
    {"cfgFEACHKzeroRecbyt", 18, 208, kYN, 0x2000, "Zero record position"},
    {"cfgFEACHKsysView", 18, 208, kYN, 0x4000, "System views"},
    {"cfgFEACHKencrypTCPIP", 18, 208, kYN, 0x8000, "Encrypted TCP/IP"},
    {"cfgFEACHKlowlCRC", 18, 208, kYN, 0x10000, "Low-level CRC"},
    {"cfgFEACHKcommSUMCHK", 18, 208, kYN, 0x20000, "Communication checksums"},
    {"cfgFEACHKpag64K", 18, 208, kYN, 0x40000, "64K pages"},
    {"cfgFEACHKreadShare", 18, 208, kYN, 0x80000, "Read share"},
    {"cfgFEACHKsplCache", 18, 208, kYN, 0x100000, "Special cache"},
    {"cfgFEACHKpriCache", 18, 208, kYN, 0x200000, "Priority cache"},
    {"cfgFEACHKnoCache", 18, 208, kYN, 0x400000, "No cache"},
    {"cfgFEACHKnoFlush", 18, 208, kYN, 0x800000, "No flush"},
    {"cfgFEACHKfpgCache", 18, 208, kYN, 0x1000000, "File page cache"},
    {"cfgFEACHKdataFilter", 18, 208, kYN, 0x2000000, "Data filters"},
    {"cfgFEACHKdepRename", 18, 208, kYN, 0x4000000, "Dependent rename"},
    {"cfgFEACHKchannels", 18, 208, kYN, 0x8000000, "Channels"},
    {"cfgFEACHKalgnchnl", 18, 208, kYN, 0x10000000, "Aligned channels"},
    {"cfgFEACHKkeepopen", 18, 208, kYN, 0x20000000, "Keep open"},
    {"cfgFEACHKiict", 18, 208, kYN, 0x40000000, "Immediate independent commit transactions"},
    {"cfgFEACHKxtdfldtyp", 18, 208, kYN, int64_t(0xFFFFFFFF80000000ULL), "Extended field types"},
    {"cfgFEACHK2", 18, 239, kIntHex, 0, "Features Bitmap"},
    {"cfgFEACHK2copyfile", 18, 239, kYN, 0x1, "File copy"},
    {"cfgFEACHK2repldefertran", 18, 239, kYN, 0x2, "Replication of deferred transactions"},
    {"cfgFEACHK2getconninfo", 18, 239, kYN, 0x4, "Support zvGetConnectionInfo() function"},
    {"cfgCACHE_PAGES", 19, 217, kIntDec, 0, "Cache pages"},
    {"cfgCACHE_PAGES_INUSE", 19, 218, kIntDec, 0, "Cache pages in use"},
    {"cfgCACHE_PAGES_MXUSE", 19, 219, kIntDec, 0, "Cache pages highwater"},
    {"cfgCACHE_PAGES_DED", 19, 220, kIntDec, 0, "Dedicated cache pages"},
    {"cfgCACHE_PAGES_DEDINUSE", 19, 221, kIntDec, 0, "Dedicated cache pages in use"},
    {"cfgCACHE_PAGES_DEDMXUSE", 19, 222, kIntDec, 0, "Dedicated cache pages highwater"},
    {"cfgBUFFER_PAGES", 19, 223, kIntDec, 0, "Buffer pages"},
    {"cfgBUFFER_PAGES_INUSE", 19, 224, kIntDec, 0, "Buffer pages in use"},
    {"cfgBUFFER_PAGES_MXUSE", 19, 225, kIntDec, 0, "Buffer pages highwater"},
    {"cfgVERSIONID", 20, 184, kVersionId, 0, "The version number"},
    {"cfgVERSIONID2", 20, 187, kVersionId2, 0, "The mini version and build date values (V10.3 and later)"},
    {"cfgVERSIONID_BASE", 20, 188, kVersionBase, 0, "The base build date value (V10.3 and later)"},
    {"cfgPORTID", 20, 185, kPortId, 0, "Port Id"},
    {"cfgBROADCAST_PORT", 21, 112, kIntDec, 0, "The TCP/IP port used for the broadcast (default: 5595)"},
    {"cfgBROADCAST_INTERVAL", 21, 114, kIntDec, 0, "Seconds between broadcasts"},
    {"cfgBROADCAST_DATA", 21, 113, kIntDec, 0, "Broadcast data"},
    {"cfgCACHE_LINE", 22, 118, kIntDec, 0, "Cache line size"},
    {"cfgCACHE_PAGES_SCN", 22, 236, kIntDec, 0, "Scan cache pages"},
    {"cfgCACHE_PAGES_SCNINUSE", 22, 237, kIntDec, 0, "Scan cache pages in use"},
    {"cfgCACHE_PAGES_SCNMXUSE", 22, 238, kIntDec, 0, "Scan cache pages highwater"},
    {"cfgCACHE_STAT_ARRAY_SIZE", 22, 232, kIntDec, 0, "Cache statistics array size"},
    {"cfgDATA_LRU_LISTS", 22, 233, kIntDec, 0, "Data cache LRU lists"},
    {"cfgINDEX_LRU_LISTS", 22, 234, kIntDec, 0, "Index cache LRU lists"},
    {"cfgCONNECTIONS", 23, 100, kIntDec, 0, "The maximum number of connections to the QuarnDB Server"},
    {"cfgCOUNTED_LOGONS", 23, 230, kIntDec, 0, "Counted logons"},
    {"cfgLOGON_FAIL_LIMIT", 23, 102, kIntDec, 0, "Failed logons before a logon is refused"},
    {"cfgLOGON_FAIL_TIME", 23, 103, kIntDec, 0, "Minutes a refused logon stays refused"},
    {"cfgLOGON_MUST_TIME", 23, 111, kIntDec, 0, "Days within which a user must log on"},
    {"cfgMAX_LOGONS", 23, 209, kIntDec, 0, "Maximum logons"},
    {"cfgLANGUAGE", 3, 95, kIntDec, 0, "Support the velm language feature in an velm enabled server"},
    {"cfgMAX_PHYSICAL_FILES", 3, 211, kIntDec, 0, "Maximum physical files"},
    {"cfgMAX_VIRTUAL_FILES", 3, 93, kIntDec, 0, "Maximum virtual files"},
    {"cfgPROCESS_ID", 3, 229, kIntDec, 0, "Server process id"},
    {"cfgMEMORY_HASH", 3, 235, kIntDec, 0, "Memory hash lists"},
    {"cfgMEMORY_HASH", 10, 235, kIntDec, 0, "Memory hash lists"},
    {"cfgFLEX_FCBS", 11, 214, kIntDec, 0, "Flexible file control blocks"},
    {"cfgRECOVER_FILES", 11, 89, kIntDec, 0, "Files recovered"},
    {"cfgRSPACE_QLENGTH", 11, 216, kIntDec, 0, "Reuse space queue length"},
    {"cfgSRV_MODEL", 17, 154, kIntDec, 0,
     "This value indicates whether the server supports only ISAM functionality (1) or SQL functionality (2)"},
    {"cfgLOG_SPACE", 4, 9, kIntDec, 0, "Log space"},
    {"cfgLOG_RECORD_LIMIT", 4, 207, kIntDec, 0, "Log record limit"},
    {"cfgFIXED_LOG_SIZE", 4, 94, kIntDec, 0, "Fixed log size"},
    {"cfgSYNC_DELAY", 4, 90, kIntDec, 0, "The number of seconds between log flushes"},
    {"cfgSYSLOG_QLENGTH", 4, 215, kIntDec, 0, "System log queue length"},
};

}  // namespace

int sysConfigRows(CounterContext& c, json_object** reply) {
  c.mode = kRows;
  int32_t values[RL_MON_CONFIG_VALUES];
  int r = int16_t(api.SYSCFG(values));
  if (r != 0) return zvJsonSetError(r, "zvMonSysConfig Error", *reply);
  json_object* list = zvJsonAllocArray();
  if (!list) return 9010;
  for (const auto& row : kConfigRows) {
    int64_t value = int64_t(values[row.index]);
    if (row.mask) value &= row.mask;
    addCounterRow(c, list, row.name, row.category, kWidth4, row.format, row.description, false, false, value);
  }
  finishReport(c, list, reply);
  return 0;
}

}  // namespace finch
