// The programs we ship carry the project's manifest. Without one Windows takes a
// program for a legacy one and redirects its writes to protected registry keys
// to the user's VirtualStore: find-port --save would report a setting saved that
// no other program reads.
#include "platform/Owners.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

// Beside the server, as the build puts them.
std::string BuiltProgramPath(const char* name) {
    const std::string server = testing_support::DriverModulePath();
    return server.substr(0, server.find_last_of('\\') + 1) + name;
}

// Resource 1 of type RT_MANIFEST, the one the loader reads for an .exe; empty
// when there is none.
std::string ManifestOf(const std::string& path) {
    platform::UniqueModule image(
        LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image)
        return std::string();
    HRSRC found = FindResource(image.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    HGLOBAL loaded = found != nullptr ? LoadResource(image.get(), found) : nullptr;
    const char* text = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return text != nullptr ? std::string(text, SizeofResource(image.get(), found)) : std::string();
}

// The text of the first element of that name, up to its closing '>'.
std::string Element(const std::string& manifest, const char* name) {
    const size_t start = manifest.find(std::string("<") + name + " ");
    return start == std::string::npos ? std::string()
                                      : manifest.substr(start, manifest.find('>', start) - start);
}

const char* const kPrograms[] = {"FocuserCtl.exe", "FocuserSim.exe", "EarlyBound.exe"};
// Windows 7, 8, 8.1, and 10 and 11.
const char* const kSupportedOs[] = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};

TEST(ProgramManifest, EveryProgramRunsAsInvokerAndNamesTheWindowsItSupports) {
    for (const char* program : kPrograms) {
        SCOPED_TRACE(program);
        const std::string manifest = ManifestOf(BuiltProgramPath(program));
        if (manifest.empty()) {
            ADD_FAILURE() << "no manifest resource 1 in " << BuiltProgramPath(program);
            continue;
        }
        EXPECT_NE(std::string::npos, Element(manifest, "requestedExecutionLevel").find("level=\"asInvoker\""))
            << manifest;
        for (const char* os : kSupportedOs)
            EXPECT_NE(std::string::npos, manifest.find(std::string("<supportedOS Id=\"") + os + "\"/>"))
                << os << " in " << manifest;
    }
}

} // namespace
