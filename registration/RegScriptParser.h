#pragma once
// One run of one registry script: placeholder expansion over the whole text, the
// tokenizer, and the register and unregister passes over the registry.
//
// Script faults are DISP_E_EXCEPTION; an odd-length binary text and a placeholder
// name of 32 bytes or more are E_FAIL; a failed allocation is E_OUTOFMEMORY.

#include "platform/Owners.h"

#include <windows.h>

#include <cstddef>

class CRegScript;

class CRegScriptParser {
public:
    static constexpr size_t TokenSize = 4096;

    explicit CRegScriptParser(CRegScript& script) noexcept : m_script(script) {}
    CRegScriptParser(const CRegScriptParser&) = delete;
    CRegScriptParser& operator=(const CRegScriptParser&) = delete;

    // Replaces every %name% of the NUL-terminated ANSI source from the script's
    // map ("%%" gives one "%") and puts the cursor at the start of the result.
    HRESULT ExpandPlaceholders(const char* source) noexcept;
    // Steps over tab, line feed, carriage return and space only.
    void SkipBlanks() noexcept;
    // Reads the next quoted or bare token into a buffer of TokenSize bytes.
    HRESULT ReadToken(char* token) noexcept;
    // Expands and applies the whole script; registerFlag chooses the pass.
    HRESULT ApplyScript(const char* text, bool registerFlag) noexcept;

    // Where the next token starts (the expanded text after ExpandPlaceholders).
    const char* Cursor() const noexcept { return m_cursor; }

    // Deletes parent\name with everything below it (subkey names up to 255
    // characters); the first failure is returned and the rest stays.
    static LONG DeleteKeyTree(HKEY parent, const char* name) noexcept;

private:
    // One "root { ... }" section; a failed register pass takes back what the
    // section wrote.
    HRESULT ApplySection(bool registerFlag) noexcept;
    HRESULT WalkBlock(bool registerPass, HKEY parent, bool inheritedSkip) noexcept;
    HRESULT RegisterKeyEntry(HKEY parent, platform::UniqueHKey& key) noexcept;
    HRESULT UnregisterKeyEntry(HKEY parent, platform::UniqueHKey& key, bool inheritedSkip, bool& skip,
                               bool deleteFlag) noexcept;
    HRESULT ValueEntry(bool registerPass, HKEY parent, bool skip) noexcept;
    HRESULT CloseAndDelete(HKEY parent, platform::UniqueHKey& key, const char* name,
                           bool deleteFlag) noexcept;
    HRESULT WriteValue(HKEY key, const char* name) noexcept;
    HRESULT SkipValueClause() noexcept;

    static bool KeyHasSubkeys(HKEY key) noexcept;
    bool KeyHasNamedValues(HKEY key) noexcept;

    CRegScript& m_script;
    platform::CoTaskMemPtr<char> m_text;
    char* m_cursor = nullptr;
    // The walker's current token, shared by every block level: a nested level
    // ends on the "}" that its caller then reads past.
    char m_token[TokenSize] = {};
    char m_value[TokenSize] = {};
    // Members rather than locals: the walk recurses once per block, and its
    // frames stay small.
    wchar_t m_wide[TokenSize] = {};
    char m_valueName[TokenSize] = {};
    unsigned m_depth = 0;
};
