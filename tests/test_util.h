// Helpers shared by the tests.

#ifndef PARTICION_TESTS_TEST_UTIL_H_
#define PARTICION_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <string>
#include <vector>

#include "pixelsets/source_list.h"

namespace testutil {

// An anonymous temporary file holding `bytes`, positioned at its start.
std::FILE* FileWith(const std::string& bytes);

// Everything in `file`, from its start.
std::string ReadAll(std::FILE* file);

// The pool's records, in the pool's order.
std::vector<std::string> Records(const pixelsets::Pool& pool);

}  // namespace testutil

#endif  // PARTICION_TESTS_TEST_UTIL_H_
