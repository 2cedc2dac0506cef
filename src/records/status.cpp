// SPDX-License-Identifier: MIT
#include "records/status.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "records/durable_file.h"

namespace {

void complain(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", kStatusFile, what.c_str());
}

void append_decimal(std::string& out, mpz_srcptr v) {
  out += to_decimal(v);
  out += '\n';
}

void append_depth(std::string& out, float bits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%3.3f\n", static_cast<double>(bits));
  out += buf;
}

// A whole decimal number: at most one sign, then digits, and nothing else in
// the whole token (a zero byte included, which c_str() would hide).
bool parse_integer(const std::string& token, mpz_ptr out) {
  std::size_t i = 0;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
  if (i == token.size()) return false;
  for (std::size_t j = i; j < token.size(); ++j) {
    if (token[j] < '0' || token[j] > '9') return false;
  }
  // mpz_set_str takes a '-' but no '+'.
  const std::size_t from = token[0] == '+' ? 1 : 0;
  return mpz_set_str(out, token.c_str() + from, 10) == 0;
}

// A decimal number as strtof reads it, and nothing after it in the token:
// strtof stops at the first byte that cannot continue the number, so the
// whole token must have been consumed.
bool parse_depth(const std::string& token, float& out) {
  char* end = nullptr;
  const float v = std::strtof(token.c_str(), &end);
  if (end != token.c_str() + token.size()) return false;
  out = v;
  return true;
}

// The token as it can be shown on one line: bytes outside printable ASCII
// (a zero byte from a damaged file, say) are written as \xHH.
std::string shown(const std::string& token) {
  std::string out;
  for (const char c : token) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    }
  }
  return out;
}

// A checkpoint holds six short lines; a larger file is none. The cap also
// keeps a status.txt that points at an endless device from being read on.
constexpr std::size_t kMaxStatusBytes = 1 << 20;

// Reads the whole of status.txt into text; false, after the complaint, when
// it cannot be opened or read or is too large.
bool read_status_file(std::string& text) {
  std::string why;
  if (read_small_file(kStatusFile, kMaxStatusBytes, text, &why)) return true;
  if (text.size() > kMaxStatusBytes) why = "is larger than 1 MiB; a checkpoint holds six short lines";
  complain(why);
  return false;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string status_text(mpz_srcptr p, mpz_srcptr k, mpz_srcptr d_low, mpz_srcptr d_high,
                        float start_bits, float end_bits) {
  std::string text;
  append_decimal(text, p);
  append_decimal(text, k);
  append_decimal(text, d_low);
  append_decimal(text, d_high);
  append_depth(text, start_bits);
  append_depth(text, end_bits);
  return text;
}

bool writestatus(mpz_srcptr p, mpz_srcptr k, mpz_srcptr d_low, mpz_srcptr d_high,
                 float start_bits, float end_bits) {
  return replace_atomically(kStatusFile,
                            status_text(p, k, d_low, d_high, start_bits, end_bits));
}

bool readstatus(RunState& state) {
  std::string text;
  if (!read_status_file(text)) return false;
  // The values are separated by any white space; everything else, a zero
  // byte included, belongs to a value and is judged with it.
  std::vector<std::string> tokens;
  std::size_t pos = 0;
  while (tokens.size() < 6) {
    while (pos < text.size() && is_blank(text[pos])) ++pos;
    if (pos == text.size()) break;
    const std::size_t from = pos;
    while (pos < text.size() && !is_blank(text[pos])) ++pos;
    tokens.push_back(text.substr(from, pos - from));
  }
  if (tokens.size() < 6) {
    complain("holds " + std::to_string(tokens.size()) +
             " values; a checkpoint has six (exponent, k, two bounds, two depths)");
    return false;
  }

  static const char* const kNames[6] = {"the exponent", "the k", "the lower bound",
                                        "the upper bound", "the start depth",
                                        "the end depth"};
  mpz_ptr integers[4] = {state.exponent, state.k_first, state.d_low, state.d_high};
  for (int i = 0; i < 4; ++i) {
    if (!parse_integer(tokens[i], integers[i])) {
      complain(std::string(kNames[i]) + " is not a whole number: '" + shown(tokens[i]) + "'");
      return false;
    }
  }
  float* depths[2] = {&state.start_bits, &state.end_bits};
  for (int i = 0; i < 2; ++i) {
    if (!parse_depth(tokens[4 + i], *depths[i]) || !std::isfinite(*depths[i])) {
      complain(std::string(kNames[4 + i]) + " is not a finite number: '" + shown(tokens[4 + i]) +
               "'");
      return false;
    }
  }
  // A crash that zero-fills the end of a file leaves the six values whole
  // and zero bytes behind them: such a file is damaged all the same.
  if (text.find('\0', pos) != std::string::npos) {
    complain("holds zero bytes after its six values: the file is damaged");
    return false;
  }
  if (mpz_cmp_ui(state.exponent, 2) < 0) {
    complain("the exponent is below 2: '" + tokens[0] + "'");
    return false;
  }
  if (mpz_sgn(state.k_first) < 0) {
    complain("the k is negative: '" + tokens[1] + "'");
    return false;
  }
  return true;
}
