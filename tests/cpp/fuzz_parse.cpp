// libFuzzer harness of the number parser (tools/fuzz-parse builds and runs it).
// Each input is a header of arguments and the bytes to parse, copied to a block of
// exactly their size so that AddressSanitizer sees any read past them. Every
// outcome is compared with a reference written apart from the kernel: the
// grammar as the header documents it, the value from glibc's strtod (correctly
// rounded, C locale) of the number rewritten with 'e', and the block parsers'
// statuses, offsets and counts from a plain reading of their contracts.
//
// Header (9 bytes, short inputs are padded with zeros):
//   [0] entry (when TAVO_FUZZ_ENTRY is unset): 0 to_double, 1 floats and
//       count_tokens, 2 fixed, 3 columns, 4 first_lone_cr
//   [1] bits 0-1 rounding mode left set by the caller, bit 2 integer fields,
//       bit 3 extra delimiters, bit 4 no output (check only), bit 5 subnormals
//       flushed to zero (FTZ and DAZ, as code built with -ffast-math sets them)
//   [2] start (small values only), [3-4] count, [5] width, [6] per line,
//   [7] columns, [8] the extra delimiter
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "kernels/parse.hpp"

using namespace tavo::kernels;

namespace {

int fixed_entry = -1;

[[noreturn]] void fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "MISMATCH %s: %s\n", what, detail.c_str());
  std::abort();
}

std::string show(const char *p, std::int64_t n) {
  std::string s;
  for (std::int64_t i = 0; i < n && i < 200; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    char buf[8];
    if (c >= 32 && c < 127) {
      s += char(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      s += buf;
    }
  }
  return s;
}

std::uint64_t bits(double x) {
  std::uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

bool digit(char c) { return c >= '0' && c <= '9'; }
bool sign(char c) { return c == '+' || c == '-'; }
bool eol(char c) { return c == '\n' || c == '\r'; }
bool any_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool exponent_letter(char c) { return c == 'e' || c == 'E' || c == 'd' || c == 'D'; }

/// The longest number at the start of [p, e) by the documented grammar: its length
/// (0 for none), the same text with its exponent written 'e' for strtod, and
/// whether it is an integer (sign and digits only).
struct Number {
  std::int64_t length = 0;
  std::string for_strtod;
  bool integer = false;
};

Number longest_number(const char *p, const char *e) {
  Number r;
  std::int64_t n = e - p, i = 0;
  if (i < n && sign(p[i])) ++i;
  std::int64_t digits = 0;
  while (i < n && digit(p[i])) ++i, ++digits;
  bool point = false;
  if (i < n && p[i] == '.') {
    point = true;
    ++i;
    while (i < n && digit(p[i])) ++i, ++digits;
  }
  if (digits == 0) return r;
  r.for_strtod.assign(p, std::size_t(i));
  r.integer = !point;
  if (i < n) {
    std::int64_t j = i;
    const char c = p[j];
    if (exponent_letter(c)) {
      ++j;
      if (j < n && sign(p[j])) ++j;
    } else if (sign(c)) {
      ++j;
    }
    if (j > i) {
      std::int64_t k = j;
      while (k < n && digit(p[k])) ++k;
      if (k > j) {
        r.for_strtod += 'e';
        if (sign(p[j - 1])) r.for_strtod += p[j - 1];
        r.for_strtod.append(p + j, std::size_t(k - j));
        r.integer = false;
        i = k;
      }
    }
  }
  r.length = i;
  return r;
}

/// The correctly rounded value of a number (strtod rounding to nearest):
/// ok, or out_of_range beyond the largest double.
ParseStatus reference_value(const std::string &text, double &out) {
  const int mode = std::fegetround();
  std::fesetround(FE_TONEAREST);
  char *end = nullptr;
  out = std::strtod(text.c_str(), &end);
  std::fesetround(mode);
  if (end != text.c_str() + text.size()) fail("strtod", text);
  return std::isinf(out) ? ParseStatus::out_of_range : ParseStatus::ok;
}

const char *name(ParseStatus s) {
  static const char *names[] = {"ok",          "not_a_number", "not_an_integer", "out_of_range",
                                "data_ends",   "blank_field",  "short_field",    "short_line",
                                "text_after",  "wrong_columns", "no_memory"};
  const unsigned i = unsigned(s);
  return i < sizeof names / sizeof *names ? names[i] : "?";
}

void same_result(const char *what, const ParseResult &got, const ParseResult &want,
                 const char *data, std::int64_t size) {
  if (got.status == want.status && got.values == want.values &&
      (got.status != ParseStatus::ok || got.end == want.end) &&
      (got.status == ParseStatus::ok ||
       (got.offset == want.offset && got.length == want.length && got.found == want.found)))
    return;
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "got %s values %lld end %lld offset %lld length %lld found %lld; "
                "want %s values %lld end %lld offset %lld length %lld found %lld; data ",
                name(got.status), (long long)got.values, (long long)got.end, (long long)got.offset,
                (long long)got.length, (long long)got.found, name(want.status),
                (long long)want.values, (long long)want.end, (long long)want.offset,
                (long long)want.length, (long long)want.found);
  fail(what, buf + show(data, size));
}

void same_values(const char *what, const std::vector<double> &got, const std::vector<double> &want,
                 std::int64_t n, const char *data, std::int64_t size) {
  for (std::int64_t i = 0; i < n; ++i)
    if (bits(got[std::size_t(i)]) != bits(want[std::size_t(i)])) {
      char buf[128];
      std::snprintf(buf, sizeof buf, "value %lld: got %a want %a; data ", (long long)i,
                    got[std::size_t(i)], want[std::size_t(i)]);
      fail(what, buf + show(data, size));
    }
}

ParseResult failure(ParseStatus status, std::int64_t values, std::int64_t offset,
                    std::int64_t length, std::int64_t found = 0) {
  ParseResult r;
  r.status = status;
  r.values = values;
  r.offset = offset;
  r.length = length;
  r.found = found;
  return r;
}

ParseResult success(std::int64_t values, std::int64_t end) {
  ParseResult r;
  r.values = values;
  r.end = end;
  return r;
}

constexpr std::int64_t shown = 256;  // the longest text a failure measures

struct Seps {
  bool extra[256] = {};
  bool operator()(char c) const {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
           extra[static_cast<unsigned char>(c)];
  }
};

std::int64_t run_length(const char *p, const char *e, const Seps &seps) {
  std::int64_t n = 0;
  while (p + n < e && n < shown && !seps(p[n])) ++n;
  return n;
}

std::int64_t line_length(const char *p, const char *e) {
  std::int64_t n = 0;
  while (p + n < e && n < shown && !eol(p[n])) ++n;
  while (n > 0 && any_blank(p[n - 1])) --n;
  return n;
}

// ---- the block parsers as their contracts read ------------------------------------

ParseResult ref_floats(const char *d, std::int64_t size, std::int64_t start, std::int64_t count,
                       const Seps &seps, std::vector<double> *out) {
  const char *e = d + size, *p = d + start;
  std::int64_t n = 0, end = start;
  while (count < 0 || n < count) {
    while (p < e && seps(*p)) ++p;
    if (p == e) break;
    const Number x = longest_number(p, e);
    const char *after = p + x.length;
    if (x.length == 0 || !(after == e || seps(*after) || sign(*after)))
      return failure(ParseStatus::not_a_number, n, p - d, run_length(p, e, seps));
    if (out != nullptr) {
      double v;
      if (reference_value(x.for_strtod, v) != ParseStatus::ok)
        return failure(ParseStatus::out_of_range, n, p - d, x.length);
      out->push_back(v);
    }
    ++n;
    p = after;
    end = p - d;
  }
  if (count >= 0 && n < count) return failure(ParseStatus::data_ends, n, size, 0);
  return success(n, end);
}

ParseResult ref_fixed(const char *d, std::int64_t size, std::int64_t start, std::int64_t count,
                      std::int64_t width, std::int64_t per_line, bool integers,
                      std::vector<double> *out) {
  const char *e = d + size, *p = d + start;
  std::int64_t n = 0, end = start;
  if (count == 0) return success(0, start);
  for (;;) {
    const char *line = p, *stop = p;
    while (stop < e && !eol(*stop)) ++stop;
    for (std::int64_t j = 0; j < per_line && n < count; ++j) {
      const char *field = p;
      if (stop - field < width) {
        const char *t = field;
        while (t < stop && any_blank(*t)) ++t;
        if (t < stop) return failure(ParseStatus::short_field, n, field - d, stop - field);
        const char *rest = stop;
        while (rest < e && (any_blank(*rest) || eol(*rest))) ++rest;
        if (rest == e) return failure(ParseStatus::data_ends, n, size, 0);
        return failure(ParseStatus::short_line, n, line - d, line_length(line, e), j);
      }
      const char *a = field, *b = field + width;
      while (a < b && any_blank(*a)) ++a;
      while (b > a && any_blank(b[-1])) --b;
      if (a == b) return failure(ParseStatus::blank_field, n, field - d, width);
      const Number x = longest_number(a, b);
      if (x.length == 0 || x.length != b - a)
        return failure(ParseStatus::not_a_number, n, a - d, b - a);
      if (integers && !x.integer) return failure(ParseStatus::not_an_integer, n, a - d, b - a);
      if (out != nullptr) {
        double v;
        if (reference_value(x.for_strtod, v) != ParseStatus::ok)
          return failure(ParseStatus::out_of_range, n, a - d, b - a);
        out->push_back(v);
      }
      ++n;
      p = field + width;
      end = p - d;
    }
    const char *q = p;
    while (q < e && any_blank(*q)) ++q;
    if (q < e && !eol(*q)) return failure(ParseStatus::text_after, n, q - d, line_length(q, e));
    if (n == count) return success(n, end);
    if (q == e) return failure(ParseStatus::data_ends, n, size, 0);
    if (*q == '\r' && q + 1 < e && q[1] == '\n') ++q;
    p = q + 1;
  }
}

ParseResult ref_columns(const char *d, std::int64_t size, std::int64_t start, std::int64_t columns,
                        std::int64_t rows, const Seps &seps, std::vector<double> *out) {
  const char *e = d + size, *p = d + start;
  std::int64_t n = 0, end = start;
  while (rows < 0 || n < rows) {
    while (p < e && seps(*p)) ++p;
    if (p == e) break;
    const char *row = p, *last = p;
    std::int64_t j = 0;
    for (;;) {
      const Number x = longest_number(p, e);
      const char *after = p + x.length;
      if (x.length == 0 || !(after == e || seps(*after) || sign(*after)))
        return failure(ParseStatus::not_a_number, n, p - d, run_length(p, e, seps));
      if (out != nullptr && j < columns) {
        double v;
        if (reference_value(x.for_strtod, v) != ParseStatus::ok)
          return failure(ParseStatus::out_of_range, n, p - d, x.length);
        out->push_back(v);
      }
      ++j;
      p = last = after;
      while (p < e && seps(*p) && !eol(*p)) ++p;
      if (p == e || eol(*p)) break;
    }
    if (j != columns)
      return failure(ParseStatus::wrong_columns, n, row - d, line_length(row, e), j);
    ++n;
    end = last - d;
  }
  if (rows >= 0 && n < rows) return failure(ParseStatus::data_ends, n, size, 0);
  return success(n, end);
}

// ---- the entries ----------------------------------------------------------------------

struct Args {
  int rounding;
  bool integers, delimit, check_only;
  std::int64_t start, count, width, per_line, columns;
  char delimiter;
};

const int modes[4] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};

bool flush_subnormals = false;  // the current input's: in_mode sets it with the mode

/// The kernel called with the caller's rounding mode (and flushing of subnormals)
/// set as the input asks; the mode must be the caller's again afterwards.
template <class F> auto in_mode(int mode, F f) {
#if defined(__x86_64__)
  const unsigned csr = _mm_getcsr();
  if (flush_subnormals) _mm_setcsr(csr | 0x8040u);
#endif
  std::fesetround(mode);
  auto r = f();
  const int after = std::fegetround();
  std::fesetround(FE_TONEAREST);
#if defined(__x86_64__)
  _mm_setcsr(csr);
#endif
  if (after != mode) fail("rounding mode", "not restored");
  return r;
}

void check_to_double(const Args &a, const char *d, std::int64_t size) {
  double got = -12345.0;
  const ParseStatus status = in_mode(a.rounding, [&] { return to_double(d, d + size, got); });
  const Number x = longest_number(d, d + size);
  if (x.length == 0 || x.length != size) {
    if (status != ParseStatus::not_a_number) fail("to_double accepts", show(d, size));
  } else {
    double want;
    const ParseStatus expected = reference_value(x.for_strtod, want);
    if (status != expected) fail("to_double status", name(status) + (": " + show(d, size)));
    if (status == ParseStatus::ok && bits(got) != bits(want)) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "got %a want %a: ", got, want);
      fail("to_double value", buf + show(d, size));
    }
  }
  // Apart from the grammar: a text of digits, point, sign and 'e' that strtod
  // reads whole (no bare exponent then) is a number, of strtod's value.
  bool plain = size > 0;
  for (std::int64_t i = 0; i < size && plain; ++i)
    plain = digit(d[i]) || d[i] == '.' || sign(d[i]) || d[i] == 'e' || d[i] == 'E';
  if (plain) {
    const std::string text(d, std::size_t(size));
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() + text.size()) {
      if (std::isinf(v) ? status != ParseStatus::out_of_range
                        : status != ParseStatus::ok || bits(got) != bits(v))
        fail("to_double against strtod", show(d, size));
    }
  }
}

void check_floats(const Args &a, const char *d, std::int64_t size) {
  Separators seps;
  Seps ref;
  if (a.delimit) {
    const char c = a.delimiter;
    const bool refused = c == '\0' || digit(c) || sign(c) || c == '.' || exponent_letter(c);
    if (seps.add(&a.delimiter, 1) == refused) fail("delimiters", show(&a.delimiter, 1));
    if (!refused) ref.extra[static_cast<unsigned char>(a.delimiter)] = true;
  }
  const Bytes bytes{d, size};
  const std::int64_t start = std::min(a.start, size);

  // count_tokens: runs of non-separators, or -1 where a sign follows neither a
  // separator nor an exponent letter inside a run.
  std::int64_t runs = 0;
  bool together = false;
  for (std::int64_t i = start; i < size; ++i) {
    if (ref(d[i])) continue;
    if (i == start || ref(d[i - 1])) {
      ++runs;
    } else if (sign(d[i]) && !exponent_letter(d[i - 1])) {
      together = true;
    }
  }
  const std::int64_t tokens = in_mode(a.rounding, [&] { return count_tokens(bytes, start, seps); });
  if (tokens != (together ? -1 : runs)) fail("count_tokens", show(d, size));

  const ParseResult checked =
      in_mode(a.rounding, [&] { return parse_floats(bytes, start, a.count, seps, nullptr); });
  same_result("floats (check)", checked, ref_floats(d, size, start, a.count, ref, nullptr), d, size);
  if (tokens >= 0 && a.count < 0 && checked.status == ParseStatus::ok && checked.values != tokens)
    fail("count_tokens against floats", show(d, size));
  // The binding sizes its array by this bound before it parses.
  if (checked.status == ParseStatus::ok && checked.values > max_numbers(size - start))
    fail("more numbers than max_numbers", show(d, size));
  if (a.check_only) return;
  // The values asked for: the count, or the numbers found (as the binding does).
  const std::int64_t count = a.count >= 0 ? a.count : checked.values;
  if (count > max_numbers(size - start) + 1 || count > (1 << 20)) return;
  std::vector<double> want;
  const ParseResult expected = ref_floats(d, size, start, count, ref, &want);
  auto got = std::make_unique<double[]>(std::size_t(count) + 1);  // exact: ASan sees a write past
  const ParseResult r = in_mode(a.rounding, [&] { return parse_floats(bytes, start, count, seps, got.get()); });
  same_result("floats", r, expected, d, size);
  std::vector<double> values(got.get(), got.get() + r.values);
  same_values("floats", values, want, r.values, d, size);
}

void check_fixed(const Args &a, const char *d, std::int64_t size) {
  const Bytes bytes{d, size};
  const std::int64_t start = std::min(a.start, size);
  const std::int64_t count = a.count < 0 ? std::int64_t(1) << 62 : a.count;
  const ParseResult checked = in_mode(a.rounding, [&] {
    return parse_fixed(bytes, start, count, a.width, a.per_line, a.integers, nullptr);
  });
  same_result("fixed (check)", checked,
              ref_fixed(d, size, start, count, a.width, a.per_line, a.integers, nullptr), d, size);
  if (a.check_only || count > (size - start) / a.width) return;  // as the binding
  std::vector<double> want;
  const ParseResult expected = ref_fixed(d, size, start, count, a.width, a.per_line, a.integers, &want);
  std::vector<double> got(static_cast<std::size_t>(count));
  const ParseResult r = in_mode(a.rounding, [&] {
    return parse_fixed(bytes, start, count, a.width, a.per_line, a.integers, got.data());
  });
  same_result("fixed", r, expected, d, size);
  same_values("fixed", got, want, r.values, d, size);
}

void check_columns(const Args &a, const char *d, std::int64_t size) {
  Separators seps;
  Seps ref;
  if (a.delimit && seps.add(&a.delimiter, 1)) ref.extra[static_cast<unsigned char>(a.delimiter)] = true;
  const Bytes bytes{d, size};
  const std::int64_t start = std::min(a.start, size);
  const ParseResult checked = in_mode(a.rounding, [&] {
    return parse_columns(bytes, start, a.columns, a.count, seps, nullptr);
  });
  same_result("columns (check)", checked,
              ref_columns(d, size, start, a.columns, a.count, ref, nullptr), d, size);
  if (checked.status == ParseStatus::ok && checked.values * a.columns > max_numbers(size - start))
    fail("more numbers than max_numbers", show(d, size));
  if (a.check_only) return;
  const std::int64_t rows = a.count >= 0 ? a.count : checked.values;
  if (rows > max_numbers(size - start) / a.columns) return;  // as the binding
  std::vector<double> want;
  const ParseResult expected = ref_columns(d, size, start, a.columns, rows, ref, &want);
  std::vector<double> got(static_cast<std::size_t>(rows * a.columns));
  const ParseResult r = in_mode(a.rounding, [&] {
    return parse_columns(bytes, start, a.columns, rows, seps, got.data());
  });
  same_result("columns", r, expected, d, size);
  same_values("columns", got, want, r.values * a.columns, d, size);
}

void check_lone_cr(const char *d, std::int64_t size) {
  std::int64_t want = -1;
  for (std::int64_t i = 0; i < size; ++i)
    if (d[i] == '\r' && (i + 1 == size || d[i + 1] != '\n')) {
      want = i;
      break;
    }
  if (first_lone_cr(Bytes{d, size}) != want) fail("first_lone_cr", show(d, size));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (const char *e = std::getenv("TAVO_FUZZ_ENTRY")) fixed_entry = std::atoi(e);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t n) {
  std::uint8_t h[9] = {};
  std::memcpy(h, input, std::min<std::size_t>(n, sizeof h));
  const std::size_t body = n > sizeof h ? n - sizeof h : 0;
  // The bytes alone in a block of their size: a read past them is reported.
  std::unique_ptr<char[]> data(new char[body == 0 ? 1 : body]);
  if (body > 0) std::memcpy(data.get(), input + sizeof h, body);
  const char *d = body == 0 ? data.get() + 1 : data.get();  // empty: a pointer at the block's end
  const std::int64_t size = std::int64_t(body);

  Args a;
  a.rounding = modes[h[1] & 3];
  a.integers = (h[1] & 4) != 0;
  a.delimit = (h[1] & 8) != 0;
  a.check_only = (h[1] & 16) != 0;
  flush_subnormals = (h[1] & 32) != 0;
  a.start = h[2] < 32 ? h[2] : 0;
  const unsigned c = unsigned(h[3]) | unsigned(h[4]) << 8;
  a.count = c == 0xffff ? -1 : c == 0xfffe ? std::int64_t(1) << 62 : std::int64_t(c % 2048);
  a.width = h[5] == 255 ? std::int64_t(1) << 40 : 1 + h[5] % 64;
  a.per_line = h[6] == 255 ? std::int64_t(1) << 40 : 1 + h[6] % 16;
  a.columns = 1 + h[7] % 8;
  a.delimiter = char(h[8]);

  switch (fixed_entry >= 0 ? fixed_entry : h[0] % 5) {
  case 0: check_to_double(a, d, size); break;
  case 1: check_floats(a, d, size); break;
  case 2: check_fixed(a, d, size); break;
  case 3: check_columns(a, d, size); break;
  default: check_lone_cr(d, size); break;
  }
  return 0;
}
