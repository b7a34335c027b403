// .reg text: export and import keep names and data byte for byte; the file
// form is the registry editor's; malformed files are refused whole.
#include "platform/registry/reg_file.h"
#include "platform/registry/tests/registry_fixture.h"

using namespace zv::platform;
using namespace zv::platform::testing;
namespace win = zv::win;
using win::HKEY_LOCAL_MACHINE;

namespace {

class RegFileTest : public RegistryTest {
 protected:
  void Set(win::HKEY key, const std::wstring& name, win::DWORD type, const std::string& bytes) {
    ASSERT_EQ(Reg().RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const win::BYTE*>(bytes.data()),
                                   static_cast<win::DWORD>(bytes.size())),
              0);
  }
  std::string Export(const std::wstring& path) {
    RegRoot root;
    std::vector<std::wstring> names;
    EXPECT_EQ(ParseRootedPath(path, root, names), 0);
    std::vector<RegFileKey> keys;
    EXPECT_EQ(ExportTree(*machine_, root, names, keys), 0);
    std::string bytes;
    EXPECT_EQ(WriteRegFile(keys, bytes), 0);
    return bytes;
  }
  win::DWORD Import(const std::string& bytes, std::size_t* badLine = nullptr) {
    std::vector<RegFileKey> keys;
    if (win::DWORD e = ParseRegFile(bytes, keys, badLine)) return e;
    return ImportKeys(*machine_, keys);
  }
  static std::string Utf16(const std::wstring& s) { return "\xFF\xFE" + zv::text::ToUtf16Le(s); }
};

TEST_F(RegFileTest, ExportImportRoundTripKeepsNamesAndBytes) {
  const std::wstring odd = L"Schl\x00FCssel \x263A \xD83D\xDE00 lone\xD800 ]end]";
  win::HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zv\\" + odd);
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  Set(key, L"", win::REG_SZ, zv::text::ToUtf16Le(std::wstring(L"default") + L'\0'));
  Set(key, L"quote \" and \\ back", win::REG_SZ, zv::text::ToUtf16Le(std::wstring(L"C:\\dir\\\"q\"") + L'\0'));
  Set(key, odd, win::REG_SZ, zv::text::ToUtf16Le(odd + L'\0'));
  Set(key, L"no terminator", win::REG_SZ, zv::text::ToUtf16Le(L"abc"));
  Set(key, L"line break", win::REG_SZ, zv::text::ToUtf16Le(std::wstring(L"a\r\nb") + L'\0'));
  Set(key, L"odd bytes", win::REG_SZ, std::string("a\0b", 3));
  Set(key, L"all bytes", win::REG_BINARY, all);
  Set(key, L"empty", win::REG_BINARY, "");
  Set(key, L"dword", win::REG_DWORD, std::string("\x78\x56\x34\x12", 4));
  Set(key, L"short dword", win::REG_DWORD, std::string("\x01\x02", 2));
  Set(key, L"multi", win::REG_MULTI_SZ, zv::text::ToUtf16Le(std::wstring(L"a\0b\0\0", 5)));
  Set(key, L"qword", win::REG_QWORD, std::string("\x01\x00\x00\x00\x00\x00\x00\x80", 8));
  Set(key, L"odd type", 0x1234, "xyz");
  Create(key, L"Sub\\Deeper");

  std::string first = Export(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zv");
  ASSERT_EQ(first.substr(0, 2), "\xFF\xFE");
  std::wstring text = zv::text::FromUtf16Le(first.data() + 2, first.size() - 2);
  EXPECT_EQ(text.rfind(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zv]\r\n", 0), 0u);
  EXPECT_NE(text.find(L"\"dword\"=dword:12345678\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"@=\"default\"\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\"quote \\\" and \\\\ back\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\"no terminator\"=hex(1):61,00,62,00,63,00\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\"all bytes\"=hex:00,01,02,"), std::wstring::npos);
  EXPECT_NE(text.find(L",\\\r\n  "), std::wstring::npos);  // long hex wraps
  EXPECT_NE(text.find(L"\"odd type\"=hex(1234):78,79,7a\r\n"), std::wstring::npos);

  // Import into an emptied tree gives back the same bytes.
  Reg().RegCloseKey(key);
  open_.clear();
  std::vector<RegFileKey> removal = {{L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zv", true, {}}};
  ASSERT_EQ(ImportKeys(*machine_, removal), 0);
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zv"));
  ASSERT_EQ(Import(first), 0);
  EXPECT_EQ(Export(L"HKLM\\SOFTWARE\\Zv"), first);
  win::HKEY back;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zv\\" + odd, win::KEY_READ, &back), 0);
  win::BYTE buf[300];
  win::DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(Reg().RegQueryValueExW(back, L"all bytes", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), all);
  size = sizeof buf;
  ASSERT_EQ(Reg().RegQueryValueExW(back, L"odd bytes", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("a\0b", 3));
  EXPECT_EQ(type, win::REG_SZ);
}

TEST_F(RegFileTest, ImportAppliesRemovalsAndRefusesBadFilesWhole) {
  ASSERT_EQ(Import(Utf16(L"Windows Registry Editor Version 5.00\r\n\r\n"
                         L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\r\n\"a\"=dword:00000001\r\n\"b\"=\"x\"\r\n"
                         L"\"c\"=hex:01,02,\\\r\n  03\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Gone]\r\n")),
            0);
  win::HKEY imp;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Imp", win::KEY_READ, &imp), 0);
  win::DWORD size = 0;
  EXPECT_EQ(Reg().RegQueryValueExW(imp, L"c", nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 3u);
  ASSERT_EQ(Import(Utf16(L"Windows Registry Editor Version 5.00\r\n\r\n"
                         L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Gone]\r\n\r\n"
                         L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\r\n\"a\"=-\r\n")),
            0);
  EXPECT_EQ(GetDword(imp, L"a"), ~0u);
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Imp\\Gone"));

  // A bad line refuses the file; nothing of it is applied.
  std::size_t line = 0;
  EXPECT_EQ(Import(Utf16(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\r\n"
                         L"\"new\"=dword:1\r\n\"bad\"=hex:0g\r\n"),
                   &line),
            win::ERROR_BADDB);
  EXPECT_EQ(line, 5u);
  EXPECT_EQ(GetDword(imp, L"new"), ~0u);
  EXPECT_EQ(Import(Utf16(L"REGEDIT4\r\n")), win::ERROR_BADDB);
  // Places Windows refuses: a new hive, removing a hive; all or nothing.
  EXPECT_EQ(Import(Utf16(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Ok]\r\n"
                         L"[HKEY_LOCAL_MACHINE\\NewHive]\r\n")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Imp\\Ok"));
  EXPECT_EQ(Import(Utf16(L"Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Imp"));
  EXPECT_EQ(Import(Utf16(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\X]\r\n")),
            win::ERROR_BAD_PATHNAME);
}

}  // namespace
