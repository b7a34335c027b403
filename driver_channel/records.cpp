// Driver records: bounded path readers and command builders (see records.h).
#include "driver_channel/records.h"

#include <algorithm>
#include <cstring>

namespace zv::channel {
namespace {

// Units from `start` up to the first zero unit or the end of the field.
std::wstring ReadUnits(const std::uint16_t* field, std::size_t start) {
  std::wstring out;
  if (start >= kPathUnits) return out;
  const std::uint16_t* begin = field + start;
  const std::uint16_t* end = std::find(begin, field + kPathUnits, std::uint16_t{0});
  out.reserve(static_cast<std::size_t>(end - begin));
  for (const std::uint16_t* p = begin; p != end; ++p) out.push_back(static_cast<wchar_t>(*p));
  return out;
}

// Copies at most `room` units; returns how many were copied.
std::size_t WriteUnits(std::uint16_t* dest, std::size_t room, std::wstring_view text) {
  std::size_t n = std::min(room, text.size());
  for (std::size_t i = 0; i < n; ++i) dest[i] = static_cast<std::uint16_t>(text[i]);
  return n;
}

}  // namespace

std::wstring _MXRED_NOTIFICATION::SourcePath() const { return ReadUnits(Path, 0); }

std::wstring _MXRED_NOTIFICATION::TargetPath() const { return ReadUnits(Path, PathLength); }

void _MXRED_NOTIFICATION::SetPath(std::wstring_view path) {
  std::memset(Path, 0, sizeof(Path));
  WriteUnits(Path, kPathUnits - 1, path);
  PathLength = 0;
}

void _MXRED_NOTIFICATION::SetRenamePaths(std::wstring_view source, std::wstring_view target) {
  std::memset(Path, 0, sizeof(Path));
  // Keep room for both terminators and at least an empty target.
  std::size_t sourceUnits = WriteUnits(Path, kPathUnits - 2, source);
  std::size_t targetStart = sourceUnits + 1;
  WriteUnits(Path + targetStart, kPathUnits - targetStart - 1, target);
  PathLength = static_cast<win::DWORD>(targetStart);
}

MXRED_COMMAND MakeAddDirectFreeCommand(win::DWORD processId) {
  MXRED_COMMAND command{};
  command.Command = kCommandAddDirectFree;
  command.Argument = processId;
  return command;
}

MXRED_COMMAND MakeAllowUnloadCommand(bool allow) {
  MXRED_COMMAND command{};
  command.Command = kCommandAllowUnload;
  command.Argument = allow ? kAllowUnloadArgument : 0;
  return command;
}

MXRED_MESSAGE* MXRED_MESSAGE::FromOverlapped(win::OVERLAPPED* overlapped) {
  return reinterpret_cast<MXRED_MESSAGE*>(reinterpret_cast<unsigned char*>(overlapped) -
                                          offsetof(MXRED_MESSAGE, Overlapped));
}

}  // namespace zv::channel
