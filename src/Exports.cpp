// Sample exports of the library; nothing in the system uses them.
#include "braidmill.h"

int nlibbraidmill = 0;

int fnlibbraidmill()
{
    return 42;
}

Clibbraidmill::Clibbraidmill() = default;

Clibbraidmill& Clibbraidmill::operator=(const Clibbraidmill&)
{
    return *this;
}
