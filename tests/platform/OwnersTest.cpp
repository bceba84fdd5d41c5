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
        EXPECT_EQ(4u, info->AddRef()) << "create, info and copy hold one each";
        info->Release();
    }
    EXPECT_EQ(3u, info->AddRef());
    info->Release();
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
