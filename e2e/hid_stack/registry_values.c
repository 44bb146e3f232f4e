#include "registry_values.h"

NTSTATUS registryOpen(const WCHAR *path, HANDLE *key) {
  UNICODE_STRING keyName;
  OBJECT_ATTRIBUTES attributes;
  RtlInitUnicodeString(&keyName, path);
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  return ZwOpenKey(key, KEY_READ, &attributes);
}

void registryText(HANDLE key, const WCHAR *name, WCHAR *text, ULONG chars) {
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + REGISTRY_TEXT_CHARS * sizeof(WCHAR)];
  KEY_VALUE_PARTIAL_INFORMATION *value = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
  UNICODE_STRING valueName;
  ULONG got = 0;
  ULONG length = 0;
  if (chars > REGISTRY_TEXT_CHARS) chars = REGISTRY_TEXT_CHARS;
  RtlInitUnicodeString(&valueName, name);
  /* Asked for no more than the caller's room: a longer value is not read. */
  if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value,
                                 sizeof(KEY_VALUE_PARTIAL_INFORMATION) + chars * sizeof(WCHAR),
                                 &got)) &&
      value->Type == REG_SZ) {
    length = value->DataLength / sizeof(WCHAR);
    if (length >= chars) length = chars - 1;
    RtlCopyMemory(text, value->Data, length * sizeof(WCHAR));
  }
  text[length] = 0;
}

ULONG registryNumber(HANDLE key, const WCHAR *name, ULONG absent) {
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  KEY_VALUE_PARTIAL_INFORMATION *value = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
  UNICODE_STRING valueName;
  ULONG got = 0;
  RtlInitUnicodeString(&valueName, name);
  if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, sizeof buffer,
                                 &got)) &&
      value->Type == REG_DWORD)
    return *(ULONG *)value->Data;
  return absent;
}
