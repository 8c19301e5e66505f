// Number syntax, exact conversion and the three block parsers. Offsets are
// 64-bit and every access is checked against the end of the bytes before it
// is made: the parsers never read outside [data, data + size).
#include "kernels/parse.hpp"
#include "kernels/rounding.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

namespace tavo::kernels {
namespace {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool is_sign(char c) noexcept { return c == '+' || c == '-'; }
inline bool is_eol(char c) noexcept { return c == '\n' || c == '\r'; }
inline bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
inline bool is_rare_blank(char c) noexcept { return c == '\v' || c == '\f'; }
/// What float() strips around a number, line ends aside: blank, tab, vertical tab, form feed.
inline bool is_any_blank(char c) noexcept { return is_blank(c) || is_rare_blank(c); }

enum class Exponent : std::uint8_t { none, letter_e, letter_d, bare };

/// The syntax of the longest number starting at `p`, and its value as an
/// integer times a power of ten where both are small enough to be exact.
struct Scan {
  const char *end;       // == p when no number starts at p
  const char *mant_end;  // end of sign, digits and point
  Exponent exponent;
  bool integer;          // digits only, no point, no exponent
  bool small;            // digits < 2**53 and |exp10| <= 22: see convert()
  std::uint64_t digits;  // the mantissa's digits as an integer, when `small`
  int exp10;             // the value is digits * 10**exp10, when `small`
};

Scan scan(const char *p, const char *e) noexcept {
  const char *s = p;
  if (s < e && is_sign(*s)) ++s;
  std::uint64_t m = 0;
  int kept = 0;  // digits in m after its leading zeros; 19 always fit in 64 bits
  std::int64_t n_digits = 0, dropped = 0;
  auto take_digits = [&](bool fraction) {
    for (; s < e && is_digit(*s); ++s, ++n_digits) {
      if (kept < 19) {
        m = m * 10 + std::uint64_t(*s - '0');
        kept += m != 0;
        dropped -= fraction;
      } else {
        dropped += !fraction;  // an integer digit past the 19th still scales the value
        kept = 20;             // too many digits for the exact path
      }
    }
  };
  take_digits(false);
  bool point = false;
  if (s < e && *s == '.') {
    point = true;
    ++s;
    take_digits(true);
  }
  if (n_digits == 0) return {p, p, Exponent::none, false, false, 0, 0};
  Scan r{s, s, Exponent::none, !point, false, m, 0};
  // An exponent is kept exact below a million and saturates there; a saturated
  // one must not reach the exact path, where a million leading zeros of the
  // fraction (in `dropped`) would offset it into the range of small powers.
  constexpr std::int64_t saturated = 1000000;
  std::int64_t exponent = 0;
  if (s < e) {
    const char c = *s;
    const bool letter = c == 'e' || c == 'E' || c == 'd' || c == 'D';
    if (letter || is_sign(c)) {
      // A letter may carry a sign; the bare form is the sign itself, as the E edit
      // descriptor writes exponents of three digits ("1.5-105").
      const char *q = s + 1;
      bool negative = !letter && c == '-';
      if (letter && q < e && is_sign(*q)) negative = *q++ == '-';
      const char *exp_digits = q;
      for (; q < e && is_digit(*q); ++q)
        exponent = std::min<std::int64_t>(exponent * 10 + (*q - '0'), saturated);
      if (q > exp_digits) {  // a letter or sign without digits is not part of the number
        r.end = q;
        r.integer = false;
        r.exponent = !letter ? Exponent::bare
                     : (c == 'e' || c == 'E') ? Exponent::letter_e
                                              : Exponent::letter_d;
        if (negative) exponent = -exponent;
      } else {
        exponent = 0;
      }
    }
  }
  const std::int64_t exp10 = exponent + dropped;
  r.small = kept <= 19 && m <= (std::uint64_t(1) << 53) && exp10 >= -22 && exp10 <= 22 &&
            exponent != saturated && exponent != -saturated;
  r.exp10 = int(exp10);
  return r;
}

/// Decimal exponent of the leading non-zero digit of a number whose conversion
/// was out of range, saturated far beyond any double's: >= 0 means overflow.
std::int64_t magnitude(const char *first, const Scan &s) noexcept {
  constexpr std::int64_t cap = std::int64_t(1) << 52;
  const char *p = first;
  if (is_sign(*p)) ++p;
  std::int64_t lead = -cap;  // no non-zero digit: a zero, which underflows
  std::int64_t before_point = 0;
  const char *q = p;
  for (; q < s.mant_end && *q != '.'; ++q) ++before_point;
  std::int64_t position = before_point;  // digits before the point not yet passed
  for (const char *d = p; d < s.mant_end; ++d) {
    if (*d == '.') continue;
    --position;
    if (*d != '0') {
      lead = position;
      break;
    }
  }
  std::int64_t exponent = 0;
  const char *x = s.mant_end;
  if (s.exponent == Exponent::letter_e || s.exponent == Exponent::letter_d) ++x;
  bool negative = false;
  if (x < s.end && is_sign(*x)) negative = *x++ == '-';
  for (; x < s.end; ++x) exponent = std::min(cap, exponent * 10 + (*x - '0'));
  if (lead == -cap) return -cap;
  return lead + (negative ? -exponent : exponent);
}

constexpr double powers_of_ten[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/// Converts a scanned number [first, s.end) to the correctly rounded double.
ParseStatus convert(const char *first, const Scan &s, double &out) noexcept {
  if (s.small) {
    // Clinger's fast path: an integer below 2**53 and 10**k for k <= 22 are both
    // exact doubles, so one IEEE multiplication or division rounds correctly,
    // as from_chars would, while rounding to nearest (the entry points set it).
    // Most record samples have a few digits.
    const double m = double(s.digits);
    const double v = s.exp10 >= 0 ? m * powers_of_ten[s.exp10] : m / powers_of_ten[-s.exp10];
    out = *first == '-' ? -v : v;
    return ParseStatus::ok;
  }
  // std::from_chars rounds correctly and ignores the locale; it takes no '+'.
  const char *a = *first == '+' ? first + 1 : first;
  std::from_chars_result r;
  double value = 0.0;
  if (s.exponent == Exponent::none || s.exponent == Exponent::letter_e) {
    r = std::from_chars(a, s.end, value);
    if (r.ptr != s.end && r.ec == std::errc()) return ParseStatus::not_a_number;
  } else {
    // "1.5D+03" and "1.5-105" are rewritten "1.5e+03" and "1.5e-105".
    const char *exp_first = s.exponent == Exponent::letter_d ? s.mant_end + 1 : s.mant_end;
    const std::size_t n_mant = std::size_t(s.mant_end - a);
    const std::size_t n_exp = std::size_t(s.end - exp_first);
    const std::size_t n = n_mant + 1 + n_exp;
    char local[128];
    std::unique_ptr<char[]> heap;
    char *buf = local;
    if (n > sizeof local) {
      heap.reset(new (std::nothrow) char[n]);
      if (!heap) return ParseStatus::no_memory;
      buf = heap.get();
    }
    std::memcpy(buf, a, n_mant);
    buf[n_mant] = 'e';
    std::memcpy(buf + n_mant + 1, exp_first, n_exp);
    r = std::from_chars(buf, buf + n, value);
    if (r.ptr != buf + n && r.ec == std::errc()) return ParseStatus::not_a_number;
  }
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars reports both ends; Python's float() gives a signed zero for
    // the underflow and infinity for the overflow, which no record may hold.
    if (magnitude(first, s) >= 0) return ParseStatus::out_of_range;
    out = *first == '-' ? -0.0 : 0.0;
    return ParseStatus::ok;
  }
  if (r.ec != std::errc()) return ParseStatus::not_a_number;
  out = value;
  return ParseStatus::ok;
}

/// A trimmed fixed-width field [a, b) that is a sign, digits with at most one point
/// (19 digits at most) and an exponent of at most four digits ("E+01", "D-3", the
/// bare "-105"), converted as convert() converts it: these are the fields that
/// scan() marks `small` when their power of ten is at most 22, so Clinger's path
/// gives the same double. False for anything else (more digits, a larger power, no
/// digit, other text), which scan() and convert() then read or report. Most samples
/// of fixed-width files are such fields: one pass over them, without scan()'s
/// general bookkeeping.
inline bool plain_decimal(const char *a, const char *b, double &out) noexcept {
  const bool negative = *a == '-';
  const char *p = a + (negative || *a == '+');
  const char *const digits_from = p;
  const char *point = nullptr;
  std::uint64_t m = 0;  // wraps past 19 digits, which are refused below
  for (; p < b; ++p) {
    const unsigned d = unsigned(static_cast<unsigned char>(*p)) - unsigned('0');
    if (d < 10) {
      m = m * 10 + d;
    } else if (*p == '.' && point == nullptr) {
      point = p;
    } else {
      break;
    }
  }
  const char *const mantissa_end = p;
  const std::int64_t n_digits = (mantissa_end - digits_from) - (point != nullptr);
  if (n_digits == 0 || n_digits > 19 || m > (std::uint64_t(1) << 53)) return false;
  const std::int64_t fraction = point != nullptr ? mantissa_end - point - 1 : 0;
  if (p == b) {  // no exponent: at most 19 digits after the point, 10**fraction is exact
    const double v = double(m) / powers_of_ten[fraction];
    out = negative ? -v : v;
    return true;
  }
  std::int64_t exponent = 0;
  {
    const char c = *p;
    const bool letter = c == 'e' || c == 'E' || c == 'd' || c == 'D';
    if (!letter && c != '-' && c != '+') return false;
    bool exponent_negative = c == '-';
    ++p;
    if (letter && p < b && (*p == '-' || *p == '+')) exponent_negative = *p++ == '-';
    if (p == b || b - p > 4) return false;  // no digit, or more than a double needs
    for (; p < b; ++p) {
      const unsigned d = unsigned(static_cast<unsigned char>(*p)) - unsigned('0');
      if (d >= 10) return false;
      exponent = exponent * 10 + d;
    }
    if (exponent_negative) exponent = -exponent;
  }
  const std::int64_t exp10 = exponent - fraction;
  if (exp10 < -22 || exp10 > 22) return false;
  const double v = exp10 >= 0 ? double(m) * powers_of_ten[exp10] : double(m) / powers_of_ten[-exp10];
  out = negative ? -v : v;
  return true;
}

constexpr std::int64_t max_shown = 256;  // longest offending text measured for a message

/// The end of the line starting at p: its first '\n' or '\r', or e.
const char *line_end(const char *p, const char *e) noexcept {
  const void *nl = std::memchr(p, '\n', std::size_t(e - p));
  const char *stop = nl ? static_cast<const char *>(nl) : e;
  const void *cr = std::memchr(p, '\r', std::size_t(stop - p));
  return cr ? static_cast<const char *>(cr) : stop;
}

/// Length of the run of non-separators at p (capped), the text a message shows.
std::int64_t token_length(const char *p, const char *e, const Separators &seps) noexcept {
  const char *q = p;
  while (q < e && q - p < max_shown && !seps(*q)) ++q;
  return q - p;
}

/// Length up to the end of the line (capped), trailing blanks excluded.
std::int64_t line_length(const char *p, const char *e) noexcept {
  const char *q = p;
  while (q < e && q - p < max_shown && !is_eol(*q)) ++q;
  while (q > p && is_any_blank(q[-1])) --q;
  return q - p;
}

ParseResult failure(ParseStatus status, std::int64_t values, std::int64_t offset,
                    std::int64_t length, std::int64_t found = 0) noexcept {
  ParseResult r;
  r.status = status;
  r.values = values;
  r.offset = offset;
  r.length = length;
  r.found = found;
  return r;
}

ParseResult success(std::int64_t values, std::int64_t end) noexcept {
  ParseResult r;
  r.values = values;
  r.end = end;
  return r;
}

} // namespace

Separators::Separators() noexcept {
  for (char c : {' ', '\t', '\n', '\r', '\v', '\f'}) class_[static_cast<unsigned char>(c)] = separator;
  for (char c : {'+', '-'}) class_[static_cast<unsigned char>(c)] = sign;
  for (char c : {'e', 'E', 'd', 'D'}) class_[static_cast<unsigned char>(c)] = letter;
}

bool Separators::add(const char *extra, std::int64_t n) noexcept {
  for (std::int64_t i = 0; i < n; ++i)
    if (std::strchr("0123456789+-.eEdD", extra[i]) != nullptr || extra[i] == '\0') return false;
  for (std::int64_t i = 0; i < n; ++i) class_[static_cast<unsigned char>(extra[i])] = separator;
  return true;
}

ParseStatus to_double(const char *first, const char *last, double &out) noexcept {
  const NearestRounding nearest;  // a text means the same double in any mode
  const Scan s = scan(first, last);
  if (s.end == first || s.end != last) return ParseStatus::not_a_number;
  return convert(first, s, out);
}

ParseResult parse_floats(Bytes bytes, std::int64_t start, std::int64_t count,
                         const Separators &seps, double *out) noexcept {
  const NearestRounding nearest;  // a text means the same double in any mode
  const char *const base = bytes.data;
  const char *const e = base + bytes.size;
  const char *p = base + start;
  std::int64_t n = 0, end = start;
  for (;;) {
    if (count >= 0 && n == count) break;
    while (p < e && seps(*p)) ++p;
    if (p == e) break;
    const Scan s = scan(p, e);
    // A number ends at a separator, the end, or the sign of a run-together next number.
    if (s.end == p || !(s.end == e || seps(*s.end) || is_sign(*s.end)))
      return failure(ParseStatus::not_a_number, n, p - base, token_length(p, e, seps));
    if (out != nullptr) {
      const ParseStatus status = convert(p, s, out[n]);
      if (status != ParseStatus::ok) return failure(status, n, p - base, s.end - p);
    }
    ++n;
    p = s.end;
    end = p - base;
  }
  if (count >= 0 && n < count) return failure(ParseStatus::data_ends, n, bytes.size, 0);
  return success(n, end);
}

std::int64_t count_tokens(Bytes bytes, std::int64_t start, const Separators &seps) noexcept {
  const char *p = bytes.data + start;
  const char *const e = bytes.data + bytes.size;
  std::int64_t n = 0;
  unsigned before = Separators::separator;
  unsigned run_together = 0;
  // Branch-free over the bytes: a token starts where a separator ends; a sign
  // inside a token after anything but an exponent letter may start a number.
  for (; p < e; ++p) {
    const unsigned now = seps.class_of(*p);
    n += (before & ~now & Separators::separator) != 0;
    run_together |= (now & Separators::sign) & ~((before & (Separators::separator | Separators::letter)) != 0 ? ~0u : 0u);
    before = now;
  }
  return run_together != 0 ? -1 : n;
}

ParseResult parse_fixed(Bytes bytes, std::int64_t start, std::int64_t count, std::int64_t width,
                        std::int64_t per_line, bool integers, double *out) noexcept {
  const NearestRounding nearest;  // a text means the same double in any mode
  const char *const base = bytes.data;
  const char *const e = base + bytes.size;
  const char *p = base + start;
  std::int64_t n = 0, end = start;
  if (count == 0) return success(0, start);
  for (;;) {
    const char *line = p;
    const char *const eol = line_end(line, e);  // once a line: the fields need no scan for it
    const std::int64_t on_line = std::min(per_line, count - n);
    for (std::int64_t j = 0; j < on_line; ++j) {
      const char *field = p;
      // Offsets, not pointers, against the line's end: `width` may exceed what is left.
      if (eol - field < width) {  // cut short by the end of the line or of the data
        const char *q = eol;
        const char *text = field;
        while (text < q && is_any_blank(*text)) ++text;
        if (text < q) return failure(ParseStatus::short_field, n, field - base, q - field);
        // Only blank lines left: the data ends here, whatever the line's length.
        const char *rest = q;
        while (rest < e && (is_any_blank(*rest) || is_eol(*rest))) ++rest;
        if (rest == e) return failure(ParseStatus::data_ends, n, bytes.size, 0);
        return failure(ParseStatus::short_line, n, line - base, line_length(line, e), j);
      }
      const char *a = field, *b = field + width;
      while (a < b && is_blank(*a)) ++a;
      while (b > a && is_blank(b[-1])) --b;
      if (!integers && out != nullptr && a < b && plain_decimal(a, b, out[n])) {
        ++n;
        p = field + width;
        end = p - base;
        continue;
      }
      // A vertical tab or form feed at an end is a blank too, looked for only here:
      // the loops over the spaces of every field stay as tight.
      if (a < b && (is_rare_blank(*a) || is_rare_blank(b[-1]))) {
        while (a < b && is_any_blank(*a)) ++a;
        while (b > a && is_any_blank(b[-1])) --b;
      }
      if (a == b) return failure(ParseStatus::blank_field, n, field - base, width);
      const Scan s = scan(a, b);
      if (s.end == a || s.end != b) return failure(ParseStatus::not_a_number, n, a - base, b - a);
      if (integers && !s.integer) return failure(ParseStatus::not_an_integer, n, a - base, b - a);
      if (out != nullptr) {
        const ParseStatus status = convert(a, s, out[n]);
        if (status != ParseStatus::ok) return failure(status, n, a - base, b - a);
      }
      ++n;
      p = field + width;
      end = p - base;
    }
    const char *q = p;
    while (q < e && is_any_blank(*q)) ++q;
    if (q < e && !is_eol(*q)) return failure(ParseStatus::text_after, n, q - base, line_length(q, e));
    if (n == count) return success(n, end);
    if (q == e) return failure(ParseStatus::data_ends, n, bytes.size, 0);
    if (*q++ == '\r' && q < e && *q == '\n') ++q;
    p = q;
  }
}

ParseResult parse_columns(Bytes bytes, std::int64_t start, std::int64_t n_columns,
                          std::int64_t rows, const Separators &seps, double *out) noexcept {
  const NearestRounding nearest;  // a text means the same double in any mode
  const char *const base = bytes.data;
  const char *const e = base + bytes.size;
  const char *p = base + start;
  std::int64_t n = 0, end = start;
  for (;;) {
    if (rows >= 0 && n == rows) break;
    while (p < e && seps(*p)) ++p;  // blank lines and leading separators
    if (p == e) break;
    const char *row = p;
    const char *last = p;
    std::int64_t j = 0;
    for (;;) {
      const Scan s = scan(p, e);
      if (s.end == p || !(s.end == e || seps(*s.end) || is_sign(*s.end)))
        return failure(ParseStatus::not_a_number, n, p - base, token_length(p, e, seps));
      if (out != nullptr && j < n_columns) {
        const ParseStatus status = convert(p, s, out[n * n_columns + j]);
        if (status != ParseStatus::ok) return failure(status, n, p - base, s.end - p);
      }
      ++j;
      p = last = s.end;
      while (p < e && seps(*p) && !is_eol(*p)) ++p;
      if (p == e || is_eol(*p)) break;
    }
    if (j != n_columns)
      return failure(ParseStatus::wrong_columns, n, row - base, line_length(row, e), j);
    ++n;
    end = last - base;
  }
  if (rows >= 0 && n < rows) return failure(ParseStatus::data_ends, n, bytes.size, 0);
  return success(n, end);
}

std::int64_t first_lone_cr(Bytes bytes) noexcept {
  const auto *d = reinterpret_cast<const unsigned char *>(bytes.data);
  const std::int64_t n = bytes.size;
  // Blocks tested without a branch per byte, so that the compiler vectorises the
  // test of CR LF files (a CR every line); the block that holds one is searched.
  constexpr std::int64_t block = 64;
  std::int64_t i = 0;
  for (; i + block < n; i += block) {  // d[i + block] is the last byte looked at
    unsigned char lone = 0;  // byte lanes: 0xff where a CR has no LF after it
    for (std::int64_t k = 0; k < block; ++k) {
      const unsigned char cr = d[i + k] == '\r' ? 0xff : 0, lf = d[i + k + 1] == '\n' ? 0xff : 0;
      lone |= static_cast<unsigned char>(cr & ~lf);
    }
    if (lone != 0) break;
  }
  for (; i < n; ++i)
    if (d[i] == '\r' && (i + 1 == n || d[i + 1] != '\n')) return i;
  return -1;
}

} // namespace tavo::kernels
