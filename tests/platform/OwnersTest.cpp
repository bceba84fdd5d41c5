#include "platform/Owners.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Owners, FileOwnerTreatsInvalidHandleValueAsEmptyAndClosesWhatItHolds) {
    UniqueFile empty;
    EXPECT_FALSE(empty.valid());
    EXPECT_EQ(INVALID_HANDLE_VALUE, empty.get());

    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    HANDLE raw;
    {
        UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.valid());
        raw = file.get();
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "the owner left the handle open";
}

TEST(Owners, KeyOwnerClosesItsKeyAndMovesOwnership) {
    testing_support::ScratchKey scratch("owners");
    UniqueHKey moved;
    {
        UniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_CURRENT_USER, scratch.path().c_str(), 0, KEY_READ, key.put()));
        moved = std::move(key);
        EXPECT_FALSE(key.valid());
    }
    DWORD subkeys = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(moved.get(), nullptr, nullptr, nullptr, &subkeys, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, subkeys);
}

TEST(Owners, ComPointerBalancesReferences) {
    ComPtr<IErrorInfo> info;
    ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
    ASSERT_EQ(S_OK, create.As(info));
    {
        ComPtr<IErrorInfo> copy(info);
        EXPECT_EQ(3u, testing_support::References(info.get())) << "create, info and copy hold one each";
    }
    EXPECT_EQ(2u, testing_support::References(info.get()));
}

namespace {
int g_destroyed = 0;
struct Counted {
    int value;
    ~Counted() { ++g_destroyed; }
};
} // namespace

TEST(Owners, LocalObjectIsBuiltZeroedAndDestroyedOnceAfterAMove) {
    g_destroyed = 0;
    LocalPtr<Counted> moved;
    EXPECT_FALSE(moved);
    {
        auto made = LocalPtr<Counted>::Make(sizeof(Counted) + 16);
        ASSERT_TRUE(made);
        EXPECT_EQ(0, made->value);
        EXPECT_EQ(0, reinterpret_cast<const char*>(made.get() + 1)[15]) << "the block's tail was not zeroed";
        EXPECT_LE(sizeof(Counted) + 16, LocalSize(made.get()));
        moved = std::move(made);
        EXPECT_FALSE(made);
    }
    EXPECT_EQ(0, g_destroyed) << "the moved-from owner destroyed the object";
    moved.reset();
    moved.reset();
    EXPECT_EQ(1, g_destroyed);
}

TEST(Owners, ExcepInfoOwnerEmptiesWhatTheLastCallFilledBeforeTheNext) {
    UniqueExcepInfo exception;
    EXPECT_EQ(nullptr, exception->bstrDescription);
    EXCEPINFO* slot = exception.put();
    slot->scode = DISP_E_EXCEPTION;
    slot->bstrSource = SysAllocString(L"source");
    slot->bstrDescription = SysAllocString(L"description");
    slot->bstrHelpFile = SysAllocString(L"help");
    EXPECT_EQ(slot, exception.put());
    EXPECT_EQ(0, exception->scode);
    EXPECT_EQ(nullptr, exception->bstrSource);
    EXPECT_EQ(nullptr, exception->bstrDescription);
    EXPECT_EQ(nullptr, exception->bstrHelpFile);
}

namespace {
struct WorkerRun {
    StoppableThread* worker;
    DWORD waitMs;
    volatile LONG stopped = -1; // 1: stopped, 0: timed out
};
DWORD WINAPI RecordStop(void* context) {
    auto* run = static_cast<WorkerRun*>(context);
    InterlockedExchange(&run->stopped, run->worker->WaitForStop(run->waitMs) ? 1 : 0);
    return 0;
}
} // namespace

TEST(Owners, StoppableThreadIsStoppedAndAwaitedByItsOwnerAndItsWaitCanRunOut) {
    WorkerRun stopped{nullptr, 10000};
    {
        StoppableThread worker;
        stopped.worker = &worker;
        ASSERT_TRUE(worker.Start(RecordStop, &stopped));
        EXPECT_FALSE(worker.Start(RecordStop, &stopped)) << "one thread per owner";
    }
    EXPECT_EQ(1, stopped.stopped) << "the owner went without stopping its thread or waiting for it";

    WorkerRun timedOut{nullptr, 1};
    StoppableThread worker;
    timedOut.worker = &worker;
    ASSERT_TRUE(worker.Start(RecordStop, &timedOut));
    for (int i = 0; i < 500 && timedOut.stopped < 0; ++i)
        Sleep(10);
    EXPECT_EQ(0, timedOut.stopped);
    worker.Stop();
    worker.Stop();
}
