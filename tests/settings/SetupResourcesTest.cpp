#include "resources/resource.h"
#include "tests/common/TextSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

// The dialog's resources as compiled into this program, read byte by byte.

namespace {

class Reader {
public:
    Reader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}
    template <typename T> T Get() {
        T value{};
        if (m_offset + sizeof value <= m_size)
            std::memcpy(&value, m_data + m_offset, sizeof value);
        m_offset += sizeof value;
        return value;
    }
    // A name or ordinal: "#<n>" for an ordinal.
    std::string NameOrOrdinal() {
        if (Peek() == 0xFFFF) {
            Get<WORD>();
            return "#" + std::to_string(Get<WORD>());
        }
        return Text();
    }
    std::string Text() {
        std::string text;
        for (WORD c = Get<WORD>(); c != 0 && m_offset <= m_size; c = Get<WORD>())
            text += static_cast<char>(c);
        return text;
    }
    void AlignToDword() { m_offset = (m_offset + 3) & ~static_cast<size_t>(3); }
    bool overrun() const { return m_offset > m_size; }

private:
    WORD Peek() const {
        WORD value = 0;
        if (m_offset + 2 <= m_size)
            std::memcpy(&value, m_data + m_offset, 2);
        return value;
    }
    const BYTE* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

std::vector<BYTE> Resource(const char* type, int id) {
    HMODULE exe = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(id), type);
    if (found == nullptr)
        return {};
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(exe, found)));
    return std::vector<BYTE>(data, data + SizeofResource(exe, found));
}

struct Item {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    const char* cls; // ordinal of the predefined class
    const char* title;
};

} // namespace

TEST(SetupResources, TheTemplateIsTheSetupDialogOfTheLayoutTable) {
    const std::vector<BYTE> bytes = Resource(MAKEINTRESOURCEA(5), IDD_SETUP); // RT_DIALOG
    ASSERT_FALSE(bytes.empty()) << "no dialog template 201";
    Reader r(bytes.data(), bytes.size());
    EXPECT_EQ(
        static_cast<DWORD>(DS_MODALFRAME | DS_CONTEXTHELP | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU),
        r.Get<DWORD>());
    EXPECT_EQ(static_cast<DWORD>(WS_EX_CONTEXTHELP), r.Get<DWORD>());
    EXPECT_EQ(7, r.Get<WORD>());
    EXPECT_EQ(0, r.Get<short>());
    EXPECT_EQ(0, r.Get<short>());
    EXPECT_EQ(134, r.Get<short>());
    EXPECT_EQ(98, r.Get<short>());
    EXPECT_EQ("", r.NameOrOrdinal()) << "menu";
    EXPECT_EQ("", r.NameOrOrdinal()) << "class";
    EXPECT_EQ("Setup Morvantis Focuser", r.Text());
    EXPECT_EQ(8, r.Get<WORD>());
    EXPECT_EQ("MS Sans Serif", r.Text());

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const Item items[] = {
        {child | BS_DEFPUSHBUTTON | WS_TABSTOP, 77, 7, 50, 14, IDOK, "#128", "OK"},
        {child | BS_PUSHBUTTON | WS_TABSTOP, 77, 24, 50, 14, IDCANCEL, "#128", "Cancel"},
        {child | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 7, 19, 48, 121, IDC_PORT, "#133", ""},
        {child | SS_LEFT | WS_GROUP, 7, 8, 32, 8, 0xFFFF, "#130", "COM Port"},
        {child | SS_LEFT | WS_GROUP, 7, 66, 120, 25, 0xFFFF, "#130", nullptr},
        {child | ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 48, 48, 12, IDC_MAXPOS, "#129", ""},
        {child | SS_LEFT | WS_GROUP, 7, 36, 41, 8, 0xFFFF, "#130", "Max Position"},
    };
    for (const Item& item : items) {
        r.AlignToDword();
        const DWORD style = r.Get<DWORD>();
        EXPECT_EQ(item.style, style) << "control " << item.id << ": style " << std::hex << style;
        EXPECT_EQ(0u, r.Get<DWORD>()) << "control " << item.id << ": extended style";
        EXPECT_EQ(item.x, r.Get<short>()) << item.id;
        EXPECT_EQ(item.y, r.Get<short>()) << item.id;
        EXPECT_EQ(item.cx, r.Get<short>()) << item.id;
        EXPECT_EQ(item.cy, r.Get<short>()) << item.id;
        EXPECT_EQ(item.id, r.Get<WORD>());
        EXPECT_EQ(item.cls, r.NameOrOrdinal()) << item.id;
        const std::string title = r.NameOrOrdinal();
        if (item.title != nullptr) {
            EXPECT_EQ(item.title, title) << item.id;
        } else {
            EXPECT_EQ(0u, title.find(testing_support::CreditsTitle())) << title;
        }
        EXPECT_EQ(0, r.Get<WORD>()) << "creation data of control " << item.id;
    }
    EXPECT_FALSE(r.overrun());
}

TEST(SetupResources, TheInitialisationDataAddsCom1ToCom25InOrder) {
    std::vector<BYTE> expected;
    auto put = [&](const void* p, size_t n) {
        const auto* b = static_cast<const BYTE*>(p);
        expected.insert(expected.end(), b, b + n);
    };
    for (int port = 1; port <= 25; ++port) {
        const std::string text = "COM" + std::to_string(port);
        const WORD id = IDC_PORT;
        const WORD message = 0x0403;
        const DWORD length = static_cast<DWORD>(text.size() + 1);
        put(&id, 2);
        put(&message, 2);
        put(&length, 4);
        put(text.c_str(), length);
    }
    const WORD end = 0;
    put(&end, 2);
    const std::vector<BYTE> bytes = Resource(MAKEINTRESOURCEA(240), IDD_SETUP);
    EXPECT_EQ(343u, expected.size());
    EXPECT_EQ(expected.size(), bytes.size());
    EXPECT_TRUE(expected == bytes) << "the records differ from the layout";
}

TEST(SetupResources, TheStringTableHoldsTheDriversName) {
    char text[64] = "sentinel";
    EXPECT_EQ(9, LoadStringA(GetModuleHandleA(nullptr), IDS_PROJNAME, text, sizeof text));
    EXPECT_STREQ("Morvantis", text);
}
