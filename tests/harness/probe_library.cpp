// A DLL of no use, beside a test program as another account would put one
// beside vanta.exe: whether it loads says where the program looks for DLLs.
#include <windows.h>

extern "C" __declspec(dllexport) int vanta_probe(void)
{
    return 1;
}
