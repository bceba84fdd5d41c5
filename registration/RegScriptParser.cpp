#include "registration/RegScriptParser.h"

#include "platform/CharClass.h"
#include "platform/Result.h"
#include "platform/Text.h"
#include "registration/RegScript.h"
#include "registry/Registry.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

using platform::CoTaskMemPtr;
using platform::UniqueHKey;

namespace {

struct RootKey {
    const char* name;
    HKEY key;
};

const RootKey g_rootKeys[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCU", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},
    {"HKU", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKPD", HKEY_PERFORMANCE_DATA},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {"HKDD", HKEY_DYN_DATA},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKCC", HKEY_CURRENT_CONFIG},
};

struct TypeLetter {
    const char* letter;
    DWORD type;
};

const TypeLetter g_typeLetters[] = {
    {"S", REG_SZ},
    {"D", REG_DWORD},
    {"B", REG_BINARY},
};

// Shared keys that hold other products' entries: never deleted by a script.
const char* const g_protectedKeys[] = {"CLSID", "TYPELIB"};

constexpr size_t PlaceholderNameSize = 32; // 31 bytes and the terminator
constexpr size_t ValueNameSize = 260;      // 259 characters and the terminator
constexpr size_t KeyNameSize = 260;        // remembered key names are cut to 259
constexpr DWORD SubkeyNameSize = 256;
// The registry's own limit on key depth; deeper nesting would only use up the
// stack of the walk, which recurses once per block.
constexpr unsigned MaxBlockDepth = 512;
// A quoted token takes a further character only below this length, so that a
// double-byte character and the terminator still fit.
constexpr size_t QuotedTokenLimit = CRegScriptParser::TokenSize - 2;

bool Is(const char* token, const char* word) noexcept {
    return lstrcmpiA(token, word) == 0;
}

// The character after text, stepped with CharNextA; a lead byte without its trail
// byte counts alone, so no walk ever steps over the terminator.
const char* NextChar(const char* text) noexcept {
    if (*text == '\0')
        return text;
    const char* next = CharNextA(text);
    if (next == text || (next - text == 2 && text[1] == '\0'))
        return text + 1;
    return next;
}

// Bytes of the character at text: 2 for a double-byte character, else 1.
size_t CharWidth(const char* text) noexcept {
    return static_cast<size_t>(NextChar(text) - text);
}

bool HasBackslash(const char* name) noexcept {
    for (const char* c = name; *c != '\0'; c = NextChar(c)) {
        if (*c == '\\')
            return true;
    }
    return false;
}

bool IsProtectedKey(const char* name) noexcept {
    for (const char* protectedName : g_protectedKeys) {
        if (Is(name, protectedName))
            return true;
    }
    return false;
}

bool FindRootKey(const char* name, HKEY& key) noexcept {
    for (const RootKey& root : g_rootKeys) {
        if (Is(name, root.name)) {
            key = root.key;
            return true;
        }
    }
    return false;
}

bool FindTypeLetter(const char* letter, DWORD& type) noexcept {
    for (const TypeLetter& row : g_typeLetters) {
        if (Is(letter, row.letter)) {
            type = row.type;
            return true;
        }
    }
    return false;
}

BYTE HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9')
        return static_cast<BYTE>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<BYTE>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<BYTE>(c - 'a' + 10);
    return 0;
}

class DepthScope {
public:
    explicit DepthScope(unsigned& depth) noexcept : m_depth(depth) { ++m_depth; }
    DepthScope(const DepthScope&) = delete;
    DepthScope& operator=(const DepthScope&) = delete;
    ~DepthScope() { --m_depth; }

private:
    unsigned& m_depth;
};

// The expansion's growable byte buffer from the task allocator.
class ExpansionBuffer {
public:
    HRESULT Reserve(size_t capacity) noexcept {
        m_data.reset(static_cast<char*>(CoTaskMemAlloc(capacity)));
        if (m_data.get() == nullptr)
            return E_OUTOFMEMORY;
        m_capacity = capacity;
        m_length = 0;
        return S_OK;
    }

    HRESULT Append(const char* bytes, size_t count) noexcept {
        if (m_length + count > m_capacity) {
            size_t capacity = m_capacity;
            while (m_length + count > capacity) {
                if (capacity > SIZE_MAX / 2)
                    return E_OUTOFMEMORY;
                capacity *= 2;
            }
            // A failed realloc leaves the old block with its owner.
            void* grown = CoTaskMemRealloc(m_data.get(), capacity);
            if (grown == nullptr)
                return E_OUTOFMEMORY;
            m_data.release();
            m_data.reset(static_cast<char*>(grown));
            m_capacity = capacity;
        }
        std::memcpy(m_data.get() + m_length, bytes, count);
        m_length += count;
        return S_OK;
    }

    char* Release() noexcept { return m_data.release(); }

private:
    CoTaskMemPtr<char> m_data;
    size_t m_length = 0;
    size_t m_capacity = 0;
};

} // namespace

HRESULT CRegScriptParser::ExpandPlaceholders(const char* source) noexcept {
    const size_t sourceLength = static_cast<size_t>(lstrlenA(source));
    if (sourceLength > SIZE_MAX / 2)
        return E_OUTOFMEMORY;
    ExpansionBuffer buffer;
    // Twice the source leaves room for short replacements; an empty source still
    // needs its terminator.
    RETURN_IF_FAILED(buffer.Reserve(std::max<size_t>(2 * sourceLength, 1)));

    const char* c = source;
    while (*c != '\0') {
        if (*c != '%') {
            const char* next = NextChar(c);
            RETURN_IF_FAILED(buffer.Append(c, CharWidth(c)));
            c = next;
            continue;
        }
        if (c[1] == '%') {
            RETURN_IF_FAILED(buffer.Append("%", 1));
            c += 2;
            continue;
        }

        const char* nameStart = c + 1;
        const char* nameEnd = nameStart;
        while (*nameEnd != '\0' && *nameEnd != '%')
            nameEnd = NextChar(nameEnd);
        if (*nameEnd == '\0')
            return DISP_E_EXCEPTION;
        const size_t nameLength = static_cast<size_t>(nameEnd - nameStart);
        if (nameLength >= PlaceholderNameSize)
            return E_FAIL;
        char name[PlaceholderNameSize] = {};
        std::memcpy(name, nameStart, nameLength);

        const wchar_t* replacement = m_script.FindReplacement(name);
        if (replacement == nullptr)
            return DISP_E_EXCEPTION;
        CoTaskMemPtr<char> ansi;
        RETURN_IF_FAILED(platform::NarrowCopy(replacement, ansi));
        // Copied as it is: a "%" in the replacement is not expanded again.
        RETURN_IF_FAILED(buffer.Append(ansi.get(), std::strlen(ansi.get())));
        c = nameEnd + 1;
    }
    RETURN_IF_FAILED(buffer.Append("", 1));

    m_text.reset(buffer.Release());
    m_cursor = m_text.get();
    return S_OK;
}

void CRegScriptParser::SkipBlanks() noexcept {
    while (platform::IsBlank(*m_cursor))
        ++m_cursor;
}

HRESULT CRegScriptParser::ReadToken(char* token) noexcept {
    SkipBlanks();
    if (*m_cursor == '\0')
        return DISP_E_EXCEPTION;

    size_t length = 0;
    if (*m_cursor == '\'') {
        ++m_cursor;
        for (;;) {
            if (*m_cursor == '\0')
                return DISP_E_EXCEPTION;
            if (*m_cursor == '\'') {
                if (m_cursor[1] != '\'') {
                    ++m_cursor;
                    break;
                }
                ++m_cursor;
            }
            if (length >= QuotedTokenLimit)
                return DISP_E_EXCEPTION;
            const size_t width = CharWidth(m_cursor);
            std::memcpy(token + length, m_cursor, width);
            length += width;
            m_cursor += width;
        }
    } else {
        while (*m_cursor != '\0' && !platform::IsBlank(*m_cursor)) {
            const size_t width = CharWidth(m_cursor);
            // A bare token has no limit of its own; one that does not fit its
            // buffer is refused like an over-long quoted one.
            if (length + width >= TokenSize)
                return DISP_E_EXCEPTION;
            std::memcpy(token + length, m_cursor, width);
            length += width;
            m_cursor += width;
        }
    }
    token[length] = '\0';
    return S_OK;
}

HRESULT CRegScriptParser::ApplyScript(const char* text, bool registerFlag) noexcept {
    RETURN_IF_FAILED(ExpandPlaceholders(text));

    HRESULT hr = S_OK;
    while (*m_cursor != '\0') {
        hr = ApplySection(registerFlag);
        if (FAILED(hr))
            break;
        SkipBlanks();
    }

    m_text.reset();
    m_cursor = nullptr;
    return hr;
}

HRESULT CRegScriptParser::ApplySection(bool registerFlag) noexcept {
    RETURN_IF_FAILED(ReadToken(m_token));
    HKEY root = nullptr;
    if (!FindRootKey(m_token, root))
        return DISP_E_EXCEPTION;
    RETURN_IF_FAILED(ReadToken(m_token));
    if (m_token[0] != '{')
        return DISP_E_EXCEPTION;
    if (!registerFlag)
        return WalkBlock(false, root, false);

    char* const sectionStart = m_cursor;
    const HRESULT hr = WalkBlock(true, root, false);
    if (FAILED(hr)) {
        // Take back what this section wrote; earlier sections stay.
        m_cursor = sectionStart;
        WalkBlock(false, root, false);
    }
    return hr;
}

HRESULT CRegScriptParser::WalkBlock(bool registerPass, HKEY parent, bool inheritedSkip) noexcept {
    if (m_depth >= MaxBlockDepth)
        return DISP_E_EXCEPTION;
    DepthScope level(m_depth);
    bool skip = inheritedSkip;
    bool deleteFlag = true;
    UniqueHKey key;

    RETURN_IF_FAILED(ReadToken(m_token));
    for (;;) {
        if (m_token[0] == '}')
            return S_OK;
        // Only an entry owns a block: one after a value, a "Delete" entry or
        // another block would be walked as entries of this level.
        if (Is(m_token, "{"))
            return DISP_E_EXCEPTION;

        if (Is(m_token, "ForceRemove") || Is(m_token, "Delete")) {
            const bool isDelete = Is(m_token, "Delete");
            RETURN_IF_FAILED(ReadToken(m_token));
            if (registerPass) {
                if (HasBackslash(m_token))
                    return DISP_E_EXCEPTION;
                // A missing key is no error, and a key that will not go is left.
                if (!IsProtectedKey(m_token))
                    DeleteKeyTree(parent, m_token);
                if (isDelete) {
                    // The entry may carry an assignment, which is read over.
                    RETURN_IF_FAILED(ReadToken(m_token));
                    RETURN_IF_FAILED(SkipValueClause());
                    continue;
                }
            }
        }
        if (Is(m_token, "NoRemove")) {
            deleteFlag = false;
            RETURN_IF_FAILED(ReadToken(m_token));
        }
        if (Is(m_token, "Val")) {
            RETURN_IF_FAILED(ValueEntry(registerPass, parent, skip));
            continue;
        }
        if (HasBackslash(m_token))
            return DISP_E_EXCEPTION;
        RETURN_IF_FAILED(registerPass ? RegisterKeyEntry(parent, key)
                                      : UnregisterKeyEntry(parent, key, inheritedSkip, skip, deleteFlag));
    }
}

HRESULT CRegScriptParser::ValueEntry(bool registerPass, HKEY parent, bool skip) noexcept {
    RETURN_IF_FAILED(ReadToken(m_token));
    // The name must survive the reads that follow it.
    if (static_cast<size_t>(lstrlenA(m_token)) >= ValueNameSize)
        return DISP_E_EXCEPTION;
    char name[ValueNameSize];
    lstrcpynA(name, m_token, ValueNameSize);

    RETURN_IF_FAILED(ReadToken(m_token));
    if (m_token[0] != '=')
        return DISP_E_EXCEPTION;

    if (registerPass)
        return WriteValue(parent, name);
    // A value that is not there is not an error.
    if (!skip)
        registry::DeleteValue(parent, name);
    return SkipValueClause();
}

HRESULT CRegScriptParser::RegisterKeyEntry(HKEY parent, UniqueHKey& key) noexcept {
    // A key that opens only for reading is still used: writes to it fail
    // silently, as every value write's result is ignored.
    if (registry::OpenKey(parent, m_token, KEY_ALL_ACCESS, key) != ERROR_SUCCESS &&
        registry::OpenKey(parent, m_token, KEY_READ, key) != ERROR_SUCCESS &&
        registry::CreateKey(parent, m_token, KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
        return DISP_E_EXCEPTION;

    RETURN_IF_FAILED(ReadToken(m_token));
    if (m_token[0] == '=')
        RETURN_IF_FAILED(WriteValue(key.get(), nullptr));
    if (!Is(m_token, "{"))
        return S_OK;
    RETURN_IF_FAILED(WalkBlock(true, key.get(), false));
    return ReadToken(m_token);
}

HRESULT CRegScriptParser::UnregisterKeyEntry(HKEY parent, UniqueHKey& key, bool inheritedSkip, bool& skip,
                                             bool deleteFlag) noexcept {
    // Write access lets the value entries of the key's block delete their values;
    // a read-only handle would keep them all. A key that opens only for reading
    // is still walked.
    if (!skip && registry::OpenKey(parent, m_token, KEY_READ | KEY_WRITE, key) != ERROR_SUCCESS &&
        registry::OpenKey(parent, m_token, KEY_READ, key) != ERROR_SUCCESS)
        skip = true;
    char name[KeyNameSize];
    lstrcpynA(name, m_token, KeyNameSize);

    if (skip || KeyHasSubkeys(key.get()) || KeyHasNamedValues(key.get())) {
        RETURN_IF_FAILED(ReadToken(m_token));
        RETURN_IF_FAILED(SkipValueClause());
        if (m_token[0] != '{') {
            if (!skip && !KeyHasSubkeys(key.get()))
                return CloseAndDelete(parent, key, name, deleteFlag);
            return S_OK;
        }

        RETURN_IF_FAILED(WalkBlock(false, skip ? nullptr : key.get(), skip));
        if (skip) {
            skip = inheritedSkip;
            RETURN_IF_FAILED(ReadToken(m_token));
            return SkipValueClause();
        }
        if (KeyHasSubkeys(key.get()))
            return ReadToken(m_token);
        RETURN_IF_FAILED(CloseAndDelete(parent, key, name, deleteFlag));
        RETURN_IF_FAILED(ReadToken(m_token));
        return SkipValueClause();
    }

    // The key holds at most its default value: it goes, and its block (if any)
    // is only read.
    RETURN_IF_FAILED(CloseAndDelete(parent, key, name, deleteFlag));
    RETURN_IF_FAILED(ReadToken(m_token));
    RETURN_IF_FAILED(SkipValueClause());
    if (m_token[0] != '{')
        return S_OK;
    RETURN_IF_FAILED(WalkBlock(false, nullptr, true));
    return ReadToken(m_token);
}

HRESULT CRegScriptParser::CloseAndDelete(HKEY parent, UniqueHKey& key, const char* name,
                                         bool deleteFlag) noexcept {
    if (!registry::CloseKey(key))
        return DISP_E_EXCEPTION;
    // A key that has gained subkeys meanwhile stays.
    if (deleteFlag)
        registry::DeleteKey(parent, name);
    return S_OK;
}

HRESULT CRegScriptParser::WriteValue(HKEY key, const char* name) noexcept {
    RETURN_IF_FAILED(ReadToken(m_token));
    DWORD type = REG_NONE;
    if (!FindTypeLetter(m_token, type))
        return DISP_E_EXCEPTION;
    SkipBlanks();
    RETURN_IF_FAILED(ReadToken(m_value));
    const size_t length = static_cast<size_t>(lstrlenA(m_value));

    // Write results are ignored: a value that cannot be stored does not fail the script.
    switch (type) {
    case REG_SZ:
        registry::SetValue(key, name, REG_SZ, m_value, static_cast<DWORD>(length + 1));
        break;
    case REG_DWORD: {
        m_wide[0] = L'\0';
        MultiByteToWideChar(CP_ACP, 0, m_value, -1, m_wide, static_cast<int>(TokenSize));
        // A text that is not a number (or does not fit 32 bits) writes 0.
        ULONG number = 0;
        if (FAILED(VarUI4FromStr(m_wide, 0, 0, &number)))
            number = 0;
        const DWORD data = number;
        registry::SetValue(key, name, REG_DWORD, &data, sizeof data);
        break;
    }
    default: {
        if (length % 2 != 0)
            return E_FAIL;
        // In place: byte i is written after characters 2i and 2i+1 are read.
        BYTE* bytes = reinterpret_cast<BYTE*>(m_value);
        for (size_t i = 0; i < length / 2; ++i)
            bytes[i] = static_cast<BYTE>(HexDigit(m_value[2 * i]) << 4 | HexDigit(m_value[2 * i + 1]));
        registry::SetValue(key, name, REG_BINARY, bytes, static_cast<DWORD>(length / 2));
        break;
    }
    }
    return ReadToken(m_token);
}

HRESULT CRegScriptParser::SkipValueClause() noexcept {
    if (m_token[0] != '=')
        return S_OK;
    RETURN_IF_FAILED(ReadToken(m_token));
    SkipBlanks();
    RETURN_IF_FAILED(ReadToken(m_value));
    return ReadToken(m_token);
}

bool CRegScriptParser::KeyHasSubkeys(HKEY key) noexcept {
    DWORD subkeys = 0;
    return registry::QueryCounts(key, &subkeys, nullptr) == ERROR_SUCCESS && subkeys > 0;
}

bool CRegScriptParser::KeyHasNamedValues(HKEY key) noexcept {
    DWORD values = 0;
    if (registry::QueryCounts(key, nullptr, &values) != ERROR_SUCCESS || values == 0)
        return false;
    if (values >= 2)
        return true;
    m_valueName[0] = '\0';
    return registry::FirstValueName(key, m_valueName, sizeof m_valueName) == ERROR_SUCCESS &&
           m_valueName[0] != '\0';
}

LONG CRegScriptParser::DeleteKeyTree(HKEY parent, const char* name) noexcept {
    UniqueHKey key;
    LONG result = registry::OpenKey(parent, name, KEY_READ | KEY_WRITE, key);
    if (result != ERROR_SUCCESS)
        return result;
    // Index 0 every time: each deletion moves the remaining subkeys up.
    char subkey[SubkeyNameSize];
    while (registry::FirstSubkeyName(key.get(), subkey, SubkeyNameSize) == ERROR_SUCCESS) {
        result = DeleteKeyTree(key.get(), subkey);
        if (result != ERROR_SUCCESS)
            return result;
    }
    key.reset();
    return registry::DeleteKey(parent, name);
}
