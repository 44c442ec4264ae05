// The choice among the POSIX calls, the old calls and writing in place, over
// the statuses that systems give: Wine 8 knows neither POSIX call, so only a
// table shows the paths that Windows takes.
#include <gtest/gtest.h>

#include "entry_changes.h"

namespace {

struct PlacingCase {
  PlacingStep tried;
  NTSTATUS status;
  BOOL posixUnknown;
  PlacingStep next;
};

TEST(EntryChanges, EachStatusLeadsToItsPlacingAndDeletionStep) {
  const PlacingCase placing[] = {
      {kPlaceByNewName, kStatusSuccess, FALSE, kPlaceDone},
      // The name was taken meanwhile: replaced, by the call the system knows.
      {kPlaceByNewName, kStatusObjectNameCollision, FALSE, kPlaceByPosixRename},
      {kPlaceByNewName, kStatusObjectNameCollision, TRUE, kPlaceByRename},
      {kPlaceByNewName, kStatusAccessDenied, FALSE, kPlaceFailed},
      {kPlaceByPosixRename, kStatusSuccess, FALSE, kPlaceDone},
      // Wine 8, and Windows before 10 1809.
      {kPlaceByPosixRename, kStatusNotImplemented, FALSE, kPlaceByRename},
      {kPlaceByPosixRename, kStatusInvalidInfoClass, FALSE, kPlaceByRename},
      {kPlaceByPosixRename, kStatusInvalidParameter, FALSE, kPlaceByRename},
      // Held without sharing deletion, which even a POSIX rename needs.
      {kPlaceByPosixRename, kStatusAccessDenied, FALSE, kPlaceByWritingInPlace},
      {kPlaceByPosixRename, kStatusSharingViolation, FALSE, kPlaceByWritingInPlace},
      {kPlaceByPosixRename, kStatusDirectoryNotEmpty, FALSE, kPlaceFailed},
      {kPlaceByRename, kStatusSuccess, TRUE, kPlaceDone},
      // The old rules: an open file is not replaced as a name.
      {kPlaceByRename, kStatusAccessDenied, TRUE, kPlaceByWritingInPlace},
      {kPlaceByRename, kStatusNotImplemented, TRUE, kPlaceFailed},
      {kPlaceByWritingInPlace, kStatusSuccess, TRUE, kPlaceDone},
      {kPlaceByWritingInPlace, kStatusAccessDenied, TRUE, kPlaceFailed},
  };
  for (const PlacingCase& c : placing) {
    EXPECT_EQ(NextPlacingStep(c.tried, c.status, c.posixUnknown), c.next)
        << "placing step " << c.tried << ", status 0x" << std::hex << c.status;
  }

  const struct {
    DeletionStep tried;
    NTSTATUS status;
    DeletionStep next;
  } deletion[] = {
      {kDeleteByPosixMark, kStatusSuccess, kDeleteDone},
      {kDeleteByPosixMark, kStatusNotImplemented, kDeleteByMark},
      {kDeleteByPosixMark, kStatusInvalidInfoClass, kDeleteByMark},
      {kDeleteByPosixMark, kStatusInvalidParameter, kDeleteByMark},
      {kDeleteByPosixMark, kStatusDirectoryNotEmpty, kDeleteFailed},
      {kDeleteByPosixMark, kStatusAccessDenied, kDeleteFailed},
      {kDeleteByMark, kStatusSuccess, kDeleteDone},
      {kDeleteByMark, kStatusNotImplemented, kDeleteFailed},
  };
  for (const auto& c : deletion) {
    EXPECT_EQ(NextDeletionStep(c.tried, c.status), c.next)
        << "deletion step " << c.tried << ", status 0x" << std::hex << c.status;
  }
}

}  // namespace
