#include <cstdio>
#include <cstdlib>

#include "FuzzInput.h"

namespace fuzz {

void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzz
