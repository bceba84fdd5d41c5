// Scripts run from module resources: this program's own file, and copies of the
// script module under paths with spaces and apostrophes.

#include "platform/Owners.h"
#include "registration/RegScript.h"
#include "tests/common/TestSupport.h"
#include "tests/registration/RegistryTree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using testing_support::DumpTree;
using testing_support::ScratchKey;

namespace {

const char* const Group = "regscript-resource";
const WORD ValueScript = 201;
const WORD NulScript = 202;
const WORD UnknownPlaceholderScript = 203;

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::string OwnPathA() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string ShortPath(const std::string& path) {
    char shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : std::string(shortPath);
}

// A REG_SZ value as ReadValue shows it.
std::string Sz(const std::string& text) {
    std::string shown = "REG_SZ";
    for (unsigned char c : text) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", c);
        shown += hex;
    }
    return shown + " 00";
}

TEST(RegScriptResource, RunsAScriptResourceOfAModuleFileInBothPasses) {
    ScratchKey scratch(Group);
    CRegScript script;
    ASSERT_EQ(S_OK, script.AddReplacement(L"Module", L"C:\\it''s\\x.dll"));
    ASSERT_EQ(S_OK, script.AddReplacement(L"Extra", L"extra"));

    ASSERT_EQ(S_OK, script.RunResourceScript(OwnPath().c_str(), ValueScript, L"REGISTRY", true));
    const std::string key = scratch.path() + "\\FromResource";
    EXPECT_EQ(Sz("C:\\it's\\x.dll"), testing_support::ReadValue(key, nullptr));
    EXPECT_EQ(Sz("extra"), testing_support::ReadValue(key, "Extra"));

    ASSERT_EQ(S_OK, script.RunResourceScript(OwnPath().c_str(), ValueScript, L"registry", false));
    EXPECT_EQ("", DumpTree(scratch.path()));
}

TEST(RegScriptResource, ScriptTextEndsAtAnInnerNul) {
    ScratchKey scratch(Group);
    CRegScript script;
    ASSERT_EQ(S_OK, script.RunResourceScript(OwnPath().c_str(), NulScript, L"REGISTRY", true));
    EXPECT_EQ("key BeforeNul\n", DumpTree(scratch.path()));
}

TEST(RegScriptResource, LoadingFailuresAreTheLastErrorAndApplyNothing) {
    ScratchKey scratch(Group);
    const std::wstring own = OwnPath();
    const struct {
        const char* what;
        const wchar_t* path;
        WORD id;
        const wchar_t* type;
        HRESULT expected;
    } cases[] = {
        {"missing id", own.c_str(), 299, L"REGISTRY", HRESULT(0x80070716)}, // ERROR_RESOURCE_NAME_NOT_FOUND
        {"missing type", own.c_str(), ValueScript, L"NOSUCHTYPE", HRESULT(0x80070715)}, // ..._TYPE_NOT_FOUND
        {"unknown placeholder", own.c_str(), UnknownPlaceholderScript, L"REGISTRY", DISP_E_EXCEPTION},
    };
    for (const auto& c : cases) {
        CRegScript script;
        ASSERT_EQ(S_OK, script.AddReplacement(L"Module", L"m"));
        ASSERT_EQ(S_OK, script.AddReplacement(L"Extra", L"e"));
        const HRESULT hr = script.RunResourceScript(c.path, c.id, c.type, true);
        EXPECT_EQ(c.expected, hr) << c.what << ": 0x" << std::hex << hr;
        EXPECT_EQ("", DumpTree(scratch.path())) << c.what;
    }

    CRegScript script;
    const HRESULT hr = script.RunResourceScript(L"C:\\no\\such\\module.dll", ValueScript, L"REGISTRY", true);
    // Not found, by file or by path, depending on the platform.
    EXPECT_TRUE(hr == HRESULT(0x80070002) || hr == HRESULT(0x80070003) || hr == HRESULT(0x8007007E))
        << "0x" << std::hex << hr;
}

TEST(RegScriptResource, ModuleScriptTakesTheModulesShortPathAndTheExtraPairs) {
    ScratchKey scratch(Group);
    const std::string key = scratch.path() + "\\FromResource";
    const std::string shortPath = ShortPath(OwnPathA());
    ASSERT_FALSE(shortPath.empty());

    // Lookup takes the first pair: an extra "Module" never replaces the module's path.
    const ReplacementPair extra[] = {{L"Extra", L"from pair"}, {L"Module", L"ignored"}, {nullptr, nullptr}};
    ASSERT_EQ(S_OK, RunModuleScriptFrom(GetModuleHandleW(nullptr), ValueScript, true, extra));
    EXPECT_EQ(Sz(shortPath), testing_support::ReadValue(key, nullptr));
    EXPECT_EQ(Sz("from pair"), testing_support::ReadValue(key, "Extra"));
    ASSERT_EQ(S_OK, RunModuleScriptFrom(GetModuleHandleW(nullptr), ValueScript, false, extra));
    EXPECT_EQ("", DumpTree(scratch.path()));

    // Without the extra pairs the script's "%Extra%" is unknown.
    EXPECT_EQ(DISP_E_EXCEPTION, RunModuleScriptFrom(GetModuleHandleW(nullptr), ValueScript, true, nullptr));
    EXPECT_EQ("", DumpTree(scratch.path()));
}

// A copy of the script module in a directory of its own below the temp folder.
class ModuleCopy {
public:
    ModuleCopy(const std::string& directory, const std::string& file) {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        m_root = std::string(temp) + "regscript " + std::to_string(GetCurrentProcessId());
        m_directory = m_root + "\\" + directory;
        m_path = m_directory + "\\" + file;
        CreateDirectoryA(m_root.c_str(), nullptr);
        CreateDirectoryA(m_directory.c_str(), nullptr);
        const std::string own = OwnPathA();
        const std::string source = own.substr(0, own.find_last_of('\\')) + "\\regscript_module.dll";
        if (CopyFileA(source.c_str(), m_path.c_str(), FALSE))
            m_module.reset(LoadLibraryA(m_path.c_str()));
    }
    ~ModuleCopy() {
        m_module.reset();
        DeleteFileA(m_path.c_str());
        RemoveDirectoryA(m_directory.c_str());
        RemoveDirectoryA(m_root.c_str());
    }
    HMODULE module() const { return m_module.get(); }
    const std::string& path() const { return m_path; }

private:
    std::string m_root, m_directory, m_path;
    platform::UniqueModule m_module;
};

TEST(RegScriptResource, ModuleUnderSpacesAndApostrophesIsRegisteredByItsShortPath) {
    ScratchKey scratch(Group);
    const std::string key = scratch.path() + "\\FromResource";
    const ReplacementPair extra[] = {{L"Extra", L"x"}, {nullptr, nullptr}};
    const struct {
        const char* directory;
        const char* file;
        const char* mustHold; // a character the short path keeps
    } cases[] = {{"with space", "script module.dll", nullptr}, {"o'brien", "it's.dll", "'"}};
    for (const auto& c : cases) {
        ModuleCopy copy(c.directory, c.file);
        ASSERT_NE(nullptr, copy.module()) << copy.path() << " error " << GetLastError();
        const std::string shortPath = ShortPath(copy.path());
        ASSERT_FALSE(shortPath.empty()) << copy.path();
        if (c.mustHold != nullptr) {
            ASSERT_NE(std::string::npos, shortPath.find(c.mustHold)) << shortPath;
        } else {
            ASSERT_NE(copy.path(), shortPath) << "the platform gave no short form";
        }

        ASSERT_EQ(S_OK, RunModuleScriptFrom(copy.module(), ValueScript, true, extra)) << copy.path();
        EXPECT_EQ(Sz(shortPath), testing_support::ReadValue(key, nullptr)) << copy.path();
        ASSERT_EQ(S_OK, RunModuleScriptFrom(copy.module(), ValueScript, false, extra)) << copy.path();
        EXPECT_EQ("", DumpTree(scratch.path())) << copy.path();
    }
}

} // namespace
