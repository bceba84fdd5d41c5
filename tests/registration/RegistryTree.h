#pragma once
// Scratch-registry helpers for the script tests: set up keys and values below
// HKEY_CURRENT_USER and dump a subtree exactly (key paths, value names, types,
// bytes), so "as it was" compares are exact.

#include <windows.h>

#include <string>

namespace testing_support {

// Every key and value below HKCU\path (paths relative to it), one line each,
// sorted: "key A\B" and "value A\B [name] type bytes". Empty when the key is missing.
// Another root may be given (in this program's registry view).
std::string DumpTree(const std::string& path, HKEY root = HKEY_CURRENT_USER);

// Creates HKCU\path with any missing key above it.
void CreateKey(const std::string& path);
// Writes a value under HKCU\path (created when missing); name may be null for the default value.
void SetValue(const std::string& path, const char* name, DWORD type, const void* data, DWORD size);
void SetString(const std::string& path, const char* name, const std::string& text);
bool KeyExists(const std::string& path, HKEY root = HKEY_CURRENT_USER);
// The value's type and bytes as DumpTree writes them ("REG_SZ 61 00"); "missing" when absent.
std::string ReadValue(const std::string& path, const char* name, HKEY root = HKEY_CURRENT_USER);

} // namespace testing_support
