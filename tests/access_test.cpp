#include "access.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

TEST(IsAdministrator, ElevatedTokenPassesAndDenyOnlyGroupFails) {
  EXPECT_NE(IsAdministrator(), FALSE);
  StandardUserScope standardUser;
  ASSERT_TRUE(standardUser.active());
  EXPECT_EQ(IsAdministrator(), FALSE);
}

// Wine keeps no access list of its own on files (it shows one made from the
// Unix permissions), so only the folder itself can be checked here.
TEST(CreateOpenDirectory, CreatesOneFolder) {
  ScratchFolder scratch(L"open");
  const std::wstring folder = scratch / L"shared";
  EXPECT_EQ(CreateOpenDirectory(folder.c_str()), 0);
  EXPECT_TRUE(FolderExists(folder));
  EXPECT_EQ(CreateOpenDirectory(folder.c_str()), 0);
  EXPECT_EQ(CreateOpenDirectory((scratch / L"missing\\child").c_str()), 0);
  EXPECT_FALSE(FolderExists(scratch / L"missing"));
}

}  // namespace
