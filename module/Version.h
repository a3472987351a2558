// Version of the library, shown in the version resource and in the log banner.
#pragma once
#define NIMBO_VERSION_MAJOR    1
#define NIMBO_VERSION_MINOR    0
#define NIMBO_VERSION_REVISION 0
#define NIMBO_VERSION_BUILD    1
#define NIMBO_VERSION_TEXT     "1.0.0.1"
