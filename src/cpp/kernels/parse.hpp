// Decimal numbers straight from a file's bytes: whitespace-separated numbers,
// fixed-width fields and rows of columns, with the Fortran conventions of the
// agencies' formats. Pure C++: never touches Python, never reads outside
// [data, data + size), reports malformed text as a status instead of failing.
#pragma once
#include <cstdint>

namespace tavo::kernels {

/// Why a parse stopped; `ok` when every value asked for was read.
enum class ParseStatus : std::uint8_t {
  ok,
  not_a_number,      // [offset, offset + length): the token or field
  not_an_integer,    // a field of an integer block holds a real
  out_of_range,      // the number's magnitude exceeds the largest double
  data_ends,         // fewer values than asked for before the end (offset: the end)
  blank_field,       // a fixed-width field of blanks only
  short_field,       // the line (or the data) ends inside a fixed-width field
  short_line,        // the line holds `found` of the fields expected on it
  text_after,        // text after the last field or column of a line
  wrong_columns,     // a row holds `found` numbers, not the number of columns
  no_memory,         // an over-long Fortran number could not be copied for conversion
};

/// The outcome of a parse. For `ok`, `end` is the offset after the last value read.
/// Otherwise `offset` and `length` delimit the offending text and `values` counts
/// the values read before it.
struct ParseResult {
  ParseStatus status = ParseStatus::ok;
  std::int64_t values = 0;
  std::int64_t end = 0;
  std::int64_t offset = 0;
  std::int64_t length = 0;
  std::int64_t found = 0;
};

/// The bytes to parse: data[0, size) where size is the caller's stop.
struct Bytes {
  const char *data;
  std::int64_t size;
};

/// Separator set: ASCII whitespace plus the caller's extra delimiters.
class Separators {
public:
  // Byte classes; signs and exponent letters let count_tokens spot run-together numbers.
  static constexpr std::uint8_t separator = 1, sign = 2, letter = 4;

  Separators() noexcept;
  /// Adds the bytes of `extra`; false (set unchanged) when one could be part of a number.
  bool add(const char *extra, std::int64_t n) noexcept;
  bool operator()(char c) const noexcept { return (class_of(c) & separator) != 0; }
  std::uint8_t class_of(char c) const noexcept { return class_[static_cast<unsigned char>(c)]; }

private:
  std::uint8_t class_[256] = {};
};

/// One number, the whole of [first, last), in the accepted syntax:
/// [+-] digits [. digits] | [+-] . digits, then an optional exponent written
/// e/E/d/D [+-] digits or, as Fortran writes three-digit exponents, a bare
/// sign and digits ("1.5-105" is 1.5e-105). The result is the correctly rounded
/// double, as Python's float() gives for the same number written with 'e', in
/// whatever rounding mode the caller left set (as do the block parsers below);
/// underflow gives a signed zero, overflow is `out_of_range`.
ParseStatus to_double(const char *first, const char *last, double &out) noexcept;

/// Offset of the first "\r" in `bytes` that no "\n" follows (a line end of
/// old Mac text, or of a file edited on two systems), or -1 when every "\r"
/// is that of a "\r\n".
std::int64_t first_lone_cr(Bytes bytes) noexcept;

/// Largest count of numbers that `n` bytes can hold (two bytes per number, less one).
inline std::int64_t max_numbers(std::int64_t n) noexcept { return n <= 0 ? 0 : (n + 1) / 2; }

/// Numbers separated by `seps` in bytes [start, size). count >= 0 reads exactly
/// that many (fewer is `data_ends`); count < 0 reads all. A number may be
/// followed directly by the next one when that starts with a sign (run-together
/// E-format fields). `out` (count >= 0 slots) receives the values; with
/// out == nullptr the numbers are only checked for syntax (not range) and counted.
ParseResult parse_floats(Bytes bytes, std::int64_t start, std::int64_t count,
                         const Separators &seps, double *out) noexcept;

/// Numbers in [start, size) when every run of non-separators holds one: the
/// count of such runs, or -1 when a run may hold several run-together numbers
/// (a sign inside it after anything but an exponent letter). Checks nothing;
/// much faster than parse_floats with out == nullptr.
std::int64_t count_tokens(Bytes bytes, std::int64_t start, const Separators &seps) noexcept;

/// `count` fields of `width` bytes from `start`, `per_line` to a line (the last
/// line of the block may hold fewer). Fields may run together; blanks around
/// a number (space, tab, vertical tab, form feed: what float() strips) are
/// ignored; the rest of each line must be blank. A line ends at
/// "\n", "\r\n" or "\r". `integers`: fields must be integers. `out` may be
/// nullptr to check only.
ParseResult parse_fixed(Bytes bytes, std::int64_t start, std::int64_t count, std::int64_t width,
                        std::int64_t per_line, bool integers, double *out) noexcept;

/// Rows of `n_columns` numbers, one row per line ("\n", "\r\n" or "\r"), blank
/// lines skipped, from `start`. rows >= 0 reads exactly that many rows; rows < 0
/// reads all. `out` (row-major, rows >= 0 rows) may be nullptr to check and
/// count only. `values` counts complete rows.
ParseResult parse_columns(Bytes bytes, std::int64_t start, std::int64_t n_columns,
                          std::int64_t rows, const Separators &seps, double *out) noexcept;

} // namespace tavo::kernels
