#include "platform/Result.h"

#include <gtest/gtest.h>

namespace {

int g_calls = 0;
HRESULT Counted(HRESULT hr) {
    ++g_calls;
    return hr;
}
HRESULT ReturnIfFailed(HRESULT hr) {
    RETURN_IF_FAILED(Counted(hr));
    return 0x7e57;
}
HRESULT ReturnLastErrorIf(bool condition, DWORD error) {
    SetLastError(error);
    RETURN_LAST_ERROR_IF(condition);
    return S_OK;
}

} // namespace

TEST(Result, ReturnIfFailedReturnsAFailureAndGoesOnAfterASuccessEvaluatingOnce) {
    const struct {
        HRESULT given, expected;
    } cases[] = {{E_OUTOFMEMORY, E_OUTOFMEMORY},
                 {DISP_E_EXCEPTION, DISP_E_EXCEPTION},
                 {S_OK, 0x7e57},
                 {S_FALSE, 0x7e57}};
    for (const auto& c : cases) {
        g_calls = 0;
        EXPECT_EQ(c.expected, ReturnIfFailed(c.given)) << std::hex << c.given;
        EXPECT_EQ(1, g_calls) << std::hex << c.given;
    }
}

TEST(Result, ReturnLastErrorIfGivesTheErrorAsAnHresultAndNeverSuccess) {
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ReturnLastErrorIf(true, ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(E_FAIL, ReturnLastErrorIf(true, ERROR_SUCCESS));
    EXPECT_EQ(S_OK, ReturnLastErrorIf(false, ERROR_FILE_NOT_FOUND));
}
