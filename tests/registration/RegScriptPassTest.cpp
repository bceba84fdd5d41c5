// The register and unregister passes, run on scratch keys below
// HKCU\Software\MorvantisTests and compared with exact dumps of the subtree.

#include "registration/RegScript.h"
#include "registration/RegScriptParser.h"
#include "tests/common/TestSupport.h"
#include "tests/registration/RegistryTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using testing_support::DumpTree;
using testing_support::ScratchKey;

namespace {

const bool Register = true;
const bool Unregister = false;

// A root section that reaches the group's scratch key without touching the keys
// above it in either pass.
std::string Section(const std::string& group, const std::string& body, const std::string& root = "HKCU") {
    return root +
           "\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove MorvantisTests\r\n\t\t{\r\n\t\t\tNoRemove '" +
           group + "'\r\n\t\t\t{\r\n" + body + "\r\n\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
}

HRESULT ApplyText(const std::string& text, bool registerFlag) {
    CRegScript script;
    script.AddReplacement(L"Module", L"C:\\Mod''s\\x.dll");
    CRegScriptParser parser(script);
    return parser.ApplyScript(text.c_str(), registerFlag);
}

// The dump DumpTree would give for these lines.
std::string Tree(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::string Hr(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

TEST(RegScriptPasses, RootNamesMatchInAnyCaseFullOrAbbreviated) {
    const char* known[] = {"HKEY_CLASSES_ROOT",
                           "HKCR",
                           "HKEY_CURRENT_USER",
                           "HKCU",
                           "HKEY_LOCAL_MACHINE",
                           "HKLM",
                           "HKEY_USERS",
                           "HKU",
                           "HKEY_PERFORMANCE_DATA",
                           "HKPD",
                           "HKEY_DYN_DATA",
                           "HKDD",
                           "HKEY_CURRENT_CONFIG",
                           "HKCC",
                           "hkcu",
                           "hKEY_lOCAL_mACHINE",
                           "Hkcr"};
    // An empty block touches nothing, so every root can be named safely.
    for (const char* root : known) {
        EXPECT_EQ(S_OK, ApplyText(std::string(root) + " { }", Register)) << root;
        EXPECT_EQ(S_OK, ApplyText(std::string(root) + "\r\n{\r\n}\r\n", Unregister)) << root;
    }

    ScratchKey scratch("regscript-roots");
    for (const char* root : {"HKCU", "hkcu", "HKEY_CURRENT_USER", "hkey_Current_User"}) {
        ASSERT_EQ(S_OK, ApplyText(Section("regscript-roots", "val Written = s 'yes'", root), Register))
            << root;
        EXPECT_EQ(Tree({"value  [Written] REG_SZ 79 65 73 00"}), DumpTree(scratch.path())) << root;
        ASSERT_EQ(S_OK, ApplyText(Section("regscript-roots", "val Written = s 'yes'", root), Unregister))
            << root;
        EXPECT_EQ("", DumpTree(scratch.path())) << root;
    }
}

TEST(RegScriptPasses, ScriptsWithoutAKnownRootAndBlockFail) {
    const char* texts[] = {"HKCU\\Software { }", "HKCR\\CLSID { }", "HKXX { }",      "HKCU",
                           "HKCU Software { }",  "HKCU {",          "HKCU { } HKCU", "{ }",
                           " \t\r\n ",           "HKCU }"};
    for (const char* text : texts) {
        EXPECT_EQ(DISP_E_EXCEPTION, ApplyText(text, Register)) << text;
        EXPECT_EQ(DISP_E_EXCEPTION, ApplyText(text, Unregister)) << text;
    }
    for (const char* text : {"", "\r\n  HKCU\r\n{\r\n}\r\n\r\n\t "}) {
        EXPECT_EQ(S_OK, ApplyText(text, Register)) << "[" << text << "]";
        EXPECT_EQ(S_OK, ApplyText(text, Unregister)) << "[" << text << "]";
    }
}

struct ValueCase {
    const char* clause;
    HRESULT result;
    const char* written; // the value V as "type bytes"; empty when nothing stays
};

TEST(RegScriptPasses, ValueClausesWriteTheirTypeAndBytes) {
    const ValueCase cases[] = {
        {"s 'abc'", S_OK, "REG_SZ 61 62 63 00"},
        {"S ''", S_OK, "REG_SZ 00"},
        {"s 'it''s'", S_OK, "REG_SZ 69 74 27 73 00"},
        {"s '%Module%'", S_OK, "REG_SZ 43 3a 5c 4d 6f 64 27 73 5c 78 2e 64 6c 6c 00"},
        {"s bare", S_OK, "REG_SZ 62 61 72 65 00"},
        {"d '10'", S_OK, "REG_DWORD 0a 00 00 00"},
        {"D 4294967295", S_OK, "REG_DWORD ff ff ff ff"},
        {"d '&H1F'", S_OK, "REG_DWORD 1f 00 00 00"},
        // Texts the number conversion refuses write 0.
        {"d 'abc'", S_OK, "REG_DWORD 00 00 00 00"},
        {"d '-1'", S_OK, "REG_DWORD 00 00 00 00"},
        {"d '4294967296'", S_OK, "REG_DWORD 00 00 00 00"},
        {"b '0aFF'", S_OK, "REG_BINARY 0a ff"},
        {"B 'zz1g'", S_OK, "REG_BINARY 00 10"},
        {"b ''", S_OK, "REG_BINARY"},
        {"b 'abc'", E_FAIL, ""},
        {"b '0'", E_FAIL, ""},
        {"m 'x'", DISP_E_EXCEPTION, ""},
        {"sz 'x'", DISP_E_EXCEPTION, ""},
    };
    ScratchKey scratch("regscript-values");
    const std::string before = DumpTree(scratch.path());
    for (const ValueCase& c : cases) {
        // A value on the group key, and the same text as a key's default value.
        const std::string body = std::string("val V = ") + c.clause + "\r\nK = " + c.clause;
        const HRESULT hr = ApplyText(Section("regscript-values", body), Register);
        EXPECT_EQ(c.result, hr) << c.clause << " gave " << Hr(hr);
        if (*c.written != '\0') {
            EXPECT_EQ(c.written, testing_support::ReadValue(scratch.path(), "V")) << c.clause;
            EXPECT_EQ(c.written, testing_support::ReadValue(scratch.path() + "\\K", nullptr)) << c.clause;
            EXPECT_EQ(S_OK, ApplyText(Section("regscript-values", body), Unregister)) << c.clause;
        }
        // A failed register pass takes its section back.
        EXPECT_EQ(before, DumpTree(scratch.path())) << c.clause;
    }
}

TEST(RegScriptPasses, ValueNamesMayHoldBackslashesAndUpTo259Bytes) {
    ScratchKey scratch("regscript-valuenames");
    const std::string name259(259, 'n');
    const std::string name260(260, 'n');
    const struct {
        std::string name;
        HRESULT result;
    } cases[] = {{"'a\\b'", S_OK},
                 {"a\\b\\c", S_OK},
                 {"'" + name259 + "'", S_OK},
                 {"'" + name260 + "'", DISP_E_EXCEPTION}};
    for (const auto& c : cases) {
        const std::string body = "val " + c.name + " = s 'x'";
        EXPECT_EQ(c.result, ApplyText(Section("regscript-valuenames", body), Register)) << c.name;
        EXPECT_EQ(c.result, ApplyText(Section("regscript-valuenames", body), Unregister)) << c.name;
        EXPECT_EQ("", DumpTree(scratch.path())) << c.name;
    }
    ASSERT_EQ(S_OK, ApplyText(Section("regscript-valuenames", "val 'a\\b' = s 'x'"), Register));
    EXPECT_EQ("REG_SZ 78 00", testing_support::ReadValue(scratch.path(), "a\\b"));
    EXPECT_FALSE(testing_support::KeyExists(scratch.path() + "\\a"));
}

TEST(RegScriptPasses, KeyNamesWithABackslashFailInBothPasses) {
    ScratchKey scratch("regscript-backslash");
    testing_support::CreateKey(scratch.path() + "\\K\\Sub");
    const std::string before = DumpTree(scratch.path());
    for (const char* body : {"K\\Sub", "'K\\Sub' = s 'x'", "ForceRemove K\\Sub", "Delete K\\Sub",
                             "NoRemove K\\Sub", "New { Inner\\Deeper }"}) {
        EXPECT_EQ(DISP_E_EXCEPTION, ApplyText(Section("regscript-backslash", body), Register)) << body;
        EXPECT_EQ(before, DumpTree(scratch.path())) << body;
        EXPECT_EQ(DISP_E_EXCEPTION, ApplyText(Section("regscript-backslash", body), Unregister)) << body;
        EXPECT_EQ(before, DumpTree(scratch.path())) << body;
    }
}

TEST(RegScriptPasses, ForceRemoveAndDeleteSpareOnlyTheProtectedNames) {
    const struct {
        const char* name;
        bool isProtected;
    } cases[] = {{"CLSID", true},   {"clsid", true},   {"ClSiD", true},  {"TYPELIB", true},
                 {"TypeLib", true}, {"CLSIDs", false}, {"Target", false}};
    ScratchKey scratch("regscript-force");
    for (const auto& c : cases) {
        const std::string key = scratch.path() + "\\" + c.name;
        for (const char* word : {"ForceRemove", "Delete"}) {
            testing_support::SetString(key + "\\Foreign\\Deep", "Old", "old");
            testing_support::SetString(key, "Old", "old");
            std::string body = std::string(word) + " '" + c.name + "'";
            if (std::string(word) == "ForceRemove")
                body += " { Mine }";
            ASSERT_EQ(S_OK, ApplyText(Section("regscript-force", body), Register)) << word << " " << c.name;
            EXPECT_EQ(c.isProtected, testing_support::KeyExists(key + "\\Foreign\\Deep"))
                << word << " " << c.name;
            EXPECT_EQ(c.isProtected, testing_support::ReadValue(key, "Old") != "missing")
                << word << " " << c.name;
            // ForceRemove builds the key again; Delete leaves it gone.
            const bool rebuilt = std::string(word) == "ForceRemove";
            EXPECT_EQ(rebuilt, testing_support::KeyExists(key + "\\Mine")) << word << " " << c.name;
            EXPECT_EQ(rebuilt || c.isProtected, testing_support::KeyExists(key)) << word << " " << c.name;
            RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
        }
    }
}

TEST(RegScriptPasses, TheNameAfterForceRemoveIsAlwaysAKeyNameEvenNoRemove) {
    ScratchKey scratch("regscript-forcenoremove");
    testing_support::CreateKey(scratch.path() + "\\NoRemove\\Foreign");
    const std::string script = Section("regscript-forcenoremove", "ForceRemove NoRemove Real { Mine }");
    ASSERT_EQ(S_OK, ApplyText(script, Register));
    EXPECT_EQ(Tree({"key Real", "key Real\\Mine"}), DumpTree(scratch.path()));
    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    EXPECT_EQ(Tree({"key Real"}), DumpTree(scratch.path()));
}

TEST(RegScriptPasses, DeleteReadsOverItsAssignmentAndGoesOnWithTheNextEntry) {
    ScratchKey scratch("regscript-delete");
    testing_support::SetString(scratch.path() + "\\Old\\Child", "V", "v");
    ASSERT_EQ(S_OK,
              ApplyText(Section("regscript-delete", "Delete Old = s 'x'\r\nNext = s 'n'\r\nDelete Missing"),
                        Register));
    EXPECT_EQ(Tree({"key Next", "value Next [] REG_SZ 6e 00"}), DumpTree(scratch.path()));
}

TEST(RegScriptPasses, ABlockThatNoEntryOwnsFails) {
    ScratchKey scratch("regscript-strayblock");
    const std::string before = DumpTree(scratch.path());
    for (const char* body : {"val V = s 'x' { K }", "Delete X { K }", "A { } { K }", "{ K }"}) {
        EXPECT_EQ(DISP_E_EXCEPTION, ApplyText(Section("regscript-strayblock", body), Register)) << body;
        EXPECT_EQ(before, DumpTree(scratch.path())) << body;
    }
}

TEST(RegScriptPasses, RegisterReusesKeysAndRewritesValuesButKeepsTheRest) {
    ScratchKey scratch("regscript-reuse");
    testing_support::SetString(scratch.path() + "\\Key", nullptr, "old default");
    testing_support::SetString(scratch.path() + "\\Key", "Foreign", "kept");
    testing_support::CreateKey(scratch.path() + "\\Key\\ForeignChild");
    ASSERT_EQ(S_OK, ApplyText(Section("regscript-reuse", "Key = s 'new' { val Named = d 7 }"), Register));
    EXPECT_EQ(Tree({"key Key", "key Key\\ForeignChild", "value Key [] REG_SZ 6e 65 77 00",
                    "value Key [Foreign] REG_SZ 6b 65 70 74 00", "value Key [Named] REG_DWORD 07 00 00 00"}),
              DumpTree(scratch.path()));
}

// The shape of a class registration: ProgIDs, a shared CLSID key that holds other
// classes too, and a class key that ForceRemove rebuilds.
const char* const ClassBody =
    "\t\t\t\t'Morvantis.Test.1' = s 'Test Class'\r\n"
    "\t\t\t\t{\r\n\t\t\t\t\tCLSID = s '{11111111-2222-3333-4444-555555555555}'\r\n\t\t\t\t}\r\n"
    "\t\t\t\t'Morvantis.Test' = s 'Test Class'\r\n"
    "\t\t\t\t{\r\n"
    "\t\t\t\t\tCLSID = s '{11111111-2222-3333-4444-555555555555}'\r\n"
    "\t\t\t\t\tCurVer = s 'Morvantis.Test.1'\r\n"
    "\t\t\t\t}\r\n"
    "\t\t\t\tNoRemove CLSID\r\n"
    "\t\t\t\t{\r\n"
    "\t\t\t\t\tForceRemove {11111111-2222-3333-4444-555555555555} = s 'Test Class'\r\n"
    "\t\t\t\t\t{\r\n"
    "\t\t\t\t\t\tProgID = s 'Morvantis.Test.1'\r\n"
    "\t\t\t\t\t\tForceRemove 'Programmable'\r\n"
    "\t\t\t\t\t\tInprocServer32 = s '%MODULE%'\r\n"
    "\t\t\t\t\t\t{\r\n"
    "\t\t\t\t\t\t\tval ThreadingModel = s 'Apartment'\r\n"
    "\t\t\t\t\t\t}\r\n"
    "\t\t\t\t\t\t'TypeLib' = s '{66666666-7777-8888-9999-000000000000}'\r\n"
    "\t\t\t\t\t}\r\n"
    "\t\t\t\t}";

TEST(RegScriptPasses, ClassScriptRegistersOnceAndUnregistersToTheFormerState) {
    ScratchKey scratch("regscript-class");
    const std::string script = Section("regscript-class", ClassBody);
    testing_support::SetString(scratch.path() + "\\CLSID\\{other}\\InprocServer32", nullptr, "other.dll");
    testing_support::SetString(scratch.path() + "\\Unrelated", "Keep", "me");
    const std::string before = DumpTree(scratch.path());

    // Unregistering what was never registered deletes nothing.
    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    EXPECT_EQ(before, DumpTree(scratch.path()));

    ASSERT_EQ(S_OK, ApplyText(script, Register));
    const std::string once = DumpTree(scratch.path());
    const std::string clsid = scratch.path() + "\\CLSID\\{11111111-2222-3333-4444-555555555555}";
    EXPECT_EQ("REG_SZ 43 3a 5c 4d 6f 64 27 73 5c 78 2e 64 6c 6c 00",
              testing_support::ReadValue(clsid + "\\InprocServer32", nullptr));
    EXPECT_NE("missing", testing_support::ReadValue(clsid + "\\InprocServer32", "ThreadingModel"));
    EXPECT_TRUE(testing_support::KeyExists(clsid + "\\Programmable"));
    EXPECT_NE("missing", testing_support::ReadValue(scratch.path() + "\\Morvantis.Test\\CurVer", nullptr));

    // Registering again gives the same tree, even after foreign additions to the
    // class key, which ForceRemove clears.
    testing_support::SetString(clsid + "\\Stale", "Junk", "x");
    testing_support::SetString(clsid + "\\Programmable", "Junk", "x");
    ASSERT_EQ(S_OK, ApplyText(script, Register));
    EXPECT_EQ(once, DumpTree(scratch.path()));

    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    EXPECT_EQ(before, DumpTree(scratch.path()));
    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    EXPECT_EQ(before, DumpTree(scratch.path()));
}

TEST(RegScriptPasses, UnregisterKeepsKeysWithForeignSubkeysButNotForForeignValues) {
    ScratchKey scratch("regscript-foreign");
    const std::string script = Section("regscript-foreign", "A { B = s 'd' { val V = s 'x' } }");
    const std::string b = scratch.path() + "\\A\\B";

    ASSERT_EQ(S_OK, ApplyText(script, Register));
    testing_support::CreateKey(b + "\\Foreign");
    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    // B and A stay for the foreign subkey; the script's named value goes, a
    // default value is never deleted on its own.
    EXPECT_EQ(Tree({"key A", "key A\\B", "key A\\B\\Foreign", "value A\\B [] REG_SZ 64 00"}),
              DumpTree(scratch.path()));
    RegDeleteTreeA(HKEY_CURRENT_USER, (scratch.path() + "\\A").c_str());

    ASSERT_EQ(S_OK, ApplyText(script, Register));
    testing_support::SetString(b, "ForeignValue", "x");
    testing_support::SetString(scratch.path() + "\\A", "ForeignValue", "x");
    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    EXPECT_EQ("", DumpTree(scratch.path()));
}

TEST(RegScriptPasses, NoRemoveSparesItsKeyAndEveryLaterSiblingOfItsBlock) {
    ScratchKey scratch("regscript-noremove");
    const std::string script = Section(
        "regscript-noremove", "First\r\nSecond = s 's'\r\nNoRemove Third\r\nFourth { Inner }\r\nFifth");
    ASSERT_EQ(S_OK, ApplyText(script, Register));
    ASSERT_EQ(S_OK, ApplyText(script, Unregister));
    // Inner sits in a nested block, whose own delete flag is still on.
    EXPECT_EQ(Tree({"key Third", "key Fourth", "key Fifth"}), DumpTree(scratch.path()));
}

TEST(RegScriptPasses, AfterAKeyThatCannotBeOpenedSiblingsAreOnlyReadUpToTheNextWithABlock) {
    ScratchKey scratch("regscript-skip");
    const std::string group = scratch.path();
    for (const char* key : {"\\Sib1", "\\Sib2\\Inner", "\\Sib3", "\\Sib4"})
        testing_support::CreateKey(group + key);
    testing_support::SetString(group, "V", "v");
    testing_support::SetString(group, "W", "w");
    ASSERT_EQ(
        S_OK,
        ApplyText(Section("regscript-skip",
                          "Missing\r\nSib1\r\nval V = s 'v'\r\nSib2 { Inner }\r\nSib3\r\nval W = s 'w'\r\n"
                          "Missing2 = s 'x' { Sub }\r\nSib4"),
                  Unregister));
    EXPECT_EQ(Tree({"key Sib1", "key Sib2", "key Sib2\\Inner", "value  [V] REG_SZ 76 00"}), DumpTree(group));
}

TEST(RegScriptPasses, AKeyHoldingOnlyItsDefaultValueGoesAndTheWalkGoesOnAfterItsBlock) {
    ScratchKey scratch("regscript-default");
    const std::string group = scratch.path();
    testing_support::SetString(group + "\\K", nullptr, "d");
    testing_support::CreateKey(group + "\\After");
    // Below a key deleted first, nothing is opened: the block is walked in skip mode.
    ASSERT_EQ(S_OK, ApplyText(Section("regscript-default", "K = s 'd' { Child }\r\nAfter"), Unregister));
    EXPECT_EQ("", DumpTree(group));

    testing_support::SetString(group + "\\K", nullptr, "d");
    testing_support::SetString(group + "\\K", "Named", "n");
    testing_support::CreateKey(group + "\\After");
    ASSERT_EQ(S_OK, ApplyText(Section("regscript-default", "K = s 'd'\r\nAfter"), Unregister));
    EXPECT_EQ("", DumpTree(group));
}

TEST(RegScriptPasses, AFailingRegisterSectionIsUndoneWhileEarlierSectionsStay) {
    ScratchKey scratch("regscript-sections");
    const std::string text = Section("regscript-sections", "First = s 'one'") +
                             Section("regscript-sections", "Second { Deep = s 'x' { val V = s 'v' } }\r\n"
                                                           "Broken { val Odd = b 'abc' }") +
                             Section("regscript-sections", "Third");
    EXPECT_EQ(E_FAIL, ApplyText(text, Register));
    EXPECT_EQ(Tree({"key First", "value First [] REG_SZ 6f 6e 65 00"}), DumpTree(scratch.path()));
}

TEST(RegScriptPasses, NestingDeeperThanTheRegistryAllowsFailsInsteadOfExhaustingTheStack) {
    ScratchKey scratch("regscript-depth");
    const struct {
        int levels; // below the group, which is the fourth level of the section
        HRESULT result;
    } cases[] = {{508, S_OK}, {509, DISP_E_EXCEPTION}, {100000, DISP_E_EXCEPTION}};
    for (const auto& c : cases) {
        std::string body;
        for (int i = 0; i < c.levels; ++i)
            body += "A { ";
        for (int i = 0; i < c.levels; ++i)
            body += "} ";
        // Nothing below the group exists, so the walk only reads (skip mode).
        EXPECT_EQ(c.result, ApplyText(Section("regscript-depth", body), Unregister)) << c.levels;
    }
}

TEST(RegScriptPasses, AFailingUnregisterStopsWhereItFailed) {
    ScratchKey scratch("regscript-unregfail");
    for (const char* key : {"\\First", "\\Third"})
        testing_support::CreateKey(scratch.path() + key);
    EXPECT_EQ(DISP_E_EXCEPTION,
              ApplyText(Section("regscript-unregfail", "First\r\nBad\\Name\r\nThird"), Unregister));
    EXPECT_EQ(Tree({"key Third"}), DumpTree(scratch.path()));
}

} // namespace
