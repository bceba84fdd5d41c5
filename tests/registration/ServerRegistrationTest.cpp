// The server's registration exports run as users run them, through regsvr32 in
// the Wine prefix, and read back from the registry of this program's bitness;
// then the registration steps called in this process.

#include "FocuserVersion.h"
#include "contract/FocuserContract.h"
#include "registration/ServerRegistration.h"
#include "settings/StoredSettings.h"
#include "tests/common/TestSupport.h"
#include "tests/common/TextSupport.h"
#include "tests/registration/RegistryTree.h"
#include "tests/common/Process.h"
#include "tests/common/FocuserObjectMap.h"
#include "tests/common/SettingsKey.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using testing_support::GuidText;
using testing_support::Narrow;
using testing_support::ProcessResult;
using testing_support::RunProcess;

namespace {

constexpr char kDescription[] = "ASCOM Focuser Driver for Morvantis";
constexpr char kProgId[] = "Morvantis.Focuser";
constexpr char kVersionedProgId[] = "Morvantis.Focuser.1";
constexpr const char* kPlatformKey = sizeof(void*) == 8 ? "win64" : "win32";
constexpr const char* kBits = sizeof(void*) == 8 ? "64" : "32";

const std::string& ClassKey() {
    static const std::string key = "CLSID\\" + GuidText(CLSID_Focuser);
    return key;
}

std::string TypeLibPlatformKey() {
    return "TypeLib\\" + GuidText(LIBID_MorvantisLib) + "\\1.0\\0\\" + kPlatformKey;
}

std::string ShortPath(const std::string& path) {
    char buffer[MAX_PATH] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(buffer) : path;
}

std::string Directory(const std::string& path) {
    return path.substr(0, path.find_last_of("\\/") + 1);
}

bool SamePath(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

// A REG_SZ as DumpTree/ReadValue print it: type and bytes with the terminator.
std::string SzValue(const std::string& text) {
    std::string printed = "REG_SZ";
    for (unsigned char c : text + '\0') {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", c);
        printed += hex;
    }
    return printed;
}

std::string ClassesValue(const std::string& key, const char* name) {
    return testing_support::ReadValue(key, name, HKEY_CLASSES_ROOT);
}

void SetClassesText(const std::string& path, const char* name, const std::string& text) {
    platform::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr))
        << path;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)));
}

bool ProfileExistsIn(REGSAM view) {
    platform::UniqueHKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, g_settingsKey, 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// The profile key's values as the 32-bit view holds them.
std::string ProfileSnapshot() {
    std::string text = ProfileExistsIn(KEY_WOW64_32KEY) ? "present" : "missing";
    for (const char* name : {static_cast<const char*>(nullptr), "COM", "MaxPos"}) {
        const testing_support::StoredValue value = testing_support::ReadValue(name);
        text += std::string(" [") + (name ? name : "") + "] " + (value.present ? value.bytes : "-");
    }
    return text + " count " + std::to_string(testing_support::SettingsValueCount());
}

// The type library's own registration, which the platform writes.
void ExpectTypeLibraryAt(const std::string& libraryPath, const std::string& helpDirectory) {
    char registered[MAX_PATH] = {};
    platform::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CLASSES_ROOT, TypeLibPlatformKey().c_str(), 0, KEY_READ, key.put()))
        << TypeLibPlatformKey() << " is missing";
    DWORD size = sizeof registered - 1;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), nullptr, nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(registered), &size));
    EXPECT_TRUE(SamePath(libraryPath, registered))
        << "registered " << registered << ", expected " << libraryPath;
    const std::string versionKey = "TypeLib\\" + GuidText(LIBID_MorvantisLib) + "\\1.0";
    EXPECT_EQ(SzValue(kDescription), ClassesValue(versionKey, nullptr));
    // The help directory keeps its separator, as the server passes it.
    EXPECT_EQ(SzValue(helpDirectory), ClassesValue(versionKey + "\\HELPDIR", nullptr));
}

ProcessResult Regsvr32(const std::string& path, bool unregister = false) {
    return RunProcess(std::string("regsvr32.exe /s ") + (unregister ? "/u " : "") + "\"" + path + "\"",
                      60000);
}

std::string ProgramDirectory() {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    return Directory(exe);
}

// The client program beside this one: creates Morvantis.Focuser by its ProgID.
ProcessResult RunClient() {
    return RunProcess("\"" + ProgramDirectory() + "registration_client.exe\"", 60000);
}

// The type library that the build generated, one folder above the tests.
std::string GeneratedTypeLibrary() {
    const std::string tests = ProgramDirectory();
    return Directory(tests.substr(0, tests.size() - 1)) + "generated\\Focuser.tlb";
}

std::string LongPath(const std::string& path) {
    char buffer[MAX_PATH] = {};
    const DWORD length = GetLongPathNameA(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(buffer) : path;
}

void ExpectClientServedFrom(const std::string& serverPath) {
    const ProcessResult client = RunClient();
    ASSERT_TRUE(client.started);
    EXPECT_EQ(0u, client.exitCode) << client.output;
    const std::string prefix = "module ";
    ASSERT_EQ(0u, client.output.find(prefix)) << client.output;
    std::string loaded = client.output.substr(prefix.size());
    loaded = loaded.substr(0, loaded.find('\n'));
    EXPECT_TRUE(SamePath(LongPath(serverPath), LongPath(loaded)))
        << "served from " << loaded << ", expected " << serverPath;
}

// Writes the expected entries into a scratch key and dumps it the way the real
// keys are dumped, so the comparison covers every key, value name, type and byte.
class ExpectedTree {
public:
    explicit ExpectedTree(const char* name) : m_scratch(name) {}
    ExpectedTree& Key(const std::string& path) {
        testing_support::CreateKey(Path(path));
        return *this;
    }
    ExpectedTree& Text(const std::string& path, const char* name, const std::string& text) {
        testing_support::SetString(Path(path), name, text);
        return *this;
    }
    std::string Dump(const std::string& path) const { return testing_support::DumpTree(Path(path)); }

private:
    std::string Path(const std::string& path) const { return m_scratch.path() + "\\" + path; }
    testing_support::ScratchKey m_scratch;
};

std::string DumpClasses(const std::string& path) {
    return testing_support::DumpTree(path, HKEY_CLASSES_ROOT);
}

// Everything registration and unregistration may touch, for "nothing changed" checks.
std::string DumpAll() {
    return "[" + std::string(kVersionedProgId) + "]\n" + DumpClasses(kVersionedProgId) + "[" + kProgId +
           "]\n" + DumpClasses(kProgId) + "[class]\n" + DumpClasses(ClassKey()) + "[typelib]\n" +
           DumpClasses(TypeLibPlatformKey());
}

// A copy of the server in a folder of its own, removed with the folder afterwards.
class ServerCopy {
public:
    ServerCopy(const std::string& folderName, const std::string& fileName) {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        m_folder = std::string(temp) + folderName;
        m_path = m_folder + "\\" + fileName;
        CreateDirectoryA(m_folder.c_str(), nullptr);
        if (!CopyFileA(testing_support::DriverModulePath().c_str(), m_path.c_str(), FALSE))
            ADD_FAILURE() << "copying the server to " << m_path << " failed, error " << GetLastError();
    }
    ServerCopy(const ServerCopy&) = delete;
    ServerCopy& operator=(const ServerCopy&) = delete;
    ~ServerCopy() {
        Regsvr32(m_path, true);
        for (const std::string& file : m_extraFiles)
            DeleteFileA(file.c_str());
        DeleteFileA(m_path.c_str());
        RemoveDirectoryA(m_folder.c_str());
    }
    const std::string& path() const { return m_path; }
    const std::string& folder() const { return m_folder; }
    // A file of the same base name beside the server, with another extension.
    std::string Sibling(const char* extension) {
        const std::string sibling = m_path.substr(0, m_path.find_last_of('.')) + extension;
        m_extraFiles.push_back(sibling);
        return sibling;
    }

private:
    std::string m_folder;
    std::string m_path;
    std::vector<std::string> m_extraFiles;
};

// Takes the embedded type library (resource type "TYPELIB") out of reach of the
// resource loader by renaming its type in the file's resource directory, where
// the name is stored as a counted UTF-16 string. False unless exactly one is found.
bool HideTypeLibrary(const std::string& path) {
    std::string bytes;
    {
        platform::UniqueFile file(
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file)
            return false;
        const DWORD size = GetFileSize(file.get(), nullptr);
        bytes.resize(size);
        DWORD got = 0;
        if (!ReadFile(file.get(), &bytes[0], size, &got, nullptr) || got != size)
            return false;
    }
    const std::string name("\x07\0T\0Y\0P\0E\0L\0I\0B\0", 16);
    const size_t at = bytes.find(name);
    if (at == std::string::npos || bytes.find(name, at + 1) != std::string::npos)
        return false;
    bytes[at + 14] = 'X';
    platform::UniqueFile file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

class ServerRegistration : public testing::Test {
protected:
    // The prefix's registration of the server is put back as it was found.
    static void SetUpTestSuite() {
        const std::string value = ClassesValue(ClassKey() + "\\InprocServer32", nullptr);
        s_previousServer.clear();
        if (value != "missing") {
            char path[MAX_PATH] = {};
            platform::UniqueHKey key;
            DWORD size = sizeof path - 1;
            if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (ClassKey() + "\\InprocServer32").c_str(), 0, KEY_READ,
                              key.put()) == ERROR_SUCCESS &&
                RegQueryValueExA(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path),
                                 &size) == ERROR_SUCCESS)
                s_previousServer = LongPath(path);
        }
    }
    static void TearDownTestSuite() {
        Regsvr32(testing_support::DriverModulePath(), true);
        if (!s_previousServer.empty() &&
            GetFileAttributesA(s_previousServer.c_str()) != INVALID_FILE_ATTRIBUTES)
            Regsvr32(s_previousServer);
    }

    void SetUp() override {
        m_server = testing_support::DriverModulePath();
        ASSERT_TRUE(Regsvr32(m_server, true).started);
    }

    void ExpectClassTable(const std::string& serverPath) {
        const std::string clsid = GuidText(CLSID_Focuser);
        ExpectedTree expected("server-registration");
        expected.Text(kVersionedProgId, nullptr, kDescription)
            .Text(std::string(kVersionedProgId) + "\\CLSID", nullptr, clsid)
            .Text(kProgId, nullptr, kDescription)
            .Text(std::string(kProgId) + "\\CLSID", nullptr, clsid)
            .Text(std::string(kProgId) + "\\CurVer", nullptr, kVersionedProgId)
            .Text("class", nullptr, kDescription)
            .Text("class\\ProgID", nullptr, kVersionedProgId)
            .Text("class\\VersionIndependentProgID", nullptr, kProgId)
            .Key("class\\Programmable")
            .Text("class\\InprocServer32", nullptr, ShortPath(serverPath))
            .Text("class\\InprocServer32", "ThreadingModel", "Apartment")
            .Text("class\\TypeLib", nullptr, GuidText(LIBID_MorvantisLib));
        EXPECT_EQ(expected.Dump(kVersionedProgId), DumpClasses(kVersionedProgId));
        EXPECT_EQ(expected.Dump(kProgId), DumpClasses(kProgId));
        EXPECT_EQ(expected.Dump("class"), DumpClasses(ClassKey()));
    }

    std::string m_server;
    static std::string s_previousServer;
};

std::string ServerRegistration::s_previousServer;

TEST_F(ServerRegistration, RegisteringWritesTheClassTableAndTheTypeLibrary) {
    const ProcessResult registered = Regsvr32(m_server);
    ASSERT_TRUE(registered.started);
    ASSERT_EQ(0u, registered.exitCode) << registered.output;
    ExpectClassTable(m_server);
    ExpectTypeLibraryAt(m_server, Directory(m_server));
    ExpectClientServedFrom(m_server);
}

TEST_F(ServerRegistration, TheScriptsIdentifiersAreTheInterfaceDefinitions) {
    ASSERT_EQ(0u, Regsvr32(m_server).exitCode);
    struct Case {
        std::string key;
        REFGUID expected;
    };
    const Case cases[] = {
        {std::string(kProgId) + "\\CLSID", CLSID_Focuser},
        {std::string(kVersionedProgId) + "\\CLSID", CLSID_Focuser},
        {ClassKey() + "\\TypeLib", LIBID_MorvantisLib},
    };
    for (const Case& c : cases) {
        wchar_t text[64] = {};
        LONG size = sizeof text;
        ASSERT_EQ(
            ERROR_SUCCESS,
            RegQueryValueW(HKEY_CLASSES_ROOT, std::wstring(c.key.begin(), c.key.end()).c_str(), text, &size))
            << c.key;
        GUID read = {};
        ASSERT_EQ(S_OK, CLSIDFromString(text, &read)) << c.key << ": " << Narrow(text);
        EXPECT_TRUE(IsEqualGUID(c.expected, read)) << c.key << ": " << Narrow(text);
    }
    CLSID fromProgId = {};
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Morvantis.Focuser", &fromProgId));
    EXPECT_TRUE(IsEqualGUID(CLSID_Focuser, fromProgId));
}

TEST_F(ServerRegistration, RegisteringTwiceLeavesOneSetOfEntries) {
    ASSERT_EQ(0u, Regsvr32(m_server).exitCode);
    const std::string first = DumpAll();
    // Left-overs in the class key go with it; the ProgID keys are reused.
    SetClassesText(ClassKey() + "\\Stale", nullptr, "x");
    ASSERT_EQ(0u, Regsvr32(m_server).exitCode);
    EXPECT_FALSE(testing_support::KeyExists(ClassKey() + "\\Stale", HKEY_CLASSES_ROOT));
    EXPECT_EQ(first, DumpAll());
    ExpectClassTable(m_server);
}

TEST_F(ServerRegistration, UnregisteringRemovesTheServerAndKeepsEverythingElse) {
    testing_support::SettingsKeyGuard backup(testing_support::SettingsKeyGuard::Start::Empty);
    testing_support::StoreText("COM", "5");
    testing_support::StoreText("MaxPos", "20000");
    ASSERT_EQ(0u, Regsvr32(m_server).exitCode);
    const std::string otherClass = "CLSID\\{6D3C6F8E-2B61-4E1B-9A9F-0C0FFEE0" + std::string(kBits) + "01}";
    SetClassesText(otherClass, nullptr, "other");
    SetClassesText(otherClass + "\\InprocServer32", nullptr, "other.dll");
    const std::string otherBefore = DumpClasses(otherClass);
    const std::string profileBefore = ProfileSnapshot();

    struct Pass {
        const char* name;
    };
    for (const Pass& pass : {Pass{"first unregistration"}, Pass{"second unregistration"}}) {
        SCOPED_TRACE(pass.name);
        const ProcessResult removed = Regsvr32(m_server, true);
        ASSERT_TRUE(removed.started);
        EXPECT_EQ(0u, removed.exitCode) << removed.output;
        for (const std::string& key :
             {std::string(kVersionedProgId), std::string(kProgId), ClassKey(), TypeLibPlatformKey()})
            EXPECT_FALSE(testing_support::KeyExists(key, HKEY_CLASSES_ROOT)) << key << " is still there";
        EXPECT_TRUE(testing_support::KeyExists("CLSID", HKEY_CLASSES_ROOT));
        EXPECT_EQ(otherBefore, DumpClasses(otherClass));
        EXPECT_EQ(profileBefore, ProfileSnapshot());
    }
    RegDeleteTreeA(HKEY_CLASSES_ROOT, otherClass.c_str());
}

TEST_F(ServerRegistration, TheProfileKeyIsNamedOnlyWhenItExists) {
    testing_support::SettingsKeyGuard backup(testing_support::SettingsKeyGuard::Start::Empty);
    // The profile lives in the 32-bit view for servers of both bitnesses.
    const bool otherViewBefore = ProfileExistsIn(KEY_WOW64_64KEY);

    ASSERT_EQ(0u, Regsvr32(m_server).exitCode);
    EXPECT_FALSE(testing_support::SettingsKeyExists()) << "registration created the profile key";
    EXPECT_TRUE(testing_support::KeyExists(ClassKey(), HKEY_CLASSES_ROOT)) << "the class was not registered";

    testing_support::StoreText("COM", "5");
    testing_support::StoreText("MaxPos", "20000");
    ASSERT_EQ(0u, Regsvr32(m_server).exitCode);
    const testing_support::StoredValue name = testing_support::ReadValue(nullptr);
    ASSERT_TRUE(name.present) << "no display name";
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), name.type);
    EXPECT_EQ(std::string("Morvantis", 10), name.bytes);
    EXPECT_EQ(std::string("5", 2), testing_support::ReadValue("COM").bytes);
    EXPECT_EQ(std::string("20000", 6), testing_support::ReadValue("MaxPos").bytes);
    EXPECT_EQ(3, testing_support::SettingsValueCount());
    if (!otherViewBefore) {
        EXPECT_FALSE(ProfileExistsIn(KEY_WOW64_64KEY)) << "registration wrote into the 64-bit view";
    }
}

TEST_F(ServerRegistration, AServerInAFolderWithSpacesIsRegisteredUnderItsShortPath) {
    ServerCopy copy(std::string("Morvantis Test ") + kBits, "MorvantisFocuser.dll");
    const std::string shortPath = ShortPath(copy.path());
    ASSERT_EQ(std::string::npos, shortPath.find(' ')) << "no short form of " << copy.path();
    const ProcessResult registered = Regsvr32(copy.path());
    ASSERT_EQ(0u, registered.exitCode) << registered.output;
    EXPECT_EQ(SzValue(shortPath), ClassesValue(ClassKey() + "\\InprocServer32", nullptr));
    ExpectClassTable(copy.path());
    ExpectClientServedFrom(copy.path());
}

TEST_F(ServerRegistration, WithoutAnEmbeddedTypeLibraryTheTlbBesideTheServerIsRegistered) {
    ServerCopy copy(std::string("MorvantisNoTlb") + kBits, "MorvantisNoTlb.dll");
    ASSERT_TRUE(HideTypeLibrary(copy.path()));
    {
        platform::ComPtr<ITypeLib> embedded;
        const std::wstring widePath(copy.path().begin(), copy.path().end());
        ASSERT_TRUE(FAILED(LoadTypeLib(widePath.c_str(), embedded.put())))
            << "the copy still carries its library";
    }

    // Without a library anywhere the class is registered and the export fails;
    // the profile is named all the same.
    testing_support::SettingsKeyGuard backup(testing_support::SettingsKeyGuard::Start::Empty);
    testing_support::StoreText("COM", "5");
    const ProcessResult failed = Regsvr32(copy.path());
    EXPECT_NE(0u, failed.exitCode) << failed.output;
    ExpectClassTable(copy.path());
    EXPECT_FALSE(testing_support::KeyExists(TypeLibPlatformKey(), HKEY_CLASSES_ROOT));
    EXPECT_EQ(std::string("Morvantis", 10), testing_support::ReadValue(nullptr).bytes);

    const std::string library = GeneratedTypeLibrary();
    const std::string besideServer = copy.Sibling(".tlb");
    ASSERT_TRUE(CopyFileA(library.c_str(), besideServer.c_str(), FALSE)) << library << ": " << GetLastError();

    const ProcessResult registered = Regsvr32(copy.path());
    ASSERT_EQ(0u, registered.exitCode) << registered.output;
    ExpectClassTable(copy.path());
    ExpectTypeLibraryAt(besideServer, copy.folder() + "\\");
    ExpectClientServedFrom(copy.path());

    const ProcessResult removed = Regsvr32(copy.path(), true);
    EXPECT_EQ(0u, removed.exitCode) << removed.output;
    EXPECT_FALSE(testing_support::KeyExists(TypeLibPlatformKey(), HKEY_CLASSES_ROOT));
    EXPECT_FALSE(testing_support::KeyExists(ClassKey(), HKEY_CLASSES_ROOT));
}

TEST(ServerVersion, TheVersionResourceMarksTheFileAsSelfRegistering) {
    const std::string path = testing_support::DriverModulePath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    // The project's version, MAJOR.MINOR.PATCH.0.
    const DWORD high = (FOCUSER_VERSION_MAJOR << 16) | FOCUSER_VERSION_MINOR;
    const DWORD low = FOCUSER_VERSION_PATCH << 16;
    EXPECT_EQ(high, fixed->dwFileVersionMS);
    EXPECT_EQ(low, fixed->dwFileVersionLS);
    EXPECT_EQ(high, fixed->dwProductVersionMS);
    EXPECT_EQ(low, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

    struct Case {
        const char* name;
        const char* text;
    };
    const Case cases[] = {
        {"CompanyName", "Morvantis"},
        {"ProductName", "Morvantis"},
        {"FileVersion", FOCUSER_VERSION_TEXT ".0"},
        {"ProductVersion", FOCUSER_VERSION_TEXT ".0"},
        {"OriginalFilename", "MorvantisFocuser.dll"},
        {"OLESelfRegister", ""},
    };
    for (const Case& c : cases) {
        char* text = nullptr;
        UINT length = 0xdeadbeef;
        const std::string query = std::string("\\StringFileInfo\\040904B0\\") + c.name;
        ASSERT_TRUE(VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            << c.name;
        EXPECT_EQ(std::string(c.text), std::string(text != nullptr ? text : "(null)")) << c.name;
    }
}

TEST(PathPrefixLength, CountsUpToTheLastSeparator) {
    struct Case {
        const wchar_t* path;
        size_t expected;
    };
    const Case cases[] = {
        {nullptr, 0},
        {L"", 0},
        {L"Focuser.dll", 0},
        {L"C:", 2},
        {L"C:\\x\\y.dll", 5},
        {L"/a/b", 3},
        {L"a\\b/c:d", 6},
        {L"dir\\", 4},
        {L"\\\\server\\share", 9},
        {L"x:y:z", 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, PathPrefixLength(c.path)) << (c.path ? Narrow(c.path) : "(null)");
}

// The steps called in this process on a module object of its own, whose type
// library file is the built server loaded here.
class RegistrationSteps : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server);
        m_module.m_objectMap = testing_support::g_focuserObjectMap;
        m_module.m_hInstance = m_server.get();
        m_module.m_hInstTypeLib = m_server.get();
        Regsvr32(testing_support::DriverModulePath(), true);
    }
    void TearDown() override { UnregisterModuleTypeLib(m_module, nullptr); }

    platform::ComApartment m_apartment;
    platform::UniqueModule m_server{LoadLibraryA(testing_support::DriverModulePath().c_str())};
    CDriverModule m_module;
};

TEST_F(RegistrationSteps, LoadModuleTypeLibGivesTheLibraryAndItsFile) {
    struct Case {
        const char* name;
        const wchar_t* index;
        std::string expectedPath;
    };
    const std::string server = testing_support::DriverModulePath();
    const Case cases[] = {
        {"the module itself", nullptr, server},
        {"with an index text", L"\\1", server + "\\1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ITypeLib* library = reinterpret_cast<ITypeLib*>(static_cast<uintptr_t>(0xdeadbeef));
        BSTR path = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0xdeadbeef));
        ASSERT_EQ(S_OK, LoadModuleTypeLib(m_module, c.index, &library, &path));
        platform::ComPtr<ITypeLib> owned = platform::ComPtr<ITypeLib>::Attach(library);
        platform::UniqueBstr ownedPath(path);
        EXPECT_TRUE(SamePath(c.expectedPath, Narrow(path))) << Narrow(path);
        platform::UniqueLibAttr attributes(library);
        ASSERT_EQ(S_OK, library->GetLibAttr(attributes.put()));
        EXPECT_TRUE(IsEqualGUID(LIBID_MorvantisLib, attributes->guid));
    }
}

TEST_F(RegistrationSteps, LoadModuleTypeLibLeavesBothOutputsEmptyWhenNoFileHoldsALibrary) {
    // This program carries no library and has no ".tlb" beside it.
    m_module.m_hInstTypeLib = GetModuleHandleA(nullptr);
    ITypeLib* library = reinterpret_cast<ITypeLib*>(static_cast<uintptr_t>(0xdeadbeef));
    BSTR path = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0xdeadbeef));
    const HRESULT hr = LoadModuleTypeLib(m_module, nullptr, &library, &path);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(nullptr, library);
    EXPECT_EQ(nullptr, path);
    EXPECT_EQ(hr, RegisterModuleTypeLib(m_module, nullptr));
    EXPECT_EQ(hr, UnregisterModuleTypeLib(m_module, nullptr));
    EXPECT_EQ(E_POINTER, LoadModuleTypeLib(m_module, nullptr, nullptr, &path));
}

TEST_F(RegistrationSteps, AClassIdentifierNoEntryHasRegistersOnlyTheTypeLibrary) {
    const CLSID unknown = {0x6d3c6f8e, 0x2b61, 0x4e1b, {0x9a, 0x9f, 0x0c, 0x0f, 0xfe, 0xe0, 0x00, 0x02}};
    ASSERT_FALSE(testing_support::KeyExists(TypeLibPlatformKey(), HKEY_CLASSES_ROOT));
    EXPECT_EQ(S_OK, RegisterServer(m_module, true, &unknown));
    EXPECT_FALSE(testing_support::KeyExists(ClassKey(), HKEY_CLASSES_ROOT));
    EXPECT_FALSE(testing_support::KeyExists(kProgId, HKEY_CLASSES_ROOT));
    ExpectTypeLibraryAt(testing_support::DriverModulePath(), Directory(testing_support::DriverModulePath()));

    EXPECT_EQ(S_OK, UnregisterServer(m_module, true, &unknown));
    EXPECT_FALSE(testing_support::KeyExists(TypeLibPlatformKey(), HKEY_CLASSES_ROOT));
}

TEST_F(RegistrationSteps, CategoriesAreRegisteredAndUnregisteredByKind) {
    const CLSID testClass = {0x6d3c6f8e, 0x2b61, 0x4e1b, {0x9a, 0x9f, 0x0c, 0x0f, 0xfe, 0xe0, 0x00, 0x03}};
    const CATID implemented = {0x6d3c6f8e, 0x2b61, 0x4e1b, {0x9a, 0x9f, 0x0c, 0x0f, 0xfe, 0xe0, 0x00, 0x04}};
    const CATID required = {0x6d3c6f8e, 0x2b61, 0x4e1b, {0x9a, 0x9f, 0x0c, 0x0f, 0xfe, 0xe0, 0x00, 0x05}};
    const CategoryMapEntry categories[] = {{1, &implemented}, {2, &required}, {0, nullptr}};
    const std::string classKey = "CLSID\\" + GuidText(testClass);
    const std::string implementedKey = classKey + "\\Implemented Categories\\" + GuidText(implemented);
    const std::string requiredKey = classKey + "\\Required Categories\\" + GuidText(required);

    EXPECT_EQ(S_OK, RegisterClassCategories(testClass, nullptr, true));
    EXPECT_FALSE(testing_support::KeyExists(classKey, HKEY_CLASSES_ROOT))
        << "a null list registered something";

    EXPECT_EQ(S_OK, RegisterClassCategories(testClass, categories, true));
    EXPECT_TRUE(testing_support::KeyExists(implementedKey, HKEY_CLASSES_ROOT));
    EXPECT_TRUE(testing_support::KeyExists(requiredKey, HKEY_CLASSES_ROOT));
    EXPECT_FALSE(testing_support::KeyExists(classKey + "\\Required Categories\\" + GuidText(implemented),
                                            HKEY_CLASSES_ROOT));

    EXPECT_EQ(S_OK, RegisterClassCategories(testClass, categories, false));
    EXPECT_FALSE(testing_support::KeyExists(implementedKey, HKEY_CLASSES_ROOT));
    EXPECT_FALSE(testing_support::KeyExists(requiredKey, HKEY_CLASSES_ROOT));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, classKey.c_str());
}

} // namespace
