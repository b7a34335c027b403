// printf-style formatting with Windows meaning, checked at compile time.
//
// Owns: the formatter every writer of the system uses (log lines, console
// lines, trace lines). Arguments are captured as tagged values, so a format
// that does not match its arguments prints something sensible instead of
// reading stray memory:
//   - conversions: d i u o x X c C s S p f F e E g G a A and %%; flags - + space # 0;
//     width and precision, also as *; length modifiers hh h l ll w I I32 I64 j z t L;
//   - integers take the conversion's width: 32 bits without a modifier or with
//     l (Windows long), 64 with ll/I64/I/z/j/t, 16 with h, 8 with hh, so %X of
//     a negative int prints its 32-bit two's complement;
//   - %p prints 16 upper-case hex digits, zero-padded, no 0x (Windows x64);
//   - in a wide format %s/%c take wide text and %S/%C narrow; in a narrow
//     format the reverse; %ls %ws %lc always wide, %hs %hc always narrow;
//     text of the other width is converted (narrow text is in the ANSI code
//     page), a null string pointer prints "(null)";
//   - a missing argument prints nothing for its conversion, an extra one is
//     ignored, an argument of the wrong kind for a conversion prints nothing
//     (numbers convert between integer and floating point);
//   - %n is never honoured; an unknown conversion is copied as written.
// The result has no length limit.
// Must not: write anywhere; callers get the text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace zv::log {

template <class>
inline constexpr bool kUnsupportedFormatArg = false;

class FormatArg {
 public:
  enum class Kind : std::uint8_t { Signed, Unsigned, Double, Wide, Narrow, Pointer };

  template <class T>
  FormatArg(const T& value) {  // NOLINT: implicit by design
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_array_v<U>) {
      using E = std::remove_cv_t<std::remove_extent_t<U>>;
      static_assert(std::is_same_v<E, wchar_t> || std::is_same_v<E, char>,
                    "only wchar_t and char buffers print as text; convert other arrays first");
      // A fixed buffer prints up to its terminator, never past its end.
      SetText(value, std::extent_v<U>);
    } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
      kind_ = Kind::Pointer;
      unsigned_ = 0;
    } else if constexpr (std::is_same_v<U, bool>) {
      SetSigned(value ? 1 : 0);
    } else if constexpr (std::is_same_v<U, char> || std::is_same_v<U, signed char>) {
      SetSigned(static_cast<signed char>(value));
    } else if constexpr (std::is_same_v<U, wchar_t> || std::is_same_v<U, char16_t> ||
                         std::is_same_v<U, char32_t>) {
      SetUnsigned(static_cast<std::uint32_t>(value));
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
      SetSigned(static_cast<std::int64_t>(value));
    } else if constexpr (std::is_integral_v<U>) {
      SetUnsigned(static_cast<std::uint64_t>(value));
    } else if constexpr (std::is_enum_v<U>) {
      using I = std::underlying_type_t<U>;
      if constexpr (std::is_signed_v<I>) {
        SetSigned(static_cast<std::int64_t>(value));
      } else {
        SetUnsigned(static_cast<std::uint64_t>(value));
      }
    } else if constexpr (std::is_floating_point_v<U>) {
      kind_ = Kind::Double;
      double_ = static_cast<double>(value);
    } else if constexpr (std::is_same_v<U, const wchar_t*> || std::is_same_v<U, wchar_t*> ||
                         std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
      SetText(value, std::size_t(-1));
    } else if constexpr (std::is_convertible_v<const U&, std::wstring_view>) {
      std::wstring_view v = value;
      kind_ = Kind::Wide;
      wide_ = v.data();
      size_ = v.size();
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
      std::string_view v = value;
      kind_ = Kind::Narrow;
      narrow_ = v.data();
      size_ = v.size();
    } else if constexpr (std::is_pointer_v<U>) {
      using P = std::remove_cv_t<std::remove_pointer_t<U>>;
      static_assert(!std::is_same_v<P, std::uint16_t> && !std::is_same_v<P, char16_t>,
                    "UTF-16 fields print through their accessors (std::wstring)");
      kind_ = Kind::Pointer;
      unsigned_ = reinterpret_cast<std::uintptr_t>(value);
    } else {
      static_assert(kUnsupportedFormatArg<T>, "unsupported format argument type");
    }
  }

  Kind kind() const { return kind_; }
  std::int64_t AsSigned() const;
  std::uint64_t AsUnsigned() const;
  double AsDouble() const;
  // Text views; a null pointer argument gives null data.
  const wchar_t* wide() const { return wide_; }
  const char* narrow() const { return narrow_; }
  std::size_t size() const { return size_; }
  bool IsNumber() const { return kind_ != Kind::Wide && kind_ != Kind::Narrow; }

 private:
  void SetSigned(std::int64_t v) {
    kind_ = Kind::Signed;
    signed_ = v;
  }
  void SetUnsigned(std::uint64_t v) {
    kind_ = Kind::Unsigned;
    unsigned_ = v;
  }
  // Text up to the first zero or `limit` units.
  void SetText(const wchar_t* p, std::size_t limit) {
    kind_ = Kind::Wide;
    wide_ = p;
    size_ = p ? BoundedLength(p, limit) : 0;
  }
  void SetText(const char* p, std::size_t limit) {
    kind_ = Kind::Narrow;
    narrow_ = p;
    size_ = p ? BoundedLength(p, limit) : 0;
  }
  template <class C>
  static std::size_t BoundedLength(const C* p, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && p[n] != 0) ++n;
    return n;
  }

  Kind kind_ = Kind::Signed;
  union {
    std::int64_t signed_;
    std::uint64_t unsigned_ = 0;
    double double_;
  };
  const wchar_t* wide_ = nullptr;
  const char* narrow_ = nullptr;
  std::size_t size_ = 0;
};

// Appends the formatted text to `out`.
void AppendFormatV(std::wstring& out, std::wstring_view format, std::span<const FormatArg> args);
void AppendFormatNarrowV(std::string& out, std::string_view format, std::span<const FormatArg> args);

// Log lines: the same, but every text and character value (%s %S %c %C and
// their sized forms; never the format itself) is escaped so that what a
// caller passes cannot start a line or reach a console as a control:
// a unit 0x00-0x1F or 0x7F, in wide text also 0x80-0x9F, and the escape
// character '^' itself become '^' and two upper-case hex digits ("\r\n" ->
// "^0D^0A", "^" -> "^5E"). Reversible: every '^' in an escaped value starts
// such a triple.
inline constexpr char kLogEscape = '^';
void AppendLogFormatV(std::wstring& out, std::wstring_view format, std::span<const FormatArg> args);
void AppendLogFormatNarrowV(std::string& out, std::string_view format, std::span<const FormatArg> args);
void AppendLogEscaped(std::wstring& out, std::wstring_view text);
void AppendLogEscaped(std::string& out, std::string_view text);

template <class... A>
std::wstring Format(std::wstring_view format, const A&... args) {
  std::wstring out;
  if constexpr (sizeof...(A) == 0) {
    AppendFormatV(out, format, {});
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    AppendFormatV(out, format, captured);
  }
  return out;
}

// 8-bit lines (console, trace files): narrow format, same rules.
template <class... A>
std::string FormatNarrow(std::string_view format, const A&... args) {
  std::string out;
  if constexpr (sizeof...(A) == 0) {
    AppendFormatNarrowV(out, format, {});
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    AppendFormatNarrowV(out, format, captured);
  }
  return out;
}

}  // namespace zv::log
