// A call newer than the daemon's lowest API level, declared by hand as code
// taken from elsewhere might do: bionic's header would hide it below API 28,
// so only the link against the API 23 stubs can tell. It runs from a static
// initializer, which the link keeps as the daemon's own code would be kept.

#include <sys/types.h>

#include <cstddef>

extern "C" ssize_t getrandom(void *buffer, size_t length, unsigned int flags);

namespace {

unsigned int random_seed()
{
    unsigned int seed = 0;
    getrandom(&seed, sizeof seed, 0);
    return seed;
}

} // namespace

unsigned int fixture_seed = random_seed();
