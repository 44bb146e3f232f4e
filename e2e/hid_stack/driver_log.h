/* The log lines of the virtual bootloader's drivers: each driver appends
 * text lines to the file that its service's Parameters\Log value names (the
 * installer sets it for each scenario; without it nothing is written). The
 * path is looked up at each flush: the drivers stay loaded from one scenario
 * to the next. Times are performance counter ticks, the clock the pipe
 * server's log gives its origin in. */
#pragma once

#include <ntddk.h>

#define LOG_PATH_CHARS 260
#define LOG_CHUNK_BYTES 2048

typedef struct {
  WCHAR parameters[LOG_PATH_CHARS]; /* the service's Parameters key */
} LogPlace;

/* Lines gathered for one flush: written out a chunk at a time. */
typedef struct {
  const LogPlace *place;
  HANDLE file;
  BOOLEAN failed; /* no log, or it cannot be written */
  ULONG used;
  char text[LOG_CHUNK_BYTES];
} LogLines;

/* The Parameters key under the service's key `registryPath`. */
void logPlaceOf(LogPlace *place, const UNICODE_STRING *registryPath);

void logBegin(LogLines *lines, const LogPlace *place);
void logText(LogLines *lines, const char *text);
void logNumber(LogLines *lines, ULONGLONG value);
void logHex(LogLines *lines, const UCHAR *bytes, ULONG length);
/* Ends a line; a line is never split across two writes. */
void logLineEnd(LogLines *lines);
void logEnd(LogLines *lines);

static inline ULONGLONG logTicks(void) {
  return (ULONGLONG)KeQueryPerformanceCounter(NULL).QuadPart;
}
