#pragma once
// The registry script object: the replacement map that fills the script's
// placeholders, and the entry that runs a script carried as a module resource.

#include "platform/Owners.h"

#include <windows.h>

#include <cstddef>
#include <memory>

// One (placeholder name, replacement text) pair; a list of them ends with a pair
// whose name is null.
struct ReplacementPair {
    const wchar_t* name;
    const wchar_t* text;
};

class CRegScript {
public:
    CRegScript() noexcept = default;
    CRegScript(const CRegScript&) = delete;
    CRegScript& operator=(const CRegScript&) = delete;
    ~CRegScript();

    // Copies both strings; a name added twice keeps both pairs and lookup finds
    // the first. E_OUTOFMEMORY leaves the earlier pairs in place.
    HRESULT AddReplacement(const wchar_t* name, const wchar_t* text) noexcept;
    void ClearReplacements() noexcept;
    // Case-insensitive match of the name in the ANSI code page; null when no pair
    // has it. The text stays valid until the map is cleared.
    const wchar_t* FindReplacement(const char* name) const noexcept;

    // Maps the module file as data, reads the script from resource (resourceId,
    // type) and applies it: register pass when registerFlag is true, unregister
    // pass otherwise. A loading failure is the last error as an HRESULT, or
    // E_FAIL when the platform left no last error.
    HRESULT RunResourceScript(const wchar_t* modulePath, WORD resourceId, const wchar_t* type,
                              bool registerFlag) noexcept;

private:
    struct Replacement {
        platform::CoTaskMemPtr<wchar_t> name;
        platform::CoTaskMemPtr<wchar_t> text;
    };

    // Grown by moving into a block twice the size: the pairs stay where they are.
    std::unique_ptr<std::unique_ptr<Replacement>[]> m_pairs;
    size_t m_count = 0;
    size_t m_capacity = 0;
};

// Runs the "REGISTRY" script resourceId of the given loaded module with the
// placeholder "Module" set to the module's short path (the long path when the
// short form cannot be had), plus the optional extraPairs (may be null).
HRESULT RunModuleScriptFrom(HINSTANCE instance, WORD resourceId, bool registerFlag,
                            const ReplacementPair* extraPairs) noexcept;
