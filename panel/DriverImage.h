// The driver's file image carried by the executable. The Windows build
// embeds Tessiro8.sys; the host build links a small placeholder
// (panel/image/PlaceholderImage.cpp), since its driver runs in the host kernel.
#pragma once

extern const unsigned char DriverImage[];
extern const unsigned long DRIVER_IMAGE_SIZE;
