// A call that bionic declares from API 28 on: at API 23 the header marks it
// unavailable, so the compile fails there and at API 34 it does not.

#include <sys/random.h>

unsigned int fixture_seed()
{
    unsigned int seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != sizeof seed)
        return 0;
    return seed;
}
