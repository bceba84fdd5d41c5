// server_image_check <server.dll> <i386|amd64>: checks a built server as a file,
// without running any of its code, so that a 64-bit process can check the
// 32-bit server on a machine that cannot run it: its machine type, that it
// imports system libraries only, its four exports, its version resource, and its
// embedded type library. One "ok" or "problem" line per check; exit status 0
// when every check passed, 1 otherwise, 2 for bad arguments.

#include "FocuserVersion.h"
#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// What a server may import: the system libraries every Windows has.
const char* const kSystemLibraries[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll",
                                        "oleaut32.dll", "gdi32.dll",  "comctl32.dll", "msvcrt.dll"};
const char* const kExports[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                "DllUnregisterServer"};

int g_problems = 0;

void Report(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok     " : "problem", what.c_str());
    if (!ok)
        ++g_problems;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

// The file's bytes with bounds-checked reads of its headers and of what its
// data directories point at.
class PeImage {
public:
    explicit PeImage(const std::vector<char>& bytes) : m_bytes(bytes) {
        IMAGE_DOS_HEADER dos;
        DWORD signature = 0;
        if (!Read(0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !Read(dos.e_lfanew, &signature) ||
            signature != IMAGE_NT_SIGNATURE || !Read(dos.e_lfanew + sizeof(DWORD), &m_file))
            return;
        const size_t optional = dos.e_lfanew + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
        WORD magic = 0;
        if (!Read(optional, &magic))
            return;
        size_t directories = 0;
        DWORD count = 0;
        if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
            if (!Read(optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes), &count))
                return;
        } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
            if (!Read(optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), &count))
                return;
        } else {
            return;
        }
        for (DWORD i = 0; i < count && i < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; ++i)
            if (!Read(directories + i * sizeof(IMAGE_DATA_DIRECTORY), &m_directories[i]))
                return;
        const size_t sections = optional + m_file.SizeOfOptionalHeader;
        for (WORD i = 0; i < m_file.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            if (!Read(sections + i * sizeof(section), &section))
                return;
            m_sections.push_back(section);
        }
        m_valid = true;
    }

    bool valid() const { return m_valid; }
    const IMAGE_FILE_HEADER& file() const { return m_file; }
    const IMAGE_DATA_DIRECTORY& directory(int index) const { return m_directories[index]; }

    template <typename T> bool ReadAt(DWORD rva, T* out) const {
        size_t offset = 0;
        return Offset(rva, &offset) && Read(offset, out);
    }

    // A terminated text at rva; empty when it runs past its section or the file.
    std::string TextAt(DWORD rva) const {
        size_t offset = 0;
        if (!Offset(rva, &offset))
            return std::string();
        const auto end = std::find(m_bytes.begin() + offset, m_bytes.end(), '\0');
        return end == m_bytes.end() ? std::string() : std::string(m_bytes.begin() + offset, end);
    }

private:
    template <typename T> bool Read(size_t offset, T* out) const {
        if (offset > m_bytes.size() || m_bytes.size() - offset < sizeof(T))
            return false;
        std::memcpy(out, m_bytes.data() + offset, sizeof(T));
        return true;
    }

    bool Offset(DWORD rva, size_t* offset) const {
        for (const IMAGE_SECTION_HEADER& s : m_sections) {
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData) {
                *offset = s.PointerToRawData + (rva - s.VirtualAddress);
                return *offset < m_bytes.size();
            }
        }
        return false;
    }

    const std::vector<char>& m_bytes;
    bool m_valid = false;
    IMAGE_FILE_HEADER m_file = {};
    IMAGE_DATA_DIRECTORY m_directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
    std::vector<IMAGE_SECTION_HEADER> m_sections;
};

std::vector<std::string> ImportedLibraries(const PeImage& image) {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& dir = image.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (DWORD rva = dir.VirtualAddress; dir.Size != 0; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR entry;
        if (!image.ReadAt(rva, &entry) || entry.Name == 0)
            break;
        names.push_back(image.TextAt(entry.Name));
    }
    return names;
}

std::vector<std::string> ExportedNames(const PeImage& image) {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& dir = image.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    IMAGE_EXPORT_DIRECTORY exports;
    if (dir.Size == 0 || !image.ReadAt(dir.VirtualAddress, &exports))
        return names;
    for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
        DWORD nameRva = 0;
        if (!image.ReadAt(static_cast<DWORD>(exports.AddressOfNames + i * sizeof(DWORD)), &nameRva))
            break;
        names.push_back(image.TextAt(nameRva));
    }
    return names;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : " ") + n;
    return text;
}

void CheckHeadersImportsAndExports(const std::vector<char>& bytes, WORD machine) {
    const PeImage image(bytes);
    Report(image.valid(), "the file is a Windows image");
    if (!image.valid())
        return;
    char text[96];
    std::snprintf(text, sizeof text, "machine type 0x%04x (expected 0x%04x), a library", image.file().Machine,
                  machine);
    Report(image.file().Machine == machine && (image.file().Characteristics & IMAGE_FILE_DLL) != 0, text);

    const std::vector<std::string> imports = ImportedLibraries(image);
    bool systemOnly = !imports.empty();
    for (const std::string& name : imports)
        systemOnly = systemOnly && std::any_of(std::begin(kSystemLibraries), std::end(kSystemLibraries),
                                               [&](const char* s) { return Lower(name) == s; });
    Report(systemOnly, "imports system libraries only: " + Joined(imports));

    std::vector<std::string> exports = ExportedNames(image);
    std::sort(exports.begin(), exports.end());
    Report(exports == std::vector<std::string>(std::begin(kExports), std::end(kExports)),
           "exports exactly the four entry points: " + Joined(exports));
}

void CheckVersionResource(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> info(size != 0 ? size : 1);
    char* version = nullptr;
    char* selfRegister = nullptr;
    UINT length = 0;
    const bool read = size != 0 && GetFileVersionInfoA(path.c_str(), 0, size, info.data()) &&
                      VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                                     reinterpret_cast<void**>(&version), &length) &&
                      VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\OLESelfRegister",
                                     reinterpret_cast<void**>(&selfRegister), &length);
    Report(read && std::strcmp(version, FOCUSER_VERSION_TEXT ".0") == 0,
           std::string("version resource: FileVersion ") + (read ? version : "(missing)") +
               ", OLESelfRegister");
}

void CheckTypeLibrary(const std::string& path, SYSKIND expected) {
    const platform::ComApartment apartment;
    std::wstring wide(path.begin(), path.end());
    platform::ComPtr<ITypeLib> library;
    const HRESULT hr = LoadTypeLibEx(wide.c_str(), REGKIND_NONE, library.put());
    if (FAILED(hr)) {
        char text[64];
        std::snprintf(text, sizeof text, "type library: LoadTypeLibEx failed with 0x%08lx",
                      static_cast<unsigned long>(hr));
        Report(false, text);
        return;
    }
    bool ours = false;
    SYSKIND syskind = SYS_WIN16;
    platform::UniqueLibAttr attr(library.get());
    if (SUCCEEDED(library->GetLibAttr(attr.put()))) {
        ours =
            IsEqualGUID(attr->guid, LIBID_MorvantisLib) && attr->wMajorVerNum == 1 && attr->wMinorVerNum == 0;
        syskind = attr->syskind;
    }
    platform::ComPtr<ITypeInfo> coclass;
    platform::ComPtr<ITypeInfo> focuser;
    const bool both = SUCCEEDED(library->GetTypeInfoOfGuid(CLSID_Focuser, coclass.put())) &&
                      SUCCEEDED(library->GetTypeInfoOfGuid(IID_IFocuser, focuser.put()));
    char text[96];
    std::snprintf(text, sizeof text,
                  "type library: MorvantisLib 1.0 for system kind %d (expected %d), Focuser, IFocuser",
                  static_cast<int>(syskind), static_cast<int>(expected));
    Report(ours && syskind == expected && both, text);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[2], "i386") != 0 && std::strcmp(argv[2], "amd64") != 0)) {
        std::fprintf(stderr, "usage: server_image_check <server.dll> <i386|amd64>\n");
        return 2;
    }
    const bool i386 = std::strcmp(argv[2], "i386") == 0;
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Report(!bytes.empty(), std::string("read ") + argv[1]);
    if (bytes.empty())
        return 1;
    CheckHeadersImportsAndExports(bytes, i386 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
    CheckVersionResource(argv[1]);
    CheckTypeLibrary(argv[1], i386 ? SYS_WIN32 : SYS_WIN64);
    std::printf(g_problems == 0 ? "All checks passed.\n" : "%d checks failed.\n", g_problems);
    return g_problems == 0 ? 0 : 1;
}
