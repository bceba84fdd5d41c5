#pragma once
// The registry operations the settings and the registration rely on, each a thin
// call of the platform with the key held by an owner. Results are the platform's
// error codes (ERROR_SUCCESS on success); callers decide which ones they ignore.

#include "platform/Owners.h"

#include <windows.h>

namespace registry {

// Opens an existing key only; fails for a missing one.
LONG OpenKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key);
// Opens the key, or creates it with any missing key above it (non-volatile, no class).
LONG CreateKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key);
// Closes the key and reports whether the platform accepted the close.
bool CloseKey(platform::UniqueHKey& key);
// Copies the value's bytes into buffer when they fit in *size; no type is asked for.
LONG QueryValue(HKEY key, const char* name, void* buffer, DWORD* size);
// Stores exactly size bytes under name (null or empty: the default value).
LONG SetValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
LONG DeleteValue(HKEY key, const char* name);
// Removes a key that has no subkeys.
LONG DeleteKey(HKEY parent, const char* name);
// Number of subkeys and values; either pointer may be null.
LONG QueryCounts(HKEY key, DWORD* subkeys, DWORD* values);
// Name of the subkey or value at index 0; fails when there is none or it does not
// fit in size bytes.
LONG FirstSubkeyName(HKEY key, char* name, DWORD size);
LONG FirstValueName(HKEY key, char* name, DWORD size);

// The registry view of the other bitness, where a server built for it keeps its
// class key and its interface keys; 0 where there is none: on 32-bit Windows the
// flags are ignored and would open this process's own view again.
REGSAM OtherView();

// "{...}": the registry's form of guid, in the ANSI code page.
void GuidText(REFGUID guid, char (&text)[40]);
// "CLSID\{...}" or "Interface\{...}": the key of guid below parent.
void GuidKeyPath(const char* parent, REFGUID guid, char (&path)[64]);

} // namespace registry
