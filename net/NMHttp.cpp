#include "net/NMHttp.h"

TNMHTTP::TNMHTTP()
{
    Port = 0;
}
