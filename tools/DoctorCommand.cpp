// FocuserCtl doctor: the checks of Doctor.cpp and, when asked, a move away and
// back through the driver as a program would make it.

#include "tools/DoctorCommand.h"

#include "platform/Owners.h"
#include "tools/Doctor.h"
#include "tools/SessionCommands.h"

#include <cstdio>
#include <string>

namespace tools {

namespace {

// Polls of IsMoving before doctor's return move: 3 s, well past the driver's
// motion time-out.
constexpr int kStopWaitPolls = 30;

// One leg of doctor's move: started means the driver took the move, so the
// focuser may have left where it was; finished means it stopped and its
// position was read.
struct MoveLeg {
    bool started = false;
    bool finished = false;
    long at = -1;
    std::string refusal; // the driver's message when it did not take the move
};

MoveLeg RunMoveLeg(Session& session, int32_t target) {
    MoveLeg leg;
    leg.started = StartMove(session, target);
    if (!leg.started) {
        leg.refusal = session.driver.LastError().description;
        return leg;
    }
    leg.finished = FollowMove(session) && GetLong(session, L"Position", leg.at);
    return leg;
}

std::string DescribeLeg(const MoveLeg& leg) {
    if (!leg.started)
        return "was refused (" + leg.refusal + ")";
    if (!leg.finished)
        return "did not finish";
    return "ended at " + std::to_string(leg.at);
}

// Waits until the driver sees no move, for kStopWaitPolls polls at most: after
// a halt the controller's final frame may still be on its way, and the driver
// refuses a move while one runs. A failed IsMoving has ended the move in the
// driver.
void WaitForStop(Session& session) {
    for (int i = 0; i < kStopWaitPolls; ++i) {
        bool moving = false;
        if (!GetBool(session, L"IsMoving", moving) || !moving)
            return;
        Sleep(kPollMs);
    }
}

// Up by steps, or down where up would pass MaxStep; where neither fits, as far
// as the range goes on its roomier side.
int32_t OutboundTarget(long position, long maxStep, int32_t steps) {
    if (steps <= maxStep - position)
        return position + steps;
    if (steps <= position)
        return position - steps;
    return maxStep - position >= position ? maxStep : 0;
}

// Moves away and back again through the driver, as a program would, then
// unlinks. Once the driver took the outbound move, the return is tried whatever
// became of it, so the focuser ends at the user's focus point where it can.
void CheckMove(Session& session, CCheckReport& report, int32_t steps) {
    long position = 0;
    long maxStep = 0;
    if (!RunLink(session, true) || !GetLong(session, L"Position", position) ||
        !GetLong(session, L"MaxStep", maxStep)) {
        report.Problem("move", "the driver did not link: " + session.driver.LastError().description,
                       "mend the problems above first");
        return;
    }
    // The driver refuses a move beyond its range, so there would be no way back.
    if (position < 0 || position > maxStep) {
        RunLink(session, false);
        report.Problem("move",
                       "the focuser is at " + std::to_string(position) +
                           ", outside the driver's range 0 to " + std::to_string(maxStep) +
                           ", so it was not moved",
                       "set MaxPos in the setup dialog to at least " + std::to_string(position));
        return;
    }
    const int32_t target = OutboundTarget(position, maxStep, steps);
    const MoveLeg out = RunMoveLeg(session, target);
    MoveLeg back;
    if (out.started) {
        if (!out.finished)
            WaitForStop(session);
        back = RunMoveLeg(session, position);
    }
    RunLink(session, false);
    if (out.finished && back.finished && back.at == position) {
        report.Ok("move", "to " + std::to_string(target) + " and back to " + std::to_string(position));
        return;
    }
    std::string reason = "the move of " + std::to_string(steps) + " steps to " + std::to_string(target) +
                         " " + DescribeLeg(out);
    if (out.started)
        reason += "; the return to " + std::to_string(position) + " " + DescribeLeg(back);
    const bool home = !out.started || (back.finished && back.at == position);
    report.Problem("move", reason,
                   home ? "check the focuser's mechanics and cable"
                        : "check the focuser's mechanics and cable, then move it back to " +
                              std::to_string(position));
}

} // namespace

int RunDoctorCommand(const DoctorOptions& options, bool console) {
    platform::ComApartment apartment;
    CCheckReport report(console);
    if (FAILED(apartment.result())) {
        report.Problem("COM", "COM did not initialise", "restart the computer");
        return kExitFailed;
    }
    RunDoctorChecks(report, options.progId);
    if (options.moveSteps > 0) {
        Session session;
        session.console = console;
        if (FAILED(session.driver.Create(options.progId)))
            report.Problem("move", "no driver object to move with", "mend the problems above first");
        else
            CheckMove(session, report, options.moveSteps);
    }
    if (report.problems() == 0)
        std::printf("All checks passed.\n");
    else
        std::printf("%d problem%s found.\n", report.problems(), report.problems() == 1 ? "" : "s");
    return report.problems() == 0 ? 0 : kExitFailed;
}

} // namespace tools
