// SPDX-License-Identifier: MIT
// Factor inspector ("-f"): reads an exponent p and a multiplier k, moves a
// composite p silently up to the next prime, and prints the candidate
// d = 2kp + 1 with its bit depth. Tests nothing and touches no file; an
// entry that cannot be read leaves its value at 1.
#pragma once

void factor_depth();
