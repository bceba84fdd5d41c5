// The trace log through the built module: what a traced session writes, that an
// untraced one writes nothing, that a log which cannot be opened or written
// changes no result and records why, and that two processes keep to files of
// their own. A write that fails runs through the driver core linked in here,
// behind the trace log's write seam.

#include "driver/TraceLog.h"
#include "tests/common/BareFocuser.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/Process.h"
#include "tests/common/ScratchDocuments.h"
#include "tests/common/SettingsKey.h"
#include "tests/common/SimulatorTest.h"

#include "settings/TraceSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using platform::ComPtr;
using testing_support::DocumentsRedirect;
using testing_support::FirstPair;
using testing_support::Hr;
using testing_support::RemoveTree;
using testing_support::TakeError;

namespace {

// Every log below documents, oldest name first, with its text.
std::vector<std::pair<std::string, std::string>> Logs(const std::string& documents) {
    std::vector<std::pair<std::string, std::string>> logs;
    const std::string root = documents + "\\ASCOM";
    WIN32_FIND_DATAA day = {};
    platform::UniqueFind days(FindFirstFileA((root + "\\Logs *").c_str(), &day));
    if (!days)
        return logs;
    do {
        const std::string folder = root + "\\" + day.cFileName;
        WIN32_FIND_DATAA file = {};
        platform::UniqueFind files(
            FindFirstFileA((folder + "\\ASCOM.Morvantis.Focuser.*.txt").c_str(), &file));
        if (!files)
            continue;
        do {
            std::ifstream in(folder + "\\" + file.cFileName, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            logs.emplace_back(file.cFileName, text.str());
        } while (FindNextFileA(files.get(), &file));
    } while (FindNextFileA(days.get(), &day));
    std::sort(logs.begin(), logs.end());
    return logs;
}

bool HasLine(const std::string& log, const std::vector<std::string>& parts) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        bool all = true;
        for (const std::string& part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all)
            return true;
    }
    return false;
}

class TraceTest : public testing_support::SimulatorTest {
protected:
    TraceTest()
        : m_settings(std::to_string(FirstPair().driverIndex).c_str(), "10000"),
          m_documents(testing_support::ScratchFolder("focuser-trace-")), m_redirect(m_documents) {
        CreateDirectoryA(m_documents.c_str(), nullptr);
        m_settings.SetText("Trace", "1");
    }
    ~TraceTest() override {
        settings::RecordTraceProblem(std::string());
        RemoveTree(m_documents);
    }

    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result()));
        ASSERT_TRUE(m_driver.loaded()) << m_driver.problem();
    }
    void TearDown() override {
        SimulatorTest::TearDown();
        EXPECT_TRUE(m_driver.Unload()) << "the module stayed loaded";
    }

    void StartFast() {
        SimulatorOptions options;
        options.stepsPerSecond = 1000;
        options.progressIntervalMs = 20;
        StartSimulator(options);
    }

    // Polls IsMoving until it answers false or fails; the last result.
    static HRESULT WaitUntilStopped(IFocuser* focuser) {
        const double start = testing_support::NowMs();
        VARIANT_BOOL moving = VARIANT_TRUE;
        HRESULT hr = S_OK;
        while (moving != VARIANT_FALSE && testing_support::NowMs() - start < 5000) {
            hr = focuser->get_IsMoving(&moving);
            if (FAILED(hr))
                break;
            Sleep(5);
        }
        return hr;
    }

    // The results a client sees of one session of the built module's driver.
    std::vector<std::string> Session() {
        ComPtr<IFocuser> focuser = m_driver.Create();
        return focuser ? Session(focuser.get()) : std::vector<std::string>();
    }
    // Of one session of focuser: link, a move with progress, a halted move, an
    // unsupported member, unlink, and a link to a silent controller.
    std::vector<std::string> Session(IFocuser* focuser) {
        std::vector<std::string> results;
        auto note = [&results](const char* what, HRESULT hr, long value) {
            results.push_back(std::string(what) + " " + Hr(hr) + " " + std::to_string(value) + " " +
                              (FAILED(hr) ? TakeError().description : std::string()));
        };
        note("link", focuser->put_Link(VARIANT_TRUE), 0);
        LONG position = 0;
        note("position", focuser->get_Position(&position), 0);
        note("move", focuser->Move(position + 200), 0);
        note("moved", WaitUntilStopped(focuser), 0);
        LONG reached = 0;
        const HRESULT read = focuser->get_Position(&reached);
        note("reached", read, reached - position);
        note("move", focuser->Move(position + 1200), 0);
        Sleep(100);
        note("halt", focuser->Halt(), 0);
        note("halted", WaitUntilStopped(focuser), 0);
        float step = 0;
        note("stepsize", focuser->get_StepSize(&step), 0);
        note("unlink", focuser->put_Link(VARIANT_FALSE), 0);
        SetFaults([](SimulatorOptions& options) { options.silent = true; });
        note("silent link", focuser->put_Link(VARIANT_TRUE), 0);
        SetFaults([](SimulatorOptions& options) { options.silent = false; });
        return results;
    }

    platform::ComApartment m_apartment;
    testing_support::SettingsKeyGuard m_settings;
    std::string m_documents;
    DocumentsRedirect m_redirect;
    testing_support::LoadedDriver m_driver;
};

TEST_F(TraceTest, ATracedSessionLogsEachCallWithItsFramesAndTheMessageOfAFailedLink) {
    StartFast();
    const std::vector<std::string> results = Session();
    ASSERT_EQ(11u, results.size());
    const auto logs = Logs(m_documents);
    ASSERT_EQ(2u, logs.size()) << "one file per linked session, the failed link's included";
    const std::string& session = logs[0].second;
    const std::string port = "link COM" + std::to_string(FirstPair().driverIndex + 1);
    std::printf("[ sample   ] %s\n%s%s", logs[0].first.c_str(), session.c_str(), logs[1].second.c_str());

    const std::vector<std::vector<std::string>> expected = {
        {port, " > FV000000", " < ", " ms -> ok"},
        {"Position > FG000000", " < FD", " ms -> "},
        {"Move ", " > FG000000", " > FO000200", " ms -> ok"},
        {"IsMoving x", " progress ", " last 'O'", " ms -> True"},
        {"IsMoving < F", " ms -> False"},
        {"Halt > FVXXXXXX", " ms -> ok"},
        {"StepSize", "-> error \"Not supported by focuser\""},
        {"unlink", " ms -> ok"},
    };
    for (const auto& parts : expected)
        EXPECT_TRUE(HasLine(session, parts)) << "no line with \"" << parts[0] << "\" ... in\n" << session;
    EXPECT_TRUE(HasLine(logs[1].second, {port, " > FV000000", "-> error \"Focuser did not respond\""}))
        << logs[1].second;
    // Local time to the millisecond at the start of each line.
    EXPECT_EQ(' ', session.at(10));
    EXPECT_EQ('.', session.at(19));
}

TEST_F(TraceTest, WithTheTraceValueMissingOrNotOneNoFileIsWritten) {
    StartFast();
    for (const char* value : {static_cast<const char*>(nullptr), "0", "true", " 1"}) {
        if (value == nullptr)
            m_settings.Remove("Trace");
        else
            m_settings.SetText("Trace", value);
        ComPtr<IFocuser> focuser = m_driver.Create();
        ASSERT_TRUE(focuser);
        EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
        LONG position = 0;
        EXPECT_EQ(S_OK, focuser->get_Position(&position));
        EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
        EXPECT_TRUE(Logs(m_documents).empty()) << "Trace \"" << (value ? value : "<missing>") << "\"";
    }
}

TEST_F(TraceTest, ALogThatCannotBeOpenedLeavesEveryResultAsWithoutTracingAndRecordsWhy) {
    StartFast();
    m_settings.SetText("Trace", "0");
    const std::vector<std::string> untraced = Session();
    // A file where the documents folder should be: no folder can be made below it.
    const std::string blocked = m_documents + "\\not-a-folder";
    std::ofstream(blocked) << "x";
    // A documents folder whose log folder could be made, but a log's name in it
    // would pass MAX_PATH: 208 + "\\ASCOM\\Logs YYYY-MM-DD" is 230 characters.
    ASSERT_LT(m_documents.size(), 200u) << m_documents;
    const std::string deep = m_documents + "\\" + std::string(207 - m_documents.size(), 'd');
    CreateDirectoryA(deep.c_str(), nullptr);
    const struct {
        const std::string& documents;
        std::string reason;
    } cases[] = {{blocked, "could not be created"}, {deep, "the log folder's path is too long: " + deep}};
    m_settings.SetText("Trace", "1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        DocumentsRedirect redirect(c.documents);
        const std::vector<std::string> traced = Session();
        EXPECT_EQ(untraced, traced);
        EXPECT_NE(std::string::npos, settings::TraceProblem().find(c.reason)) << settings::TraceProblem();
        EXPECT_TRUE(Logs(c.documents).empty()) << "a log was written below " << c.documents;
    }
}

// Stands in for WriteFile: lets the first lines through, then fails every write
// as a disk that is full or write-protected does.
struct WriteFault {
    int passed;
    DWORD error;
};
WriteFault g_fault;
std::atomic<int> g_writes{0};

BOOL WINAPI FaultyWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    if (++g_writes <= g_fault.passed)
        return WriteFile(file, data, size, written, overlapped);
    *written = 0;
    SetLastError(g_fault.error);
    return FALSE;
}

TEST_F(TraceTest, AWriteThatFailsEndsItsSessionsLogAndLeavesEveryResultAsWithoutTracing) {
    StartFast();
    testing_support::CBareFocuser focuser;
    m_settings.SetText("Trace", "0");
    const std::vector<std::string> untraced = Session(&focuser);
    m_settings.SetText("Trace", "1");
    // At the link's line, and at the fourth line, after the link, Position and Move.
    for (const WriteFault fault : {WriteFault{0, ERROR_DISK_FULL}, WriteFault{3, ERROR_WRITE_PROTECT}}) {
        SCOPED_TRACE(fault.passed);
        g_fault = fault;
        g_writes = 0;
        SetTraceWrite(&FaultyWrite);
        const std::vector<std::string> traced = Session(&focuser);
        SetTraceWrite(nullptr);
        EXPECT_EQ(untraced, traced);
        // Nothing more is written in a session after its failed write; the silent
        // link that ends the session opens a log of its own, whose one line fails.
        EXPECT_EQ(fault.passed + 2, g_writes.load());
        const std::string problem = settings::TraceProblem();
        EXPECT_EQ(0u, problem.find("writing ")) << problem;
        EXPECT_NE(std::string::npos,
                  problem.find(" failed (Windows error " + std::to_string(fault.error) + ")"))
            << problem;
    }
}

TEST_F(TraceTest, TwoProcessesTracingAtOnceWriteTwoFiles) {
    StartFast();
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
    const std::string self = testing_support::DriverModulePath();
    const std::string probe = self.substr(0, self.find_last_of("\\/") + 1) + "tests\\driver_trace_probe.exe";
    const testing_support::ProcessResult run = testing_support::RunProcess("\"" + probe + "\"");
    ASSERT_TRUE(run.started) << probe;
    EXPECT_EQ(0u, run.exitCode) << run.output;
    LONG position = 0;
    EXPECT_EQ(S_OK, focuser->get_Position(&position));
    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
    const auto logs = Logs(m_documents);
    ASSERT_EQ(2u, logs.size());
    // The open session's file got its later calls; the other process's file has its own link.
    const int withPosition = HasLine(logs[0].second, {"Position"}) + HasLine(logs[1].second, {"Position"});
    EXPECT_EQ(1, withPosition);
    EXPECT_TRUE(HasLine(logs[0].second, {"link "}) && HasLine(logs[1].second, {"link "}));
}

} // namespace
