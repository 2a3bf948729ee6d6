#include "UniqueResource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "TestSupport.h"

namespace {

// A resource kind whose releases are recorded; release fails, with error 6, for odd values.
std::vector<std::intptr_t> released;

struct RecordedTraits {
    using Type = std::intptr_t;
    static constexpr const char* kRelease = "ReleaseRecorded";
    static Type empty() noexcept { return 0; }
    static bool isValid(Type value) noexcept { return value > 0; }
    static bool release(Type value) noexcept {
        released.push_back(value);
        if (value % 2 != 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        return true;
    }
};
using Recorded = UniqueResource<RecordedTraits>;

class UniqueResourceTest : public ::testing::Test {
protected:
    void SetUp() override { released.clear(); }
};

TEST_F(UniqueResourceTest, EveryValidValueIsReleasedExactlyOnceAndNothingElseIs) {
    {
        Recorded none;
        Recorded invalid(-3);
        Recorded moved(2);
        Recorded target(std::move(moved));
        EXPECT_FALSE(moved);
        EXPECT_EQ(target.get(), 2);
        Recorded assigned(4);
        assigned = std::move(target);  // 4 goes now, 2 at the end of the scope
        EXPECT_EQ(released, (std::vector<std::intptr_t>{4}));
        assigned.reset(2);  // the same value: kept, not released
        Recorded given(8);
        EXPECT_EQ(given.release(), 8);  // given up: never released
        *given.receive() = 10;
        EXPECT_FALSE(invalid.valid());
    }
    EXPECT_EQ(released, (std::vector<std::intptr_t>{4, 10, 2}));
}

TEST_F(UniqueResourceTest, AFailedReleaseIsLoggedAndTheCallersLastErrorSurvivesEither) {
    CapturingLogAppender log;
    SetLastError(ERROR_FILE_NOT_FOUND);
    Recorded(2).reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(log.events.empty());

    Recorded(5).reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_TRUE(log.contains(LogLevel::WARNING, L"ReleaseRecorded(0x5) failed: ")) << log.events[0].message;
}

TEST(UniqueResourceKinds, TheSystemsFailureValuesOwnNothing) {
    EXPECT_FALSE(UniqueHandle(nullptr));
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
    WIN32_FIND_DATAW found{};
    FindHandle search(FindFirstFileW(L"C:\\no such directory\\*", &found));
    EXPECT_FALSE(search);
    EXPECT_FALSE(ModuleHandle(nullptr));
    EXPECT_FALSE(LocalMemory<wchar_t*>(nullptr));
}

TEST(UniqueResourceKinds, AKernelHandleIsClosedWithItsOwner) {
    HANDLE raw = nullptr;
    {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(event);
        raw = event.get();
        EXPECT_NE(WaitForSingleObject(raw, 0), WAIT_FAILED);
    }
    EXPECT_EQ(WaitForSingleObject(raw, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
