// The block-driver stand-ins: see block_driver_settings.h.
#include "suite/block_drivers/block_driver_settings.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/base/debug_output.h"
#include "platform/base/text.h"
#include "platform/registry/registry_api.h"
#include "platform/registry/registry_store.h"

namespace zv::suite {
namespace {

using platform::KeyId;
using platform::RegValue;

std::uint32_t Le32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

const char* TypeName(win::DWORD type) {
  switch (type) {
    case win::REG_SZ: return "REG_SZ";
    case win::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case win::REG_BINARY: return "REG_BINARY";
    case win::REG_DWORD: return "REG_DWORD";
    case win::REG_MULTI_SZ: return "REG_MULTI_SZ";
    case win::REG_QWORD: return "REG_QWORD";
    default: return "another type";
  }
}

// A REG_DWORD of 4 bytes; anything else is refused.
std::optional<std::uint32_t> Dword(const std::optional<RegValue>& v, const char* name,
                                   std::vector<std::string>& errors) {
  if (!v) return std::nullopt;
  if (v->type != win::REG_DWORD || v->data.size() != 4) {
    errors.push_back(std::string("<ERROR> ") + name + ": " + TypeName(v->type) + " of " +
                     std::to_string(v->data.size()) + " bytes, not a REG_DWORD; refused");
    return std::nullopt;
  }
  return Le32(v->data.data());
}

// The records of a count and list pair, or nothing when refused.
std::optional<std::string> List(const std::optional<RegValue>& count, const std::optional<RegValue>& list,
                                const char* countName, const char* listName, std::size_t recordBytes,
                                std::size_t maxRecords, std::vector<std::string>& errors) {
  if (!count && !list) return std::string();
  auto n = Dword(count, countName, errors);
  if (!count) errors.push_back(std::string("<ERROR> ") + listName + " without " + countName + "; refused");
  if (!n) return std::nullopt;
  if (!list) {
    if (*n == 0) return std::string();
    errors.push_back(std::string("<ERROR> ") + countName + " " + std::to_string(*n) + " without " + listName +
                     "; refused");
    return std::nullopt;
  }
  if (list->type != win::REG_BINARY) {
    errors.push_back(std::string("<ERROR> ") + listName + ": " + TypeName(list->type) +
                     ", not REG_BINARY; refused");
    return std::nullopt;
  }
  if (*n > maxRecords) {
    errors.push_back(std::string("<ERROR> ") + countName + " " + std::to_string(*n) + " is over " +
                     std::to_string(maxRecords) + "; refused");
    return std::nullopt;
  }
  if (list->data.size() != *n * recordBytes) {
    errors.push_back(std::string("<ERROR> ") + listName + ": " + std::to_string(list->data.size()) +
                     " bytes do not match " + countName + " " + std::to_string(*n) + " (" +
                     std::to_string(*n * recordBytes) + " bytes); refused");
    return std::nullopt;
  }
  return list->data;
}

}  // namespace

bool BlockDriverKindOf(const std::wstring& service, BlockDriverKind& kind) {
  if (text::AsciiIEquals(service, kUrlDriver)) {
    kind = BlockDriverKind::Url;
    return true;
  }
  if (text::AsciiIEquals(service, kPortDriver)) {
    kind = BlockDriverKind::Port;
    return true;
  }
  return false;
}

BlockDriverReading ReadBlockDriverKey(platform::Machine& machine, BlockDriverKind kind, const std::wstring& service) {
  BlockDriverReading r;
  platform::regdb::EnsureRegistry(machine);
  std::vector<std::optional<RegValue>> v;
  machine.Read([&](sqlite3* db) {
    KeyId key = platform::regdb::Walk(db, platform::regdb::RootKey(db, platform::RegRoot::Machine),
                                      {L"SYSTEM", L"CurrentControlSet", L"Services", service});
    if (!key) return;
    r.keyFound = true;
    const std::vector<const wchar_t*> names =
        kind == BlockDriverKind::Url
            ? std::vector<const wchar_t*>{L"DefaultIsDenyURL", L"DebugTextOutput", L"ExceptURLCount", L"ExceptURLList"}
            : std::vector<const wchar_t*>{L"BlockPortCount", L"BlockPortList"};
    for (const wchar_t* name : names) v.push_back(platform::regdb::GetValue(db, key, name));
  });
  if (!r.keyFound) {
    r.errors.push_back("<ERROR> service key missing; nothing enforced");
    return r;
  }
  if (kind == BlockDriverKind::Url) {
    r.defaultIsDeny = Dword(v[0], "DefaultIsDenyURL", r.errors).value_or(0);
    r.debugTextOutput = Dword(v[1], "DebugTextOutput", r.errors).value_or(0);
    auto list = List(v[2], v[3], "ExceptURLCount", "ExceptURLList", kUrlRecordBytes, kMaxUrlRecords, r.errors);
    if (!list) return r;
    // Each record holds its text null-terminated within bytes 0 to 14 and a
    // zero in byte 15; one record that does not refuses the list.
    std::vector<std::string> urls;
    for (std::size_t i = 0; i < list->size(); i += kUrlRecordBytes) {
      const char* rec = list->data() + i;
      const void* nul = std::memchr(rec, 0, 15);
      if (!nul || rec[15] != 0) {
        r.errors.push_back("<ERROR> ExceptURLList: record " + std::to_string(i / kUrlRecordBytes) +
                           " is not null-terminated; refused");
        return r;
      }
      urls.emplace_back(rec, static_cast<const char*>(nul) - rec);
    }
    r.urls = std::move(urls);
  } else {
    auto list = List(v[0], v[1], "BlockPortCount", "BlockPortList", kPortRecordBytes, kMaxPortRecords, r.errors);
    if (!list) return r;
    for (std::size_t i = 0; i < list->size(); i += kPortRecordBytes) {
      r.ports.emplace_back(Le32(list->data() + i), Le32(list->data() + i + 4));
    }
  }
  return r;
}

std::vector<std::string> BlockDriverReading::Lines(BlockDriverKind kind) const {
  std::vector<std::string> out;
  if (kind == BlockDriverKind::Url) {
    out.push_back("DefaultIsDenyURL=" + std::to_string(defaultIsDeny));
    out.push_back("DebugTextOutput=" + std::to_string(debugTextOutput));
    out.push_back("ExceptURLCount=" + std::to_string(urls.size()));
    for (std::size_t i = 0; i < urls.size(); ++i) {
      out.push_back("url[" + std::to_string(i) + "]=" + text::ToUtf8(text::FromAnsi(urls[i])));
    }
  } else {
    out.push_back("BlockPortCount=" + std::to_string(ports.size()));
    for (std::size_t i = 0; i < ports.size(); ++i) {
      out.push_back("port[" + std::to_string(i) + "]=" + std::to_string(ports[i].first) + "," +
                    std::to_string(ports[i].second));
    }
  }
  out.insert(out.end(), errors.begin(), errors.end());
  return out;
}

int RunBlockDriver(BlockDriverKind kind, int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "load") != 0) {
    std::fprintf(stderr, "usage: %s load SERVICE\n", argc > 0 ? argv[0] : "driver");
    return static_cast<int>(win::ERROR_INVALID_PARAMETER);
  }
  const std::wstring service = text::FromUtf8(argv[2]);
  try {
    auto machine = platform::Machine::Current();
    BlockDriverReading r = ReadBlockDriverKey(*machine, kind, service);
    for (const std::string& line : r.Lines(kind)) std::printf("%s\n", line.c_str());
    for (const std::string& e : r.errors) platform::OutputDebugStringW(service + L": " + text::FromUtf8(e) + L"\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return static_cast<int>(win::ERROR_NOT_READY);
  }
}

}  // namespace zv::suite
