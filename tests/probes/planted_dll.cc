// The DLL that the DLL search tests plant beside a probe, under a name the probe then loads. Its
// one export tells the probe that the planted copy, and not a system one, is what it got.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" __declspec(dllexport) int SprPlantedMarker() { return 1; }
