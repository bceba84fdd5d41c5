#pragma once
// The registry calls of the settings store, gathered in one table. Loading and
// saving go through the table in force, which is the registry's own unless a
// test installs another: the bench cannot take rights away (Wine does not
// enforce registry ACLs), so a refusal has to be injected here to be seen.

#include "platform/Owners.h"

#include <windows.h>

struct SettingsRegistry {
    LONG (*createKey)(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key);
    LONG (*openKey)(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key);
    LONG (*setValue)(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
};

// The registry's own calls (registry/Registry.h).
const SettingsRegistry& SystemSettingsRegistry();
// The table loading and saving use now.
const SettingsRegistry& CurrentSettingsRegistry();
// Tests only: installs a table (null: the registry's own again); the caller
// keeps it alive until it is replaced.
void SetSettingsRegistry(const SettingsRegistry* calls);
