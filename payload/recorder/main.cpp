// Stand-in of the product's smaller programs (the control panel, the uninstaller, the
// tools): it records how it was called and exits with 0.
#include "payload/standin.h"

int main()
{
    standin::Record(nullptr, standin::Arguments());
    return 0;
}
