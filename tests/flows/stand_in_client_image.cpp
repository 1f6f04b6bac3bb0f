// A stand-in for the embedded client: the flow tests only need known bytes.
#include "installer/installer.h"

extern const unsigned char ClientImage[] = "MZ stand-in client image for the installer flow tests";
extern const unsigned ClientImageSize = sizeof ClientImage - 1;
