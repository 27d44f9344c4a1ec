// UpdateShifter: finishes an update by moving the downloaded files into place and restarting the
// host program. Console program; all messages go to standard output.
#include "updateshifter.h"

#if defined(_WIN32)
int wmain()
#else
int main()
#endif
{
    CUpdateShifter shifter(CUpdateShifter::tickFromEnvironment());
    return shifter.run();
}
