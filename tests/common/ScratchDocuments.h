#pragma once
// The user's documents folder, where the trace log goes, pointed elsewhere for
// a test or a benchmark run, and the scratch folders they point it at.

#include "platform/Owners.h"

#include <windows.h>

#include <string>

namespace testing_support {

// Points the user's documents folder at documents, and puts the shell's value
// back when it goes.
class DocumentsRedirect {
public:
    explicit DocumentsRedirect(const std::string& documents);
    DocumentsRedirect(const DocumentsRedirect&) = delete;
    DocumentsRedirect& operator=(const DocumentsRedirect&) = delete;
    ~DocumentsRedirect();

private:
    platform::UniqueHKey m_key;
    bool m_had = false;
    DWORD m_type = REG_SZ;
    std::string m_old;
};

// A folder of this process's own below the temporary folder (not made).
std::string ScratchFolder(const char* prefix);
// Deletes folder with everything below it.
void RemoveTree(const std::string& folder);

} // namespace testing_support
