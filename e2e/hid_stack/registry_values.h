/* The settings the virtual bootloader's drivers read from the registry: each
 * device's in its "Device Parameters" key, each driver's in its service's
 * Parameters key. */
#pragma once

#include <ntddk.h>

/* The longest text setting, with its terminator: a log's path. */
#define REGISTRY_TEXT_CHARS 260

/* Opens the key at the full registry path `path` for reading. */
NTSTATUS registryOpen(const WCHAR *path, HANDLE *key);

/* The REG_SZ value `name` of `key` in `text`, `chars` long with its
 * terminator (at most REGISTRY_TEXT_CHARS): cut to fit, and empty when there
 * is no such text or it is too long to read into that room. */
void registryText(HANDLE key, const WCHAR *name, WCHAR *text, ULONG chars);

/* The REG_DWORD value `name` of `key`, or `absent` when there is none. */
ULONG registryNumber(HANDLE key, const WCHAR *name, ULONG absent);
