#include "tools/Doctor.h"

#include "contract/FocuserContract.h"
#include "platform/Owners.h"
#include "registry/Registry.h"
#include "settings/StoredSettings.h"
#include "settings/TraceSettings.h"
#include "tools/DispatchClient.h"
#include "tools/FileVersion.h"
#include "tools/PortProbe.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tools {

namespace {

constexpr unsigned short kGreen = FOREGROUND_GREEN | FOREGROUND_INTENSITY;
constexpr unsigned short kRed = FOREGROUND_RED | FOREGROUND_INTENSITY;
constexpr int kFirstPort = 1;
constexpr int kLastPort = 25; // the ports the setup dialog offers

std::string GuidText(const GUID& guid) {
    char text[40];
    registry::GuidText(guid, text);
    return text;
}

// The default value of a key as text; false when the key or the value is missing.
bool ReadDefault(HKEY root, const std::string& path, REGSAM view, std::string& value) {
    platform::UniqueHKey key;
    if (registry::OpenKey(root, path.c_str(), KEY_READ | view, key) != ERROR_SUCCESS)
        return false;
    char text[MAX_PATH * 2] = {};
    DWORD size = sizeof text - 1;
    if (registry::QueryValue(key.get(), nullptr, text, &size) != ERROR_SUCCESS)
        return false;
    value = text;
    return !value.empty();
}

bool FileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const char* RegisterHint(int bits) {
    return bits == 64 ? "run the setup program again, or register the 64-bit MorvantisFocuser.dll with "
                        "%windir%\\System32\\regsvr32.exe"
                      : "run the setup program again, or register the 32-bit MorvantisFocuser.dll with "
                        "%windir%\\SysWOW64\\regsvr32.exe (System32 on 32-bit Windows)";
}

void CheckRegistration(CCheckReport& report, int bits) {
    const std::string prefix = std::to_string(bits) + "-bit ";
    const REGSAM view = bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const std::string clsid = GuidText(CLSID_Focuser);
    std::string server;
    if (!ReadDefault(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", view, server))
        report.Problem(prefix + "class",
                       "CLSID " + clsid + " is not registered for " + std::to_string(bits) + "-bit programs",
                       RegisterHint(bits));
    else if (!FileExists(server))
        report.Problem(prefix + "class", "the server it names, " + server + ", does not exist",
                       "reinstall with the setup program");
    else {
        const std::string version = FileVersionText(server);
        report.Ok(prefix + "class", "server " + server + ", " +
                                        (version.empty() ? "no version information" : "version " + version));
    }

    const std::string libPath =
        "TypeLib\\" + GuidText(LIBID_MorvantisLib) + "\\1.0\\0\\" + (bits == 64 ? "win64" : "win32");
    std::string library;
    if (!ReadDefault(HKEY_CLASSES_ROOT, libPath, view, library))
        report.Problem(prefix + "type library",
                       "not registered for " + std::to_string(bits) + "-bit programs", RegisterHint(bits));
    else if (!FileExists(library))
        report.Problem(prefix + "type library", "the file it names, " + library + ", does not exist",
                       "reinstall with the setup program");
    else
        report.Ok(prefix + "type library", library);
}

// The ProgID's keys are shared by both registry views; it is resolved as COM
// resolves it for a client.
void CheckProgId(CCheckReport& report, const std::string& progId) {
    CLSID clsid = {};
    const HRESULT resolved = CLSIDFromProgID(FromAnsi(progId).c_str(), &clsid);
    if (FAILED(resolved))
        report.Problem("ProgID", progId + " does not resolve: " + SystemMessage(resolved),
                       "run the setup program again, or register either MorvantisFocuser.dll");
    else if (!IsEqualCLSID(clsid, CLSID_Focuser))
        report.Problem("ProgID", progId + " names " + GuidText(clsid) + ", not the focuser's class",
                       "run the setup program again, or register either MorvantisFocuser.dll");
    else
        report.Ok("ProgID", progId + " -> " + GuidText(clsid));
}

void CheckObject(CCheckReport& report, const std::string& progId) {
    const std::string check = std::string(sizeof(void*) == 8 ? "64" : "32") + "-bit object";
    CDispatchClient client;
    if (FAILED(client.Create(progId)))
        report.Problem(check, "creating " + progId + " failed: " + client.LastError().description,
                       "register the driver again with the setup program");
    else
        report.Ok(check, progId + " created in this program");
}

// Fills portIndex with the COM setting the driver will use; false without a profile key.
bool CheckProfileAndSettings(CCheckReport& report, int& portIndex) {
    platform::UniqueHKey key;
    if (settings::OpenSettingsKey(settings::KeyAccess::Read, key) != ERROR_SUCCESS) {
        report.Problem("profile key",
                       std::string("HKLM\\") + g_settingsKey +
                           " is missing, so astronomy programs' chooser does not list the driver",
                       "run the setup program again (it creates the key and registers the driver)");
        settings::SettingsValues defaults;
        settings::ReadSettings(nullptr, defaults);
        portIndex = defaults.portIndex;
        report.Ok("settings", "none stored; the driver will use COM" + std::to_string(portIndex + 1) +
                                  " and MaxPos " + std::to_string(defaults.maxPosition));
        return false;
    }
    char name[settings::kTextBufferSize];
    settings::QueryText(key.get(), nullptr, name);
    if (name[0] == '\0')
        report.Problem("profile key", "it has no display name, so the chooser shows no name for the driver",
                       "register the driver again (registration writes the name when the key exists)");
    else
        report.Ok("profile key", std::string("display name \"") + name + "\"");

    settings::SettingsValues stored;
    settings::ReadSettings(key.get(), stored);
    key.reset();
    portIndex = stored.portIndex;
    report.Ok("settings", std::string("COM \"") + stored.portText + "\" -> COM" +
                              std::to_string(portIndex + 1) + ", MaxPos \"" + stored.maxText + "\" -> " +
                              std::to_string(stored.maxPosition));

    // Opening for writing changes nothing; it only asks whether a save would be allowed.
    platform::UniqueHKey writable;
    const LONG access = settings::OpenSettingsKey(settings::KeyAccess::Write, writable);
    if (access == ERROR_SUCCESS)
        report.Ok("settings rights", "this user may change them");
    else
        report.Problem("settings rights",
                       "this user may only read them (" + SystemMessage(HRESULT_FROM_WIN32(access)) +
                           "), so the setup dialog cannot save",
                       "run the setup program again as an administrator (it lets Users change the key)");
    return true;
}

void CheckPortAndController(CCheckReport& report, int portIndex) {
    const std::string name = "COM" + std::to_string(portIndex + 1);
    const PortProbe probe = ProbePort(name, true);
    const std::string findHint =
        "choose the controller's port in the setup dialog (FocuserCtl find-port finds it)";
    switch (probe.state) {
    case PortState::Missing:
        report.Problem("port", name + " " + DescribePortState(probe),
                       "plug in the controller's adapter, or " + findHint);
        break;
    case PortState::Busy:
        report.Problem("port", name + " " + DescribePortState(probe),
                       "close the other program that uses it (another astronomy program or a terminal)");
        break;
    case PortState::Failed:
    case PortState::LineRefused:
        report.Problem("port", name + " " + DescribePortState(probe), findHint);
        break;
    case PortState::Silent:
    case PortState::Answered:
        report.Ok("port", name + " opens");
        break;
    }
    if (probe.state == PortState::Silent) {
        report.Problem("controller", "nothing answered the handshake on " + name,
                       "check the controller's power and cable, or " + findHint);
    } else if (probe.state == PortState::Answered) {
        report.Ok("controller", "the handshake answered \"" + probe.version + "\"");
        if (probe.positionKnown)
            report.Ok("position", std::to_string(probe.position));
        else
            report.Problem("position", "the controller did not answer a position query",
                           "switch the controller off and on, then try again");
    }
    if (!probe.restored)
        report.Problem("port", name + " did not take back its earlier line settings",
                       "unplug and plug in the adapter");
}

// Tracing is a choice, not a fault: only a log that could not be written is a problem.
void CheckTrace(CCheckReport& report) {
    const std::string problem = settings::TraceProblem();
    const std::string newest = settings::NewestTraceLog();
    if (!settings::TraceSettingOn())
        report.Ok("trace", "off" + (newest.empty() ? std::string() : "; newest log " + newest));
    else if (!problem.empty())
        report.Problem("trace", "on, but the last session could not write its log: " + problem,
                       "make the documents folder writable, or turn tracing off with FocuserCtl trace off");
    else
        report.Ok("trace", "on; " + (newest.empty() ? "no log yet (one is written from the next link)"
                                                    : "newest log " + newest));
}

} // namespace

void CCheckReport::Verdict(const char* word, unsigned short colour) {
    std::fflush(stdout);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    const bool coloured = m_console && GetConsoleScreenBufferInfo(out, &info);
    if (coloured)
        SetConsoleTextAttribute(out, colour);
    std::printf("%-8s", word);
    std::fflush(stdout);
    if (coloured)
        SetConsoleTextAttribute(out, info.wAttributes);
}

void CCheckReport::Ok(const std::string& check, const std::string& detail) {
    Verdict("ok", kGreen);
    std::printf("%s: %s\n", check.c_str(), detail.c_str());
    std::fflush(stdout);
}

void CCheckReport::Problem(const std::string& check, const std::string& reason, const std::string& whatToDo) {
    ++m_problems;
    Verdict("problem", kRed);
    std::printf("%s: %s. To do: %s.\n", check.c_str(), reason.c_str(), whatToDo.c_str());
    std::fflush(stdout);
}

void RunDoctorChecks(CCheckReport& report, const std::string& progId) {
    CheckRegistration(report, 32);
    if (registry::OtherView() != 0) // a 64-bit Windows
        CheckRegistration(report, 64);
    CheckProgId(report, progId);
    CheckObject(report, progId);
    int portIndex = 0;
    CheckProfileAndSettings(report, portIndex);
    CheckPortAndController(report, portIndex);
    CheckTrace(report);
}

int RunFindPort(bool console, bool save) {
    std::vector<int> answered;
    for (int number = kFirstPort; number <= kLastPort; ++number) {
        const std::string name = "COM" + std::to_string(number);
        if (console) {
            std::printf("%-6s trying ...", name.c_str());
            std::fflush(stdout);
        }
        const PortProbe probe = ProbePort(name, false);
        if (probe.state == PortState::Answered)
            answered.push_back(number);
        std::string result = DescribePortState(probe);
        if (!probe.restored)
            result += "; its earlier line settings could not be put back";
        std::printf("%s%-6s %s\n", console ? "\r" : "", name.c_str(), result.c_str());
        std::fflush(stdout);
    }
    if (answered.empty()) {
        std::printf("No controller answered on COM%d to COM%d.\n", kFirstPort, kLastPort);
        if (save)
            std::printf("Nothing saved.\n");
        return 1;
    }
    std::string list;
    for (int number : answered)
        list += (list.empty() ? "COM" : ", COM") + std::to_string(number);
    std::printf("%s on %s.\n", answered.size() == 1 ? "A controller answered" : "Controllers answered",
                list.c_str());
    if (!save)
        return 0;
    if (answered.size() > 1) {
        std::printf("Nothing saved: more than one port answered; choose one in the setup dialog.\n");
        return 1;
    }
    platform::UniqueHKey key;
    if (settings::OpenSettingsKey(settings::KeyAccess::Create, key) != ERROR_SUCCESS ||
        !settings::WriteSetting(key.get(), "COM", answered.front() - 1)) {
        std::printf("Nothing saved: Windows refused to change the settings (run as an administrator).\n");
        return 1;
    }
    std::printf("Saved COM%d as the driver's port.\n", answered.front());
    return 0;
}

} // namespace tools
