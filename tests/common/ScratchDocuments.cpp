#include "tests/common/ScratchDocuments.h"

#include "registry/Registry.h"

namespace testing_support {

namespace {
const char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
}

DocumentsRedirect::DocumentsRedirect(const std::string& documents) {
    registry::CreateKey(HKEY_CURRENT_USER, kUserShellFolders, KEY_READ | KEY_WRITE, m_key);
    char text[1024] = {};
    DWORD size = sizeof text;
    m_had = RegQueryValueExA(m_key.get(), "Personal", nullptr, &m_type, reinterpret_cast<BYTE*>(text),
                             &size) == ERROR_SUCCESS;
    m_old.assign(text, size);
    registry::SetValue(m_key.get(), "Personal", REG_SZ, documents.c_str(),
                       static_cast<DWORD>(documents.size() + 1));
}

DocumentsRedirect::~DocumentsRedirect() {
    if (m_had)
        registry::SetValue(m_key.get(), "Personal", m_type, m_old.data(), static_cast<DWORD>(m_old.size()));
    else
        registry::DeleteValue(m_key.get(), "Personal");
}

std::string ScratchFolder(const char* prefix) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + prefix + std::to_string(GetCurrentProcessId());
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found = {};
    platform::UniqueFind search(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (search) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(folder + "\\" + name);
            else
                DeleteFileA((folder + "\\" + name).c_str());
        } while (FindNextFileA(search.get(), &found));
    }
    search.reset();
    RemoveDirectoryA(folder.c_str());
}

} // namespace testing_support
