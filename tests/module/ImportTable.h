#pragma once
// The import address table of a loaded module: the tests watch the server's own
// calls of platform functions by putting their functions in its table, and bind
// a module loaded without its imports by hand.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace testing_support {

// The table slot through which module calls function of dll (names compare
// without regard to case; a null dll matches any); null when the module does not
// import it.
void** FindSlot(HMODULE module, const char* dll, const char* function);

// Writes value into a table slot and returns what was there.
void* WriteSlot(void** slot, void* value);

// Replaces one imported function of a loaded module until Restore or destruction.
// Once the module is unloaded, call Forget: its table is gone.
class ImportHook {
public:
    ImportHook(HMODULE module, const char* dll, const char* function, void* replacement);
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;
    ~ImportHook() { Restore(); }

    bool installed() const { return m_slot != nullptr; }
    // The function the module called before; null when not installed.
    void* original() const { return m_original; }
    void Restore();
    void Forget() { m_slot = nullptr; }

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
};

// Fills the table of a module loaded with DONT_RESOLVE_DLL_REFERENCES as the
// loader would, except that a function named in override gets its replacement.
// False when a library is not loaded in the process or a function cannot be found.
struct Override {
    const char* function;
    void* replacement;
};
bool BindImports(HMODULE module, const Override* overrides, size_t overrideCount);

// The names of the libraries the module imports from, in the table's order.
std::vector<std::string> ImportedLibraries(HMODULE module);

// The module's entry point as its header gives it.
using EntryPoint = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
EntryPoint EntryPointOf(HMODULE module);

} // namespace testing_support
