// The ANSI forms of file and folder calls that programs of the machine make
// with 8-bit strings (the block-driver set-up copies its driver files and
// builds their paths this way).
//
// Owns: the conversion between the machine's ANSI code page and UTF-16
// around the wide calls. Must not: differ from the wide call in anything
// but the strings (errors, redirection and results are the wide call's).
#pragma once

#include "platform/base/win32.h"

namespace zv::platform {

// CopyFileW through the current FileApi (so WOW64 redirection applies).
win::BOOL CopyFileA(const char* existing, const char* newFile, win::BOOL failIfExists);
// GetSystemDirectoryW in the ANSI code page: bytes written without the
// terminator, or the size needed with it when the buffer is short.
win::UINT GetSystemDirectoryA(char* buffer, win::UINT size);

}  // namespace zv::platform
