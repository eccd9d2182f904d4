/* An engine with only the first names the monitor binds: zvGetFileLocks,
 * the thirteenth, is missing. */
__attribute__((visibility("default"))) int USERINFO(void) { return 0; }
__attribute__((visibility("default"))) int USERLIST(void) { return 0; }
__attribute__((visibility("default"))) int revobj(void) { return 0; }
__attribute__((visibility("default"))) int revlng(void) { return 0; }
__attribute__((visibility("default"))) int CLISAM(void) { return 0; }
__attribute__((visibility("default"))) int INTISAMX(void) { return 0; }
__attribute__((visibility("default"))) int IOPERFORMANCEX(void) { return 0; }
__attribute__((visibility("default"))) int SETNODE(void) { return 0; }
__attribute__((visibility("default"))) int SYSCFG(void) { return 0; }
__attribute__((visibility("default"))) int zvSNAPSHOT(void) { return 0; }
__attribute__((visibility("default"))) int zvGetOpenFiles(void) { return 0; }
__attribute__((visibility("default"))) int zvGetFileUsers(void) { return 0; }
