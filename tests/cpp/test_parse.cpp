// GoogleTest suite of the number parser: syntax, exact conversion, every
// status of the three block parsers, and bytes placed against inaccessible
// pages so that any read outside them faults.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/parse.hpp"

namespace {

using namespace tavo::kernels;

/// Bytes that end exactly at an inaccessible page and start right after one.
class Guarded {
  char *map_ = nullptr;
  std::size_t mapped_ = 0;
  const char *data_ = nullptr;
  std::int64_t size_ = 0;

public:
  explicit Guarded(const std::string &s) {
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t body = (s.size() + page - 1) / page * page;
    mapped_ = body + 2 * page;
    void *m = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    map_ = static_cast<char *>(m);
    mprotect(map_, page, PROT_NONE);
    mprotect(map_ + page + body, page, PROT_NONE);
    char *d = map_ + page + body - s.size();
    std::memcpy(d, s.data(), s.size());
    data_ = d;
    size_ = std::int64_t(s.size());
  }
  Guarded(const Guarded &) = delete;
  ~Guarded() { munmap(map_, mapped_); }
  Bytes bytes() const { return Bytes{data_, size_}; }
};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Converted {
  ParseStatus status;
  double value;
};

Converted convert(const std::string &s) {
  Guarded g(s);
  double v = -12345.0;
  const ParseStatus st = to_double(g.bytes().data, g.bytes().data + g.bytes().size, v);
  return {st, v};
}

// ---- syntax and conversion ----------------------------------------------------

TEST(ToDouble, AcceptedForms) {
  const struct {
    const char *text;
    double value;
  } cases[] = {
      {"0", 0.0},         {"-0", -0.0},          {"+1", 1.0},           {".5", 0.5},
      {"5.", 5.0},        {"-.5", -0.5},         {"+.5E1", 5.0},        {"1e3", 1000.0},
      {"1E+3", 1000.0},   {"1d3", 1000.0},       {"1D-3", 0.001},       {"1.5-105", 1.5e-105},
      {"1.5+105", 1.5e105}, {"-2.25-3", -2.25e-3}, {"15-1", 1.5},        {"007", 7.0},
      {"4.9e-324", 4.9e-324}, {"1.7976931348623157e308", 1.7976931348623157e308},
      {"1e-400", 0.0},    {"-1e-400", -0.0},     {"0e999999999999999999", 0.0},
      {"-0.0D-99999", -0.0}, {"1.0000000000000000000000000001", 1.0},
  };
  for (const auto &c : cases) {
    const Converted r = convert(c.text);
    EXPECT_EQ(r.status, ParseStatus::ok) << c.text;
    EXPECT_EQ(bits(r.value), bits(c.value)) << c.text;
  }
}

TEST(ToDouble, RejectedForms) {
  for (const char *text : {"", "+", "-", ".", "+.", "e5", "1e", "1e+", "1.5-", "1..5", "1.5.",
                           "inf", "nan", "1_000", "0x10", " 1", "1 ", "1,5", "--1", "+-1", "1ee5",
                           "1e5.5", "1.5-1.5", "1.5 -1"}) {
    EXPECT_EQ(convert(text).status, ParseStatus::not_a_number) << text;
  }
}

TEST(ToDouble, OverflowIsAnErrorUnderflowAZero) {
  for (const char *text : {"1e400", "-1e400", "1.8e308", "1D309", "1+309", "99999999e301",
                           "1e99999999999999999999"})
    EXPECT_EQ(convert(text).status, ParseStatus::out_of_range) << text;
  for (const char *text : {"1e-400", "0.000001e-320", "1-99999", "2.4703282292062327e-324"}) {
    const Converted r = convert(text);
    EXPECT_EQ(r.status, ParseStatus::ok) << text;
    EXPECT_EQ(bits(r.value), bits(0.0)) << text;
  }
}

TEST(ToDouble, SaturatedExponentsAgainstAsManyLeadingZeros) {
  // A million leading zeros of the fraction take 10**-1000000 and an exponent past
  // a million gives it back: never the value of the exponent where it saturates.
  const std::string fraction = "0." + std::string(999999, '0') + "1";
  for (const char *exponent : {"e1000005", "D+1000005", "+1000005", "e1000022"}) {
    const Converted r = convert(fraction + exponent);
    ASSERT_EQ(r.status, ParseStatus::ok) << exponent;
    EXPECT_EQ(bits(r.value), bits(exponent[std::strlen(exponent) - 1] == '5' ? 1e5 : 1e22)) << exponent;
  }
}

TEST(ToDouble, LongFortranMantissasAreExact) {
  // Beyond the stack buffer of the D and bare-exponent rewrite: the same
  // value as the 'e' form, which from_chars reads in place.
  std::string digits = "1.";
  for (int i = 0; i < 300; ++i) digits += char('0' + (i * 7) % 10);
  for (const char *exponent : {"5", "-5", "+300", "-300"}) {
    const Converted e_form = convert(digits + "e" + exponent);
    const Converted d_form = convert(digits + "D" + exponent);
    ASSERT_EQ(e_form.status, ParseStatus::ok);
    EXPECT_EQ(d_form.status, ParseStatus::ok);
    EXPECT_EQ(bits(d_form.value), bits(e_form.value)) << exponent;
    if (exponent[0] == '-' || exponent[0] == '+') {
      const Converted bare = convert(digits + exponent);
      EXPECT_EQ(bits(bare.value), bits(e_form.value)) << exponent;
    }
  }
}

TEST(ToDouble, HalfwayCasesRoundToEven) {
  // 2**53 + 1 lies halfway between two doubles: to even, down; a digit far
  // past the seventeenth decides upwards.
  EXPECT_EQ(convert("9007199254740993").value, 9007199254740992.0);
  EXPECT_EQ(convert("9007199254740993.00000000000000000000001").value, 9007199254740994.0);
  EXPECT_EQ(convert("9007199254740993D0").value, 9007199254740992.0);
}

// ---- whitespace-separated numbers ----------------------------------------------

ParseResult floats(const std::string &s, std::int64_t count, std::vector<double> *out = nullptr,
                   const char *extra = "") {
  Guarded g(s);
  Separators seps;
  seps.add(extra, std::int64_t(std::strlen(extra)));
  if (out != nullptr) out->assign(std::size_t(count < 0 ? 0 : count), -1.0);
  return parse_floats(g.bytes(), 0, count, seps, out ? out->data() : nullptr);
}

TEST(Floats, ReadsAndEndsAfterTheLastNumber) {
  std::vector<double> v;
  const ParseResult r = floats(" 1 -2.5\t+3e1\r\n4D0 5-1 \n", 5, &v);
  ASSERT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(r.values, 5);
  EXPECT_EQ(r.end, 21);  // after "5-1"
  EXPECT_EQ(v, (std::vector<double>{1.0, -2.5, 30.0, 4.0, 0.5}));
}

TEST(Floats, CountLeavesTheRestUnread) {
  std::vector<double> v;
  const ParseResult r = floats("1 2 3 header text", 2, &v);
  ASSERT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(r.end, 3);
}

TEST(Floats, RunTogetherENumbersSplitAtTheirSign) {
  std::vector<double> v;
  const ParseResult r = floats("1.0E+00-2.0E+00 3.5-1-.5", 4, &v);
  ASSERT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(v, (std::vector<double>{1.0, -2.0, 0.35, -0.5}));
  Separators seps;
  EXPECT_EQ(count_tokens(Bytes{"1.0E+00-2.0E+00", 15}, 0, seps), -1);
  EXPECT_EQ(count_tokens(Bytes{" 1.0E+00 -2.0D-00\n3 ", 20}, 0, seps), 3);
  EXPECT_EQ(floats("1.0E+00-2.0E+00 3.5-1-.5", -1).values, 4);
}

TEST(Floats, Statuses) {
  ParseResult r = floats("1 2 x3 4", -1);
  EXPECT_EQ(r.status, ParseStatus::not_a_number);
  EXPECT_EQ(r.offset, 4);
  EXPECT_EQ(r.length, 2);
  EXPECT_EQ(r.values, 2);

  r = floats("1 2", 3);
  EXPECT_EQ(r.status, ParseStatus::data_ends);
  EXPECT_EQ(r.offset, 3);
  EXPECT_EQ(r.values, 2);

  std::vector<double> v;
  r = floats("1 1e999 2", 3, &v);
  EXPECT_EQ(r.status, ParseStatus::out_of_range);
  EXPECT_EQ(r.offset, 2);
  EXPECT_EQ(r.length, 5);

  r = floats("1.0E 2", -1);  // a letter without digits is not an exponent
  EXPECT_EQ(r.status, ParseStatus::not_a_number);
  EXPECT_EQ(r.length, 4);
}

TEST(Floats, Delimiters) {
  std::vector<double> v;
  EXPECT_EQ(floats("1,2;3", 3, &v, ",;").status, ParseStatus::ok);
  EXPECT_EQ(v, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(floats("1,2", -1).status, ParseStatus::not_a_number);
  Separators seps;
  for (const char *bad : {"1", "+", "-", ".", "e", "E", "d", "D"}) EXPECT_FALSE(seps.add(bad, 1));
  EXPECT_FALSE(seps.add("\0", 1));
}

// ---- fixed-width fields ----------------------------------------------------------

ParseResult fixed(const std::string &s, std::int64_t count, std::int64_t width,
                  std::int64_t per_line, std::vector<double> *out = nullptr, bool integers = false) {
  Guarded g(s);
  if (out != nullptr) out->assign(std::size_t(count), -1.0);
  return parse_fixed(g.bytes(), 0, count, width, per_line, integers, out ? out->data() : nullptr);
}

TEST(Fixed, FieldsRunTogetherAndLinesEndAnyWay) {
  std::vector<double> v;
  const ParseResult r =
      fixed("-999.00000-999.00000\r\n   1.50000   3.1-002 \r      42.0\n", 5, 10, 2, &v);
  ASSERT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(v, (std::vector<double>{-999.0, -999.0, 1.5, 3.1e-2, 42.0}));
  EXPECT_EQ(r.end, 54);
}

TEST(Fixed, EndsWithoutANewline) {
  std::vector<double> v;
  const ParseResult r = fixed("   1   2\n   3", 3, 4, 2, &v, true);
  ASSERT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(r.end, 13);
}

TEST(Fixed, Statuses) {
  struct Case {
    const char *text;
    std::int64_t count, width, per_line;
    ParseStatus status;
    std::int64_t offset, length, values, found;
  } cases[] = {
      {"  1.0  2.\n", 4, 5, 2, ParseStatus::short_field, 5, 4, 1, 0},
      {"  1.0\n  2.0", 3, 5, 2, ParseStatus::short_line, 0, 5, 1, 1},
      {"  1.0  2.0\n\n  3.0", 3, 5, 2, ParseStatus::short_line, 11, 0, 2, 0},
      {"  1.0  2.0\n  3.0\r\n \n", 4, 5, 2, ParseStatus::data_ends, 20, 0, 3, 0},
      {"  1.0  2.0\n", 3, 5, 2, ParseStatus::data_ends, 11, 0, 2, 0},
      {"  1.0  2.0", 3, 5, 2, ParseStatus::data_ends, 10, 0, 2, 0},
      {"  1.0     ", 2, 5, 2, ParseStatus::blank_field, 5, 5, 1, 0},
      {"  1.0  x.0", 2, 5, 2, ParseStatus::not_a_number, 7, 3, 1, 0},
      {"  1.0 2 .0", 2, 5, 2, ParseStatus::not_a_number, 6, 4, 1, 0},
      {"  1.0  2.0 x\n", 2, 5, 2, ParseStatus::text_after, 11, 1, 2, 0},
      {"  1.0  2.0  3.0\n", 2, 5, 2, ParseStatus::text_after, 12, 3, 2, 0},
      {"   1e9 1e999", 2, 6, 2, ParseStatus::out_of_range, 7, 5, 1, 0},
  };
  for (const Case &c : cases) {
    const ParseResult r = fixed(c.text, c.count, c.width, c.per_line);
    std::vector<double> v;
    const ParseResult stored = fixed(c.text, c.count, c.width, c.per_line, &v);
    SCOPED_TRACE(c.text);
    EXPECT_EQ(stored.status, c.status);
    EXPECT_EQ(stored.offset, c.offset);
    EXPECT_EQ(stored.length, c.length);
    EXPECT_EQ(stored.values, c.values);
    EXPECT_EQ(stored.found, c.found);
    // The checking pass finds the same failure, range errors aside.
    if (c.status != ParseStatus::out_of_range) {
      EXPECT_EQ(r.status, c.status);
    }
  }
  EXPECT_EQ(fixed("   1 2.5", 2, 4, 2, nullptr, true).status, ParseStatus::not_an_integer);
}

// ---- columns ------------------------------------------------------------------------

ParseResult columns(const std::string &s, std::int64_t n_columns, std::int64_t rows,
                    std::vector<double> *out = nullptr) {
  Guarded g(s);
  Separators seps;
  seps.add(",", 1);
  if (out != nullptr) out->assign(std::size_t(rows * n_columns), -1.0);
  return parse_columns(g.bytes(), 0, n_columns, rows, seps, out ? out->data() : nullptr);
}

TEST(Columns, RowsPerLine) {
  EXPECT_EQ(columns("\n 0.0 1 2\r\n\r\n0.01,3,4 \n\n", 3, -1).values, 2);
  std::vector<double> v;
  const ParseResult r = columns("\n 0.0 1 2\r\n\r\n0.01,3,4 \n\n", 3, 2, &v);
  ASSERT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(r.end, 21);
  EXPECT_EQ(v, (std::vector<double>{0.0, 1.0, 2.0, 0.01, 3.0, 4.0}));
}

TEST(Columns, Statuses) {
  ParseResult r = columns("1 2\n3 4 5\n", 2, -1);
  EXPECT_EQ(r.status, ParseStatus::wrong_columns);
  EXPECT_EQ(r.offset, 4);
  EXPECT_EQ(r.length, 5);
  EXPECT_EQ(r.found, 3);
  EXPECT_EQ(r.values, 1);
  std::vector<double> v;
  r = columns("1 2\n3 4 5\n", 2, 2, &v);  // the third number is never stored
  EXPECT_EQ(r.status, ParseStatus::wrong_columns);
  r = columns("1 2\n3\n", 2, 2);
  EXPECT_EQ(r.found, 1);
  r = columns("1 2\n3 4\n", 2, 3);
  EXPECT_EQ(r.status, ParseStatus::data_ends);
  EXPECT_EQ(r.values, 2);
  r = columns("1 2\n3 y\n", 2, -1);
  EXPECT_EQ(r.status, ParseStatus::not_a_number);
  EXPECT_EQ(r.offset, 6);
}

// ---- line ends ----------------------------------------------------------------------

std::int64_t naive_lone_cr(const std::string &s) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) return std::int64_t(i);
  return -1;
}

TEST(LineEnds, FirstLoneCrAtEveryPlace) {
  // CR LF lines of every size around the search's blocks, then a lone CR put at
  // each place (its LF made text) and each prefix (the last CR cut from its LF):
  // the bytes end at a guard page, so a look past the last byte faults.
  for (std::size_t size : {0, 1, 2, 7, 63, 64, 65, 66, 127, 128, 129, 130, 200}) {
    std::string base;
    for (std::size_t i = 0; i < size; ++i) base += i % 7 == 5 ? '\r' : i % 7 == 6 ? '\n' : 'x';
    std::vector<std::string> inputs{base};
    for (std::size_t i = 0; i < size; ++i) {
      std::string s = base;
      s[i] = '\r';
      if (i + 1 < size && s[i + 1] == '\n') s[i + 1] = 'y';
      inputs.push_back(s);
      inputs.push_back(base.substr(0, i));
    }
    for (const std::string &s : inputs) {
      Guarded g(s);
      EXPECT_EQ(first_lone_cr(g.bytes()), naive_lone_cr(s)) << size;
    }
  }
}

// ---- robustness ---------------------------------------------------------------------

TEST(Robustness, RandomBytesAndTruncationsStayInside) {
  // Every prefix of a valid block and random text from a number-heavy
  // alphabet: the parsers must return, never read past the guard pages, and
  // the checking pass must agree with the storing pass.
  std::mt19937_64 rng(20240615);
  const std::string alphabet = "0123456789+-.eEdD \n\r\t,x";
  std::string valid;
  for (int i = 0; i < 40; ++i) valid += (i % 8 == 7) ? "  -1.2E-03\n" : "  4.5D+01";
  std::vector<std::string> inputs;
  for (std::size_t n = 0; n <= valid.size(); ++n) inputs.push_back(valid.substr(0, n));
  for (int k = 0; k < 3000; ++k) {
    std::string s(std::size_t(rng() % 64), ' ');
    for (char &c : s) c = (rng() % 8 == 0) ? char(rng() % 256) : alphabet[rng() % alphabet.size()];
    inputs.push_back(s);
  }
  Separators seps;
  seps.add(",", 1);
  for (const std::string &s : inputs) {
    Guarded g(s);
    const ParseResult counted = parse_floats(g.bytes(), 0, -1, seps, nullptr);
    if (counted.status == ParseStatus::ok) {
      std::vector<double> v(std::size_t(counted.values));
      const ParseResult stored = parse_floats(g.bytes(), 0, counted.values, seps, v.data());
      EXPECT_TRUE(stored.status == ParseStatus::ok || stored.status == ParseStatus::out_of_range);
      const std::int64_t tokens = count_tokens(g.bytes(), 0, seps);
      EXPECT_TRUE(tokens == -1 || tokens == counted.values) << s;
    }
    for (std::int64_t width : {1, 3, 10}) {
      std::vector<double> v(8);
      const ParseResult r = parse_fixed(g.bytes(), 0, 8, width, 3, false, v.data());
      EXPECT_LE(r.values, 8);
      EXPECT_LE(r.offset + r.length, g.bytes().size);
    }
    const ParseResult rows = parse_columns(g.bytes(), 0, 2, -1, seps, nullptr);
    if (rows.status == ParseStatus::ok) {
      std::vector<double> v(std::size_t(rows.values * 2));
      EXPECT_NE(parse_columns(g.bytes(), 0, 2, rows.values, seps, v.data()).status,
                ParseStatus::wrong_columns);
    }
  }
}

TEST(Robustness, CountsBeyondTheBytes) {
  // A header count of 2**62 fails at the end of the bytes in the checking pass.
  const ParseResult r = floats("1 2 3", std::int64_t(1) << 62);
  EXPECT_EQ(r.status, ParseStatus::data_ends);
  EXPECT_EQ(r.values, 3);
  EXPECT_EQ(fixed("   1", std::int64_t(1) << 62, std::int64_t(1) << 40, 1).status,
            ParseStatus::short_field);
  EXPECT_LE(max_numbers(5), 3);
}

} // namespace
