// UpdateShifter: finishes an update by moving the downloaded files into place and restarting the
// host program. Console program; all messages go to standard output.
#include "updateshifter.h"

#if defined(_WIN32)
int wmain()
#else
int main()
#endif
{
    const unsigned tickMs = CUpdateShifter::msFromEnvironment("TOVIA_SHIFTER_TICK_MS", 1000);
    CUpdateShifter shifter(tickMs, CUpdateShifter::msFromEnvironment("TOVIA_SHIFTER_RETRY_MS", tickMs));
    return shifter.run();
}
