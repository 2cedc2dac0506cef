// SPDX-License-Identifier: MIT
// Entry point of tamrisk-verify (tools/verify.h).
#include "tools/verify.h"

int main(int argc, char** argv) { return verify_main(argc, argv); }
