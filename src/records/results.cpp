// SPDX-License-Identifier: MIT
#include "records/results.h"

#include <cstdio>
#include <string>

#include "core/big_int.h"
#include "records/durable_file.h"

namespace {

std::string no_factor_text(float start_bits, float end_bits) {
  char buf[256];
  std::snprintf(buf, sizeof buf, " no factor from %3.3f bits to %3.3f bits.",
                static_cast<double>(start_bits), static_cast<double>(end_bits));
  return buf;
}

}  // namespace

bool writeresults(mpz_srcptr p, mpz_srcptr d) {
  std::string line = "M";
  line += to_decimal(p);
  line += " has a factor: ";
  line += to_decimal(d);
  line += '\n';
  return append_durably(kResultsFile, line);
}

bool writeendfactor(mpz_srcptr p, float start_bits, float end_bits) {
  std::string body = "M";
  body += to_decimal(p);
  body += no_factor_text(start_bits, end_bits);
  const bool ok = append_durably(kResultsFile, body + '\n');
  std::putchar('\n');
  std::fputs(body.c_str(), stdout);
  std::putchar('\n');
  return ok;
}
