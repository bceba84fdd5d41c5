#pragma once
// IFocuser's members by name, as late-bound clients reach them: the identifier
// each name resolves to and what a client may do with it. Properties come first,
// Link leading, in the order a status listing shows them.

#include <windows.h>
#include <oaidl.h>

namespace contract {

enum class MemberKind {
    ReadOnly,  // a property get
    ReadWrite, // a property get and put
    Method,
};

struct FocuserMember {
    const wchar_t* name;
    DISPID dispid;
    MemberKind kind;
    bool needsLink; // refused while the link is off
    bool optional;  // a focuser may refuse it altogether
};

constexpr FocuserMember kFocuserMembers[] = {
    {L"Link", 9, MemberKind::ReadWrite, false, false},
    {L"Position", 6, MemberKind::ReadOnly, true, false},
    {L"IsMoving", 4, MemberKind::ReadOnly, false, false},
    {L"MaxStep", 3, MemberKind::ReadOnly, false, false},
    {L"MaxIncrement", 14, MemberKind::ReadOnly, false, false},
    {L"Absolute", 10, MemberKind::ReadOnly, false, false},
    {L"TempCompAvailable", 11, MemberKind::ReadOnly, false, false},
    {L"TempComp", 12, MemberKind::ReadWrite, false, false},
    {L"Temperature", 13, MemberKind::ReadOnly, false, false},
    {L"StepSize", 1, MemberKind::ReadOnly, false, true},
    {L"Move", 5, MemberKind::Method, true, false},
    {L"SetupDialog", 2, MemberKind::Method, false, false},
    {L"Stop", 15, MemberKind::Method, false, false},
    {L"Halt", 16, MemberKind::Method, false, false},
};

} // namespace contract
