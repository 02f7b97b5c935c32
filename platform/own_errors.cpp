// The words for the tool's own failure codes, the same on every system.
#include "platform/file_system.h"

const char* DescribeOwnError(DWORD code) {
  switch (code) {
    case kErrorOutputIsArchive: return "The file is the archive being read";
    case kErrorShortName: return "The name is the short name of another file";
    case kErrorLinkToFolder: return "A link to a folder stands there, and no file can replace it";
    case kErrorWaitingAlias:
      return "The name is the short name of a file this run has not finished replacing";
    case kErrorArchiveChanged: return "The archive changed while it was read";
    case kErrorHardLinkedReadOnly:
      return "The old file is read-only and has other names, which would lose that protection";
    case kErrorNotOwnTemporary: return "Not the file this run made";
    case kErrorRoomHeldByWaiting:
      return "No room while the replacements waiting for their rename hold it";
    default: return nullptr;
  }
}
