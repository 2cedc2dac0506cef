#include "records/status.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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

// A whole decimal number with an optional sign, nothing else.
bool parse_integer(const std::string& token, mpz_ptr out) {
  const char* s = token.c_str();
  if (*s == '+') ++s;
  const char* digits = (*s == '-') ? s + 1 : s;
  if (*digits == '\0') return false;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return mpz_set_str(out, s, 10) == 0;
}

bool parse_depth(const std::string& token, float& out) {
  errno = 0;
  char* end = nullptr;
  const float v = std::strtof(token.c_str(), &end);
  if (end == token.c_str() || *end != '\0') return false;
  out = v;
  return true;
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
  std::ifstream in(kStatusFile);
  if (!in) {
    complain(std::string("cannot open: ") + std::strerror(errno));
    return false;
  }
  std::vector<std::string> tokens;
  std::string token;
  while (tokens.size() < 6 && in >> token) tokens.push_back(token);
  if (in.bad()) {
    complain(std::string("cannot read: ") + std::strerror(errno));
    return false;
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
      complain(std::string(kNames[i]) + " is not a whole number: '" + tokens[i] + "'");
      return false;
    }
  }
  float* depths[2] = {&state.start_bits, &state.end_bits};
  for (int i = 0; i < 2; ++i) {
    if (!parse_depth(tokens[4 + i], *depths[i]) || !std::isfinite(*depths[i])) {
      complain(std::string(kNames[4 + i]) + " is not a finite number: '" + tokens[4 + i] + "'");
      return false;
    }
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
