// The text layer of the registry script: replacement map, placeholder expansion
// and tokens.

#include "registration/RegScript.h"
#include "registration/RegScriptParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t* const ModuleText = L"C:\\Pro''gram %TEMP% Files\\it''s.dll";
const char* const ModuleAnsi = "C:\\Pro''gram %TEMP% Files\\it''s.dll";
const char* const Name31 = "N123456789012345678901234567890";
const char* const Name32 = "N1234567890123456789012345678901";

std::wstring Wide(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

void FillMap(CRegScript& script) {
    ASSERT_EQ(S_OK, script.AddReplacement(L"Module", ModuleText));
    ASSERT_EQ(S_OK, script.AddReplacement(Wide(Name31).c_str(), L"thirty-one"));
}

// Tracks the task-allocator blocks made while it is installed and fails the
// allocation or reallocation chosen by the test, to reach the out-of-memory paths.
class FailingMallocSpy : public IMallocSpy {
public:
    int allocsBeforeFailure = -1;
    int reallocsBeforeFailure = -1;
    std::set<void*> live;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
            *out = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    // Returning 0 for a nonzero request makes the allocator fail it.
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return Due(allocsBeforeFailure) ? 0 : size; }
    void* STDMETHODCALLTYPE PostAlloc(void* p) override {
        if (p != nullptr)
            live.insert(p);
        return p;
    }
    void* STDMETHODCALLTYPE PreFree(void* p, BOOL) override {
        live.erase(p);
        return p;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* p, SIZE_T size, void** real, BOOL) override {
        *real = p;
        m_reallocating = p;
        return Due(reallocsBeforeFailure) ? 0 : size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* p, BOOL) override {
        if (p != nullptr && live.erase(m_reallocating) != 0)
            live.insert(p);
        return p;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* p, BOOL) override { return p; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* p, BOOL) override { return p; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    static bool Due(int& countdown) {
        if (countdown < 0)
            return false;
        return countdown-- == 0;
    }
    void* m_reallocating = nullptr;
};

// Installs the spy for one scope.
class SpyScope {
public:
    explicit SpyScope(FailingMallocSpy& spy) { m_ok = CoRegisterMallocSpy(&spy) == S_OK; }
    ~SpyScope() {
        if (m_ok)
            CoRevokeMallocSpy();
    }
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

struct ExpansionCase {
    std::string source;
    std::string expected; // the expanded text on success
    HRESULT result;
};

TEST(RegScriptText, PlaceholdersExpandFromTheMapWithTheirLimits) {
    const std::string module = ModuleAnsi;
    const ExpansionCase cases[] = {
        {"plain text without placeholders", "plain text without placeholders", S_OK},
        {"", "", S_OK},
        {"%Module%", module, S_OK},
        {"%MODULE%", module, S_OK},
        {"%module%", module, S_OK},
        {"'%Module%' tail", "'" + module + "' tail", S_OK},
        {"a%%b", "a%b", S_OK},
        {"%%%%", "%%", S_OK},
        {"100%%", "100%", S_OK},
        {"x%Module%y%%z", "x" + module + "y%z", S_OK},
        {std::string("<%") + Name31 + "%>", "<thirty-one>", S_OK},
        {"%Unknown%", "", DISP_E_EXCEPTION},
        {std::string("%") + Name32 + "%", "", E_FAIL},
        {"abc%", "", DISP_E_EXCEPTION},
        {"%Module", "", DISP_E_EXCEPTION},
        {"%Module% and %Module", "", DISP_E_EXCEPTION},
    };
    for (const ExpansionCase& c : cases) {
        CRegScript script;
        FillMap(script);
        CRegScriptParser parser(script);
        const HRESULT hr = parser.ExpandPlaceholders(c.source.c_str());
        EXPECT_EQ(c.result, hr) << "source: " << c.source << " hr=0x" << std::hex << hr;
        if (c.result == S_OK && hr == S_OK) {
            EXPECT_EQ(c.expected, parser.Cursor()) << "source: " << c.source;
        }
    }
}

struct TokenCase {
    std::string source;
    std::vector<std::string> tokens; // read in order; the read after them fails
};

std::vector<std::string> ReadAll(const std::string& source, HRESULT& last) {
    CRegScript script;
    FillMap(script);
    CRegScriptParser parser(script);
    std::vector<std::string> tokens;
    last = parser.ExpandPlaceholders(source.c_str());
    if (FAILED(last))
        return tokens;
    static char token[CRegScriptParser::TokenSize];
    for (;;) {
        std::memset(token, 0x5A, sizeof token);
        last = parser.ReadToken(token);
        if (FAILED(last))
            break;
        tokens.push_back(token);
        if (tokens.size() > 20)
            break;
    }
    return tokens;
}

TEST(RegScriptText, TokensAreQuotedOrRunToTheNextBlank) {
    const std::string quoted4094(4094, 'q');
    const std::string bare4095(4095, 'b');
    const TokenCase cases[] = {
        {"'it''s'", {"it's"}},
        {"'' next", {"", "next"}},
        {"''''", {"'"}},
        {"'''x'''", {"'x'"}},
        {"'open", {}},
        {"first 'open", {"first"}},
        {"'close''", {}},
        {"'a'b", {"a", "b"}},
        {"'a'''", {"a'"}},
        {"Name=s 'x'", {"Name=s", "x"}},
        {"Key ='x'", {"Key", "='x'"}},
        {"a'b c%%d\\e", {"a'b", "c%d\\e"}},
        {"\t\r\n x \t\r\n", {"x"}},
        {" \t\r\n ", {}},
        {"", {}},
        {"a\vb\fc d", {"a\vb\fc", "d"}},
        {"{ } '{' '}' {x", {"{", "}", "{", "}", "{x"}},
        {"'%Module%'", {"C:\\Pro'gram %TEMP% Files\\it's.dll"}},
        {"'" + quoted4094 + "'", {quoted4094}},
        {"'" + quoted4094 + "q'", {}},
        {"'" + std::string(4093, 'q') + "'''", {std::string(4093, 'q') + "'"}},
        {bare4095, {bare4095}},
        {bare4095 + "b", {}},
    };
    for (const TokenCase& c : cases) {
        HRESULT last = S_OK;
        const std::vector<std::string> tokens = ReadAll(c.source, last);
        const std::string shown = c.source.size() > 60 ? c.source.substr(0, 60) + "..." : c.source;
        EXPECT_EQ(c.tokens, tokens) << "source: " << shown;
        EXPECT_EQ(DISP_E_EXCEPTION, last) << "source: " << shown << " hr=0x" << std::hex << last;
    }
}

TEST(RegScriptText, FirstOfTwoPairsWithOneNameWinsInAnyCase) {
    CRegScript script;
    ASSERT_EQ(S_OK, script.AddReplacement(L"Module", L"first"));
    ASSERT_EQ(S_OK, script.AddReplacement(L"MODULE", L"second"));
    ASSERT_EQ(S_OK, script.AddReplacement(L"Other", L"other"));
    const struct {
        const char* name;
        const wchar_t* expected;
    } lookups[] = {{"module", L"first"}, {"MODULE", L"first"}, {"oTHER", L"other"},
                   {"Modul", nullptr},   {"Modules", nullptr}, {"", nullptr}};
    for (const auto& lookup : lookups) {
        const wchar_t* found = script.FindReplacement(lookup.name);
        if (lookup.expected == nullptr) {
            EXPECT_EQ(nullptr, found) << lookup.name;
        } else {
            EXPECT_STREQ(lookup.expected, found) << lookup.name;
        }
    }
}

TEST(RegScriptText, MapKeepsEveryPairAcrossGrowthAndForgetsThemWhenCleared) {
    CRegScript script;
    // 45 pairs cross the capacities 10, 20 and 40.
    for (int i = 0; i < 45; ++i) {
        const std::wstring name = L"Name" + std::to_wstring(i);
        const std::wstring text = L"text" + std::to_wstring(i);
        ASSERT_EQ(S_OK, script.AddReplacement(name.c_str(), text.c_str())) << i;
    }
    for (int i = 0; i < 45; ++i) {
        const std::string name = "NAME" + std::to_string(i);
        const std::wstring text = L"text" + std::to_wstring(i);
        const wchar_t* found = script.FindReplacement(name.c_str());
        ASSERT_NE(nullptr, found) << name;
        EXPECT_EQ(text, found) << name;
    }
    script.ClearReplacements();
    EXPECT_EQ(nullptr, script.FindReplacement("Name0"));
    EXPECT_EQ(nullptr, script.FindReplacement("Name44"));
    ASSERT_EQ(S_OK, script.AddReplacement(L"Name0", L"again"));
    EXPECT_STREQ(L"again", script.FindReplacement("name0"));
}

TEST(RegScriptText, FailedCopyOfAPairLeavesTheEarlierPairs) {
    for (int failing = 0; failing < 2; ++failing) {
        CRegScript script;
        ASSERT_EQ(S_OK, script.AddReplacement(L"Kept", L"kept"));
        FailingMallocSpy spy;
        {
            SpyScope scope(spy);
            ASSERT_TRUE(scope.ok());
            spy.allocsBeforeFailure = failing; // 0: the name's copy, 1: the text's
            EXPECT_EQ(E_OUTOFMEMORY, script.AddReplacement(L"Lost", L"lost")) << "failing copy " << failing;
            EXPECT_EQ(0u, spy.live.size()) << "failing copy " << failing << " leaked a block";
        }
        EXPECT_STREQ(L"kept", script.FindReplacement("Kept"));
        EXPECT_EQ(nullptr, script.FindReplacement("Lost"));
    }
}

TEST(RegScriptText, ExpansionReportsOutOfMemoryAndFreesItsBuffer) {
    CRegScript script;
    FillMap(script);
    // The replacement is longer than twice the source, so the buffer must grow.
    const char* source = "%Module%";
    struct {
        const char* what;
        int allocs;
        int reallocs;
    } cases[] = {{"first allocation", 0, -1}, {"growth", -1, 0}};
    for (const auto& c : cases) {
        FailingMallocSpy spy;
        SpyScope scope(spy);
        ASSERT_TRUE(scope.ok());
        {
            CRegScriptParser parser(script);
            spy.allocsBeforeFailure = c.allocs;
            spy.reallocsBeforeFailure = c.reallocs;
            EXPECT_EQ(E_OUTOFMEMORY, parser.ExpandPlaceholders(source)) << c.what;
            spy.allocsBeforeFailure = c.allocs;
            spy.reallocsBeforeFailure = c.reallocs;
            EXPECT_EQ(E_OUTOFMEMORY, parser.ApplyScript(source, true)) << c.what;
        }
        EXPECT_EQ(0u, spy.live.size()) << c.what << ": a block outlived the failed expansion";
    }
}

} // namespace
