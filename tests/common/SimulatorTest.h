#pragma once
// The controller simulator on the far end of the bench's first null-modem pair,
// for the tests that talk to it, through the driver or through a port of their own.

#include "simulator/FocuserSimulator.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace testing_support {

class SimulatorTest : public testing::Test {
protected:
    void TearDown() override { m_sim.Stop(); }

    // A test that cannot have the simulator fails here.
    void StartSimulator(const SimulatorOptions& options) {
        m_sim.SetOptions(options);
        ASSERT_TRUE(m_sim.Start(FirstPair().simulator))
            << "simulator could not open " << FirstPair().simulator;
    }

    template <typename Change> void SetFaults(Change change) {
        SimulatorOptions options = m_sim.Options();
        change(options);
        m_sim.SetOptions(options);
    }

    // Gives bytes that should not come up to timeoutMs to reach the simulator;
    // the wait ends at the first one that does, so the test fails at once.
    void WaitForStrayBytes(DWORD timeoutMs) const { m_sim.WaitForReceived(1, timeoutMs); }

    CFocuserSimulator m_sim;
};

} // namespace testing_support
