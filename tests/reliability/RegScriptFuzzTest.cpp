// Thousands of generated and mutated registry scripts through both passes of the
// interpreter. Every root key of the process is redirected into a scratch tree
// under HKCU (RegOverridePredefKey), so that even a script that closes its blocks
// early or names another root lands there; probes of the real roots prove it.

#include "registration/RegScript.h"
#include "registration/RegScriptParser.h"
#include "tests/common/TestSupport.h"
#include "tests/common/TextSupport.h"
#include "tests/reliability/FuzzSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

using platform::UniqueHKey;
using reliability::CRandom;
using reliability::DumpTree;
using testing_support::Printable;

namespace {

constexpr char kScratchPath[] = "Software\\MorvantisTests\\fuzz";
constexpr char kExpectedPath[] = "Software\\MorvantisTests\\fuzz-expected";
constexpr char kNeighbourPath[] = "Software\\MorvantisTests\\neighbour";
constexpr wchar_t kModulePath[] = L"C:\\PROGRA~1\\MORVAN~1\\MORVAN~1.DLL";

constexpr int kGeneratedScripts = 150;
constexpr int kMutatedScripts = 2500;

struct Root {
    const char* fullName;
    const char* shortName;
    HKEY key;
    const char* scratchName;
    bool redirected; // the override took effect: scripts may name this root
};

Root g_roots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT, "HKCR", false},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER, "HKCU", false},
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE, "HKLM", false},
    {"HKEY_USERS", "HKU", HKEY_USERS, "HKU", false},
    {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG, "HKCC", false},
    {"HKEY_PERFORMANCE_DATA", "HKPD", HKEY_PERFORMANCE_DATA, "HKPD", false},
    {"HKEY_DYN_DATA", "HKDD", HKEY_DYN_DATA, "HKDD", false},
};

bool IsDocumentedResult(HRESULT hr) {
    return hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL || hr == E_OUTOFMEMORY;
}

// The case under way, printed when the process takes a fatal exception.
std::string g_currentCase;

LONG CALLBACK ReportFatal(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
        code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_INT_DIVIDE_BY_ZERO) {
        std::fprintf(stderr, "exception 0x%08lX during: %s\n", static_cast<unsigned long>(code),
                     Printable(g_currentCase, 3000).c_str());
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The scratch tree: one key per root, HKCR seeded like a machine's (a CLSID key
// that holds another product's class, a TypeLib key), and the redirection of the
// process's root keys into it.
class CScratchRegistry {
public:
    CScratchRegistry() {
        Reset();
        Redirect();
        for (Root& root : g_roots) {
            UniqueHKey probe;
            root.redirected = RegCreateKeyExA(root.key, "redirect-probe", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_ALL_ACCESS, nullptr, probe.put(), nullptr) == ERROR_SUCCESS;
            probe.reset();
            Restore();
            if (root.redirected) {
                // Proven only if the probe key went into the scratch tree.
                const std::string path =
                    std::string(kScratchPath) + "\\" + root.scratchName + "\\redirect-probe";
                UniqueHKey check;
                root.redirected =
                    RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, check.put()) == ERROR_SUCCESS;
                if (!root.redirected) {
                    // The key went to the real root: take it back out.
                    RegDeleteKeyA(root.key, "redirect-probe");
                }
            } else {
                RegDeleteKeyA(root.key, "redirect-probe");
            }
            Redirect();
        }
        Restore();
        Reset();
    }
    ~CScratchRegistry() {
        Restore();
        m_keys.clear();
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratchPath);
        RegDeleteTreeA(HKEY_CURRENT_USER, kExpectedPath);
    }

    // Deletes both trees and seeds them again; the redirection must be off.
    void Reset() {
        m_keys.clear();
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratchPath);
        RegDeleteTreeA(HKEY_CURRENT_USER, kExpectedPath);
        for (const Root& root : g_roots) {
            m_keys.emplace_back();
            Seed(kScratchPath, root, m_keys.back());
            UniqueHKey expected;
            Seed(kExpectedPath, root, expected);
        }
    }

    void Redirect() {
        for (size_t i = 0; i < m_keys.size(); ++i)
            RegOverridePredefKey(g_roots[i].key, m_keys[i].get());
    }
    void Restore() {
        for (const Root& root : g_roots)
            RegOverridePredefKey(root.key, nullptr);
    }

    std::string Dump() const { return reliability::DumpPath(HKEY_CURRENT_USER, kScratchPath); }
    std::string DumpExpected() const { return reliability::DumpPath(HKEY_CURRENT_USER, kExpectedPath); }

private:
    static void Seed(const char* base, const Root& root, UniqueHKey& key) {
        const std::string path = std::string(base) + "\\" + root.scratchName;
        RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, key.put(), nullptr);
        if (root.key != HKEY_CLASSES_ROOT)
            return;
        UniqueHKey other;
        RegCreateKeyExA(key.get(), "CLSID\\{0B0A0D0E-1111-2222-3333-444455556666}\\InprocServer32", 0,
                        nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, other.put(), nullptr);
        RegSetValueExA(other.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("other.dll"), 10);
        UniqueHKey typeLib;
        RegCreateKeyExA(key.get(), "TypeLib\\{0B0A0D0E-7777-8888-9999-AAAABBBBCCCC}\\1.0", 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, typeLib.put(), nullptr);
    }

    std::vector<UniqueHKey> m_keys;
};

// Names that generated and mutated scripts use often; probed in the real roots.
const char* const kPoolNames[] = {"Morvantis.Focuser", "Morvantis.Focuser.1", "FuzzKey",
                                  "Programmable",      "InprocServer32",      "Alpha",
                                  "beta gamma"};

// The real roots at the names the scripts use, and a neighbour tree beside the
// scratch tree: what must not change, whatever a script does.
std::string ProbeOutside() {
    std::string out = "neighbour:\n" + reliability::DumpPath(HKEY_CURRENT_USER, kNeighbourPath);
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                          HKEY_CURRENT_CONFIG};
    for (HKEY root : roots) {
        for (const char* name : kPoolNames) {
            const std::string dump = reliability::DumpPath(root, name);
            if (dump != "<missing>")
                out += std::string(name) + ":\n" + dump;
        }
    }
    return out;
}

void SeedNeighbour() {
    RegDeleteTreeA(HKEY_CURRENT_USER, kNeighbourPath);
    UniqueHKey key;
    RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kNeighbourPath) + "\\CLSID\\Morvantis.Focuser").c_str(),
                    0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    RegSetValueExA(key.get(), "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Apartment"), 10);
}

HRESULT Apply(const std::string& text, bool registerPass) {
    CRegScript script;
    script.AddReplacement(L"Module", kModulePath);
    std::unique_ptr<CRegScriptParser> parser(new (std::nothrow) CRegScriptParser(script));
    if (!parser)
        return E_OUTOFMEMORY;
    return parser->ApplyScript(text.c_str(), registerPass);
}

// The class script as the registration runs it: resource REGISTRY 102 of the
// built module, or else the script source the resource is made from.
std::string RealScript() {
    platform::UniqueModule module(
        LoadLibraryExA(testing_support::DriverModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    HRSRC resource = module ? FindResourceA(module.get(), MAKEINTRESOURCEA(102), "REGISTRY") : nullptr;
    if (resource != nullptr) {
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(module.get(), resource)));
        if (bytes != nullptr) {
            const std::string text(bytes, SizeofResource(module.get(), resource));
            return text.substr(0, text.find('\0'));
        }
    }
    const std::string folder = std::string(FOCUSER_SOURCE_DIR) + "/resources/";
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((folder + "*.rgs").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    do {
        std::FILE* file = std::fopen((folder + found.cFileName).c_str(), "rb");
        if (file == nullptr)
            continue;
        char buffer[4096];
        size_t count = 0;
        std::string content;
        while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            content.append(buffer, count);
        std::fclose(file);
        if (content.find("Morvantis.Focuser") != std::string::npos)
            text = content;
    } while (text.empty() && FindNextFileA(search, &found));
    FindClose(search);
    return text;
}

// ---- Generated scripts: a random tree of keys and values, its text, and the
// registry it must produce.

struct GenValue {
    std::string name;
    char type; // 'S', 'D' or 'B'
    std::string text;
};

struct GenKey {
    std::string name;
    bool forceRemove = false;
    bool noRemove = false;
    bool hasDefault = false;
    GenValue defaultValue;
    std::vector<GenValue> values;
    std::vector<GenKey> children;
    bool block = false;
};

struct GenSection {
    const Root* root;
    std::vector<GenValue> values;
    std::vector<GenKey> keys;
};

bool IsReservedName(const std::string& name) {
    static const char* const words[] = {"ForceRemove", "NoRemove", "Delete", "Val", "CLSID", "TypeLib"};
    for (const char* w : words) {
        if (lstrcmpiA(name.c_str(), w) == 0)
            return true;
    }
    return name.empty() || name[0] == '}' || name[0] == '=' || name[0] == '{' || name[0] == '\'' ||
           name.back() == ' ';
}

std::string RandomName(CRandom& rng, bool allowBackslash) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static const char kOdd[] = " .-_{}='%!#&()[];,+~\xC0\xE9\xF6\xDF";
    for (;;) {
        std::string name;
        if (rng.Percent(20)) {
            name = rng.Pick(kPoolNames);
        } else {
            const int length = rng.Percent(5) ? rng.Between(100, 200) : rng.Between(1, 14);
            for (int i = 0; i < length; ++i) {
                if (rng.Percent(15))
                    name += kOdd[rng.Below(sizeof kOdd - 1)];
                else if (allowBackslash && rng.Percent(3))
                    name += '\\';
                else
                    name += kLetters[rng.Below(sizeof kLetters - 1)];
            }
        }
        if (!IsReservedName(name))
            return name;
    }
}

bool NameTaken(const std::vector<std::string>& taken, const std::string& name) {
    for (const std::string& t : taken) {
        if (lstrcmpiA(t.c_str(), name.c_str()) == 0)
            return true;
    }
    return false;
}

GenValue RandomValue(CRandom& rng, std::string name) {
    GenValue v{std::move(name), "SDB"[rng.Below(3)], std::string()};
    if (v.type == 'S') {
        const int length = rng.Percent(3) ? rng.Between(3000, 4093) : rng.Between(0, 40);
        for (int i = 0; i < length; ++i)
            v.text += static_cast<char>(rng.Percent(90) ? rng.Between(0x20, 0x7E) : rng.Between(0xC0, 0xFF));
    } else if (v.type == 'D') {
        v.text = std::to_string(rng.Percent(20) ? 4294967295u - rng.Below(3) : rng.Next() % 100000u);
    } else {
        static const char kHex[] = "0123456789abcdefABCDEFxz";
        const int bytes = rng.Percent(10) ? 0 : rng.Between(1, 40);
        for (int i = 0; i < 2 * bytes; ++i)
            v.text += kHex[rng.Below(sizeof kHex - 1)];
    }
    return v;
}

void FillKey(CRandom& rng, GenKey& key, int depth) {
    key.hasDefault = rng.Percent(50);
    if (key.hasDefault)
        key.defaultValue = RandomValue(rng, std::string());
    key.block = rng.Percent(60);
    if (!key.block)
        return;
    std::vector<std::string> valueNames;
    const int values = rng.Between(0, 3);
    for (int i = 0; i < values; ++i) {
        std::string name = RandomName(rng, true);
        if (NameTaken(valueNames, name))
            continue;
        valueNames.push_back(name);
        key.values.push_back(RandomValue(rng, name));
    }
    std::vector<std::string> keyNames;
    const int children = depth >= 4 ? 0 : rng.Between(0, 3);
    for (int i = 0; i < children; ++i) {
        std::string name = RandomName(rng, false);
        if (NameTaken(keyNames, name))
            continue;
        keyNames.push_back(name);
        GenKey child;
        child.name = name;
        child.forceRemove = rng.Percent(20);
        FillKey(rng, child, depth + 1);
        key.children.push_back(std::move(child));
    }
}

std::vector<GenSection> RandomScript(CRandom& rng) {
    std::vector<GenSection> sections;
    std::vector<const Root*> usable;
    for (const Root& root : g_roots) {
        if (root.redirected)
            usable.push_back(&root);
    }
    std::vector<const Root*> used;
    const int count = rng.Between(1, 3);
    for (int s = 0; s < count; ++s) {
        const Root* root = usable[rng.Below(static_cast<uint32_t>(usable.size()))];
        bool seen = false;
        for (const Root* r : used)
            seen = seen || r == root;
        if (seen)
            continue;
        used.push_back(root);
        GenSection section{root, {}, {}};
        std::vector<std::string> names;
        const int keys = rng.Between(0, 4);
        for (int i = 0; i < keys; ++i) {
            std::string name = RandomName(rng, false);
            if (NameTaken(names, name))
                continue;
            names.push_back(name);
            GenKey key;
            key.name = name;
            key.forceRemove = rng.Percent(25);
            FillKey(rng, key, 1);
            section.keys.push_back(std::move(key));
        }
        if (rng.Percent(30)) {
            std::string name = RandomName(rng, true);
            section.values.push_back(RandomValue(rng, name));
        }
        // Like the class script: a new class under the shared CLSID key, last,
        // because NoRemove also spares every later sibling.
        if (root->key == HKEY_CLASSES_ROOT && rng.Percent(60)) {
            GenKey clsid;
            clsid.name = "CLSID";
            clsid.noRemove = true;
            clsid.block = true;
            GenKey cls;
            cls.name = "{" + std::to_string(rng.Next()) + "-fuzz}";
            cls.forceRemove = rng.Percent(70);
            FillKey(rng, cls, 2);
            clsid.children.push_back(std::move(cls));
            section.keys.push_back(std::move(clsid));
        }
        sections.push_back(std::move(section));
    }
    return sections;
}

// ---- Rendering: random white space, case and quoting, all of which the text
// layer must read the same way.

class CRenderer {
public:
    explicit CRenderer(CRandom& rng) : m_rng(rng) {}

    std::string Render(const std::vector<GenSection>& sections) {
        m_out.clear();
        if (m_rng.Percent(30))
            Blank();
        for (const GenSection& s : sections) {
            Word(m_rng.Percent(50) ? s.root->shortName : s.root->fullName, true);
            Word("{", false);
            for (const GenKey& k : s.keys) {
                if (&k == &s.keys.back() && k.noRemove) {
                    for (const GenValue& v : s.values)
                        Value(v);
                }
                Key(k);
            }
            if (s.keys.empty() || !s.keys.back().noRemove) {
                for (const GenValue& v : s.values)
                    Value(v);
            }
            Word("}", false);
        }
        if (m_rng.Percent(30))
            Blank();
        return m_out;
    }

private:
    void Blank() {
        static const char* const kBlanks[] = {" ", "\t", "\r\n", "\n", "  \t", "\r\n\t\t", " \r \n "};
        m_out += m_rng.Pick(kBlanks);
    }
    void Separate() {
        if (!m_out.empty())
            Blank();
    }
    // A keyword or structure token in random letter case.
    void Word(const char* word, bool anyCase) {
        Separate();
        for (const char* c = word; *c != '\0'; ++c) {
            char ch = *c;
            if (anyCase && m_rng.Percent(30))
                ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32
                                                              : (ch >= 'A' && ch <= 'Z' ? ch + 32 : ch));
            m_out += ch;
        }
    }
    // A name or text: quoted, or bare when that reads back the same.
    void Text(const std::string& text) {
        Separate();
        bool bareOk = !text.empty() && text[0] != '\'' && m_rng.Percent(40);
        for (char c : text)
            bareOk = bareOk && c != ' ' && c != '\t' && c != '\r' && c != '\n';
        if (!bareOk)
            m_out += '\'';
        for (char c : text) {
            if (c == '%')
                m_out += "%%";
            else if (c == '\'' && !bareOk)
                m_out += "''";
            else
                m_out += c;
        }
        if (!bareOk)
            m_out += '\'';
    }
    void Assignment(const GenValue& v) {
        Word("=", false);
        const char letter[2] = {v.type, '\0'};
        Word(letter, true);
        Text(v.text);
    }
    void Value(const GenValue& v) {
        Word("Val", true);
        Text(v.name);
        Assignment(v);
    }
    void Key(const GenKey& k) {
        if (k.forceRemove)
            Word("ForceRemove", true);
        if (k.noRemove)
            Word("NoRemove", true);
        Text(k.name);
        if (k.hasDefault)
            Assignment(k.defaultValue);
        if (!k.block)
            return;
        Word("{", false);
        for (const GenValue& v : k.values)
            Value(v);
        for (const GenKey& c : k.children)
            Key(c);
        Word("}", false);
    }

    CRandom& m_rng;
    std::string m_out;
};

// ---- The registry a generated script must leave, written by plain API calls.

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

void WriteExpectedValue(HKEY key, const GenValue& v, const char* name) {
    if (v.type == 'S') {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text.c_str()),
                       static_cast<DWORD>(v.text.size() + 1));
    } else if (v.type == 'D') {
        const DWORD number = static_cast<DWORD>(std::strtoul(v.text.c_str(), nullptr, 10));
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    } else {
        std::vector<BYTE> bytes;
        for (size_t i = 0; i + 1 < v.text.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(HexDigit(v.text[i]) * 16 + HexDigit(v.text[i + 1])));
        RegSetValueExA(key, name, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
}

void WriteExpectedKey(HKEY parent, const GenKey& k) {
    UniqueHKey key;
    RegCreateKeyExA(parent, k.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                    key.put(), nullptr);
    if (k.hasDefault)
        WriteExpectedValue(key.get(), k.defaultValue, nullptr);
    for (const GenValue& v : k.values)
        WriteExpectedValue(key.get(), v, v.name.c_str());
    for (const GenKey& c : k.children)
        WriteExpectedKey(key.get(), c);
}

void WriteExpected(const std::vector<GenSection>& sections) {
    for (const GenSection& s : sections) {
        UniqueHKey root;
        const std::string path = std::string(kExpectedPath) + "\\" + s.root->scratchName;
        RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, root.put());
        for (const GenValue& v : s.values)
            WriteExpectedValue(root.get(), v, v.name.c_str());
        for (const GenKey& k : s.keys)
            WriteExpectedKey(root.get(), k);
    }
}

// ---- Mutations of a script text.

const char* const kDictionary[] = {"{",
                                   "}",
                                   "=",
                                   "'",
                                   "''",
                                   "s",
                                   "d",
                                   "b",
                                   "x",
                                   "m",
                                   "val",
                                   "VAL",
                                   "ForceRemove",
                                   "noremove",
                                   "Delete",
                                   "CLSID",
                                   "typelib",
                                   "HKCR",
                                   "HKEY_CURRENT_USER",
                                   "hklm",
                                   "HKU",
                                   "HKCC",
                                   "%MODULE%",
                                   "%module%",
                                   "%%",
                                   "%",
                                   "%nope%",
                                   "%ABCDEFGHIJKLMNOPQRSTUVWXYZ01234%",
                                   "%ABCDEFGHIJKLMNOPQRSTUVWXYZ012345%",
                                   "'a b'",
                                   "=s",
                                   "a\\b",
                                   "''''",
                                   "'0aFF'",
                                   "'zz1'",
                                   "'4294967296'",
                                   "'-1'",
                                   "Morvantis.Focuser",
                                   "{'",
                                   "}}",
                                   "= s 'x'",
                                   "val v = b '0'",
                                   "Delete gone",
                                   "ForceRemove CLSID",
                                   "ForceRemove NoRemove k",
                                   "\t\r\n",
                                   "\x81\x40",
                                   "\xFF",
                                   "%%MODULE%%",
                                   "'%MODULE%'"};

std::string LongToken(CRandom& rng) {
    static const int kLengths[] = {259, 260, 300, 4093, 4094, 4095, 4096, 5000, 9000};
    const int length = rng.Pick(kLengths);
    const char fill = "a%'{= "[rng.Below(6)];
    if (rng.Percent(50))
        return "'" + std::string(static_cast<size_t>(length), fill == '\'' ? 'q' : fill) + "'";
    return std::string(static_cast<size_t>(length), fill == ' ' ? 'b' : fill);
}

std::string Mutate(CRandom& rng, std::string text) {
    const int steps = rng.Between(1, 4);
    for (int s = 0; s < steps; ++s) {
        const size_t at = text.empty() ? 0 : rng.Below(static_cast<uint32_t>(text.size() + 1));
        switch (rng.Below(9)) {
        case 0: // a byte of any value (a NUL ends the text early)
            if (!text.empty())
                text[rng.Below(static_cast<uint32_t>(text.size()))] = static_cast<char>(rng.Below(256));
            break;
        case 1:
        case 2: { // a token of the language, separated or glued to its neighbours
            std::string word = rng.Pick(kDictionary);
            if (rng.Percent(70))
                word = " " + word + " ";
            text.insert(at, word);
            break;
        }
        case 3: { // a range deleted
            const size_t length = rng.Below(40) + 1;
            if (at < text.size())
                text.erase(at, length);
            break;
        }
        case 4: { // a range repeated
            const size_t length = rng.Below(200) + 1;
            if (at < text.size())
                text.insert(at, text.substr(at, length));
            break;
        }
        case 5: // cut short
            text.resize(at);
            break;
        case 6:
            text.insert(at, " " + LongToken(rng) + " ");
            break;
        case 7: { // two lines swapped
            const size_t a = text.find('\n', at);
            if (a != std::string::npos) {
                const size_t b = text.find('\n', a + 1);
                if (b != std::string::npos) {
                    const std::string line = text.substr(a + 1, b - a);
                    text.erase(a + 1, b - a);
                    text.insert(rng.Below(static_cast<uint32_t>(text.size() + 1)), line);
                }
            }
            break;
        }
        default: // a stray structure character
            text.insert(at, 1, "{}='%\\"[rng.Below(6)]);
            break;
        }
    }
    return text;
}

class RegScriptFuzz : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_handler = AddVectoredExceptionHandler(1, ReportFatal);
        SeedNeighbour();
    }
    static void TearDownTestSuite() {
        RegDeleteTreeA(HKEY_CURRENT_USER, kNeighbourPath);
        if (s_handler != nullptr)
            RemoveVectoredExceptionHandler(s_handler);
    }

    // One pass with every root redirected into the scratch tree.
    HRESULT Run(const std::string& text, bool registerPass) {
        m_scratch.Redirect();
        const HRESULT hr = Apply(text, registerPass);
        m_scratch.Restore();
        return hr;
    }

    CScratchRegistry m_scratch;
    static void* s_handler;
};

void* RegScriptFuzz::s_handler = nullptr;

TEST_F(RegScriptFuzz, EveryRootNameOfTheScriptsIsRedirectedIntoTheScratchTree) {
    int redirected = 0;
    for (const Root& root : g_roots) {
        std::printf("  %s redirected: %s\n", root.shortName, root.redirected ? "yes" : "no (not used)");
        redirected += root.redirected ? 1 : 0;
    }
    // The roots that real scripts name must be usable; the two legacy roots
    // are optional because the platform may not let them be redirected.
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(g_roots[i].redirected) << g_roots[i].fullName;
    EXPECT_GE(redirected, 5);
}

TEST_F(RegScriptFuzz, ClassScriptOfTheModuleRegistersTwiceAlikeAndUnregistersToTheTreeBefore) {
    const std::string text = RealScript();
    ASSERT_FALSE(text.empty()) << "no REGISTRY 102 resource in " << testing_support::DriverModulePath();
    const std::string before = m_scratch.Dump();
    const std::string outside = ProbeOutside();

    ASSERT_EQ(S_OK, Run(text, true));
    const std::string once = m_scratch.Dump();
    EXPECT_NE(std::string::npos, once.find("\\HKCR\\Morvantis.Focuser\\CurVer")) << once;
    // The dump shows value data in hexadecimal.
    std::string modulePathHex;
    for (const wchar_t* c = kModulePath; *c != 0; ++c) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned>(*c));
        modulePathHex += hex;
    }
    EXPECT_NE(std::string::npos, once.find(modulePathHex + " 00\n")) << "module placeholder not expanded:\n"
                                                                     << once;
    ASSERT_EQ(S_OK, Run(text, true));
    EXPECT_EQ(once, m_scratch.Dump()) << "a second registration changed the tree";

    ASSERT_EQ(S_OK, Run(text, false));
    EXPECT_EQ(before, m_scratch.Dump());
    ASSERT_EQ(S_OK, Run(text, false));
    EXPECT_EQ(before, m_scratch.Dump()) << "a second unregistration changed the tree";
    EXPECT_EQ(outside, ProbeOutside());
}

TEST_F(RegScriptFuzz, GeneratedScriptsWriteWhatTheyDescribeAndUnregisterToTheTreeBefore) {
    CRandom rng(reliability::RunSeed("generated registry scripts", 0x4D6F7276));
    const std::string outside = ProbeOutside();
    int failures = 0;
    for (int i = 0; i < kGeneratedScripts && failures < 3; ++i) {
        const std::vector<GenSection> script = RandomScript(rng);
        CRenderer renderer(rng);
        const std::string text = renderer.Render(script);
        g_currentCase = "generated script " + std::to_string(i) + ": " + text;
        m_scratch.Reset();
        const std::string before = m_scratch.Dump();
        WriteExpected(script);
        const std::string expected = m_scratch.DumpExpected();

        const HRESULT first = Run(text, true);
        const std::string once = m_scratch.Dump();
        const HRESULT second = Run(text, true);
        const std::string twice = m_scratch.Dump();
        const HRESULT removed = Run(text, false);
        const std::string after = m_scratch.Dump();

        // The expected tree lives under another name: compare below the roots.
        const bool ok = first == S_OK && second == S_OK && removed == S_OK && once == expected &&
                        twice == once && after == before;
        if (!ok) {
            ++failures;
            ADD_FAILURE() << "script " << i << ": register 0x" << std::hex << first << ", again 0x" << second
                          << ", unregister 0x" << removed << std::dec << "\n"
                          << Printable(text, 3000) << "\n--- expected after register:\n"
                          << Printable(expected, 3000) << "\n--- actual:\n"
                          << Printable(once, 3000) << "\n--- after a second register:\n"
                          << Printable(twice, 3000) << "\n--- before:\n"
                          << Printable(before, 2000) << "\n--- after unregister:\n"
                          << Printable(after, 2000);
        }
    }
    EXPECT_EQ(outside, ProbeOutside());
    std::printf("  %d generated scripts registered, re-registered and unregistered\n", kGeneratedScripts);
}

TEST_F(RegScriptFuzz, MutatedScriptsGiveDocumentedResultsAndWriteNothingOutsideTheScratchTree) {
    CRandom rng(reliability::RunSeed("mutated registry scripts", 0x6D757461));
    std::vector<std::string> bases;
    bases.push_back(RealScript());
    ASSERT_FALSE(bases[0].empty());
    for (int i = 0; i < 20; ++i) {
        CRenderer renderer(rng);
        bases.push_back(renderer.Render(RandomScript(rng)));
    }
    const std::string outside = ProbeOutside();
    int counts[4] = {};
    int failures = 0;
    // The real roots are probed after every few scripts; the scripts since the
    // last probe are kept to name the culprit.
    constexpr int kProbeEvery = 10;
    std::string recent[kProbeEvery];
    const double started = testing_support::NowMs();
    for (int i = 0; i < kMutatedScripts && failures < 5; ++i) {
        std::string text = Mutate(rng, bases[rng.Below(static_cast<uint32_t>(bases.size()))]);
        if (rng.Percent(5))
            text += Mutate(rng, bases[rng.Below(static_cast<uint32_t>(bases.size()))]);
        g_currentCase = "mutated script " + std::to_string(i) + ": " + text;
        const bool registerFirst = rng.Percent(80);
        const HRESULT a = Run(text, registerFirst);
        const HRESULT b = Run(text, !registerFirst);
        for (HRESULT hr : {a, b}) {
            if (!IsDocumentedResult(hr)) {
                ++failures;
                ADD_FAILURE() << "script " << i << " gave 0x" << std::hex << hr << std::dec << ":\n"
                              << Printable(text, 2000);
            }
            counts[hr == S_OK ? 0 : hr == DISP_E_EXCEPTION ? 1 : hr == E_FAIL ? 2 : 3]++;
        }
        recent[i % kProbeEvery] = text;
        if (i % kProbeEvery == kProbeEvery - 1) {
            const std::string now = ProbeOutside();
            if (now != outside) {
                ++failures;
                std::string scripts;
                for (const std::string& r : recent)
                    scripts += Printable(r, 1000) + "\n---\n";
                ADD_FAILURE() << "one of scripts " << i + 1 - kProbeEvery << " to " << i
                              << " wrote outside the scratch tree:\n"
                              << scripts << "outside now:\n"
                              << Printable(now, 2000);
                break;
            }
        }
        if (i % 25 == 24)
            m_scratch.Reset();
    }
    EXPECT_EQ(outside, ProbeOutside());
    std::printf("  %d mutated scripts, both passes, in %.1f s: S_OK %d, DISP_E_EXCEPTION %d, E_FAIL %d, "
                "other %d\n",
                kMutatedScripts, (testing_support::NowMs() - started) / 1000.0, counts[0], counts[1],
                counts[2], counts[3]);
}

} // namespace
