#pragma once
// QueryInterface from a table: each entry names an interface and how to find its
// pointer inside the object. The first entry also answers IUnknown.

#include <windows.h>
#include <unknwn.h>

struct InterfaceMapEntry {
    const IID* iid; // null ends the map
    // The interface's pointer inside object (the object the map belongs to).
    IUnknown* (*locate)(void* object);
};

// E_POINTER for a null out; otherwise *out is set: the AddRef'd interface and
// S_OK, or null and E_NOINTERFACE.
HRESULT FindInterface(void* object, const InterfaceMapEntry* map, REFIID iid, void** out);
