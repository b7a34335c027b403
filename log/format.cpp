// The formatter: see format.h.
#include "log/format.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "platform/base/text.h"

namespace zv::log {

std::uint64_t FormatArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<std::uint64_t>(signed_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return unsigned_;
    case Kind::Double:
      // Out-of-range values (and NaN) would be undefined to convert.
      if (!(double_ > -9.2e18 && double_ < 9.2e18)) return 0;
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(double_));
    default:
      return 0;
  }
}

std::int64_t FormatArg::AsSigned() const { return static_cast<std::int64_t>(AsUnsigned()); }

double FormatArg::AsDouble() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(signed_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return static_cast<double>(unsigned_);
    case Kind::Double:
      return double_;
    default:
      return 0;
  }
}

namespace {

// C1 controls (U+0080-U+009F) are escaped in wide text only: narrow text is
// in the ANSI code page, where those bytes are printable characters.
template <class C>
inline constexpr bool kLogEscapeC1 = std::is_same_v<C, wchar_t>;

// Widths and precisions beyond this come only from garbage '*' arguments.
constexpr int kMaxField = 1 << 20;

struct Directive {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none
  int bits = 32;       // integer width of the conversion
  bool wideModifier = false;
  bool narrowModifier = false;
};

template <class C>
class Formatter {
 public:
  using View = std::basic_string_view<C>;
  static constexpr bool kWide = std::is_same_v<C, wchar_t>;

  Formatter(std::basic_string<C>& out, std::span<const FormatArg> args, bool escapeValues)
      : out_(out), args_(args), escape_(escapeValues) {}

  void Run(View f) {
    std::size_t i = 0;
    while (i < f.size()) {
      std::size_t pct = f.find(C('%'), i);
      if (pct == View::npos) {
        out_.append(f.substr(i));
        return;
      }
      out_.append(f.substr(i, pct - i));
      i = Conversion(f, pct);
    }
  }

 private:
  const FormatArg* Take() { return next_ < args_.size() ? &args_[next_++] : nullptr; }

  static bool IsDigit(C c) { return c >= C('0') && c <= C('9'); }

  // A format character as ASCII; anything outside ASCII is no conversion,
  // flag or length character (never narrowed onto one: U+0164 is not 'd').
  static char Ascii(C c) {
    auto unit = static_cast<std::make_unsigned_t<C>>(c);
    return unit < 0x80 ? static_cast<char>(unit) : '\0';
  }

  static int ParseNumber(View f, std::size_t& i) {
    int n = 0;
    while (i < f.size() && IsDigit(f[i])) {
      if (n < kMaxField) n = n * 10 + static_cast<int>(f[i] - C('0'));
      ++i;
    }
    return n < kMaxField ? n : kMaxField;
  }

  // One conversion starting at the '%' at `start`; returns where the text goes on.
  std::size_t Conversion(View f, std::size_t start) {
    std::size_t i = start + 1;
    Directive s;
    for (; i < f.size(); ++i) {
      C c = f[i];
      if (c == C('-')) s.left = true;
      else if (c == C('+')) s.plus = true;
      else if (c == C(' ')) s.space = true;
      else if (c == C('#')) s.alt = true;
      else if (c == C('0')) s.zero = true;
      else break;
    }
    if (i < f.size() && f[i] == C('*')) {
      ++i;
      if (const FormatArg* a = Take(); a && a->IsNumber()) {
        long long w = static_cast<std::int32_t>(a->AsSigned());
        if (w < 0) {
          s.left = true;
          w = -w;
        }
        s.width = static_cast<int>(w < kMaxField ? w : kMaxField);
      }
    } else {
      s.width = ParseNumber(f, i);
    }
    if (i < f.size() && f[i] == C('.')) {
      ++i;
      s.precision = 0;
      if (i < f.size() && f[i] == C('*')) {
        ++i;
        const FormatArg* a = Take();
        long long p = a && a->IsNumber() ? static_cast<std::int32_t>(a->AsSigned()) : -1;
        s.precision = p < 0 ? -1 : static_cast<int>(p < kMaxField ? p : kMaxField);
      } else {
        s.precision = ParseNumber(f, i);
      }
    }
    ParseLength(f, i, s);
    if (i >= f.size()) {  // a conversion cut off by the end of the format
      out_.append(f.substr(start));
      return f.size();
    }
    C conv = f[i++];
    switch (Ascii(conv)) {
      case '%':
        Pad(s, View(&conv, 1));
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        Integer(s, Ascii(conv), Take());
        break;
      case 'p':
        Pointer(s, Take());
        break;
      case 'c':
      case 'C':
        Char(s, NarrowArgExpected(s, conv == C('C')), Take());
        break;
      case 's':
      case 'S':
        Text(s, Take());
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        Floating(s, Ascii(conv), Take());
        break;
      case 'n':  // never writes through an argument
        Take();
        break;
      default:
        out_.append(f.substr(start, i - start));
        break;
    }
    return i;
  }

  static void ParseLength(View f, std::size_t& i, Directive& s) {
    auto at = [&](std::size_t k) { return i + k < f.size() ? Ascii(f[i + k]) : '\0'; };
    switch (at(0)) {
      case 'h':
        if (at(1) == 'h') {
          s.bits = 8;
          i += 2;
        } else {
          s.bits = 16;
          ++i;
        }
        s.narrowModifier = true;
        break;
      case 'l':
        if (at(1) == 'l') {
          s.bits = 64;
          i += 2;
        } else {
          s.wideModifier = true;
          ++i;
        }
        break;
      case 'w':
        s.wideModifier = true;
        ++i;
        break;
      case 'I':
        if (at(1) == '6' && at(2) == '4') {
          s.bits = 64;
          i += 3;
        } else if (at(1) == '3' && at(2) == '2') {
          i += 3;
        } else {
          s.bits = 64;  // size_t on x64
          ++i;
        }
        break;
      case 'j':
      case 'z':
      case 't':
        s.bits = 64;
        ++i;
        break;
      case 'L':
        ++i;
        break;
      default:
        break;
    }
  }

  // Whether a character conversion means an 8-bit character.
  static bool NarrowArgExpected(const Directive& s, bool upper) {
    if (s.wideModifier) return false;
    if (s.narrowModifier) return true;
    return kWide ? upper : !upper;
  }

  void AppendRepeated(C c, int n) {
    if (n > 0) out_.append(static_cast<std::size_t>(n), c);
  }

  // Text and character values, escaped when the caller asked for it.
  void PadValue(const Directive& s, View text) {
    if (!escape_) return Pad(s, text);
    std::basic_string<C> escaped;
    AppendLogEscaped(escaped, text);
    Pad(s, escaped);
  }

  // Width padding with spaces around finished text.
  void Pad(const Directive& s, View text) {
    int fill = s.width - static_cast<int>(text.size());
    if (!s.left) AppendRepeated(C(' '), fill);
    out_.append(text);
    if (s.left) AppendRepeated(C(' '), fill);
  }

  void AppendAscii(std::string_view ascii) {
    for (char c : ascii) out_.push_back(static_cast<C>(static_cast<unsigned char>(c)));
  }

  void Integer(const Directive& s, char conv, const FormatArg* a) {
    if (!a || !a->IsNumber()) return;
    const std::uint64_t mask = s.bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << s.bits) - 1;
    const std::uint64_t raw = a->AsUnsigned() & mask;
    const bool isSigned = conv == 'd' || conv == 'i';
    const bool negative = isSigned && ((raw >> (s.bits - 1)) & 1) != 0;
    const std::uint64_t magnitude = negative ? ((~raw + 1) & mask) : raw;
    const unsigned base = conv == 'o' ? 8 : (conv == 'x' || conv == 'X') ? 16 : 10;
    const char* digitSet = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    std::array<char, 24> digits;  // reversed
    int n = 0;
    for (std::uint64_t v = magnitude; v != 0; v /= base) digits[n++] = digitSet[v % base];
    int zeros = s.precision < 0 ? (n == 0 ? 1 : 0) : (s.precision > n ? s.precision - n : 0);
    if (conv == 'o' && s.alt && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;

    std::string_view sign = negative ? "-" : (isSigned && s.plus) ? "+" : (isSigned && s.space) ? " " : "";
    std::string_view prefix = (s.alt && magnitude != 0 && base == 16) ? (conv == 'X' ? "0X" : "0x") : "";
    int length = static_cast<int>(sign.size() + prefix.size()) + zeros + n;
    int fill = s.width > length ? s.width - length : 0;
    bool zeroFill = s.zero && !s.left && s.precision < 0;

    if (!s.left && !zeroFill) AppendRepeated(C(' '), fill);
    AppendAscii(sign);
    AppendAscii(prefix);
    if (zeroFill) AppendRepeated(C('0'), fill);
    AppendRepeated(C('0'), zeros);
    while (n > 0) out_.push_back(static_cast<C>(digits[--n]));
    if (s.left) AppendRepeated(C(' '), fill);
  }

  void Pointer(const Directive& s, const FormatArg* a) {
    if (!a || !a->IsNumber()) return;
    std::uint64_t v = a->AsUnsigned();
    std::array<C, 16> text;
    for (int k = 15; k >= 0; --k, v >>= 4) text[static_cast<std::size_t>(k)] = static_cast<C>("0123456789ABCDEF"[v & 0xF]);
    Pad(s, View(text.data(), text.size()));
  }

  void Char(const Directive& s, bool narrowChar, const FormatArg* a) {
    if (!a || !a->IsNumber()) return;
    std::uint64_t v = a->AsUnsigned();
    std::basic_string<C> c;
    if constexpr (kWide) {
      if (narrowChar) {
        c = text::FromAnsi(std::string(1, static_cast<char>(v & 0xFF)));
      } else {
        c.push_back(static_cast<wchar_t>(v & 0xFFFF));
      }
    } else {
      if (narrowChar) {
        c.push_back(static_cast<char>(v & 0xFF));
      } else {
        c = text::ToAnsi(std::wstring(1, static_cast<wchar_t>(v & 0xFFFF)));
      }
    }
    PadValue(s, c);
  }

  void Text(const Directive& s, const FormatArg* a) {
    if (!a || a->IsNumber()) return;
    auto limit = [&](std::size_t size) {
      return s.precision >= 0 && static_cast<std::size_t>(s.precision) < size ? static_cast<std::size_t>(s.precision)
                                                                              : size;
    };
    if (a->kind() == FormatArg::Kind::Wide ? a->wide() == nullptr : a->narrow() == nullptr) {
      static constexpr C kNull[] = {C('('), C('n'), C('u'), C('l'), C('l'), C(')')};
      PadValue(s, View(kNull, limit(6)));
      return;
    }
    if (a->kind() == FormatArg::Kind::Wide) {
      std::wstring_view w(a->wide(), limit(a->size()));
      if constexpr (kWide) {
        PadValue(s, w);
      } else {
        PadValue(s, text::ToAnsi(w));
      }
    } else {
      std::string_view n(a->narrow(), limit(a->size()));
      if constexpr (kWide) {
        PadValue(s, text::FromAnsi(n));
      } else {
        PadValue(s, n);
      }
    }
  }

  void Floating(const Directive& s, char conv, const FormatArg* a) {
    if (!a || !a->IsNumber()) return;
    std::string hostFormat = "%";
    if (s.left) hostFormat += '-';
    if (s.plus) hostFormat += '+';
    if (s.space) hostFormat += ' ';
    if (s.alt) hostFormat += '#';
    if (s.zero) hostFormat += '0';
    if (s.width > 0) hostFormat += std::to_string(s.width);
    if (s.precision >= 0) hostFormat += '.' + std::to_string(s.precision);
    hostFormat += conv;
    double v = a->AsDouble();
    std::array<char, 128> small;
    int n = std::snprintf(small.data(), small.size(), hostFormat.c_str(), v);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < small.size()) {
      AppendAscii(std::string_view(small.data(), static_cast<std::size_t>(n)));
      return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), hostFormat.c_str(), v);
    big.resize(static_cast<std::size_t>(n));
    AppendAscii(big);
  }

  std::basic_string<C>& out_;
  std::span<const FormatArg> args_;
  bool escape_;
  std::size_t next_ = 0;
};

template <class C>
void AppendEscaped(std::basic_string<C>& out, std::basic_string_view<C> text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (C c : text) {
    auto unit = static_cast<std::make_unsigned_t<C>>(c);
    bool control = unit < 0x20 || unit == 0x7F || (kLogEscapeC1<C> && unit >= 0x80 && unit <= 0x9F);
    if (!control && c != C(kLogEscape)) {
      out.push_back(c);
      continue;
    }
    out.push_back(C(kLogEscape));
    out.push_back(C(kHex[(unit >> 4) & 0xF]));
    out.push_back(C(kHex[unit & 0xF]));
  }
}

}  // namespace

void AppendLogEscaped(std::wstring& out, std::wstring_view text) { AppendEscaped(out, text); }
void AppendLogEscaped(std::string& out, std::string_view text) { AppendEscaped(out, text); }

void AppendFormatV(std::wstring& out, std::wstring_view format, std::span<const FormatArg> args) {
  Formatter<wchar_t>(out, args, false).Run(format);
}

void AppendFormatNarrowV(std::string& out, std::string_view format, std::span<const FormatArg> args) {
  Formatter<char>(out, args, false).Run(format);
}

void AppendLogFormatV(std::wstring& out, std::wstring_view format, std::span<const FormatArg> args) {
  Formatter<wchar_t>(out, args, true).Run(format);
}

void AppendLogFormatNarrowV(std::string& out, std::string_view format, std::span<const FormatArg> args) {
  Formatter<char>(out, args, true).Run(format);
}

}  // namespace zv::log
