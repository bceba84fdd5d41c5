#pragma once
// The driver object behind every IFocuser member: the link to the focuser
// controller, the motion watch, the position cache and the range checks. Its COM
// identity (reference counting, QueryInterface) and IDispatch come from the
// wrappers that derive from it: CFocuserObject stand-alone, or the contained face
// of CFocuserAggObject.

#include "contract/FocuserContract.h"
#include "driver/TraceLog.h"
#include "serial/SerialPort.h"

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <memory>

// The largest position a move may target: 65535 until the first attempt to switch
// a link on in this process, then the stored setting. Shared by all objects.
extern int32_t g_maxPosition;
// The last position the controller reported to any object.
extern int32_t g_lastPosition;

class CFocuser : public ISupportErrorInfo, public IFocuser {
public:
    CFocuser() = default;
    CFocuser(const CFocuser&) = delete;
    CFocuser& operator=(const CFocuser&) = delete;

    // ISupportErrorInfo: S_OK for IFocuser only.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // IFocuser. Every failure is reported through ReportError and returns
    // DISP_E_EXCEPTION; a null out-parameter gives E_POINTER.
    HRESULT STDMETHODCALLTYPE get_StepSize(float* value) override;
    HRESULT STDMETHODCALLTYPE SetupDialog() override;
    HRESULT STDMETHODCALLTYPE get_MaxStep(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_IsMoving(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE Move(LONG position) override;
    HRESULT STDMETHODCALLTYPE get_Position(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_Link(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE put_Link(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_Absolute(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_TempCompAvailable(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_TempComp(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE put_TempComp(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_Temperature(float* value) override;
    HRESULT STDMETHODCALLTYPE get_MaxIncrement(LONG* value) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Halt() override;

    // Part of a wrapper's teardown: switches an open link off so the channel is
    // closed before the memory goes. Does nothing when the link is off.
    void CloseLinkForTeardown();

protected:
    ~CFocuser() = default;

private:
    // Reports message to the client (and to the trace); DISP_E_EXCEPTION.
    HRESULT Fail(const char* message);
    template <typename T> HRESULT Answer(const char* member, T* value, T answer);
    HRESULT LinkOn(int portIndex);
    bool ReadPosition(int32_t* position);
    // Only after ReadPosition succeeded, so the channel is there.
    void StartMove(int32_t distance);
    void RefreshMotion();

    int32_t m_linked = 0;
    int32_t m_moving = 0;
    int32_t m_moveDeadline = 0;
    // While a traced session runs; before the port, which taps into it, so it goes last.
    std::unique_ptr<CTraceLog> m_trace;
    std::unique_ptr<CSerialPort> m_port; // present exactly while the link is on
};
