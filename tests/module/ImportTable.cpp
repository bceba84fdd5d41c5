#include "tests/module/ImportTable.h"

namespace testing_support {

namespace {

const IMAGE_NT_HEADERS* Headers(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

template <typename T> T* At(HMODULE module, DWORD rva) {
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

// Calls visit(dll name, function name or null, ordinal, slot) for every import;
// stops when visit returns false.
template <typename Visit> bool ForEachImport(HMODULE module, Visit visit) {
    const IMAGE_NT_HEADERS* nt = Headers(module);
    if (nt == nullptr)
        return false;
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return true;
    for (auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        const char* dll = At<const char>(module, descriptor->Name);
        // The lookup table keeps the names once the address table holds addresses.
        const DWORD names =
            descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        auto* lookup = At<IMAGE_THUNK_DATA>(module, names);
        auto* slots = At<IMAGE_THUNK_DATA>(module, descriptor->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++slots) {
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) {
                if (!visit(dll, nullptr, static_cast<WORD>(IMAGE_ORDINAL(lookup->u1.Ordinal)), slot))
                    return false;
            } else {
                const auto* byName =
                    At<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(lookup->u1.AddressOfData));
                if (!visit(dll, reinterpret_cast<const char*>(byName->Name), WORD{0}, slot))
                    return false;
            }
        }
    }
    return true;
}

} // namespace

void** FindSlot(HMODULE module, const char* dll, const char* function) {
    void** found = nullptr;
    ForEachImport(module, [&](const char* importDll, const char* name, WORD, void** slot) {
        if (name != nullptr && (dll == nullptr || lstrcmpiA(importDll, dll) == 0) &&
            lstrcmpA(name, function) == 0) {
            found = slot;
            return false;
        }
        return true;
    });
    return found;
}

void* WriteSlot(void** slot, void* value) {
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
    void* previous = *slot;
    *slot = value;
    DWORD unused = 0;
    VirtualProtect(slot, sizeof(void*), protection, &unused);
    return previous;
}

ImportHook::ImportHook(HMODULE module, const char* dll, const char* function, void* replacement)
    : m_slot(FindSlot(module, dll, function)) {
    if (m_slot != nullptr)
        m_original = WriteSlot(m_slot, replacement);
}

void ImportHook::Restore() {
    if (m_slot != nullptr)
        WriteSlot(m_slot, m_original);
    m_slot = nullptr;
}

bool BindImports(HMODULE module, const Override* overrides, size_t overrideCount) {
    return ForEachImport(module, [&](const char* dll, const char* name, WORD ordinal, void** slot) {
        for (size_t i = 0; name != nullptr && i < overrideCount; ++i) {
            if (lstrcmpA(name, overrides[i].function) == 0) {
                WriteSlot(slot, overrides[i].replacement);
                return true;
            }
        }
        // Only libraries the process has loaded already: the module imports system
        // libraries that the test program uses as well.
        HMODULE library = GetModuleHandleA(dll);
        if (library == nullptr)
            return false;
        FARPROC address = name != nullptr ? GetProcAddress(library, name)
                                          : GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
        if (address == nullptr)
            return false;
        WriteSlot(slot, reinterpret_cast<void*>(address));
        return true;
    });
}

std::vector<std::string> ImportedLibraries(HMODULE module) {
    std::vector<std::string> names;
    ForEachImport(module, [&](const char* dll, const char*, WORD, void**) {
        if (names.empty() || lstrcmpiA(names.back().c_str(), dll) != 0)
            names.emplace_back(dll);
        return true;
    });
    return names;
}

EntryPoint EntryPointOf(HMODULE module) {
    const IMAGE_NT_HEADERS* nt = Headers(module);
    if (nt == nullptr || nt->OptionalHeader.AddressOfEntryPoint == 0)
        return nullptr;
    return reinterpret_cast<EntryPoint>(At<void>(module, nt->OptionalHeader.AddressOfEntryPoint));
}

} // namespace testing_support
