// focuser_benchmark: the driver's costs measured against the platform's own floor,
// each pair taken in the same run on the same port. Runs against the simulator on
// the bench's first null-modem pair; prints one JSON object (figures with min,
// median and max, and the ratios of medians) for scripts/benchmark.sh to tabulate.
//
// focuser_benchmark [--reps N]   (N multiplies every repetition count; default 1)

#include "serial/DeviceFrame.h"
#include "serial/SerialPort.h"
#include "simulator/FocuserSimulator.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/ScratchDocuments.h"
#include "tests/common/SettingsKey.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace protocol;

using platform::ComPtr;
using testing_support::FirstPair;
using testing_support::NowMs;

namespace {

struct Figure {
    std::string name;
    std::string unit;
    std::vector<double> samples; // sorted once complete
    double Median() const { return samples.empty() ? 0 : samples[samples.size() / 2]; }
};

struct Ratio {
    std::string name;
    std::string numerator;
    std::string denominator;
};

std::vector<Figure> g_figures;
std::vector<Ratio> g_ratios;
std::string g_problem;
std::string g_traceDocuments; // where the traced calls wrote their log
int g_reps = 1;               // multiplier of every repetition count

Figure& Add(const std::string& name, const std::string& unit, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    g_figures.push_back({name, unit, std::move(samples)});
    return g_figures.back();
}

const Figure* Find(const std::string& name) {
    for (const Figure& f : g_figures) {
        if (f.name == name)
            return &f;
    }
    return nullptr;
}

// Times count calls of call, one sample per call.
std::vector<double> Each(int count, const std::function<void()>& call) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const double started = NowMs();
        call();
        samples.push_back(NowMs() - started);
    }
    return samples;
}

// Calls too short to time one by one: batches of batch calls, one sample (the
// mean per call, in microseconds) per batch.
std::vector<double> Batched(int batches, int batch, const std::function<void()>& call) {
    std::vector<double> samples;
    for (int b = 0; b < batches; ++b) {
        const double started = NowMs();
        for (int i = 0; i < batch; ++i)
            call();
        samples.push_back((NowMs() - started) * 1000.0 / batch);
    }
    return samples;
}

void Fail(const std::string& what) {
    if (g_problem.empty())
        g_problem = what;
    std::fprintf(stderr, "focuser_benchmark: %s\n", what.c_str());
}

class CBenchmark {
public:
    bool Prepare() {
        if (!m_dll.loaded()) {
            Fail(m_dll.problem());
            return false;
        }
        m_settings.SetText("COM", std::to_string(FirstPair().driverIndex));
        m_settings.SetText("MaxPos", "100000");
        return m_dll.Create(m_focuser) == S_OK;
    }

    // IsMoving on a quiet line during a move (progress every 900 ms) against a
    // bare one-byte poll on the same port with nothing arriving; then the same
    // calls with the trace log on, which the driver reads at link time.
    void QuietLine() {
        DuringMove("");
        {
            // The log goes beside the benchmark, not into the user's documents.
            char current[MAX_PATH] = {};
            GetCurrentDirectoryA(sizeof current, current);
            g_traceDocuments = std::string(current) + "\\benchmark-documents";
            testing_support::RemoveTree(g_traceDocuments);
            CreateDirectoryA(g_traceDocuments.c_str(), nullptr);
            testing_support::DocumentsRedirect redirect(g_traceDocuments);
            m_settings.SetText("Trace", "1");
            DuringMove(" traced");
            m_settings.Remove("Trace");
        }

        CSerialPort port;
        if (!port.Open(FirstPair().driver, 9600, 0))
            return Fail("open the driver's port");
        port.Purge();
        unsigned char byte = 0;
        Add("PollByte, nothing arriving", "ms", Each(300 * g_reps, [&] { port.PollByte(&byte); }));
        g_ratios.push_back({"IsMoving (quiet) / PollByte", "IsMoving, quiet line during a move",
                            "PollByte, nothing arriving"});
        g_ratios.push_back({"IsMoving traced (quiet) / PollByte", "IsMoving traced, quiet line during a move",
                            "PollByte, nothing arriving"});
        g_ratios.push_back({"IsMoving traced / untraced", "IsMoving traced, quiet line during a move",
                            "IsMoving, quiet line during a move"});
        g_ratios.push_back({"Position traced / untraced", "Position traced during a move (cache)",
                            "Position during a move (cache)"});
    }

    // Position from the cache during a move against one position query round
    // trip; link on against one handshake round trip.
    void RoundTrips() {
        CFocuserSimulator simulator;
        if (!simulator.Start(FirstPair().simulator))
            return Fail("simulator");
        simulator.SetPosition(4242);
        {
            CSerialPort port;
            if (!port.Open(FirstPair().driver, 9600, 0))
                return Fail("open the driver's port");
            int32_t position = 0;
            Add("QueryPosition round trip", "ms",
                Each(200 * g_reps, [&] { QueryPosition(port, &position); }));
            if (position != 4242)
                Fail("QueryPosition read " + std::to_string(position));
            Add("Handshake round trip", "ms", Each(200 * g_reps, [&] { Handshake(port); }));
        }
        std::vector<double> links;
        for (int i = 0; i < 100 * g_reps; ++i) {
            const double started = NowMs();
            if (m_focuser->put_Link(VARIANT_TRUE) != S_OK)
                Fail("link on");
            links.push_back(NowMs() - started);
            if (m_focuser->put_Link(VARIANT_FALSE) != S_OK)
                Fail("link off");
        }
        Add("Link on, answering controller", "ms", links);
        simulator.Stop();
        g_ratios.push_back({"Position (cache) / QueryPosition", "Position during a move (cache)",
                            "QueryPosition round trip"});
        g_ratios.push_back({"Link on / Handshake", "Link on, answering controller", "Handshake round trip"});
    }

    // Link on with a silent controller against ten standard read time-outs.
    void SilentController() {
        SimulatorOptions options;
        options.silent = true;
        CFocuserSimulator simulator(options);
        if (!simulator.Start(FirstPair().simulator))
            return Fail("simulator");
        {
            CSerialPort port;
            if (!port.Open(FirstPair().driver, 9600, 0))
                return Fail("open the driver's port");
            unsigned char frame[kFrameSize];
            Add("Read of 9 bytes, nothing arriving (standard time-out)", "ms",
                Each(10 * g_reps, [&] { port.Read(frame, sizeof frame); }));
        }
        Add("Link on, silent controller", "ms", Each(5 * g_reps, [&] {
                if (m_focuser->put_Link(VARIANT_TRUE) != DISP_E_EXCEPTION)
                    Fail("link on with a silent controller did not fail");
            }));
        simulator.Stop();
        const Figure* read = Find("Read of 9 bytes, nothing arriving (standard time-out)");
        std::vector<double> ten;
        for (double s : read->samples)
            ten.push_back(10 * s);
        Add("10 x read time-out", "ms", ten);
        g_ratios.push_back(
            {"Link on (silent) / 10 x read time-out", "Link on, silent controller", "10 x read time-out"});
    }

    // A whole move of 1000 steps, from Move until IsMoving answers false polled
    // every 100 ms, against the simulator's own time for the move.
    void WholeMove() {
        CFocuserSimulator simulator;
        double commandAt = 0;
        double finalAt = 0;
        simulator.SetMonitor([&](bool sent, const unsigned char* bytes, size_t count) {
            if (!sent && count >= 2 && bytes[0] == 'F' && (bytes[1] == 'O' || bytes[1] == 'I'))
                commandAt = NowMs();
            if (sent && count == kFrameSize && bytes[0] == 'F' && bytes[1] == 'D')
                finalAt = NowMs();
        });
        if (!simulator.Start(FirstPair().simulator))
            return Fail("simulator");
        if (m_focuser->put_Link(VARIANT_TRUE) != S_OK)
            return Fail("link for the whole move");
        std::vector<double> client;
        std::vector<double> own;
        LONG target = 0;
        for (int i = 0; i < 5 * g_reps; ++i) {
            target = target == 0 ? 1000 : 0;
            commandAt = finalAt = 0;
            const double started = NowMs();
            if (m_focuser->Move(target) != S_OK)
                return Fail("move");
            VARIANT_BOOL moving = VARIANT_TRUE;
            while (moving == VARIANT_TRUE && NowMs() - started < 5000) {
                Sleep(100);
                if (m_focuser->get_IsMoving(&moving) != S_OK)
                    return Fail("IsMoving during the whole move");
            }
            client.push_back(NowMs() - started);
            own.push_back(finalAt - commandAt);
        }
        m_focuser->put_Link(VARIANT_FALSE);
        simulator.Stop();
        Add("Move of 1000 steps, client view (poll 100 ms)", "ms", client);
        Add("Move of 1000 steps, simulator's own time", "ms", own);
        g_ratios.push_back({"Move (client) / Move (simulator)",
                            "Move of 1000 steps, client view (poll 100 ms)",
                            "Move of 1000 steps, simulator's own time"});
    }

    // Early against late binding, and the name cache against the type
    // information's own lookup.
    void Binding() {
        LONG max = 0;
        Add("MaxStep, early bound", "us", Batched(200, 200 * g_reps, [&] { m_focuser->get_MaxStep(&max); }));
        DISPID dispid = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(L"MaxStep");
        if (m_focuser->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid) != S_OK)
            return Fail("GetIDsOfNames(MaxStep)");
        DISPPARAMS none = {};
        VARIANT result;
        VariantInit(&result);
        Add("MaxStep, late bound (Invoke)", "us", Batched(200, 200 * g_reps, [&] {
                m_focuser->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                  nullptr, nullptr);
            }));
        if (result.vt != VT_I4 || result.lVal != max)
            Fail("late-bound MaxStep gave another value");
        LPOLESTR lower = const_cast<LPOLESTR>(L"maxstep");
        Add("GetIDsOfNames \"MaxStep\" (name cache)", "us", Batched(200, 200 * g_reps, [&] {
                m_focuser->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid);
            }));
        DISPID lowerId = DISPID_UNKNOWN;
        Add("GetIDsOfNames \"maxstep\" (type information)", "us", Batched(200, 200 * g_reps, [&] {
                m_focuser->GetIDsOfNames(IID_NULL, &lower, 1, LOCALE_USER_DEFAULT, &lowerId);
            }));
        if (lowerId != dispid)
            Fail("the two spellings resolve differently");
        g_ratios.push_back({"MaxStep late / early", "MaxStep, late bound (Invoke)", "MaxStep, early bound"});
        g_ratios.push_back({"GetIDsOfNames lookup / cache", "GetIDsOfNames \"maxstep\" (type information)",
                            "GetIDsOfNames \"MaxStep\" (name cache)"});
    }

private:
    // IsMoving and Position, 300 calls each, during a slow move on a quiet line.
    void DuringMove(const std::string& kind) {
        SimulatorOptions options;
        options.progressIntervalMs = 900;
        options.stepsPerSecond = 10;
        CFocuserSimulator simulator(options);
        if (!simulator.Start(FirstPair().simulator))
            return Fail("simulator");
        simulator.SetPosition(1000);
        if (m_focuser->put_Link(VARIANT_TRUE) != S_OK || m_focuser->Move(3000) != S_OK)
            return Fail("link and move for the quiet line" + kind);
        Sleep(50);
        VARIANT_BOOL moving = VARIANT_FALSE;
        Add("IsMoving" + kind + ", quiet line during a move", "ms",
            Each(300 * g_reps, [&] { m_focuser->get_IsMoving(&moving); }));
        LONG position = 0;
        Add("Position" + kind + " during a move (cache)", "ms",
            Each(300 * g_reps, [&] { m_focuser->get_Position(&position); }));
        if (moving != VARIANT_TRUE)
            Fail("the move ended during the quiet-line measurement" + kind);
        m_focuser->Halt();
        WaitForStop();
        m_focuser->put_Link(VARIANT_FALSE);
        simulator.Stop();
    }

    void WaitForStop() {
        VARIANT_BOOL moving = VARIANT_TRUE;
        const double started = NowMs();
        while (moving == VARIANT_TRUE && NowMs() - started < 3000) {
            if (m_focuser->get_IsMoving(&moving) != S_OK)
                break;
            Sleep(10);
        }
    }

    platform::ComApartment m_apartment;
    testing_support::LoadedDriver m_dll{testing_support::LoadedDriver::Registration::ForLateBinding};
    testing_support::SettingsKeyGuard m_settings;
    ComPtr<IFocuser> m_focuser;
};

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

void PrintJson() {
    std::printf("{\n  \"bits\": %d,\n  \"figures\": [\n", static_cast<int>(sizeof(void*) * 8));
    for (size_t i = 0; i < g_figures.size(); ++i) {
        const Figure& f = g_figures[i];
        std::printf("    {\"name\": \"%s\", \"unit\": \"%s\", \"n\": %u, \"min\": %.4f, \"median\": %.4f, "
                    "\"max\": %.4f}%s\n",
                    Escaped(f.name).c_str(), f.unit.c_str(), static_cast<unsigned>(f.samples.size()),
                    f.samples.empty() ? 0 : f.samples.front(), f.Median(),
                    f.samples.empty() ? 0 : f.samples.back(), i + 1 < g_figures.size() ? "," : "");
    }
    std::printf("  ],\n  \"ratios\": [\n");
    for (size_t i = 0; i < g_ratios.size(); ++i) {
        const Ratio& r = g_ratios[i];
        const Figure* a = Find(r.numerator);
        const Figure* b = Find(r.denominator);
        const double value = a != nullptr && b != nullptr && b->Median() > 0 ? a->Median() / b->Median() : 0;
        std::printf("    {\"name\": \"%s\", \"of\": \"%s\", \"to\": \"%s\", \"value\": %.3f}%s\n",
                    Escaped(r.name).c_str(), Escaped(r.numerator).c_str(), Escaped(r.denominator).c_str(),
                    value, i + 1 < g_ratios.size() ? "," : "");
    }
    std::printf("  ],\n  \"trace_documents\": \"%s\",\n  \"problem\": \"%s\"\n}\n",
                Escaped(g_traceDocuments).c_str(), Escaped(g_problem).c_str());
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
            g_reps = std::max(1, std::atoi(argv[++i]));
    }
    {
        CBenchmark benchmark;
        if (benchmark.Prepare()) {
            benchmark.Binding();
            benchmark.QuietLine();
            benchmark.RoundTrips();
            benchmark.SilentController();
            benchmark.WholeMove();
        }
    }
    PrintJson();
    std::fflush(stdout);
    return g_problem.empty() ? 0 : 1;
}
