// The product data store: see product_data.h.
#include "suite/support/zvdata/product_data.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>

#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_table.h"

namespace zv::support {
namespace {

constexpr const char* kHeader = "ZVDATA 1";

std::mutex g_mutex;
std::optional<ProductItems> g_open;
int g_maxItems = 0;

std::optional<std::string> ReadWholeFile(const std::wstring& path, bool& missing) {
  auto& files = platform::Files::Get();
  missing = false;
  win::HANDLE h = files.CreateFileW(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                    win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) {
    win::DWORD error = platform::GetLastError();
    missing = error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  win::DWORD got = 0;
  while (files.ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
  platform::CloseHandle(h);
  return content;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<ProductItems> Parse(const std::string& content) {
  std::istringstream in(content);
  std::string line;
  bool header = false;
  ProductItems items;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!header) {
      if (line != kHeader) return std::nullopt;
      header = true;
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    int item = 0;
    bool number = true;
    for (std::size_t i = 0; i < eq; ++i) {
      if (line[i] < '0' || line[i] > '9' || item > 100000) {
        number = false;
        break;
      }
      item = item * 10 + (line[i] - '0');
    }
    std::string hex = line.substr(eq + 1);
    if (!number || hex.size() % 2 != 0) continue;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
      if (hi < 0 || lo < 0) {
        number = false;
        break;
      }
      bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    if (number) items[item] = std::move(bytes);
  }
  if (!header) return std::nullopt;
  return items;
}

}  // namespace

std::optional<ProductItems> ReadProductDataFile(const std::wstring& path) {
  bool missing = false;
  auto content = ReadWholeFile(path, missing);
  if (!content) return missing ? std::optional<ProductItems>(ProductItems{}) : std::nullopt;
  return Parse(*content);
}

std::string FormatProductData(const ProductItems& items) {
  std::string out = std::string(kHeader) + "\r\n";
  for (const auto& [item, bytes] : items) {
    out += std::to_string(item) + "=";
    for (std::uint8_t b : bytes) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", b);
      out += hex;
    }
    out += "\r\n";
  }
  return out;
}

bool WriteProductDataItem(const std::wstring& path, int item, const std::vector<std::uint8_t>& bytes) {
  auto items = ReadProductDataFile(path);
  if (!items || item < 0) return false;
  (*items)[item] = bytes;
  std::string content = FormatProductData(*items);
  auto& files = platform::Files::Get();
  std::size_t slash = path.find_last_of(L'\\');
  std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  win::DWORD pid = 0;
  try {
    pid = platform::CurrentProcessPid();
  } catch (const std::exception&) {
  }
  std::wstring temp = folder + L"~zvdata-" + std::to_wstring(pid) + L".tmp";
  win::HANDLE h = files.CreateFileW(temp.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS,
                                    win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return false;
  win::DWORD written = 0;
  bool ok = files.WriteFile(h, content.data(), static_cast<win::DWORD>(content.size()), &written, nullptr) &&
            written == content.size() && files.FlushFileBuffers(h);
  platform::CloseHandle(h);
  if (ok) ok = files.MoveFileExW(temp.c_str(), path.c_str(), win::MOVEFILE_REPLACE_EXISTING);
  if (!ok) files.DeleteFileW(temp.c_str());
  return ok;
}

int OpenZVData(const wchar_t* path, int maxItems) {
  std::lock_guard lock(g_mutex);
  g_open.reset();
  if (!path) return 0;
  auto items = ReadProductDataFile(path);
  g_open = items ? std::move(*items) : ProductItems{};
  g_maxItems = maxItems;
  return items ? 1 : 0;
}

int GetZVData(int item, int, int, unsigned size, void* out) {
  std::lock_guard lock(g_mutex);
  if (!g_open || !out || item < 0 || item >= g_maxItems) return 0;
  auto it = g_open->find(item);
  if (it == g_open->end()) return 0;
  std::size_t n = it->second.size() < size ? it->second.size() : size;
  std::memcpy(out, it->second.data(), n);
  return 1;
}

int CloseZVData() {
  std::lock_guard lock(g_mutex);
  bool was = g_open.has_value();
  g_open.reset();
  return was ? 1 : 0;
}

}  // namespace zv::support
