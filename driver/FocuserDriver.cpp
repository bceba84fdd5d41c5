#include "driver/FocuserDriver.h"

#include "driver/ReportError.h"
#include "framework/ModuleState.h"
#include "platform/Clock.h"
#include "serial/DeviceFrame.h"
#include "settings/SetupDlg.h"
#include "settings/TraceSettings.h"

#include <cstdio>
#include <new>

int32_t g_maxPosition = 65535;
int32_t g_lastPosition = 0;

namespace {

// Since the move command or the last progress character.
constexpr int32_t kMotionTimeoutMs = 1000;
// The longest one IsMoving call drains the motion stream.
constexpr int32_t kDrainBudgetMs = 50;

// A monotonic clock (platform/Clock.h): a step of the system time must neither
// fail a move nor keep a silent one alive.
int32_t ClockMs() {
    return static_cast<int32_t>(platform::ClockMs());
}

// Compares by the signed distance between the two clock values, so the answer
// stays right when the 32-bit clock wraps after weeks of running.
bool ClockBefore(int32_t now, int32_t deadline) {
    return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(deadline)) < 0;
}

int32_t DeadlineFromNow() {
    return static_cast<int32_t>(static_cast<uint32_t>(ClockMs()) + kMotionTimeoutMs);
}

struct LinkSettings {
    int32_t portIndex;
    int32_t maxPosition;
    bool trace;
};

// The settings live only in the setup dialog object, which reads them from the
// registry when it is constructed; it is never shown here. Constructing it
// allocates nothing and cannot fail. The trace switch is not the dialog's.
LinkSettings LoadLinkSettings() {
    const CSetupDlg dlg(nullptr);
    return {dlg.m_portIndex, dlg.m_maxPosition, settings::TraceSettingOn()};
}

} // namespace

HRESULT CFocuser::Fail(const char* message) {
    if (m_trace)
        m_trace->Failed(message);
    return ReportError(CLSID_Focuser, IID_IFocuser, message);
}

// A member that asks nothing of the controller: a constant, a setting or the link's state.
template <typename T> HRESULT CFocuser::Answer(const char* member, T* value, T answer) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    if (value == nullptr)
        return E_POINTER;
    CTracedCall call(m_trace.get(), member, value);
    *value = answer;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFocuser::InterfaceSupportsErrorInfo(REFIID iid) {
    return SupportsErrorInfo(iid);
}

HRESULT STDMETHODCALLTYPE CFocuser::get_StepSize(float* value) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    if (value == nullptr)
        return E_POINTER;
    CTracedCall call(m_trace.get(), "StepSize");
    return Fail("Not supported by focuser");
}

HRESULT STDMETHODCALLTYPE CFocuser::SetupDialog() {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    try {
        CSetupDlg dlg(nullptr);
        dlg.DoModal();
    } catch (...) {
        // Whatever the dialog did, the member answers S_OK; nothing may escape it.
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFocuser::get_MaxStep(LONG* value) {
    return Answer("MaxStep", value, static_cast<LONG>(g_maxPosition));
}

HRESULT STDMETHODCALLTYPE CFocuser::get_IsMoving(VARIANT_BOOL* value) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    if (value == nullptr)
        return E_POINTER;
    CTracedCall call(m_trace.get(), "IsMoving", value);
    *value = VARIANT_FALSE;
    if (!m_moving)
        return S_OK;
    // The link was switched off during the move: there is no line to watch.
    if (!m_port) {
        m_moving = 0;
        return S_OK;
    }

    // A line that never falls quiet (noise, a device babbling at the wrong
    // speed) would keep the drain going for ever: it stops after a bounded time,
    // and what is left waits for the next call.
    const int32_t drainEnd = static_cast<int32_t>(static_cast<uint32_t>(ClockMs()) + kDrainBudgetMs);
    unsigned char c = 0;
    while (ClockBefore(ClockMs(), drainEnd) && m_port->PollByte(&c)) {
        if (c == 'I' || c == 'O') {
            *value = VARIANT_TRUE;
            m_moveDeadline = DeadlineFromNow();
        } else if (c == 'F') {
            // The rest of the final frame; neither its content nor its checksum matters.
            unsigned char rest[protocol::kFrameSize - 1];
            m_port->Read(rest, sizeof rest);
            *value = VARIANT_FALSE;
            m_moving = 0;
            return S_OK;
        }
    }
    if (*value == VARIANT_TRUE)
        return S_OK;
    if (ClockBefore(ClockMs(), m_moveDeadline)) {
        *value = VARIANT_TRUE;
        return S_OK;
    }
    *value = VARIANT_FALSE;
    m_moving = 0;
    return Fail("Link fail");
}

HRESULT STDMETHODCALLTYPE CFocuser::Move(LONG position) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    CTracedCall call(m_trace.get(), "Move");
    call.Argument(position);
    RefreshMotion();
    if (m_moving)
        return Fail("Focuser already in motion");
    if (position < 0 || position > g_maxPosition)
        return Fail("Value out of range");
    int32_t current = 0;
    if (!ReadPosition(&current))
        return Fail("Link fail");
    StartMove(position - current);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFocuser::get_Position(LONG* value) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    if (value == nullptr)
        return E_POINTER;
    CTracedCall call(m_trace.get(), "Position", value);
    int32_t position = 0;
    if (!ReadPosition(&position))
        return Fail("Link fail");
    *value = position;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFocuser::get_Link(VARIANT_BOOL* value) {
    return Answer("Link", value, m_linked ? VARIANT_TRUE : VARIANT_FALSE);
}

HRESULT STDMETHODCALLTYPE CFocuser::put_Link(VARIANT_BOOL value) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    const bool on = value != 0;
    if (on == (m_linked != 0))
        return S_OK;

    if (!on) {
        {
            CTracedCall call(m_trace.get(), "unlink");
            // The controller is told nothing: a move in progress goes on. A linked
            // object always has its channel; destroying it closes it.
            m_port.reset();
            m_linked = 0;
        }
        m_trace.reset();
        return S_OK;
    }

    m_moving = 0;
    const LinkSettings settings = LoadLinkSettings();
    g_maxPosition = settings.maxPosition;
    // A log that cannot be made leaves this session untraced; the link goes on.
    if (settings.trace)
        m_trace = CTraceLog::Open();
    HRESULT hr = S_OK;
    {
        CTracedCall call(m_trace.get(), "link");
        hr = LinkOn(settings.portIndex);
    }
    // A failed link ends its session, and its log with it.
    if (FAILED(hr))
        m_trace.reset();
    return hr;
}

HRESULT CFocuser::LinkOn(int portIndex) {
    // Within the short-string buffer ("//./COM64"): no allocation.
    const std::string name = protocol::ControllerPortName(portIndex);
    if (m_trace)
        m_trace->Argument(name.c_str() + 4);

    std::unique_ptr<CSerialPort> port(new (std::nothrow) CSerialPort);
    if (!port)
        return Fail("Out of memory");
    port->SetTap(m_trace.get());
    if (!protocol::OpenControllerPort(*port, name)) {
        // A buffer of its own: building the text must not be able to throw.
        char message[64];
        std::snprintf(message, sizeof message, "Could not open port %s", name.c_str());
        return Fail(message);
    }
    if (!protocol::Handshake(*port)) {
        port->Close();
        return Fail("Focuser did not respond");
    }
    m_port = std::move(port);
    m_linked = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFocuser::get_Absolute(VARIANT_BOOL* value) {
    return Answer("Absolute", value, VARIANT_TRUE);
}

HRESULT STDMETHODCALLTYPE CFocuser::get_TempCompAvailable(VARIANT_BOOL* value) {
    return Answer("TempCompAvailable", value, VARIANT_FALSE);
}

HRESULT STDMETHODCALLTYPE CFocuser::get_TempComp(VARIANT_BOOL* value) {
    return Answer("TempComp", value, VARIANT_FALSE);
}

HRESULT STDMETHODCALLTYPE CFocuser::put_TempComp(VARIANT_BOOL /*value*/) {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    CTracedCall call(m_trace.get(), "TempComp=");
    return Fail("Not Supported");
}

HRESULT STDMETHODCALLTYPE CFocuser::get_Temperature(float* value) {
    return Answer("Temperature", value, 100.0f);
}

HRESULT STDMETHODCALLTYPE CFocuser::get_MaxIncrement(LONG* value) {
    return Answer("MaxIncrement", value, static_cast<LONG>(g_maxPosition));
}

HRESULT STDMETHODCALLTYPE CFocuser::Stop() {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    CTracedCall call(m_trace.get(), "Stop");
    // The move still ends through the motion watch: by its final frame or the time-out.
    if (m_port)
        protocol::SendStop(*m_port);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFocuser::Halt() {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    CTracedCall call(m_trace.get(), "Halt");
    if (m_port)
        protocol::SendStop(*m_port);
    return S_OK;
}

void CFocuser::CloseLinkForTeardown() {
    if (m_port)
        put_Link(VARIANT_FALSE);
}

bool CFocuser::ReadPosition(int32_t* position) {
    if (!m_port)
        return false;
    if (m_moving) {
        RefreshMotion();
        if (m_moving) {
            *position = g_lastPosition;
            return true;
        }
    }
    int32_t value = 0;
    if (!protocol::QueryPosition(*m_port, &value))
        return false;
    *position = value;
    g_lastPosition = value;
    return true;
}

void CFocuser::StartMove(int32_t distance) {
    protocol::SendMove(*m_port, distance);
    // Whether or not the controller got the command: silence ends the move by the time-out.
    m_moving = 1;
    m_moveDeadline = DeadlineFromNow();
}

// Runs the motion watch through the object's own interface, as a client would,
// so an aggregated object reaches it the same way; its answer and any error it
// reports are not wanted here.
void CFocuser::RefreshMotion() {
    VARIANT_BOOL ignored = VARIANT_FALSE;
    static_cast<IFocuser*>(this)->get_IsMoving(&ignored);
}
