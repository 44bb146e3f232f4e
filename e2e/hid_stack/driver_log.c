#include "driver_log.h"

#include "registry_values.h"

/* The longest line any driver writes. */
#define LINE_ROOM 160

void logPlaceOf(LogPlace *place, const UNICODE_STRING *registryPath) {
  UNICODE_STRING path;
  path.Buffer = place->parameters;
  path.Length = 0;
  path.MaximumLength = sizeof place->parameters - sizeof(WCHAR);
  RtlAppendUnicodeStringToString(&path, registryPath);
  RtlAppendUnicodeToString(&path, L"\\Parameters");
  place->parameters[path.Length / sizeof(WCHAR)] = 0;
}

/* The log's path, empty when there is none. */
static void readLogPath(const LogPlace *place, WCHAR *logPath) {
  HANDLE key;
  logPath[0] = 0;
  if (!NT_SUCCESS(registryOpen(place->parameters, &key))) return;
  registryText(key, L"Log", logPath, LOG_PATH_CHARS);
  ZwClose(key);
}

static void flush(LogLines *lines) {
  IO_STATUS_BLOCK io;
  if (lines->used == 0 || lines->failed) {
    lines->used = 0;
    return;
  }
  if (lines->file == NULL) {
    WCHAR logPath[LOG_PATH_CHARS];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    readLogPath(lines->place, logPath);
    RtlInitUnicodeString(&name, logPath);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (logPath[0] == 0 ||
        !NT_SUCCESS(
            ZwCreateFile(&lines->file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL,
                         FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0))) {
      lines->file = NULL;
      lines->failed = TRUE;
      lines->used = 0;
      return;
    }
  }
  ZwWriteFile(lines->file, NULL, NULL, NULL, &io, lines->text, lines->used, NULL, NULL);
  lines->used = 0;
}

void logBegin(LogLines *lines, const LogPlace *place) {
  lines->place = place;
  lines->file = NULL;
  lines->failed = FALSE;
  lines->used = 0;
}

static void put(LogLines *lines, char c) {
  if (lines->used < LOG_CHUNK_BYTES) lines->text[lines->used++] = c;
}

void logText(LogLines *lines, const char *text) {
  while (*text != 0) put(lines, *text++);
}

void logNumber(LogLines *lines, ULONGLONG value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) put(lines, digits[--n]);
}

void logHex(LogLines *lines, const UCHAR *bytes, ULONG length) {
  static const char digits[] = "0123456789abcdef";
  ULONG i;
  for (i = 0; i < length; ++i) {
    put(lines, digits[bytes[i] >> 4]);
    put(lines, digits[bytes[i] & 0xF]);
  }
}

void logLineEnd(LogLines *lines) {
  put(lines, '\n');
  if (lines->used + LINE_ROOM > LOG_CHUNK_BYTES) flush(lines);
}

void logEnd(LogLines *lines) {
  flush(lines);
  if (lines->file != NULL) ZwClose(lines->file);
  lines->file = NULL;
}
