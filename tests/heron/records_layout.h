/* A table of sizes and offsets of the shared records, built once by the C
 * compiler (records_layout_c.c) and once by the C++ compiler. */
#ifndef RECORDS_LAYOUT_H
#define RECORDS_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RecordLayoutEntry {
  const char* what;
  size_t value;
} RecordLayoutEntry;

const RecordLayoutEntry* recordLayoutC(size_t* count);

#ifdef __cplusplus
}
#endif

#endif
