// SPDX-License-Identifier: MIT
// Owning handle for one GMP integer: created on construction, released on
// destruction, so no path through the program leaks one.
#pragma once

#include <gmp.h>

#include <string>

class BigInt {
 public:
  explicit BigInt(unsigned long value = 0) { mpz_init_set_ui(v_, value); }
  BigInt(const BigInt& other) { mpz_init_set(v_, other.v_); }
  BigInt& operator=(const BigInt& other) {
    mpz_set(v_, other.v_);
    return *this;
  }
  ~BigInt() { mpz_clear(v_); }

  mpz_ptr get() { return v_; }
  mpz_srcptr get() const { return v_; }
  operator mpz_ptr() { return v_; }
  operator mpz_srcptr() const { return v_; }
  // Lets GMP's macros (mpz_sgn, mpz_odd_p) take a BigInt directly.
  mpz_ptr operator->() { return v_; }
  mpz_srcptr operator->() const { return v_; }

 private:
  mpz_t v_;
};

// The plain decimal text of v, with a leading '-' when negative.
inline std::string to_decimal(mpz_srcptr v) {
  std::string s(mpz_sizeinbase(v, 10) + 2, '\0');
  mpz_get_str(s.data(), 10, v);
  s.resize(std::char_traits<char>::length(s.c_str()));
  return s;
}
