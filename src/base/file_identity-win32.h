// A file's identity as GetFileInformationByHandle describes it (Windows). Kept free of
// <windows.h>: the record is only named here, and file_identity-win32.cpp reads it.
#pragma once

#include "base/file_identity.h"

struct _BY_HANDLE_FILE_INFORMATION;

namespace quarry {

FileIdentity identityOf(const _BY_HANDLE_FILE_INFORMATION& information);

}  // namespace quarry
