// The product data store of the suite: numbered items holding a few bytes
// each (items 1, 69 and 70 are 4-byte integers: protection on, recycle-bin
// cleaning, temporary-file cleaning).
//
// File format (text, CR LF lines; docs/support-libraries.md):
//     ZVDATA 1
//     <item>=<bytes as two hex digits each, in order>
// e.g. "1=01000000" for item 1 holding the integer 1. Lines are kept in
// item order, one per item; unknown lines are dropped on the next write.
// A write goes to a temporary file beside the store that replaces it in
// one rename, so a reader sees the old or the new store, never a part.
//
// Owns: the open store of the calling program (one at a time, as the
// library's callers use it) and the file format.
// Must not: write anywhere but the store's own folder.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zv::support {

using ProductItems = std::map<int, std::vector<std::uint8_t>>;

// Opens the store at `path` for the reads that follow (a missing file is an
// empty store). `maxItems` bounds the item numbers (items 0..maxItems-1).
// 1 when the file was read or is missing, 0 when it is not a store.
int OpenZVData(const wchar_t* path, int maxItems);
// Copies the item's bytes to `out` (at most `size`; fewer when the item is
// shorter, the rest left alone). 1 when the item exists, else 0 and `out`
// unchanged. `reserved` and `kind` are accepted as the callers pass them
// (0 and 1).
int GetZVData(int item, int reserved, int kind, unsigned size, void* out);
// Closes the open store. 1 when one was open.
int CloseZVData();

// The file side, for the tools that prepare a machine.
std::optional<ProductItems> ReadProductDataFile(const std::wstring& path);
std::string FormatProductData(const ProductItems& items);
// Sets one item and writes the store atomically; true on success.
bool WriteProductDataItem(const std::wstring& path, int item, const std::vector<std::uint8_t>& bytes);

}  // namespace zv::support
