#include "sandbox.h"

#include <gmock/gmock.h>

int main(int argc, char **argv)
{
    sandbox::enter(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
