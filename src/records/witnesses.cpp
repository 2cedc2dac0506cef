// SPDX-License-Identifier: MIT
#include "records/witnesses.h"

#include <cstdio>

#include "records/durable_file.h"

namespace {

// A list expects at most a few hundred lines; far larger is no list.
constexpr std::size_t kMaxWitnessBytes = std::size_t{16} << 20;

// A whole unsigned decimal number, and nothing else.
bool parse_number(const std::string& token, mpz_ptr out) {
  if (token.empty() || token.size() > 4096) return false;
  for (const char c : token) {
    if (c < '0' || c > '9') return false;
  }
  return mpz_set_str(out, token.c_str(), 10) == 0;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}

std::vector<std::string> split_spaces(const std::string& line) {
  std::vector<std::string> words;
  std::size_t from = 0;
  for (;;) {
    const std::size_t end = line.find(' ', from);
    words.push_back(line.substr(from, end == std::string::npos ? std::string::npos : end - from));
    if (end == std::string::npos) return words;
    from = end + 1;
  }
}

}  // namespace

std::string witness_text(const WitnessRecord& r) {
  std::string text = to_decimal(r.p) + " " + std::to_string(r.bits) + " " + to_decimal(r.k_first) +
                     " " + to_decimal(r.k_end) + "\n";
  for (const BigInt& k : r.ks) text += to_decimal(k) + "\n";
  text += "through " + to_decimal(r.through) + "\n";
  return text;
}

bool write_witnesses(const WitnessRecord& record, const char* path) {
  return replace_atomically(path, witness_text(record));
}

bool read_witnesses(const char* path, WitnessRecord& r, std::string* why) {
  std::string text;
  if (!read_small_file(path, kMaxWitnessBytes, text, why)) return false;
  const auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  const std::vector<std::string> lines = split_lines(text);
  if (lines.size() < 2)
    return fail("holds " + std::to_string(lines.size()) +
                " lines; a witness list has a header and a through line");
  const std::vector<std::string> head = split_spaces(lines.front());
  BigInt bits;
  if (head.size() != 4 || !parse_number(head[0], r.p) || !parse_number(head[1], bits) ||
      !parse_number(head[2], r.k_first) || !parse_number(head[3], r.k_end)) {
    return fail("line 1 is not 'p S_p k_first k_end'");
  }
  if (mpz_cmp_ui(bits, 1) < 0 || mpz_cmp_ui(bits, 127) > 0) {
    return fail("line 1: S_p must lie in 1 .. 127");
  }
  r.bits = static_cast<unsigned>(mpz_get_ui(bits));
  const std::string& last = lines.back();
  if (last.rfind("through ", 0) != 0 || !parse_number(last.substr(8), r.through)) {
    return fail("line " + std::to_string(lines.size()) + " is not 'through K'");
  }
  r.ks.clear();
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    BigInt k;
    if (!parse_number(lines[i], k)) {
      return fail("line " + std::to_string(i + 1) + " is not a whole number");
    }
    r.ks.push_back(k);
  }
  return true;
}
