// Host build: a stand-in for the driver file's bytes. The host service
// manager loads the driver linked into the program, not this file.
#include "panel/DriverImage.h"

extern const unsigned char DriverImage[] = {'M', 'Z', 'T', 'e', 's', 's', 'i', 'r',
                                            'o', '8', ' ', 'h', 'o', 's', 't', 0};
extern const unsigned long DRIVER_IMAGE_SIZE = sizeof(DriverImage);
