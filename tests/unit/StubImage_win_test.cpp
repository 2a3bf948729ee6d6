// The PE checksum against the one imagehlp computes (StubImage_test holds the launcher's against
// PeChecksum).
#include "StubImage.h"

#include <gtest/gtest.h>

#include "PackerTestSupport.h"

#include <imagehlp.h>

TEST(StubImageWin, PeChecksumIsTheSystemsChecksum) {
    std::string image = checksummedImage();
    DWORD headerSum = 0;
    DWORD expected = 0;
    ASSERT_NE(CheckSumMappedFile(image.data(), static_cast<DWORD>(image.size()), &headerSum, &expected), nullptr);
    PeChecksum checksum;
    checksum.update(image.data(), image.size());
    EXPECT_EQ(checksum.value(), expected);
}
